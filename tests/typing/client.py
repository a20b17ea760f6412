"""A client of every function, checked with `mypy --strict`: the installed
package's types must be found and must describe what the functions return."""

from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import tracequill

if TYPE_CHECKING:
    from tracequill import Diagnostic, Event, Format, Mode


def prompts(home: pathlib.Path, mode: Mode = "strict") -> list[str]:
    report = tracequill.parse(home, mode=mode, include_raw=True, max_line_size=1 << 20)
    events: list[Event] = report["events"]
    diagnostics: list[Diagnostic] = report["diagnostics"]
    assert all(d["severity"] in ("error", "warning", "info") for d in diagnostics)
    texts: list[str] = []
    for event in events:
        source_line: int | None = event["source"]["line_number"]
        modified = event["fs_times"]["modified"] if event["fs_times"] else None
        size = event["artifact"]["size"] if event["artifact"] else None
        if event["event_type"] == "prompt_input" and event["message"] is not None:
            texts.append(f"{event['message']} {source_line} {modified} {size}")
    return texts


def render(home: str, output: pathlib.Path, fmt: Format) -> int:
    tracequill.convert(home, output, format=fmt, include_message=False)
    text: str = tracequill.to_json(home, pretty=False)
    text += tracequill.to_jsonl(home, mode="best_effort", follow_symlinks=True)
    text += tracequill.to_csv(home, include_content=True, max_content_size=1024)
    try:
        tracequill.parse(output / "missing")
    except FileNotFoundError as missing:
        text += str(missing.errno)
    except tracequill.InternalError:
        raise
    return len(text) + len(tracequill.__version__)


def timeline(home: pathlib.Path, output: pathlib.Path) -> int:
    whole = tracequill.Timeline(home, mode="strict", transcripts=False, workers=2, progress=lambda *counts: None)
    first: Event = whole[0]
    kept = whole.filter(providers="codex", event_types=["tool_call"], text="cargo")[1:]
    diagnostics: list[Diagnostic] = kept.diagnostics
    summary = kept.summary()
    by_provider: dict[str, dict[str, int]] = summary["by_provider"]
    by_provider["tools"] = summary["tool_calls"]
    kept.write(output, format="jsonl", include_message=False)
    text: str = kept.to_json(pretty=False) + kept.to_jsonl() + kept.to_csv()
    return len(first["event_id"]) + len(diagnostics) + len(by_provider) + len(text)
