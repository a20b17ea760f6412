"""Normalized, deterministic timelines of the files AI coding agents leave on disk."""

import os
from collections.abc import Callable, Iterable, Iterator
from datetime import datetime
from typing import Literal, SupportsIndex, TypeAlias, TypedDict, final, overload, type_check_only

from typing_extensions import NotRequired

__all__ = ["parse", "convert", "to_json", "to_jsonl", "to_csv"]

__version__: str

_Path: TypeAlias = str | os.PathLike[str]
# A value as found in the evidence (`raw`, `timestamp_raw`).
_Json: TypeAlias = None | bool | int | float | str | list[_Json] | dict[str, _Json]

Mode: TypeAlias = Literal["best_effort", "strict"]
Format: TypeAlias = Literal["json", "jsonl", "csv"]
# What Timeline.write writes: the text formats, the self-contained HTML page
# and Parquet.
OutputFormat: TypeAlias = Literal["json", "jsonl", "csv", "html", "parquet"]

# The records of a report, for annotations only: at run time they are dicts.

@type_check_only
class Source(TypedDict):
    artifact_kind: str
    record_type: str | None
    relative_path: str
    line_number: int | None
    source_id: str | None

@type_check_only
class Artifact(TypedDict):
    reference_status: Literal["resolved", "missing", "ambiguous"] | None
    resolved_path: str | None
    snapshot_version: int | None
    size: int | None
    sha256: str | None
    media_type: str | None
    content: str | None
    content_encoding: Literal["utf8", "base64"] | None

@type_check_only
class FsTimes(TypedDict):
    modified: str | None
    accessed: str | None
    created: str | None

@type_check_only
class Who(TypedDict):
    actor: Literal["user", "agent", "subagent", "reviewer", "hook", "system"] | None
    agent_id: str | None
    agent_type: str | None
    agent_description: str | None
    parent_session_id: str | None

@type_check_only
class Prompt(TypedDict):
    origin: Literal[
        "typed", "queued", "instructions", "environment", "local_command", "interruption", "agent", "reviewer"
    ]

@type_check_only
class Tool(TypedDict):
    name: str | None
    call_id: str | None
    kind: (
        Literal[
            "shell", "read", "write", "edit", "search", "web_fetch", "web_search", "mcp", "subagent", "plan",
            "image", "other",
        ]
        | None
    )
    command_line: str | None
    working_directory: str | None
    exit_code: int | None
    error: bool | None
    duration_ns: int | None
    files_read: list[str]
    files_changed: list[str]
    patch: str | None
    urls: list[str]
    queries: list[str]
    mcp_server: str | None
    mcp_tool: str | None
    outcome: str | None
    call_event_id: str | None
    result_event_id: str | None

@type_check_only
class Usage(TypedDict):
    model: str | None
    input_tokens: int | None
    output_tokens: int | None
    cache_read_input_tokens: int | None
    reasoning_output_tokens: int | None

@type_check_only
class Event(TypedDict):
    schema_version: str
    event_id: str
    sequence: int
    provider: str
    source_file_sha256: str | None
    timestamp: str | None
    timestamp_source: Literal["embedded", "referenced_event", "filesystem_modified", "none"]
    timestamp_raw: _Json
    event_type: str
    session_id: str | None
    working_directory: str | None
    message: str | None
    source: Source
    artifact: Artifact | None
    fs_times: FsTimes | None
    warnings: list[str]
    raw: _Json
    # The whole surface's (a Timeline read with transcripts): absent from the
    # module functions' events.
    record_key: NotRequired[str | None]
    duplicate_of: NotRequired[str | None]
    who: NotRequired[Who | None]
    prompt: NotRequired[Prompt | None]
    tool: NotRequired[Tool | None]
    usage: NotRequired[Usage | None]

@type_check_only
class Diagnostic(TypedDict):
    code: str
    severity: Literal["error", "warning", "info"]
    source: Source | None
    message: str

@type_check_only
class Report(TypedDict):
    events: list[Event]
    diagnostics: list[Diagnostic]

class InternalError(BaseException):
    """A fault inside tracequill itself, not a problem with the input."""

class WriteError(OSError, ValueError):
    """The system refused to write output (a full disk, say); `errno` is set."""

def parse(
    path: _Path,
    mode: Mode = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
    max_decompression_ratio: int = 100,
) -> Report:
    """Parse supported AI agent artifacts and return a dict with
    `events` and `diagnostics`."""

def convert(
    path: _Path,
    output_path: _Path,
    format: Format = "json",
    mode: Mode = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    include_message: bool = True,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
    max_decompression_ratio: int = 100,
) -> None:
    """Parse and write output in a single call."""

def to_json(
    path: _Path,
    mode: Mode = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    pretty: bool = True,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
    max_decompression_ratio: int = 100,
) -> str:
    """Parse artifacts and return the complete report as a JSON string."""

def to_jsonl(
    path: _Path,
    mode: Mode = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
    max_decompression_ratio: int = 100,
) -> str:
    """Parse artifacts and return one compact timeline event per line."""

def to_csv(
    path: _Path,
    mode: Mode = "best_effort",
    include_content: bool = False,
    include_message: bool = True,
    include_raw: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
    max_decompression_ratio: int = 100,
) -> str:
    """Parse artifacts and return the normalized timeline as CSV text."""

# ---- Timeline: one parse kept in native form ----

_Provider: TypeAlias = Literal["claude_code", "codex", "open_code", "unknown"]
_EventType: TypeAlias = Literal[
    "prompt_input",
    "paste_attachment",
    "image_attachment",
    "orphan_cache",
    "file_snapshot",
    "session_start",
    "developer_message",
    "agent_message",
    "agent_reasoning",
    "tool_call",
    "tool_result",
    "task_state",
    "token_usage",
    "context_compacted",
    "attachment",
    "review_decision",
    "hook_run",
    "agent_file",
    "error",
    "unknown",
]
_Actor: TypeAlias = Literal["user", "agent", "subagent", "reviewer", "hook", "system"]
_Progress: TypeAlias = Callable[[int, int, int, int], object]

@type_check_only
class SessionSummary(TypedDict):
    events: int
    first_timestamp: str | None
    last_timestamp: str | None
    working_directory: str | None
    title: str | None

@type_check_only
class DiagnosticSummary(TypedDict):
    total: int
    by_severity: dict[str, int]
    by_code: dict[str, int]

@type_check_only
class Summary(TypedDict):
    events: int
    without_timestamp: int
    first_timestamp: str | None
    last_timestamp: str | None
    by_provider: dict[str, dict[str, int]]
    by_event_type: dict[str, int]
    sessions: dict[str, SessionSummary]
    tool_calls: dict[str, int]
    duplicates: int
    diagnostics: DiagnosticSummary

@type_check_only
class FileCoverage(TypedDict):
    path: str
    size: int
    events: int | None
    reason: str | None

@type_check_only
class RecordCoverage(TypedDict):
    provider: _Provider
    record_type: str | None
    event_type: _EventType
    count: int

@type_check_only
class Coverage(TypedDict):
    files: list[FileCoverage]
    not_read: int
    records: list[RecordCoverage]
    unknown: int

@type_check_only
class SecretFinding(TypedDict):
    """A credential found in a text: offsets in characters of that text."""

    rule: str
    offset: int
    length: int
    preview: str
    sha256: str

@type_check_only
class EventSecret(SecretFinding):
    """A credential found in an event: `field` is a path into it
    ('message', 'artifact.content', 'raw.payload.output', 'warnings[0]')."""

    event_id: str
    field: str

@final
class Timeline:
    """A timeline parsed once and kept in native form, to be read many ways."""

    def __new__(
        cls,
        path: _Path,
        *,
        mode: Mode = "best_effort",
        include_raw: bool = False,
        include_content: bool = False,
        follow_symlinks: bool = False,
        max_line_size: int = 10485760,
        max_content_size: int = 52428800,
        max_decompression_ratio: int = 100,
        transcripts: bool = True,
        unique: bool = False,
        redact: bool = False,
        workers: int | None = None,
        progress: _Progress | None = None,
    ) -> Timeline: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Event]: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> Event: ...
    @overload
    def __getitem__(self, index: slice, /) -> Timeline: ...
    @property
    def diagnostics(self) -> list[Diagnostic]: ...
    def to_json(self, pretty: bool = True) -> str: ...
    def to_jsonl(self) -> str: ...
    def to_csv(self, include_message: bool = True) -> str: ...
    def write(
        self, path: _Path | int, format: OutputFormat | None = None, *, include_message: bool = True
    ) -> None: ...
    @staticmethod
    def _format_for(path: _Path) -> OutputFormat | None: ...
    # The command's checks before it reads: filter's arguments without a
    # timeline, and the providers and event types it accepts.
    @staticmethod
    def _check_filter(
        *,
        since: datetime | str | None = None,
        until: datetime | str | None = None,
        providers: str | Iterable[str] | None = None,
        event_types: str | Iterable[str] | None = None,
        sessions: str | Iterable[str] | None = None,
        text: str | None = None,
        actor: str | Iterable[str] | None = None,
        tool: str | None = None,
        command: str | None = None,
        path: str | None = None,
        url: str | None = None,
        unique: bool = False,
    ) -> None: ...
    @staticmethod
    def _filter_choices() -> dict[str, tuple[str, ...]]: ...
    def filter(
        self,
        *,
        since: datetime | str | None = None,
        until: datetime | str | None = None,
        providers: _Provider | Iterable[_Provider] | None = None,
        event_types: _EventType | Iterable[_EventType] | None = None,
        sessions: str | Iterable[str] | None = None,
        text: str | None = None,
        actor: _Actor | Iterable[_Actor] | None = None,
        tool: str | None = None,
        command: str | None = None,
        path: str | None = None,
        url: str | None = None,
        unique: bool = False,
    ) -> Timeline: ...
    def summary(self) -> Summary: ...
    # The events as an Arrow C stream (a PyCapsule named "arrow_array_stream").
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def coverage(self) -> Coverage: ...
    def secrets(self) -> list[EventSecret]: ...
    # The detector alone, on texts that are no timeline: the labelled corpus
    # measures it this way.
    @staticmethod
    def _find_secrets(texts: Iterable[str], /) -> list[list[SecretFinding]]: ...
