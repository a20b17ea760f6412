"""The recipes of README.md, run as written on the sample home."""

import csv
import pathlib
import re

import pytest

import tracequill

REPO = pathlib.Path(__file__).resolve().parents[2]
RECIPES = dict(
    re.findall(r"<!-- recipe: (\S+) -->\n```python\n(.*?)```", (REPO / "README.md").read_text(),
               re.DOTALL))


def run_recipe(name):
    code = RECIPES[name].replace('"examples/sample-home"', repr(str(REPO / "examples/sample-home")))
    namespace = {}
    exec(compile(code, f"README.md recipe {name}", "exec"), namespace)
    return namespace


@pytest.fixture
def events(tmp_path, monkeypatch):
    """The sample home's events, with the recipes' two files in the working directory."""
    monkeypatch.chdir(tmp_path)
    run_recipe("timelines")
    return list(tracequill.Timeline(REPO / "examples/sample-home"))


def check_pandas(namespace, events):
    frame = namespace["events"]
    assert len(frame) == len(events)
    assert str(frame["timestamp"].dtype).startswith("datetime64") and frame["timestamp"].dt.tz
    assert frame["timestamp"].notna().sum() == sum(e["timestamp"] is not None for e in events)


def check_polars(namespace, events):
    frame = namespace["events"]
    assert frame.height == len(events)
    assert frame["timestamp"].null_count() == sum(e["timestamp"] is None for e in events)
    assert str(frame["timestamp"].dtype) == "Datetime(time_unit='us', time_zone='UTC')"


def check_duckdb(namespace, events):
    claude = [e for e in events if e["provider"] == "claude_code"]
    assert sum(n for _, n in namespace["by_type"]) == len(claude)
    sessions = {e["session_id"] for e in claude if e["session_id"] is not None}
    assert {s for s, _ in namespace["sessions"]} == sessions


def check_timesketch(namespace, events):
    with open("timesketch.csv", newline="", encoding="utf-8") as sketch:
        rows = list(csv.DictReader(sketch))
    assert [r["event_id"] for r in rows] == [e["event_id"] for e in events if e["timestamp"]]
    assert all(r["message"] and r["datetime"] and r["timestamp_desc"] for r in rows)


CHECKS = {"pandas": check_pandas, "polars": check_polars, "duckdb": check_duckdb,
          "timesketch": check_timesketch}


def test_every_recipe_is_checked():
    assert sorted(RECIPES) == sorted([*CHECKS, "timelines"])


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_recipe(events, name):
    CHECKS[name](run_recipe(name), events)
