#!/usr/bin/env python3
"""Time tracequill on a large generated home directory and compare it with
hashing the same files.

The harness builds nothing: it imports whatever `tracequill` the interpreter
finds (installed, or put on PYTHONPATH, e.g. PYTHONPATH=build/bench).

Every measurement runs in a fresh child interpreter, so that each peak RSS
(ru_maxrss) belongs to one call alone. A child imports the module, notes its
RSS, makes the call once under time.perf_counter() and notes the peak RSS
right after the call, before it looks at the result. Each function is run
--runs times; the table shows the best (lowest) wall time and the highest
peak RSS seen.

The speed target is the time it takes to SHA-256 the same input files:
  * "sha256 (hashlib)":  Python's hashlib (OpenSSL, the same library the
    module hashes with) over every file in path order, 1 MiB reads, timed
    inside a child interpreter;
  * "sha256sum (coreutils)": `find .codex .claude -type f -print0 | xargs -0
    sha256sum >/dev/null`, timed around the whole pipeline;
  * "read (cat)": the same pipeline with `cat`, the floor for reading alone.
All runs are with a warm page cache: every file is read once before timing.

Usage:
  PYTHONPATH=build/bench python3 bench/run_bench.py --quick
  PYTHONPATH=build/bench python3 bench/run_bench.py --size-mb 1000 --json out.json
  PYTHONPATH=build/bench python3 bench/run_bench.py --data /tmp/tq-home --keep
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate_profiles  # noqa: E402

MIB = 1024 * 1024
PROFILE_DIRS = (".codex", ".claude")

# (label, function, keyword arguments besides the path; "output" = temp file)
MEASUREMENTS = [
    ("parse", "parse", {}),
    ("to_json", "to_json", {}),
    ("to_jsonl", "to_jsonl", {}),
    ("to_csv", "to_csv", {}),
    ("convert json", "convert", {"format": "json"}),
    ("convert jsonl", "convert", {"format": "jsonl"}),
    ("convert csv", "convert", {"format": "csv"}),
    ("Timeline", "Timeline", {"transcripts": True}),
]


# ---- child side ------------------------------------------------------------

def maxrss_bytes() -> int:
    """Peak resident set size of this process image, in bytes.

    ru_maxrss survives exec, so a child forked from a big parent would report
    the parent's size; VmHWM belongs to the address space and starts afresh
    at exec. ru_maxrss is the fall-back where /proc is missing."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kilobytes on Linux


def current_rss_bytes() -> int | None:
    """Resident set now (VmRSS), or None where /proc is missing."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def child_call(job: dict) -> dict:
    """Makes one call and reports its time and memory. The result (a str, the
    parsed dict, a Timeline) stays alive until the resident set is noted."""
    import tracequill

    func = getattr(tracequill, job["function"])
    kwargs = dict(job["kwargs"])
    args = [job["path"]]
    if job["function"] == "convert":
        args.append(job["output"])
    rss_before = maxrss_bytes()
    cpu_began = time.process_time()
    began = time.perf_counter()
    result = func(*args, **kwargs)
    seconds = time.perf_counter() - began
    cpu = time.process_time() - cpu_began
    rss_peak = maxrss_bytes()
    out = {"seconds": seconds, "cpu": cpu, "rss_after_import": rss_before, "rss_peak": rss_peak,
           "rss_holding_result": current_rss_bytes(),
           "module": getattr(tracequill, "__file__", None),
           "version": getattr(tracequill, "__version__", None)}
    if isinstance(result, str):
        out["output_chars"] = len(result)
    elif isinstance(result, tracequill.Timeline):
        out["events"] = len(result)
    elif isinstance(result, dict):
        events = result["events"]
        diagnostics = result["diagnostics"]
        out["events"] = len(events)
        out["diagnostics"] = len(diagnostics)
        counts: dict[str, int] = {}
        for e in events:
            counts[e["event_type"]] = counts.get(e["event_type"], 0) + 1
        out["events_by_type"] = dict(sorted(counts.items()))
        codes: dict[str, int] = {}
        for d in diagnostics:
            codes[d["code"]] = codes.get(d["code"], 0) + 1
        out["diagnostics_by_code"] = dict(sorted(codes.items()))
    if job["function"] == "convert":
        out["output_bytes"] = os.path.getsize(job["output"])
    return out


def child_hashlib(job: dict) -> dict:
    files = job["files"]
    buf = bytearray(MIB)
    view = memoryview(buf)
    rss_before = maxrss_bytes()
    began = time.perf_counter()
    for path in files:
        h = hashlib.sha256()
        with open(path, "rb", buffering=0) as f:
            while n := f.readinto(buf):
                h.update(view[:n])
        h.hexdigest()
    seconds = time.perf_counter() - began
    return {"seconds": seconds, "rss_after_import": rss_before, "rss_peak": maxrss_bytes()}


def child_main(job_json: str) -> int:
    job = json.loads(job_json)
    result = child_hashlib(job) if job["function"] == "__hashlib__" else child_call(job)
    sys.stdout.write(json.dumps(result))
    return 0


# ---- parent side -----------------------------------------------------------

def run_child(job: dict) -> dict:
    """Run one measurement in a fresh interpreter and return its report."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(job, f)  # the file list can be too long for argv
        job_path = f.name
    try:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", job_path],
                              capture_output=True, text=True)
    finally:
        os.unlink(job_path)
    if proc.returncode != 0:
        raise RuntimeError(f"child for {job['function']} failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout)


def run_shell(command: str) -> dict:
    """Wall time of one shell pipeline (its memory is a few MiB and not
    measured: ru_maxrss of a forked child includes this process's size)."""
    began = time.perf_counter()
    subprocess.run(["/bin/sh", "-c", command], check=True)
    return {"seconds": time.perf_counter() - began, "rss_peak": None}


def input_files(home: str) -> list[str]:
    """Every regular file of both profiles, in path order."""
    files = []
    for sub in PROFILE_DIRS:
        for root, dirs, names in os.walk(os.path.join(home, sub)):
            dirs.sort()
            for n in sorted(names):
                p = os.path.join(root, n)
                if os.path.isfile(p) and not os.path.islink(p):
                    files.append(p)
    return files


def warm(files: list[str]) -> None:
    buf = bytearray(MIB)
    for p in files:
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


def summarise(label: str, runs: list[dict], input_bytes: int) -> dict:
    times = [r["seconds"] for r in runs]
    best = min(times)
    row = {
        "name": label,
        "runs": len(runs),
        "best_s": best,
        "median_s": statistics.median(times),
        "mb_per_s": input_bytes / MIB / best if best > 0 else float("inf"),
        "peak_rss_bytes": None if runs[0]["rss_peak"] is None else max(r["rss_peak"] for r in runs),
    }
    if "rss_after_import" in runs[0]:
        row["rss_after_import_bytes"] = min(r["rss_after_import"] for r in runs)
    for key in ("output_bytes", "output_chars", "events", "diagnostics",
                "events_by_type", "diagnostics_by_code", "module", "version"):
        if key in runs[0]:
            row[key] = runs[0][key]
    return row


def fmt_table(rows: list[dict], target: dict) -> str:
    head = ["measurement", "best s", "median s", "MiB/s", "x hash", "peak RSS MiB", "RSS import", "output MiB"]
    lines = []
    for r in rows:
        out = r.get("output_bytes", r.get("output_chars"))
        lines.append([
            r["name"], f"{r['best_s']:.3f}", f"{r['median_s']:.3f}", f"{r['mb_per_s']:.1f}",
            f"{r['best_s'] / target['best_s']:.2f}",
            "-" if r["peak_rss_bytes"] is None else f"{r['peak_rss_bytes'] / MIB:.1f}",
            "-" if r.get("rss_after_import_bytes") is None else f"{r['rss_after_import_bytes'] / MIB:.1f}",
            "" if out is None else f"{out / MIB:.1f}",
        ])
    widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(head)]
    fmt_row = lambda cells: "  ".join(c.ljust(w) if i == 0 else c.rjust(w)  # noqa: E731
                                      for i, (c, w) in enumerate(zip(cells, widths)))
    text = [fmt_row(head), fmt_row(["-" * w for w in widths])]
    text += [fmt_row(l) for l in lines]
    return "\n".join(text)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="a ~50 MiB profile (same as --size-mb 50)")
    ap.add_argument("--size-mb", type=float, default=None, help="profile size to generate (default 1000)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--data", help="home directory to use; generated there if it holds no matching profile")
    ap.add_argument("--keep", action="store_true", help="keep a generated temporary profile")
    ap.add_argument("--runs", type=int, default=3, help="runs per measurement, best is reported (default 3)")
    ap.add_argument("--only", nargs="*", help="measurement names to run (e.g. parse 'convert csv')")
    ap.add_argument("--include-content", action="store_true", help="pass include_content=True")
    ap.add_argument("--include-raw", action="store_true", help="pass include_raw=True")
    ap.add_argument("--tmp", default="/tmp", help="where temporary profiles and outputs go (default /tmp)")
    ap.add_argument("--json", help="also write the results to this JSON file")
    ap.add_argument("--compressed-rollouts", action="store_true",
                    help="generate the profile with every rollout compressed (zstd)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        with open(args.child) as f:
            return child_main(f.read())
    known = [label for label, _, _ in MEASUREMENTS]
    unknown = [name for name in args.only or [] if name not in known]
    if unknown:
        ap.error(f"unknown measurement {', '.join(unknown)}; choose from {', '.join(known)}")

    size_mb = args.size_mb if args.size_mb is not None else (50 if args.quick else 1000)
    made_temp = args.data is None
    home = args.data or tempfile.mkdtemp(prefix="tq-bench-home-", dir=args.tmp)
    out_dir = tempfile.mkdtemp(prefix="tq-bench-out-", dir=args.tmp)
    try:
        profile = generate_profiles.generate(home, size_mb, args.seed,
                                             compressed=args.compressed_rollouts)
        files = input_files(home)
        input_bytes = sum(os.path.getsize(p) for p in files)
        print(f"input: {home}  {len(files)} files, {input_bytes / MIB:.1f} MiB", file=sys.stderr)
        warm(files)

        load_before = os.getloadavg()
        dirs = " ".join(f"'{os.path.join(home, d)}'" for d in PROFILE_DIRS)
        baselines = []
        print("hashing baselines ...", file=sys.stderr)
        baselines.append(summarise("sha256 (hashlib)", [
            run_child({"function": "__hashlib__", "files": files}) for _ in range(args.runs)], input_bytes))
        baselines.append(summarise("sha256sum (coreutils)", [
            run_shell(f"find {dirs} -type f -print0 | xargs -0 sha256sum >/dev/null")
            for _ in range(args.runs)], input_bytes))
        baselines.append(summarise("read (cat)", [
            run_shell(f"find {dirs} -type f -print0 | xargs -0 cat >/dev/null")
            for _ in range(args.runs)], input_bytes))
        target = baselines[0]

        extra = {}
        if args.include_content:
            extra["include_content"] = True
        if args.include_raw:
            extra["include_raw"] = True
        rows = []
        for label, function, kwargs in MEASUREMENTS:
            if args.only and label not in args.only:
                continue
            print(f"{label} ...", file=sys.stderr)
            runs = []
            for i in range(args.runs):
                output = os.path.join(out_dir, f"timeline.{kwargs.get('format', 'out')}")
                runs.append(run_child({"function": function, "path": home,
                                       "kwargs": {**kwargs, **extra}, "output": output}))
                if os.path.exists(output):
                    os.unlink(output)
            rows.append(summarise(label, runs, input_bytes))
        load_after = os.getloadavg()

        print()
        print(f"input {input_bytes / MIB:.1f} MiB in {len(files)} files "
              f"({profile['jsonl_lines']} JSONL lines); best of {args.runs}; warm page cache")
        print("x hash = best time / best time of sha256 (hashlib)")
        print(fmt_table(baselines + rows, target))
        parse_row = next((r for r in rows if r["name"] == "parse"), None)
        if parse_row:
            print(f"\nevents {parse_row['events']}, diagnostics {parse_row['diagnostics']}; "
                  f"parse {parse_row['events'] / parse_row['best_s']:.0f} events/s")
            print("events by type: " + ", ".join(f"{k} {v}" for k, v in parse_row["events_by_type"].items()))
            if parse_row["diagnostics_by_code"]:
                print("diagnostics by code: " + ", ".join(
                    f"{k} {v}" for k, v in parse_row["diagnostics_by_code"].items()))
        module = next((r.get("module") for r in rows if r.get("module")), None)
        print(f"module {module}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after "
              f"on {os.cpu_count()} CPUs")

        if args.json:
            with open(args.json, "w") as f:
                json.dump({
                    "input": {"home": home, "files": len(files), "bytes": input_bytes,
                              "profile": profile},
                    "runs": args.runs,
                    "options": extra,
                    "baselines": baselines,
                    "results": rows,
                    "environment": {"python": sys.version, "platform": platform.platform(),
                                    "cpus": os.cpu_count(), "module": module,
                                    "load_before": load_before, "load_after": load_after},
                }, f, indent=2)
            print(f"results written to {args.json}", file=sys.stderr)
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
        if made_temp and not args.keep:
            shutil.rmtree(home, ignore_errors=True)
        elif made_temp:
            print(f"profile kept in {home}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
