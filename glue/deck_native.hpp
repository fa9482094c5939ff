// A callable object of the module's own that carries what a plain function
// carries (name, qualified name, module, annotations, text signature), for
// the generator function behind CUF_Status that contextmanager wraps.
#pragma once

#include "deck_module.hpp"

namespace deck {

using NativeImpl = ImplFn;

struct NativeFunc {
  PyObject_HEAD
  PyObject* (*vectorcall)(PyObject*, PyObject* const*, size_t, PyObject*);
  const Sig* sig;
  NativeImpl fn;
  ModuleBase* state;
  PyObject* module;       // str, the module's __name__
  PyObject* annotations;  // dict
  PyObject* names;
  PyObject* defaults;
  PyObject* textsig;
};

inline NativeFunc* as_native(PyObject* o) { return reinterpret_cast<NativeFunc*>(o); }

inline PyObject* native_vectorcall(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  NativeFunc* f = as_native(o);
  return guarded([&]() -> Ref {
    if (!f->names || !f->state->globals) raise(PyExc_RuntimeError, "the module has been cleared");
    PyObject* a[kMaxParams];
    bind(*f->sig, f->names, f->defaults, args, nargs_of(nargsf), kwnames, a);
    return ok(f->fn(f->state, a, f->sig->n(), nullptr));
  });
}

inline PyObject* native_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  return bind_to(as_native(self)->state, self, obj);
}

inline PyObject* native_name(PyObject* o, void*) noexcept { return PyUnicode_FromString(as_native(o)->sig->name); }
inline PyObject* native_qualname(PyObject* o, void*) noexcept {
  return PyUnicode_FromString(as_native(o)->sig->qualname);
}
inline PyObject* native_module(PyObject* o, void*) noexcept { return new_ref_or_none(as_native(o)->module); }
inline PyObject* native_textsig(PyObject* o, void*) noexcept { return new_ref_or_none(as_native(o)->textsig); }
inline PyObject* native_annotations(PyObject* o, void*) noexcept {
  PyObject* a = as_native(o)->annotations;
  if (a) {
    Py_INCREF(a);
    return a;
  }
  return PyDict_New();
}

// `__annotate__(format)` as 3.14 gives functions: the values for VALUE,
// VALUE_WITH_FAKE_GLOBALS and FORWARDREF, their source text for STRING.
inline PyObject* native_annotate_call(PyObject* self, PyObject* format) noexcept {
  return guarded([&]() -> Ref {
    const long fmt = PyLong_AsLong(format);
    if (fmt == -1 && PyErr_Occurred()) throw PyErrSet{};
    PyObject* ann = as_native(self)->annotations;
    Ref out = ok(PyDict_New());
    if (!ann) return out;
    if (fmt >= 1 && fmt <= 3) {
      ok(PyDict_Update(out.get(), ann));
      return out;
    }
    if (fmt != 4) raise(PyExc_NotImplementedError, "");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(ann, &pos, &key, &value)) {
      Ref text = PyType_Check(value) ? attr(value, interned("__qualname__").get()) : ok(PyObject_Repr(value));
      ok(PyDict_SetItem(out.get(), key, text.get()));
    }
    return out;
  });
}

inline PyMethodDef native_annotate_def = {"__annotate__", native_annotate_call, METH_O, nullptr};

inline PyObject* native_annotate(PyObject* o, void*) noexcept {
  return PyCFunction_NewEx(&native_annotate_def, o, nullptr);
}

inline int native_traverse(PyObject* o, visitproc visit, void* arg) {
  NativeFunc* f = as_native(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(f->module);
  Py_VISIT(f->annotations);
  Py_VISIT(f->names);
  Py_VISIT(f->defaults);
  Py_VISIT(f->textsig);
  return 0;
}

inline int native_clear(PyObject* o) {
  NativeFunc* f = as_native(o);
  Py_CLEAR(f->module);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->names);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->textsig);
  return 0;
}

inline void native_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  native_clear(o);
  free_instance(o);
}

// The type's spec; `with_annotate` for interpreters whose functions have
// __annotate__ (3.14 on).
inline PyType_Spec* native_spec(const char* name, bool with_annotate) {
#define DECK_NATIVE_GETSET                                                   \
  {"__name__", native_name, nullptr, nullptr, nullptr},                     \
      {"__qualname__", native_qualname, nullptr, nullptr, nullptr},         \
      {"__module__", native_module, nullptr, nullptr, nullptr},             \
      {"__annotations__", native_annotations, nullptr, nullptr, nullptr},   \
      {"__text_signature__", native_textsig, nullptr, nullptr, nullptr},    \
      {"__doc__", getter_none, nullptr, nullptr, nullptr}
  static PyGetSetDef getset[] = {DECK_NATIVE_GETSET, {nullptr, nullptr, nullptr, nullptr, nullptr}};
  static PyGetSetDef getset_annotate[] = {DECK_NATIVE_GETSET,
                                          {"__annotate__", native_annotate, nullptr, nullptr, nullptr},
                                          {nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef DECK_NATIVE_GETSET
  static PyMemberDef members[] = {
      {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunc, vectorcall), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(native_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(native_clear)},
      {Py_tp_call, reinterpret_cast<void*>(call_from_tuple<native_vectorcall>)},
      {Py_tp_descr_get, reinterpret_cast<void*>(native_get)},
      {Py_tp_members, members},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {nullptr, sizeof(NativeFunc), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                             slots};
  // The type is made from these at once; what it is made with is copied.
  slots[6].pfunc = with_annotate ? getset_annotate : getset;
  spec.name = name;
  return &spec;
}

// True on interpreters whose functions carry __annotate__.
inline bool has_annotate() { return runtime_version() >= 0x030E00; }

inline Ref make_native_func(ModuleBase& st, const Sig& s, NativeImpl fn, PyObject* annotations) {
  Prepared p = prepare(s, false);
  Ref o = ok(alloc_of(st.native_type)(reinterpret_cast<PyTypeObject*>(st.native_type), 0));
  NativeFunc* f = as_native(o.get());
  f->vectorcall = native_vectorcall;
  f->sig = &s;
  f->fn = fn;
  f->state = &st;
  f->module = Ref::borrow(PyDict_GetItemString(st.globals, "__name__")).release();
  f->annotations = Ref::borrow(annotations).release();
  f->names = p.names.release();
  f->defaults = p.defaults.release();
  f->textsig = p.textsig.release();
  return o;
}

}  // namespace deck
