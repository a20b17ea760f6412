"""The README's "Questions an investigator asks": each answered by one command
and one Python call, run here on the samples (Claude Code's hillviewcap
profile, Codex's codemie rollouts, and a rollout of every Codex record shape in
which the reviewer denies its command and a search opens a page)."""

import json
import os
import shutil
import subprocess
import sys
from collections import Counter

import pytest

import tracequill
from test_current_records import SHAPES, UUID

DATA = SHAPES.parent


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    home = tmp_path_factory.mktemp("investigated")
    shutil.copytree(DATA / "claude-hillviewcap" / ".claude", home / ".claude")
    shutil.copytree(DATA / "samples" / "real" / "codex-codemie" / ".codex", home / ".codex")
    records = [json.loads(line) for line in (SHAPES / "codex-rollout-shapes.jsonl").read_text().splitlines()]
    for record in records:
        payload = record.get("payload") or {}
        if payload.get("type") == "guardian_assessment":
            payload["status"] = "denied"
        if payload.get("type") == "web_search_end":
            payload["action"] = {"type": "open_page", "url": "https://example.com/page-1"}
    rollout = home / ".codex" / "sessions" / "2025" / "01" / "02" / f"rollout-2025-01-02T10-00-00-{UUID}.jsonl"
    rollout.parent.mkdir(parents=True)
    rollout.write_text("".join(json.dumps(r) + "\n" for r in records))
    return home


def command(home, *options):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-m", "tracequill", str(home), "-q", "-o", "-", *options],
        capture_output=True, env=env, check=True,
    ).stdout
    return [json.loads(line) for line in out.splitlines()]


QUESTIONS = [
    (
        "commands in a window",
        ["--since", "2026-05-11", "--until", "2026-05-12", "--tool", "shell", "--type", "tool_call", "--unique"],
        {"since": "2026-05-11T00:00:00Z", "until": "2026-05-12T00:00:00Z", "tool": "shell",
         "event_types": "tool_call", "unique": True},
    ),
    ("files", ["--path", "*", "--type", "tool_call", "--unique"], {"path": "*", "event_types": "tool_call", "unique": True}),
    ("urls", ["--url", "http", "--unique"], {"url": "http", "unique": True}),
    (
        "prompts typed",
        ["--actor", "user", "--type", "prompt_input", "--unique"],
        {"actor": "user", "event_types": "prompt_input", "unique": True},
    ),
    ("subagents", ["--actor", "subagent", "--unique"], {"actor": "subagent", "unique": True}),
    ("denied", ["--actor", "reviewer", "--text", "^denied$"], {"actor": "reviewer", "text": "^denied$"}),
]


@pytest.mark.parametrize("name, options, conditions", QUESTIONS, ids=[q[0] for q in QUESTIONS])
def test_each_question_is_one_command_and_one_call(home, name, options, conditions):
    answer = list(tracequill.Timeline(home).filter(**conditions))
    assert answer, name
    assert command(home, *options) == answer
    tools = [e["tool"] for e in answer]
    if name == "commands in a window":
        assert all(t["command_line"] for t in tools)
        assert Counter(t["exit_code"] is not None for t in tools)[True] > 0
    elif name == "files":
        assert all(t["files_read"] or t["files_changed"] for t in tools)
    elif name == "urls":
        assert [u for t in tools for u in t["urls"]] == ["https://example.com/page-1"]
    elif name == "prompts typed":
        # The skeleton rollout's prompts all read "text-1": distinct records
        # whose texts were replaced, left out here.
        typed = Counter((e["session_id"], e["message"]) for e in answer if e["session_id"] != UUID)
        assert max(typed.values()) == 1
        assert {e["prompt"]["origin"] for e in answer} <= {"typed", "queued", "interruption"}
    elif name == "subagents":
        assert len({e["who"]["agent_id"] for e in answer}) > 1
        assert all(e["who"]["parent_session_id"] for e in answer)
    else:
        assert [(t["command_line"], t["outcome"]) for t in tools] == [("echo example", "denied")]


def test_unique_leaves_each_call_one_result_and_the_summary_counts_copies(home):
    everything = tracequill.Timeline(home)
    unique = tracequill.Timeline(home, unique=True)
    results = Counter(e["tool"]["call_id"] for e in unique.filter(event_types="tool_result") if e["tool"]["call_id"])
    assert max(results.values()) == 1
    assert everything.summary()["duplicates"] == len(everything) - len(unique) > 0
    assert len(everything.filter(unique=True)) == len(unique)


def test_every_tool_call_of_the_samples_has_its_name_kind_and_shell_command(home):
    calls = tracequill.Timeline(home).filter(event_types="tool_call")
    assert all(e["tool"]["name"] and e["tool"]["kind"] for e in calls)
    shell = [e for e in calls if e["tool"]["kind"] == "shell"]
    assert shell and all(e["tool"]["command_line"] for e in shell)
