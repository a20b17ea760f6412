#!/usr/bin/env python3
"""Parse a profile once, then look at it several ways.

    python3 examples/timeline.py [PATH]

PATH may be a home directory holding `.claude` and/or `.codex`, a profile root,
an artifact directory or a single file; without it, the sample home shipped
next to this script is used. The command `tracequill PATH` does all this and
more from a shell.
"""

import pathlib
import sys

import tracequill

path = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent / "sample-home"

# One parse; the events stay native until asked for.
timeline = tracequill.Timeline(path)
summary = timeline.summary()
print(f"{len(timeline)} events, {summary['diagnostics']['total']} diagnostics")
for provider, types in summary["by_provider"].items():
    print(f"  {provider}: {sum(types.values())} events")

# Filters make new timelines over the same parse; sequence numbers still point
# at each event's place in the whole timeline.
prompts = timeline.filter(event_types=["prompt_input"])
for event in prompts[:5]:
    print(f"  #{event['sequence']:<5} {event['timestamp']}  {(event['message'] or '')[:60]!r}")

# Writing never leaves a half-written file behind: the suffix picks the format.
prompts.write("prompts.csv")
print(f"Wrote {len(prompts)} prompts to prompts.csv")
