"""Running out of descriptors or memory is a fault of the machine, never a
diagnostic about the evidence. Each case runs in a child process whose limits
are lowered after the module is imported."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

from conftest import write_tree

# AddressSanitizer reserves terabytes of address space up front.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

CHILD = textwrap.dedent("""
    import json, resource, sys
    import tracequill
    path, limit, call, options = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
    if limit == "files":
        # The undefined-behaviour sanitizer checks a polymorphic object's type
        # the first time it meets it, through a pipe it can't open once no
        # descriptor is left: a parse before the limit lets it meet them all.
        getattr(tracequill, call)(path, max_line_size=0, **options)
        resource.setrlimit(resource.RLIMIT_NOFILE, (0, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    else:
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + int(limit), resource.RLIM_INFINITY))
    try:
        result = getattr(tracequill, call)(path, max_line_size=0, **options)
        events, diagnostics = ((result["events"], result["diagnostics"]) if call == "parse"
                               else (result, result.diagnostics))
    except BaseException as raised:
        print(type(raised).__name__, raised)
    else:
        print("report", len(events), [d["message"] for d in diagnostics])
""")


def run_child(path, limit, call="parse", **options):
    done = subprocess.run([sys.executable, "-c", CHILD, str(path), limit, call, json.dumps(options)],
                          capture_output=True, text=True, timeout=300, env=os.environ)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


ROLLOUT = ".codex/sessions/2025/01/01/rollout-2025-01-01T00-00-00-0.jsonl"


@pytest.mark.parametrize("files,given", [
    ({ROLLOUT: b"{}\n"}, "."),
    ({ROLLOUT: b"{}\n"}, ".codex/sessions"),
    ({".codex/attachments/S1/a.txt": b"a"}, ".codex/attachments"),
    ({".claude/paste-cache/abc.txt": b"a"}, ".claude/paste-cache"),
    ({".claude/file-history/S1/a@v1": b"a"}, ".claude/file-history"),
])
def test_no_file_descriptors_ends_the_parse(tmp_path, files, given):
    root = write_tree(tmp_path / "home", files)
    out = run_child(root / given, "files")
    assert out.startswith("OSError I/O error at "), out
    assert out.endswith(": Too many open files (os error 24)"), out


@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks address-space limits under AddressSanitizer, which reserves its shadow memory up front")
def test_no_memory_inside_the_json_parser_is_a_memory_error(tmp_path):
    # Reading the 24 MB line fits in the limit; the parser's tape, several times
    # the line, does not.
    line = b'{"text":"' + b"a" * (24 << 20) + b'"}\n'
    root = write_tree(tmp_path / "home", {".codex/history.jsonl": line})
    assert run_child(root / ".codex", str(160 << 20)) == "MemoryError"



# As an unprivileged user (root ignores the limit) allowed a few processes, so
# that most of the requested worker threads can't be started.
THREADS_CHILD = textwrap.dedent("""
    import os, resource, sys
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
    resource.setrlimit(resource.RLIMIT_NPROC, (3, 3))
    import tracequill
    alone = tracequill.Timeline(sys.argv[1], workers=1)
    shared = tracequill.Timeline(sys.argv[1], workers=16)
    print(len(shared), len(shared.diagnostics), shared.to_jsonl() == alone.to_jsonl())
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="platform lacks the root needed to become another user")
@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks C++ exceptions from libstdc++ under a preloaded AddressSanitizer, whose __cxa_throw interceptor finds no original to call")
def test_workers_the_system_refuses_leave_the_files_to_the_others():
    line = b'{"timestamp":"2025-01-01T00:00:00Z","type":"session_meta","payload":{"id":"s"}}\n'
    with tempfile.TemporaryDirectory() as shared:
        os.chmod(shared, 0o755)  # the child runs as nobody
        write_tree(pathlib.Path(shared), {
            f".codex/sessions/rollout-2025-01-01T00-00-{i:02}-{i}.jsonl": line + b"not json\n"
            for i in range(40)})
        done = subprocess.run([sys.executable, "-c", THREADS_CHILD, shared], capture_output=True,
                              text=True, timeout=120, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["40", "40", "True"]


def many_blocks(cwd=270_000):
    """A 2.2 MB transcript of four records, each of a `cwd` bytes long and as
    many tiny blocks as fill 550 KB: every block is an event that carries the
    record's fields, and with include_raw the record itself."""
    blocks = (550_000 - cwd) // 16
    record = (b'{"type":"assistant","sessionId":"s","timestamp":"2025-01-01T00:00:00Z","cwd":"'
              + b"c" * cwd + b'","message":{"content":['
              + b",".join([b'{"type":"text"}'] * blocks) + b"]}}\n")
    return {".claude/projects/p/00000000-0000-0000-0000-000000000001.jsonl": record * 4}


@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks address-space limits under AddressSanitizer, which reserves its shadow memory up front")
@pytest.mark.parametrize("include_raw", [False, True])
def test_a_record_of_many_blocks_is_held_once(tmp_path, include_raw):
    root = write_tree(tmp_path / "home", many_blocks())
    assert run_child(root, str(1 << 30), "Timeline", include_raw=include_raw) == "report 70000 []"


def zstd_bomb():
    """A few hundred kilobytes of zstd that hold one 2 GiB line."""
    frame = subprocess.run(["zstd", "-q", "-c"], input=b"a" * (16 << 20), capture_output=True,
                           check=True).stdout
    return {".codex/sessions/rollout-2025-01-01T00-00-00-0.jsonl.zst": frame * 128}


def plain_rollout():
    line = (b'{"timestamp":"2025-01-01T00:00:00Z","type":"event_msg",'
            b'"payload":{"type":"agent_message","message":"' + b"m" * 100 + b'"}}\n')
    return {ROLLOUT: line * 100_000}


def plain_transcripts():
    """Four transcripts, which worker threads read."""
    line = (b'{"type":"user","sessionId":"s","cwd":"/w","timestamp":"2025-01-01T00:00:00Z",'
            b'"message":{"content":[{"type":"text","text":"' + b"t" * 100 + b'"}]}}\n')
    return {f".claude/projects/p/00000000-0000-0000-0000-00000000000{n}.jsonl": line * 25_000
            for n in range(4)}


@pytest.mark.skipif(UNDER_ASAN, reason="platform lacks address-space limits under AddressSanitizer, which reserves its shadow memory up front")
@pytest.mark.skipif(shutil.which("zstd") is None, reason="platform lacks the zstd command")
@pytest.mark.parametrize("files", [plain_rollout, plain_transcripts, zstd_bomb, many_blocks,
                                   lambda: many_blocks(cwd=1)],
                         ids=["rollout", "transcripts", "zstd bomb", "many blocks", "only blocks"])
@pytest.mark.parametrize("limit", [40 << 20, 48 << 20, 512 << 20], ids=["40MiB", "48MiB", "512MiB"])
def test_running_out_of_memory_anywhere_is_a_memory_error(tmp_path, files, limit):
    root = write_tree(tmp_path / "home", files())
    out = run_child(root, str(limit), "Timeline", include_raw=True)
    assert out == "MemoryError" or out.startswith("report "), out
