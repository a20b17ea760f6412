"""Where output may go, and what a failed write leaves: full disks, FIFOs and
devices, closed pipes, the longest names, the evidence itself."""

import errno
import os
import signal
import socket
import subprocess
import sys

import pytest
from conftest import CLAUDE_HISTORY, CODEX_HISTORY, fill, write_tree
from test_command import SAMPLE_HOME

import tracequill


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def command(*arguments, **options):
    """The command in a subprocess; the timeout only guards against a hang."""
    options.setdefault("stdout", subprocess.PIPE)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", "tracequill", *map(str, arguments)], stderr=subprocess.PIPE,
                          env=env, timeout=120, **options)


# Every way of writing a named file, as (name, write(input, output, format)).
WRITERS = [
    ("convert", lambda given, output, format: tracequill.convert(given, output, format)),
    # Without transcripts, whose facts the module functions' output has not.
    (
        "Timeline.write",
        lambda given, output, format: tracequill.Timeline(given, transcripts=False).write(output, format),
    ),
]
WRITER_IDS = [w[0] for w in WRITERS]


@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_a_full_disk_fails_and_leaves_no_file(codex_root, full_disk, writer):
    with pytest.raises(tracequill.WriteError) as raised:
        writer[1](codex_root, full_disk / "out.jsonl", "jsonl")
    assert raised.value.errno == errno.ENOSPC
    assert str(raised.value) == "I/O flush error: " + os_text(errno.ENOSPC)
    assert os.listdir(full_disk) == ["filler"]


# The sample's 18 KB of JSON lines don't fit the 8 KiB disk, nor does its
# summary a full one: the command says so in one line, and neither -o nor a
# redirection leaves a cut file that looks whole.
FULL_DISK_RUNS = [
    ("-o", [], "I/O flush error: " + os_text(errno.ENOSPC)),
    ("stdout", [], "I/O flush error: " + os_text(errno.ENOSPC)),
    ("summary", ["--summary"], "[Errno 28] No space left on device"),
]


@pytest.mark.parametrize("how,flags,error", FULL_DISK_RUNS, ids=[c[0] for c in FULL_DISK_RUNS])
def test_the_command_on_a_full_disk_fails_with_one_line(small_disk, how, flags, error):
    target = small_disk / "t.jsonl"
    if how == "-o":
        result = command(SAMPLE_HOME, "-o", target)
        assert os.listdir(small_disk) == []
    else:
        if flags:
            fill(small_disk)
        with open(target, "wb") as out:
            result = command(SAMPLE_HOME, *flags, stdout=out)
        assert target.read_bytes() == b""
    assert (result.returncode, result.stderr.decode()) == (1, f"tracequill: error: {error}\n")


def unix_socket(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(path))


# (what sits at the name, how it is made, the reason): none is opened, so none
# can block the caller or write to a device.
NOT_REGULAR = [
    ("FIFO", os.mkfifo, "it is a FIFO, not a regular file"),
    ("socket", unix_socket, "it is a socket, not a regular file"),
    ("device", None, "it is a character device, not a regular file"),
]


@pytest.mark.parametrize("kind,make,reason", NOT_REGULAR, ids=[c[0] for c in NOT_REGULAR])
@pytest.mark.parametrize("api", ["convert", "Timeline.write", "command"])
def test_what_is_not_a_regular_file_is_refused_without_blocking(codex_root, tmp_path, kind, make, reason, api):
    target = "/dev/null" if make is None else str(tmp_path / "out.jsonl")
    if make is not None:
        make(target)
    if api == "command":
        result = command(codex_root, "-o", target, "-f", "jsonl")
    else:
        call = ("tracequill.convert(sys.argv[1], sys.argv[2], 'jsonl')" if api == "convert"
                else "tracequill.Timeline(sys.argv[1]).write(sys.argv[2], 'jsonl')")
        script = f"import sys, tracequill\ntry:\n {call}\nexcept OSError as e:\n sys.exit(str(e))"
        result = subprocess.run([sys.executable, "-c", script, codex_root, target], capture_output=True,
                                env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert result.returncode == 1
    prefix = "tracequill: error: " if api == "command" else ""
    assert result.stderr.decode() == f"{prefix}Cannot create '{target}': {reason}\n"


@pytest.mark.parametrize("length", [248, 255])
@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_names_up_to_the_longest_legal_one(codex_root, tmp_path, writer, length):
    name = "n" * (length - len(".jsonl")) + ".jsonl"
    writer[1](codex_root, tmp_path / name, "jsonl")
    assert (tmp_path / name).read_text() == tracequill.to_jsonl(codex_root)
    assert sorted(os.listdir(tmp_path)) == ["home", name]


def evidence_home(tmp_path):
    return write_tree(tmp_path / "home", {
        ".codex/history.jsonl": CODEX_HISTORY,
        ".codex/sessions/2025/01/02/rollout-2025-01-02T10-00-00-a.jsonl": b"",
        ".claude/history.jsonl": CLAUDE_HISTORY,
        ".claude/projects/p/0b0c.jsonl": b'{"type":"user"}\n',
    })


def tree_bytes(root):
    return {p: p.read_bytes() for p in root.rglob("*") if p.is_file()}


# (name, input relative to the home, Timeline options, destination): files the
# parse did not read and names that don't exist, all inside its evidence.
INSIDE_EVIDENCE = [
    ("history beside the sessions given", ".codex/sessions", {}, ".codex/history.jsonl"),
    ("a transcript not read", ".", {"transcripts": False}, ".claude/projects/p/0b0c.jsonl"),
    ("a new name in a profile of the home", ".", {}, ".codex/timeline.csv"),
    ("a new name in an artifact directory", ".claude", {}, ".claude/projects/timeline.csv"),
]


@pytest.mark.parametrize("case", INSIDE_EVIDENCE, ids=[c[0] for c in INSIDE_EVIDENCE])
def test_nothing_is_written_inside_the_evidence(tmp_path, case):
    _, given, options, destination = case
    home = evidence_home(tmp_path)
    before = tree_bytes(home)
    refused = f"Cannot create '{home / destination}': it is inside the evidence of this parse"
    with pytest.raises(OSError) as raised:
        tracequill.Timeline(home / given, **options).write(home / destination, "jsonl")
    assert str(raised.value) == refused
    with pytest.raises(OSError) as raised:
        tracequill.convert(home / given, home / destination, "jsonl")
    assert str(raised.value) == refused
    flags = ["--no-transcripts"] if options else []
    result = command(home / given, "-o", home / destination, *flags)
    assert (result.returncode, result.stderr.decode()) == (1, f"tracequill: error: {refused}\n")
    assert tree_bytes(home) == before


def test_standard_output_appended_to_an_input_is_refused(tmp_path):
    home = evidence_home(tmp_path)
    history = home / ".codex" / "history.jsonl"
    with open(history, "ab") as out:
        result = command(history, stdout=out)
    assert (result.returncode, result.stderr.decode()) == (
        1, "tracequill: error: Cannot write to descriptor 1: it is an input of this parse\n")
    assert history.read_bytes() == CODEX_HISTORY


def test_a_new_file_elsewhere_in_the_home_is_fine(tmp_path):
    home = evidence_home(tmp_path)
    tracequill.Timeline(home).write(home / "timeline.csv")
    assert (home / "timeline.csv").read_text() == tracequill.Timeline(home).to_csv()


# The reader went away: no message, no traceback, status 0 as rg and fd give.
@pytest.mark.parametrize("arguments", [["-o", "-"], ["--summary"], ["-o", "-", "--summary"], ["-f", "csv"]])
def test_a_closed_pipe_ends_the_command_quietly(arguments):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = command(SAMPLE_HOME, *arguments, stdout=write_end)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (0, b"")


def test_with_o_dash_the_summary_goes_to_stderr():
    result = command(SAMPLE_HOME, "-o", "-", "--summary")
    assert result.returncode == 0
    assert result.stdout.decode() == tracequill.Timeline(SAMPLE_HOME).to_jsonl()
    assert result.stderr.decode().startswith(f"Timeline of {SAMPLE_HOME}: 22 events, 2 diagnostics\n")


def test_ctrl_c_while_the_output_waits_on_a_full_pipe(tmp_path):
    # Megabytes of JSON lines: far more than a pipe holds, and nobody reads.
    home = write_tree(tmp_path / "home", {".codex/history.jsonl": (CODEX_HISTORY.split(b"\n")[0] + b"\n") * 20000})
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-m", "tracequill", str(home), "-o", "-"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env) as process:
        assert process.stdout.read(1) == b"{"  # it is writing
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=120) == 130
        assert process.stderr.read() == b"tracequill: interrupted\n"
