"""Normalized, deterministic timelines of the files AI coding agents leave on disk."""

import os
from collections.abc import Callable, Iterable, Iterator
from datetime import datetime
from typing import Any, Literal, SupportsIndex, overload

__all__ = ["parse", "convert", "to_json", "to_jsonl", "to_csv"]

__version__: str

_Path = str | os.PathLike[str]

class InternalError(BaseException):
    """A fault inside tracequill itself, not a problem with the input."""

def parse(
    path: _Path,
    mode: str = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
) -> dict[str, list[dict[str, Any]]]:
    """Parse supported AI agent artifacts and return a dict with
    `events` and `diagnostics`."""

def convert(
    path: _Path,
    output_path: _Path,
    format: str = "json",
    mode: str = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    include_message: bool = True,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
) -> None:
    """Parse and write output in a single call."""

def to_json(
    path: _Path,
    mode: str = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    pretty: bool = True,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
) -> str:
    """Parse artifacts and return the complete report as a JSON string."""

def to_jsonl(
    path: _Path,
    mode: str = "best_effort",
    include_raw: bool = False,
    include_content: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
) -> str:
    """Parse artifacts and return one compact timeline event per line."""

def to_csv(
    path: _Path,
    mode: str = "best_effort",
    include_content: bool = False,
    include_message: bool = True,
    include_raw: bool = False,
    follow_symlinks: bool = False,
    max_line_size: int = 10485760,
    max_content_size: int = 52428800,
) -> str:
    """Parse artifacts and return the normalized timeline as CSV text."""

# ---- Timeline: one parse kept in native form ----

_Mode = Literal["best_effort", "strict"]
_Format = Literal["json", "jsonl", "csv"]
_Provider = Literal["claude_code", "codex", "open_code", "unknown"]
_EventType = Literal[
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
    "error",
    "unknown",
]
_Progress = Callable[[int, int, int, int], object]

class Timeline:
    """A timeline parsed once and kept in native form, to be read many ways."""

    def __init__(
        self,
        path: _Path,
        *,
        mode: _Mode = "best_effort",
        include_raw: bool = False,
        include_content: bool = False,
        follow_symlinks: bool = False,
        max_line_size: int = 10485760,
        max_content_size: int = 52428800,
        workers: int | None = None,
        progress: _Progress | None = None,
    ) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[dict[str, Any]]: ...
    @overload
    def __getitem__(self, index: SupportsIndex) -> dict[str, Any]: ...
    @overload
    def __getitem__(self, index: slice) -> Timeline: ...
    @property
    def diagnostics(self) -> list[dict[str, Any]]: ...
    def to_json(self, pretty: bool = True) -> str: ...
    def to_jsonl(self) -> str: ...
    def to_csv(self, include_message: bool = True) -> str: ...
    def write(
        self, path: _Path, format: _Format | None = None, *, include_message: bool = True
    ) -> None: ...
    def filter(
        self,
        *,
        since: datetime | str | None = None,
        until: datetime | str | None = None,
        providers: _Provider | Iterable[_Provider] | None = None,
        event_types: _EventType | Iterable[_EventType] | None = None,
        sessions: str | Iterable[str] | None = None,
        text: str | None = None,
    ) -> Timeline: ...
    def summary(self) -> dict[str, Any]: ...
