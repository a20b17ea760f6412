"""Running out of descriptors or memory is a fault of the machine, never a
diagnostic about the evidence. Each case runs in a child process whose limits
are lowered after the module is imported."""

import os
import subprocess
import sys
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


@pytest.mark.skipif(UNDER_ASAN, reason="address-space limits can't apply under AddressSanitizer")
def test_no_memory_inside_the_json_parser_is_a_memory_error(tmp_path):
    # Reading the 24 MB line fits in the limit; the parser's tape, several times
    # the line, does not.
    line = b'{"text":"' + b"a" * (24 << 20) + b'"}\n'
    root = write_tree(tmp_path / "home", {".codex/history.jsonl": line})
    assert run_child(root / ".codex", str(160 << 20)) == "MemoryError"
