"""The timeline as Arrow columns, read by each consumer without a recipe."""

import gc
import os
import re
import subprocess
import json
import pathlib
import sys

import pandas as pd
import polars as pl
import pyarrow as pa
import duckdb
import pytest

import tracequill

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples/sample-home"


def absent(value):
    """None, or pandas' NaN and NaT for a missing value."""
    return value is None or (isinstance(value, float) or value is pd.NaT) and pd.isna(value)


def micros(value):
    """An instant (datetime, pandas or RFC 3339 text) as microseconds since the epoch."""
    return None if absent(value) else pd.Timestamp(value).value // 1000


def row(event_id, sequence, timestamp, source, artifact, fs_times, warnings, raw):
    modified = fs_times and fs_times["modified"]
    return {
        "event_id": event_id,
        "sequence": int(sequence),
        "timestamp": micros(timestamp),
        "source": dict(source),
        "artifact": artifact and dict(artifact),
        "modified": micros(modified),
        "warnings": list(warnings),
        "raw": None if absent(raw) else raw if isinstance(raw, dict) else json.loads(raw),
    }


COLUMNS = ("event_id", "sequence", "timestamp", "source", "artifact", "fs_times", "warnings",
           "raw")


def rows_of(dicts):
    return [row(*(d[c] for c in COLUMNS)) for d in dicts]


def through_duckdb(tl):
    relation = duckdb.sql(f"select {', '.join(COLUMNS)} from tl")
    return rows_of(dict(zip(relation.columns, values)) for values in relation.fetchall())


CONSUMERS = {
    "pyarrow": lambda tl: rows_of(pa.table(tl).to_pylist()),
    "polars": lambda tl: rows_of(pl.DataFrame(tl).to_dicts()),
    "duckdb": through_duckdb,
    "pandas": lambda tl: rows_of(pa.table(tl).to_pandas().to_dict("records")),
}


@pytest.fixture(scope="module")
def timeline():
    return tracequill.Timeline(SAMPLE, include_raw=True, include_content=True)


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("view", ["all", "filtered", "sliced"])
def test_each_consumer_reads_the_events_values(timeline, consumer, view):
    tl = {"all": timeline, "filtered": timeline.filter(providers="codex"),
          "sliced": timeline[::3]}[view]
    assert len(tl) > 0
    assert CONSUMERS[consumer](tl) == rows_of(tl)


def test_parse_and_the_columns_agree(timeline):
    parsed = tracequill.parse(SAMPLE, include_raw=True, include_content=True)["events"]
    plain = tracequill.Timeline(SAMPLE, include_raw=True, include_content=True, transcripts=False)
    assert rows_of(pa.table(plain).to_pylist()) == rows_of(parsed)
    # The whole surface adds the facts' columns and keeps the others in order.
    whole = pa.table(timeline).column_names
    assert [c for c in whole if c in pa.table(plain).column_names] == pa.table(plain).column_names
    assert {"record_key", "duplicate_of", "who", "tool"} <= set(whole)


def test_types_need_no_recipe(timeline):
    schema = pa.table(timeline).schema
    assert schema.field("timestamp").type == pa.timestamp("us", tz="UTC")
    assert schema.field("sequence").type == pa.uint64()
    assert pa.types.is_struct(schema.field("source").type)
    assert schema.field("warnings").type == pa.list_(pa.field("item", pa.string(), False))
    frame = pl.DataFrame(timeline)
    assert frame.schema["timestamp"] == pl.Datetime("us", "UTC")
    assert str(pa.table(timeline).to_pandas()["timestamp"].dtype) == "datetime64[us, UTC]"


def test_an_empty_timeline_has_the_schema(timeline):
    empty = timeline.filter(text="no event says this")
    table = pa.table(empty)
    assert table.num_rows == 0 and table.schema == pa.table(timeline).schema


def test_streams_hold_no_reference_and_outlive_the_timeline():
    tl = tracequill.Timeline(SAMPLE)
    count = len(tl)
    before = sys.getrefcount(tl)
    unread = tl.__arrow_c_stream__()
    reader = pa.RecordBatchReader.from_stream(tl.filter(providers="claude_code"))
    assert sys.getrefcount(tl) == before
    del tl, unread
    gc.collect()
    assert 0 < reader.read_all().num_rows < count


def test_the_readmes_columns_are_those_exported():
    tool = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gen_arrow_schema.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    check = subprocess.run([sys.executable, tool, "--check"], capture_output=True, env=env)
    assert check.returncode == 0, check.stderr.decode()


def test_a_requested_schema_is_accepted(timeline):
    capsule = timeline.__arrow_c_stream__(requested_schema=None)
    assert type(capsule).__name__ == "PyCapsule"
    with pytest.raises(TypeError, match="Timeline.__arrow_c_stream__"):
        timeline.__arrow_c_stream__(None, None)


def read_parquet(path):
    import pyarrow.parquet as pq

    file = pq.ParquetFile(path)
    assert {file.metadata.row_group(0).column(i).compression
            for i in range(file.metadata.num_columns)} == {"ZSTD"}
    return file.read()


@pytest.mark.parametrize("how", ["write", "filtered", "command"])
def test_parquet_round_trips(tmp_path, timeline, how):
    target = tmp_path / "t.parquet"
    if how == "command":
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        result = subprocess.run([sys.executable, "-m", "tracequill", SAMPLE, "--raw", "--content",
                                 "-o", target], capture_output=True, env=env)
        assert result.returncode == 0 and target.exists(), result.stderr
    tl = timeline.filter(providers="codex") if how == "filtered" else timeline
    if how != "command":
        tl.write(target)
    table = read_parquet(target)
    assert table.schema == pa.table(tl).schema
    assert rows_of(table.to_pylist()) == rows_of(tl)


def test_parquet_without_pyarrow_names_the_extra(tmp_path, timeline, monkeypatch, capsys):
    import tracequill._cli

    monkeypatch.setitem(sys.modules, "pyarrow", None)
    message = "Parquet output needs pyarrow: pip install 'tracequill[parquet]'"
    with pytest.raises(ModuleNotFoundError, match=re.escape(message)):
        timeline.write(tmp_path / "t.parquet")
    assert tracequill._cli.main([str(SAMPLE), "-o", str(tmp_path / "t.parquet")]) == 1
    assert capsys.readouterr().err == f"tracequill: error: {message}\n"
    assert list(tmp_path.iterdir()) == []
