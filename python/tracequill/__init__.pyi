"""Normalized, deterministic timelines of the files AI coding agents leave on disk."""

import os
from typing import Any

__all__ = ["parse", "convert", "to_json", "to_jsonl", "to_csv"]

__version__: str

_Path = str | os.PathLike[str]

class InternalError(BaseException):
    """A fault inside tracequill itself, not a problem with the input."""

class WriteError(OSError, ValueError):
    """The system refused to write output (a full disk, say); `errno` is set."""

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
