#!/usr/bin/env python3
"""The `tracequill` command's man page and shell completions, generated from
its argument definitions (python/tracequill/_cli.py) by argparse-manpage and
shtab, so that they never drift from `--help`.

    tools/gen_shell_files.py          # rewrite the files under share/
    tools/gen_shell_files.py --check  # exit 1 when one of them is out of date

The files are committed and installed with the package (CMakeLists.txt); the
test suite runs the check.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Callable

import shtab
from argparse_manpage.manpage import Manpage

import tracequill
from tracequill._cli import build_parser

ROOT = pathlib.Path(__file__).resolve().parents[1]


def parser() -> argparse.ArgumentParser:
    p = build_parser()
    for action in p._actions:
        if action.dest == "path":
            action.complete = shtab.DIRECTORY  # type: ignore[attr-defined]
        elif action.dest == "output":
            action.complete = shtab.FILE  # type: ignore[attr-defined]
    return p


def man_page(p: argparse.ArgumentParser) -> str:
    p.man_short_description = "timelines of the files AI coding agents leave on disk"  # type: ignore[attr-defined]
    # No build date: the page must be the same wherever it is generated.
    version = tracequill.__version__
    data = {"date": f"version {version}", "version": version, "project_name": "tracequill",
            "manual_title": "tracequill manual"}
    return str(Manpage(p, _data=data))


FILES: dict[str, Callable[[argparse.ArgumentParser], str]] = {
    "share/man/man1/tracequill.1": man_page,
    "share/bash-completion/completions/tracequill": lambda p: shtab.complete(p, "bash"),
    "share/zsh/site-functions/_tracequill": lambda p: shtab.complete(p, "zsh"),
    "share/fish/vendor_completions.d/tracequill.fish": lambda p: shtab.complete(p, "fish"),
}


def generated() -> dict[str, str]:
    return {name: make(parser()) for name, make in FILES.items()}


def main(argv: list[str]) -> int:
    stale = []
    for name, text in generated().items():
        path = ROOT / name
        if "--check" in argv:
            if not path.exists() or path.read_text() != text:
                stale.append(name)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
    for name in stale:
        print(f"{name} is out of date: run tools/gen_shell_files.py", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
