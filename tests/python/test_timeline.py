"""tracequill.Timeline: one parse, read many ways, with the bytes of the module functions."""

import datetime
import hashlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

import tracequill
from conftest import write_tree

REPO = pathlib.Path(__file__).resolve().parents[2]
# AddressSanitizer replaces the allocator.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
SAMPLE_HOME = REPO / "examples" / "sample-home"
REAL = sorted((REPO / "tests" / "data" / "samples" / "real").iterdir())

# Every option set on the sample home; the widest one on each real profile.
CASES = [
    (SAMPLE_HOME, {}),
    (SAMPLE_HOME, {"mode": "strict"}),
    (SAMPLE_HOME, {"max_line_size": 200, "max_content_size": 10}),
] + [(path, {"include_raw": True, "include_content": True}) for path in [SAMPLE_HOME] + REAL]


@pytest.fixture(scope="module")
def generated_home(tmp_path_factory):
    """A small home written by the benchmark generator: many rollouts, caches and snapshots."""
    home = tmp_path_factory.mktemp("generated") / "home"
    subprocess.run(
        [sys.executable, str(REPO / "bench" / "generate_profiles.py"), str(home), "--size-mb", "2"],
        check=True,
        capture_output=True,
    )
    return home


@pytest.fixture(scope="module")
def big_rollout_home(tmp_path_factory):
    """One long rollout: a parse that takes a while and can only be stopped inside a file."""
    home = tmp_path_factory.mktemp("big") / "home"
    day = home / ".codex" / "sessions" / "2025" / "01" / "02"
    day.mkdir(parents=True)
    line = (
        b'{"timestamp":"2025-01-02T10:00:00Z","type":"response_item","payload":{"type":"message",'
        b'"role":"user","content":[{"type":"input_text","text":"' + b"x" * 600 + b'"}]}}\n'
    )
    rollout = day / "rollout-2025-01-02T10-00-00-0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl"
    rollout.write_bytes(line * 200_000)
    return home


@pytest.fixture(scope="module")
def big_attachment_home(tmp_path_factory):
    """One large attachment (sparse, so cheap to make): hashed in one read loop, never as lines."""
    home = tmp_path_factory.mktemp("attachment") / "home"
    attachments = home / ".codex" / "attachments"
    attachments.mkdir(parents=True)
    with open(attachments / "snapshot.bin", "wb") as big:
        big.truncate(1 << 30)
    return home


def test_outputs_equal_those_of_the_module_functions_for_each_variant(tmp_path):
    timeline = tracequill.Timeline(SAMPLE_HOME, transcripts=False)
    assert timeline.to_json(pretty=False) == tracequill.to_json(SAMPLE_HOME, pretty=False)
    assert timeline.to_csv(include_message=False) == tracequill.to_csv(SAMPLE_HOME, include_message=False)
    tracequill.convert(SAMPLE_HOME, tmp_path / "c.csv", format="csv", include_message=False)
    timeline.write(tmp_path / "t.csv", include_message=False)
    assert (tmp_path / "t.csv").read_bytes() == (tmp_path / "c.csv").read_bytes()


@pytest.mark.parametrize(
    "path, options", CASES, ids=[f"{p.name}-{','.join(o) or 'defaults'}" for p, o in CASES]
)
def test_outputs_equal_those_of_the_module_functions(path, options, tmp_path):
    try:
        report = tracequill.parse(path, **options)
    except ValueError as error:
        # Strict mode fails the same way, with the same message.
        with pytest.raises(ValueError) as raised:
            tracequill.Timeline(path, **options)
        assert str(raised.value) == str(error)
        return
    expected = {
        "json": tracequill.to_json(path, **options),
        "jsonl": tracequill.to_jsonl(path, **options),
        "csv": tracequill.to_csv(path, **options),
    }
    timeline = tracequill.Timeline(path, workers=2, transcripts=False, **options)
    assert list(timeline) == report["events"]
    assert timeline.diagnostics == report["diagnostics"]
    assert {"json": timeline.to_json(), "jsonl": timeline.to_jsonl(), "csv": timeline.to_csv()} == expected
    for suffix, name in ((".json", "json"), (".ndjson", "jsonl"), (".csv", "csv")):
        target = tmp_path / f"out{suffix}"
        timeline.write(target)
        assert target.read_bytes() == expected[name].encode()
    # Nothing but the targets: no temporary file stays behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv", "out.json", "out.ndjson"]


HILLVIEWCAP = REPO / "tests" / "data" / "claude-hillviewcap"


@pytest.mark.parametrize("options", [{}, {"include_raw": True, "include_content": True}])
def test_without_transcripts_the_outputs_are_those_of_the_module_functions(options):
    plain = tracequill.Timeline(HILLVIEWCAP, transcripts=False, **options)
    assert plain.to_json() == tracequill.to_json(HILLVIEWCAP, **options)
    assert plain.to_jsonl() == tracequill.to_jsonl(HILLVIEWCAP, **options)
    assert plain.to_csv() == tracequill.to_csv(HILLVIEWCAP, **options)
    assert len(tracequill.Timeline(HILLVIEWCAP, **options)) > len(plain)


def test_the_page_is_the_same_for_the_same_tree_anywhere(tmp_path):
    # Moved, not copied: a copy has files of another birth time.
    tree = shutil.copytree(HILLVIEWCAP, tmp_path / "a" / "claude-hillviewcap")
    pages = []
    for place, workers in (("b/deeper", 1), ("c", 4)):
        (tmp_path / place).mkdir(parents=True)
        tree = tree.rename(tmp_path / place / tree.name)
        tracequill.Timeline(tree, workers=workers).write(tmp_path / f"{workers}.html")
        pages.append((tmp_path / f"{workers}.html").read_bytes())
    assert pages[0] == pages[1]
    assert pages[0].startswith(b"<!DOCTYPE html>")


@pytest.mark.parametrize("include_content", [False, True])
def test_summary_counts_tool_calls_by_tool_name(include_content):
    timeline = tracequill.Timeline(HILLVIEWCAP, include_content=include_content)
    assert timeline.summary()["tool_calls"] == {"Bash": 4, "Edit": 1, "Glob": 3, "Read": 2, "Skill": 1}
    assert tracequill.Timeline(HILLVIEWCAP, transcripts=False).summary()["tool_calls"] == {}


def tool_line(payload: dict) -> bytes:
    return json.dumps({"timestamp": "2025-01-02T10:00:00Z", "type": "response_item", "payload": payload}).encode() + b"\n"


@pytest.mark.parametrize(
    "transcripts, include_content, expected",
    [
        (True, False, {"mcp__db: query": 1, "ns: run": 1, "tool": 1, "web_search": 1}),
        (True, True, {"mcp__db: query": 1, "ns: run": 1, "tool": 1, "web_search": 1}),
        (False, True, {"ns: run": 1, "tool": 2}),
    ],
)
def test_summary_counts_names_that_hold_a_colon_as_their_readers_read_them(
    tmp_path, transcripts, include_content, expected
):
    # Names as MCP servers and plug-ins write them, with ": " inside.
    use = {"type": "tool_use", "id": "t1", "name": "mcp__db: query", "input": {"sql": "select 1"}}
    transcript = {"type": "assistant", "sessionId": "s", "timestamp": "2025-01-02T10:00:00Z",
                  "message": {"content": [use]}}
    home = write_tree(tmp_path / "home", {
        ".claude/projects/-w/0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b.jsonl": json.dumps(transcript).encode() + b"\n",
        ".codex/sessions/rollout-a.jsonl":
            tool_line({"type": "function_call", "name": "ns: run", "arguments": "x: y", "call_id": "c1"})
            + tool_line({"type": "custom_tool_call", "input": "a: b"})
            + tool_line({"type": "web_search_call", "action": {"query": "q: r"}}),
    })
    timeline = tracequill.Timeline(home, transcripts=transcripts, include_content=include_content)
    assert timeline.summary()["tool_calls"] == expected


@pytest.mark.parametrize("workers", [1, 4])
def test_write_refuses_every_file_the_parse_read(generated_home, tmp_path, workers):
    rollout = sorted((generated_home / ".codex" / "sessions").rglob("rollout-*"))[-1]
    before = rollout.read_bytes()
    timeline = tracequill.Timeline(generated_home, workers=workers)
    for target in (rollout, generated_home / ".claude" / "history.jsonl"):
        with pytest.raises(OSError) as refused:
            timeline.write(target, format="jsonl")
        assert str(refused.value) == f"Cannot create '{target}': it is an input of this parse"
    assert rollout.read_bytes() == before
    timeline.write(tmp_path / "out.jsonl")
    assert (tmp_path / "out.jsonl").read_text() == timeline.to_jsonl()


def test_one_worker_and_four_give_the_same_report(generated_home):
    one = tracequill.Timeline(generated_home, workers=1, include_content=True)
    four = tracequill.Timeline(generated_home, workers=4, include_content=True)
    assert len(one) > 300
    assert one.to_json() == four.to_json()
    plain = tracequill.Timeline(generated_home, workers=4, include_content=True, transcripts=False)
    assert plain.to_csv() == tracequill.to_csv(generated_home, include_content=True)


def instant(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))


SINCE = "2025-09-01T00:00:00Z"
UNTIL = "2026-01-01T00:00:00+01:00"
def holds(e, word):
    """Whether the message or an artifact's text holds `word`, as `text` searches."""
    artifact = e["artifact"] or {}
    texts = [e["message"], artifact.get("content") if artifact.get("content_encoding") != "base64" else None]
    return any(t is not None and word in t.lower() for t in texts)


FILTERS = [
    ({"providers": "codex"}, lambda e: e["provider"] == "codex"),
    (
        {"event_types": ["tool_call", "file_snapshot"]},
        lambda e: e["event_type"] in ("tool_call", "file_snapshot"),
    ),
    ({"since": SINCE}, lambda e: e["timestamp"] is not None and instant(e["timestamp"]) >= instant(SINCE)),
    (
        {"since": datetime.datetime(2025, 9, 1), "until": UNTIL},
        lambda e: e["timestamp"] is not None and instant(SINCE) <= instant(e["timestamp"]) < instant(UNTIL),
    ),
    ({"text": "ERROR"}, lambda e: holds(e, "error")),
    ({"providers": ("claude_code",), "text": "the"}, lambda e: e["provider"] == "claude_code" and holds(e, "the")),
]


@pytest.mark.parametrize("conditions, keep", FILTERS, ids=lambda c: str(c)[:40] if isinstance(c, dict) else "")
def test_filters_keep_what_a_python_filter_of_parse_keeps(generated_home, conditions, keep):
    events = tracequill.parse(generated_home)["events"]
    expected = [e for e in events if keep(e)]
    assert 0 < len(expected) < len(events)
    filtered = tracequill.Timeline(generated_home, transcripts=False).filter(**conditions)
    assert list(filtered) == expected
    assert filtered.summary()["events"] == len(expected)


def test_sessions_filter_slices_and_summary(generated_home):
    timeline = tracequill.Timeline(generated_home)
    events = list(timeline)
    session = events[len(events) // 2]["session_id"]
    one_session = timeline.filter(sessions=session)
    assert list(one_session) == [e for e in events if e["session_id"] == session]
    summary = one_session.summary()
    assert list(summary["sessions"]) == [session]
    assert summary["sessions"][session]["events"] == len(one_session)

    assert list(timeline[10:20:3]) == events[10:20:3]
    assert list(timeline[::-1][:5]) == events[::-1][:5]
    assert timeline[-1] == events[-1]
    with pytest.raises(IndexError):
        timeline[len(events)]
    whole = timeline.summary()
    assert whole["events"] == len(events)
    assert sum(sum(types.values()) for types in whole["by_provider"].values()) == len(events)
    assert whole["first_timestamp"] == min(e["timestamp"] for e in events if e["timestamp"])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: tracequill.Timeline(p, "strict"), TypeError, "Timeline() takes 1 positional argument but 2 were given"),
        (lambda p: tracequill.Timeline(p, workers=0), ValueError, "argument 'workers': must be at least 1, got 0"),
        (lambda p: tracequill.Timeline(p, progress=1), TypeError, "argument 'progress': expected a callable or None, got int"),
        (lambda p: tracequill.Timeline(p).filter(providers="cursor"), ValueError, "Unknown provider 'cursor': expected one of 'claude_code', 'codex', 'open_code', 'unknown'"),
        (lambda p: tracequill.Timeline(p).filter(since="yesterday"), ValueError, "argument 'since': 'yesterday' is not an RFC 3339 date-time"),
        (lambda p: tracequill.Timeline(p).write(p / "out.txt"), ValueError, "Cannot tell the output format of"),
        (lambda p: tracequill.Timeline(p).write(p / "out", "xml"), ValueError, "Invalid format 'xml': expected 'json', 'jsonl', 'csv', 'html', or 'parquet'"),
    ],
)
def test_wrong_arguments(codex_root, call, error, message):
    with pytest.raises(error) as raised:
        call(codex_root)
    assert str(raised.value).startswith(message)


class Enough(Exception):
    pass


def test_progress_is_called_at_most_ten_times_a_second_and_may_end_the_parse(big_rollout_home):
    calls = []

    def progress(*counts):
        calls.append((time.monotonic(), counts))
        if len(calls) == 2:
            raise Enough

    started = time.monotonic()
    with pytest.raises(Enough):
        tracequill.Timeline(big_rollout_home, workers=1, progress=progress)
    (first, counts), (second, later) = calls
    assert first - started >= 0.09 and second - first >= 0.09
    rollout_size = sum(f.stat().st_size for f in big_rollout_home.rglob("rollout-*"))
    # Bytes move while the one file is still being read.
    assert counts[:2] == later[:2] == (0, 1) and counts[3] == later[3] == rollout_size
    assert 0 < counts[2] < later[2] < rollout_size


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/<pid>/io")
@pytest.mark.parametrize("home", ["big_rollout_home", "big_attachment_home"])
def test_sigint_stops_the_command_at_once_and_leaves_no_file(home, tmp_path, request):
    target = tmp_path / "out.jsonl"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    home = request.getfixturevalue(home)
    child = subprocess.Popen(
        [sys.executable, "-m", "tracequill", str(home), "-o", str(target), "--workers", "1"],
        stderr=subprocess.PIPE,
        env=env,
    )
    # Signal once the parse is well under way inside the one big file.
    deadline = time.monotonic() + 30
    while bytes_read(child.pid) < 8_000_000 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert child.poll() is None, "the parse should still be running"
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=10)
    assert time.monotonic() - sent < 1.0
    assert child.returncode == 130
    assert stderr == b"tracequill: interrupted\n"
    assert list(tmp_path.iterdir()) == []


# The resident size after each step, in a child so that nothing else the tests
# did counts.
FREED_CHILD = """
import gc, sys, tracequill
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1])
# What the first call sets up once (threads' arenas, imports) stays with the process.
tracequill.Timeline(sys.argv[1], workers=2)
before = resident()
timeline = tracequill.Timeline(sys.argv[1], workers=2)
assert len(timeline) == 100_000
held = resident()
del timeline
gc.collect()
print(held - before, resident() - before)
"""


@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks glibc's allocator under AddressSanitizer, which keeps freed memory in quarantine")
def test_a_freed_timeline_gives_its_memory_back(tmp_path):
    day = tmp_path / "home" / ".codex" / "sessions"
    day.mkdir(parents=True)
    line = ('{"timestamp":"2025-01-02T10:00:%02d.%03dZ","type":"event_msg",'
            '"payload":{"type":"agent_message","message":"message %d"}}\n')
    (day / "rollout-2025-01-02T10-00-00-0.jsonl").write_text(
        "".join(line % (i % 60, i % 1000, i) for i in range(100_000)))
    # A budget that keeps every event in memory, so that there is much to give back.
    child = subprocess.run([sys.executable, "-c", FREED_CHILD, str(tmp_path / "home")],
                           capture_output=True, text=True, check=True,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
                                    TRACEQUILL_SPILL_BUDGET=str(1 << 30)))
    held, after = map(int, child.stdout.split())
    assert after < held // 10, child.stdout


def test_an_empty_text_filter_keeps_every_event(tmp_path):
    home = tmp_path / "home"
    (home / ".codex").mkdir(parents=True)
    # A prompt submitted empty has the message "", which holds the empty text.
    (home / ".codex/history.jsonl").write_bytes(
        b'{"session_id":"s","text":"","ts":1700000000}\n{"session_id":"s","text":"hi","ts":1700000001}\n'
    )
    timeline = tracequill.Timeline(home)
    assert [e["message"] for e in timeline] == ["", "hi"]
    assert list(timeline.filter(text="")) == list(timeline)
    grep = subprocess.run(
        [sys.executable, "-m", "tracequill", home, "--grep", "", "-o", "-"],
        capture_output=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    assert grep.stdout.decode() == timeline.to_jsonl()


def test_transcripts_count_in_the_progress(tmp_path):
    project = tmp_path / ".claude" / "projects" / "-p"
    project.mkdir(parents=True)
    record = {"type": "assistant", "timestamp": "2025-01-02T10:00:00Z", "sessionId": "s",
              "message": {"content": [{"type": "text", "text": "x" * 2000}]}}
    for i in range(40):
        (project / f"5b1c7e2a-0000-4000-8000-{i:012d}.jsonl").write_text((json.dumps(record) + "\n") * 400)
    size = sum(p.stat().st_size for p in project.iterdir())
    seen = []
    tracequill.Timeline(tmp_path, workers=2, progress=lambda *counts: seen.append(counts))
    assert seen and seen[-1] == (40, 40, size, size)



# What linking writes on each sample's events with transcripts (copies, forks,
# calls and results, subagents described by their files), as linking the whole
# report at once wrote it before linking went one event at a time. Only the
# members linking writes, by event id: times taken from the files' own
# modification times differ between checkouts.
LINKED = json.loads((REPO / "tests" / "data" / "linked_surface_digests.json").read_text())


def linked_members(path: pathlib.Path) -> str:
    timeline = tracequill.Timeline(path, transcripts=True, include_raw=True, include_content=True)
    events = (json.loads(line) for line in timeline.to_jsonl().splitlines())
    kept = ({k: e[k] for k in ("event_id", "duplicate_of", "who", "prompt", "tool")} for e in events)
    lines = sorted(json.dumps(e, sort_keys=True) for e in kept)
    return hashlib.sha256("\n".join(lines).encode()).hexdigest()


@pytest.mark.parametrize("name", sorted(LINKED))
def test_linking_one_event_at_a_time_leaves_each_sample_as_it_was(name):
    path = next(p for p in [SAMPLE_HOME, HILLVIEWCAP, *REAL] if p.name == name)
    assert linked_members(path) == LINKED[name]
