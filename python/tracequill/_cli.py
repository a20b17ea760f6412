"""The `tracequill` command: parse a profile once, then summarise, filter or write it.

Exit status: see EXIT_STATUS below (also shown by --help). Errors are one line
on standard error. A reader that closes the pipe early (`| head`) has taken
what it wanted: the command then ends quietly with status 0, as rg and fd do.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import re
import sys
import time
from typing import IO, TYPE_CHECKING, Any

import tracequill
import tracequill._parquet

if TYPE_CHECKING:
    from tracequill import Coverage, Diagnostic, Event, EventSecret, OutputFormat as Format

FORMATS = ("json", "jsonl", "csv", "html", "parquet")
SEVERITIES = ("error", "warning", "info")
EXIT_STATUS = (
    (0, "success, also when a reader closes the pipe early (| head)"),
    (1, "the parse failed (in --strict mode, at the first error) or the output can't be written"),
    (2, "wrong usage: an unknown option or a value it does not accept"),
    (3, "diagnostics at or above the --fail-on severity were reported"),
    (130, "interrupted (Ctrl-C)"),
)
EXAMPLES = (
    ("tracequill", "summary of your home's agent profiles and its last events"),
    ("tracequill ~/.codex --since 2026-03-14 -o march.csv", "Codex events from 14 March on, as CSV"),
    ("tracequill ~ -o - --type tool_call | jq -r .message", "every tool call, through jq"),
    ("tracequill ~ -o week.html", "a page to look at in a browser: sessions on a time axis, filters, details"),
    ("tracequill ~ --secrets", "every credential the agents saw, to rotate them"),
    ("tracequill ~ --redact -o shared.jsonl", "a timeline to share, every credential replaced"),
)
ENVIRONMENT = (
    ("HOME", "the path read when none is given"),
    ("COLUMNS", "the width of the summary's tables and the progress bar (default: the terminal's)"),
)
# A date and time without an offset; the help promises UTC for them.
NAIVE_INSTANT = re.compile(r"(\d{4}-\d{2}-\d{2})(?:[T ](\d{2}:\d{2})(:\d{2}(?:\.\d+)?)?)?")
LAST_EVENTS = 20
SESSIONS_SHOWN = 5
UNREAD_SHOWN = 10


class UsageError(Exception):
    """Wrong usage: exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, no usage block
        raise UsageError(message)


def epilog() -> str:
    choices = tracequill.Timeline._filter_choices()
    lines = ["event types (--type):", *wrapped(", ".join(choices["event_types"])), ""]
    lines += ["providers (--provider): " + ", ".join(choices["providers"]), ""]
    lines += ["actors (--actor): " + ", ".join(choices["actors"]), ""]
    lines += ["exit status:", *(f"  {code:<4} {meaning}" for code, meaning in EXIT_STATUS), ""]
    lines += ["environment:", *(f"  {name:<8} {meaning}" for name, meaning in ENVIRONMENT), ""]
    lines += ["examples:"]
    for command, meaning in EXAMPLES:
        lines += [f"  {command}", f"      {meaning}"]
    return "\n".join(lines)


def wrapped(text: str, width: int = 76) -> list[str]:
    lines, line = [], ""
    for word in text.split(" "):
        if line and len(line) + 1 + len(word) > width:
            lines.append("  " + line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return [*lines, "  " + line] if line else lines


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="tracequill",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=epilog(),
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
    p.add_argument(
        "--since",
        metavar="T",
        help="keep events at or after T: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (both UTC) or RFC 3339 with an offset",
    )
    p.add_argument("--until", metavar="T", help="keep events before T")
    p.add_argument("--provider", action="append", metavar="P", help="keep this provider (claude_code, codex); repeatable")
    p.add_argument("--type", action="append", metavar="T", dest="event_type", help="keep this event type; repeatable")
    p.add_argument("--session", action="append", metavar="S", help="keep this session id; repeatable")
    p.add_argument(
        "--text",
        "--grep",
        metavar="REGEX",
        dest="text",
        help="keep events whose message, facts, content or artifact text holds REGEX (RE2 syntax, case ignored)",
    )
    p.add_argument("--actor", action="append", metavar="A", help="keep events written by this actor; repeatable")
    p.add_argument("--tool", metavar="T", help="keep tool events of this tool name or kind (shell, read, edit, mcp...)")
    p.add_argument("--command", metavar="TEXT", help="keep tool events whose command line contains TEXT")
    p.add_argument("--path", metavar="GLOB", dest="path_glob", help="keep tool events that read or changed a file matching GLOB")
    p.add_argument("--url", metavar="TEXT", help="keep tool events with a URL containing TEXT")
    p.add_argument("--unique", action="store_true", help="leave out copies of a record, prompt, call or result")
    p.add_argument("--summary", action="store_true", help="print the summary (without the event table)")
    p.add_argument(
        "--secrets",
        nargs="?",
        const="table",
        choices=("table", "json"),
        help="list every credential in the evidence, raw records and file content included (rule, event, "
        "field, place, preview, SHA-256; never the secret), and count them by rule, as a table or (=json) "
        "as JSON lines",
    )
    p.add_argument(
        "--redact",
        action="store_true",
        help="replace each credential in every output with [REDACTED:<rule>:<first 8 hex of its SHA-256>]",
    )
    # Listings a person reads as a table and a program as JSON.
    for option, meaning in (
        ("--diagnostics", "list every diagnostic on standard error, as a table or (=json) as JSON lines"),
        (
            "--coverage",
            "account for every file under the profiles (read, with its events, or why not) and every kind of record, as a table or (=json) as JSON",
        ),
    ):
        p.add_argument(option, nargs="?", const="table", choices=("table", "json"), help=meaning)
    p.add_argument(
        "--fail-on",
        choices=("error", "warning"),
        help="exit with status 3 when a diagnostic of this severity or worse was reported",
    )
    p.add_argument(
        "--no-transcripts",
        action="store_true",
        help="skip Claude Code's session transcripts (projects/); the output is then that of tracequill.to_json and the others",
    )
    p.add_argument("--follow-symlinks", action="store_true", help="follow symbolic links")
    p.add_argument("--max-line-size", type=int, metavar="N", default=10485760, help="longest line read, in bytes")
    p.add_argument("--max-content-size", type=int, metavar="N", default=52428800, help="largest content inlined, in bytes")
    p.add_argument("--max-decompression-ratio", type=int, metavar="N", default=100, help="most a compressed rollout is read to, in times its size (0: no limit)")
    p.add_argument("--workers", type=int, metavar="N", help="threads reading files (default: every usable core)")
    p.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar, no notes and no diagnostics line on standard error"
    )
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
        conditions = filter_conditions(args)
    except UsageError as error:
        return fail(f"{error} (see tracequill --help)", 2)
    if output_format == "parquet":
        # A missing pyarrow is known before a single file is read.
        try:
            tracequill._parquet.require()
        except ImportError as error:
            return fail(str(error), 1)
    progress = ProgressBar(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    view.progress = progress
    # The list of secrets reads every text of the evidence: the raw records and
    # the file content that the output may leave out. When the list is all
    # that is shown, one parse reads them; otherwise a second one does.
    shows_timeline = args.output is not None or args.summary or args.format is not None
    everything = bool(args.secrets) and not shows_timeline
    try:
        timeline = read_timeline(args, progress, args.raw or everything, args.content or everything)
        scanned = timeline
        if args.secrets and not everything and not (args.raw and args.content):
            scanned = read_timeline(args, progress, True, True)
    except (OSError, ValueError) as error:
        return fail(str(error), 1, progress)
    if progress is not None:
        progress.clear()
    if conditions:
        timeline, scanned = (t.filter(**conditions) for t in (timeline, scanned))
    try:
        status = show(timeline, args, output_format, scanned)
    except OSError as error:
        discard_stdout()
        # A reader that closed the pipe has all it wanted.
        return 0 if error.errno == errno.EPIPE else fail(str(error), 1)
    except ValueError as error:
        return fail(str(error), 1)
    return report_diagnostics(timeline, args) if status == 0 else status


def read_timeline(
    args: argparse.Namespace, progress: ProgressBar | None, include_raw: bool, include_content: bool
) -> tracequill.Timeline:
    return tracequill.Timeline(
        args.path if args.path is not None else os.path.expanduser("~"),
        mode="strict" if args.strict else "best_effort",
        include_raw=include_raw,
        include_content=include_content,
        follow_symlinks=args.follow_symlinks,
        max_line_size=args.max_line_size,
        max_content_size=args.max_content_size,
        max_decompression_ratio=args.max_decompression_ratio,
        transcripts=not args.no_transcripts,
        redact=args.redact,
        workers=args.workers,
        progress=progress,
    )


def check_usage(args: argparse.Namespace) -> Format:
    """Checks what argparse can't; returns the output format."""
    if args.path == "-":
        raise UsageError(
            "reading standard input is not supported: give a home directory, a .claude or .codex "
            "profile, one of their directories or one of their files"
        )
    for name in ("max_line_size", "max_content_size", "max_decompression_ratio"):
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
        raise UsageError(f"cannot tell the format of '{args.output}': name it .json, .jsonl, .ndjson, .csv, .html or .parquet, or use -f")
    return suffix_format


def instant(option: str, text: str | None) -> str | None:
    """RFC 3339 text as it is; a date alone means its midnight and a date and
    time without an offset are UTC."""
    if text is None:
        return None
    naive = NAIVE_INSTANT.fullmatch(text)
    if naive:
        day, minutes, seconds = naive.groups()
        text = f"{day}T{minutes or '00:00'}{seconds or ':00'}Z"
    try:
        tracequill.Timeline._check_filter(since=text)
    except ValueError:
        raise UsageError(
            f"{option} {text!r} is not a time: use YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (UTC) "
            "or RFC 3339 with an offset (2026-03-14T10:00:00+02:00)"
        ) from None
    return text


def filter_conditions(args: argparse.Namespace) -> dict[str, Any]:
    """The filter the options ask for, checked before anything is read; empty
    when they ask for none."""
    conditions = {
        "since": instant("--since", args.since),
        "until": instant("--until", args.until),
        "providers": args.provider,
        "event_types": args.event_type,
        "sessions": args.session,
        "text": args.text,
        "actor": args.actor,
        "tool": args.tool,
        "command": args.command,
        "path": args.path_glob,
        "url": args.url,
        "unique": True if args.unique else None,
    }
    conditions = {name: value for name, value in conditions.items() if value is not None}
    try:
        tracequill.Timeline._check_filter(**conditions)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    return conditions


def report_diagnostics(timeline: tracequill.Timeline, args: argparse.Namespace) -> int:
    """Lists or counts the diagnostics on standard error; the exit status that
    --fail-on asks for."""
    diagnostics = timeline.diagnostics
    if args.diagnostics == "json":
        for diagnostic in diagnostics:
            print(json.dumps(diagnostic, ensure_ascii=False), file=sys.stderr)
    elif args.diagnostics == "table":
        print_diagnostics(diagnostics, sys.stderr)
    counts = {severity: 0 for severity in SEVERITIES}
    for diagnostic in diagnostics:
        counts[diagnostic["severity"]] += 1
    if not args.quiet:
        by_severity = ", ".join(plural(count, severity) for severity, count in counts.items() if count)
        where = "" if args.diagnostics or not diagnostics else " (--diagnostics lists them)"
        print(f"tracequill: {plural(len(diagnostics), 'diagnostic')}{': ' + by_severity if by_severity else ''}{where}",
              file=sys.stderr)
    if args.fail_on is not None:
        worst = SEVERITIES[: SEVERITIES.index(args.fail_on) + 1]
        if any(counts[severity] for severity in worst):
            return 3
    return 0


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def print_diagnostics(diagnostics: list[Diagnostic], stream: IO[str]) -> None:
    rows = []
    for d in diagnostics:
        source = d["source"]
        where = "-"
        if source is not None:
            where = source["relative_path"] or "."
            if source["line_number"] is not None:
                where += f":{source['line_number']}"
        rows.append((d["severity"], d["code"], where, " ".join(d["message"].split())))
    if not rows:
        return
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[3], file=stream)


def show(
    timeline: tracequill.Timeline, args: argparse.Namespace, output_format: Format, scanned: tracequill.Timeline
) -> int:
    """Writes or shows `timeline` as asked; lists the secrets of `scanned`, the
    same evidence read with every text."""
    include_message = not args.no_message
    # On a terminal, the summary unless a format was asked for.
    data_to_stdout = args.output == "-" or (
        args.output is None
        and not args.summary
        and not args.secrets
        and (args.format is not None or not sys.stdout.isatty())
    )
    if data_to_stdout:
        # Written by the extension straight to the descriptor as it renders.
        sys.stdout.flush()
        timeline.write(sys.stdout.fileno(), output_format, include_message=include_message)
    elif args.output is not None:
        timeline.write(args.output, output_format, include_message=include_message)
        if not args.quiet:
            print(f"tracequill: wrote {len(timeline)} events to {args.output}", file=sys.stderr)
    # A summary or a list of secrets never goes into a data stream.
    out = sys.stderr if data_to_stdout else sys.stdout
    if args.summary or (args.output is None and args.format is None and sys.stdout.isatty() and not args.secrets):
        print_summary(timeline, args.path or "~", events=not args.summary, out=out)
    if args.coverage is not None:
        print_coverage(timeline.coverage(), args.coverage, out)
    if args.secrets:
        print_secrets(scanned.secrets(), args.secrets, out)
    # A full disk or a closed pipe shows here, not in the interpreter's exit.
    sys.stdout.flush()
    return 0


def print_secrets(found: list[EventSecret], form: str, out: IO[str]) -> None:
    """Each finding, then the count by rule; a finding never holds the secret."""
    if form == "json":
        for finding in found:
            out.write(json.dumps(finding, ensure_ascii=False) + "\n")
        return
    rows = [(f["rule"], f["event_id"], f["field"], f"{f['offset']}+{f['length']}", f["preview"], f["sha256"]) for f in found]
    if rows:
        widths = [max(len(row[i]) for row in rows) for i in range(5)]
        for row in rows:
            out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[5] + "\n")
    counts: dict[str, int] = {}
    for finding in found:
        counts[finding["rule"]] = counts.get(finding["rule"], 0) + 1
    out.write(f"Secrets: {len(found)}\n")
    for rule, count in sorted(counts.items(), key=lambda item: (-item[1], item[0])):
        out.write(f"  {rule:<28} {count:>8}\n")


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
        say(f"Time span (UTC): {to_second(summary['first_timestamp'])} .. {to_second(summary['last_timestamp'])}")
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
            title = f"  \"{shorten(s['title'], 60)}\"" if s["title"] else ""
            say(f"  {to_second(s['last_timestamp']):<19}  {s['events']:>6} events  {session_id}  {s['working_directory'] or ''}{title}")

    if diagnostics["total"]:
        say("\nDiagnostics by severity and code:")
        for severity, count in diagnostics["by_severity"].items():
            say(f"  {severity:<8} {count:>8}")
        for code, count in diagnostics["by_code"].items():
            say(f"  {code:<28} {count:>8}")

    coverage = timeline.coverage()
    if coverage["unknown"]:
        say(f"\nEvents of an unknown record shape: {coverage['unknown']}")
    if coverage["not_read"]:
        unread = [f for f in coverage["files"] if f["reason"] is not None]
        say(f"\nFiles not read: {len(unread)}" + (" (--coverage lists them)" if len(unread) > UNREAD_SHOWN else ""))
        for f in unread[:UNREAD_SHOWN]:
            say(f"  {f['path']}  ({f['reason']})")

    if events and len(timeline):
        print_last_events(timeline, summary["without_timestamp"], out)


def print_coverage(coverage: Coverage, form: str, out: IO[str]) -> None:
    if form == "json":
        out.write(json.dumps(coverage, ensure_ascii=False) + "\n")
        return
    files = coverage["files"]
    out.write(f"Files: {len(files) - coverage['not_read']} read, {coverage['not_read']} not read\n")
    for f in files:
        events = "-" if f["events"] is None else str(f["events"])
        reason = f"  ({f['reason']})" if f["reason"] is not None else ""
        out.write(f"  {events:>8}  {f['size']:>12}  {f['path']}{reason}\n")
    out.write(f"\nRecords by shape ({coverage['unknown']} events of an unknown shape):\n")
    for r in coverage["records"]:
        out.write(f"  {r['provider']:<12} {r['record_type'] or '-':<40} {r['event_type']:<18} {r['count']:>8}\n")


def columns(stream: IO[str], default: int) -> int:
    """The width of the terminal `stream` shows on; COLUMNS when set."""
    if os.environ.get("COLUMNS", "").isdigit():
        return max(int(os.environ["COLUMNS"]), 1)
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (OSError, ValueError, AttributeError):
        return default


def to_second(timestamp: str | None) -> str:
    """An RFC 3339 time as the tables show it: UTC, to the second."""
    return f"{timestamp[:10]} {timestamp[11:19]}" if timestamp else "-"


def print_last_events(timeline: tracequill.Timeline, without_timestamp: int, out: IO[str]) -> None:
    """The last events in time, then those without a time apart (they have no
    place among the others)."""
    width = columns(out, 120)
    # Events without a time sort last.
    timed = timeline[: len(timeline) - without_timestamp]
    untimed = timeline[len(timed) :][-LAST_EVENTS:]
    for title, shown in (("Last {} events", timed[-LAST_EVENTS:]), ("Last {} events without a timestamp", untimed)):
        if not len(shown):
            continue
        out.write("\n" + title.format(len(shown)) + ":\n")
        out.write(f"  {'#':>7}  {'time (UTC)':<19}  {'provider':<11}  {'type':<17}  message\n")
        for e in shown:
            head = f"  {e['sequence']:>7}  {to_second(e['timestamp']):<19}  {e['provider']:<11}  {e['event_type']:<17}  "
            out.write(head + shorten(describe(e), max(width - len(head), 20)) + "\n")


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
        fraction = min(bytes_done / bytes_total, 1.0) if bytes_total else 0.0
        counts = f" {fraction:4.0%}  {files_done}/{files_total} files  {bytes_done / 1e6:,.0f}/{bytes_total / 1e6:,.0f} MB"
        # One line that fits: a line that wraps can't be redrawn with \r.
        width = columns(self.stream, 80) - 1
        cells = min(30, width - len(counts) - 2)
        if cells >= 5:
            filled = int(fraction * cells)
            line = "[" + "#" * filled + "." * (cells - filled) + "]" + counts
        else:
            line = counts.strip()[:width]
        self.stream.write("\r" + line + "\033[K")
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False
