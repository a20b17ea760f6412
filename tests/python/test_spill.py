"""The module functions keep a parse's events as their output bytes, in memory
up to a budget and then in a temporary file of their own (0600, in the
temporary directory, nameless from the start). Whichever side of the budget
a call is on, it writes the same bytes, and however it ends, it leaves no
file behind, neither in the temporary directory nor beside the evidence."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

import tracequill
from conftest import CLAUDE_HISTORY, CODEX_HISTORY, write_tree

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

ROLLOUT = (b'{"timestamp":"2025-01-01T00:00:00Z","type":"session_meta","payload":{"id":"s1"}}\n'
           + b'{"timestamp":"2025-01-01T00:00:01Z","type":"event_msg","payload":'
           + b'{"type":"user_message","message":"hi"}}\n' * 50)


@pytest.fixture
def home(tmp_path):
    return write_tree(tmp_path / "home", {
        ".codex/history.jsonl": CODEX_HISTORY,
        ".claude/history.jsonl": CLAUDE_HISTORY,
        **{f".codex/sessions/2025/01/0{d}/rollout-2025-01-0{d}T00-00-00-{d}.jsonl": ROLLOUT
           for d in range(1, 4)},
    })


@pytest.fixture
def temporary(tmp_path, monkeypatch):
    directory = tmp_path / "tmp"
    directory.mkdir()
    monkeypatch.setenv("TMPDIR", str(directory))
    return directory


def tree(root: pathlib.Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


CALLS = [("to_json", {}), ("to_json", {"pretty": False}), ("to_jsonl", {}),
         ("to_csv", {"include_message": False}), ("to_csv", {"include_content": True})]


@pytest.mark.parametrize("call,options", CALLS)
def test_the_same_bytes_whichever_side_of_the_budget(home, temporary, monkeypatch, call, options):
    in_memory = getattr(tracequill, call)(home, include_raw=True, **options)
    monkeypatch.setenv("TRACEQUILL_SPILL_BUDGET", "0")
    before = tree(home)
    assert getattr(tracequill, call)(home, include_raw=True, **options) == in_memory
    assert tree(home) == before and list(temporary.iterdir()) == []


@pytest.mark.parametrize("format", ["json", "jsonl", "csv"])
def test_convert_spills_and_leaves_nothing(home, temporary, tmp_path, monkeypatch, format):
    out = tmp_path / f"out.{format}"
    tracequill.convert(home, out, format=format)
    expected = out.read_bytes()
    monkeypatch.setenv("TRACEQUILL_SPILL_BUDGET", "0")
    tracequill.convert(home, out, format=format)
    assert out.read_bytes() == expected
    assert list(temporary.iterdir()) == []


@pytest.mark.parametrize("case", ["strict mode", "output is evidence", "unknown format",
                                  "timeline without a temporary directory"])
def test_a_failed_call_leaves_nothing(home, temporary, monkeypatch, case):
    monkeypatch.setenv("TRACEQUILL_SPILL_BUDGET", "0")
    if case == "timeline without a temporary directory":
        monkeypatch.setenv("TMPDIR", str(temporary / "missing"))
        with pytest.raises(FileNotFoundError, match="missing"):
            tracequill.Timeline(home)
    elif case == "strict mode":
        with pytest.raises(ValueError, match="JSON parse error"):
            tracequill.to_jsonl(home, mode="strict")
    elif case == "output is evidence":
        with pytest.raises(OSError):
            tracequill.convert(home, home / ".codex" / "history.jsonl", format="jsonl")
    else:
        with pytest.raises(ValueError, match="Invalid format"):
            tracequill.convert(home, home.parent / "out", format="yaml")
    assert list(temporary.iterdir()) == []


# A child that converts again and again, each call spilling, until it is
# interrupted or runs out of memory wherever it then is.
CHILD = textwrap.dedent("""
    import resource, sys, tracequill
    home, out, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if limit:
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + limit, resource.RLIM_INFINITY))
    try:
        print("started", flush=True)
        while True:
            tracequill.to_jsonl(home, include_raw=True, max_line_size=0)
            tracequill.convert(home, out, format="json", max_line_size=0)
    except BaseException as raised:
        print(type(raised).__name__, flush=True)
""")


def run_child(home, tmp_path, temporary, limit=0, interrupt=False):
    env = {**os.environ, "TMPDIR": str(temporary), "TRACEQUILL_SPILL_BUDGET": "0"}
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(home), str(tmp_path / "out.json"),
                              str(limit)], stdout=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "started"
    if interrupt:
        child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=300)
    return out.strip()


def test_an_interrupted_call_leaves_nothing(home, tmp_path, temporary):
    assert run_child(home, tmp_path, temporary, interrupt=True) == "KeyboardInterrupt"
    assert list(temporary.iterdir()) == []


@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks address-space limits under AddressSanitizer, which reserves its shadow memory up front")
def test_a_call_out_of_memory_leaves_nothing(tmp_path, temporary):
    # Each line is parsed whole: a 24 MB line fits the limit, its parse doesn't.
    big = write_tree(tmp_path / "big", {
        ".codex/sessions/2025/01/01/rollout-2025-01-01T00-00-00-1.jsonl": ROLLOUT,
        ".codex/sessions/2025/01/02/rollout-2025-01-02T00-00-00-2.jsonl":
            b'{"text":"' + b"a" * (24 << 20) + b'"}\n',
    })
    assert run_child(big, tmp_path, temporary, limit=160 << 20) == "MemoryError"
    assert list(temporary.iterdir()) == []


@pytest.mark.parametrize("options", [{"transcripts": True, "include_raw": True}, {"transcripts": False},
                                     {"redact": True}])
def test_a_timeline_reads_the_same_whichever_side_of_the_budget(home, temporary, monkeypatch, options):
    def outputs(timeline):
        return (timeline.to_jsonl(), timeline.to_csv(), timeline.summary(), timeline.coverage(),
                timeline.secrets(), list(timeline.filter(text="hi")), timeline[-1])
    in_memory = outputs(tracequill.Timeline(home, **options))
    monkeypatch.setenv("TRACEQUILL_SPILL_BUDGET", "0")
    before = tree(home)
    assert outputs(tracequill.Timeline(home, workers=2, **options)) == in_memory
    assert tree(home) == before and list(temporary.iterdir()) == []
