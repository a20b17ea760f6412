// File: python/convert.h
//
// Core values on their way into Python: generic JSON values and reports become
// Python objects, `Error`s become the built-in exceptions, rendered bytes become
// a `str`. Functions returning PyRef return an empty handle with a Python
// exception set on failure; the raise_* functions always return nullptr.
//
// Ordinary failures raise built-in classes, with two classes of the module's
// own: `tracequill.WriteError` (derived from both OSError and ValueError, with
// `errno` set) for output the system refused to write, so that `except OSError`
// catches a full disk and `except ValueError` keeps working; and
// `tracequill.InternalError` (derived directly from BaseException so that
// `except Exception` does not swallow it), which reports a broken internal
// invariant or a C++ exception that reached the boundary.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "handles.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/sink.h"

namespace tq::py {

// Sets an exception of class `type` whose only argument is `text` (which may
// hold NUL characters). Returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view text);

// The exception being raised, normalised, taken out of the thread state.
PyRef take_exception();
// Makes `exception` (an instance) the exception being raised.
void restore_exception(PyRef exception);

// Create the module's two classes once per process; return new references.
PyRef create_internal_error_class();
PyRef create_write_error_class();
// Raises the internal-fault class (created by module initialisation) with
// `what`. Returns nullptr.
PyObject* raise_internal_fault(std::string_view what) noexcept;

// Recursive; objects become dicts whose keys are inserted in the value's own
// (ascending byte) order, and integers stay exact across the whole 64-bit range.
PyRef json_to_python(const JsonValue& value);

// {"events": [...], "diagnostics": [...]}, each record a dict of its JSON form
// with its keys in ascending byte order. The report's records are released as
// they are converted. Equal texts of the records share one str, and the lists
// and dicts are left untracked by the cyclic collector (they form a tree).
// Each record holds the fields `surface` holds.
PyRef report_to_python(ParseReport report, Surface surface);

// parse()'s report made as the parse goes: each event becomes its dict as
// soon as the parse hands it over, so the events and their dicts are never
// all held at once; `finish` puts the dicts in report order. The dicts, and
// the report finish() makes, are report_to_python's. Every call needs the
// interpreter lock.
class EventsToPython {
 public:
  explicit EventsToPython(Surface surface);
  ~EventsToPython();
  EventsToPython(const EventsToPython&) = delete;
  EventsToPython& operator=(const EventsToPython&) = delete;

  // Appends the dicts of `events`, in order; false with a Python exception set.
  [[nodiscard]] bool append(const EventList& events);
  // Sets `sha256` as the file digest of the events appended at `positions`;
  // false with a Python exception set.
  [[nodiscard]] bool set_digest(std::span<const size_t> positions, std::string_view sha256);
  // The id of the i-th event appended, held by its dict.
  std::string_view event_id(size_t i) const;
  // {"events": [...], "diagnostics": [...]}: the k-th event is the one
  // appended at order[k], numbered k. Empty with an exception set on failure.
  PyRef finish(std::span<const uint32_t> order, std::vector<Diagnostic> diagnostics);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One event, or a list of diagnostics, as the same dicts report_to_python
// makes for them; the records stay as they are.
PyRef event_to_python(const TimelineEvent& event, Surface surface);
PyRef diagnostics_to_python(std::span<const Diagnostic> diagnostics, Surface surface);

// Raises the OSError subclass that matches `error_number` (FileNotFoundError
// for ENOENT, ...) with `errno` set and `text` as its only argument, so str()
// is the text; plain OSError when the number is 0. Returns nullptr.
PyObject* raise_os_error(int error_number, std::string_view text);

// A failed write of output becomes WriteError with its errno; otherwise Io,
// HashComputation and CsvWrite become OSError (Io the subclass of the number
// its text ends with) and every other variant ValueError. The exception's only
// argument is the error's display text. Returns nullptr.
PyObject* convert_error(const Error& error);

// One output, rendered into whichever target it is given; every call must
// write the same bytes.
class Rendering {
 public:
  virtual Status render(OutputTarget target) const = 0;

 protected:
  ~Rendering() = default;
};

// Runs `rendering` twice with the interpreter lock released: once to count the
// characters of its output and find the widest, then straight into a `str` of
// that size and kind, so the text is never held twice. A render failure raises as convert_error
// does; bytes that aren't UTF-8 raise ValueError "Output is not valid UTF-8: {detail}".
PyRef render_to_string(const Rendering& rendering);

}  // namespace tq::py
