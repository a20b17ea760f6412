"""Random-tree fuzzer for the tracequill module.

Run against a sanitizer build (from the repository root):

    cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ_SANITIZE=ON
    cmake --build build/fuzz --target tracequill
    LD_PRELOAD=$(g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH=build/fuzz python3 tools/fuzz/fuzz_parse.py --seconds 600

Without --worker the script is a supervisor: it runs the cases in a child
process, and when the child dies (sanitizer report, signal) or stops making
progress (hang) it records the seed and starts a new child after that seed.
`--seed N --worker --count 1` replays one case.

Each case builds a random tree of near-valid Claude Code and Codex profiles
(wrong JSON types, huge numbers, deep nesting, invalid UTF-8 in content and in
file names, symbolic links and loops, FIFOs and device links, over-long lines,
odd snapshot names, cache references, odd file times, damaged lines of the real
samples in $TQ_FUZZ_SAMPLES) and calls every module function with random
options. Checks: only OSError/ValueError escape, and never for invalid output
text; strict reports hold no error diagnostic and equal the best-effort ones;
sequences are 0..n-1; parse() agrees with to_json(), to_jsonl(), to_csv() cell
by cell, and convert(); a second run, a copy of the tree elsewhere, a relative
path and every spelling of "no limit" give the same report; no reference to
the arguments is leaked. Beside the trees: every line of a Codex history
against Python's json module (verdict and value), valid RFC 3339 texts against
their instants, random argument types, threads, and files swapped for FIFOs
while a parse runs.
"""

import argparse
import csv
import io
import json
import os
import pathlib
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import traceback

# ---------------------------------------------------------------- JSON values

ODD_STRINGS = [
    "", " ", "\u0000", "\ud7ff", "\ue000", "\U0001f600", "é", "a\\b", "a/b", "\n", "\r\n",
    "\t", "\"", "'", ",", "a,b\nc", "=cmd", "+1", "-1", "1", "01", "+01", "10", "2",
    "9223372036854775807", "9223372036854775808", "-9223372036854775809",
    "18446744073709551616", "image", "image/png", "text", "imagex", "IMAGE/png",
    "2024-01-02T03:04:05+02:00", "2024-01-02 03:04:05Z", "2024-01-02T03:04:05.123456789Z",
    "2024 - 01 - 02T03 : 04 : 05 UTC", "2024-01-02T03:04:05+0200", "2024-01-02T03:04:05 +02 00",
    "9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z", "2024-02-30T00:00:00Z",
    "2024-01-02T24:00:00Z", "2024-01-02T23:59:60Z", "2024-01-02T03:04:05.Z",
    "2024-01-02T03:04:05+99:99", "2024-01-02T03:04:05-23:59", "2024-01-02T03:04:05utc",
    "2024-01-02T03:04:05.0000000000000000001Z", "x" * 300, "é" * 100, "session_meta",
    "response_item", "event_msg", "message", "user", "assistant", "system", "developer",
    "function_call", "function_call_output", "reasoning", "turn_context", "compacted",
    "token_count", "agent_message", "user_message", "exec_command_end", "context_compacted",
]

HUGE_NUMBER_TEXTS = [
    "0", "-0", "0.0", "-0.0", "1", "-1", "1.0", "1.5", "1e3", "1E-3", "1e308", "-1e308",
    "1e400", "-1e400", "1e-400", "4.9e-324", "9223372036854775807", "9223372036854775808",
    "-9223372036854775808", "-9223372036854775809", "18446744073709551615",
    "18446744073709551616", "123456789012345678901234567890", "946684800000",
    "4102444800000", "4102444800001", "946684799999", "1700000000000.5", "1700000000",
    "253402300799", "253402300800", "-62135596800", "-62135596801", "8210266876799999",
    "9007199254740993", "1.7976931348623157e308", "0.1", "-1700000000000.5",
    "1" + "0" * 400, "-" + "9" * 30, "1.00000000000000000000000001",
]


def rand_string(rng):
    r = rng.random()
    if r < 0.5:
        return rng.choice(ODD_STRINGS)
    if r < 0.8:
        return "".join(rng.choice("abcxyz019-_./@v") for _ in range(rng.randint(0, 12)))
    return "".join(chr(rng.choice([rng.randint(1, 0x7f), rng.randint(0x80, 0x7ff),
                                   rng.randint(0x800, 0xd7ff), rng.randint(0xe000, 0x10ffff)]))
                   for _ in range(rng.randint(0, 8)))


def dump_string(rng, s):
    """JSON text of a string, sometimes with escapes the encoder would not use."""
    text = json.dumps(s, ensure_ascii=rng.random() < 0.3)
    r = rng.random()
    if r < 0.005:
        return text[:-1] + "\\ud800\""  # lone high surrogate escape
    if r < 0.01:
        return text[:-1] + "\\udc00\\ud800\""
    if r < 0.02:
        return text[:-1] + "\\u0000\""
    if r < 0.025:
        return text[:-1] + "\\x\""  # invalid escape
    return text


def rand_json_text(rng, depth=0):
    r = rng.random()
    if depth > 3 or r < 0.35:
        c = rng.random()
        if c < 0.3:
            return dump_string(rng, rand_string(rng))
        if c < 0.6:
            return rng.choice(HUGE_NUMBER_TEXTS)
        if c < 0.8:
            return rng.choice(["null", "true", "false"])
        return str(rng.randint(-2**70, 2**70))
    if r < 0.55:
        return "[" + ",".join(rand_json_text(rng, depth + 1) for _ in range(rng.randint(0, 4))) + "]"
    if r < 0.6:
        n = rng.choice([50, 500, 5000, 100000])
        return "[" * n + "]" * n
    if r < 0.62:
        n = rng.choice([50, 500, 5000])
        return '{"a":' * n + "1" + "}" * n
    keys = [rng.choice(["a", "b", "a", "", "é", "\u0000", "z"]) for _ in range(rng.randint(0, 4))]
    return "{" + ",".join(dump_string(rng, k) + ":" + rand_json_text(rng, depth + 1)
                          for k in keys) + "}"


def value_for(rng, good):
    """Mostly a good JSON text, sometimes a wrong type or an odd value."""
    r = rng.random()
    if r < 0.6:
        return good()
    return rand_json_text(rng, 2)


def json_obj(rng, fields):
    """An object text from (key, text) pairs, with random drops, duplicates and extras."""
    parts = []
    for key, text in fields:
        if rng.random() < 0.12:
            continue
        parts.append(json.dumps(key) + ":" + text)
        if rng.random() < 0.04:
            parts.append(json.dumps(key) + ":" + rand_json_text(rng, 2))
    if rng.random() < 0.2:
        parts.append(dump_string(rng, rand_string(rng)) + ":" + rand_json_text(rng, 1))
    rng.shuffle(parts)
    return "{" + ",".join(parts) + "}"


def ts_ms(rng):
    return str(rng.choice([rng.randint(946684800000, 4102444800000), 0, -1,
                           rng.randint(-2**63, 2**63 - 1)]))


def ts_text(rng):
    return json.dumps(rng.choice(["2025-01-02T10:00:00Z", "2025-01-02T10:00:00.5+02:00",
                                  "2024-01-02 03:04:05 utc", "garbage",
                                  "2025-01-02T10:00:00.123456789123-00:30"]))


def claude_history_line(rng, keys):
    def pasted():
        entries = []
        for i in range(rng.randint(0, 4)):
            key = rng.choice([str(i), str(rng.randint(-5, 20)), "+1", "01", "a",
                              "99999999999999999999", rand_string(rng)])
            entry = json_obj(rng, [
                ("type", value_for(rng, lambda: json.dumps(rng.choice(["text", "image", "image/png", "imag"])))),
                ("content", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
                ("contentHash", value_for(rng, lambda: json.dumps(rng.choice(keys) if keys else "k"))),
            ])
            if rng.random() < 0.1:
                entry = rand_json_text(rng, 2)
            entries.append(dump_string(rng, key) + ":" + entry)
        return "{" + ",".join(entries) + "}"

    return json_obj(rng, [
        ("display", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
        ("message", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
        ("query", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
        ("sessionId", value_for(rng, lambda: json.dumps(rng.choice(["s1", "s2", "S1"])))),
        ("project", value_for(rng, lambda: json.dumps(rng.choice(["/p/a", "/p/b", "C:\\w"])))),
        ("timestamp", value_for(rng, lambda: ts_ms(rng) if rng.random() < 0.7 else ts_text(rng))),
        ("pastedContents", value_for(rng, pasted)),
    ])


def codex_history_line(rng):
    return json_obj(rng, [
        ("session_id", value_for(rng, lambda: json.dumps(rng.choice(["s1", "s2"])))),
        ("text", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
        ("ts", value_for(rng, lambda: str(rng.choice([rng.randint(0, 2**40), -1, 2**63, 2**63 - 1,
                                                      -2**63, 253402300800, 1.0]))))
    ])


RECORD_TYPES = ["session_meta", "response_item", "event_msg", "compacted", "turn_context",
                "context_compacted", "unknown", ""]
PAYLOAD_TYPES = ["message", "user_message", "agent_message", "reasoning", "agent_reasoning",
                 "function_call", "custom_tool_call", "function_call_output", "exec_command_end",
                 "task_started", "turn_context", "token_count", "web_search_call", "bogus"]


def codex_session_line(rng):
    if rng.random() < 0.3:
        # A line close to what Codex writes, so that the mapping is reached.
        rtype = rng.choice(RECORD_TYPES)
        payload = {"type": rng.choice(PAYLOAD_TYPES), "role": rng.choice(["user", "assistant", "system"]),
                   "content": [{"type": "output_text", "text": rand_string(rng)}],
                   "id": rng.choice(["sid", "0198AAAA-0000-7000-8000-000000000001"]),
                   "cwd": rand_string(rng), "name": "shell", "arguments": rand_string(rng),
                   "output": rand_string(rng), "call_id": rand_string(rng), "message": rand_string(rng)}
        for k in list(payload):
            if rng.random() < 0.4:
                del payload[k]
        return json.dumps({"timestamp": "2025-01-02T10:00:%02d.%dZ" % (rng.randint(0, 59), rng.randint(0, 999)),
                           "type": rtype, "payload": payload}, ensure_ascii=False)
    def payload():
        content = "[" + ",".join(
            json_obj(rng, [("type", json.dumps("input_text")),
                           ("text", value_for(rng, lambda: dump_string(rng, rand_string(rng))))])
            for _ in range(rng.randint(0, 3))) + "]"
        return json_obj(rng, [
            ("type", value_for(rng, lambda: json.dumps(rng.choice(PAYLOAD_TYPES)))),
            ("id", value_for(rng, lambda: json.dumps(rng.choice(["sid", "0198AAAA-0000-7000-8000-000000000001"])))),
            ("cwd", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("role", value_for(rng, lambda: json.dumps(rng.choice(["user", "assistant", "system", "developer"])))),
            ("message", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("text", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("content", value_for(rng, lambda: content)),
            ("name", value_for(rng, lambda: json.dumps("shell"))),
            ("arguments", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("input", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("output", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("result", value_for(rng, lambda: dump_string(rng, rand_string(rng)))),
            ("call_id", value_for(rng, lambda: json.dumps("call_1"))),
        ])

    return json_obj(rng, [
        ("timestamp", value_for(rng, lambda: ts_text(rng))),
        ("type", value_for(rng, lambda: json.dumps(rng.choice(RECORD_TYPES)))),
        ("payload", value_for(rng, payload)),
    ])


# The repository's own samples unless told otherwise.
SAMPLE_DIR = os.environ.get("TQ_FUZZ_SAMPLES", str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "data"))
_sample_lines = None


def sample_lines():
    """Lines of the real agent files in SAMPLE_DIR, if there are any."""
    global _sample_lines
    if _sample_lines is None:
        _sample_lines = {"claude": [], "codex": []}
        for dirpath, _, names in os.walk(SAMPLE_DIR):
            for name in names:
                if name.endswith(".jsonl"):
                    with open(os.path.join(dirpath, name), "rb") as f:
                        kind = "claude" if "claude" in dirpath else "codex"
                        _sample_lines[kind] += f.read().split(b"\n")
    return _sample_lines


def mutate_bytes(rng, line):
    r = rng.random()
    if r < 0.6 or not line:
        return line
    i = rng.randrange(len(line))
    if r < 0.7:
        return line[:i] + bytes([line[i] ^ (1 << rng.randrange(8))]) + line[i + 1:]
    if r < 0.8:
        return line[:i]
    if r < 0.9:
        return line[:i] + line[i:i + rng.randint(1, 50)] * 2 + line[i + rng.randint(1, 50):]
    return line[:i] + bytes(rng.randint(0, 255) for _ in range(rng.randint(1, 4))) + line[i:]


def sample_bytes(rng, kind):
    """Real lines, some of them damaged, or None when no samples are at hand."""
    lines = sample_lines()[kind]
    if not lines:
        return None
    start = rng.randrange(len(lines))
    picked = lines[start:start + rng.randint(1, 30)]
    return b"\n".join(mutate_bytes(rng, line) for line in picked) + b"\n"


def jsonl_bytes(rng, make_line):
    lines = []
    for _ in range(rng.randint(0, 14)):
        r = rng.random()
        if r < 0.75:
            line = make_line().encode("utf-8", "surrogatepass")
        elif r < 0.8:
            line = b""
        elif r < 0.83:
            line = b"  \r\r"
        elif r < 0.86:
            line = b"not json"
        elif r < 0.88:
            line = b'{"a":1} {"b":2}'
        elif r < 0.9:
            line = b'{"display":"\xff\xfe invalid utf8"}'
        elif r < 0.92:
            line = b"\xef\xbb\xbf" + make_line().encode("utf-8", "surrogatepass")
        elif r < 0.94:
            line = b'{"display":"' + b"x" * rng.choice([100, 5000, 70000]) + b'"}'
        elif r < 0.96:
            line = make_line().encode("utf-8", "surrogatepass")[: rng.randint(0, 40)]
        elif r < 0.98:
            line = b'{"a":"\xed\xa0\x80"}'  # encoded surrogate
        else:
            line = bytes(rng.randint(0, 255) for _ in range(rng.randint(1, 30)))
        if rng.random() < 0.1:
            line += b"\r"
        lines.append(line)
    data = b"\n".join(lines)
    if lines and rng.random() < 0.7:
        data += b"\n"
    return data


# ---------------------------------------------------------------- trees

UUIDS = ["019c8a4c-ed82-79a1-aa28-7738fc5ab61a", "019C8A4C-ED82-79A1-AA28-7738FC5AB61A",
         "0198aaaa-0000-7000-8000-00000000000g", "x"]


def odd_name(rng, base):
    r = rng.random()
    if r < 0.7:
        return base
    return rng.choice([base + b"\xff", b"\xc3(" + base, base + b"\\x", base + b"\n", b" " + base,
                       base + b".", b"." + base, base + b",\"q", "é".encode() + base])


def write(path, data):
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    except (IsADirectoryError, FileExistsError, NotADirectoryError):
        pass  # the random names collided with a directory or a file


def random_file_bytes(rng):
    r = rng.random()
    if r < 0.2:
        return b""
    if r < 0.5:
        return rand_string(rng).encode("utf-8", "surrogatepass")
    if r < 0.7:
        return bytes(rng.randint(0, 255) for _ in range(rng.randint(1, 64)))
    if r < 0.8:
        return b"\x89PNG\r\n\x1a\n" + bytes(rng.randint(0, 255) for _ in range(20))
    return rand_string(rng).encode("utf-8", "surrogatepass") * rng.randint(1, 50)


def add_hostile_entries(rng, directory, siblings):
    """Symlinks (loops, dangling, to siblings), FIFOs and empty directories."""
    os.makedirs(directory, exist_ok=True)
    for _ in range(rng.randint(0, 2)):
        r = rng.random()
        name = os.path.join(directory, odd_name(rng, b"link%d" % rng.randint(0, 99)))
        if os.path.lexists(name):
            continue
        try:
            if r < 0.25:
                os.symlink(b".", name)  # loop
            elif r < 0.4:
                os.symlink(b"..", name)
            elif r < 0.55:
                os.symlink(b"missing-target", name)
            elif r < 0.65:
                os.symlink(os.path.basename(name), name)  # self loop
            elif r < 0.8 and siblings:
                os.symlink(os.path.relpath(rng.choice(siblings), directory), name)
            elif r < 0.9:
                os.mkfifo(name)
            else:
                os.makedirs(name)
        except OSError:
            pass


def add_special(rng, path):
    """Something that is not a regular file where one is expected, under a name the readers want."""
    if os.path.lexists(path):
        return
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        r = rng.random()
        if r < 0.35:
            os.mkfifo(path)
        elif r < 0.55:
            os.symlink(b"/dev/zero", path)
        elif r < 0.7:
            os.symlink(b"/dev/null", path)
        elif r < 0.85:
            os.makedirs(path)
        else:
            os.symlink(os.path.basename(path), path)
    except OSError:
        pass


def build_claude(rng, root):
    keys = [rng.choice(["abc", "k1", "k2", "", ".hidden", "x.y", "é"]) for _ in range(3)]
    files = []
    if rng.random() < 0.8:
        p = os.path.join(root, b"history.jsonl")
        if rng.random() < 0.05:
            os.makedirs(p)
        else:
            data = sample_bytes(rng, "claude") if rng.random() < 0.2 else None
            write(p, data if data is not None else jsonl_bytes(rng, lambda: claude_history_line(rng, keys)))
            files.append(p)
    for cache in (b"paste-cache", b"image-cache"):
        if rng.random() < 0.6:
            d = os.path.join(root, cache)
            if rng.random() < 0.05:
                write(d, b"not a dir")
                continue
            for _ in range(rng.randint(0, 4)):
                key = rng.choice(keys).encode()
                ext = rng.choice([b".txt", b".png", b"", b".PNG", b".x.y", b".jsonl", b".md"])
                sub = rng.choice([b"", b"sub/", b"a/b/"])
                p = os.path.join(d, sub + odd_name(rng, key + ext))
                write(p, random_file_bytes(rng))
                files.append(p)
            add_hostile_entries(rng, d, files)
    if rng.random() < 0.6:
        d = os.path.join(root, b"file-history")
        for _ in range(rng.randint(0, 6)):
            session = odd_name(rng, rng.choice([b"S1", b"S2", b"..", b"s"]))
            if session == b"..":
                session = b"S3"
            name = rng.choice([b"abc@v1", b"abc@v2", b"abc@v+2", b"abc@v4", b"abc@v10", b"@v3",
                               b"abc@v", b"abc@v-1", b"abc@v18446744073709551616",
                               b"abc@v18446744073709551615", b"a@vb@v3", b"notes.txt",
                               b"x@v0", b"x@v5", b"abc@v01", b"abc@v\xff"])
            where = rng.choice([session + b"/", b"", session + b"/deep/"])
            p = os.path.join(d, where + odd_name(rng, name))
            write(p, random_file_bytes(rng))
            files.append(p)
        add_hostile_entries(rng, d, files)
    add_hostile_entries(rng, root, files)
    if rng.random() < 0.15:
        add_special(rng, os.path.join(root, rng.choice([
            b"history.jsonl", b"paste-cache/k1.txt", b"image-cache/abc.png", b"file-history/S1/abc@v9"])))
    return files


def build_codex(rng, root):
    files = []
    if rng.random() < 0.7:
        p = os.path.join(root, b"history.jsonl")
        write(p, jsonl_bytes(rng, lambda: codex_history_line(rng)))
        files.append(p)
    if rng.random() < 0.8:
        d = os.path.join(root, b"sessions")
        for _ in range(rng.randint(0, 4)):
            day = rng.choice([b"2025/01/10/", b"2025/01/9/", b"", b"a/b/c/d/e/f/"])
            name = b"rollout-2025-01-02T10-00-00-" + rng.choice(UUIDS).encode() + \
                rng.choice([b".jsonl", b".jsonl", b".json", b""])
            if rng.random() < 0.1:
                name = rng.choice([b"rollout-x.jsonl", b"rollout-.jsonl", b"rollout.jsonl"])
            p = os.path.join(d, day + odd_name(rng, name))
            data = sample_bytes(rng, "codex") if rng.random() < 0.3 else None
            write(p, data if data is not None else jsonl_bytes(rng, lambda: codex_session_line(rng)))
            files.append(p)
        add_hostile_entries(rng, d, files)
    if rng.random() < 0.6:
        d = os.path.join(root, b"attachments")
        for _ in range(rng.randint(0, 4)):
            where = rng.choice([b"S1/", b"", b"S2/deep/", b"\xff/"])
            name = rng.choice([b"notes.txt", b"README", b"img.PNG", b".hidden", b"x.ts", b"a.jsonl"])
            p = os.path.join(d, where + odd_name(rng, name))
            write(p, random_file_bytes(rng))
            files.append(p)
        add_hostile_entries(rng, d, files)
    if rng.random() < 0.15:
        add_special(rng, os.path.join(root, rng.choice([
            b"history.jsonl", b"sessions/2025/rollout-2025-01-02T10-00-00-" + UUIDS[0].encode() + b".jsonl",
            b"attachments/S1/notes.txt", b"sessions"])))
    return files


def build_tree(rng, home):
    """Builds a home directory; returns the candidate input paths (bytes)."""
    files = []
    candidates = [home]
    if rng.random() < 0.75:
        root = os.path.join(home, b".claude")
        os.makedirs(root)
        files += build_claude(rng, root)
        candidates += [root, os.path.join(root, b"history.jsonl"), os.path.join(root, b"paste-cache"),
                       os.path.join(root, b"image-cache"), os.path.join(root, b"file-history")]
    if rng.random() < 0.75:
        root = os.path.join(home, b".codex")
        os.makedirs(root)
        files += build_codex(rng, root)
        candidates += [root, os.path.join(root, b"history.jsonl"), os.path.join(root, b"sessions"),
                       os.path.join(root, b"attachments")]
    for name in (b".claude", b".codex"):
        # A profile root that is not a directory, or a link to the other one.
        path = os.path.join(home, name)
        if not os.path.lexists(path) and rng.random() < 0.15:
            other = b".codex" if name == b".claude" else b".claude"
            choice = rng.random()
            if choice < 0.3:
                write(path, b"not a directory")
            elif choice < 0.6:
                os.symlink(other, path)
            elif choice < 0.8:
                os.symlink(name, path)
            else:
                add_special(rng, path)
            candidates.append(path)
    if rng.random() < 0.2:
        # a profile without its dot name, found only by its contents
        root = os.path.join(home, b"work")
        os.makedirs(root)
        files += build_codex(rng, root)
        candidates.append(root)
    if rng.random() < 0.15:
        try:
            os.symlink(b".claude", os.path.join(home, b"linked"))
            candidates.append(os.path.join(home, b"linked"))
        except OSError:
            pass
    add_hostile_entries(rng, home, files)
    for path in files:
        if rng.random() < 0.1:
            # Before 1970, the epoch itself, nanoseconds, far future.
            ns = rng.choice([-1, -10**18, 0, 1, 999999999, 2**31 * 10**9, 10**18 + 123, 2**63 - 1])
            try:
                os.utime(path, ns=(ns, ns))
            except OSError:
                pass
    candidates += files
    for dirpath, dirnames, _ in os.walk(home):
        for d in dirnames:
            candidates.append(os.path.join(dirpath, d))
    candidates.append(os.path.join(home, b"does-not-exist"))
    return candidates


# ---------------------------------------------------------------- checks

class Fault(Exception):
    pass


ALLOWED = (OSError, ValueError)


def call(fn, *args, **kwargs):
    """Returns ('ok', value) or ('err', exception); a wrong exception type is a fault."""
    try:
        return "ok", fn(*args, **kwargs)
    except ALLOWED as e:
        if isinstance(e, UnicodeError) or str(e).startswith("Output is not valid UTF-8"):
            # Paths are valid text here, so every text in the report must be too.
            raise Fault(f"{fn.__name__} produced invalid text: {type(e).__name__}: {e}") from None
        # The traceback would keep the arguments alive and upset the refcount check.
        return "err", e.with_traceback(None)
    except BaseException as e:  # noqa: B036 - InternalError derives from BaseException
        if isinstance(e, KeyboardInterrupt):
            raise
        raise Fault(f"{fn.__name__} raised {type(e).__module__}.{type(e).__name__}: {e}") from e


def outcome_key(outcome):
    kind, value = outcome
    if kind == "err":
        return ("err", type(value).__name__, str(value))
    return ("ok", value)


def check_report(report, options):
    if list(report) != ["events", "diagnostics"]:
        raise Fault(f"report keys {list(report)}")
    seqs = [e["sequence"] for e in report["events"]]
    if seqs != list(range(len(seqs))):
        raise Fault(f"sequences {seqs[:20]}")
    if options["mode"] == "strict":
        bad = [d for d in report["diagnostics"] if d["severity"] == "error"]
        if bad:
            raise Fault(f"strict report holds error diagnostic {bad[0]}")
    ids = [e["event_id"] for e in report["events"]]
    for e in report["events"]:
        if list(e) != sorted(e):
            raise Fault(f"event keys not sorted: {list(e)}")
        if not options["include_raw"] and e["raw"] is not None:
            raise Fault("raw present without include_raw")
        art = e["artifact"]
        if art and art.get("content") is not None:
            if not options["include_content"] and e["event_type"] not in ("paste_attachment", "image_attachment"):
                raise Fault("content without include_content")
    return ids


csv.field_size_limit(sys.maxsize)


def check_csv(text):
    rows = list(csv.reader(io.StringIO(text, newline="")))
    for i, row in enumerate(rows):
        if len(row) != 30:
            raise Fault(f"CSV row {i} has {len(row)} cells")
    return len(rows)


def compare_csv(text, events, include_message, include_content):
    """A standard CSV reader gives back the cells of every event."""
    rows = list(csv.reader(io.StringIO(text, newline="")))
    header = rows[0]
    for row, event in zip(rows[1:], events):
        cells = dict(zip(header, row))

        def expect(column, value):
            if cells[column] != value:
                raise Fault(f"CSV {column} {cells[column]!r} != {value!r} in {event['event_id']}")

        opt = lambda v: "" if v is None else str(v)  # noqa: E731
        expect("event_id", event["event_id"])
        expect("sequence", str(event["sequence"]))
        expect("event_type", event["event_type"])
        expect("message", opt(event["message"]) if include_message else "")
        expect("session_id", opt(event["session_id"]))
        expect("source_relative_path", event["source"]["relative_path"])
        expect("source_id", opt(event["source"]["source_id"]))
        expect("timestamp", opt(event["timestamp"]).replace("Z", "+00:00"))
        art = event["artifact"] or {}
        expect("content", opt(art.get("content")) if include_content else "")
        expect("sha256", opt(art.get("sha256")))
        for column, value in (("raw", event["raw"]), ("timestamp_raw", event["timestamp_raw"])):
            if (value is None) != (cells[column] == "") and not (value is None and cells[column] == ""):
                if not (cells[column] == "null" and value is None):
                    raise Fault(f"CSV {column} {cells[column]!r} for {value!r}")
            if cells[column] not in ("",) and json.loads(cells[column]) != value:
                raise Fault(f"CSV {column} {cells[column]!r} != {value!r}")
        warnings = json.loads(cells["warnings"]) if cells["warnings"] else []
        if warnings != event["warnings"]:
            raise Fault(f"CSV warnings {cells['warnings']!r} != {event['warnings']!r}")


def normalise(text, home):
    """Drops what legitimately differs between runs and places."""
    return text.replace(os.fsdecode(home), "<HOME>")


def strip_times(obj):
    if isinstance(obj, dict):
        return {k: (None if k in ("accessed", "created") else strip_times(v)) for k, v in obj.items()}
    if isinstance(obj, list):
        return [strip_times(v) for v in obj]
    return obj


def random_options(rng):
    return {
        "mode": rng.choice(["best_effort", "strict"]),
        "include_raw": rng.random() < 0.5,
        "include_content": rng.random() < 0.5,
        "follow_symlinks": rng.random() < 0.5,
        "max_line_size": rng.choice([0, 1, 2, 10, 64, 100, 4096, 65536] + [10485760, 2**64 - 1] * 8),
        "max_content_size": rng.choice([0, 1, 2, 10, 100, 52428800, 2**64 - 1]),
    }


def run_case(seed, tm, workdir):
    import tracequill

    rng = random.Random(seed)
    base = tempfile.mkdtemp(prefix=f"case{seed}-", dir=workdir)
    home = os.path.join(os.fsencode(base), b"h")
    os.makedirs(home)
    try:
        candidates = build_tree(rng, home)
        calls = 0
        for _ in range(rng.randint(1, 4)):
            target = rng.choice(candidates[:10] if rng.random() < 0.6 else candidates)
            target_bytes = target
            try:
                target = target.decode("utf-8")
            except UnicodeDecodeError:
                target = os.fsdecode(home)  # not expressible: the module takes UTF-8 text only
                target_bytes = home
            options = random_options(rng)
            calls += run_calls(rng, tracequill, target, target_bytes, home, options, base)
        return calls
    finally:
        shutil.rmtree(base, ignore_errors=True)


def run_calls(rng, tq, target, target_bytes, home, options, base):
    before = sys.getrefcount(target)
    calls = 0
    parsed = call(tq.parse, target, **options)
    calls += 1
    again = call(tq.parse, target, **options)
    calls += 1
    if parsed[0] == "ok":
        ids = check_report(parsed[1], options)
        if again[0] != "ok":
            raise Fault(f"second parse failed: {again[1]!r}")
        if strip_times(again[1]) != strip_times(parsed[1]):
            raise Fault("two parses of one tree differ")
    elif outcome_key(parsed) != outcome_key(again):
        raise Fault(f"two parses differ: {parsed[1]!r} vs {again[1]!r}")

    pretty = rng.random() < 0.5
    as_json = call(tq.to_json, target, pretty=pretty, **options)
    calls += 1
    if (as_json[0] == "ok") != (parsed[0] == "ok"):
        raise Fault(f"to_json {as_json[0]} but parse {parsed[0]}: {as_json[1]!r} {parsed[1]!r}")
    if as_json[0] == "ok":
        loaded = json.loads(as_json[1])
        if strip_times(loaded) != strip_times(parsed[1]):
            raise Fault("to_json disagrees with parse")

    as_jsonl = call(tq.to_jsonl, target, **options)
    calls += 1
    if as_jsonl[0] == "ok" and parsed[0] == "ok":
        lines = as_jsonl[1].split("\n")  # splitlines() would also split at U+2028 and others
        if lines[-1] != "":
            raise Fault("to_jsonl output does not end with a line feed")
        lines.pop()
        if len(lines) != len(parsed[1]["events"]):
            raise Fault(f"to_jsonl gives {len(lines)} lines for {len(parsed[1]['events'])} events")
        if strip_times([json.loads(line) for line in lines]) != strip_times(parsed[1]["events"]):
            raise Fault("to_jsonl disagrees with parse")

    include_message = rng.random() < 0.7
    csv_options = dict(options)
    as_csv = call(tq.to_csv, target, include_message=include_message, **csv_options)
    calls += 1
    if as_csv[0] == "ok":
        rows = check_csv(as_csv[1])
        if parsed[0] == "ok" and rows != len(parsed[1]["events"]) + 1:
            raise Fault(f"CSV has {rows} rows for {len(parsed[1]['events'])} events")
        if parsed[0] == "ok":
            compare_csv(as_csv[1], parsed[1]["events"], include_message, options["include_content"])

    if rng.random() < 0.3:
        fmt = rng.choice(["json", "jsonl", "csv", "xml"])
        out = os.path.join(base, "out." + fmt)
        converted = call(tq.convert, target, out, format=fmt, **options)
        calls += 1
        if converted[0] == "ok":
            with open(out, encoding="utf-8", newline="") as f:
                written = f.read()
            if fmt == "csv":
                check_csv(written)
            elif fmt == "json" and parsed[0] == "ok":
                if strip_times(json.loads(written)) != strip_times(parsed[1]):
                    raise Fault("convert json disagrees with parse")
        if os.path.exists(out):
            os.unlink(out)

    # The same tree at another place gives the same report.
    if rng.random() < 0.15 and parsed[0] == "ok":
        other = os.path.join(os.fsencode(base), b"moved", b"deeper")
        os.makedirs(os.path.dirname(other))
        # cp copes with FIFOs, which copytree would open and wait on.
        subprocess.run(["cp", "-a", home, other], check=True)
        try:
            moved_target = os.fsdecode(other + target_bytes[len(home):])
            moved = call(tq.parse, moved_target, **options)
            calls += 1
            if moved[0] != "ok":
                raise Fault(f"moved tree fails: {moved[1]!r}")
            a = normalise(json.dumps(strip_times(parsed[1]["events"])), home)
            b = normalise(json.dumps(strip_times(moved[1]["events"])), other)
            if a != b:
                raise Fault("moved tree gives different events")
        finally:
            shutil.rmtree(os.path.join(os.fsencode(base), b"moved"), ignore_errors=True)

    # Limits that all mean "no limit" here (the trees hold no 10 MiB line or
    # 50 MiB file) give the same report.
    if rng.random() < 0.3 and parsed[0] == "ok":
        unlimited = dict(options)
        unlimited["max_line_size"] = rng.choice([0, 2**64 - 1, 2**64 - 2, 10485760])
        unlimited["max_content_size"] = rng.choice([0, 2**64 - 1, 52428800])
        limited = dict(options)
        limited["max_line_size"] = rng.choice([0, 2**64 - 1, 2**64 - 2, 10485760])
        limited["max_content_size"] = rng.choice([0, 2**64 - 1, 52428800])
        a = call(tq.parse, target, **unlimited)
        b = call(tq.parse, target, **limited)
        calls += 2
        if outcome_key(a) != outcome_key(b) and not (a[0] == b[0] == "ok"):
            raise Fault(f"unlimited options differ: {a[1]!r} vs {b[1]!r}")
        if a[0] == "ok" and strip_times(a[1]) != strip_times(b[1]):
            raise Fault(f"unlimited options {unlimited} and {limited} give different reports")

    # The same input named relative to the working directory, with "./", a
    # doubled or a trailing slash, gives the same events.
    if rng.random() < 0.2:
        rel = os.path.relpath(target, base)
        variant = rng.choice(["./" + rel, rel.replace("/", "//"), rel + "/", rel])
        if variant.endswith("/") and (os.path.islink(target) or not os.path.isdir(target)):
            variant = rel  # a trailing slash makes the system follow a link
        old_cwd = os.getcwd()
        os.chdir(base)
        try:
            relative = call(tq.parse, variant, **options)
            # Odd names relative to places inside the tree: only the exception types count.
            inner = os.path.dirname(target)
            if inner.startswith(base):
                os.chdir(inner)
                for odd in (".", "..", "./", "", os.path.basename(target), "./" + os.path.basename(target)):
                    call(tq.parse, odd, **options)
                    calls += 1
        finally:
            os.chdir(old_cwd)
        calls += 1
        if (relative[0] == "ok") != (parsed[0] == "ok"):
            raise Fault(f"relative {variant!r}: {relative[0]} but absolute {parsed[0]}: "
                        f"{relative[1]!r} {parsed[1]!r}"[:600])
        if relative[0] == "ok" and strip_times(relative[1]["events"]) != strip_times(parsed[1]["events"]):
            raise Fault(f"relative {variant!r} gives other events than {target!r}")

    # A strict parse that succeeds met nothing that best-effort mode would treat
    # differently.
    if options["mode"] == "strict" and parsed[0] == "ok" and rng.random() < 0.5:
        lenient = call(tq.parse, target, **dict(options, mode="best_effort"))
        calls += 1
        if lenient[0] != "ok" or strip_times(lenient[1]) != strip_times(parsed[1]):
            raise Fault("strict and best-effort reports differ on a tree strict mode accepts")

    # PathLike input and an argument refcount check.
    if rng.random() < 0.1:
        import pathlib
        via_path = call(tq.parse, pathlib.Path(target), **options)
        calls += 1
        if parsed[0] == "ok" and via_path[0] == "ok":
            if strip_times(via_path[1]) != strip_times(parsed[1]):
                raise Fault("pathlib path differs")
    del parsed, again, as_json, as_jsonl, as_csv
    after = sys.getrefcount(target)
    if after != before:
        raise Fault(f"refcount of path argument moved {before} -> {after}")
    return calls


# ---------------------------------------------------------------- JSON differential

# Unicode White_Space, which the line readers trim from both ends of a line.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200b))) + \
    "\u2028\u2029\u202f\u205f\u3000"


def mutate_line(rng, text):
    r = rng.random()
    if r < 0.5:
        return text
    if r < 0.6:
        return text + rng.choice([" 1", "}", "]", " {}", ",", " x", " " + text])
    if r < 0.7 and text:
        i = rng.randrange(len(text))
        return text[:i] + text[i + 1:]
    if r < 0.8:
        i = rng.randint(0, len(text))
        return text[:i] + rng.choice(list('{}[]",:0-.e \\\t\x01\x1f\x7f') +
                                     ["123456789012345678901234567890"]) + text[i:]
    if r < 0.9:
        return rng.choice([" ", "\t", "\u3000", "\xa0"]) + text + rng.choice(["", " ", "\r", "\u2028"])
    return "18446744073709551616" + rng.choice(["", " ", " 1", "]"])


class Undecidable(Exception):
    pass


def python_json(text):
    """What a strict JSON reader makes of a line; Undecidable where readers may differ."""
    if "\\u" in text.lower() and ("\\ud8" in text.lower() or "\\ud9" in text.lower()
                                   or "\\uda" in text.lower() or "\\udb" in text.lower()
                                   or "\\udc" in text.lower() or "\\udd" in text.lower()
                                   or "\\ude" in text.lower() or "\\udf" in text.lower()):
        raise Undecidable("surrogate escapes")

    def constant(name):
        raise ValueError(name)

    def big_float(t):
        v = float(t)
        if v in (float("inf"), float("-inf")):
            raise Undecidable("number out of range")
        return v

    class Pairs(list):
        pass

    def depth(v, d=0):
        # Walks every member, also those a repeated key hides later.
        if isinstance(v, int) and not isinstance(v, bool) and abs(v) > 1e308:
            raise Undecidable("integer beyond the double range")
        if d >= 127:
            raise Undecidable("deep")  # the module refuses nesting beyond 128 levels
        if isinstance(v, Pairs):
            for _, x in v:
                depth(x, d + 1)
        elif isinstance(v, list):
            for x in v:
                depth(x, d + 1)

    try:
        value = json.loads(text, parse_constant=constant, parse_float=big_float)
    except RecursionError:
        raise Undecidable("deep")
    except ValueError:
        return "invalid", None
    depth(json.loads(text, parse_constant=constant, parse_float=big_float, object_pairs_hook=Pairs))
    return "ok", value


def as_module_value(v):
    """Integers beyond 64 bits come back as the nearest double."""
    if isinstance(v, bool) or v is None:
        return v
    if isinstance(v, int):
        return v if -2**63 <= v < 2**64 else float(v)
    if isinstance(v, list):
        return [as_module_value(x) for x in v]
    if isinstance(v, dict):
        return {k: as_module_value(x) for k, x in v.items()}
    return v


def json_differential(seed, workdir):
    """Each line of a Codex history against Python's json: same verdict, same raw value."""
    import tracequill as tq

    rng = random.Random(seed)
    base = tempfile.mkdtemp(prefix=f"diff{seed}-", dir=workdir)
    try:
        lines = []
        for _ in range(rng.randint(1, 30)):
            if rng.random() < 0.5:
                text = rng.choice([codex_history_line, codex_session_line])(rng)
            else:
                text = rand_json_text(rng, rng.randint(0, 3))
            lines.append(mutate_line(rng, text))
        data = "\n".join(lines).encode("utf-8", "surrogatepass")
        path = os.path.join(base, ".codex", "history.jsonl")
        write(path, data)
        report = tq.parse(path, include_raw=True)
        events = {e["source"]["line_number"]: e for e in report["events"]}
        diags = {}
        for d in report["diagnostics"]:
            diags.setdefault(d["source"]["line_number"], []).append(d["message"])
        for number, text in enumerate(lines, 1):
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                continue  # not UTF-8 on disk: a read diagnostic, checked elsewhere
            stripped = text.strip(WHITE_SPACE)
            if not stripped:
                continue
            try:
                verdict, value = python_json(stripped)
            except Undecidable:
                continue
            got_invalid = any(m.startswith("Invalid JSON:") for m in diags.get(number, []))
            if verdict == "invalid":
                if not got_invalid:
                    raise Fault(f"line {number} {stripped[:200]!r} is not JSON but was accepted")
                continue
            if got_invalid:
                raise Fault(f"line {number} {stripped[:200]!r} is JSON but was refused: {diags[number]}")
            if isinstance(value, dict):
                if number not in events:
                    raise Fault(f"line {number} object gave no event")
                if events[number]["raw"] != as_module_value(value):
                    raise Fault(f"line {number} raw {events[number]['raw']!r} != {value!r}")
            elif number in events:
                raise Fault(f"line {number} non-object gave an event")
    finally:
        shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- timestamp differential

def random_rfc3339(rng):
    """A valid RFC 3339 text and its UTC instant as (datetime, nanoseconds)."""
    import calendar
    import datetime as dt

    year = rng.choice([rng.randint(2, 9998), 1970, 1969, 2000, 2024, 2100, 9998, 2])
    month = rng.randint(1, 12)
    day = rng.randint(1, calendar.monthrange(year, month)[1])
    hour, minute, second = rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)
    digits = rng.choice([0, 0, 1, 3, 6, 9, 10, 12, 20])
    frac = "".join(rng.choice("0123456789") for _ in range(digits))
    nanos = int((frac + "000000000")[:9]) if digits else 0
    if rng.random() < 0.4:
        off = 0
        zone = rng.choice(["Z", "z", "+00:00", "-00:00"])
    else:
        off = rng.randint(-23 * 60 - 59, 23 * 60 + 59)
        sign = "-" if off < 0 else "+"
        zone = f"{sign}{abs(off) // 60:02d}:{abs(off) % 60:02d}"
    sep = rng.choice(["T", "t", " "])
    text = f"{year:04d}-{month:02d}-{day:02d}{sep}{hour:02d}:{minute:02d}:{second:02d}"
    if digits:
        text += "." + frac
    text += zone
    local = dt.datetime(year, month, day, hour, minute, second)
    return text, local - dt.timedelta(minutes=off), nanos


def format_utc(when, nanos):
    text = f"{when.year:04d}-" + when.strftime("%m-%dT%H:%M:%S")  # %Y is not padded below 1000
    if nanos:
        if nanos % 1000000 == 0:
            text += ".%03d" % (nanos // 1000000)
        elif nanos % 1000 == 0:
            text += ".%06d" % (nanos // 1000)
        else:
            text += ".%09d" % nanos
    return text + "Z"


def timestamp_differential(seed, workdir):
    """Valid RFC 3339 texts in Codex rollouts and Claude history give the right instant."""
    import tracequill as tq

    rng = random.Random(seed)
    base = tempfile.mkdtemp(prefix=f"ts{seed}-", dir=workdir)
    try:
        stamps = [random_rfc3339(rng) for _ in range(20)]
        rollout = "\n".join(json.dumps({"timestamp": t, "type": "event_msg",
                                        "payload": {"type": "token_count"}}) for t, _, _ in stamps)
        history = "\n".join(json.dumps({"timestamp": t, "display": "x"}) for t, _, _ in stamps)
        session = os.path.join(base, ".codex", "sessions", "rollout-x.jsonl")
        write(session, rollout.encode())
        claude = os.path.join(base, ".claude", "history.jsonl")
        write(claude, history.encode())
        for path in (session, claude):
            events = [e for e in tq.parse(path)["events"] if e["event_type"] in ("task_state", "token_usage", "prompt_input")]
            got = {e["source"]["line_number"]: e["timestamp"] for e in events}
            for number, (text, when, nanos) in enumerate(stamps, 1):
                if got.get(number) != format_utc(when, nanos):
                    raise Fault(f"{os.path.basename(path)}: {text!r} gave {got.get(number)!r}, "
                                f"expected {format_utc(when, nanos)!r}")
    finally:
        shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- threads

def thread_check(seed, workdir):
    """Several threads parse one tree at once and agree with a lone parse."""
    import threading

    import tracequill as tq

    rng = random.Random(seed)
    base = tempfile.mkdtemp(prefix=f"thr{seed}-", dir=workdir)
    try:
        home = os.path.join(os.fsencode(base), b"h")
        os.makedirs(home)
        build_tree(rng, home)
        target = os.fsdecode(home)
        options = random_options(rng)
        expected = outcome_key(call(tq.to_jsonl, target, **options))
        results = []

        def run():
            try:
                for _ in range(3):
                    results.append(outcome_key(call(tq.to_jsonl, target, **options)))
                    call(tq.parse, target, **options)
            except Fault as e:
                results.append(("fault", str(e)))

        threads = [threading.Thread(target=run) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for got in results:
            if got[0] == "fault":
                raise Fault(got[1])
            if got[0] != expected[0]:
                raise Fault(f"threaded parse gave {got[0]}, alone {expected[0]}")
            if got[0] == "ok" and strip_times([json.loads(x) for x in got[1].split("\n")[:-1]]) != \
                    strip_times([json.loads(x) for x in expected[1].split("\n")[:-1]]):
                raise Fault("threaded parse differs from a lone one")
    finally:
        shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- races

def race_check(seed, workdir, seconds=1.0):
    """Files swapped for FIFOs, links to devices and directories while parsing."""
    import threading

    import tracequill as tq

    rng = random.Random(seed)
    base = tempfile.mkdtemp(prefix=f"race{seed}-", dir=workdir)
    home = os.path.join(os.fsencode(base), b"h")
    os.makedirs(home)
    # What the files beside the evidence hold, which no parse may read.
    marker = b"OUTSIDE-THE-EVIDENCE-%d" % seed

    def outside_copy(victim, i):
        """A directory beside the evidence holding the victim's file names."""
        copy = os.path.join(os.fsencode(base), b"outside%d" % i)
        os.makedirs(copy)
        for name in os.listdir(victim):
            if os.path.isfile(os.path.join(victim, name)):
                with open(os.path.join(copy, name), "wb") as f:
                    f.write(marker + b"\n")
        return copy
    stop = threading.Event()
    thread = None
    try:
        candidates = build_tree(rng, home)
        files = [c for c in candidates if os.path.isfile(c) and not os.path.islink(c)]
        dirs = [c for c in candidates if os.path.isdir(c) and not os.path.islink(c) and c != home]
        if not files:
            return

        def swap():
            r = random.Random(seed)
            i = 0
            while not stop.is_set():
                path = r.choice(files)
                tmp = os.path.join(os.fsencode(base), b"tmp%d" % i)
                i += 1
                try:
                    if dirs and r.random() < 0.1:
                        # A directory turned into a link to the root of the file
                        # system or to one beside the evidence: a walk that
                        # doesn't follow links must not go there.
                        victim = r.choice(dirs)
                        os.symlink(b"/" if r.random() < 0.5 else outside_copy(victim, i), tmp)
                        os.rename(victim, tmp + b"-old")
                        os.rename(tmp, victim)
                        os.unlink(victim)
                        os.rename(tmp + b"-old", victim)
                        continue
                    kind = r.random()
                    if kind < 0.3:
                        os.mkfifo(tmp)
                    elif kind < 0.45:
                        os.symlink(b"/dev/zero", tmp)
                    elif kind < 0.55:
                        os.mkdir(tmp)
                    else:
                        with open(tmp, "wb") as f:
                            f.write(random_file_bytes(r))
                    if os.path.isdir(path) and not os.path.islink(path):
                        os.rmdir(path)
                    os.rename(tmp, path)
                except OSError:
                    pass

        thread = threading.Thread(target=swap)
        thread.start()
        deadline = time.time() + seconds
        while time.time() < deadline:
            options = random_options(rng)
            options["include_content"] = True
            options["max_content_size"] = 0
            options["follow_symlinks"] = False
            kind, value = call(rng.choice([tq.parse, tq.to_jsonl, tq.to_csv]), os.fsdecode(home),
                               **options)
            if kind == "ok" and marker.decode() in repr(value):
                raise Fault("a parse read a file outside the evidence")
    finally:
        stop.set()
        if thread is not None:
            thread.join()
        shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- argument fuzzing

class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise type(self.v)(*self.v.args)  # a fresh one: no traceback kept on self
        return self.v


class FsPath:
    def __init__(self, v):
        self.v = v

    def __fspath__(self):
        if isinstance(self.v, BaseException):
            raise type(self.v)(*self.v.args)
        return self.v


class StrSub(str):
    pass


def weird_value(rng, home):
    return rng.choice([
        None, 0, 1, -1, 2**64, 2**64 - 1, True, False, 1.5, "strict", "best_effort", "STRICT",
        "", "\ud800", b"bytes", bytearray(b"x"), [], {}, object(), Index(3), Index(-1),
        Index(2**70), Index(ValueError("boom")), Index(TypeError("t")), Index("notint"),
        FsPath(home), FsPath(b"bytes"), FsPath(ValueError("x")), FsPath("\ud800"),
        FsPath(123), StrSub(home), StrSub("best_effort"), home, home + "\x00x", "json", "csv",
    ])


def arg_fuzz(rng, workdir):
    """Random arguments of every type; only the documented exception types may escape."""
    import tracequill as tq

    home = tempfile.mkdtemp(dir=workdir)
    try:
        names = {
            tq.parse: ["path", "mode", "include_raw", "include_content", "follow_symlinks",
                       "max_line_size", "max_content_size"],
            tq.to_json: ["path", "mode", "include_raw", "include_content", "pretty",
                         "follow_symlinks", "max_line_size", "max_content_size"],
            tq.to_jsonl: ["path", "mode", "include_raw", "include_content", "follow_symlinks",
                          "max_line_size", "max_content_size"],
            tq.to_csv: ["path", "mode", "include_content", "include_message", "include_raw",
                        "follow_symlinks", "max_line_size", "max_content_size"],
            tq.convert: ["path", "output_path", "format", "mode", "include_raw", "include_content",
                         "include_message", "follow_symlinks", "max_line_size", "max_content_size"],
        }
        for _ in range(50):
            fn = rng.choice(list(names))
            params = names[fn]
            n_pos = rng.randint(0, len(params) + 1)
            pos = [weird_value(rng, home) for _ in range(n_pos)]
            kw = {}
            for _ in range(rng.randint(0, 3)):
                kw[rng.choice(params + ["bogus"])] = weird_value(rng, home)
            if fn is tq.convert and "output_path" not in kw and len(pos) >= 2:
                pos[1] = os.path.join(home, "out")
            # None, booleans and small ints are shared with the whole interpreter.
            watched = [v for v in pos + list(kw.values()) if v is not None and type(v) not in (bool, int)]
            refs = [sys.getrefcount(v) for v in watched]
            try:
                fn(*pos, **kw)
            except (TypeError, ValueError, OverflowError, OSError):
                pass
            except BaseException as e:
                raise Fault(f"{fn.__name__}{tuple(pos)!r} {kw!r} raised {type(e).__name__}: {e}")
            refs2 = [sys.getrefcount(v) for v in watched]
            if refs != refs2:
                raise Fault(f"{fn.__name__} leaked a reference to an argument: {pos!r} {kw!r}")
    finally:
        shutil.rmtree(home, ignore_errors=True)


# ---------------------------------------------------------------- drivers

def worker(args):
    workdir = tempfile.mkdtemp(prefix="tqfuzz-")
    progress = args.progress
    total_calls = 0
    try:
        seed = args.seed
        for _ in range(args.count):
            if progress:
                with open(progress, "w") as f:
                    f.write(f"{seed} {total_calls}\n")
            try:
                total_calls += run_case(seed, None, workdir)
                json_differential(seed, workdir)
                timestamp_differential(seed, workdir)
                total_calls += 3
                if seed % 10 == 0:
                    arg_fuzz(random.Random(seed), workdir)
                if seed % 25 == 0:
                    thread_check(seed, workdir)
                if seed % 40 == 0:
                    race_check(seed, workdir)
            except Fault as e:
                print(f"FAULT seed={seed}: {e}", flush=True)
                traceback.print_exc()
                if args.stop_on_fault:
                    return 1
            except Exception as e:  # the harness itself tripped; not the module's fault
                print(f"HARNESS seed={seed}: {type(e).__name__}: {e}", flush=True)
            seed += 1
        if progress:
            with open(progress, "w") as f:
                f.write(f"{seed} {total_calls} done\n")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def supervisor(args):
    progress = tempfile.mktemp(prefix="tqfuzz-progress-")
    seed = args.seed
    started = time.time()
    deadline = started + args.seconds
    cases = calls = 0
    faults = []
    while time.time() < deadline:
        cmd = [sys.executable, __file__, "--worker", "--seed", str(seed), "--count", "1000000",
               "--progress", progress]
        with tempfile.TemporaryFile(mode="w+", errors="replace") as log:
            child = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT)
            last = None
            last_change = time.time()
            hung = False
            while child.poll() is None:
                time.sleep(0.5)
                try:
                    with open(progress) as f:
                        now = f.read()
                except OSError:
                    now = None
                if now != last:
                    last, last_change = now, time.time()
                if time.time() - last_change > args.hang_seconds:
                    print(f"HANG seed={now.split()[0] if now else '?'}", flush=True)
                    faults.append(("hang", now))
                    hung = True
                if hung or time.time() > deadline:
                    child.kill()
                    child.wait()
                    break
            log.seek(0)
            output = log.read()
        sys.stdout.write(output)
        sys.stdout.flush()
        try:
            with open(progress) as f:
                state = f.read().split()
            reached, done_calls = int(state[0]), int(state[1])
        except (OSError, ValueError, IndexError):
            reached, done_calls = seed, 0
        cases += reached - seed
        calls += done_calls
        faults += [("fault", line) for line in output.splitlines() if line.startswith("FAULT")]
        if child.returncode not in (0, -9):
            print(f"CRASH seed={reached} rc={child.returncode}", flush=True)
            faults.append(("crash", reached))
            reached += 1
        elif hung:
            reached += 1
        seed = reached
    print(f"SUMMARY seeds={args.seed}..{seed} cases={cases} calls={calls} "
          f"seconds={time.time() - started:.0f} faults={len(faults)}", flush=True)
    for fault in faults:
        print("  ", fault)
    return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--hang-seconds", type=float, default=60)
    parser.add_argument("--worker", action="store_true")
    parser.add_argument("--stop-on-fault", action="store_true")
    parser.add_argument("--progress")
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    return supervisor(args)


if __name__ == "__main__":
    sys.exit(main())
