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
#include <new>

#include "convert.h"

namespace tq::py {

PyObject* parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* convert(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_jsonl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* to_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs `body` (returning a new reference or nullptr with an exception set),
// turning any C++ exception into a Python exception. Module initialisation uses
// it too.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
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
