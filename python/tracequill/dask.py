"""Many homes at once: one Timeline per home, spread over a Dask cluster.

    from tracequill.dask import read_timelines

    events, diagnostics = read_timelines(["/evidence/*/home"], include_raw=True)
    events.groupby("provider").size().compute()
    events.to_parquet("fleet/")          # one file per home

`events` holds the columns of `pyarrow.table(Timeline(home))` (Arrow types,
kept as pandas' ArrowDtype) after a first column `home`; `diagnostics` holds
each home's diagnostics (home, code, severity, source, message). One
partition per home, homes in the order given, each glob's matches sorted, so
the same paths give the same frames on any cluster. A home that can't be read
gives no events and one diagnostic of code "unreadable_home" whose message is
the error, instead of failing the job. Both frames come from the same tasks:
`dask.compute(events, diagnostics)` reads each home once.

Needs `pip install 'tracequill[dask]'`.
"""

from __future__ import annotations

import glob
import importlib
import os
import tempfile
from collections.abc import Iterable
from typing import Any, NamedTuple

import tracequill

try:
    import dask.dataframe as dd
    from dask.delayed import delayed

    # Untyped libraries, taken as such.
    pd: Any = importlib.import_module("pandas")
    pa: Any = importlib.import_module("pyarrow")
except ImportError:
    # The missing module shows in the context of this error.
    raise ModuleNotFoundError(
        "tracequill.dask needs Dask and pyarrow: pip install 'tracequill[dask]'"
    )

__all__ = ["Timelines", "read_timelines", "UNREADABLE_HOME"]

# The code of the diagnostic a home that can't be read leaves.
UNREADABLE_HOME = "unreadable_home"


class Timelines(NamedTuple):
    events: Any  # dask.dataframe.DataFrame
    diagnostics: Any  # dask.dataframe.DataFrame


def expand_homes(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The homes `paths` name, in order, each glob's matches sorted, each home once."""
    given = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    homes: dict[str, None] = {}
    for path in (os.fspath(p) for p in given):
        matches = sorted(glob.glob(path)) if glob.has_magic(path) else [path]
        homes.update(dict.fromkeys(matches))
    return list(homes)


def schemas(options: dict[str, Any]) -> tuple[Any, Any]:
    """The events' and the diagnostics' Arrow schemas for a parse with `options`."""
    # The columns depend on the options only: an empty profile gives them.
    with tempfile.TemporaryDirectory() as empty:
        os.mkdir(os.path.join(empty, ".codex"))
        events = pa.table(tracequill.Timeline(empty, **options)).schema
    events = events.insert(0, pa.field("home", pa.string(), False))
    diagnostics = pa.schema([
        pa.field("home", pa.string(), False),
        pa.field("code", pa.string(), False),
        pa.field("severity", pa.string(), False),
        pa.field("source", events.field("source").type),
        pa.field("message", pa.string(), False),
    ])
    return events, diagnostics


def frame(table: Any) -> Any:
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def read_home(home: str, options: dict[str, Any], events_schema: Any,
              diagnostics_schema: Any) -> tuple[Any, Any]:
    """One home's events and diagnostics as pandas frames of Arrow columns."""
    found: list[dict[str, Any]]
    try:
        timeline = tracequill.Timeline(home, **options)
    except (OSError, ValueError) as error:
        found = [{"code": UNREADABLE_HOME, "severity": "error", "source": None,
                  "message": str(error)}]
        events = events_schema.empty_table()
    else:
        found = [dict(d) for d in timeline.diagnostics]
        table = pa.table(timeline)
        del timeline  # the columns hold all of it now
        events = table.add_column(0, events_schema.field("home"),
                                  pa.array([home] * table.num_rows, pa.string()))
    diagnostics = pa.Table.from_pylist([{"home": home, **d} for d in found],
                                       schema=diagnostics_schema)
    return frame(events.cast(events_schema)), frame(diagnostics)


def read_timelines(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                   **options: Any) -> Timelines:
    """Each home's Timeline(home, **options) as one partition of `events`, and
    the diagnostics of all homes as `diagnostics`. Each task reads its home on
    one thread unless `workers` says otherwise: the cluster's processes are the
    parallelism."""
    options.setdefault("workers", 1)
    homes = expand_homes(paths)
    events_schema, diagnostics_schema = schemas(options)
    parts = [delayed(read_home, pure=True, nout=2)(home, options, events_schema,
                                                   diagnostics_schema)
             for home in homes]
    return Timelines(
        dd.from_delayed([p[0] for p in parts], meta=frame(events_schema.empty_table()),
                        divisions=None, verify_meta=False),
        dd.from_delayed([p[1] for p in parts], meta=frame(diagnostics_schema.empty_table()),
                        divisions=None, verify_meta=False),
    )
