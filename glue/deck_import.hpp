// Imports of a module body, as its import statements would make them:
// through builtins.__import__, with the interpreter's errors.
#pragma once

#include "deck_call.hpp"

namespace deck {

inline void set_global(PyObject* globals, PyObject* name, PyObject* v) { ok(PyDict_SetItem(globals, name, v)); }

// The module's __file__ when it is a str, else null (SystemError "module
// filename missing"; other errors pass when `errors_pass`).
inline Ref module_file(PyObject* mod, bool errors_pass) {
  PyObject* f = PyModule_GetFilenameObject(mod);
  if (!f) {
    if (!errors_pass && !PyErr_ExceptionMatches(PyExc_SystemError)) throw PyErrSet{};
    PyErr_Clear();
  }
  return Ref::steal(f);
}

// A module spec's origin when has_location is true and the origin is a str.
inline Ref spec_file_origin(PyObject* spec) {
  Ref has_location = optional_attr(spec, interned("has_location").get());
  if (!has_location || !truthy(has_location.get())) return Ref{};
  Ref origin = optional_attr(spec, interned("origin").get());
  if (!origin || !PyUnicode_Check(origin.get())) return Ref{};
  return origin;
}

// spec._initializing, which marks a module still being imported; before 3.13.1
// an error reading it counts as false.
inline bool spec_initializing(PyObject* spec, bool errors_pass) {
  if (!spec) return false;
  try {
    Ref value = optional_attr(spec, interned("_initializing").get());
    return value && truthy(value.get());
  } catch (const PyErrSet&) {
    if (!errors_pass) throw;
    PyErr_Clear();
    return false;
  }
}

// The ImportError of a failed `from module import name`, with the running
// interpreter's message and attributes; `mod_name` is the module's __name__
// when that is a str. Not followed: the "consider renaming" wording of 3.13.1
// on for a module file in the started script's directory, which hangs on
// start-up configuration the C API does not show.
[[noreturn]] inline void raise_cannot_import(PyObject* mod, PyObject* name, PyObject* mod_name) {
  const int version = runtime_version();
  Ref shown_name = mod_name ? Ref::borrow(mod_name) : str("<unknown module name>");
  Ref path;
  bool initializing = false;
  if (version >= 0x030D01) {
    // __spec__.origin, else __file__; no __spec__ at all: unknown location.
    Ref spec = optional_attr(mod, interned("__spec__").get());
    if (spec) {
      path = spec_file_origin(spec.get());
      if (!path && PyModule_Check(mod)) path = module_file(mod, false);
      initializing = spec_initializing(spec.get(), false);
    }
  } else {
    // Before 3.13.1 __file__ alone decides; errors on the way mean no location.
    path = module_file(mod, true);
    if (path) {
      Ref spec = Ref::steal(PyObject_GetAttrString(mod, "__spec__"));
      if (!spec) PyErr_Clear();
      initializing = spec_initializing(spec.get(), true);
    }
  }
  Ref msg;
  if (initializing && path)
    msg = ok(PyUnicode_FromFormat("cannot import name %R from partially initialized module %R "
                                  "(most likely due to a circular import) (%S)",
                                  name, shown_name.get(), path.get()));
  else if (initializing)
    msg = ok(PyUnicode_FromFormat("cannot import name %R from partially initialized module %R "
                                  "(most likely due to a circular import)",
                                  name, shown_name.get()));
  else if (path)
    msg = ok(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown_name.get(), path.get()));
  else
    msg = ok(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown_name.get()));
  Ref kwargs = ok(PyDict_New());
  ok(PyDict_SetItemString(kwargs.get(), "name", mod_name ? mod_name : Py_None));
  ok(PyDict_SetItemString(kwargs.get(), "path", path ? path.get() : Py_None));
  // From 3.12 on the interpreter also records the missing name.
  if (version >= 0x030C00) ok(PyDict_SetItemString(kwargs.get(), "name_from", name));
  Ref args = tuple_of({msg.get()});
  Ref exc = ok(PyObject_Call(PyExc_ImportError, args.get(), kwargs.get()));
  raise_object(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// One name of `from module import name`: the attribute, else a submodule
// already in sys.modules (a circular import), else the ImportError.
inline Ref import_attr(PyObject* mod, PyObject* name) {
  if (PyObject* v = PyObject_GetAttr(mod, name)) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
  PyErr_Clear();
  // Before 3.13 any error reading __name__ counts as no name.
  Ref mod_name = Ref::steal(PyObject_GetAttrString(mod, "__name__"));
  if (!mod_name) {
    if (runtime_version() >= 0x030D00 && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
  }
  if (mod_name && !PyUnicode_Check(mod_name.get())) mod_name = Ref{};
  if (mod_name) {
    Ref full = ok(PyUnicode_FromFormat("%U.%U", mod_name.get(), name));
    if (PyObject* sub = PyImport_GetModule(full.get())) return Ref::steal(sub);
    throw_if_error();
  }
  raise_cannot_import(mod, name, mod_name.get());
}

// The __import__ that an import statement in the module body calls, looked
// up at each import as the statement does: in the module's __builtins__
// (a module stands for its dict), else in the current builtins.
inline Ref import_function(PyObject* globals) {
  Ref key = str("__builtins__");
  Ref builtins = dict_item(globals, key.get());  // strong: see dict_item
  if (!builtins) {
    builtins = Ref::borrow(PyEval_GetBuiltins());
  } else if (PyModule_Check(builtins.get())) {
    builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
  }
  Ref name = str("__import__");
  Ref f;
  if (builtins && PyDict_Check(builtins.get())) {
    f = dict_item(builtins.get(), name.get());
  } else if (builtins) {
    f = Ref::steal(PyObject_GetItem(builtins.get(), name.get()));
    if (!f) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrSet{};
      PyErr_Clear();
    }
  }
  if (!f) {
    raise(PyExc_ImportError, "__import__ not found");
  }
  return f;
}

// The import of a module-level statement: __import__(name, globals, locals,
// fromlist, 0), where the locals of a module body are its globals.
inline Ref import_name(PyObject* globals, PyObject* name, PyObject* fromlist) {
  Ref f = import_function(globals);
  Ref level = integer(0);
  return call(f.get(), name, globals, globals, fromlist, level.get());
}

// `from <module> import <names...>`, binding each name as a global.
inline void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names) {
  Ref fromlist = ok(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SetItem(fromlist.get(), i++, ok(PyUnicode_InternFromString(n)).release());
  Ref modname = str(module);
  Ref mod = import_name(globals, modname.get(), fromlist.get());
  for (const char* n : names) {
    Ref key = ok(PyUnicode_InternFromString(n));
    Ref val = import_attr(mod.get(), key.get());
    set_global(globals, key.get(), val.get());
  }
}

// `import <module> [as <name>]` of a top-level module.
inline void import_module(PyObject* globals, const char* module, const char* as) {
  Ref modname = str(module);
  Ref mod = import_name(globals, modname.get(), Py_None);
  set_global(globals, interned(as).get(), mod.get());
}

}  // namespace deck
