// File: python/timeline.h
//
// The type `tracequill.Timeline`: one parse kept in native form, read many
// ways. The constructor parses once with the interpreter lock released, on
// `workers` threads, reporting progress to a Python callable and checking for
// pending signals at least every 100 ms, so Ctrl-C ends a long parse at once
// with KeyboardInterrupt. Events become Python dicts only when asked for, one
// at a time; outputs are rendered by the same writers as the module functions,
// so equal options give equal bytes. `filter` and slicing make new Timelines
// over the same report, without parsing or copying events.
#pragma once

#include <Python.h>

#include "handles.h"

namespace tq::py {

// Creates the type (a heap type whose __module__ is "tracequill"); a new
// reference, or empty with an exception set.
PyRef create_timeline_type();

}  // namespace tq::py
