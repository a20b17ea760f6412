"""to_json, to_jsonl, to_csv and convert."""

import csv
import errno
import io
import json
import os
import shutil

import pytest

import tracequill

CSV_HEADER = (
    "schema_version,event_id,sequence,provider,source_file_sha256,timestamp,timestamp_raw,"
    "timestamp_source,event_type,session_id,working_directory,message,artifact_kind,"
    "source_record_type,source_relative_path,source_line,source_id,reference_status,"
    "resolved_path,snapshot_version,size,sha256,media_type,content,content_encoding,"
    "fs_modified,fs_accessed,fs_created,warnings,raw\n"
)


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def test_text_outputs_of_an_input_without_events(codex_without_events):
    assert tracequill.to_jsonl(codex_without_events) == ""
    assert tracequill.to_csv(codex_without_events) == CSV_HEADER
    report = json.loads(tracequill.to_json(codex_without_events))
    assert report["events"] == [] and len(report["diagnostics"]) == 2


def test_to_json_layouts(codex_root):
    pretty = tracequill.to_json(codex_root)
    compact = tracequill.to_json(codex_root, pretty=False)
    assert pretty.startswith('{\n  "events": [\n')
    assert not pretty.endswith("\n")
    assert "\n" not in compact
    assert json.loads(pretty) == json.loads(compact)


def test_to_json_holds_what_parse_returns(codex_root):
    for include_raw in [False, True]:
        document = json.loads(tracequill.to_json(codex_root, include_raw=include_raw))
        assert list(document) == ["events", "diagnostics"]
        assert document == tracequill.parse(codex_root, include_raw=include_raw)


def test_to_jsonl_holds_the_events_of_to_json(codex_root):
    lines = tracequill.to_jsonl(codex_root, include_raw=True).split("\n")
    assert lines[-1] == ""
    events = json.loads(tracequill.to_json(codex_root, include_raw=True))["events"]
    assert [json.loads(line) for line in lines[:-1]] == events


def test_to_csv_positional_order(codex_root):
    # path, mode, include_content, include_message: the message column stays.
    positional = tracequill.to_csv(codex_root, "best_effort", False, True)
    assert positional == tracequill.to_csv(codex_root, include_content=False,
                                           include_message=True)
    rows = list(csv.DictReader(io.StringIO(positional)))
    assert rows[0]["message"] == "hello"
    # The fourth positional argument is include_message, not include_raw.
    without_message = list(csv.DictReader(io.StringIO(
        tracequill.to_csv(codex_root, "best_effort", False, False))))
    assert [r["message"] for r in without_message] == ["", ""]
    assert [r["raw"] for r in without_message] == ["", ""]
    # The fifth is include_raw.
    with_raw = list(csv.DictReader(io.StringIO(
        tracequill.to_csv(codex_root, "best_effort", False, True, True))))
    assert json.loads(with_raw[0]["raw"])["text"] == "hello"


# (format, text function, its keyword arguments) that must give equal bytes.
CONVERT_EQUALS_TEXT = [
    ("json", "to_json", {}),
    ("jsonl", "to_jsonl", {}),
    ("csv", "to_csv", {"include_message": False}),
    ("csv", "to_csv", {"include_message": True}),
]


@pytest.mark.parametrize("format,function,options", CONVERT_EQUALS_TEXT)
def test_convert_writes_what_the_text_function_returns(codex_root, tmp_path, format, function,
                                                       options):
    output = tmp_path / f"out.{format}"
    assert tracequill.convert(codex_root, output, format, include_raw=True, **options) is None
    text = getattr(tracequill, function)(codex_root, include_raw=True, **options)
    assert output.read_bytes() == text.encode("utf-8")


@pytest.mark.parametrize("format", ["json", "jsonl"])
def test_convert_ignores_include_message_outside_csv(codex_root, tmp_path, format):
    with_message = tmp_path / "a"
    without_message = tmp_path / "b"
    tracequill.convert(codex_root, with_message, format)
    tracequill.convert(codex_root, without_message, format, include_message=False)
    assert with_message.read_bytes() == without_message.read_bytes()


def test_convert_replaces_a_longer_file_entirely(codex_root, tmp_path):
    output = tmp_path / "out.jsonl"
    output.write_bytes(b"x" * 1_000_000)
    tracequill.convert(codex_root, output, "jsonl")
    assert output.read_bytes() == tracequill.to_jsonl(codex_root).encode()


def test_convert_creates_with_mode_0666_less_the_umask(codex_root, tmp_path):
    output = tmp_path / "out.csv"
    previous = os.umask(0o027)
    try:
        tracequill.convert(codex_root, output, "csv")
    finally:
        os.umask(previous)
    assert output.stat().st_mode & 0o777 == 0o640


# (destination below tmp_path, errno): destinations the system can't create.
# A NUL would otherwise cut the name short and create "out" instead.
UNCREATABLE_DESTINATIONS = [
    ("missing/out.json", errno.ENOENT, FileNotFoundError),
    ("directory", errno.EISDIR, IsADirectoryError),
    ("out\0.json", errno.EINVAL, OSError),
]


@pytest.mark.parametrize("relative,number,error", UNCREATABLE_DESTINATIONS)
def test_convert_destination_that_cannot_be_created(codex_root, tmp_path, relative, number,
                                                    error):
    (tmp_path / "directory").mkdir()
    output = f"{tmp_path}/{relative}"
    with pytest.raises(OSError) as raised:
        tracequill.convert(codex_root, output)
    assert type(raised.value) is error
    assert raised.value.errno == number
    assert str(raised.value) == f"Cannot create '{output}': {os_text(number)}"
    assert raised.value.args == (str(raised.value),)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["directory", "home"]
    assert list((tmp_path / "directory").iterdir()) == []


@pytest.mark.parametrize("format", ["JSON", "Csv", "", "json ", "xml", "json\0"])
def test_convert_unknown_format_after_parsing_creates_nothing(codex_root, tmp_path, format):
    output = tmp_path / "out"
    with pytest.raises(ValueError) as raised:
        tracequill.convert(codex_root, output, format)
    assert raised.value.args == (
        f"Invalid format '{format}': expected 'json', 'jsonl', or 'csv'",)
    assert not output.exists()


def test_convert_unknown_format_leaves_an_existing_file(codex_root, tmp_path):
    output = tmp_path / "out"
    output.write_bytes(b"keep")
    with pytest.raises(ValueError, match="^Invalid format 'JSON'"):
        tracequill.convert(codex_root, output, "JSON")
    assert output.read_bytes() == b"keep"


@pytest.mark.parametrize("format", ["json", "JSON"])
def test_convert_parse_failure_wins_and_leaves_the_destination(tmp_path, format):
    missing = tmp_path / "missing"
    output = tmp_path / "out"
    output.write_bytes(b"keep")
    with pytest.raises(OSError) as raised:
        tracequill.convert(missing, output, format)
    assert str(raised.value) == f"I/O error at {missing}: {os_text(errno.ENOENT)}"
    assert output.read_bytes() == b"keep"


def test_convert_strict_failure_leaves_the_destination(codex_root, tmp_path):
    output = tmp_path / "out"
    output.write_bytes(b"keep")
    with pytest.raises(ValueError, match="^JSON parse error at history.jsonl line 5: "):
        tracequill.convert(codex_root, output, mode="strict")
    assert output.read_bytes() == b"keep"


def test_convert_input_with_nul_creates_nothing(codex_root, tmp_path):
    output = tmp_path / "out"
    with pytest.raises(OSError) as raised:
        tracequill.convert(f"{codex_root}\0", output)
    assert str(raised.value) == f"I/O error at {codex_root}\0: {os_text(errno.EINVAL)}"
    assert not output.exists()


FULL_DEVICE_FAILURES = [
    ("json", "JSON serialization error: "),
    ("jsonl", "I/O flush error: "),
    ("csv", "CSV flush error: "),
]


@pytest.mark.parametrize("format,prefix", FULL_DEVICE_FAILURES)
@pytest.mark.parametrize("caught", [OSError, ValueError])
def test_convert_write_failures_are_os_and_value_errors(codex_root, full_disk, format, prefix, caught):
    with pytest.raises(caught) as raised:
        tracequill.convert(codex_root, full_disk / "out", format)
    assert os.listdir(full_disk) == ["filler"]
    assert type(raised.value) is tracequill.WriteError
    assert raised.value.errno == errno.ENOSPC
    assert str(raised.value) == prefix + os_text(errno.ENOSPC)
    assert raised.value.args == (prefix + os_text(errno.ENOSPC),)


def test_write_error_class():
    assert tracequill.WriteError.__bases__ == (OSError, ValueError)
    assert tracequill.WriteError.__module__ == "tracequill"
    assert "WriteError" not in tracequill.__all__



SAMPLE_HOME = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "sample-home")


def keys_in_byte_order(value):
    if isinstance(value, list):
        return all(keys_in_byte_order(v) for v in value)
    if isinstance(value, dict):
        keys = [k.encode() for k in value]
        return keys == sorted(keys) and all(keys_in_byte_order(v) for v in value.values())
    return True


# parse() and the writers both read one description of each record's fields;
# a field renamed or dropped on one side shows here. The sample home holds
# every record kind: history prompts, paste and image caches, file snapshots,
# rollouts, attachments and diagnostics.
@pytest.mark.parametrize("options", [
    {},
    {"include_raw": True},
    {"include_content": True},
    {"include_raw": True, "include_content": True, "max_content_size": 64},
    {"max_line_size": 200},
])
def test_parse_equals_compact_json_on_every_record_kind(tmp_path, options):
    home = shutil.copytree(SAMPLE_HOME, tmp_path / "home", symlinks=True)
    report = tracequill.parse(home, **options)
    assert report == json.loads(tracequill.to_json(home, pretty=False, **options))
    assert keys_in_byte_order(report["events"]) and keys_in_byte_order(report["diagnostics"])
    types = {e["event_type"] for e in report["events"]}
    assert "max_line_size" in options or {"prompt_input", "paste_attachment", "orphan_cache", "file_snapshot",
            "session_start", "tool_result", "attachment"} <= types
    assert report["diagnostics"]
