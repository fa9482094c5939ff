// Glue shared by the extension modules: owned references, checked C API
// calls, interpreter-style argument binding, and classes made through type().
// Header-only so that each module carries its own copy and the modules share
// nothing at run time.
#pragma once

#include <Python.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

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

inline PyObject* intern(const char* s) {
  PyObject* p = PyUnicode_InternFromString(s);
  if (!p) throw PyErrSet{};
  return p;  // kept for the life of the process
}

inline Ref str(const char* s) { return ok(PyUnicode_FromString(s)); }
inline Ref str(const std::string& s) {
  return ok(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long v) { return ok(PyLong_FromLong(v)); }

inline Ref attr(PyObject* o, PyObject* name) { return ok(PyObject_GetAttr(o, name)); }
inline void set_attr(PyObject* o, PyObject* name, PyObject* v) { ok(PyObject_SetAttr(o, name, v)); }
inline bool truthy(PyObject* o) { return ok(PyObject_IsTrue(o)) != 0; }

// Vectorcall entry points, found at load time: PyObject_Vectorcall is
// exported from 3.11 on (stable ABI from 3.12), PyObject_VectorcallMethod
// from 3.10 on. Without them calls go through argument tuples and dicts.
using VectorcallFn = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);

struct FastCalls {
  VectorcallFn vectorcall;
  VectorcallFn vectorcall_method;
};

inline const FastCalls& fast_calls() {
  static const FastCalls f = {
      reinterpret_cast<VectorcallFn>(dlsym(RTLD_DEFAULT, "PyObject_Vectorcall")),
      reinterpret_cast<VectorcallFn>(dlsym(RTLD_DEFAULT, "PyObject_VectorcallMethod")),
  };
  return f;
}

// A tuple of keyword names for a call site, made once and kept.
inline PyObject* kwnames(std::initializer_list<const char*> names) {
  Ref t = ok(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SetItem(t.get(), i++, intern(n));
  return t.release();
}

inline Ref call_slow(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwn) {
  Ref tuple = ok(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
  for (size_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), args[i]);
  }
  Ref kwargs;
  if (kwn) {
    kwargs = ok(PyDict_New());
    const Py_ssize_t nk = PyTuple_Size(kwn);
    for (Py_ssize_t k = 0; k < nk; ++k) ok(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwn, k), args[nargs + static_cast<size_t>(k)]));
  }
  return ok(PyObject_Call(f, tuple.get(), kwargs.get()));
}

// f(*args[:nargs], **dict(zip(kwn, args[nargs:]))) without temporaries.
inline Ref vcall(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwn = nullptr) {
  if (VectorcallFn vc = fast_calls().vectorcall) return ok(vc(f, args, nargs, kwn));
  return call_slow(f, args, nargs, kwn);
}

// The same for a method: args[0] is the object, looked up without making a
// bound method.
inline Ref vcall_method(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwn = nullptr) {
  if (VectorcallFn vm = fast_calls().vectorcall_method) return ok(vm(name, args, nargs, kwn));
  Ref bound = ok(PyObject_GetAttr(args[0], name));
  return vcall(bound.get(), args + 1, nargs - 1, kwn);
}

inline size_t positional(std::initializer_list<PyObject*> args, PyObject* kwn) {
  return args.size() - (kwn ? static_cast<size_t>(PyTuple_Size(kwn)) : 0);
}

inline Ref call(PyObject* f) { return vcall(f, nullptr, 0); }
template <class... A>
Ref call(PyObject* f, A... args) {
  PyObject* stack[] = {static_cast<PyObject*>(args)...};
  return vcall(f, stack, sizeof...(A));
}
template <class... A>
Ref call_method(PyObject* o, PyObject* name, A... args) {
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

// Global lookup as the interpreter does it: the module's globals, then the
// builtins, else NameError.
inline Ref global(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw PyErrSet{};
  if (PyObject* builtins = PyEval_GetBuiltins()) {
    v = PyDict_GetItemWithError(builtins, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyErrSet{};
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw PyErrSet{};
}

inline void set_global(PyObject* globals, PyObject* name, PyObject* v) { ok(PyDict_SetItem(globals, name, v)); }

// `from <module> import <names...>`, binding each name as a global.
inline void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names) {
  Ref fromlist = ok(PyList_New(0));
  for (const char* n : names) ok(PyList_Append(fromlist.get(), str(n).get()));
  Ref modname = str(module);
  Ref mod = ok(PyImport_ImportModuleLevelObject(modname.get(), globals, nullptr, fromlist.get(), 0));
  for (const char* n : names) {
    Ref key = ok(PyUnicode_InternFromString(n));
    PyObject* v = PyObject_GetAttr(mod.get(), key.get());
    if (!v) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
      }
      throw PyErrSet{};
    }
    Ref val = Ref::steal(v);
    set_global(globals, key.get(), val.get());
  }
}

// `import <module>` of a top-level module.
inline Ref import_module(PyObject* globals, const char* module) {
  Ref modname = str(module);
  return ok(PyImport_ImportModuleLevelObject(modname.get(), globals, nullptr, nullptr, 0));
}

// ---------------------------------------------------------------------------
// Argument binding with the interpreter's own rules and messages.

constexpr int kMaxParams = 8;

struct Sig {
  const char* name;      // method name, e.g. "CUF_AddTable"
  const char* qualname;  // used in messages, e.g. "CLASS_Orvan.CUF_AddTable"
  std::vector<const char*> params;  // including "self" where there is one
  std::vector<PyObject*> defaults;  // for the trailing parameters; owned forever
  std::vector<PyObject*> names;     // interned parameter names
  std::string doc;                  // text signature as the interpreter parses it

  int n() const { return static_cast<int>(params.size()); }
  int first_default() const { return n() - static_cast<int>(defaults.size()); }
};

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

[[noreturn]] inline void raise_missing(const Sig& s, const std::vector<int>& missing) {
  std::string list;
  const size_t m = missing.size();
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

// Fills out[0..n) with borrowed references. `self` (may be null) takes the
// first parameter, as a bound method's instance does.
inline void bind(const Sig& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
  const int n = s.n();
  // The common call: every argument given by position.
  if (!kwnames && nargs + (self ? 1 : 0) == n) {
    int pos = 0;
    if (self) out[pos++] = self;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[pos++] = args[i];
    return;
  }
  for (int i = 0; i < n; ++i) out[i] = nullptr;
  int pos = 0;
  if (self) out[pos++] = self;
  const Py_ssize_t given = nargs + pos;
  for (Py_ssize_t i = 0; i < nargs && pos < n; ++i) out[pos++] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      int idx = -1;
      for (int j = 0; j < n; ++j) {
        if (s.names[static_cast<size_t>(j)] == key) {
          idx = j;
          break;
        }
      }
      if (idx < 0) {
        for (int j = 0; j < n; ++j) {
          int eq = PyObject_RichCompareBool(s.names[static_cast<size_t>(j)], key, Py_EQ);
          if (eq < 0) throw PyErrSet{};
          if (eq) {
            idx = j;
            break;
          }
        }
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
  if (given > n) raise_too_many(s, given);
  std::vector<int> missing;
  const int lo = s.first_default();
  for (int i = 0; i < n; ++i) {
    if (out[i]) continue;
    if (i >= lo) {
      out[i] = s.defaults[static_cast<size_t>(i - lo)];
    } else {
      missing.push_back(i);
    }
  }
  if (!missing.empty()) raise_missing(s, missing);
}

// Interns the names and writes the text signature ("name($self, a, b=1)").
// `method` marks the first parameter as the bound instance.
inline void prepare(Sig& s, bool method) {
  if (!s.names.empty()) return;
  std::string doc = std::string(s.name) + "(";
  const int lo = s.first_default();
  for (int i = 0; i < s.n(); ++i) {
    s.names.push_back(intern(s.params[static_cast<size_t>(i)]));
    if (i > 0) doc += ", ";
    if (i == 0 && method) doc += "$";
    doc += s.params[static_cast<size_t>(i)];
    if (i >= lo) {
      Ref r = ok(PyObject_Repr(s.defaults[static_cast<size_t>(i - lo)]));
      const char* u = PyUnicode_AsUTF8AndSize(r.get(), nullptr);
      if (!u) throw PyErrSet{};
      doc += "=";
      doc += u;
    }
  }
  doc += ")\n--\n\n";
  s.doc = std::move(doc);
}

// Keeps C++ exceptions out of the interpreter.
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

// The module body behind a Py_mod_exec slot: 0, or -1 with the exception set.
template <class Body>
int exec_body(Body&& body) noexcept {
  PyObject* r = guarded([&]() -> Ref {
    body();
    return Ref::borrow(Py_None);
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

inline bool is_main(PyObject* globals) {
  PyObject* name = PyDict_GetItemString(globals, "__name__");
  return name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0;
}

// ---------------------------------------------------------------------------
// Methods of classes made through type(). Each method is a method descriptor
// of its class; it finds its module's globals through the class.

using MethodImpl = Ref (*)(PyObject* globals, PyObject** a);

struct ClassHome {
  PyObject* cls;
  PyObject* globals;
};

inline std::vector<ClassHome>& class_homes() {
  static std::vector<ClassHome> homes;  // process lifetime; holds strong refs
  return homes;
}

// The globals of the module whose class `self` is an instance of. Plain
// METH_FASTCALL descriptors get no defining class, but they are what the
// interpreter's call specialisation accepts, so the class is found here.
inline PyObject* globals_for(PyObject* self) {
  PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(self));
  for (const ClassHome& h : class_homes())
    if (h.cls == tp) return h.globals;
  // A subclass: the first registered class on its MRO.
  Ref mro = ok(PyObject_GetAttrString(tp, "__mro__"));
  const Py_ssize_t n = PyTuple_Size(mro.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GetItem(mro.get(), i);
    for (const ClassHome& h : class_homes())
      if (h.cls == base) return h.globals;
  }
  PyErr_SetString(PyExc_SystemError, "method called on an instance of an unknown class");
  throw PyErrSet{};
}

template <Sig& S, MethodImpl Impl>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> Ref {
    PyObject* a[kMaxParams];
    bind(S, self, args, nargs, kwnames, a);
    return Impl(globals_for(self), a);
  });
}

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct MethodDef {
  Sig* sig;
  FastEntry entry;
  PyMethodDef def;  // filled by make_class; must outlive the descriptors
};

template <Sig& S, MethodImpl Impl>
MethodDef method() {
  return MethodDef{&S, &method_entry<S, Impl>, PyMethodDef{}};
}

// Extra namespace entries that are not plain methods (CUF_Status's context
// manager), given as a factory called at their place in the order.
struct Slot {
  MethodDef* method;               // or null
  const char* name;                // for `make`
  Ref (*make)(PyObject* globals);  // or null
};

// Makes a class as `type(name, (), namespace)` with the methods in order,
// each a method descriptor bound to the new class.
inline Ref make_class(PyObject* globals, const char* name, std::vector<Slot>& slots) {
  Ref ns = ok(PyDict_New());
  PyObject* modname = PyDict_GetItemString(globals, "__name__");
  if (!modname) {
    PyErr_SetString(PyExc_SystemError, "module has no __name__");
    throw PyErrSet{};
  }
  ok(PyDict_SetItemString(ns.get(), "__module__", modname));
  ok(PyDict_SetItemString(ns.get(), "__qualname__", str(name).get()));
  for (Slot& sl : slots) {
    if (sl.method) {
      MethodDef& m = *sl.method;
      prepare(*m.sig, true);
      m.def.ml_name = m.sig->name;
      m.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.entry));
      m.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
      m.def.ml_doc = m.sig->doc.c_str();
      // Placeholder: the class does not exist yet; replaced in place below.
      ok(PyDict_SetItemString(ns.get(), m.sig->name, Py_None));
    } else {
      Ref v = sl.make(globals);
      ok(PyDict_SetItemString(ns.get(), sl.name, v.get()));
    }
  }
  Ref type_name = str(name);
  Ref bases = ok(PyTuple_New(0));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), type_name.get(), bases.get(), ns.get());
  class_homes().push_back(ClassHome{Ref::borrow(cls.get()).release(), Ref::borrow(globals).release()});
  for (Slot& sl : slots) {
    if (!sl.method) continue;
    Ref d = ok(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), &sl.method->def));
    ok(PyObject_SetAttrString(cls.get(), sl.method->sig->name, d.get()));
  }
  return cls;
}

// A module-level function (`main`): a builtin whose __self__ is the module.
template <Sig& S, MethodImpl Impl>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> Ref {
    PyObject* a[kMaxParams];
    bind(S, nullptr, args, nargs, kwnames, a);
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) throw PyErrSet{};
    return Impl(globals, a);
  });
}

// ---------------------------------------------------------------------------
// A callable object with a name, qualified name, annotations and text
// signature, for callables that must carry what a plain function carries.

struct NativeFunc {
  PyObject_HEAD
  Sig* sig;
  PyObject* (*fn)(Sig*, PyObject**);  // gets bound arguments, returns new ref or null
  PyObject* module;                   // str
  PyObject* annotations;              // dict
};

inline void native_func_dealloc(PyObject* o) {
  auto* f = reinterpret_cast<NativeFunc*>(o);
  PyTypeObject* tp = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  Py_CLEAR(f->module);
  Py_CLEAR(f->annotations);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(o);
  Py_DECREF(tp);
}

inline int native_func_traverse(PyObject* o, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<NativeFunc*>(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(f->module);
  Py_VISIT(f->annotations);
  return 0;
}

inline int native_func_clear(PyObject* o) {
  auto* f = reinterpret_cast<NativeFunc*>(o);
  Py_CLEAR(f->module);
  Py_CLEAR(f->annotations);
  return 0;
}

inline PyObject* native_func_call(PyObject* o, PyObject* args, PyObject* kwargs) noexcept {
  auto* f = reinterpret_cast<NativeFunc*>(o);
  return guarded([&]() -> Ref {
    const Py_ssize_t nargs = PyTuple_Size(args);
    std::vector<PyObject*> stack;
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GetItem(args, i));
    Ref kwnames;
    if (kwargs && PyDict_Size(kwargs) > 0) {
      kwnames = ok(PyTuple_New(PyDict_Size(kwargs)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SetItem(kwnames.get(), k++, key);
        stack.push_back(value);
      }
    }
    PyObject* a[kMaxParams];
    bind(*f->sig, nullptr, stack.data(), nargs, kwnames.get(), a);
    return ok(f->fn(f->sig, a));
  });
}

inline PyObject* native_func_get(PyObject* o, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) {
    Py_INCREF(o);
    return o;
  }
  return guarded([&]() -> Ref {
    Ref types = ok(PyImport_ImportModule("types"));
    Ref method_type = ok(PyObject_GetAttrString(types.get(), "MethodType"));
    return call(method_type.get(), o, obj);
  });
}

inline PyObject* native_func_name(PyObject* o, void*) noexcept {
  return PyUnicode_FromString(reinterpret_cast<NativeFunc*>(o)->sig->name);
}
inline PyObject* native_func_qualname(PyObject* o, void*) noexcept {
  return PyUnicode_FromString(reinterpret_cast<NativeFunc*>(o)->sig->qualname);
}
inline PyObject* native_func_module(PyObject* o, void*) noexcept {
  PyObject* m = reinterpret_cast<NativeFunc*>(o)->module;
  Py_INCREF(m);
  return m;
}
inline PyObject* native_func_annotations(PyObject* o, void*) noexcept {
  PyObject* a = reinterpret_cast<NativeFunc*>(o)->annotations;
  Py_INCREF(a);
  return a;
}
inline PyObject* native_func_textsig(PyObject* o, void*) noexcept {
  const std::string& doc = reinterpret_cast<NativeFunc*>(o)->sig->doc;
  const size_t open = doc.find('(');
  const size_t end = doc.find("\n--");
  return PyUnicode_FromStringAndSize(doc.data() + open, static_cast<Py_ssize_t>(end - open));
}
inline PyObject* native_func_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

inline PyTypeObject* native_func_type() {
  static PyTypeObject* tp = nullptr;
  if (tp) return tp;
  static PyGetSetDef getset[] = {
      {"__name__", native_func_name, nullptr, nullptr, nullptr},
      {"__qualname__", native_func_qualname, nullptr, nullptr, nullptr},
      {"__module__", native_func_module, nullptr, nullptr, nullptr},
      {"__annotations__", native_func_annotations, nullptr, nullptr, nullptr},
      {"__text_signature__", native_func_textsig, nullptr, nullptr, nullptr},
      {"__doc__", native_func_none, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(native_func_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(native_func_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(native_func_clear)},
      {Py_tp_call, reinterpret_cast<void*>(native_func_call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(native_func_get)},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {"deck.native_function", sizeof(NativeFunc), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  tp = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (!tp) throw PyErrSet{};
  return tp;  // kept for the life of the process
}

inline Ref make_native_func(Sig& s, PyObject* (*fn)(Sig*, PyObject**), PyObject* module_name,
                            PyObject* annotations) {
  prepare(s, false);
  PyTypeObject* tp = native_func_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Ref o = ok(alloc(tp, 0));
  auto* f = reinterpret_cast<NativeFunc*>(o.get());
  f->sig = &s;
  f->fn = fn;
  f->module = Ref::borrow(module_name).release();
  f->annotations = Ref::borrow(annotations).release();
  return o;
}

}  // namespace deck
