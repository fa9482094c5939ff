// Calling Python objects with positional and keyword arguments, without
// argument tuples or dicts where the interpreter offers vectorcall.
#pragma once

#include <dlfcn.h>

#include <initializer_list>

#include "deck_ref.hpp"

namespace deck {

using VectorcallFn = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);

// PyObject_Vectorcall is exported from 3.11 on (stable ABI from 3.12),
// PyObject_VectorcallMethod from 3.10 on; the 3.10 stable ABI names neither,
// so they are looked up once when the library loads. Plain C function
// pointers: nothing here belongs to an interpreter.
struct FastCalls {
  VectorcallFn vectorcall;
  VectorcallFn vectorcall_method;
};
inline const FastCalls kFast = {
    reinterpret_cast<VectorcallFn>(dlsym(RTLD_DEFAULT, "PyObject_Vectorcall")),
    reinterpret_cast<VectorcallFn>(dlsym(RTLD_DEFAULT, "PyObject_VectorcallMethod")),
};

// The flag a caller may set in nargsf (PY_VECTORCALL_ARGUMENTS_OFFSET).
constexpr size_t kArgsOffset = size_t{1} << (8 * sizeof(size_t) - 1);
inline Py_ssize_t nargs_of(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf & ~kArgsOffset); }

// A tuple of keyword names for a call site.
inline Ref kwnames(std::initializer_list<const char*> names) {
  Ref t = ok(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) ok(PyTuple_SetItem(t.get(), i++, interned(n).release()));
  return t;
}

[[gnu::noinline]] inline Ref call_slow(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwn) {
  Ref tuple = ok(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
  for (size_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);
  }
  Ref kwargs;
  if (kwn) {
    kwargs = ok(PyDict_New());
    const Py_ssize_t nk = PyTuple_Size(kwn);
    for (Py_ssize_t k = 0; k < nk; ++k)
      ok(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwn, k), args[nargs + static_cast<size_t>(k)]));
  }
  return ok(PyObject_Call(f, tuple.get(), kwargs.get()));
}

// f(*args[:nargs], **dict(zip(kwn, args[nargs:]))) without temporaries.
// Inlined into every call site: the shortest methods are mostly calls.
[[gnu::always_inline]] inline Ref vcall(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwn = nullptr) {
  if (VectorcallFn vc = kFast.vectorcall) return ok(vc(f, args, nargs, kwn));
  return call_slow(f, args, nargs, kwn);
}

[[gnu::noinline]] inline Ref vcall_method_slow(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwn) {
  Ref bound = ok(PyObject_GetAttr(args[0], name));
  return vcall(bound.get(), args + 1, nargs - 1, kwn);
}

// The same for a method: args[0] is the object, looked up without making a
// bound method.
[[gnu::always_inline]] inline Ref vcall_method(PyObject* name, PyObject* const* args, size_t nargs,
                                               PyObject* kwn = nullptr) {
  if (VectorcallFn vm = kFast.vectorcall_method) return ok(vm(name, args, nargs, kwn));
  return vcall_method_slow(name, args, nargs, kwn);
}

inline size_t positional(std::initializer_list<PyObject*> args, PyObject* kwn) {
  return args.size() - (kwn ? static_cast<size_t>(PyTuple_Size(kwn)) : 0);
}

inline Ref call(PyObject* f) { return vcall(f, nullptr, 0); }
template <class... A>
[[gnu::always_inline]] inline Ref call(PyObject* f, A... args) {
  PyObject* stack[] = {static_cast<PyObject*>(args)...};
  return vcall(f, stack, sizeof...(A));
}
template <class... A>
[[gnu::always_inline]] inline Ref call_method(PyObject* o, PyObject* name, A... args) {
  PyObject* stack[] = {o, static_cast<PyObject*>(args)...};
  return vcall_method(name, stack, 1 + sizeof...(A));
}

// A call with keywords: `args` holds the positional values, then one value
// per name in `kwn`.
inline Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwn) {
  return vcall(f, args.begin(), positional(args, kwn), kwn);
}
inline Ref call_method_kw(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwn) {
  return vcall_method(name, args.begin(), positional(args, kwn), kwn);
}

inline Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref t = ok(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* p : items) {
    Py_INCREF(p);
    PyTuple_SetItem(t.get(), i++, p);
  }
  return t;
}

inline Ref list_of(std::initializer_list<PyObject*> items) {
  Ref l = ok(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* p : items) {
    Py_INCREF(p);
    PyList_SetItem(l.get(), i++, p);
  }
  return l;
}

// iter(value) for an unpacking. A value whose type has no way to iterate
// gets the interpreter's "cannot unpack non-iterable T object"; T is the
// type's tp_name, which the stable API shows only in the message of the
// failed iter() itself, "'T' object is not iterable".
inline Ref iter_for_unpack(PyObject* value) {
  if (PyObject* it = PyObject_GetIter(value)) return Ref::steal(it);
  if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyType_GetSlot(Py_TYPE(value), Py_tp_iter) ||
      PySequence_Check(value))
    throw PyErrSet{};
  Error error = Error::take_normalized();
  Ref text = error.value ? Ref::steal(PyObject_Str(error.value)) : Ref{};
  if (!text) PyErr_Clear();
  const char head[] = "'";
  const char tail[] = "' object is not iterable";
  const Py_ssize_t nh = sizeof head - 1, nt = sizeof tail - 1;
  const Py_ssize_t n = text ? PyUnicode_GetLength(text.get()) : -1;
  if (n > nh + nt && PyUnicode_Tailmatch(text.get(), str(head).get(), 0, n, -1) == 1 &&
      PyUnicode_Tailmatch(text.get(), str(tail).get(), 0, n, 1) == 1) {
    Ref type_name = ok(PyUnicode_Substring(text.get(), nh, n - nt));
    raise_format(PyExc_TypeError, "cannot unpack non-iterable %U object", type_name.get());
  }
  error.restore();
  throw PyErrSet{};
}

// `a, b = value`, with the interpreter's messages.
inline std::pair<Ref, Ref> unpack2(PyObject* value) {
  if (PyTuple_CheckExact(value) && PyTuple_Size(value) == 2)
    return {Ref::borrow(PyTuple_GetItem(value, 0)), Ref::borrow(PyTuple_GetItem(value, 1))};
  Ref it = iter_for_unpack(value);
  Ref first = Ref::steal(PyIter_Next(it.get()));
  if (!first) {
    throw_if_error();
    raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
  }
  Ref second = Ref::steal(PyIter_Next(it.get()));
  if (!second) {
    throw_if_error();
    raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  throw_if_error();
  return {std::move(first), std::move(second)};
}

}  // namespace deck
