// File: python/handles.h
//
// The scoped owners the extension uses at the CPython boundary (and one for a
// file descriptor, `FileDescriptor`):
//
//   PyRef list(PyList_New(0));       // owns the new reference
//   if (!list) return nullptr;       // the exception is already set
//   return list.release();           // hands the reference to CPython
//
//   {
//     ReleasedGil unlocked;          // other Python threads run meanwhile
//     result = tq::parse_path(path, options);
//   }                                // the lock is held again here
//
// A PyRef may only be destroyed while the interpreter lock is held; nothing
// inside a ReleasedGil scope touches a PyObject.
#pragma once

#include <Python.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tq::py {

// Owns one strong reference (or none). Copying is deleted because a copy would
// need an INCREF the reader can't see; a move leaves the source empty.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over `owned`, a new reference or nullptr.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // A new strong reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives the reference to the caller, which becomes responsible for it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(object_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;  // nullptr or one strong reference owned by this handle
};

// Releases the interpreter lock for its lifetime. The destructor takes the lock
// back, so a C++ exception unwinding out of the scope still leaves the thread
// holding the lock when the exception is turned into a Python one.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;  // this thread's state while the lock is released
};

// Takes the interpreter lock back, for as long as it lives, on a thread that
// released it (ReleasedGil) to run native code that now needs Python.
class HeldGil {
 public:
  HeldGil() noexcept : state_(PyGILState_Ensure()) {}
  HeldGil(const HeldGil&) = delete;
  HeldGil& operator=(const HeldGil&) = delete;
  ~HeldGil() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Hands the pages the allocator keeps free back to the system. glibc keeps
// what a large parse freed (gigabytes, after millions of events) for this
// process to reuse; a caller done with a parse expects it back. Takes a while
// on a large heap: call it with the lock released.
inline void return_free_memory() noexcept { malloc_trim(0); }

// Owns one open file descriptor. Copying is deleted, a move leaves the source
// empty, and the destructor closes whatever is still open.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }

  // Closes now; returns 0 or the errno of a failed close (the descriptor is gone
  // either way, so it is never closed twice).
  int close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;  // an open descriptor owned by this object, or -1
};

}  // namespace tq::py
