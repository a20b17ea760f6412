"""Binding, argument conversion and path extraction, with their exact messages."""

import sys
import tracemalloc

import pytest

import tracequill


# Python functions with the same parameters: the module binds arguments by the
# ordinary rules, so every binding error must read exactly as theirs.
def parse(path, mode="best_effort", include_raw=False, include_content=False,
          follow_symlinks=False, max_line_size=10485760, max_content_size=52428800,
          max_decompression_ratio=100):
    pass


def convert(path, output_path, format="json", mode="best_effort", include_raw=False,
            include_content=False, include_message=True, follow_symlinks=False,
            max_line_size=10485760, max_content_size=52428800, max_decompression_ratio=100):
    pass


def to_json(path, mode="best_effort", include_raw=False, include_content=False, pretty=True,
            follow_symlinks=False, max_line_size=10485760, max_content_size=52428800,
            max_decompression_ratio=100):
    pass


def to_jsonl(path, mode="best_effort", include_raw=False, include_content=False,
             follow_symlinks=False, max_line_size=10485760, max_content_size=52428800,
             max_decompression_ratio=100):
    pass


def to_csv(path, mode="best_effort", include_content=False, include_message=True,
           include_raw=False, follow_symlinks=False, max_line_size=10485760,
           max_content_size=52428800, max_decompression_ratio=100):
    pass


REFERENCES = {f.__name__: f for f in (parse, convert, to_json, to_jsonl, to_csv)}

BINDING_ERRORS = [
    # (function, args, kwargs, exact message)
    ("parse", (), {}, "parse() missing 1 required positional argument: 'path'"),
    ("convert", (), {},
     "convert() missing 2 required positional arguments: 'path' and 'output_path'"),
    ("convert", ("p",), {}, "convert() missing 1 required positional argument: 'output_path'"),
    ("convert", (), {"output_path": "o"},
     "convert() missing 1 required positional argument: 'path'"),
    ("parse", ("p",) * 9, {},
     "parse() takes from 1 to 8 positional arguments but 9 were given"),
    ("convert", ("p",) * 12, {},
     "convert() takes from 2 to 11 positional arguments but 12 were given"),
    ("to_json", ("p",) * 10, {},
     "to_json() takes from 1 to 9 positional arguments but 10 were given"),
    ("to_csv", ("p",) * 10, {},
     "to_csv() takes from 1 to 9 positional arguments but 10 were given"),
    ("parse", ("p",), {"pretty": True}, "parse() got an unexpected keyword argument 'pretty'"),
    ("to_jsonl", ("p",), {"include_message": True},
     "to_jsonl() got an unexpected keyword argument 'include_message'"),
    ("parse", ("p",), {"path": "q"}, "parse() got multiple values for argument 'path'"),
    ("to_csv", ("p", "strict"), {"mode": "strict"},
     "to_csv() got multiple values for argument 'mode'"),
    # Keywords are checked before the positional count, as for Python functions.
    ("parse", ("p",) * 8, {"mode": "strict"}, "parse() got multiple values for argument 'mode'"),
    ("parse", ("p",) * 8, {"bogus": 1}, "parse() got an unexpected keyword argument 'bogus'"),
    ("parse", (), {"bogus": 1}, "parse() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("name,args,kwargs,message", BINDING_ERRORS)
def test_binding_errors_read_as_for_python_functions(name, args, kwargs, message):
    with pytest.raises(TypeError) as reference:
        REFERENCES[name](*args, **kwargs)
    assert str(reference.value) == message
    with pytest.raises(TypeError) as raised:
        getattr(tracequill, name)(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)


class FakeNumpyBool:
    """Stands for numpy.bool_ without needing NumPy: type name and module match."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


class BoolWithoutTruth:
    pass


BoolWithoutTruth.__name__ = "bool"
BoolWithoutTruth.__qualname__ = "bool"
BoolWithoutTruth.__module__ = "numpy"


class NotNumpyBool(FakeNumpyBool):
    pass


NotNumpyBool.__name__ = "bool_"
NotNumpyBool.__qualname__ = "bool_"
NotNumpyBool.__module__ = "mynumpy"


class Holder:
    class Inner:
        pass


class FloatIndex:
    def __index__(self):
        return 1.5


CONVERSION_ERRORS = [
    # (function, args, kwargs, exception class, exact message)
    ("parse", ("p",), {"mode": None}, TypeError,
     "argument 'mode': 'NoneType' object cannot be converted to 'PyString'"),
    ("parse", ("p", 1), {}, TypeError,
     "argument 'mode': 'int' object cannot be converted to 'PyString'"),
    ("convert", ("p", "o"), {"format": b"json"}, TypeError,
     "argument 'format': 'bytes' object cannot be converted to 'PyString'"),
    ("parse", ("p",), {"include_raw": 1}, TypeError,
     "argument 'include_raw': 'int' object cannot be converted to 'PyBool'"),
    ("parse", ("p",), {"include_content": None}, TypeError,
     "argument 'include_content': 'NoneType' object cannot be converted to 'PyBool'"),
    ("parse", ("p",), {"follow_symlinks": "yes"}, TypeError,
     "argument 'follow_symlinks': 'str' object cannot be converted to 'PyBool'"),
    ("to_json", ("p",), {"pretty": 0}, TypeError,
     "argument 'pretty': 'int' object cannot be converted to 'PyBool'"),
    ("to_csv", ("p",), {"include_message": 1.0}, TypeError,
     "argument 'include_message': 'float' object cannot be converted to 'PyBool'"),
    ("parse", ("p",), {"include_raw": Holder.Inner()}, TypeError,
     "argument 'include_raw': 'Holder.Inner' object cannot be converted to 'PyBool'"),
    ("parse", ("p",), {"include_raw": NotNumpyBool(True)}, TypeError,
     "argument 'include_raw': 'bool_' object cannot be converted to 'PyBool'"),
    ("parse", ("p",), {"include_raw": BoolWithoutTruth()}, TypeError,
     "argument 'include_raw': object of type 'bool' does not define a '__bool__' conversion"),
    ("parse", ("p",), {"max_line_size": 1.5}, TypeError,
     "argument 'max_line_size': 'float' object cannot be interpreted as an integer"),
    ("parse", ("p",), {"max_content_size": "10"}, TypeError,
     "argument 'max_content_size': 'str' object cannot be interpreted as an integer"),
    ("parse", ("p",), {"max_line_size": FloatIndex()}, TypeError,
     "argument 'max_line_size': __index__ returned non-int (type float)"),
    ("parse", ("p",), {"max_line_size": -1}, OverflowError,
     "can't convert negative int to unsigned"),
    ("parse", ("p",), {"max_content_size": 2**64}, OverflowError, "int too big to convert"),
    ("parse", ("p",), {"mode": "STRICT"}, ValueError,
     "Invalid mode 'STRICT': expected 'best_effort' or 'strict'"),
    ("parse", ("p",), {"mode": ""}, ValueError,
     "Invalid mode '': expected 'best_effort' or 'strict'"),
    ("to_jsonl", ("p",), {"mode": "strict\0"}, ValueError,
     "Invalid mode 'strict\0': expected 'best_effort' or 'strict'"),
    ("convert", ("p", "o"), {"mode": "Strict"}, ValueError,
     "Invalid mode 'Strict': expected 'best_effort' or 'strict'"),
    ("parse", (b"p",), {}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("parse", (None,), {}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ("convert", ("p", 3), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("to_csv", (["p"],), {}, TypeError, "'list' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("name,args,kwargs,error,message", CONVERSION_ERRORS)
def test_conversion_errors(name, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        getattr(tracequill, name)(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize("name,args,kwargs,message", [
    # Conversions run in parameter order, whatever the keyword order.
    ("parse", ("p",), {"include_raw": 1, "mode": 1},
     "argument 'mode': 'int' object cannot be converted to 'PyString'"),
    ("to_csv", ("p",), {"include_raw": 1, "include_message": 1},
     "argument 'include_message': 'int' object cannot be converted to 'PyBool'"),
    # Argument conversion comes before the path is examined...
    ("parse", (b"p",), {"mode": 1},
     "argument 'mode': 'int' object cannot be converted to 'PyString'"),
])
def test_conversions_run_in_parameter_order(name, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(tracequill, name)(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("name,args", [
    # ...and the path before the mode's value, the input path before the output
    # path.
    ("parse", (b"p", "bogus")),
    ("to_json", (b"p", "bogus")),
    ("convert", (b"p", b"o", "json", "bogus")),
    ("convert", ("p", b"o", "json", "bogus")),
])
def test_path_is_examined_before_the_mode_value(name, args):
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        getattr(tracequill, name)(*args)


def test_type_error_from_index_keeps_its_cause():
    cause = KeyError("k")

    class Failing:
        def __index__(self):
            raise TypeError("no index today") from cause

    with pytest.raises(TypeError) as raised:
        tracequill.parse("p", max_line_size=Failing())
    assert str(raised.value) == "argument 'max_line_size': no index today"
    assert raised.value.__cause__ is cause


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
def test_non_type_errors_from_conversion_pass_unchanged(error):
    class Failing:
        def __index__(self):
            raise error("boom")

    class FailingBool(FakeNumpyBool):
        def __bool__(self):
            raise error("bang")

    FailingBool.__name__ = "bool_"
    FailingBool.__module__ = "numpy"

    with pytest.raises(error, match="^boom$"):
        tracequill.parse("p", max_content_size=Failing())
    with pytest.raises(error, match="^bang$"):
        tracequill.parse("p", follow_symlinks=FailingBool(True))


def test_text_that_cannot_be_utf8_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        tracequill.parse("p", mode="\ud800")
    with pytest.raises(UnicodeEncodeError):
        tracequill.parse("p\udcff")
    with pytest.raises(UnicodeEncodeError):
        tracequill.convert("p", "o", format="\udc80")


class PathLike:
    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        return self.result


class RaisingFspath(str):
    def __fspath__(self):
        raise RuntimeError("no")


class RaisingFspathObject:
    def __fspath__(self):
        raise RuntimeError("no")


@pytest.mark.parametrize("path,type_name", [
    (PathLike(b"/bytes"), "bytes"),
    (PathLike(None), "NoneType"),
    (RaisingFspathObject(), "RaisingFspathObject"),
    (42, "int"),
])
def test_unusable_paths(path, type_name):
    with pytest.raises(TypeError) as raised:
        tracequill.parse(path)
    assert str(raised.value) == f"'{type_name}' object cannot be converted to 'PyString'"


def test_path_like_results_and_str_subclasses_are_used(empty_directory):
    expected = f"Cannot auto-detect a supported artifact at '{empty_directory}'."
    for path in [str(empty_directory), empty_directory, PathLike(str(empty_directory)),
                 RaisingFspath(str(empty_directory))]:
        with pytest.raises(ValueError) as raised:
            tracequill.parse(path)
        assert raised.value.args == (expected,), repr(path)


class FspathRaising(str):
    """A str whose __fspath__ raises the exception class it was made with."""

    def __new__(cls, text, exception):
        made = super().__new__(cls, text)
        made.exception = exception
        return made

    def __fspath__(self):
        raise self.exception("from __fspath__")


@pytest.mark.parametrize("exception,discarded", [
    (ValueError, True),
    (OSError, True),
    (KeyboardInterrupt, False),
    (SystemExit, False),
    (MemoryError, False),
    (GeneratorExit, False),
])
def test_only_ordinary_fspath_failures_are_discarded(empty_directory, exception, discarded):
    path = FspathRaising(str(empty_directory), exception)
    with pytest.raises(BaseException) as raised:
        tracequill.parse(path)
    if discarded:
        assert type(raised.value) is ValueError
        assert str(raised.value).startswith("Cannot auto-detect a supported artifact")
    else:
        assert type(raised.value) is exception
        assert raised.value.args == ("from __fspath__",)


def test_numpy_bool_scalars_are_accepted(empty_directory):
    import numpy as np

    for flag in [np.True_, np.False_, FakeNumpyBool(True)]:
        with pytest.raises(ValueError, match="^Cannot auto-detect"):
            tracequill.parse(empty_directory, include_raw=flag, follow_symlinks=flag)


def test_sizes_accept_anything_with_an_index(empty_directory):
    class Index:
        def __index__(self):
            return 7

    for size in [0, True, Index(), 2**64 - 1]:
        with pytest.raises(ValueError, match="^Cannot auto-detect"):
            tracequill.parse(empty_directory, max_line_size=size, max_content_size=size)


def test_arguments_keep_their_reference_counts(empty_directory):
    path = "".join([str(empty_directory)])
    mode = "".join(["best_", "effort"])
    bad_mode = "".join(["bo", "gus"])
    returned = str(empty_directory) + ""
    like = PathLike(returned)
    objects = [path, mode, bad_mode, returned, like]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        for call in [
            lambda: tracequill.parse(path, mode),
            lambda: tracequill.parse(like, mode),
            lambda: tracequill.parse(path, bad_mode),
            lambda: tracequill.parse(path, mode, 1),
            lambda: tracequill.parse(path, mode, path=path),
            lambda: tracequill.convert(like, path, bad_mode),
            lambda: tracequill.to_csv(like, mode, max_line_size=-1),
        ]:
            with pytest.raises((ValueError, TypeError, OverflowError)):
                call()
    assert [sys.getrefcount(o) for o in objects] == before


def test_failing_calls_do_not_leak_memory(empty_directory):
    calls = [
        lambda: tracequill.parse(empty_directory),
        lambda: tracequill.parse(str(empty_directory) + "\0x"),
        lambda: tracequill.parse(b"x"),
        lambda: tracequill.parse("p", mode="bogus"),
        lambda: tracequill.to_json("p", include_raw=1),
        lambda: tracequill.convert(),
    ]

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError, OSError):
                    pass

    # The interpreter's own caches settle during the first rounds; a leak of
    # even a few bytes per call keeps growing in every later one.
    tracemalloc.start()
    try:
        run(2000)
        start, _ = tracemalloc.get_traced_memory()
        run(2000)
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < 32 * 1024
