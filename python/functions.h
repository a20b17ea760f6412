// File: python/functions.h
//
// The five module functions in the interpreter's fast calling convention with
// keywords. Each returns a new reference, or nullptr with an exception set, and
// lets no C++ exception escape: a std::bad_alloc becomes MemoryError, anything
// else `tracequill.InternalError`.
//
// Every call parses with the interpreter lock released and, for the output
// functions, renders or writes with it released again; argument conversion,
// __fspath__ calls, building results and raising happen with the lock held.
#pragma once

#include <Python.h>
#include <sys/stat.h>

#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "convert.h"
#include "error/error.h"
#include "files/evidence.h"
#include "model/model.h"
#include "output/selection.h"
#include "output/sink.h"

namespace tq::py {

PyObject* parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* convert(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_jsonl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef stores every function as PyCFunction; the flags tell the
// interpreter the real signature. The detour through void(*)() is the
// sanctioned way to say that the cast is intended.
inline PyCFunction as_method(FastFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A destination that is one of the files a parse read (`convert(f, f)`, or a
// profile's own history) is refused before a byte of it changes: raises plain
// OSError "Cannot create '{path}': it is an input of this parse" and returns
// -1 when `st` describes a file `scope` recorded; 0 otherwise.
int refuse_input(const std::string& path, const struct stat& st, const EvidenceScope& scope);

enum class Format { Json, Jsonl, Csv };

// "json", "jsonl" or "csv", compared exactly; none for anything else.
std::optional<Format> format_from_name(std::string_view name);
// ValueError "Invalid format '{name}': expected 'json', 'jsonl', or 'csv'".
PyObject* raise_invalid_format(std::string_view name);

// Renders with `format`'s writer into `target`: the JSON document holds the
// events and the diagnostics, the other formats only the events. Runs without
// the interpreter lock; touches no Python object.
[[nodiscard]] Status render(EventSelection events, std::span<const Diagnostic> diagnostics,
                            Format format, OutputTarget target, bool pretty, bool include_message,
                            bool include_content);

// One output of `format` over a selection of events (and, for JSON, the
// diagnostics), for render_to_string. Refers to what it renders, which must
// outlive it.
class EventsRendering final : public Rendering {
 public:
  EventsRendering(EventSelection events, std::span<const Diagnostic> diagnostics, Format format,
                  bool pretty, bool include_message, bool include_content)
      : events_(events),
        diagnostics_(diagnostics),
        format_(format),
        pretty_(pretty),
        include_message_(include_message),
        include_content_(include_content) {}
  Status render(OutputTarget target) const override {
    return tq::py::render(events_, diagnostics_, format_, target, pretty_, include_message_,
                          include_content_);
  }

 private:
  EventSelection events_;
  std::span<const Diagnostic> diagnostics_;
  Format format_;
  bool pretty_;
  bool include_message_;
  bool include_content_;
};

// Runs `body` (returning a new reference or nullptr with an exception set),
// turning any C++ exception into a Python exception. Module initialisation uses
// it too.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  prepare_thread_for_exceptions();
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      return raise_internal_fault("failed without an exception");
    }
    return result;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown C++ exception");
  }
}

}  // namespace tq::py
