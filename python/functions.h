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

#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "convert.h"
#include "error/error.h"
#include "files/evidence.h"
#include "model/model.h"
#include "output/format.h"
#include "output/selection.h"
#include "output/sink.h"
#include "query/coverage.h"
#include "query/query.h"

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

// ValueError "Invalid format '{name}': expected 'json', 'jsonl', or 'csv'"
// (the formats `offered`).
PyObject* raise_invalid_format(std::string_view name, Formats offered);

// What a parse accounted for, which the page shows as its coverage: every
// file under the input and the whole parse's events and diagnostics.
struct ParseAccounts {
  std::span<const FileAccount> accounts;
  EventSelection events;
  std::span<const Diagnostic> diagnostics;
};

// One output of `format` over a selection of events (and, for JSON, the
// diagnostics). Refers to what it renders, which must outlive it.
class EventsRendering final : public Rendering {
 public:
  EventsRendering(EventSelection events, std::span<const Diagnostic> diagnostics, Format format,
                  RenderOptions options, std::optional<ParseAccounts> accounts = std::nullopt)
      : events_(events),
        diagnostics_(diagnostics),
        format_(format),
        options_(options),
        accounts_(accounts) {}
  // The page also shows the summary of its events and the parse's coverage,
  // made here for it.
  Status render(OutputTarget target) const override {
    if (format_ != Format::Html)
      return tq::render(events_, diagnostics_, format_, target, options_);
    const JsonValue summary = summarize(events_, diagnostics_);
    const JsonValue coverage =
        accounts_ ? coverage_report(accounts_->accounts, accounts_->events, accounts_->diagnostics)
                  : JsonValue();
    RenderOptions options = options_;
    options.summary = &summary;
    if (accounts_) options.coverage = &coverage;
    return tq::render(events_, diagnostics_, format_, target, options);
  }

 private:
  EventSelection events_;
  std::span<const Diagnostic> diagnostics_;
  Format format_;
  RenderOptions options_;
  std::optional<ParseAccounts> accounts_;  // none: the page shows no coverage
};

// Writes `rendering` into the file `path` (output/destination.h): refused when
// `scope` says it is evidence of the parse, written beside it and renamed into
// place. The checks, the rendering and the rename run with the lock released;
// Ctrl-C (a pending signal whose handler raises) ends the output and raises.
// Returns None, or nullptr with an exception set.
PyObject* write_file(const std::string& path, const EvidenceScope& scope,
                     const Rendering& rendering);
// As write_file, into the caller's open descriptor `fd` as the rendering goes.
PyObject* write_stream(int fd, const EvidenceScope& scope, const Rendering& rendering);

// Writes through Python code instead of a rendering: `write(fd)` (a new
// reference, or nullptr with an exception set) is called with the lock held,
// on the temporary file of `path` or on the checked descriptor `fd`; the same
// refusals, the same rename into place, and a failed write leaves nothing.
using DescriptorWriter = std::function<PyObject*(int fd)>;
PyObject* write_file_with(const std::string& path, const EvidenceScope& scope,
                          const DescriptorWriter& write);
PyObject* write_stream_with(int fd, const EvidenceScope& scope, const DescriptorWriter& write);

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

// How many bytes of events a store keeps in memory before it moves them to a
// temporary file: TRACEQUILL_SPILL_BUDGET when it is a number, else the
// store's own budget.
size_t spill_budget();

}  // namespace tq::py
