// Argument binding with the interpreter's own rules and messages.
#pragma once

#include <string>
#include <vector>

#include "deck_ref.hpp"

namespace deck {

constexpr int kMaxParams = 8;

// A parameter default, as plain data: the Python object is made per module.
struct Default {
  enum Kind { kInt, kFloat, kStr } kind;
  long i;
  double f;
  const char* s;
};
constexpr Default dflt(long v) { return {Default::kInt, v, 0.0, nullptr}; }
constexpr Default dflt(int v) { return dflt(static_cast<long>(v)); }
constexpr Default dflt(double v) { return {Default::kFloat, 0, v, nullptr}; }
constexpr Default dflt(const char* v) { return {Default::kStr, 0, 0.0, v}; }

// A signature: names only, no Python objects, so it can be shared by every
// module object and interpreter.
struct Sig {
  const char* name;                 // e.g. "CUF_AddTable"
  const char* qualname;             // used in messages, e.g. "CLASS_Orvan.CUF_AddTable"
  std::vector<const char*> params;  // including "self" where there is one
  std::vector<Default> defaults;    // for the trailing parameters

  int n() const { return static_cast<int>(params.size()); }
  int first_default() const { return n() - static_cast<int>(defaults.size()); }
};

// What a module makes of a Sig: interned parameter names, default values and
// the text signature ("($self, a, b=1)") that introspection reads.
struct Prepared {
  Ref names;     // tuple of str
  Ref defaults;  // tuple
  Ref textsig;   // str
};

inline Ref default_value(const Default& d) {
  switch (d.kind) {
    case Default::kInt: return integer(d.i);
    case Default::kFloat: return ok(PyFloat_FromDouble(d.f));
    case Default::kStr: return interned(d.s);
  }
  raise(PyExc_SystemError, "bad default");
}

inline Prepared prepare(const Sig& s, bool method) {
  if (s.n() > kMaxParams) raise(PyExc_SystemError, "too many parameters");
  Prepared p;
  p.names = ok(PyTuple_New(s.n()));
  p.defaults = ok(PyTuple_New(static_cast<Py_ssize_t>(s.defaults.size())));
  std::string sig = "(";
  const int lo = s.first_default();
  for (int i = 0; i < s.n(); ++i) {
    const char* name = s.params[static_cast<size_t>(i)];
    ok(PyTuple_SetItem(p.names.get(), i, interned(name).release()));
    if (i > 0) sig += ", ";
    if (i == 0 && method) sig += "$";
    sig += name;
    if (i >= lo) {
      Ref v = default_value(s.defaults[static_cast<size_t>(i - lo)]);
      Ref r = ok(PyObject_Repr(v.get()));
      const char* u = PyUnicode_AsUTF8AndSize(r.get(), nullptr);
      if (!u) throw PyErrSet{};
      sig += "=";
      sig += u;
      ok(PyTuple_SetItem(p.defaults.get(), i - lo, v.release()));
    }
  }
  sig += ")";
  p.textsig = str(sig);
  return p;
}

[[noreturn]] inline void raise_too_many(const Sig& s, Py_ssize_t given) {
  const int n = s.n();
  const int lo = s.first_default();
  if (lo < n) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", s.qualname,
                 lo, n, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", s.qualname, n,
                 n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
  throw PyErrSet{};
}

[[noreturn]] inline void raise_missing(const Sig& s, const int* missing, size_t m) {
  std::string list;
  for (size_t i = 0; i < m; ++i) {
    if (i > 0) list += (m == 2) ? " and " : (i + 1 == m ? ", and " : ", ");
    list += "'";
    list += s.params[static_cast<size_t>(missing[i])];
    list += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", s.qualname, m,
               m == 1 ? "" : "s", list.c_str());
  throw PyErrSet{};
}

// Fills out[0..n) with borrowed references from args (positional, then one
// value per name in kwnames) and the defaults.
inline void bind(const Sig& s, PyObject* names, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out) {
  const int n = s.n();
  // The common call: every argument given by position.
  if (!kwnames && nargs == n) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return;
  }
  for (int i = 0; i < n; ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < n; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      int idx = -1;
      for (int j = 0; j < n && idx < 0; ++j)
        if (PyTuple_GetItem(names, j) == key) idx = j;
      for (int j = 0; j < n && idx < 0; ++j) {
        const int eq = ok(PyObject_RichCompareBool(PyTuple_GetItem(names, j), key, Py_EQ));
        if (eq) idx = j;
      }
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.qualname, key);
        throw PyErrSet{};
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", s.qualname, key);
        throw PyErrSet{};
      }
      out[idx] = args[nargs + k];
    }
  }
  if (nargs > n) raise_too_many(s, nargs);
  int missing[kMaxParams];
  size_t m = 0;
  const int lo = s.first_default();
  for (int i = 0; i < n; ++i) {
    if (out[i]) continue;
    if (i >= lo)
      out[i] = PyTuple_GetItem(defaults, i - lo);
    else
      missing[m++] = i;
  }
  if (m) raise_missing(s, missing, m);
}

}  // namespace deck
