// Owned references, checked C API results, and the small reads every
// module makes (attributes, items, iteration).
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "deck_error.hpp"

namespace deck {

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
[[gnu::always_inline]] inline Ref ok(PyObject* p) {
  if (!p) [[unlikely]] throw_pending();
  return Ref::steal(p);
}
[[gnu::always_inline]] inline int ok(int rc) {
  if (rc < 0) [[unlikely]] throw_pending();
  return rc;
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

// getattr(o, name) with a missing attribute giving null, not an error: only
// an AttributeError means missing, as hasattr() decides.
inline Ref optional_attr(PyObject* o, PyObject* name) {
  PyObject* v = PyObject_GetAttr(o, name);
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
  }
  return Ref::steal(v);
}

// f(item) for each item of `iterable`, as a for statement walks it (owned
// references); an error from the iterator is raised after the items it gave.
template <class F>
void for_each(PyObject* iterable, F&& f) {
  Ref it = ok(PyObject_GetIter(iterable));
  while (PyObject* item = PyIter_Next(it.get())) f(Ref::steal(item));
  throw_if_error();
}

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
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw_pending();
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
  if (PyDict_GetItemRef(d, key, &v) < 0) throw_pending();
  return Ref::steal(v);
#else
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v && PyErr_Occurred()) throw_pending();
  return Ref::borrow(v);
#endif
}

}  // namespace deck
