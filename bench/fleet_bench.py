#!/usr/bin/env python3
"""The fleet benchmark: many homes read on a local Dask cluster, and what the
Arrow export costs beside JSON Lines.

    PYTHONPATH=build/check python bench/fleet_bench.py [--root /tmp/tq-fleet] [--homes 200]

1. Writes (or reuses) --homes generated homes of mixed sizes under --root:
   one in 20 a large home (15 MiB asked, with megabyte lines), one in 4 a
   medium one (2 MiB), the rest small (20 KiB asked; a few hundred KiB
   written, caches and snapshots included).
2. Runs the same job three ways, each in a fresh process: a plain loop in one
   process (Timeline, Arrow table, counts by home and provider), and
   read_timelines on a LocalCluster of 1 and of 2 single-threaded worker
   processes. Prints the wall time, homes and MiB per second, and each
   worker's peak RSS above what it held before the job.
3. Measures, in one process per home, the peak RSS a Timeline of the largest
   home adds, which a worker's peak is compared with.
4. Times the Arrow stream (batches read and dropped) against to_jsonl and
   against JSON Lines written to /dev/null on the largest home, and the RSS
   the stream adds above the parse.

Figures depend on what else the machine runs; it prints its load average.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate_profiles  # noqa: E402

MIB = 1024 * 1024


def home_sizes(count: int) -> list[tuple[float, bool]]:
    """(MiB asked, megabyte lines) of each home, in a fixed mix."""
    return [(15, True) if i % 20 == 0 else (2, False) if i % 4 == 1 else (0.02, False)
            for i in range(count)]


def make_fleet(root: str, count: int) -> list[str]:
    homes = []
    for i, (size, big) in enumerate(home_sizes(count)):
        home = os.path.join(root, f"home-{i:04}")
        generate_profiles.generate(home, size, seed=i + 1, quiet=True, big_lines=big)
        homes.append(home)
    return homes


def tree_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)


# Each job runs in a fresh interpreter so that peaks are its own.
PLAIN = r"""
import json, resource, sys, time
import pyarrow as pa, pyarrow.compute as pc, tracequill
homes = json.loads(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
began = time.perf_counter()
counts = {}
for home in homes:
    table = pa.table(tracequill.Timeline(home, workers=1))
    for row in table.group_by("provider").aggregate([("provider", "count")]).to_pylist():
        counts[(home, row["provider"])] = row["provider_count"]
seconds = time.perf_counter() - began
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "events": sum(counts.values()),
                  "peak_above_start_kib": [peak - before]}))
"""

CLUSTER = r"""
import json, resource, sys, time
import distributed
from tracequill.dask import read_timelines
def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if __name__ == "__main__":
    homes, workers = json.loads(sys.argv[1]), int(sys.argv[2])
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
         distributed.Client(cluster) as client:
        # A worker's start is taken with the modules a task loads already loaded.
        client.run(lambda: __import__("tracequill.dask"))
        before = client.run(peak_kib)
        began = time.perf_counter()
        events, diagnostics = read_timelines(homes)
        # One reduction, no shuffle: the groups are few beside the events.
        counts = events.groupby(["home", "provider"], observed=True).size(split_out=1).compute()
        seconds = time.perf_counter() - began
        after = client.run(peak_kib)
    print(json.dumps({"seconds": seconds, "events": int(counts.sum()),
                      "peak_above_start_kib": [after[w] - before[w] for w in sorted(after)]}))
"""

HOME_PEAK = r"""
import json, resource, sys
import pyarrow, tracequill
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tl = tracequill.Timeline(sys.argv[1], workers=1)
print(json.dumps({"kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before}))
"""

EXPORT = r"""
import json, os, resource, sys, time
import pyarrow as pa, tracequill
tl = tracequill.Timeline(sys.argv[1], include_raw=True, include_content=True, workers=1)
def best(f, runs=3):
    times = []
    for _ in range(runs):
        began = time.perf_counter(); f(); times.append(time.perf_counter() - began)
    return min(times)
def stream():
    for batch in pa.RecordBatchReader.from_stream(tl):
        pass
def devnull():
    fd = os.open(os.devnull, os.O_WRONLY)
    try:
        tl.write(fd, "jsonl")
    finally:
        os.close(fd)
stream()  # pyarrow's first use loads its modules
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
arrow = best(stream)
stream_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(json.dumps({"events": len(tl), "arrow": arrow, "to_jsonl": best(tl.to_jsonl),
                  "jsonl_devnull": best(devnull), "stream_peak_above_parse_kib": stream_kib}))
"""


def run(code: str, *arguments: str) -> dict:
    out = subprocess.run([sys.executable, "-c", code, *arguments], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--root", default="/tmp/tq-fleet")
    ap.add_argument("--homes", type=int, default=200)
    args = ap.parse_args()

    homes = make_fleet(args.root, args.homes)
    sizes = {home: tree_bytes(home) for home in homes}
    total = sum(sizes.values())
    largest = max(homes, key=sizes.__getitem__)
    print(f"{len(homes)} homes, {total / MIB:.0f} MiB, largest {sizes[largest] / MIB:.1f} MiB; "
          f"load average {os.getloadavg()[0]:.1f}")

    given = json.dumps(homes)
    largest_kib = run(HOME_PEAK, largest)["kib"]
    print(f"a Timeline of the largest home adds {largest_kib / 1024:.0f} MiB of RSS")
    results = {"plain loop": run(PLAIN, given)}
    for workers in (1, 2):
        results[f"{workers} worker{'s' * (workers > 1)}"] = run(CLUSTER, given, str(workers))
    for name, r in results.items():
        peaks = ", ".join(f"{k / 1024:.0f}" for k in r["peak_above_start_kib"])
        print(f"{name:>10}: {r['seconds']:6.1f} s  {len(homes) / r['seconds']:6.1f} homes/s  "
              f"{total / MIB / r['seconds']:6.1f} MiB/s  {r['events']} events  "
              f"peak RSS above start {peaks} MiB "
              f"({max(r['peak_above_start_kib']) / largest_kib:.1f}x the largest home)")
    print(f"2 workers / 1 worker: {results['1 worker']['seconds'] / results['2 workers']['seconds']:.2f}x")

    export = run(EXPORT, largest)
    print(f"export of the largest home ({export['events']} events, raw and content): "
          f"Arrow stream {export['arrow'] * 1000:.0f} ms, to_jsonl {export['to_jsonl'] * 1000:.0f} ms, "
          f"JSON Lines to /dev/null {export['jsonl_devnull'] * 1000:.0f} ms; "
          f"Arrow / to_jsonl {export['arrow'] / export['to_jsonl']:.2f}x, "
          f"Arrow / /dev/null {export['arrow'] / export['jsonl_devnull']:.2f}x; "
          f"the stream's peak above the parse {export['stream_peak_above_parse_kib'] / 1024:.0f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
