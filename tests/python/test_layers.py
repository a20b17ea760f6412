"""The check that src/'s folders form layers finds what it must."""

import pathlib
import sys

import pytest

TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "check_layers.py"
sys.path.insert(0, str(TOOL.parent))
import check_layers  # noqa: E402  (a script of tools/, not a package)


def tree(root, layers, includes):
    (root / "CMakeLists.txt").write_text("".join(f"tq_layer({line})\n" for line in layers))
    for name, text in includes.items():
        (root / "src" / name).parent.mkdir(parents=True, exist_ok=True)
        (root / "src" / name).write_text(text)
    return root


@pytest.mark.parametrize(
    "layers, includes, problem",
    [
        (["a", "b DEPENDS a"], {"a/x.h": "", "b/y.cpp": '#include "a/x.h"\n'}, None),
        (["a", "b DEPENDS a", "c DEPENDS b"], {"a/x.h": "", "b/y.h": "", "c/z.cpp": '#include "a/x.h"\n'}, None),
        (["a", "b DEPENDS a"], {"a/x.cpp": '#include "b/y.h"\n', "b/y.h": ""},
         "src/a/x.cpp:1: a includes b, which it does not build on"),
        (["a DEPENDS b", "b DEPENDS a"], {"a/x.h": "", "b/y.h": ""}, "the layers form a circle: a -> b -> a"),
        (["a"], {"a/x.h": "", "b/y.h": ""}, "src/b: not declared with tq_layer() in CMakeLists.txt"),
    ],
)
def test_layers(tmp_path, layers, includes, problem):
    found = check_layers.problems(tree(tmp_path, layers, includes))
    assert found == ([] if problem is None else [problem])


def test_the_repository_forms_layers():
    assert check_layers.problems(TOOL.parents[1]) == []
