#!/usr/bin/env python3
"""Write a large, realistic home directory holding a `.codex` and a `.claude`
profile, for benchmarking.

The output is a pure function of (--size-mb, --seed): the same arguments give
the same bytes, file names and modification times on every run and machine.

Shape of what is written below OUT:

  .codex/history.jsonl                                   {"session_id","ts","text"}
  .codex/sessions/YYYY/MM/DD/rollout-<time>-<uuid7>.jsonl one record per line
  .codex/attachments/<uuid4>/pasted-text.txt             plus the index file
  .codex/attachments/pasted-text-attachments.json
  .claude/history.jsonl                                  {"display","pastedContents",...}
  .claude/paste-cache/<16 hex>.txt                       referenced by contentHash
  .claude/image-cache/<sessionId>/<N>.png
  .claude/file-history/<sessionId>/<16 hex>@v<N>         chains of versions
  .claude/projects/<cwd>/<sessionId>.jsonl               only with --transcripts-mb:
  .claude/projects/<cwd>/[<sessionId>/subagents/]agent-<id>.jsonl  session transcripts

Most bytes sit in rollout files, as on real machines. Line lengths follow what
real rollouts show (median a few hundred bytes, a tail of 10-50 KB lines for
instructions and tool output) and a handful of lines carry several megabytes
(a huge paste, a tool that printed a whole log). Those stay below the default
10 MiB line limit unless --oversize-lines asks for some above it.

With --compressed every rollout is then compressed in place to
rollout-….jsonl.zst, as Codex does with rollouts older than about a week; the
marker's byte counts stay those of the plain files.

--transcripts-mb adds Claude Code session transcripts on top of the requested
size, drawn from their own random stream: every other file stays byte for byte
what the same --size-mb and --seed give without them, so earlier measurements
stay comparable.

Usage:
  python3 bench/generate_profiles.py OUT [--size-mb 1000] [--seed 1] [--compressed]
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import math
import os
import random
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone

MIB = 1024 * 1024

# Share of the requested size given to each kind of file.
SHARES = {
    "codex_sessions": 0.74,
    "codex_history": 0.01,
    "codex_attachments": 0.03,
    "claude_history": 0.06,
    "claude_paste_cache": 0.05,
    "claude_image_cache": 0.04,
    "claude_file_history": 0.07,
}

# Sessions are spread over one year; the date directories follow them.
EPOCH_START = datetime(2025, 6, 1, tzinfo=timezone.utc)
SPAN_DAYS = 365

WORDS = (
    "the a to of and in is for on that with this it be as are by from at or "
    "file function test build error value return config session module path "
    "parse event line record output input cache history timeline diagnostic "
    "update fix add remove check run install import export class struct type "
    "should would could make sure first then after before when while because "
    "request response server client handler token stream buffer reader writer "
    "index offset length size count limit default option argument result "
    "database query table column schema migration rollback commit branch merge "
    "café naïve résumé — “quoted” ✓ 日本語 über straße"
).split()

CODE_LINES = [
    "    if (result.has_value()) {",
    "        return std::unexpected(Error::io(path, ec));",
    "    }",
    "for entry in sorted(os.listdir(root)):",
    "    total += os.path.getsize(os.path.join(root, entry))",
    "const config = await loadConfig(process.env.CONFIG_PATH ?? './config.json');",
    "export function parseLine(line: string): Record<string, unknown> | null {",
    "  expect(parser.parse(input)).toEqual({ ok: true, value: 42 });",
    "fn main() -> Result<(), Box<dyn std::error::Error>> {",
    "    let reader = BufReader::with_capacity(8192, file);",
    "SELECT id, created_at, payload FROM events WHERE session_id = $1 ORDER BY id;",
    "    }",
    "}",
    "",
    "# TODO: handle the empty case",
    "import { describe, it, expect } from 'vitest';",
    "def test_round_trip(tmp_path):",
    "    assert json.loads(out.read_text()) == expected",
    "\tgo func() { defer wg.Done(); process(ch) }()",
    "    log.info(\"processed %d records in %.2fs\", n, elapsed)",
]

LOG_LINES = [
    "npm WARN deprecated inflight@1.0.6: This module is not supported",
    "   Compiling serde_json v1.0.128",
    "PASS  src/parser/__tests__/line.test.ts (4.21 s)",
    "FAIL  src/agents/plugins/__tests__/session.test.ts",
    "    at Object.<anonymous> (src/index.ts:42:13)",
    "[INFO] Building tracequill 0.1.0",
    "warning: unused variable: `buffer`",
    "test result: ok. 128 passed; 0 failed; 2 ignored; finished in 3.42s",
    "2026-02-23T11:54:52.352Z DEBUG request completed status=200 elapsed_ms=12",
    "drwxr-xr-x  5 user staff   160 Feb 23 11:54 src",
    "-rw-r--r--  1 user staff  4096 Feb 23 11:54 package.json",
    "M src/agents/plugins/codex/session.ts",
    "diff --git a/src/main.rs b/src/main.rs",
    "+    let total = lines.iter().map(|l| l.len()).sum::<usize>();",
    "-    let total = 0;",
]

PROJECTS = [
    "api-server", "web-frontend", "tracequill", "infra", "data-pipeline",
    "mobile-app", "docs-site", "ml-experiments", "cli-tools", "payments",
    "search-service", "design-system", "auth-gateway", "notebooks",
]
USERS = ["alex", "sam", "jordan", "Sample_User"]
MODELS = ["gpt-5", "gpt-5-codex", "gpt-5.1-codex", "gpt-5.5"]
CLI_VERSIONS = ["0.80.0", "0.104.0-alpha.1", "0.125.0", "0.128.0-alpha.1"]
ORIGINATORS = ["codex_cli_rs", "codex-tui", "Codex Desktop"]
TOOLS_SHELL = ["exec_command", "shell", "shell_command"]
SHELL_COMMANDS = [
    "rg -n \"parse_line\" src", "sed -n '1,200p' src/main.rs", "ls -la",
    "git status --short", "git diff --stat", "npm test -- --run",
    "cargo test --quiet", "pytest -q tests", "cat package.json",
    "find . -name '*.ts' | head -50", "make -j2", "go test ./...",
]


class TextPool:
    """Cheap source of varied text: slices of a few pre-built corpora.

    Building every string word by word would dominate generation time for a
    gigabyte; slicing a fixed corpus at seeded offsets is fast and still gives
    JSON escapes, non-ASCII characters and realistic line structure."""

    def __init__(self, rng: random.Random) -> None:
        prose = []
        for _ in range(40000):
            n = rng.randint(4, 18)
            sentence = " ".join(rng.choice(WORDS) for _ in range(n))
            prose.append(sentence.capitalize() + rng.choice([".", ".", "?", ":"]))
            if rng.random() < 0.15:
                prose.append("\n\n")
            elif rng.random() < 0.1:
                prose.append("\n- ")
        self.prose = " ".join(prose)
        self.code = "\n".join(rng.choice(CODE_LINES) for _ in range(60000))
        self.log = "\n".join(rng.choice(LOG_LINES) for _ in range(60000))

    @staticmethod
    def _take(rng: random.Random, corpus: str, n: int) -> str:
        if n <= 0:
            return ""
        parts = []
        while n > 0:
            k = min(n, len(corpus) - 1)
            start = rng.randrange(0, len(corpus) - k)
            parts.append(corpus[start:start + k])
            n -= k
        return "".join(parts)

    def prose_text(self, rng: random.Random, n: int) -> str:
        return self._take(rng, self.prose, n)

    def code_text(self, rng: random.Random, n: int) -> str:
        return self._take(rng, self.code, n)

    def log_text(self, rng: random.Random, n: int) -> str:
        return self._take(rng, self.log, n)


def lognormal_int(rng: random.Random, median: float, sigma: float, lo: int, hi: int) -> int:
    v = rng.lognormvariate(math.log(median), sigma)
    return int(min(max(v, lo), hi))


def uuid7(rng: random.Random, ms: int) -> str:
    rand_a = rng.getrandbits(12)
    rand_b = rng.getrandbits(62)
    value = (ms & ((1 << 48) - 1)) << 80 | 0x7 << 76 | rand_a << 64 | 0b10 << 62 | rand_b
    h = f"{value:032x}"
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def uuid4(rng: random.Random) -> str:
    value = rng.getrandbits(128)
    value = (value & ~(0xF << 76)) | (0x4 << 76)
    value = (value & ~(0x3 << 62)) | (0b10 << 62)
    h = f"{value:032x}"
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def iso_ms(t: datetime) -> str:
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


def dumps(obj) -> str:
    # Codex and Claude Code write compact JSON with non-ASCII left as UTF-8.
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def set_mtime(path: str, t: datetime) -> None:
    # Whole nanoseconds, so that the times read back are exactly the ones meant.
    delta = t - datetime(1970, 1, 1, tzinfo=timezone.utc)
    ns = (delta.days * 86400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1000
    os.utime(path, ns=(ns, ns))


@dataclass
class Stats:
    files: int = 0
    bytes: int = 0
    lines: int = 0
    big_lines: list = field(default_factory=list)  # (relative path, line number, bytes)
    by_kind: dict = field(default_factory=dict)

    def add(self, kind: str, nbytes: int, nfiles: int = 1) -> None:
        self.files += nfiles
        self.bytes += nbytes
        f, b = self.by_kind.get(kind, (0, 0))
        self.by_kind[kind] = (f + nfiles, b + nbytes)


class Generator:
    def __init__(self, out: str, size_mb: float, seed: int, oversize_lines: int,
                 transcripts_mb: float = 0, big_lines: bool = True) -> None:
        self.out = out
        self.transcripts_total = int(transcripts_mb * MIB)
        self.transcript_rng = random.Random(seed ^ 0x7A5C)
        self.total = int(size_mb * MIB)
        self.rng = random.Random(seed)
        self.pool = TextPool(random.Random(seed ^ 0x5EED))
        self.oversize_lines = oversize_lines
        self.stats = Stats()
        self.user = self.rng.choice(USERS)
        self.home = f"/Users/{self.user}"
        # Huge lines: about one per 100 MB, at least two, 1-6 MiB each; none
        # at all for the small homes of a fleet, whose size they would swamp.
        self.big_line_count = max(2, int(size_mb // 100)) if big_lines else 0
        # Sessions known to both products' histories, filled while writing.
        self.codex_sessions: list[tuple[str, datetime, str]] = []
        self.claude_sessions: list[tuple[str, datetime, str]] = []
        # Backups written to file-history, by session: (backup name, time).
        self.claude_backups: dict[str, list[tuple[str, datetime]]] = {}

    # ---- shared helpers -------------------------------------------------

    def budget(self, key: str) -> int:
        return int(self.total * SHARES[key])

    def project_dir(self) -> str:
        return f"{self.home}/src/{self.rng.choice(PROJECTS)}"

    def random_time(self) -> datetime:
        r = self.rng
        return EPOCH_START + timedelta(seconds=r.randrange(SPAN_DAYS * 86400),
                                       microseconds=r.randrange(1000) * 1000)

    def write_bytes(self, path: str, data: bytes, kind: str, mtime: datetime) -> None:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        set_mtime(path, mtime)
        self.stats.add(kind, len(data))

    def note_big_lines(self, path: str, lines: list[str]) -> None:
        for number, line in enumerate(lines, 1):
            if len(line) > MIB:
                self.stats.big_lines.append((self.rel(path), number, len(line.encode())))

    def rel(self, path: str) -> str:
        return os.path.relpath(path, self.out)

    # ---- Codex rollouts -------------------------------------------------

    def codex_sessions_tree(self) -> None:
        budget = self.budget("codex_sessions")
        r = self.rng
        # Several thousand files per gigabyte: about four per MiB of rollouts,
        # sizes spread log-normally around the mean.
        n_files = max(20, int(budget / MIB * 5.5))
        weights = [r.lognormvariate(0.0, 1.3) for _ in range(n_files)]
        starts = sorted(self.random_time() for _ in range(n_files))
        # Multi-MB lines go into randomly chosen files; their bytes count
        # against that file's share.
        big = {}
        for i in range(self.big_line_count):
            size = r.randint(1 * MIB, 6 * MIB)
            big.setdefault(r.randrange(n_files), []).append(size)
        over = {}
        for i in range(self.oversize_lines):
            over.setdefault(r.randrange(n_files), []).append(r.randint(10 * MIB + 1, 12 * MIB))
        # Each file gets its weight's part of what is left, so files that
        # came out larger than asked (every session has a fixed header)
        # shrink the later ones and the total stays near the budget.
        left = budget - sum(sum(v) for v in big.values()) - sum(sum(v) for v in over.values())
        weight_left = sum(weights)
        for i, start in enumerate(starts):
            target = max(4096, int(weights[i] / weight_left * left))
            written = self.write_rollout(start, target, big.get(i, []), over.get(i, []))
            left -= written - sum(big.get(i, [])) - sum(over.get(i, []))
            weight_left -= weights[i]

    def write_rollout(self, start: datetime, target: int, big_sizes: list, over_sizes: list) -> int:
        r = self.rng
        ms = int(start.timestamp() * 1000)
        sid = uuid7(r, ms)
        cwd = self.project_dir()
        name = f"rollout-{start.strftime('%Y-%m-%dT%H-%M-%S')}-{sid}.jsonl"
        path = os.path.join(self.out, ".codex", "sessions", start.strftime("%Y"),
                            start.strftime("%m"), start.strftime("%d"), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        version = r.choice(CLI_VERSIONS)
        model = r.choice(MODELS)
        t = start
        lines: list[str] = []
        size = 0
        first_prompt = None

        def emit(rtype: str, payload) -> None:
            nonlocal size, t
            t += timedelta(milliseconds=r.randint(1, 4000))
            line = dumps({"timestamp": iso_ms(t), "type": rtype, "payload": payload})
            lines.append(line)
            size += len(line.encode()) + 1

        # Session header: base instructions are the biggest ordinary line.
        meta = {
            "id": sid, "timestamp": iso_ms(start), "cwd": cwd,
            "originator": r.choice(ORIGINATORS), "cli_version": version,
            "source": r.choice(["cli", "vscode", "exec"]), "model_provider": "openai",
        }
        instructions = self.pool.prose_text(r, r.randint(8000, 22000))
        if version == "0.80.0":
            meta["instructions"] = instructions
        else:
            meta["base_instructions"] = {"text": instructions}
        meta["git"] = {"commit_hash": hashlib.sha1(sid.encode()).hexdigest(),
                       "branch": r.choice(["main", "dev", "feature/parser"]),
                       "repository_url": f"git@github.com:{self.user}/{cwd.rsplit('/', 1)[-1]}.git"}
        emit("session_meta", meta)
        if version != "0.80.0":
            emit("response_item", {"type": "message", "role": "developer", "content": [
                {"type": "input_text", "text": "<permissions instructions>\n" +
                 self.pool.prose_text(r, r.randint(3000, 25000)) + "\n</permissions instructions>"}]})
        emit("response_item", {"type": "message", "role": "user", "content": [
            {"type": "input_text", "text": "<environment_context>\n  <cwd>" + cwd +
             "</cwd>\n  <shell>zsh</shell>\n</environment_context>"}]})

        big_sizes = list(big_sizes)
        over_sizes = list(over_sizes)
        turn = 0
        while size < target or big_sizes or over_sizes:
            turn += 1
            turn_id = uuid7(r, int(t.timestamp() * 1000))
            emit("event_msg", {"type": "task_started", "turn_id": turn_id,
                               "model_context_window": 258400})
            ctx = {"cwd": cwd, "approval_policy": "on-request",
                   "sandbox_policy": {"type": "workspace-write", "network_access": False},
                   "model": model, "summary": "auto",
                   "effort": r.choice(["low", "medium", "high"])}
            if version != "0.80.0":
                ctx = {"turn_id": turn_id, **ctx,
                       "collaboration_mode": {"mode": "default", "settings": {
                           "developer_instructions": self.pool.prose_text(r, r.randint(200, 2500))}}}
            emit("turn_context", ctx)
            prompt_len = lognormal_int(r, 160, 1.3, 8, 40000)
            prompt = self.pool.prose_text(r, prompt_len)
            if big_sizes and r.random() < 0.5:
                # A huge paste straight into the prompt.
                n = big_sizes.pop()
                prompt = self.pool.log_text(r, n)
            if first_prompt is None:
                first_prompt = prompt[:2000]
            emit("response_item", {"type": "message", "role": "user",
                                   "content": [{"type": "input_text", "text": prompt}]})
            emit("event_msg", {"type": "user_message", "message": prompt[:4000],
                               "images": [], "local_images": [], "text_elements": []})
            emit("event_msg", {"type": "token_count", "info": None, "rate_limits": None})
            steps = lognormal_int(r, 6, 0.9, 1, 60)
            total_in = r.randint(10000, 20000)
            for step in range(steps):
                if step and size > target and not big_sizes and not over_sizes:
                    break
                if r.random() < 0.7:
                    emit("response_item", {"type": "reasoning", "summary": [], "content": None,
                                           "encrypted_content": base64.urlsafe_b64encode(
                                               r.randbytes(r.randint(500, 3000))).decode()})
                if r.random() < 0.4:
                    emit("event_msg", {"type": "agent_reasoning",
                                       "text": self.pool.prose_text(r, r.randint(30, 600))})
                call_id = "call_" + base64.b64encode(r.randbytes(18)).decode().replace("+", "x").replace("/", "y")
                kind = r.random()
                if kind < 0.78:
                    cmd = r.choice(SHELL_COMMANDS)
                    emit("response_item", {"type": "function_call", "name": r.choice(TOOLS_SHELL),
                                           "arguments": dumps({"cmd": cmd, "workdir": cwd,
                                                               "yield_time_ms": 1000,
                                                               "max_output_tokens": 12000}),
                                           "call_id": call_id})
                    out_len = lognormal_int(r, 400, 1.5, 20, 200000)
                    output = self.pool.log_text(r, out_len)
                    if big_sizes and r.random() < 0.3:
                        n = big_sizes.pop()
                        output = self.pool.log_text(r, n)
                    elif over_sizes and r.random() < 0.3:
                        n = over_sizes.pop()
                        output = self.pool.log_text(r, n)
                    emit("event_msg", {"type": "token_count", "info": {
                        "total_token_usage": {"input_tokens": total_in, "cached_input_tokens": total_in // 2,
                                              "output_tokens": r.randint(10, 900),
                                              "reasoning_output_tokens": r.randint(0, 400),
                                              "total_tokens": total_in + 500},
                        "model_context_window": 258400}, "rate_limits": None})
                    emit("response_item", {"type": "function_call_output", "call_id": call_id,
                                           "output": "Chunk ID: " + f"{r.getrandbits(24):06x}" +
                                           "\nWall time: 1.0 seconds\nProcess exited with code 0\nOutput:\n" +
                                           output})
                    if version in ("0.125.0", "0.128.0-alpha.1") and r.random() < 0.5:
                        emit("event_msg", {"type": "exec_command_end", "call_id": call_id,
                                           "turn_id": turn_id, "command": ["/bin/zsh", "-lc", cmd],
                                           "cwd": cwd, "stdout": "", "stderr": "",
                                           "aggregated_output": output[:20000],
                                           "exit_code": 0, "duration": {"secs": 1, "nanos": 3700000},
                                           "formatted_output": output[:2000]})
                elif kind < 0.93:
                    patch = ("*** Begin Patch\n*** Update File: src/" + r.choice(PROJECTS) + ".ts\n@@\n" +
                             "\n".join("+" + l for l in self.pool.code_text(r, r.randint(200, 6000)).split("\n")) +
                             "\n*** End Patch\n")
                    emit("response_item", {"type": "custom_tool_call", "status": "completed",
                                           "call_id": call_id, "name": "apply_patch", "input": patch})
                    if r.random() < 0.5:
                        emit("event_msg", {"type": "patch_apply_end", "call_id": call_id,
                                           "turn_id": turn_id,
                                           "stdout": "Success. Updated the following files:\nM src/x.ts\n",
                                           "stderr": "", "success": True, "status": "completed"})
                    emit("response_item", {"type": "custom_tool_call_output", "call_id": call_id,
                                           "output": dumps({"output": "Success. Updated the following files:\nM src/x.ts\n",
                                                            "metadata": {"exit_code": 0, "duration_seconds": 0.4}})})
                else:
                    query = self.pool.prose_text(r, r.randint(20, 120))
                    emit("response_item", {"type": "web_search_call", "status": "completed",
                                           "action": {"type": "search", "query": query, "queries": [query]}})
                    if r.random() < 0.5:
                        emit("event_msg", {"type": "web_search_end", "call_id": "ws_" + f"{r.getrandbits(160):040x}",
                                           "query": query, "action": {"type": "search", "query": query}})
            answer = self.pool.prose_text(r, lognormal_int(r, 400, 1.0, 20, 12000))
            emit("event_msg", {"type": "agent_message", "message": answer, "phase": "final_answer"})
            emit("response_item", {"type": "message", "role": "assistant",
                                   "content": [{"type": "output_text", "text": answer}],
                                   "phase": "final_answer"})
            if r.random() < 0.04:
                emit("event_msg", {"type": "turn_aborted", "reason": "interrupted"})
            else:
                emit("event_msg", {"type": "task_complete", "turn_id": turn_id,
                                   "last_agent_message": answer[:3000]})
            if turn % 12 == 0 and r.random() < 0.5:
                emit("compacted", {"message": "", "replacement_history": [
                    {"type": "message", "role": "user",
                     "content": [{"type": "input_text", "text": self.pool.prose_text(r, 400)}]}]})
                emit("event_msg", {"type": "context_compacted"})

        self.note_big_lines(path, lines)
        data = ("\n".join(lines) + "\n").encode()
        self.write_bytes(path, data, "codex_sessions", t)
        self.stats.lines += len(lines)
        self.codex_sessions.append((sid, start, first_prompt or ""))
        return len(data)

    # ---- Codex history and attachments ----------------------------------

    def codex_history(self) -> None:
        budget = self.budget("codex_history")
        r = self.rng
        lines = []
        size = 0
        sessions = self.codex_sessions
        while size < budget:
            sid, start, prompt = sessions[r.randrange(len(sessions))]
            ts = int(start.timestamp()) + r.randint(0, 7200)
            text = prompt if r.random() < 0.5 else self.pool.prose_text(r, lognormal_int(r, 200, 1.4, 5, 50000))
            if r.random() < 0.1:
                text = "\n## User Input\n\n```text\n" + text + "\n```"
            line = dumps({"session_id": sid, "ts": ts, "text": text})
            lines.append((ts, line))
            size += len(line.encode()) + 1
        lines.sort(key=lambda x: x[0])
        data = ("\n".join(l for _, l in lines) + "\n").encode()
        self.write_bytes(os.path.join(self.out, ".codex", "history.jsonl"), data,
                         "codex_history", EPOCH_START + timedelta(days=SPAN_DAYS))
        self.stats.lines += len(lines)

    def codex_attachments(self) -> None:
        budget = self.budget("codex_attachments")
        r = self.rng
        root = os.path.join(self.out, ".codex", "attachments")
        size = 0
        index = {"attachmentPaths": [], "pendingRemovalPaths": [], "textExcerptsByPath": {}}
        while size < budget:
            directory = os.path.join(root, uuid4(r))
            t = self.random_time()
            if r.random() < 0.85:
                text = self.pool.code_text(r, lognormal_int(r, 6000, 1.2, 100, 400000)).encode()
                path = os.path.join(directory, "pasted-text.txt")
                index["textExcerptsByPath"][f"{self.home}/{self.rel(path)}"] = text[:120].decode(errors="ignore")
            else:
                text = fake_png(r, lognormal_int(r, 120000, 0.8, 2000, 3 * MIB))
                path = os.path.join(directory, "image.png")
            index["attachmentPaths"].append(f"{self.home}/{self.rel(path)}")
            self.write_bytes(path, text, "codex_attachments", t)
            size += len(text)
        data = json.dumps(index, ensure_ascii=False, indent=2).encode()
        self.write_bytes(os.path.join(root, "pasted-text-attachments.json"), data,
                         "codex_attachments", EPOCH_START + timedelta(days=SPAN_DAYS))

    # ---- Claude Code ----------------------------------------------------

    def claude_history_and_caches(self) -> None:
        r = self.rng
        hist_budget = self.budget("claude_history")
        paste_budget = self.budget("claude_paste_cache")
        image_budget = self.budget("claude_image_cache")
        base = os.path.join(self.out, ".claude")
        n_sessions = max(10, int(self.total / MIB * 1.2))
        for _ in range(n_sessions):
            t = self.random_time()
            self.claude_sessions.append((uuid4(r), t, self.project_dir()))
        self.claude_sessions.sort(key=lambda s: s[1])

        records = []
        hist_size = paste_size = image_size = 0
        big_total = big_left = max(1, self.big_line_count // 3) if self.big_line_count else 0
        image_numbers: dict[str, int] = {}
        while hist_size < hist_budget:
            sid, start, project = self.claude_sessions[r.randrange(len(self.claude_sessions))]
            t = start + timedelta(seconds=r.randint(0, 14400), milliseconds=r.randrange(1000))
            display = self.pool.prose_text(r, lognormal_int(r, 120, 1.3, 2, 20000))
            if r.random() < 0.05:
                display = r.choice(["/clear", "/compact", "/model", "/cost", "continue", "yes"])
            pasted = {}
            roll = r.random()
            if roll < 0.08 and paste_size < paste_budget:
                # Large paste kept in the cache, referenced by hash.
                content = self.pool.code_text(r, lognormal_int(r, 8000, 1.3, 200, 600000)).encode()
                key = hashlib.sha256(content).hexdigest()[:16]
                self.write_bytes(os.path.join(base, "paste-cache", key + ".txt"), content,
                                 "claude_paste_cache", t)
                paste_size += len(content)
                pasted["1"] = {"id": 1, "type": "text", "contentHash": key}
                display += f" [Pasted text #1 +{content.count(10)} lines]"
            elif roll < 0.16:
                # Inline paste; a few are several megabytes.
                if big_left and hist_size > hist_budget * (big_total - big_left + 1) / (big_total + 1):
                    big_left -= 1
                    n = r.randint(1 * MIB, 5 * MIB)
                    content = self.pool.log_text(r, n)
                else:
                    content = self.pool.code_text(r, lognormal_int(r, 1500, 1.2, 20, 60000))
                pasted["1"] = {"id": 1, "type": "text", "content": content}
                display += f" [Pasted text #1 +{content.count(chr(10))} lines]"
                if r.random() < 0.2:
                    pasted["2"] = {"id": 2, "type": "text", "content": self.pool.prose_text(r, r.randint(50, 3000))}
                    display += f" [Pasted text #2 +{pasted['2']['content'].count(chr(10))} lines]"
            if r.random() < 0.06 and image_size < image_budget:
                n = image_numbers.get(sid, 0) + 1
                image_numbers[sid] = n
                png = fake_png(r, lognormal_int(r, 150000, 0.9, 3000, 4 * MIB))
                self.write_bytes(os.path.join(base, "image-cache", sid, f"{n}.png"), png,
                                 "claude_image_cache", t)
                image_size += len(png)
                display += f" [Image #{n}]"
            rec = {"display": display, "pastedContents": pasted,
                   "timestamp": int(t.timestamp() * 1000), "project": project}
            if r.random() < 0.9:  # older versions wrote no sessionId
                rec["sessionId"] = sid
            line = dumps(rec)
            records.append((rec["timestamp"], line))
            hist_size += len(line.encode()) + 1
        # Cache files that no prompt refers to (left behind by cleared or
        # edited prompts) until each cache's share is used.
        while paste_size < paste_budget:
            _, start, _ = self.claude_sessions[r.randrange(len(self.claude_sessions))]
            content = self.pool.code_text(r, lognormal_int(r, 8000, 1.3, 200, 600000)).encode()
            key = hashlib.sha256(content).hexdigest()[:16]
            self.write_bytes(os.path.join(base, "paste-cache", key + ".txt"), content,
                             "claude_paste_cache", start)
            paste_size += len(content)
        while image_size < image_budget:
            sid, start, _ = self.claude_sessions[r.randrange(len(self.claude_sessions))]
            n = image_numbers.get(sid, 0) + 1
            image_numbers[sid] = n
            png = fake_png(r, lognormal_int(r, 150000, 0.9, 3000, 4 * MIB))
            self.write_bytes(os.path.join(base, "image-cache", sid, f"{n}.png"), png,
                             "claude_image_cache", start)
            image_size += len(png)
        records.sort(key=lambda x: x[0])
        self.note_big_lines(os.path.join(base, "history.jsonl"), [l for _, l in records])
        data = ("\n".join(l for _, l in records) + "\n").encode()
        self.write_bytes(os.path.join(base, "history.jsonl"), data, "claude_history",
                         EPOCH_START + timedelta(days=SPAN_DAYS))
        self.stats.lines += len(records)

    def claude_file_history(self) -> None:
        budget = self.budget("claude_file_history")
        r = self.rng
        base = os.path.join(self.out, ".claude", "file-history")
        size = 0
        while size < budget:
            sid, start, _ = self.claude_sessions[r.randrange(len(self.claude_sessions))]
            file_id = f"{r.getrandbits(64):016x}"
            versions = lognormal_int(r, 3, 0.9, 1, 40)
            text = self.pool.code_text(r, lognormal_int(r, 5000, 1.1, 100, 300000))
            t = start
            first = 1
            for v in range(first, first + versions):
                if v > first and r.random() < 0.02:
                    continue  # a lost version: leaves a gap in the chain
                # Each version is the previous one with a small edit.
                cut = r.randrange(len(text) + 1)
                text = text[:cut] + self.pool.code_text(r, r.randint(0, 400)) + text[cut + r.randint(0, 200):]
                data = text.encode()
                t += timedelta(seconds=r.randint(5, 900))
                self.write_bytes(os.path.join(base, sid, f"{file_id}@v{v}"), data,
                                 "claude_file_history", t)
                self.claude_backups.setdefault(sid, []).append((f"{file_id}@v{v}", t))
                size += len(data)

    def claude_transcripts(self) -> None:
        """One transcript per session until the budget is used, a subagent
        file now and then (both layouts). A response is written as one record
        per content block, each carrying the same message id and usage."""
        r = self.transcript_rng
        base = os.path.join(self.out, ".claude", "projects")
        size = 0
        sessions = sorted(self.claude_sessions, key=lambda s: s[0])
        i = 0
        while size < self.transcripts_total:
            sid, start, project = sessions[i % len(sessions)]
            i += 1
            directory = os.path.join(base, project.replace("/", "-").replace(".", "-"))
            target = lognormal_int(r, 400_000, 1.0, 5_000, 20 * MIB)
            path = os.path.join(directory, sid + ".jsonl")
            if i > len(sessions):  # every session has its file: the rest are subagents
                agent = f"a{r.getrandbits(28):07x}"
                path = (os.path.join(directory, f"agent-{agent}.jsonl") if r.random() < 0.5 else
                        os.path.join(directory, sid, "subagents", f"agent-{agent}.jsonl"))
            else:
                agent = None
            lines, t = self.transcript_lines(r, sid, start, project, agent, target)
            data = ("\n".join(lines) + "\n").encode()
            self.write_bytes(path, data, "claude_transcripts", t)
            self.stats.lines += len(lines)
            size += len(data)

    def transcript_lines(self, r: random.Random, sid: str, start: datetime, cwd: str,
                         agent: str | None, target: int) -> tuple[list[str], datetime]:
        lines: list[str] = []
        size = 0
        t = start
        parent = None
        backups = self.claude_backups.get(sid, [])
        common = {"isSidechain": agent is not None, "userType": "external", "cwd": cwd,
                  "sessionId": sid, "version": "2.0.71", "gitBranch": "main"}
        if agent:
            common["agentId"] = agent

        def emit(record: dict) -> None:
            nonlocal size, parent
            if "uuid" in record:
                parent = record["uuid"]
            line = dumps(record)
            lines.append(line)
            size += len(line.encode()) + 1

        def entry(kind: str, **fields) -> dict:
            nonlocal t
            t += timedelta(milliseconds=r.randint(50, 20000))
            return {"parentUuid": parent, **common, "type": kind, **fields,
                    "uuid": uuid4(r), "timestamp": iso_ms(t)}

        if agent is None and r.random() < 0.3:
            emit({"type": "summary", "summary": self.pool.prose_text(r, 60), "leafUuid": uuid4(r)})
        while size < target:
            tracked = {}
            for name, when in r.sample(backups, min(len(backups), r.randint(0, 3))):
                tracked[f"{cwd}/src/{name[:8]}.ts"] = {
                    "backupFileName": name, "version": int(name.rsplit("@v", 1)[1]),
                    "backupTime": iso_ms(when)}
            message_id = uuid4(r)
            emit({"type": "file-history-snapshot", "messageId": message_id,
                  "snapshot": {"messageId": message_id, "trackedFileBackups": tracked,
                               "timestamp": iso_ms(t)}, "isSnapshotUpdate": False})
            prompt = self.pool.prose_text(r, lognormal_int(r, 200, 1.3, 2, 20000))
            emit(entry("user", message={"role": "user", "content": prompt}))
            for _ in range(lognormal_int(r, 3, 0.8, 1, 25)):
                msg_id = f"msg_{r.getrandbits(96):024x}"
                usage = {"input_tokens": r.randint(1, 5000), "output_tokens": r.randint(1, 3000),
                         "cache_creation_input_tokens": r.randint(0, 20000),
                         "cache_read_input_tokens": r.randint(0, 200000), "service_tier": "standard"}
                blocks = []
                if r.random() < 0.5:
                    blocks.append({"type": "thinking", "thinking": self.pool.prose_text(r, lognormal_int(r, 600, 1.0, 20, 20000)),
                                   "signature": base64.b64encode(r.randbytes(96)).decode()})
                blocks.append({"type": "text", "text": self.pool.prose_text(r, lognormal_int(r, 300, 1.1, 5, 12000))})
                tool_id = None
                if r.random() < 0.7:
                    tool_id = f"toolu_{r.getrandbits(96):024x}"
                    name = r.choice(["Bash", "Read", "Edit", "Grep", "Glob", "Write", "Task"])
                    blocks.append({"type": "tool_use", "id": tool_id, "name": name,
                                   "input": {"command": r.choice(SHELL_COMMANDS)} if name == "Bash" else
                                            {"file_path": f"{cwd}/src/main.ts"}})
                for block in blocks:
                    emit(entry("assistant", requestId=f"req_{r.getrandbits(96):024x}",
                               message={"model": "claude-opus-4-5-20251101", "id": msg_id,
                                        "type": "message", "role": "assistant", "content": [block],
                                        "stop_reason": None, "usage": usage}))
                if tool_id:
                    output = self.pool.log_text(r, lognormal_int(r, 1500, 1.4, 10, 200_000))
                    emit(entry("user", message={"role": "user", "content": [
                        {"tool_use_id": tool_id, "type": "tool_result", "content": output,
                         "is_error": r.random() < 0.05}]},
                        toolUseResult={"stdout": output[:2000], "stderr": "", "interrupted": False}))
            if r.random() < 0.5:
                emit(entry("system", subtype="stop_hook_summary", hookCount=1, hookErrors=[],
                           preventedContinuation=False, level="suggestion"))
            if r.random() < 0.03:
                emit(entry("system", subtype="compact_boundary", content="Conversation compacted",
                           compactMetadata={"trigger": "auto", "preTokens": r.randint(100000, 180000)}))
                emit(entry("user", isCompactSummary=True,
                           message={"role": "user", "content": self.pool.prose_text(r, 3000)}))
        return lines, t

    # ---- driver -----------------------------------------------------------

    def run(self) -> Stats:
        self.codex_sessions_tree()
        self.codex_history()
        self.codex_attachments()
        self.claude_history_and_caches()
        self.claude_file_history()
        if self.transcripts_total:
            self.claude_transcripts()
        return self.stats


def fake_png(r: random.Random, n: int) -> bytes:
    # A PNG signature and header chunk followed by incompressible bytes: the
    # parser only hashes and sizes images, so real pixels add nothing.
    header = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + r.randbytes(17)
    return header + r.randbytes(max(0, n - len(header)))


MARKER = ".bench-profile.json"


def read_marker(out: str) -> dict | None:
    try:
        with open(os.path.join(out, MARKER)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def compress_rollouts(out: str) -> None:
    """Compress every rollout in place with the zstd command, as Codex does
    with rollouts older than about a week (the command keeps the file times)."""
    rollouts = []
    for root, dirs, names in os.walk(os.path.join(out, ".codex", "sessions")):
        dirs.sort()
        rollouts += [os.path.join(root, n) for n in sorted(names) if n.endswith(".jsonl")]
    for start in range(0, len(rollouts), 200):
        subprocess.run(["zstd", "-q", "--rm", "-f", *rollouts[start:start + 200]], check=True)


def generate(out: str, size_mb: float, seed: int = 1, oversize_lines: int = 0,
             force: bool = False, quiet: bool = False, compressed: bool = False,
             transcripts_mb: float = 0, big_lines: bool = True) -> dict:
    """Write the profiles into OUT (reusing a matching earlier run) and return
    the summary that is also stored in OUT/.bench-profile.json."""
    params = {"size_mb": size_mb, "seed": seed, "oversize_lines": oversize_lines, "generator": 2}
    if compressed:
        params["compressed_rollouts"] = True
    if transcripts_mb:
        params["transcripts_mb"] = transcripts_mb
    if not big_lines:
        params["big_lines"] = False
    marker = read_marker(out)
    if marker and marker.get("params") == params and not force:
        if not quiet:
            print(f"reusing profile in {out} ({marker['bytes'] / MIB:.1f} MiB)", file=sys.stderr)
        return marker
    for sub in (".codex", ".claude"):
        shutil.rmtree(os.path.join(out, sub), ignore_errors=True)
    os.makedirs(out, exist_ok=True)
    began = time.monotonic()
    stats = Generator(out, size_mb, seed, oversize_lines, transcripts_mb, big_lines).run()
    if compressed:
        compress_rollouts(out)
    summary = {
        "params": params,
        "files": stats.files,
        "bytes": stats.bytes,
        "jsonl_lines": stats.lines,
        "by_kind": {k: {"files": f, "bytes": b} for k, (f, b) in sorted(stats.by_kind.items())},
        "big_lines": [{"path": p, "line": l, "bytes": b} for p, l, b in stats.big_lines],
        "seconds": round(time.monotonic() - began, 1),
    }
    with open(os.path.join(out, MARKER), "w") as f:
        json.dump(summary, f, indent=2)
    if not quiet:
        print(f"wrote {stats.files} files, {stats.bytes / MIB:.1f} MiB, {stats.lines} JSONL lines "
              f"into {out} in {summary['seconds']} s", file=sys.stderr)
    return summary


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", help="directory to write (the 'home'); .codex and .claude go inside")
    ap.add_argument("--size-mb", type=float, default=1000, help="approximate total size in MiB (default 1000)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--oversize-lines", type=int, default=0,
                    help="rollout lines to make longer than the default 10 MiB line limit (default 0)")
    ap.add_argument("--force", action="store_true", help="regenerate even if OUT holds a matching profile")
    ap.add_argument("--compressed", action="store_true",
                    help="compress every rollout to rollout-….jsonl.zst (needs the zstd command)")
    ap.add_argument("--transcripts-mb", type=float, default=0,
                    help="Claude Code session transcripts to add, in MiB, on top of --size-mb (default 0)")
    ap.add_argument("--no-big-lines", action="store_true",
                    help="write no line of a megabyte or more (small homes of a fleet)")
    args = ap.parse_args()
    summary = generate(args.out, args.size_mb, args.seed, args.oversize_lines, args.force,
                       compressed=args.compressed, transcripts_mb=args.transcripts_mb,
                       big_lines=not args.no_big_lines)
    print(json.dumps({k: v for k, v in summary.items() if k != "big_lines"}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
