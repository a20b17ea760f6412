"""Parquet output: a timeline's Arrow stream written by pyarrow.

`Timeline.write` calls `write` with a descriptor it has made safe (a file
beside the target, renamed into place once written, or a descriptor it has
checked); this module only turns batches into row groups.
"""

import importlib
import os
from typing import Any

MISSING = "Parquet output needs pyarrow: pip install 'tracequill[parquet]'"

# Row groups of about 128 Ki rows (DuckDB and Spark split scans by row group;
# fewer than this costs them metadata, more only memory), cut earlier at
# 64 MiB of columns so that rows holding file content stay scannable.
ROW_GROUP_ROWS = 128 * 1024
ROW_GROUP_BYTES = 64 * 1024 * 1024


def require() -> tuple[Any, Any]:
    """pyarrow and its Parquet module, or an ImportError naming the extra."""
    try:
        return importlib.import_module("pyarrow"), importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise ModuleNotFoundError(MISSING, name="pyarrow") from None


def write(timeline: Any, fd: int) -> None:
    """Writes `timeline` as zstd-compressed Parquet to `fd`, which stays open."""
    pa, pq = require()
    reader = pa.RecordBatchReader.from_stream(timeline)
    with os.fdopen(os.dup(fd), "wb") as file, pq.ParquetWriter(
        file, reader.schema, compression="zstd"
    ) as writer:
        pending: list[Any] = []
        rows = size = 0
        for batch in reader:
            pending.append(batch)
            rows += batch.num_rows
            size += batch.nbytes
            if rows >= ROW_GROUP_ROWS or size >= ROW_GROUP_BYTES:
                writer.write_table(pa.Table.from_batches(pending), row_group_size=rows)
                pending, rows, size = [], 0, 0
        if pending:
            writer.write_table(pa.Table.from_batches(pending), row_group_size=rows)
