"""The `tracequill` command, run as `python -m tracequill` in a subprocess."""

import io
import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

import tracequill

REPO = pathlib.Path(__file__).resolve().parents[2]
SAMPLE_HOME = REPO / "examples" / "sample-home"


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
        # Values are checked before anything is read: the path doesn't exist.
        (["/nonexistent", "--since", "yesterday"], 2, "tracequill: error: --since 'yesterday' is not a time: use YYYY-MM-DD, "),
        (["/nonexistent", "--until", "2026-02-30"], 2, "tracequill: error: --until '2026-02-30T00:00:00Z' is not a time"),
        (["/nonexistent", "--type", "prompt"], 2, "tracequill: error: Unknown event type 'prompt': expected one of 'prompt_input', "),
        (["/nonexistent", "--provider", "gemini"], 2, "tracequill: error: Unknown provider 'gemini': "),
        (["-"], 2, "tracequill: error: reading standard input is not supported: give a home directory, "),
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
    piped = run(SAMPLE_HOME, "-o", "-", "--no-transcripts")
    assert piped.returncode == 0 and piped.stdout.decode() == tracequill.to_jsonl(SAMPLE_HOME)
    written = run(SAMPLE_HOME, "-o", tmp_path / "t.csv", "--no-message", "-q", "--no-transcripts")
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


@pytest.mark.parametrize(
    "naive, explicit",
    [("2026-03-14", "2026-03-14T00:00:00Z"), ("2026-03-14T10:00", "2026-03-14T10:00:00Z"),
     ("2026-03-14 10:00:05", "2026-03-14T10:00:05Z"), ("2026-03-14T10:00:05.5", "2026-03-14T10:00:05.5Z")],
)
def test_times_without_an_offset_are_utc(naive, explicit):
    assert run(SAMPLE_HOME, "--until", naive, "-o", "-").stdout == run(SAMPLE_HOME, "--until", explicit, "-o", "-").stdout


def test_diagnostics_are_counted_listed_and_can_fail_the_run(tmp_path):
    counted = run(SAMPLE_HOME, "-o", tmp_path / "t.csv")
    assert counted.returncode == 0
    assert counted.stderr.decode().splitlines()[-1] == "tracequill: 2 diagnostics: 1 error, 1 warning (--diagnostics lists them)"
    table = run(SAMPLE_HOME, "-o", tmp_path / "t.csv", "--diagnostics", "--fail-on", "error")
    assert table.returncode == 3
    assert table.stderr.decode().splitlines()[1].startswith("error    invalid_json          .claude/history.jsonl:5  ")
    listed = run(SAMPLE_HOME, "-o", "-", "--diagnostics=json", "-q", "--fail-on", "warning")
    assert listed.returncode == 3 and listed.stdout.decode() == tracequill.Timeline(SAMPLE_HOME).to_jsonl()
    assert [json.loads(line) for line in listed.stderr.decode().splitlines()] == tracequill.Timeline(SAMPLE_HOME).diagnostics
    # Too-long lines are dropped with a diagnostic each, and the count says so.
    dropped = run(SAMPLE_HOME, "-o", "-", "--max-line-size", "10", "--fail-on", "warning")
    assert dropped.returncode == 3 and dropped.stderr.decode() == "tracequill: 17 diagnostics: 17 warnings (--diagnostics lists them)\n"


def on_terminal(*arguments, columns=100):
    """Runs the command with its standard output and error on a pseudo-terminal."""
    leader, follower = pty.openpty()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), COLUMNS=str(columns))
    child = subprocess.Popen([sys.executable, "-m", "tracequill", *map(str, arguments)], stdout=follower,
                             stderr=follower, env=env)
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    assert child.wait() == 0
    return b"".join(chunks).decode().replace("\r\n", "\n")


def test_terminal_view():
    summary = on_terminal(SAMPLE_HOME)
    assert "Time span (UTC): 2026-03-14 09:20:00 .. " in summary
    assert "  2026-03-14 10:00:05  codex        tool_call          shell\n" in summary
    assert all(len(line) <= 100 for line in summary.splitlines() if line.startswith("       "))
    # A format asked for is what the terminal gets.
    assert on_terminal(SAMPLE_HOME, "-f", "csv", "-q") == tracequill.Timeline(SAMPLE_HOME).to_csv()


@pytest.mark.parametrize("columns", [20, 60, 200])
def test_progress_bar_stays_on_one_line(monkeypatch, columns):
    from tracequill._cli import ProgressBar

    monkeypatch.setenv("COLUMNS", str(columns))
    stream = io.StringIO()
    bar = ProgressBar(stream)
    bar.start -= bar.DELAY
    for done in (0, 5_000_000, 12_345_678_901):
        bar(7283, 7873, done, 12_345_678_901)
    for line in stream.getvalue().split("\r")[1:]:
        assert "\n" not in line and len(line.removesuffix("\033[K")) < columns


def test_man_page_and_completions_are_generated_from_the_options():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    check = subprocess.run([sys.executable, REPO / "tools" / "gen_shell_files.py", "--check"], capture_output=True, env=env)
    assert check.returncode == 0, check.stderr.decode()
    completion = REPO / "share" / "bash-completion" / "completions" / "tracequill"
    script = f"source {completion}; COMP_WORDS=(tracequill --fail-on w); COMP_CWORD=2; _shtab_tracequill; echo ${{COMPREPLY[@]}}"
    assert subprocess.run(["bash", "-c", script], capture_output=True).stdout == b"warning\n"


@pytest.mark.parametrize("wanted, environment", [("3.11", ".venv"), ("3.99", ".venv-3.99")])
def test_scripts_build_for_the_python_they_are_given(tmp_path, wanted, environment):
    (tmp_path / "tools").mkdir()
    (tmp_path / "tools" / "env.sh").write_bytes((REPO / "tools" / "env.sh").read_bytes())
    for path, version in ((tmp_path / ".venv" / "bin" / "python", "3.11"), (tmp_path / "python", wanted)):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"#!/bin/sh\necho {version}\n")
        path.chmod(0o755)
    script = f"source {tmp_path}/tools/env.sh && echo $TQ_VENV"
    shown = subprocess.run(["bash", "-c", script], capture_output=True, env=dict(os.environ, PYTHON=str(tmp_path / "python")))
    assert shown.stdout.decode() == f"{tmp_path / environment}\n"
