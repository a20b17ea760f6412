#!/usr/bin/env python3
"""Fails when the folders under src/ stop forming layers.

Each folder is one library in CMakeLists.txt, declared with the folders it
builds on:

    tq_layer(jsonl DEPENDS files hash context error model)

This check reads those declarations and every #include under src/: a folder
may include its own headers and those of the folders it builds on (directly
or through them), nothing else, and the declarations themselves may not form
a circle. Every folder under src/ must be declared. Run by the test command.
"""

from __future__ import annotations

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
LAYER = re.compile(r"^\s*tq_layer\(\s*(\w+)(?:\s+DEPENDS((?:\s+\w+)*))?\s*\)", re.MULTILINE)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def declared(cmake: str) -> dict[str, set[str]]:
    return {name: set(deps.split()) if deps else set() for name, deps in LAYER.findall(cmake)}


def circle(layers: dict[str, set[str]]) -> list[str] | None:
    """A circle of declarations, as the folders on it; none when there is none."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(name: str) -> list[str] | None:
        state[name] = 1
        path.append(name)
        for dep in sorted(layers.get(name, ())):
            if state.get(dep) == 1:
                return path[path.index(dep) :] + [dep]
            if dep not in state and (found := visit(dep)):
                return found
        path.pop()
        state[name] = 2
        return None

    for name in sorted(layers):
        if name not in state and (found := visit(name)):
            return found
    return None


def below(layers: dict[str, set[str]], name: str) -> set[str]:
    """Every folder `name` builds on, directly or through others."""
    seen: set[str] = set()
    todo = list(layers.get(name, ()))
    while todo:
        dep = todo.pop()
        if dep not in seen:
            seen.add(dep)
            todo.extend(layers.get(dep, ()))
    return seen


def problems(root: pathlib.Path) -> list[str]:
    layers = declared((root / "CMakeLists.txt").read_text())
    found = []
    folders = sorted(p.name for p in (root / "src").iterdir() if p.is_dir())
    for folder in folders:
        if folder not in layers:
            found.append(f"src/{folder}: not declared with tq_layer() in CMakeLists.txt")
    for name, deps in sorted(layers.items()):
        for dep in sorted(deps - set(layers)):
            found.append(f"tq_layer({name}): depends on '{dep}', which is not declared")
    if ring := circle(layers):
        found.append("the layers form a circle: " + " -> ".join(ring))
    for folder in folders:
        allowed = below(layers, folder) | {folder}
        for source in sorted((root / "src" / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".inc"):
                continue
            text = source.read_text(errors="replace")
            for match in INCLUDE.finditer(text):
                target = match.group(1)
                if (root / "src" / target).is_dir() and target not in allowed:
                    line = text.count("\n", 0, match.start()) + 1
                    found.append(f"{source.relative_to(root)}:{line}: {folder} includes {target}, "
                                 f"which it does not build on")
    return found


def main() -> int:
    found = problems(ROOT)
    for problem in found:
        print(problem, file=sys.stderr)
    if not found:
        print("layers: every include stays within the folders it builds on")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
