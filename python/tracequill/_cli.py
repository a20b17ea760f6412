"""The `tracequill` command: parse a profile once, then summarise, filter or write it.

Exit status: 0 on success, 1 when the parse fails (strict mode included) or the
output can't be written, 2 for wrong usage, 130 after Ctrl-C. Errors are one
line on standard error. A reader that closes the pipe early (`| head`) has
taken what it wanted: the command then ends quietly with status 0, as rg and
fd do.
"""

from __future__ import annotations

import argparse
import errno
import os
import re
import shutil
import sys
import time
from typing import IO, TYPE_CHECKING, Any

import tracequill

if TYPE_CHECKING:
    from tracequill import Event, Format

FORMATS = ("json", "jsonl", "csv")
LAST_EVENTS = 20
SESSIONS_SHOWN = 5


class UsageError(Exception):
    """Wrong usage: exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, no usage block
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="tracequill",
        description="Show or write the timeline of AI coding agents' files "
        "(a home directory, a .claude or .codex profile, or one of their files): "
        "Claude Code's history, caches, file snapshots and session transcripts (projects/), "
        "and Codex's rollouts (plain, .zst-compressed and archived) and attachments.",
    )
    p.add_argument("path", nargs="?", help="what to read (default: your home directory)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the timeline to FILE ('-': standard output)")
    p.add_argument("-f", "--format", choices=FORMATS, help="output format (default: from FILE's suffix; jsonl for '-')")
    p.add_argument("--strict", action="store_true", help="fail on the first error instead of reporting it")
    p.add_argument("--raw", action="store_true", help="include each event's raw JSON record")
    p.add_argument("--content", action="store_true", help="inline file content in snapshot and cache events")
    p.add_argument("--no-message", action="store_true", help="leave the CSV message column empty")
    p.add_argument("--since", metavar="T", help="keep events at or after T (RFC 3339 or YYYY-MM-DD, UTC)")
    p.add_argument("--until", metavar="T", help="keep events before T")
    p.add_argument("--provider", action="append", metavar="P", help="keep this provider (claude_code, codex); repeatable")
    p.add_argument("--type", action="append", metavar="T", dest="event_type", help="keep this event type; repeatable")
    p.add_argument("--session", action="append", metavar="S", help="keep this session id; repeatable")
    p.add_argument("--grep", metavar="TEXT", help="keep events whose message contains TEXT (ASCII case ignored)")
    p.add_argument("--summary", action="store_true", help="print the summary (without the event table)")
    p.add_argument(
        "--no-transcripts",
        action="store_true",
        help="skip Claude Code's session transcripts (projects/); the output is then that of tracequill.to_json and the others",
    )
    p.add_argument("--follow-symlinks", action="store_true", help="follow symbolic links")
    p.add_argument("--max-line-size", type=int, metavar="N", default=10485760, help="longest line read, in bytes")
    p.add_argument("--max-content-size", type=int, metavar="N", default=52428800, help="largest content inlined, in bytes")
    p.add_argument("--workers", type=int, metavar="N", help="threads reading files (default: every usable core)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")
    p.add_argument("--version", action="version", version=f"tracequill {tracequill.__version__}")
    return p


def main(argv: list[str]) -> int:
    # Ctrl-C gets its one line whatever the command is doing.
    view = View()
    try:
        return run(argv, view)
    except KeyboardInterrupt:
        return fail("interrupted", 130, view.progress)


class View:
    """What the command shows on the terminal while it runs."""

    progress: ProgressBar | None = None


def run(argv: list[str], view: View) -> int:
    try:
        args = build_parser().parse_args(argv)
        output_format = check_usage(args)
    except UsageError as error:
        return fail(f"{error} (see tracequill --help)", 2)
    progress = ProgressBar(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    view.progress = progress
    try:
        timeline = tracequill.Timeline(
            args.path if args.path is not None else os.path.expanduser("~"),
            mode="strict" if args.strict else "best_effort",
            include_raw=args.raw,
            include_content=args.content,
            follow_symlinks=args.follow_symlinks,
            max_line_size=args.max_line_size,
            max_content_size=args.max_content_size,
            transcripts=not args.no_transcripts,
            workers=args.workers,
            progress=progress,
        )
    except (OSError, ValueError) as error:
        return fail(str(error), 1, progress)
    if progress is not None:
        progress.clear()
    try:
        timeline = apply_filters(timeline, args)
    except (TypeError, ValueError) as error:
        return fail(str(error), 2)
    try:
        return show(timeline, args, output_format)
    except OSError as error:
        discard_stdout()
        # A reader that closed the pipe has all it wanted.
        return 0 if error.errno == errno.EPIPE else fail(str(error), 1)
    except ValueError as error:
        return fail(str(error), 1)


def check_usage(args: argparse.Namespace) -> Format:
    """Checks what argparse can't; returns the output format."""
    for name in ("max_line_size", "max_content_size"):
        if getattr(args, name) < 0:
            raise UsageError(f"--{name.replace('_', '-')} must not be negative")
    if args.workers is not None and args.workers < 1:
        raise UsageError("--workers must be at least 1")
    if args.format is not None:
        fmt: Format = args.format
        return fmt
    if args.output in (None, "-"):
        return "jsonl"
    suffix_format: Format | None = tracequill.Timeline._format_for(args.output)
    if suffix_format is None:
        raise UsageError(f"cannot tell the format of '{args.output}': name it .json, .jsonl, .ndjson or .csv, or use -f")
    return suffix_format


def instant(text: str | None) -> str | None:
    """A date alone means its midnight, UTC."""
    if text is not None and re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
        return text + "T00:00:00Z"
    return text


def apply_filters(timeline: tracequill.Timeline, args: argparse.Namespace) -> tracequill.Timeline:
    conditions = {
        "since": instant(args.since),
        "until": instant(args.until),
        "providers": args.provider,
        "event_types": args.event_type,
        "sessions": args.session,
        "text": args.grep,
    }
    if all(value is None for value in conditions.values()):
        return timeline
    return timeline.filter(**conditions)


def show(timeline: tracequill.Timeline, args: argparse.Namespace, output_format: Format) -> int:
    include_message = not args.no_message
    data_to_stdout = args.output == "-" or (args.output is None and not args.summary and not sys.stdout.isatty())
    if data_to_stdout:
        # Written by the extension straight to the descriptor as it renders.
        sys.stdout.flush()
        timeline.write(sys.stdout.fileno(), output_format, include_message=include_message)
    elif args.output is not None:
        timeline.write(args.output, output_format, include_message=include_message)
        if not args.quiet:
            print(f"tracequill: wrote {len(timeline)} events to {args.output}", file=sys.stderr)
    if args.summary or (args.output is None and sys.stdout.isatty()):
        # A summary never goes into a data stream.
        out = sys.stderr if data_to_stdout else sys.stdout
        print_summary(timeline, args.path or "~", events=not args.summary, out=out)
    # A full disk or a closed pipe shows here, not in the interpreter's exit.
    sys.stdout.flush()
    return 0


def discard_stdout() -> None:
    """After a failed write, what is still buffered for standard output can't be
    written either: it goes nowhere, so that the interpreter's flush at exit has
    nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def fail(message: str, status: int, progress: ProgressBar | None = None) -> int:
    if progress is not None:
        progress.clear()
    print(f"tracequill: error: {message}" if status != 130 else f"tracequill: {message}", file=sys.stderr)
    return status


# ---- the terminal view ----


def shorten(text: str | None, width: int) -> str:
    text = " ".join((text or "").split())
    return text if len(text) <= width else text[: max(width - 1, 0)] + "…"


def describe(event: Event) -> str:
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


def print_summary(timeline: tracequill.Timeline, path: str, events: bool, out: IO[str]) -> None:
    def say(text: str) -> None:
        out.write(text + "\n")

    summary = timeline.summary()
    diagnostics = summary["diagnostics"]
    say(f"Timeline of {path}: {summary['events']} events, {diagnostics['total']} diagnostics")
    if summary["first_timestamp"]:
        say(f"Time span: {summary['first_timestamp']} .. {summary['last_timestamp']}")
    if summary["without_timestamp"]:
        say(f"Events without a timestamp: {summary['without_timestamp']}")

    if summary["by_provider"]:
        say("\nEvents by provider and type:")
        for provider, types in summary["by_provider"].items():
            for event_type, count in types.items():
                say(f"  {provider:<12} {event_type:<20} {count:>8}")

    tool_calls = summary["tool_calls"]
    if tool_calls:
        say(f"\nTool calls: {sum(tool_calls.values())}")
        for name, count in sorted(tool_calls.items(), key=lambda item: (-item[1], item[0])):
            say(f"  {name:<32} {count:>8}")

    sessions = summary["sessions"]
    if sessions:
        latest = sorted(sessions.items(), key=lambda item: item[1]["last_timestamp"] or "", reverse=True)
        say(f"\nSessions: {len(sessions)} (latest {min(SESSIONS_SHOWN, len(sessions))})")
        for session_id, s in latest[:SESSIONS_SHOWN]:
            say(f"  {s['last_timestamp'] or '-':<24}  {s['events']:>6} events  {session_id}  {s['working_directory'] or ''}")

    if diagnostics["total"]:
        say("\nDiagnostics by severity and code:")
        for severity, count in diagnostics["by_severity"].items():
            say(f"  {severity:<8} {count:>8}")
        for code, count in diagnostics["by_code"].items():
            say(f"  {code:<28} {count:>8}")

    if events and len(timeline):
        shown = timeline[-LAST_EVENTS:]
        width = shutil.get_terminal_size((120, 24)).columns
        say(f"\nLast {len(shown)} events:")
        say(f"  {'#':>7}  {'timestamp':<24}  {'provider':<11}  {'type':<17}  message")
        for e in shown:
            head = f"  {e['sequence']:>7}  {e['timestamp'] or '-':<24}  {e['provider']:<11}  {e['event_type']:<17}  "
            say(head + shorten(describe(e), max(width - len(head), 20)))


class ProgressBar:
    """A one-line bar on a terminal, shown once a parse has taken a second."""

    DELAY = 1.0

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.start = time.monotonic()
        self.shown = False

    def __call__(self, files_done: int, files_total: int, bytes_done: int, bytes_total: int) -> None:
        if time.monotonic() - self.start < self.DELAY:
            return
        fraction = bytes_done / bytes_total if bytes_total else 0.0
        cells = 30
        filled = int(fraction * cells)
        bar = "#" * filled + "." * (cells - filled)
        line = f"\r[{bar}] {fraction:4.0%}  {files_done}/{files_total} files  {bytes_done / 1e6:,.0f}/{bytes_total / 1e6:,.0f} MB"
        self.stream.write(line + "\033[K")
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
