"""Running out of descriptors or memory is a fault of the machine, never a
diagnostic about the evidence. Each case runs in a child process whose limits
are lowered after the module is imported."""

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

import pytest

from conftest import write_tree

# AddressSanitizer reserves terabytes of address space up front.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

CHILD = textwrap.dedent("""
    import resource, sys
    import tracequill
    path, limit = sys.argv[1], sys.argv[2]
    if limit == "files":
        resource.setrlimit(resource.RLIMIT_NOFILE, (0, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    else:
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + int(limit), resource.RLIM_INFINITY))
    try:
        report = tracequill.parse(path, max_line_size=0)
    except BaseException as raised:
        print(type(raised).__name__, raised)
    else:
        print("report", [d["message"] for d in report["diagnostics"]])
""")


def run_child(path, limit):
    done = subprocess.run([sys.executable, "-c", CHILD, str(path), limit],
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
