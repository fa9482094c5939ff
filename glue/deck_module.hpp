// Module state (its fields and names listed once, the collector's view
// derived from them), module bodies, global lookup, and classes made through
// type() whose methods are the module's own method descriptors. The imports
// a body makes are in deck_import.hpp.
#pragma once

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "deck_bind.hpp"
#include "deck_call.hpp"
#include "deck_import.hpp"

// Type flags the 3.10 stable ABI headers keep to themselves; the bits are
// part of the ABI.
#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL (1UL << 11)
#endif

namespace deck {

// The part of every module's state that the glue uses. All of a module's
// Python objects live in its state (the module object's m_size block), never
// in process globals: each module object, reload and interpreter has its own.
struct ModuleBase {
  PyObject* globals;       // the module's dict
  PyObject* method_type;   // the module's method descriptor type
  PyObject* native_type;   // the module's native callable type
  PyObject* bound_method;  // types.MethodType, what functions bind to

  template <class F>
  void each_ref(F&& f) {
    f(globals);
    f(method_type);
    f(native_type);
    f(bound_method);
  }
};

// A module's State lists its fields once, in X-macros, and the collector's
// view is derived from them:
//   #define MY_NAMES(NAME, TEXT, INT, KW)   NAME(x) TEXT(y, "...") INT(ten, 10) KW(kw, "a", "b")
//   #define MY_FIELDS(X)                    X(some_type) X(some_set)
//   struct Names { DECK_NAMES(MY_NAMES) };
//   struct State { ModuleBase base; DECK_STATE_FIELDS(MY_FIELDS) Names n; };
// NAME(x) is the interned str "x", TEXT an interned str, INT an int, KW a
// tuple of keyword names. A name used but not listed fails the build. The
// fields (and `base`) may form cycles through the module and are cleared by
// m_clear; the names are immutable leaves and go at m_free.
#define DECK_FIELD_(x, ...) PyObject* x;
#define DECK_EACH_(x, ...) f(x);
#define DECK_INIT_NAME_(x) x = ::deck::interned(#x).release();
#define DECK_INIT_TEXT_(x, text) x = ::deck::interned(text).release();
#define DECK_INIT_INT_(x, v) x = ::deck::integer(v).release();
#define DECK_INIT_KW_(x, ...) x = ::deck::kwnames({__VA_ARGS__}).release();
#define DECK_NAMES(LIST)                                                  \
  LIST(DECK_FIELD_, DECK_FIELD_, DECK_FIELD_, DECK_FIELD_)                \
  void init() { LIST(DECK_INIT_NAME_, DECK_INIT_TEXT_, DECK_INIT_INT_, DECK_INIT_KW_) } \
  template <class F>                                                      \
  void each_ref(F&& f) {                                                  \
    LIST(DECK_EACH_, DECK_EACH_, DECK_EACH_, DECK_EACH_)                  \
  }
#define DECK_STATE_FIELDS(LIST) \
  LIST(DECK_FIELD_)             \
  template <class F>            \
  void each_ref(F&& f) {        \
    base.each_ref(f);           \
    LIST(DECK_EACH_)            \
  }

template <class State>
State* state_of(PyObject* m) {
  return static_cast<State*>(PyModule_GetState(m));
}
template <class State>
int state_traverse(PyObject* m, visitproc visit, void* arg) {
  State* st = state_of<State>(m);
  int rc = 0;
  auto each = [&](PyObject* p) {
    if (rc == 0 && p) rc = visit(p, arg);
  };
  if (st) {
    st->each_ref(each);
    st->n.each_ref(each);
  }
  return rc;
}
template <class State>
int state_clear(PyObject* m) {
  if (State* st = state_of<State>(m)) st->each_ref([](PyObject*& p) { Py_CLEAR(p); });
  return 0;
}
template <class State>
void state_free(void* m) {
  if (State* st = state_of<State>(static_cast<PyObject*>(m))) {
    st->each_ref([](PyObject*& p) { Py_CLEAR(p); });
    st->n.each_ref([](PyObject*& p) { Py_CLEAR(p); });
  }
}

// Global lookup as the interpreter does it: the module's globals, then the
// builtins, else NameError.
inline Ref global(PyObject* globals, PyObject* name) {
  if (!globals) raise(PyExc_RuntimeError, "the module has been cleared");
  // strong references: another thread may rebind the global meanwhile (see dict_item)
  if (Ref v = dict_item(globals, name)) return v;
  if (PyObject* builtins = PyEval_GetBuiltins())
    if (Ref v = dict_item(builtins, name)) return v;
  raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

// The module body behind a Py_mod_exec slot: 0, or -1 with the exception set.
template <class Body>
int exec_body(Body&& body) noexcept {
  PyObject* r = guarded([&]() -> Ref {
    body();
    return none();
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

inline bool is_main(PyObject* globals) {
  PyObject* name = PyDict_GetItemString(globals, "__name__");
  return name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0;
}

// A type of the module's own, which only the module makes instances of.
inline Ref make_type(PyObject* module, PyType_Spec* spec) {
  return ok(PyType_FromModuleAndSpec(module, spec, nullptr));
}

inline allocfunc alloc_of(PyObject* type) {
  return reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
}

// Frees a GC instance of one of the module's heap types.
inline void free_instance(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(o);
  Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Method descriptors. The interpreter's own method_descriptor gives its C
// function nothing but the instance, and a class made through type() carries
// no module; so each method is an object of the module's own descriptor type
// that holds its module's state, the way a function holds its globals. The
// type is flagged as a method descriptor, so `obj.m(...)` calls it without a
// bound object, through vectorcall.

// A method's parameter count and, by parameter index, the default values of
// its trailing parameters.
struct Fill {
  Py_ssize_t n;
  PyObject* v[kMaxParams];
};

// A method body behind the error boundary: a new reference, or null with
// the exception set. `args` holds every argument, or, with `fill`, the first
// `nargs` of them, the rest taken from the defaults.
using ImplFn = PyObject* (*)(void* state, PyObject* const* args, Py_ssize_t nargs, const Fill* fill) noexcept;

template <class State, Ref (*F)(State&, PyObject* const*)>
PyObject* thunk(void* st, PyObject* const* args, Py_ssize_t nargs, const Fill* fill) noexcept {
  PyObject* full[kMaxParams];
  if (fill) {
    for (Py_ssize_t i = 0; i < nargs; ++i) full[i] = args[i];
    for (Py_ssize_t i = nargs; i < fill->n; ++i) full[i] = fill->v[i];
    args = full;
  }
  return guarded([&]() -> Ref { return F(*static_cast<State*>(st), args); });
}

struct Method {
  PyObject_HEAD
  PyObject* (*vectorcall)(PyObject*, PyObject* const*, size_t, PyObject*);
  const Sig* sig;
  ImplFn impl;
  Py_ssize_t nrequired;  // the parameters before the first default
  ModuleBase* state;  // lives as long as the module, which our type holds
  PyObject* cls;      // the class the method belongs to
  PyObject* names;
  PyObject* defaults;
  PyObject* textsig;
  Fill fill;            // sig->n() and the items of `defaults`, borrowed from it
};

inline Method* as_method(PyObject* o) { return reinterpret_cast<Method*>(o); }

// Everything but the usual call: keywords, defaults, a wrong instance or
// argument count, a cleared module. Kept apart so the usual call stays small.
[[gnu::noinline]] inline PyObject* method_call_general(Method* m, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) noexcept {
  return guarded([&]() -> Ref {
    if (!m->cls || !m->state->globals) raise(PyExc_RuntimeError, "the module has been cleared");
    if (nargs < 1) {
      raise_format(PyExc_TypeError, "unbound method %s() needs an argument", m->sig->qualname);
    }
    if (!PyObject_TypeCheck(args[0], reinterpret_cast<PyTypeObject*>(m->cls))) {
      Ref owner = attr(m->cls, interned("__name__").get());
      Ref given = attr(reinterpret_cast<PyObject*>(Py_TYPE(args[0])), interned("__name__").get());
      raise_format(PyExc_TypeError, "descriptor '%s' for '%U' objects doesn't apply to a '%U' object", m->sig->name,
                   owner.get(), given.get());
    }
    PyObject* a[kMaxParams];
    bind(*m->sig, m->names, m->defaults, args, nargs, kwnames, a);
    return ok(m->impl(m->state, a, m->fill.n, nullptr));
  });
}

inline PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Method* m = as_method(callable);
  const Py_ssize_t nargs = nargs_of(nargsf);
  // The usual call, arguments by position only on an instance of the class
  // itself, needs no binding; trailing parameters may be left to defaults.
  if (!kwnames && nargs >= m->nrequired && nargs <= m->fill.n && nargs > 0 && m->cls &&
      Py_IS_TYPE(args[0], reinterpret_cast<PyTypeObject*>(m->cls)) && m->state->globals)
    return m->impl(m->state, args, nargs, nargs == m->fill.n ? nullptr : &m->fill);
  return method_call_general(m, args, nargs, kwnames);
}

// Calls through a tuple and a dict (f(*args, **kwargs)) for callers without
// vectorcall.
template <auto Vectorcall>
PyObject* call_from_tuple(PyObject* o, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> Ref {
    const Py_ssize_t nargs = PyTuple_Size(args);
    std::vector<PyObject*> stack;
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GetItem(args, i));
    Ref kwn;
    if (kwargs && PyDict_Size(kwargs) > 0) {
      kwn = ok(PyTuple_New(PyDict_Size(kwargs)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SetItem(kwn.get(), k++, key);
        stack.push_back(value);
      }
    }
    return ok(Vectorcall(o, stack.data(), static_cast<size_t>(nargs), kwn.get()));
  });
}

// Binding to an instance gives what a function gives: a bound method.
inline PyObject* bind_to(ModuleBase* st, PyObject* self, PyObject* obj) noexcept {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return guarded([&]() -> Ref {
    if (!st->bound_method) raise(PyExc_RuntimeError, "the module has been cleared");
    return call(st->bound_method, self, obj);
  });
}

inline PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  return bind_to(as_method(self)->state, self, obj);
}

inline PyObject* new_ref_or_none(PyObject* p) noexcept {
  if (!p) p = Py_None;
  Py_INCREF(p);
  return p;
}

inline PyObject* method_name(PyObject* o, void*) noexcept { return PyUnicode_FromString(as_method(o)->sig->name); }
inline PyObject* method_qualname(PyObject* o, void*) noexcept {
  return PyUnicode_FromString(as_method(o)->sig->qualname);
}
inline PyObject* method_objclass(PyObject* o, void*) noexcept { return new_ref_or_none(as_method(o)->cls); }
inline PyObject* method_textsig(PyObject* o, void*) noexcept { return new_ref_or_none(as_method(o)->textsig); }
inline PyObject* getter_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

inline PyObject* method_repr(PyObject* o) noexcept {
  const char* cls = strchr(as_method(o)->sig->qualname, '.');
  const std::string owner(as_method(o)->sig->qualname, cls ? static_cast<size_t>(cls - as_method(o)->sig->qualname) : 0);
  return PyUnicode_FromFormat("<method '%s' of '%s' objects>", as_method(o)->sig->name, owner.c_str());
}

inline int method_traverse(PyObject* o, visitproc visit, void* arg) {
  Method* m = as_method(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(m->cls);
  Py_VISIT(m->names);
  Py_VISIT(m->defaults);
  Py_VISIT(m->textsig);
  return 0;
}

inline int method_clear(PyObject* o) {
  Method* m = as_method(o);
  Py_CLEAR(m->cls);
  Py_CLEAR(m->names);
  Py_CLEAR(m->defaults);
  Py_CLEAR(m->textsig);
  return 0;
}

inline void method_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  method_clear(o);
  free_instance(o);
}

inline PyType_Spec* method_spec(const char* name) {
  static PyGetSetDef getset[] = {
      {"__name__", method_name, nullptr, nullptr, nullptr},
      {"__qualname__", method_qualname, nullptr, nullptr, nullptr},
      {"__objclass__", method_objclass, nullptr, nullptr, nullptr},
      {"__text_signature__", method_textsig, nullptr, nullptr, nullptr},
      {"__doc__", getter_none, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyMemberDef members[] = {
      {"__vectorcalloffset__", T_PYSSIZET, offsetof(Method, vectorcall), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
      {Py_tp_call, reinterpret_cast<void*>(call_from_tuple<method_vectorcall>)},
      {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
      {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
      {Py_tp_getset, getset},
      {Py_tp_members, members},
      {0, nullptr},
  };
  static PyType_Spec spec = {nullptr, sizeof(Method), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                 Py_TPFLAGS_IMMUTABLETYPE,
                             slots};
  spec.name = name;  // the same text for every module object of one library
  return &spec;
}

inline Ref new_method(ModuleBase& st, const Sig& sig, ImplFn impl) {
  Prepared p = prepare(sig, true);
  Ref o = ok(alloc_of(st.method_type)(reinterpret_cast<PyTypeObject*>(st.method_type), 0));
  Method* m = as_method(o.get());
  m->vectorcall = method_vectorcall;
  m->sig = &sig;
  m->impl = impl;
  m->nrequired = sig.first_default();
  m->state = &st;
  m->names = p.names.release();
  m->defaults = p.defaults.release();
  m->textsig = p.textsig.release();
  m->fill.n = sig.n();
  for (Py_ssize_t i = m->nrequired; i < m->fill.n; ++i)
    if (!(m->fill.v[i] = PyTuple_GetItem(m->defaults, i - m->nrequired))) throw PyErrSet{};
  return o;
}

// One entry of a class namespace, in order: a method, or a value made by a
// factory (CUF_Status's context manager).
struct Entry {
  const Sig* sig;
  ImplFn impl;
  const char* name;
  Ref (*make)(void* state);
};

// Makes a class as `type(name, (), namespace)` with the entries in order.
inline Ref make_class(ModuleBase& st, const char* name, const std::vector<Entry>& entries) {
  Ref ns = ok(PyDict_New());
  PyObject* modname = PyDict_GetItemString(st.globals, "__name__");
  if (!modname) raise(PyExc_SystemError, "module has no __name__");
  ok(PyDict_SetItemString(ns.get(), "__module__", modname));
  ok(PyDict_SetItemString(ns.get(), "__qualname__", str(name).get()));
  std::vector<Ref> methods;
  for (const Entry& e : entries) {
    if (e.sig) {
      methods.push_back(new_method(st, *e.sig, e.impl));
      ok(PyDict_SetItemString(ns.get(), e.sig->name, methods.back().get()));
    } else {
      Ref v = e.make(&st);
      ok(PyDict_SetItemString(ns.get(), e.name, v.get()));
    }
  }
  Ref type_name = str(name);
  Ref bases = ok(PyTuple_New(0));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), type_name.get(), bases.get(), ns.get());
  for (Ref& m : methods) as_method(m.get())->cls = cls.dup().release();
  return cls;
}

// A module's slots: its one execution slot and, where the interpreter knows
// the slot, that it needs no GIL (docs/architecture.md, "Without the GIL").
#ifdef Py_MOD_GIL_NOT_USED  // not Py_mod_gil: newer headers define that one even for 3.10's stable ABI
#define DECK_MODULE_SLOTS(exec)                              \
  {                                                          \
    {Py_mod_exec, reinterpret_cast<void*>(exec)},            \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED}, { 0, nullptr }    \
  }
#else
#define DECK_MODULE_SLOTS(exec) \
  {                             \
    {Py_mod_exec, reinterpret_cast<void*>(exec)}, { 0, nullptr } \
  }
#endif

// The definition of a multi-phase module whose State follows the rules of
// state_traverse: one execution slot, the state in the module object.
template <class State>
constexpr PyModuleDef module_def(const char* name, PyModuleDef_Slot* slots) {
  return {PyModuleDef_HEAD_INIT, name, nullptr, sizeof(State), nullptr, slots,
          state_traverse<State>, state_clear<State>, state_free<State>};
}

// Sets up the glue's part of a module's state; the module's own types and
// names follow.
inline void init_base(ModuleBase& st, PyObject* module, PyType_Spec* method_type_spec, PyType_Spec* native_spec) {
  PyObject* g = PyModule_GetDict(module);
  if (!g) throw PyErrSet{};
  st.globals = Ref::borrow(g).release();
  st.method_type = make_type(module, method_type_spec).release();
  if (native_spec) st.native_type = make_type(module, native_spec).release();
  // The type of bound methods, without an import that hooks would see.
  if (auto* t = static_cast<PyObject*>(dlsym(RTLD_DEFAULT, "PyMethod_Type"))) {
    st.bound_method = Ref::borrow(t).release();
  } else {
    Ref types = ok(PyImport_ImportModuleLevel("types", nullptr, nullptr, nullptr, 0));
    st.bound_method = attr(types.get(), interned("MethodType").get()).release();
  }
}

}  // namespace deck
