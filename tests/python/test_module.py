"""The module object: initialisation, exported symbol, functions and their signatures."""

import ast
import ctypes
import re
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import types

import pytest
from conftest import PLATFORM_LACKS

import tracequill

REPO = pathlib.Path(__file__).resolve().parents[2]
FUNCTION_NAMES = ["parse", "convert", "to_json", "to_jsonl", "to_csv"]

SIGNATURE_LINES = {
    "parse": 'parse(path, mode="best_effort", include_raw=False, include_content=False, '
    "follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)",
    "convert": 'convert(path, output_path, format="json", mode="best_effort", include_raw=False, '
    "include_content=False, include_message=True, follow_symlinks=False, "
    "max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)",
    "to_json": 'to_json(path, mode="best_effort", include_raw=False, include_content=False, '
    "pretty=True, follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)",
    "to_jsonl": 'to_jsonl(path, mode="best_effort", include_raw=False, include_content=False, '
    "follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)",
    "to_csv": 'to_csv(path, mode="best_effort", include_content=False, include_message=True, '
    "include_raw=False, follow_symlinks=False, max_line_size=10485760, "
    "max_content_size=52428800, "
    "max_decompression_ratio=100)",
}

PARSE_DOC = """Parse supported AI agent artifacts and return a dict with
`events` and `diagnostics`.

Parameters
----------
path : str | pathlib.Path
    Path to a supported artifact, `.claude`, or `.codex` root.
mode : str
    `"best_effort"` (default) collects recoverable errors as diagnostics;
    `"strict"` aborts on the first error-severity diagnostic.
include_raw : bool
    When `True`, each event includes the raw JSON value it was parsed from.
include_content : bool
    When `True`, file content is inlined in snapshot/cache events."""

CONVERT_DOC = """Parse and write output in a single call.

Parameters
----------
path : str | pathlib.Path
    Input path (same semantics as [`parse`]).
output_path : str | pathlib.Path
    Destination file path.
format : str
    `"json"`, `"jsonl"`, or `"csv"`.
mode : str
    `"best_effort"` or `"strict"`.
include_raw : bool
    Include raw JSON in events.
include_content : bool
    Include file content in snapshot events.
include_message : bool
    Include the `message` column in CSV output (ignored for JSON/JSONL)."""

DOCS = {
    "parse": PARSE_DOC,
    "convert": CONVERT_DOC,
    "to_json": "Parse artifacts and return the complete report as a JSON string.",
    "to_jsonl": "Parse artifacts and return one compact timeline event per line.",
    "to_csv": "Parse artifacts and return the normalized timeline as CSV text.",
}


def test_module_attributes():
    assert tracequill.__name__ == "tracequill"
    assert tracequill.__doc__ == ""
    assert tracequill.__all__ == FUNCTION_NAMES
    # A plain line of pyproject.toml; tomllib is missing before Python 3.11.
    line = re.search(r'^version = "(.*)"$', (REPO / "pyproject.toml").read_text(), re.MULTILINE)
    assert line is not None
    assert tracequill.__version__ == line.group(1)


def test_internal_error_class_is_outside_the_public_names():
    assert tracequill.InternalError.__bases__ == (BaseException,)
    assert tracequill.InternalError.__module__ == "tracequill"
    assert "InternalError" not in tracequill.__all__
    assert not issubclass(tracequill.InternalError, Exception)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(tracequill, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "tracequill"
    assert function.__self__ is tracequill
    assert function.__text_signature__ == SIGNATURE_LINES[name][len(name) :]
    assert function.__doc__ == DOCS[name]


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_signatures_are_positional_or_keyword_with_their_defaults(name):
    # The signature line is valid Python, so parse it as a def to get the
    # expected names and defaults independently of inspect.
    tree = ast.parse(f"def {SIGNATURE_LINES[name]}: pass")
    arguments = tree.body[0].args
    names = [a.arg for a in arguments.args]
    defaults = [ast.literal_eval(d) for d in arguments.defaults]
    expected = dict(zip(names, [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults))

    signature = inspect.signature(getattr(tracequill, name))
    assert list(signature.parameters) == names
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default == expected[parameter.name]
        assert type(parameter.default) is type(expected[parameter.name])


def test_stub_matches_the_runtime_signatures():
    stub = ast.parse((REPO / "python" / "tracequill" / "__init__.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert sorted(functions) == sorted(FUNCTION_NAMES)
    for name, node in functions.items():
        signature = inspect.signature(getattr(tracequill, name))
        stub_names = [a.arg for a in node.args.args]
        assert stub_names == list(signature.parameters), name
        stub_defaults = [ast.literal_eval(d) for d in node.args.defaults]
        runtime_defaults = [
            p.default for p in signature.parameters.values() if p.default is not p.empty
        ]
        assert stub_defaults == runtime_defaults, name
        assert all(a.annotation is not None for a in node.args.args), name
        assert node.returns is not None, name


def test_initialiser_called_again_returns_the_same_module():
    functions = [getattr(tracequill, name) for name in FUNCTION_NAMES]
    library = ctypes.PyDLL(tracequill.__file__)
    library.PyInit_tracequill.restype = ctypes.py_object
    assert library.PyInit_tracequill() is tracequill
    assert [getattr(tracequill, name) for name in FUNCTION_NAMES] == functions
    assert all(a is b for a, b in zip(functions, [getattr(tracequill, n) for n in FUNCTION_NAMES]))
    assert tracequill.__all__ == FUNCTION_NAMES


@pytest.mark.skipif(shutil.which("nm") is None, reason=PLATFORM_LACKS + "nm")
def test_only_the_initialiser_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", tracequill.__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tracequill"]


# The module refuses a second interpreter itself, which only a legacy
# sub-interpreter (sharing the main one's lock) ever lets it see: an isolated
# one, the default from 3.12 on, refuses any single-phase module before that.
LEGACY_SUB_INTERPRETER = {
    (3, 10): "import _xxsubinterpreters as interpreters\ninterpreter = interpreters.create()",
    (3, 11): "import _xxsubinterpreters as interpreters\ninterpreter = interpreters.create()",
    (3, 12): "import _xxsubinterpreters as interpreters\n"
    "interpreter = interpreters.create(isolated=False)",
    (3, 13): "import _interpreters as interpreters\ninterpreter = interpreters.create('legacy')",
}


def test_import_from_a_sub_interpreter_fails():
    if sys.version_info[:2] not in LEGACY_SUB_INTERPRETER:
        pytest.skip(f"{PLATFORM_LACKS}a known sub-interpreter module on this Python")
    module_dir = str(pathlib.Path(tracequill.__file__).parents[1])
    script = LEGACY_SUB_INTERPRETER[sys.version_info[:2]] + textwrap.dedent(
        f"""
        import tracequill
        code = (
            "import sys\\n"
            "sys.path.insert(0, {module_dir!r})\\n"
            "try:\\n"
            "    import tracequill\\n"
            "except ImportError as e:\\n"
            "    assert 'sub-interpreters' in str(e), str(e)\\n"
            "else:\\n"
            "    raise AssertionError('imported')\\n"
        )
        # From 3.13 on a failure is returned, not raised.
        failure = interpreters.run_string(interpreter, code)
        assert failure is None, failure
        print("ok")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": module_dir},
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
