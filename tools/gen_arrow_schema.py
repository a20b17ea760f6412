#!/usr/bin/env python3
"""The README's table of Arrow columns, generated from what a Timeline
exports, so that it never drifts from the events' description.

    tools/gen_arrow_schema.py          # rewrite the block in README.md
    tools/gen_arrow_schema.py --check  # exit 1 when the block is out of date

The block lies between `<!-- arrow-schema -->` and `<!-- /arrow-schema -->`;
the test suite runs the check.
"""

from __future__ import annotations

import os
import pathlib
import re
import sys
import tempfile
from typing import Any

import pyarrow as pa

import tracequill

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
BLOCK = re.compile(r"(<!-- arrow-schema -->\n)(.*?)(<!-- /arrow-schema -->)", re.DOTALL)


def schema() -> Any:
    """The columns of a Timeline of the whole surface (an empty profile's)."""
    with tempfile.TemporaryDirectory() as home:
        os.mkdir(os.path.join(home, ".codex"))
        return pa.table(tracequill.Timeline(home)).schema


def type_text(t: Any) -> str:
    if pa.types.is_struct(t):
        return "struct"
    if pa.types.is_list(t):
        item = t.value_field
        return f"list<{type_text(item.type)}{'' if item.nullable else ' not null'}>"
    return str(t)


def lines(fields: Any, depth: int = 0) -> list[str]:
    out = []
    for field in fields:
        name = "  " * depth + field.name
        out.append(f"{name:<26} {type_text(field.type)}{'' if field.nullable else ' not null'}")
        if pa.types.is_struct(field.type):
            out += lines(list(field.type), depth + 1)
    return out


def block() -> str:
    return "```text\n" + "\n".join(lines(schema())) + "\n```\n"


def main(argv: list[str]) -> int:
    text = README.read_text(encoding="utf-8")
    found = BLOCK.search(text)
    if found is None:
        print("README.md has no <!-- arrow-schema --> block", file=sys.stderr)
        return 1
    wanted = text[:found.start(2)] + block() + text[found.end(2):]
    if "--check" in argv:
        if wanted != text:
            print("README.md's Arrow columns are out of date: run tools/gen_arrow_schema.py",
                  file=sys.stderr)
            return 1
        return 0
    README.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
