"""parse(): the result dict, its key orders and values, and the exceptions."""

import errno
import os
import pathlib
import sys
import threading
import time

import pytest

import tracequill

from conftest import CLAUDE_HISTORY, write_tree

EVENT_KEYS = [
    "artifact", "event_id", "event_type", "fs_times", "message", "provider", "raw",
    "schema_version", "sequence", "session_id", "source", "source_file_sha256", "timestamp",
    "timestamp_raw", "timestamp_source", "warnings", "working_directory",
]
SOURCE_KEYS = ["artifact_kind", "line_number", "record_type", "relative_path", "source_id"]
DIAGNOSTIC_KEYS = ["code", "message", "severity", "source"]


def io_message(path, number):
    return f"I/O error at {path}: {os.strerror(number)} (os error {number})"


def test_result_has_events_then_diagnostics(codex_root):
    result = tracequill.parse(codex_root)
    assert list(result) == ["events", "diagnostics"]
    assert [e["sequence"] for e in result["events"]] == list(range(len(result["events"])))


def test_event_and_diagnostic_keys_are_in_byte_order(codex_root):
    result = tracequill.parse(codex_root)
    assert result["events"]
    for event in result["events"]:
        assert list(event) == EVENT_KEYS
        assert list(event["source"]) == SOURCE_KEYS
        assert event["raw"] is None
        assert event["artifact"] is None
        assert event["fs_times"] is None
        assert event["schema_version"] == "1"
        assert event["provider"] == "codex"
    assert result["diagnostics"]
    for diagnostic in result["diagnostics"]:
        assert list(diagnostic) == DIAGNOSTIC_KEYS
        assert list(diagnostic["source"]) == SOURCE_KEYS


def test_values_keep_their_json_types(codex_root):
    result = tracequill.parse(codex_root, include_raw=True)
    first = result["events"][0]
    assert first["timestamp"] == "2023-11-14T22:13:20Z"
    assert first["timestamp_raw"] == 1700000000
    assert first["message"] == "hello"
    assert first["session_id"] == "s1"
    assert first["source"]["relative_path"] == "history.jsonl"
    assert first["source"]["line_number"] == 1
    assert first["warnings"] == []
    assert len(first["event_id"]) == 64 and len(first["source_file_sha256"]) == 64
    raw = first["raw"]
    # Members of input objects come back sorted by key, at every depth.
    assert list(raw) == ["a", "b", "nested", "session_id", "text", "ts", "z"]
    assert list(raw["nested"]) == ["x", "y"]
    assert raw["z"] == 18446744073709551615 and type(raw["z"]) is int
    assert raw["b"] == -1
    assert raw["a"] == 1.0 and type(raw["a"]) is float
    assert raw["nested"] == {"x": None, "y": [1, "two"]}
    second = result["events"][1]
    assert second["timestamp"] is None
    assert second["timestamp_raw"] == 1.0 and type(second["timestamp_raw"]) is float


def test_diagnostics_in_the_order_raised(codex_root):
    diagnostics = tracequill.parse(codex_root)["diagnostics"]
    assert [(d["code"], d["severity"], d["source"]["line_number"]) for d in diagnostics] == [
        ("unknown_record", "warning", 3),
        ("invalid_timestamp", "warning", 4),
        ("invalid_json", "error", 5),
    ]


def test_input_without_events(codex_without_events):
    result = tracequill.parse(codex_without_events)
    assert result["events"] == []
    assert len(result["diagnostics"]) == 2


def test_str_and_path_give_equal_results(codex_root):
    assert tracequill.parse(str(codex_root)) == tracequill.parse(pathlib.Path(codex_root))


def test_same_tree_in_two_places_gives_equal_results(tmp_path):
    from conftest import CODEX_HISTORY

    first = write_tree(tmp_path / "a" / "home", {".codex/history.jsonl": CODEX_HISTORY})
    second = write_tree(tmp_path / "b" / "deeper" / "home", {".codex/history.jsonl": CODEX_HISTORY})
    assert tracequill.parse(first, include_raw=True) == tracequill.parse(second, include_raw=True)


def test_two_profile_roots_are_merged(two_profiles):
    events = tracequill.parse(two_profiles)["events"]
    assert {e["source"]["relative_path"] for e in events} == {
        ".codex/history.jsonl",
        ".claude/history.jsonl",
    }


def test_max_line_size_true_means_one(codex_root):
    diagnostics = tracequill.parse(codex_root, max_line_size=True)["diagnostics"]
    assert diagnostics
    assert all(d["message"].endswith("exceeds max_line_size 1, skipping.") for d in diagnostics)


def test_strict_mode_fails_on_the_first_error(codex_root):
    with pytest.raises(ValueError) as raised:
        tracequill.parse(codex_root, mode="strict")
    assert type(raised.value) is ValueError
    assert str(raised.value).startswith("JSON parse error at history.jsonl line 5: ")


# Failures that never reach an adapter: the path itself is the problem.
PATH_FAILURES = [
    # (name, relative path below tmp_path, exception, expected message builder)
    ("empty directory", "empty", ValueError,
     lambda p: f"Cannot auto-detect a supported artifact at '{p}'."),
    ("missing path", "missing", FileNotFoundError, lambda p: io_message(p, errno.ENOENT)),
    ("missing below a file", "file/below", NotADirectoryError,
     lambda p: io_message(p, errno.ENOTDIR)),
]
# The errno of each OSError subclass above.
ERRNO_OF = {FileNotFoundError: errno.ENOENT, NotADirectoryError: errno.ENOTDIR}


@pytest.mark.parametrize("name,relative,error,message", PATH_FAILURES,
                         ids=[f[0] for f in PATH_FAILURES])
@pytest.mark.parametrize("function", ["parse", "to_json", "to_jsonl", "to_csv"])
def test_path_failures(tmp_path, monkeypatch, function, name, relative, error, message):
    (tmp_path / "empty").mkdir()
    (tmp_path / "file").write_bytes(b"")
    # A relative path is used as given, not made absolute, also in messages.
    monkeypatch.chdir(tmp_path)
    path = relative
    with pytest.raises(error) as raised:
        getattr(tracequill, function)(path)
    # The built-in class itself, created from the message alone; an OSError
    # carries its errno but no strerror, so that str() is the message.
    assert type(raised.value) is error
    assert raised.value.args == (message(path),)
    assert str(raised.value) == message(path)
    if error in ERRNO_OF:
        assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
            ERRNO_OF[error], None, None)


# Failures the parse and its output make themselves, each raised as the class it
# always was: (name, call on a home with a Claude Code history, class, message).
OWN_FAILURES = [
    ("strict mode, line too long",
     lambda home: tracequill.parse(home, mode="strict", max_line_size=8),
     ValueError, lambda home: "Line exceeds max_line_size"),
    ("output onto an input",
     lambda home: tracequill.convert(home, home / ".claude/history.jsonl", format="jsonl"),
     OSError,
     lambda home: f"Cannot create '{home / '.claude/history.jsonl'}': it is an input of this parse"),
]


@pytest.mark.parametrize("name,call,error,message", OWN_FAILURES, ids=[f[0] for f in OWN_FAILURES])
def test_own_failures_keep_their_exception(tmp_path, name, call, error, message):
    write_tree(tmp_path, {".claude/history.jsonl": CLAUDE_HISTORY})
    with pytest.raises(error) as raised:
        call(tmp_path)
    assert type(raised.value) is error
    assert str(raised.value) == message(tmp_path)
    if error is OSError:
        assert raised.value.errno is None


def test_missing_path_with_follow_symlinks(tmp_path):
    path = tmp_path / "missing"
    with pytest.raises(OSError) as raised:
        tracequill.parse(path, follow_symlinks=True)
    assert str(raised.value) == io_message(path, errno.ENOENT)


@pytest.mark.parametrize("follow_symlinks", [False, True])
@pytest.mark.parametrize("function", ["parse", "to_json", "to_jsonl", "to_csv"])
def test_path_with_nul_is_never_cut_short(codex_root, function, follow_symlinks):
    # The part before the NUL names a real profile: cutting the path there
    # would parse the wrong input instead of failing.
    path = f"{codex_root}\0/elsewhere"
    with pytest.raises(OSError) as raised:
        getattr(tracequill, function)(path, follow_symlinks=follow_symlinks)
    # EINVAL has no subclass of its own.
    assert type(raised.value) is OSError
    assert raised.value.errno == errno.EINVAL
    assert raised.value.args == (io_message(path, errno.EINVAL),)


def test_path_with_nul_fails_after_the_mode_check(codex_root):
    with pytest.raises(ValueError, match="^Invalid mode"):
        tracequill.parse(f"{codex_root}\0", mode="bogus")


def test_results_hold_no_extra_references(codex_root):
    path = str(codex_root) + ""
    before = sys.getrefcount(path)
    results = [tracequill.parse(path, include_raw=True) for _ in range(20)]
    assert sys.getrefcount(path) == before
    # Computed outside the asserts, which keep references of their own.
    counts = [sys.getrefcount(results[0]["events"]),
              sys.getrefcount(results[0]["events"][0]["raw"]),
              sys.getrefcount(results[0]["events"][0]["raw"]["nested"])]
    assert counts == [2, 2, 2]


def convert_in_thread(root, output):
    """Runs convert on a second thread while this one keeps ticking; returns the
    total time and the longest stretch this thread could not run."""
    started = time.monotonic()
    worker = threading.Thread(target=tracequill.convert, args=(root, output, "jsonl"))
    ticks = [started]
    worker.start()
    while worker.is_alive():
        time.sleep(0.001)
        ticks.append(time.monotonic())
    worker.join()
    return ticks[-1] - started, max(b - a for a, b in zip(ticks, ticks[1:]))


def test_other_threads_run_while_parsing(tmp_path):
    # convert keeps the lock released for parsing and for writing, so nothing
    # long holds it. The history grows until the call takes long enough to tell.
    line = b'{"session_id":"s","text":"' + b"x" * 200 + b'","ts":1700000000}\n'
    lines = 20_000
    for attempt in range(4):
        root = write_tree(tmp_path / f"home{attempt}", {".codex/history.jsonl": line * lines})
        output = tmp_path / "out.jsonl"
        elapsed, longest_stall = convert_in_thread(root, output)
        if elapsed > 0.4:
            break
        lines *= 4
    assert output.stat().st_size > 0
    # Holding the lock through the parse would stall this thread for the whole
    # call; allow a generous margin for a busy machine.
    assert longest_stall < elapsed / 4, (longest_stall, elapsed)


def test_parallel_parses_agree(two_profiles):
    expected = tracequill.parse(two_profiles, include_raw=True)
    results = [None] * 4

    def work(index):
        results[index] = [tracequill.parse(two_profiles, include_raw=True) for _ in range(25)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for batch in results for result in batch)


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="platform lacks a tmpfs at /dev/shm")
@pytest.mark.parametrize("mtime,modified", [
    (253402300799, "9999-12-31T23:59:59Z"),
    (253402300800, None),
])
def test_file_times_after_9999_are_absent(mtime, modified):
    # tmpfs keeps times that most disk file systems would clamp.
    import tempfile
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        root = write_tree(pathlib.Path(directory), {".codex/attachments/S1/a.txt": b"a"})
        os.utime(root / ".codex/attachments/S1/a.txt", (mtime, mtime))
        if os.stat(root / ".codex/attachments/S1/a.txt").st_mtime != mtime:
            pytest.skip("the file system clamps far-future times")
        (event,) = tracequill.parse(root)["events"]
    assert event["timestamp"] == modified
    assert event["fs_times"]["modified"] == modified
    assert event["timestamp_source"] == ("filesystem_modified" if modified else "none")
