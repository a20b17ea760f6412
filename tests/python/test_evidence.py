"""What a parse may read and write: links planted in the evidence, pseudo file
systems, unreadable profiles, and a convert destination that is an input."""

import ctypes
import os
import pathlib
import pickle
import shutil
import tempfile
import threading

import pytest

import tracequill

from conftest import CLAUDE_HISTORY, CODEX_HISTORY, write_tree

OUTSIDE = "Not following symbolic link outside the evidence: {} (pass follow_symlinks=True to follow it)"
PSEUDO = "Not reading a file on a pseudo file system: {}"


def warnings_of(result):
    return [
        (d["source"]["relative_path"], d["message"])
        for d in result["diagnostics"]
        if d["severity"] == "warning" and d["code"] == "unreadable_artifact"
    ]


def event_paths(result):
    return sorted(e["source"]["relative_path"] for e in result["events"])


@pytest.fixture
def planted(tmp_path):
    """A home holding a Codex profile and other data; beside it, files that are
    not evidence."""
    write_tree(tmp_path / "elsewhere", {"secret/id_rsa": b"KEY", "history.jsonl": CODEX_HISTORY})
    home = write_tree(tmp_path / "home", {".codex/history.jsonl": b"", "data/a/note.txt": b"n"})
    return home


# (name, link in .codex, target relative to the home, follow_symlinks,
#  expected event paths, expected warnings)
LINK_CASES = [
    ("attachments to /proc/self", "attachments", "/proc/self", False, [],
     [("attachments", OUTSIDE.format("attachments"))]),
    ("sessions to /", "sessions", "/", False, [], [("sessions", OUTSIDE.format("sessions"))]),
    ("attachments outside the home", "attachments", "../elsewhere/secret", False, [],
     [("attachments", OUTSIDE.format("attachments"))]),
    ("history outside the home", "history.jsonl", "../elsewhere/history.jsonl", False, [],
     [("history.jsonl", OUTSIDE.format("history.jsonl"))]),
    ("attachments inside the home", "attachments", "data", False,
     ["attachments/a/note.txt"], []),
    ("outside, followed on request", "attachments", "../elsewhere/secret", True,
     ["attachments/id_rsa"], []),
    ("/proc/self, followed on request", "attachments", "/proc/self", True, [],
     [("attachments", PSEUDO.format("attachments"))]),
]


@pytest.mark.parametrize("case", LINK_CASES, ids=[c[0] for c in LINK_CASES])
def test_links_followed_regardless_stay_inside_the_evidence(planted, case):
    _, name, target, follow, paths, warnings = case
    link = planted / ".codex" / name
    if name == "history.jsonl":
        link.unlink()
    target_path = target if target.startswith("/") else str((planted / target).resolve())
    os.symlink(target_path, link)
    result = tracequill.parse(planted, follow_symlinks=follow)
    assert event_paths(result) == paths
    assert warnings_of(result) == warnings


@pytest.mark.parametrize("inside", [True, False], ids=["inside the home", "outside the home"])
def test_a_profile_linked_from_the_home_is_read_only_when_it_stays_inside(tmp_path, inside):
    kept = tmp_path / ("home/dotfiles/claude" if inside else "elsewhere/claude")
    write_tree(kept, {"history.jsonl": CLAUDE_HISTORY})
    home = write_tree(tmp_path / "home", {".codex/history.jsonl": CODEX_HISTORY})
    os.symlink(kept, home / ".claude")
    result = tracequill.parse(home)
    claude = [p for p in event_paths(result) if p.startswith(".claude/")]
    assert claude == ([".claude/history.jsonl"] if inside else [])
    refusal = (".claude", OUTSIDE.format(".claude"))
    assert (refusal in warnings_of(result)) is not inside


def test_a_file_on_a_pseudo_file_system_is_never_read(tmp_path):
    home = write_tree(tmp_path / "home", {".codex/attachments/s/ok.txt": b"x"})
    os.symlink("/proc/self/status", home / ".codex/attachments/s/status")
    result = tracequill.parse(home, follow_symlinks=True)
    assert event_paths(result) == ["attachments/s/ok.txt"]
    assert warnings_of(result) == [("attachments/s/status", PSEUDO.format("attachments/s/status"))]


def test_a_doubling_tree_of_links_is_walked_once_per_directory(tmp_path):
    # Each level links twice to the next: 2**24 paths, 24 directories.
    levels = 24
    attachments = tmp_path / "home/.codex/attachments"
    for level in range(levels):
        write_tree(attachments / f"d{level}", {f"f{level}.txt": b"x"})
    for level in range(levels - 1):
        for name in ("a", "b"):
            os.symlink(f"../d{level + 1}", attachments / f"d{level}" / name)
    result = tracequill.parse(tmp_path / "home", follow_symlinks=True)
    assert len(result["events"]) == levels
    skipped = warnings_of(result)
    assert len(skipped) == 2 * (levels - 1)
    assert ("attachments/d1", "Not walking a directory that was walked already: attachments/d1") in skipped


# (name, input relative to the home, destination relative to the home)
INPUT_DESTINATIONS = [
    ("the file itself", ".codex/history.jsonl", ".codex/history.jsonl"),
    ("a history of the home", ".", ".codex/history.jsonl"),
    ("a cache file of the home", ".", ".claude/paste-cache/p.txt"),
    ("a hard link to an input", ".", "hard-link.jsonl"),
]


@pytest.mark.parametrize("case", INPUT_DESTINATIONS, ids=[c[0] for c in INPUT_DESTINATIONS])
def test_convert_never_overwrites_an_input(tmp_path, case):
    _, given, destination = case
    home = write_tree(
        tmp_path / "home",
        {
            ".codex/history.jsonl": CODEX_HISTORY,
            ".claude/history.jsonl": CLAUDE_HISTORY,
            ".claude/paste-cache/p.txt": b"pasted",
        },
    )
    os.link(home / ".codex/history.jsonl", home / "hard-link.jsonl")
    before = (home / destination).read_bytes()
    with pytest.raises(OSError) as raised:
        tracequill.convert(home / given, home / destination, format="jsonl")
    assert str(raised.value) == f"Cannot create '{home / destination}': it is an input of this parse"
    assert (home / destination).read_bytes() == before


def run_as_nobody(function):
    """Runs function() in a child whose user and group are nobody's, so that
    permission bits apply; returns its result or raises its exception."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            try:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            except OSError as error:
                outcome = ("skip", f"platform lacks permission to setuid to nobody: {error}")
            else:
                try:
                    outcome = ("ok", function())
                except BaseException as error:  # the parent re-raises it
                    outcome = ("raised", (type(error), str(error)))
            with os.fdopen(write_end, "wb") as out:
                pickle.dump(outcome, out)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as source:
        data = source.read()
    os.waitpid(pid, 0)
    kind, value = pickle.loads(data)
    if kind == "skip":
        pytest.skip(value)
    if kind == "raised":
        raise value[0](value[1])
    return value


@pytest.fixture
def shared_home():
    """A home that the user nobody may enter (pytest's own directories are
    private to root), removed afterwards."""
    if os.geteuid() != 0:
        pytest.skip("platform lacks root privileges to drop to nobody (setuid)")
    base = pathlib.Path(tempfile.mkdtemp(prefix="tq-perm-"))
    base.chmod(0o755)
    home = write_tree(
        base / "home",
        {".codex/history.jsonl": CODEX_HISTORY, ".claude/history.jsonl": CLAUDE_HISTORY},
    )
    for directory in (home, home / ".codex", home / ".claude"):
        directory.chmod(0o755)
    yield home
    shutil.rmtree(base)  # root removes it whatever the modes


PERMISSION_DENIED = "Permission denied (os error 13)"

# (name, path relative to the home, its mode, relative path and message of the
#  error diagnostic)
UNREADABLE = [
    ("profile listed but not entered", ".claude", 0o744, ".claude",
     f"Cannot read profile directory: {PERMISSION_DENIED}"),
    ("profile not listed", ".claude", 0o000, ".claude",
     f"Cannot read profile directory: {PERMISSION_DENIED}"),
    ("history not readable", ".codex/history.jsonl", 0o000, ".codex/history.jsonl",
     f"Cannot open file: {PERMISSION_DENIED}"),
]


@pytest.mark.parametrize("case", UNREADABLE, ids=[c[0] for c in UNREADABLE])
def test_an_unreadable_profile_or_history_is_an_error_diagnostic(shared_home, case):
    _, relative, mode, shown, message = case
    (shared_home / relative).chmod(mode)
    result = run_as_nobody(lambda: tracequill.parse(shared_home))
    errors = [
        (d["source"]["relative_path"], d["message"])
        for d in result["diagnostics"]
        if d["severity"] == "error" and d["code"] == "unreadable_artifact"
    ]
    assert errors == [(shown, message)]
    # The other profile is still read.
    assert result["events"]


def test_an_unreadable_home_is_an_io_error(shared_home):
    shared_home.chmod(0o000)
    with pytest.raises(OSError) as raised:
        run_as_nobody(lambda: tracequill.parse(shared_home))
    assert str(raised.value) == f"I/O error at {shared_home}: {PERMISSION_DENIED}"


# Skips: every file named as evidence but left alone is named in a warning.
LINK = "Not following symbolic link: {} (pass follow_symlinks=True to follow it)"
SPECIAL = "Not reading a FIFO, device or socket: {}"
ROLLOUT = "sessions/rollout-2025-01-01T00-00-00-a.jsonl"


def plant_link(path):
    os.symlink("history.jsonl", path)


# (name, path below the home, what is put there, expected (path, severity, message))
SKIP_CASES = [
    ("transcript link", ".claude/projects/p/a.jsonl", plant_link,
     (".claude/projects/p/a.jsonl", "warning", LINK.format(".claude/projects/p/a.jsonl"))),
    ("transcript FIFO", ".claude/projects/p/a.jsonl", os.mkfifo,
     (".claude/projects/p/a.jsonl", "warning", SPECIAL.format(".claude/projects/p/a.jsonl"))),
    ("transcript link to a device", ".claude/projects/p/a.jsonl", lambda p: os.symlink("/dev/zero", p),
     (".claude/projects/p/a.jsonl", "warning", LINK.format(".claude/projects/p/a.jsonl"))),
    ("rollout FIFO", ".codex/" + ROLLOUT, os.mkfifo,
     (".codex/" + ROLLOUT, "warning", SPECIAL.format(".codex/" + ROLLOUT))),
    ("empty zstd rollout", ".codex/" + ROLLOUT + ".zst", lambda p: open(p, "wb").close(),
     (".codex/" + ROLLOUT + ".zst", "error", "Cannot decompress rollout: Src size is incorrect")),
]


@pytest.mark.parametrize("case", SKIP_CASES, ids=[c[0] for c in SKIP_CASES])
def test_a_file_left_alone_is_named(tmp_path, case):
    _, relative, plant, expected = case
    home = write_tree(tmp_path / "home", {".claude/history.jsonl": CLAUDE_HISTORY,
                                          ".codex/history.jsonl": CODEX_HISTORY})
    (home / relative).parent.mkdir(parents=True, exist_ok=True)
    plant(home / relative)
    diagnostics = tracequill.Timeline(home, transcripts=True).diagnostics
    named = [(d["source"]["relative_path"], d["severity"], d["message"]) for d in diagnostics
             if d["code"] == "unreadable_artifact"]
    assert named == [expected]


def test_the_only_profile_linking_outside_is_named_not_unrecognised(tmp_path):
    write_tree(tmp_path / "elsewhere/codex", {"history.jsonl": CODEX_HISTORY})
    home = tmp_path / "home"
    home.mkdir()
    os.symlink(tmp_path / "elsewhere/codex", home / ".codex")
    result = tracequill.parse(home)
    assert result["events"] == []
    assert warnings_of(result) == [(".codex", OUTSIDE.format(".codex"))]


# Races: the directory of an attachment swapped with a link to one outside,
# again and again, while the profile is parsed.
def test_a_directory_swapped_for_a_link_outside_never_leads_a_parse_there(tmp_path):
    libc = ctypes.CDLL(None, use_errno=True)
    if not hasattr(libc, "renameat2"):
        pytest.skip("platform lacks renameat2")
    attachments = tmp_path / "h/.codex/attachments"
    write_tree(attachments, {"s/n.txt": b"benign"})
    write_tree(tmp_path / "o", {"n.txt": b"SECRET"})
    os.symlink("../../../o", attachments / "s.alt")
    names = [bytes(attachments / n) for n in ("s", "s.alt")]
    stop = threading.Event()

    def swap():
        at_fdcwd, rename_exchange = -100, 2
        while not stop.is_set():
            assert libc.renameat2(at_fdcwd, names[0], at_fdcwd, names[1], rename_exchange) == 0

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        leaked = [r for r in (repr(tracequill.parse(tmp_path / "h/.codex", include_content=True))
                              for _ in range(4000)) if "SECRET" in r]
    finally:
        stop.set()
        swapper.join()
    assert leaked == []
