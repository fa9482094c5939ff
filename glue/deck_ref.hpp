// Owned references, checked C API results, and how errors cross the
// C++/Python boundary.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

namespace deck {

// Thrown when a C API call failed; the interpreter's error indicator is set.
struct PyErrSet {};

// An owned reference (or none). Move-only: every reference has one owner.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  Ref dup() const noexcept { return borrow(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Checked results: a null new reference or a negative status means an
// exception is pending.
inline Ref ok(PyObject* p) {
  if (!p) throw PyErrSet{};
  return Ref::steal(p);
}
inline int ok(int rc) {
  if (rc < 0) throw PyErrSet{};
  return rc;
}

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PyErrSet{};
}

// A pending exception, held while cleanup calls run, then put back.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&t_, &v_, &tb_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() {
    Py_XDECREF(t_);
    Py_XDECREF(v_);
    Py_XDECREF(tb_);
  }
  void restore() noexcept {
    PyErr_Restore(t_, v_, tb_);
    t_ = v_ = tb_ = nullptr;
  }

 private:
  PyObject* t_ = nullptr;
  PyObject* v_ = nullptr;
  PyObject* tb_ = nullptr;
};

// Runs `undo` when an exception (C++ or Python) passes through, keeping the
// original error: the first failure is the one the caller sees.
template <class Body, class Undo>
decltype(auto) undo_on_error(Body&& body, Undo&& undo) {
  try {
    return body();
  } catch (const PyErrSet&) {
    SavedError saved;
    try {
      undo();
    } catch (const PyErrSet&) {
      PyErr_Clear();
    }
    saved.restore();
    throw;
  }
}

// Every entry from the interpreter goes through here: no C++ exception
// crosses into it. (A thread ended by the interpreter at shutdown unwinds
// through these frames without stopping: see deck_unwind.cpp.)
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

// The running interpreter's version as 0xMMmmuu (3.13.1 gives 0x030D01):
// some messages of the interpreter differ between versions.
inline int runtime_version() {
  const char* s = Py_GetVersion();
  int part[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    while (*s >= '0' && *s <= '9') part[i] = part[i] * 10 + (*s++ - '0');
    if (*s != '.') break;
    ++s;
  }
  return (part[0] << 16) | (part[1] << 8) | part[2];
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref str(const char* s) { return ok(PyUnicode_FromString(s)); }
inline Ref str(const std::string& s) {
  return ok(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref interned(const char* s) { return ok(PyUnicode_InternFromString(s)); }
inline Ref integer(long v) { return ok(PyLong_FromLong(v)); }

inline Ref attr(PyObject* o, PyObject* name) { return ok(PyObject_GetAttr(o, name)); }
inline void set_attr(PyObject* o, PyObject* name, PyObject* v) { ok(PyObject_SetAttr(o, name, v)); }
inline bool truthy(PyObject* o) { return ok(PyObject_IsTrue(o)) != 0; }

// Items as strong references: the container may change (another thread, or
// code a call runs) while the item is in use. list_item is null past the end;
// dict_item is null when the key is absent (an error from hashing or
// comparing throws).
//
// Against the full C API of 3.13 and later (the free-threaded build, and the
// debug build of the leak hunt) the reference is taken in the same step as
// the lookup, under the container's own lock where there is one
// (PyList_GetItemRef, PyDict_GetItemRef): without the GIL a borrowed item can
// be dropped by another thread before it is taken. The stable ABI of 3.10 has
// neither; the modules built for it run only with the GIL, where nothing else
// runs between the lookup and the new reference.
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030D0000
#define DECK_ITEM_REF 1
#endif

inline Ref list_item(PyObject* list, Py_ssize_t i) {
  if (i < 0 || i >= PyList_Size(list)) return {};
#ifdef DECK_ITEM_REF
  PyObject* v = PyList_GetItemRef(list, i);
  if (!v) {  // the list shrank since its size was read
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PyErrSet{};
    PyErr_Clear();
  }
  return Ref::steal(v);
#else
  return Ref::borrow(PyList_GetItem(list, i));
#endif
}
inline Ref dict_item(PyObject* d, PyObject* key) {
#ifdef DECK_ITEM_REF
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(d, key, &v) < 0) throw PyErrSet{};
  return Ref::steal(v);
#else
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v && PyErr_Occurred()) throw PyErrSet{};
  return Ref::borrow(v);
#endif
}

}  // namespace deck
