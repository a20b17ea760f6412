#!/usr/bin/env python3
"""The obvious Python version of `convert(home, out, "jsonl")`, for comparison.

Walks both profiles, hashes every file once with hashlib, reads each JSON-lines
file line by line with orjson, makes one small event per line (and one per
other file), sorts the events by time, path and line, and writes them as JSON
lines. It does less than the module (no record-specific fields, no
diagnostics), so it is a generous yardstick.

Usage: python3 bench/orjson_job.py HOME OUTPUT   (prints CPU and wall seconds
and the peak resident set as JSON)
"""

from __future__ import annotations

import hashlib
import json
import os
import resource
import sys
import time

import orjson


def events_of(path: str, rel: str, data: bytes, digest: str) -> list[dict]:
    if not path.endswith(".jsonl"):
        return [{"event_id": hashlib.sha256(f"{rel}\0file".encode()).hexdigest(),
                 "source_file_sha256": digest, "timestamp": None,
                 "source": {"relative_path": rel, "line_number": None},
                 "artifact": {"size": len(data), "sha256": digest}}]
    out = []
    for number, line in enumerate(data.split(b"\n"), 1):
        if not line.strip():
            continue
        try:
            record = orjson.loads(line)
        except orjson.JSONDecodeError as e:
            record = {"error": str(e)}
        if not isinstance(record, dict):
            record = {}
        payload = record.get("payload") if isinstance(record.get("payload"), dict) else {}
        out.append({
            "event_id": hashlib.sha256(f"{rel}\0{number}".encode()).hexdigest(),
            "source_file_sha256": digest,
            "timestamp": record.get("timestamp") or record.get("ts"),
            "event_type": payload.get("type") or record.get("type"),
            "session_id": record.get("sessionId") or record.get("session_id") or payload.get("id"),
            "message": payload.get("message") or record.get("display") or record.get("text"),
            "source": {"relative_path": rel, "line_number": number},
        })
    return out


def main() -> int:
    home, output = sys.argv[1], sys.argv[2]
    cpu0, wall0 = time.process_time(), time.perf_counter()
    events = []
    for profile in (".codex", ".claude"):
        for root, dirs, names in os.walk(os.path.join(home, profile)):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    data = f.read()
                digest = hashlib.sha256(data).hexdigest()
                events += events_of(path, os.path.relpath(path, home), data, digest)
    events.sort(key=lambda e: (str(e["timestamp"] or ""), e["source"]["relative_path"],
                               e["source"]["line_number"] or 0))
    with open(output, "wb") as f:
        for e in events:
            f.write(orjson.dumps(e) + b"\n")
    cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"cpu": cpu, "wall": wall, "peak": peak, "events": len(events)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
