"""The `tracequill` command."""

from __future__ import annotations

import argparse
import json

import tracequill


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="tracequill")
    parser.add_argument("path", nargs="?", default=".")
    parser.add_argument("--version", action="version", version=tracequill.__version__)
    arguments = parser.parse_args(argv)
    print(json.dumps(tracequill.parse(arguments.path)["events"][:1]))
    return 0
