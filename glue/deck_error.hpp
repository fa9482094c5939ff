// The interpreter's error indicator seen from C++: the exception thrown while
// it is set, raising, one type that takes, normalises and puts back an
// exception, and the boundary where errors go back to the interpreter.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <exception>
#include <new>

namespace deck {

// Thrown when a C API call failed; the interpreter's error indicator is set.
struct PyErrSet {};

// The throw itself, out of line: checks inlined into every call keep only a
// test and a jump on their usual path.
[[noreturn, gnu::cold, gnu::noinline]] inline void throw_pending() { throw PyErrSet{}; }

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PyErrSet{};
}

// PyErr_Format, then throw.
// The formats are the interpreter's (%U, %S, %R as PyUnicode_FromFormat).
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PyErrSet{};
}

[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrSet{};
}

// For calls that report an error only through the indicator (PyIter_Next).
inline void throw_if_error() {
  if (PyErr_Occurred()) throw PyErrSet{};
}

// An exception taken out of the indicator (owned references; `tb` may be
// null), held while other calls run, then put back or dropped.
class Error {
 public:
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;

  Error() noexcept = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  Error(Error&& o) noexcept : type(o.type), value(o.value), tb(o.tb) { o.type = o.value = o.tb = nullptr; }
  ~Error() { clear(); }

  // The pending exception as it is (none is fine).
  static Error take() noexcept {
    Error e;
    PyErr_Fetch(&e.type, &e.value, &e.tb);
    return e;
  }
  // The pending exception as an instance carrying its traceback; an error
  // while normalising is what it becomes, as in the interpreter.
  static Error take_normalized() noexcept {
    Error e = take();
    PyErr_NormalizeException(&e.type, &e.value, &e.tb);
    if (e.value && e.tb) PyException_SetTraceback(e.value, e.tb);
    return e;
  }

  // PyErr_NormalizeException on what is held.
  void normalize() {
    PyErr_NormalizeException(&type, &value, &tb);
    if (!value) raise(PyExc_SystemError, "exception not normalized");
  }
  // Replaces what is held by the pending exception.
  void retake() noexcept {
    clear();
    PyErr_Fetch(&type, &value, &tb);
  }
  // Back into the indicator; nothing is held afterwards.
  void restore() noexcept {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
  }
  void clear() noexcept {
    Py_CLEAR(type);
    Py_CLEAR(value);
    Py_CLEAR(tb);
  }
  explicit operator bool() const noexcept { return type != nullptr; }
};

// Runs `undo` when an exception (C++ or Python) passes through, keeping the
// original error: the first failure is the one the caller sees.
template <class Body, class Undo>
decltype(auto) undo_on_error(Body&& body, Undo&& undo) {
  try {
    return body();
  } catch (const PyErrSet&) {
    Error first = Error::take();
    try {
      undo();
    } catch (const PyErrSet&) {
      PyErr_Clear();
    }
    first.restore();
    throw;
  }
}

// Every entry from the interpreter goes through here: no C++ exception
// crosses into it. (A thread ended by the interpreter at shutdown unwinds
// through these frames without stopping: see deck_unwind.cpp.) `f` returns
// an owned reference or something that releases one.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f().release();
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return nullptr;
}

}  // namespace deck
