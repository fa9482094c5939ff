// Argument binding with the interpreter's own rules and messages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
    raise_format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", s.qualname,
                 lo, n, given, given == 1 ? "was" : "were");
  }
  raise_format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", s.qualname, n,
               n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

[[noreturn]] inline void raise_missing(const Sig& s, const int* missing, size_t m) {
  std::string list;
  for (size_t i = 0; i < m; ++i) {
    if (i > 0) list += (m == 2) ? " and " : (i + 1 == m ? ", and " : ", ");
    list += "'";
    list += s.params[static_cast<size_t>(missing[i])];
    list += "'";
  }
  raise_format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", s.qualname, m,
               m == 1 ? "" : "s", list.c_str());
}

// The edit distance the interpreter uses for its "Did you mean" suggestions
// (Python/suggestions.c): over UTF-8 bytes, a move costs 2 and a case flip
// of an ASCII letter 1; anything above max_cost comes back as max_cost + 1.
inline Py_ssize_t suggestion_distance(const char* a, size_t a_size, const char* b, size_t b_size,
                                      size_t max_cost) {
  constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxStringSize = 40;
  auto substitution_cost = [&](char x, char y) -> size_t {
    if ((x & 31) != (y & 31)) return kMoveCost;
    if (x == y) return 0;
    if ('A' <= x && x <= 'Z') x = static_cast<char>(x + ('a' - 'A'));
    if ('A' <= y && y <= 'Z') y = static_cast<char>(y + ('a' - 'A'));
    return x == y ? kCaseCost : kMoveCost;
  };
  if (a == b) return 0;
  while (a_size && b_size && a[0] == b[0]) {
    ++a, --a_size;
    ++b, --b_size;
  }
  while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
  if (a_size == 0 || b_size == 0) return static_cast<Py_ssize_t>((a_size + b_size) * kMoveCost);
  if (a_size > kMaxStringSize || b_size > kMaxStringSize) return static_cast<Py_ssize_t>(max_cost + 1);
  if (b_size < a_size) {
    std::swap(a, b);
    std::swap(a_size, b_size);
  }
  if ((b_size - a_size) * kMoveCost > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
  size_t buffer[kMaxStringSize];
  size_t tmp = kMoveCost;
  for (size_t i = 0; i < a_size; ++i) {
    buffer[i] = tmp;
    tmp += kMoveCost;
  }
  size_t result = 0;
  for (size_t b_index = 0; b_index < b_size; ++b_index) {
    const char code = b[b_index];
    size_t distance = result = b_index * kMoveCost;
    size_t minimum = SIZE_MAX;
    for (size_t index = 0; index < a_size; ++index) {
      const size_t substitute = distance + substitution_cost(code, a[index]);
      distance = buffer[index];
      const size_t insert_delete = (result < distance ? result : distance) + kMoveCost;
      result = insert_delete < substitute ? insert_delete : substitute;
      buffer[index] = result;
      if (result < minimum) minimum = result;
    }
    if (minimum > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
  }
  return static_cast<Py_ssize_t>(result);
}

// The parameter name that the interpreter (3.13 on) suggests for an unknown
// keyword of a plain function with these parameters, or null.
inline Ref keyword_suggestion(PyObject* names, PyObject* key) {
  Py_ssize_t key_size;
  const char* key_str = PyUnicode_AsUTF8AndSize(key, &key_size);
  if (!key_str) {
    PyErr_Clear();
    return Ref{};
  }
  PyObject* best = nullptr;
  Py_ssize_t best_distance = PY_SSIZE_T_MAX;
  const Py_ssize_t n = PyTuple_Size(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(names, i);
    const int same = PyUnicode_Compare(key, item);
    if (same == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return Ref{};
    }
    if (same == 0) continue;
    Py_ssize_t item_size;
    const char* item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
    if (!item_str) {
      PyErr_Clear();
      return Ref{};
    }
    // No more than a third of the characters changed, and better than the best so far.
    Py_ssize_t max_distance = (key_size + item_size + 3) * 2 / 6;
    if (best_distance - 1 < max_distance) max_distance = best_distance - 1;
    const Py_ssize_t d = suggestion_distance(key_str, static_cast<size_t>(key_size), item_str,
                                             static_cast<size_t>(item_size), static_cast<size_t>(max_distance));
    if (d > max_distance) continue;
    if (!best || d < best_distance) {
      best = item;
      best_distance = d;
    }
  }
  return Ref::borrow(best);
}

[[noreturn]] inline void raise_unexpected_keyword(const Sig& s, PyObject* names, PyObject* key) {
  if (runtime_version() >= 0x030D00) {
    if (Ref suggestion = keyword_suggestion(names, key)) {
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?", s.qualname,
                   key, suggestion.get());
    }
  }
  raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.qualname, key);
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
        const int eq = ok(PyObject_RichCompareBool(key, PyTuple_GetItem(names, j), Py_EQ));
        if (eq) idx = j;
      }
      if (idx < 0) raise_unexpected_keyword(s, names, key);
      if (out[idx]) {
        raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", s.qualname, key);
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
