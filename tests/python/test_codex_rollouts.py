"""Codex rollouts as Codex stores them over time: compressed with zstd in place,
moved to archived_sessions/, and now and then unreadable."""

import errno
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import tracequill

from conftest import write_tree

pytestmark = pytest.mark.skipif(shutil.which("zstd") is None, reason="platform lacks the zstd command")

UUID = "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"
NAME = f"rollout-2025-01-02T10-00-00-{UUID}.jsonl"
ROLLOUT = (
    b'{"timestamp":"2025-01-02T10:00:00Z","type":"session_meta","payload":{"cwd":"/w"}}\n'
    b'{"timestamp":"2025-01-02T10:00:01Z","type":"event_msg",'
    b'"payload":{"type":"user_message","message":"hello"}}\n'
    b"\n"
    b"not json\n"
    b'{"timestamp":"2025-01-02T10:00:02Z","type":"event_msg",'
    b'"payload":{"type":"agent_message","message":"hi"}}\n'
)


def zstd(data: bytes) -> bytes:
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


def without_location(item: dict) -> dict:
    """An event or diagnostic without what names its file."""
    item = json.loads(json.dumps(item))
    for key in ("event_id", "source_file_sha256"):
        item.pop(key, None)
    if item.get("source"):
        item["source"].pop("relative_path", None)
    return item


@pytest.mark.parametrize("frames", [1, 3])
def test_compressed_rollout_gives_the_events_of_the_plain_one(tmp_path, frames):
    cut = [0, 90, 200, len(ROLLOUT)] if frames == 3 else [0, len(ROLLOUT)]
    stored = b"".join(zstd(ROLLOUT[a:b]) for a, b in zip(cut, cut[1:]))
    plain = write_tree(tmp_path / "plain", {f".codex/sessions/{NAME}": ROLLOUT})
    packed = write_tree(tmp_path / "packed", {f".codex/sessions/{NAME}.zst": stored})

    want = tracequill.parse(plain, include_raw=True)
    got = tracequill.parse(packed, include_raw=True)
    assert len(got["events"]) == 3
    assert [without_location(e) for e in got["events"]] == [without_location(e) for e in want["events"]]
    assert [without_location(d) for d in got["diagnostics"]] == [
        without_location(d) for d in want["diagnostics"]]
    for event in got["events"]:
        assert event["session_id"] == UUID
        assert event["source"]["relative_path"] == f"sessions/{NAME}.zst"
        assert event["source_file_sha256"] == hashlib.sha256(stored).hexdigest()


def test_frame_cut_in_half(tmp_path):
    tail = zstd(b"x" * 5000)
    damaged = tail[: len(tail) // 2]
    home = write_tree(tmp_path / "home", {f".codex/sessions/{NAME}.zst": zstd(ROLLOUT) + damaged,
                                          ".codex/archived_sessions/rollout-b.jsonl": b"{}\n"})

    report = tracequill.parse(home)
    assert len(report["events"]) == 4
    assert [d["message"] for d in report["diagnostics"]][0].startswith("Invalid JSON")
    assert report["diagnostics"][1] == {
        "code": "unreadable_artifact",
        "message": "Cannot decompress rollout: Src size is incorrect",
        "severity": "error",
        "source": {"artifact_kind": "session", "line_number": 6, "record_type": None,
                   "relative_path": f"sessions/{NAME}.zst", "source_id": None},
    }

    # The damage itself is what strict mode fails on.
    valid_lines = b"".join(line for line in ROLLOUT.splitlines(True) if line != b"not json\n")
    write_tree(home, {f".codex/sessions/{NAME}.zst": zstd(valid_lines) + damaged})
    with pytest.raises(ValueError) as raised:
        tracequill.parse(home, mode="strict")
    assert str(raised.value) == "Strict mode: Cannot decompress rollout: Src size is incorrect"


# The peak resident size grown during the call (VmHWM), so that the
# interpreter's own size, or a sanitizer's, doesn't count.
PEAK_CHILD = """
import sys, tracequill
def peak():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM:"))
before = peak()
report = tracequill.parse(sys.argv[1], max_line_size=1000, max_decompression_ratio=0)
print(peak() - before)
print(report["diagnostics"][0]["message"])
print(len(report["events"]))
"""


def test_decompression_bomb_stays_in_bounded_memory(tmp_path):
    # One frame of 256 MiB of one line, eight times over: 2 GiB from a few KB.
    frame = subprocess.run("head -c 268435456 /dev/zero | tr '\\0' a | zstd -q -c",
                           shell=True, capture_output=True, check=True).stdout
    stored = frame * 8
    assert len(stored) < 100_000
    write_tree(tmp_path / "home", {f".codex/sessions/{NAME}.zst": stored})
    child = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(tmp_path / "home")],
                           capture_output=True, text=True, check=True,
                           env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    growth, message, events = child.stdout.splitlines()
    assert message == "Line size 2147483648 exceeds max_line_size 1000, skipping."
    assert events == "0"
    assert int(growth) < 64 * 1024 * 1024


def newlines_bomb() -> bytes:
    """4 GiB of line feeds in 32 frames: about 128 KB stored."""
    frame = subprocess.run("head -c 134217728 /dev/zero | tr '\\0' '\\n' | zstd -q -c",
                           shell=True, capture_output=True, check=True).stdout
    return frame * 32


def flip_last_byte(data: bytes) -> bytes:
    return data[:-1] + bytes([data[-1] ^ 1])


FIFTY_LINES = b"".join(
    b'{"timestamp":"2025-01-02T10:00:%02dZ","type":"event_msg",' % i
    + b'"payload":{"type":"agent_message","message":"m%d"}}\n' % i for i in range(50))


# Decompression ends the file at the first damage or past its limit; the
# complete lines before that are kept, and the blank lines of a bomb cost no
# more than its limit.
@pytest.mark.parametrize("stored,options,events,line,message", [
    (lambda: flip_last_byte(zstd(FIFTY_LINES)), {}, 50, 51,
     "Restored data doesn't match checksum; the lines before it may be damaged"),
    (lambda: zstd(FIFTY_LINES)[:-2], {}, 50, 51, "Src size is incorrect"),
    (newlines_bomb, {}, 0, (64 << 20) + 1,
     "Decompressed data exceeds 67108864 bytes (max_decompression_ratio); "
     "the rest of the file is skipped"),
    (lambda: zstd(FIFTY_LINES * 2), {"max_decompression_ratio": 1}, 100, None, None),
], ids=["checksum", "cut", "newlines bomb", "ratio below the floor"])
def test_decompression_ends_after_the_complete_lines(tmp_path, stored, options, events, line,
                                                    message):
    home = write_tree(tmp_path / "home", {f".codex/sessions/{NAME}.zst": stored()})
    report = tracequill.parse(home, **options)
    assert len(report["events"]) == events
    expected = [] if message is None else [{
        "code": "unreadable_artifact", "message": f"Cannot decompress rollout: {message}",
        "severity": "error",
        "source": {"artifact_kind": "session", "line_number": line, "record_type": None,
                   "relative_path": f"sessions/{NAME}.zst", "source_id": None}}]
    assert report["diagnostics"] == expected


UNREADABLE_CHILD = """
import json, os, sys, tracequill
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
results = []
for mode in ("best_effort", "strict"):
    try:
        report = tracequill.parse(sys.argv[1], mode=mode)
        results.append([len(report["events"]), report["diagnostics"]])
    except ValueError as error:
        results.append(str(error))
print(json.dumps(results))
"""


def test_unreadable_rollout_is_a_diagnostic(tmp_path):
    # Root reads every file, so the reading runs as "nobody" in a child; the
    # tree then has to be where that user can reach it.
    home = pathlib.Path(tempfile.mkdtemp(prefix="tq-unreadable-"))
    try:
        write_tree(home, {".codex/sessions/rollout-a.jsonl": b"{}\n",
                          ".codex/sessions/rollout-b.jsonl.zst": zstd(b"{}\n")})
        for directory in [home, home / ".codex", home / ".codex/sessions"]:
            directory.chmod(0o755)
        (home / ".codex/sessions/rollout-a.jsonl").chmod(0o644)
        (home / ".codex/sessions/rollout-b.jsonl.zst").chmod(0)
        child = subprocess.run([sys.executable, "-c", UNREADABLE_CHILD, str(home)],
                               capture_output=True, text=True,
                               env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        if child.returncode != 0 and "PermissionError" in child.stderr:
            pytest.skip("platform lacks a way to drop root privileges to check an unreadable file")
        assert child.returncode == 0, child.stderr
        message = f"Cannot read session artifact: {os.strerror(errno.EACCES)} (os error 13)"
        best_effort, strict = json.loads(child.stdout)
        assert best_effort == [1, [{
            "code": "unreadable_artifact", "message": message, "severity": "error",
            "source": {"artifact_kind": "session", "line_number": None, "record_type": None,
                       "relative_path": "sessions/rollout-b.jsonl.zst", "source_id": None},
        }]]
        assert strict == f"Strict mode: {message}"
    finally:
        (home / ".codex/sessions/rollout-b.jsonl.zst").chmod(0o644)
        shutil.rmtree(home)
