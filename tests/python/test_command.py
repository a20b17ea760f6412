"""The `tracequill` command, run as `python -m tracequill` in a subprocess."""

import os
import pathlib
import subprocess
import sys

import pytest

import tracequill

SAMPLE_HOME = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample-home"


def run(*arguments, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-m", "tracequill", *map(str, arguments)], capture_output=True, env=env, cwd=cwd
    )


@pytest.mark.parametrize(
    "arguments, status, message",
    [
        (["/nonexistent/home"], 1, "tracequill: error: I/O error at /nonexistent/home: No such file or directory (os error 2)\n"),
        ([SAMPLE_HOME, "--strict"], 1, "tracequill: error: JSON parse error at .claude/history.jsonl line 5: "),
        ([SAMPLE_HOME, "--bogus"], 2, "tracequill: error: unrecognized arguments: --bogus (see tracequill --help)\n"),
        ([SAMPLE_HOME, "-o", "t.txt"], 2, "tracequill: error: cannot tell the format of 't.txt': "),
        ([SAMPLE_HOME, "--provider", "cursor"], 2, "tracequill: error: Unknown provider 'cursor': "),
        ([SAMPLE_HOME, "--workers", "0"], 2, "tracequill: error: --workers must be at least 1 (see tracequill --help)\n"),
        ([SAMPLE_HOME, "-o", "missing/t.csv"], 1, "tracequill: error: Cannot create 'missing/t.csv': No such file or directory (os error 2)\n"),
    ],
)
def test_failures_exit_with_one_line(tmp_path, arguments, status, message):
    result = run(*arguments, cwd=tmp_path)
    assert result.returncode == status
    assert result.stdout == b""
    stderr = result.stderr.decode()
    assert stderr.startswith(message) and stderr.count("\n") == 1
    assert list(tmp_path.iterdir()) == []


def test_outputs_equal_those_of_the_functions(tmp_path):
    piped = run(SAMPLE_HOME, "-o", "-")
    assert piped.returncode == 0 and piped.stdout.decode() == tracequill.to_jsonl(SAMPLE_HOME)
    written = run(SAMPLE_HOME, "-o", tmp_path / "t.csv", "--no-message", "-q")
    assert written.returncode == 0 and written.stderr == b""
    assert (tmp_path / "t.csv").read_bytes() == tracequill.to_csv(SAMPLE_HOME, include_message=False).encode()
    filtered = run(SAMPLE_HOME, "-f", "json", "--provider", "codex", "--type", "tool_call", "--type", "tool_result")
    expected = tracequill.Timeline(SAMPLE_HOME).filter(providers="codex", event_types=["tool_call", "tool_result"])
    assert filtered.stdout.decode() == expected.to_json()


def test_summary_and_version():
    summary = run(SAMPLE_HOME, "--summary", "--since", "2026-03-14T10:00:05Z", "--until", "2026-03-15")
    assert summary.returncode == 0
    lines = summary.stdout.decode().splitlines()
    assert lines[0] == f"Timeline of {SAMPLE_HOME}: 5 events, 2 diagnostics"
    assert "  codex        tool_call                   1" in lines
    assert run("--version").stdout.decode() == f"tracequill {tracequill.__version__}\n"


HILLVIEWCAP = SAMPLE_HOME.parents[1] / "tests" / "data" / "claude-hillviewcap"


def test_summary_shows_transcripts_unless_told_not_to():
    shown = run(HILLVIEWCAP, "--summary")
    assert shown.returncode == 0, shown.stderr
    text = shown.stdout.decode()
    for line in ("prompt_input", "agent_message", "Tool calls: 11", "  Bash "):
        assert line in text
    plain = run(HILLVIEWCAP, "--summary", "--no-transcripts").stdout.decode()
    assert "Tool calls" not in plain and "agent_message" not in plain
