#!/usr/bin/env python3
"""What making a call's returned Python objects costs, with nothing else.

A call that returns a `str` or a list of dicts pays for building those objects
in CPython on top of reading and converting the evidence; no conversion can
save that part, so goals.py prints it beside the stages. This job makes the
call once, untimed, then times only the making of an equal result:

  to_jsonl, to_json, to_csv  a fresh `str` of the same length and character
                             width (one, two or four bytes), written once by
                             repeating one character: the fewest steps that
                             give CPython a filled string of that size;
  parse                      `marshal.loads` of the returned dict, with the
                             collector paused as the module pauses it:
                             CPython's own fastest loader making the same
                             dicts, lists, strings and numbers, sharing what
                             the result shares.

Usage: python3 bench/result_job.py HOME FUNCTION   (prints CPU and wall seconds
and the peak resident set as JSON)
"""

from __future__ import annotations

import gc
import json
import marshal
import resource
import sys
import time

import tracequill

# One character of each kind of str CPython stores: ASCII, other Latin-1, two
# bytes a character and four.
KINDS = ["a", "\u00e9", "\u0100", "\U00010000"]


def kind_of(text: str) -> str:
    """A character whose repetition is stored as `text` is: told by sizes,
    since looking at every character would take longer than the call."""
    for char in KINDS:
        step = sys.getsizeof(char * 2) - sys.getsizeof(char)
        if sys.getsizeof(text) == sys.getsizeof(char) + step * (len(text) - 1):
            return char
    raise AssertionError("a str of a kind CPython does not have")


def main() -> int:
    home, function = sys.argv[1], sys.argv[2]
    result = getattr(tracequill, function)(home)
    if function == "parse":
        data = marshal.dumps(result)
        del result
        make = lambda: marshal.loads(data)  # noqa: E731
    else:
        length, char = len(result), kind_of(result)
        del result
        make = lambda: char * length  # noqa: E731
    # The module makes its objects with the collector paused, so the loader
    # does too: a collection pass per few hundred new dicts is not the
    # objects' own cost.
    gc.disable()
    began_cpu, began = time.process_time(), time.perf_counter()
    made = make()
    seconds_cpu, seconds = time.process_time() - began_cpu, time.perf_counter() - began
    gc.enable()
    del made
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"cpu": seconds_cpu, "wall": seconds, "peak": peak}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
