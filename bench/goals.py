#!/usr/bin/env python3
"""Print, in one run, how far every module function is from the floor.

The floor is `floor.c` (built here with the system's cc and libcrypto): read
every file once and SHA-256 it, which no correct parse can beat. Each call is
timed in a fresh child interpreter (CPU = process_time, wall = perf_counter,
around the call alone), and the floor is timed in the same rounds: the jobs of
a case run one after another, round after round (`--runs`), so that a burst of
load from other processes falls on all of them alike. Every figure is a ratio
to the floor of the same run: min to min and median to median.

Cases: generated homes at each `--scales` (scale 1 is about 195 MiB), plus
100,000 files of 10 bytes, plus one JSON line of `--big-line-mb` MiB read
with max_line_size 2 GiB. The obvious Python script (`orjson_job.py`) runs
beside them at every scale.

The stages (`stages.cpp`, built with the system's c++, simdjson and
libcrypto) run as one more job at every scale: what any conversion must do
above the floor, each stage adding one step to the one before: read + SHA-256
(the floor again, as a check), + parse every JSON line, + render parsed lines
back to compact JSON until there are as many bytes as the evidence's jsonl
conversion (measured once per scale before the rounds), + write those bytes,
+ a round trip through a spill file; and last, the plainest conversion there
is (one row per record with its time, type, session, directory, message, an
event id and the file's digest, spilled, sorted and written as JSON lines),
which picks fewer fields than the module and finds no facts or diagnostics.
Their rows have no goals: a function's ratio less theirs is what no
conversion could have saved, and the last row is what a conversion built for
nothing but speed costs.
The "result" rows (`result_job.py`) are the same kind of bound for the calls
that return Python objects: making a `str` of the length and width a `to_*`
call returns, and `marshal.loads` making the objects `parse` returns; the
`--only` label 'result' picks them. From the minimum ratios of these rows, a
call's "bound x" column adds up what it must do whatever its design
(`bound_for`), and "goal - bound" is what its goal leaves for the rest: the
work of turning records into events and rows. A goal below its bound is out
of reach for any implementation on that machine.
`--stages-only` runs the floor and the stages alone at each scale (no tiny or
big-line case), a quick run.

Memory: "peak" is the child's high-water mark (VmHWM) after the call; "over"
is that peak less a baseline, which the goal caps (`MEMORY`):
  * convert: less the resident set after import; at most 100 MB plus three
    times the longest line of the evidence;
  * to_jsonl, to_json, to_csv, parse: less what the process still holds with
    the result alive (VmRSS), i.e. the transient cost above the returned str
    or objects; at most 64 MB;
  * Timeline (transcripts on; the child keeps it alive): less the resident
    set after import, so what the timeline itself holds counts; at most half
    the evidence's bytes.

Usage:
  cmake --preset release && cmake --build --preset release -j2
  PYTHONPATH=build/release python3 bench/goals.py [--scales 1 4] [--runs 5]
      [--data /tmp/tq-goals] [--big-line-mb 1024] [--skip-big-line] [--skip-tiny]
      [--only LABEL ...] [--stages-only]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate_profiles  # noqa: E402
import run_bench  # noqa: E402

MIB = 1024 * 1024
SCALE_MB = 195
TINY_FILES = 100_000

MB = 1_000_000

# How a call's memory is judged: what "over" takes from the peak (a key of the
# child's report) and the goal in bytes, given the longest line and the
# evidence's size in bytes.
MEMORY = {
    "convert": ("peak - import", "rss_after_import", lambda line, evidence: 100 * MB + 3 * line),
    "result": ("peak - result", "rss_holding_result", lambda line, evidence: 64 * MB),
    "evidence": ("peak - import", "rss_after_import", lambda line, evidence: evidence / 2),
}

# (label, function, keyword arguments, CPU goal, memory goal kind)
CALLS = [
    ("convert json", "convert", {"format": "json"}, 2.5, "convert"),
    ("convert jsonl", "convert", {"format": "jsonl"}, 2.5, "convert"),
    ("convert csv", "convert", {"format": "csv"}, 2.5, "convert"),
    ("to_jsonl", "to_jsonl", {}, 3.0, "result"),
    ("to_json", "to_json", {}, 3.0, "result"),
    ("to_csv", "to_csv", {}, 3.0, "result"),
    ("parse", "parse", {}, 4.0, "result"),
    ("Timeline", "Timeline", {"transcripts": True}, 3.0, "evidence"),
]


def build_floor(out_dir: str) -> str:
    exe = os.path.join(out_dir, "floor")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(HERE, "floor.c"), "-lcrypto"], check=True)
    return exe


# stages.cpp's stages in order, each with its row's label.
STAGES = [
    ("hash", "stages: read + SHA-256"),
    ("parse", "stages: read + SHA-256 + parse every line"),
    ("render", "stages: … + render the output"),
    ("write", "stages: … + write the output"),
    ("spill", "stages: … + spill round trip"),
    ("convert", "stages: the plainest conversion (jsonl)"),
]


def build_stages(out_dir: str) -> str:
    exe = os.path.join(out_dir, "stages")
    subprocess.run(["c++", "-O2", "-std=c++20", "-o", exe, os.path.join(HERE, "stages.cpp"),
                    "-lsimdjson", "-lcrypto"], check=True)
    return exe


def file_list(home: str) -> str:
    files = run_bench.input_files(home)
    return "".join(p + "\n" for p in files)


def longest_line(files: list[str]) -> int:
    longest = 0
    for path in files:
        if path.endswith(".jsonl"):
            with open(path, "rb") as f:
                for line in f:
                    longest = max(longest, len(line))
    return longest


def make_tiny_home(home: str) -> None:
    cache = os.path.join(home, ".claude", "paste-cache")
    if os.path.isdir(cache) and len(os.listdir(cache)) == TINY_FILES:
        return
    os.makedirs(cache, exist_ok=True)
    for i in range(TINY_FILES):
        with open(os.path.join(cache, f"{i * 2654435761 % (1 << 64):016x}.txt"), "wb") as f:
            f.write(b"paste %04d" % (i % 10000))
        # One modification time for all: the home is the same on every run.
        os.utime(f.name, (1_750_000_000, 1_750_000_000))


def make_big_line_home(home: str, mib: int) -> None:
    day = os.path.join(home, ".codex", "sessions", "2025", "06", "01")
    path = os.path.join(day, f"rollout-2025-06-01T00-00-00-{uuid.UUID(int=7)}.jsonl")
    head = (b'{"timestamp":"2025-06-01T00:00:00.000Z","type":"response_item","payload":'
            b'{"type":"function_call_output","call_id":"call_1","output":"')
    tail = b'"}}\n'
    size = mib * MIB
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    os.makedirs(day, exist_ok=True)
    chunk = (b"all work and no play " * 50000)[:MIB]
    body = size - len(head) - len(tail)
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(body // MIB):
            f.write(chunk)
        f.write(chunk[: body % MIB])
        f.write(tail)


# The calls whose returned objects have a row of their own ("result: ...").
RESULT_CALLS = ["to_jsonl", "to_json", "to_csv", "parse"]


def run_result(home: str, function: str) -> dict:
    proc = subprocess.run([sys.executable, os.path.join(HERE, "result_job.py"), home, function],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def have_orjson() -> bool:
    try:
        import orjson  # noqa: F401
    except ImportError:
        print("orjson is not installed: its row is left out", file=sys.stderr)
        return False
    return True


def run_floor(exe: str, listing: str) -> dict:
    proc = subprocess.run([exe], input=listing, capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def run_orjson(home: str, output: str) -> dict:
    proc = subprocess.run([sys.executable, os.path.join(HERE, "orjson_job.py"), home, output],
                          capture_output=True, text=True, check=True)
    os.unlink(output)
    return json.loads(proc.stdout)


def run_stages(exe: str, listing: str, output_bytes: int, out_dir: str) -> dict:
    proc = subprocess.run([exe, "--output-bytes", str(output_bytes), "--out-dir", out_dir],
                          input=listing, capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def split_stages(samples: dict) -> dict:
    """Replaces the stages job's samples by one list per stage, in its place."""
    out = {}
    for name, runs in samples.items():
        if name != "stages":
            out[name] = runs
            continue
        for stage, label in STAGES:
            out[label] = [{"cpu": r[stage]["cpu"], "wall": r[stage]["wall"], "peak": r["peak"]}
                          for r in runs]
    return out


def child_call(home: str, function: str, kwargs: dict, output: str) -> dict:
    """One call in a fresh interpreter; whatever it wrote is deleted."""
    r = run_bench.run_child({"function": function, "path": home, "kwargs": kwargs,
                             "output": output})
    if os.path.exists(output):
        os.unlink(output)
    return r


def run_call(home: str, function: str, kwargs: dict, output: str, memory: str) -> dict:
    r = child_call(home, function, kwargs, output)
    baseline = max(r[MEMORY[memory][1]], r["rss_after_import"])
    return {"cpu": r["cpu"], "wall": r["seconds"], "peak": r["rss_peak"],
            "over": r["rss_peak"] - baseline}


def measure(jobs: dict, runs: int) -> dict:
    """Runs every job once per round, `runs` rounds; returns the samples."""
    samples: dict[str, list[dict]] = {name: [] for name in jobs}
    for i in range(runs):
        for name, job in jobs.items():
            print(f"  round {i + 1}/{runs}: {name}", file=sys.stderr)
            samples[name].append(job())
    return samples


def ratios(samples: list[dict], floor: list[dict], key: str) -> tuple[float, float]:
    mine = [s[key] for s in samples]
    base = [s[key] for s in floor]
    return min(mine) / min(base), statistics.median(mine) / statistics.median(base)


def cpu_verdict(cpu_min: float, cpu_med: float, goal: float) -> str:
    if cpu_med <= goal:
        return "yes"
    return "min only" if cpu_min <= goal else "NO"


# The format of each call's output, for its share of the stages' output.
FORMATS = {label: kwargs.get("format", function.removeprefix("to_"))
           for label, function, kwargs, _, _ in CALLS
           if function == "convert" or function.startswith("to_")}


def bound_for(name: str, mins: dict, share: float = 1.0) -> float | None:
    """The least CPU x floor any implementation of call `name` could take,
    from the minimum ratios (`mins`, by label) of the stages and result rows:
    what it must do whatever its design. None when a row it needs is absent.
    The stages render and write as many bytes as the jsonl conversion;
    rendering, writing and spilling cost in proportion to the bytes, so a
    call whose output is `share` times that takes that share of those steps.

      convert     read, hash, parse, render its output, write it, spill it
                  (its memory budget is far below its output);
      to_*        read, hash, parse, render, spill (the result may take 64 MB
                  more, its rows are more), make the returned str;
      parse       read, hash, parse, make the returned objects;
      Timeline    read, hash, parse.
    """
    parse, render, write, spill = (mins.get(label) for _, label in STAGES[1:5])
    function = name.split()[0]
    made = mins.get(f"result: make what {function} returns")
    if function == "convert":
        return None if None in (parse, spill) else parse + (spill - parse) * share
    if function.startswith("to_"):
        if None in (parse, render, write, spill, made):
            return None
        return parse + (render - parse + spill - write) * share + made
    if function == "parse":
        return None if None in (parse, made) else parse + made
    return parse if function == "Timeline" else None


def rows_for(case: str, samples: dict, goals: dict,
             sizes: dict | None = None) -> list[list[str]]:
    """One row per job; `goals` maps a call's label to (CPU goal, memory goal
    in bytes or None, what "over" takes from the peak); `sizes`, the output
    bytes of each format's conversion, when the stages ran."""
    floor = samples["floor"]
    out = [[case, "floor (read + SHA-256)", f"{min(s['cpu'] for s in floor):.3f} s",
            f"{statistics.median(s['cpu'] for s in floor):.3f} s",
            f"{min(s['wall'] for s in floor):.3f} s",
            f"{statistics.median(s['wall'] for s in floor):.3f} s",
            f"{max(s['peak'] for s in floor) / MIB:.0f}", "", "", "", "", "", "", "", ""]]
    mins = {name: ratios(runs, floor, "cpu")[0] for name, runs in samples.items()}
    for name, runs in samples.items():
        if name == "floor":
            continue
        cpu_min, cpu_med = ratios(runs, floor, "cpu")
        wall_min, wall_med = ratios(runs, floor, "wall")
        peak = max(s["peak"] for s in runs)
        over = max(s.get("over", s["peak"]) for s in runs)
        cpu_goal, mem_goal, over_is = goals.get(name, (None, None, "peak"))
        share = sizes[FORMATS[name]] / sizes["jsonl"] if sizes and name in FORMATS else 1.0
        bound = bound_for(name, mins, share) if cpu_goal is not None else None
        out.append([case, name, f"{cpu_min:.2f}", f"{cpu_med:.2f}", f"{wall_min:.2f}",
                    f"{wall_med:.2f}", f"{peak / MIB:.0f}", f"{over / MIB:.0f}", over_is,
                    "" if cpu_goal is None else f"<= {cpu_goal}",
                    "" if cpu_goal is None else cpu_verdict(cpu_min, cpu_med, cpu_goal),
                    "" if bound is None else f"{bound:.2f}",
                    "" if bound is None else f"{cpu_goal - bound:+.2f}",
                    "" if mem_goal is None else f"<= {mem_goal / MIB:.0f}",
                    "" if mem_goal is None else ("yes" if over <= mem_goal else "NO")])
    return out


def print_table(rows: list[list[str]]) -> None:
    head = ["case", "call", "CPU min x", "CPU med x", "wall min x", "wall med x", "peak MiB",
            "over MiB", "over is", "CPU goal", "CPU met", "bound x", "goal - bound",
            "over goal MiB", "mem met"]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
    line = lambda cells: "  ".join(c.ljust(w) if i < 2 else c.rjust(w)  # noqa: E731
                                   for i, (c, w) in enumerate(zip(cells, widths)))
    print(line(head))
    print(line(["-" * w for w in widths]))
    for r in rows:
        print(line(r))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scales", type=int, nargs="*", default=[1, 4])
    ap.add_argument("--runs", type=int, default=5, help="interleaved rounds (default 5)")
    ap.add_argument("--data", default="/tmp/tq-goals", help="where homes are generated and kept")
    ap.add_argument("--big-line-mb", type=int, default=1024)
    ap.add_argument("--big-line-runs", type=int, default=2)
    ap.add_argument("--skip-big-line", action="store_true")
    ap.add_argument("--skip-tiny", action="store_true")
    ap.add_argument("--only", nargs="*",
                    help="labels to run: calls, 'orjson', 'stages', 'result' "
                         "(the floor always runs)")
    ap.add_argument("--stages-only", action="store_true",
                    help="run only the floor and the stages, at the scales asked")
    args = ap.parse_args()

    out_dir = os.path.join(args.data, "out")
    os.makedirs(out_dir, exist_ok=True)
    floor_exe = build_floor(out_dir)
    output = os.path.join(out_dir, "timeline")
    def wanted(label: str) -> bool:
        return not args.stages_only and (not args.only or label in args.only)

    calls = [c for c in CALLS if wanted(c[0])]
    with_stages = args.stages_only or not args.only or "stages" in args.only
    stages_exe = build_stages(out_dir) if with_stages else None
    rows = []
    loads = [os.getloadavg()[0]]

    for scale in args.scales:
        home = os.path.join(args.data, f"scale{scale}")
        generate_profiles.generate(home, SCALE_MB * scale, 1)
        files = run_bench.input_files(home)
        listing = "".join(p + "\n" for p in files)
        run_bench.warm(files)
        line = longest_line(files)
        jobs = {"floor": lambda listing=listing: run_floor(floor_exe, listing)}
        if stages_exe:
            # The stages write as much as the real conversion does.
            sizes = {f: child_call(home, "convert", {"format": f}, output)["output_bytes"]
                     for f in ("jsonl", "json", "csv")}
            size = sizes["jsonl"]
            jobs["stages"] = lambda listing=listing, size=size: run_stages(
                stages_exe, listing, size, out_dir)
        evidence = sum(os.path.getsize(p) for p in files)
        goals = {}
        for label, function, kwargs, cpu_goal, mem in calls:
            jobs[label] = lambda h=home, f=function, k=kwargs, m=mem: run_call(h, f, k, output, m)
            over_is, _, goal = MEMORY[mem]
            goals[label] = (cpu_goal, goal(line, evidence), over_is)
        if wanted("result"):
            for function in RESULT_CALLS:
                jobs[f"result: make what {function} returns"] = (
                    lambda h=home, f=function: run_result(h, f))
        if wanted("orjson") and have_orjson():
            jobs["orjson script (jsonl)"] = lambda h=home: run_orjson(h, output)
        mib = evidence / MIB
        print(f"scale {scale}: {home}, {len(files)} files, {mib:.0f} MiB", file=sys.stderr)
        samples = measure(jobs, args.runs)
        if "stages" in samples:
            s = samples["stages"][0]
            print(f"stages: {s['files']} files, {s['bytes']} bytes, {s['lines']} lines, "
                  f"{s['parse_errors']} parse errors, {s['rendered_bytes']} rendered and "
                  f"{s['output_bytes']} output bytes; the plainest conversion made "
                  f"{s['events']} rows, {s['converted_bytes']} bytes",
                  file=sys.stderr)
        samples = split_stages(samples)
        rows += rows_for(f"scale {scale} ({mib:.0f} MiB)", samples, goals,
                         sizes if stages_exe else None)

    if not args.skip_tiny and not args.stages_only:
        home = os.path.join(args.data, "tiny")
        make_tiny_home(home)
        files = run_bench.input_files(home)
        listing = "".join(p + "\n" for p in files)
        run_bench.warm(files)
        jobs = {"floor": lambda: run_floor(floor_exe, listing),
                "convert jsonl": lambda: run_call(home, "convert", {"format": "jsonl"}, output,
                                                  "convert")}
        rows += rows_for(f"{TINY_FILES} x 10 B", measure(jobs, args.runs),
                         {"convert jsonl": (2.0, None, MEMORY["convert"][0])})

    if not args.skip_big_line and not args.stages_only:
        home = os.path.join(args.data, "bigline")
        make_big_line_home(home, args.big_line_mb)
        files = run_bench.input_files(home)
        listing = "".join(p + "\n" for p in files)
        run_bench.warm(files)
        kwargs = {"format": "jsonl", "max_line_size": 2 * 1024 * MIB}
        jobs = {"floor": lambda: run_floor(floor_exe, listing),
                "convert jsonl": lambda: run_call(home, "convert", kwargs, output, "convert")}
        samples = measure(jobs, args.big_line_runs)
        # The goal is on the whole peak: 2.5 GB for a 1 GiB line.
        for s in samples["convert jsonl"]:
            s["over"] = s["peak"]
        rows += rows_for(f"one {args.big_line_mb} MiB line", samples,
                         {"convert jsonl": (2.0, 2.5e9, "peak")})

    loads.append(os.getloadavg()[0])
    print()
    print(f"ratios to the floor of the same run; {args.runs} interleaved rounds; warm page cache; "
          f"load average {loads[0]:.1f} before, {loads[1]:.1f} after on {os.cpu_count()} CPUs")
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
