#!/usr/bin/env python3
"""Print a summary of an agent timeline and write it to a file.

    python3 examples/timeline.py [PATH] [--format csv|json|jsonl] [--output FILE]

PATH may be a home directory holding `.claude` and/or `.codex`, a profile root,
an artifact directory or a single file. Without it, the small sample home
shipped next to this script is used.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import sys

import tracequill

SAMPLE_HOME = pathlib.Path(__file__).resolve().parent / "sample-home"


def shorten(text: str | None, width: int) -> str:
    text = " ".join((text or "").split())
    return text if len(text) <= width else text[: width - 1] + "…"


def describe(event: dict) -> str:
    """The event's message, or what its file is when it has none."""
    if event["message"]:
        return event["message"]
    artifact = event["artifact"]
    if artifact:
        what = artifact["media_type"] or "file"
        size = f"{artifact['size']} bytes" if artifact["size"] is not None else "size unknown"
        status = artifact["reference_status"]
        return f"[{what}, {size}{', ' + status if status else ''}] {event['source']['relative_path']}"
    return f"({event['source']['record_type'] or event['event_type']})"


def print_summary(report: dict, first: int) -> None:
    events = report["events"]
    diagnostics = report["diagnostics"]

    print(f"{len(events)} events, {len(diagnostics)} diagnostics")
    by_type = collections.Counter((e["provider"], e["event_type"]) for e in events)
    if by_type:
        print("\nEvents by provider and type:")
        for (provider, event_type), count in sorted(by_type.items()):
            print(f"  {provider:<12} {event_type:<20} {count:>6}")

    stamps = [e["timestamp"] for e in events if e["timestamp"] is not None]
    if stamps:
        # Events are ordered by time, with the undated ones last.
        print(f"\nTime span: {stamps[0]} .. {stamps[-1]}")
    undated = len(events) - len(stamps)
    if undated:
        print(f"Events without a timestamp: {undated}")

    if diagnostics:
        by_code = collections.Counter((d["severity"], d["code"]) for d in diagnostics)
        print("\nDiagnostics by severity and code:")
        for (severity, code), count in sorted(by_code.items()):
            print(f"  {severity:<8} {code:<28} {count:>6}")
        for d in diagnostics[:first]:
            where = d["source"]["relative_path"] if d["source"] else "-"
            line = d["source"]["line_number"] if d["source"] else None
            print(f"  {where}{':' + str(line) if line else ''}: {shorten(d['message'], 90)}")

    if events:
        print(f"\nFirst {min(first, len(events))} events:")
        print(f"  {'#':>4}  {'timestamp':<24}  {'provider':<11}  {'type':<17}  message")
        for e in events[:first]:
            stamp = e["timestamp"] or "-"
            print(
                f"  {e['sequence']:>4}  {stamp:<24}  {e['provider']:<11}  "
                f"{e['event_type']:<17}  {shorten(describe(e), 70)}"
            )


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", default=str(SAMPLE_HOME))
    parser.add_argument("--format", choices=("csv", "json", "jsonl"), default="csv")
    parser.add_argument("--output", help="destination file (default: timeline.FORMAT)")
    parser.add_argument("--strict", action="store_true", help="fail on the first error")
    parser.add_argument("--first", type=int, default=15, help="events to list")
    args = parser.parse_args(argv)

    mode = "strict" if args.strict else "best_effort"
    try:
        report = tracequill.parse(args.path, mode=mode)
    except (OSError, ValueError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"Timeline of {args.path}\n")
    print_summary(report, args.first)

    output = args.output or f"timeline.{args.format}"
    tracequill.convert(args.path, output, format=args.format, mode=mode)
    print(f"\nWrote the timeline as {args.format.upper()} to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
