"""Coverage: every file under the profiles read (with its events) or named with
the reason it was not, and every record shape counted with its event type."""

import json
import os
import subprocess
import sys

import pytest

import tracequill

from conftest import write_tree

TRANSCRIPT = (
    b'{"type":"user","sessionId":"s1","timestamp":"2026-01-01T00:00:00Z",'
    b'"message":{"role":"user","content":"hi"}}\n'
)


@pytest.fixture
def profile(tmp_path):
    home = write_tree(
        tmp_path / "home",
        {
            ".claude/history.jsonl": b'{"display":"hi","timestamp":1700000001000,"sessionId":"s1","project":"/p"}\n',
            ".claude/projects/-p/s1.jsonl": TRANSCRIPT * 2,
            ".claude/settings.json": b"{}",
            ".claude/todos/s1.json": b"[]",
        },
    )
    (tmp_path / "elsewhere.md").write_text("outside")
    os.symlink(tmp_path / "elsewhere.md", home / ".claude/plans")
    os.mkfifo(home / ".claude/fifo")
    return home


def test_every_file_is_accounted_for(profile):
    coverage = tracequill.Timeline(profile).coverage()
    files = {f["path"]: (f["events"], f["reason"]) for f in coverage["files"]}
    assert files == {
        "fifo": (None, "special file"),
        "history.jsonl": (1, None),
        "plans": (None, "link not followed"),
        "projects/-p/s1.jsonl": (2, None),
        "settings.json": (None, "no reader for this kind of file"),
        "todos/s1.json": (None, "no reader for this kind of file"),
    }
    assert coverage["not_read"] == 4 and coverage["unknown"] == 0
    records = {(r["provider"], r["record_type"], r["event_type"]): r["count"] for r in coverage["records"]}
    assert records[("claude_code", "history", "prompt_input")] == 1
    assert sum(records.values()) == len(tracequill.Timeline(profile))
    # Transcripts not read are not read for a reason too.
    plain = tracequill.Timeline(profile, transcripts=False).coverage()
    assert {f["path"]: f["reason"] for f in plain["files"]}["projects/-p/s1.jsonl"] == (
        "no reader for this kind of file"
    )


def test_the_command_shows_coverage_and_files_not_read(profile, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    command = [sys.executable, "-m", "tracequill", str(profile), "-q"]
    as_json = subprocess.run([*command, "--coverage=json", "-o", tmp_path / "t.csv"], capture_output=True, env=env)
    assert json.loads(as_json.stdout) == tracequill.Timeline(profile).coverage()
    summary = subprocess.run([*command, "--summary"], capture_output=True, env=env).stdout.decode()
    assert "\nFiles not read: 4\n  fifo  (special file)\n" in summary
