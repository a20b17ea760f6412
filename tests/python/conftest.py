"""Fixture trees for the module tests, written from exact bytes into tmp_path."""

import errno
import os
import pathlib
import subprocess

import pytest

# The one acceptable start of a skip reason: the machine lacks a feature the
# test needs. Any other skip (a missing file, a missing test dependency) fails
# the test, so a run that reports success has run everything it could.
PLATFORM_LACKS = "platform lacks "


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.skipped or hasattr(report, "wasxfail"):
        return
    reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    if not reason.removeprefix("Skipped: ").startswith(PLATFORM_LACKS):
        report.outcome = "failed"
        report.longrepr = f"skipped for a reason that is no missing platform feature: {reason}"


def write_tree(root: pathlib.Path, files: dict[str, bytes]) -> pathlib.Path:
    """Writes each relative path with its bytes below root; returns root."""
    root.mkdir(parents=True, exist_ok=True)
    for relative, data in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return root


# Codex writes one prompt per line: session_id, text and ts (Unix seconds).
# Line 2 is blank, line 3 is not an object, line 4 has a float ts, line 5 is
# not JSON: the last three each cost one diagnostic in best-effort mode.
CODEX_HISTORY = (
    b'{"session_id":"s1","text":"hello","ts":1700000000,'
    b'"z":18446744073709551615,"b":-1,"a":1.0,"nested":{"y":[1,"two"],"x":null}}\n'
    b"\n"
    b"[1]\n"
    b'{"text":"x","ts":1.0}\n'
    b"not json\n"
)

# Lines that Codex history never produces events from.
CODEX_HISTORY_WITHOUT_EVENTS = b"[1]\n\"text\"\n"

# Claude Code appends one record per submitted prompt; timestamps in ms.
CLAUDE_HISTORY = (
    b'{"display":"first prompt","timestamp":1700000001000,'
    b'"sessionId":"c1","project":"/work/p"}\n'
)


@pytest.fixture
def codex_root(tmp_path: pathlib.Path) -> pathlib.Path:
    """A home directory holding a .codex profile with a prompt history."""
    return write_tree(tmp_path / "home", {".codex/history.jsonl": CODEX_HISTORY})


@pytest.fixture
def codex_without_events(tmp_path: pathlib.Path) -> pathlib.Path:
    return write_tree(tmp_path / "home", {".codex/history.jsonl": CODEX_HISTORY_WITHOUT_EVENTS})


@pytest.fixture
def two_profiles(tmp_path: pathlib.Path) -> pathlib.Path:
    """A home directory holding both profile roots."""
    return write_tree(
        tmp_path / "home",
        {".codex/history.jsonl": CODEX_HISTORY, ".claude/history.jsonl": CLAUDE_HISTORY},
    )


@pytest.fixture
def empty_directory(tmp_path: pathlib.Path) -> pathlib.Path:
    directory = tmp_path / "empty"
    directory.mkdir()
    return directory


@pytest.fixture
def small_disk(tmp_path: pathlib.Path):
    """A file system of 8 KiB (a tmpfs mounted below tmp_path), unmounted after."""
    mount = tmp_path / "disk"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", str(mount)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(PLATFORM_LACKS + "permission to mount a tmpfs")
    yield mount
    subprocess.run(["umount", "--lazy", str(mount)], check=True)


def fill(disk: pathlib.Path) -> pathlib.Path:
    """Leaves no byte free on `disk` (a file "filler" takes them all)."""
    fd = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, bytes(4096))
    except OSError as error:
        assert error.errno == errno.ENOSPC
    finally:
        os.close(fd)
    return disk


@pytest.fixture
def full_disk(small_disk: pathlib.Path) -> pathlib.Path:
    """The small disk with no byte left: the first write of any file fails."""
    return fill(small_disk)
