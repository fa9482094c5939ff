// deckrun: runs an installed extension module as the main module, which the
// interpreter's -m cannot do for extension modules.
#include "deck_glue.hpp"

namespace {

using deck::ok;
using deck::Ref;

int run(PyObject* argv) {
  const Py_ssize_t argc = PyList_Size(argv);
  if (argc < 0) throw deck::PyErrSet{};
  Ref sys = ok(PyImport_ImportModule("sys"));
  Ref err = ok(PyObject_GetAttrString(sys.get(), "stderr"));
  if (argc < 2) {
    deck::call_method(err.get(), ok(PyUnicode_InternFromString("write")).get(),
                      deck::str("usage: deckrun MODULE [ARGS...]\n").get());
    return 2;
  }
  PyObject* name = PyList_GetItem(argv, 1);
  Ref util = ok(PyImport_ImportModule("importlib.util"));
  Ref find_spec = ok(PyObject_GetAttrString(util.get(), "find_spec"));
  Ref spec = deck::call(find_spec.get(), name);
  if (spec.get() == Py_None) {
    Ref msg = ok(PyUnicode_FromFormat("deckrun: No module named %R\n", name));
    deck::call_method(err.get(), ok(PyUnicode_InternFromString("write")).get(), msg.get());
    return 1;
  }
  Ref from_spec = ok(PyObject_GetAttrString(util.get(), "module_from_spec"));
  Ref module = deck::call(from_spec.get(), spec.get());
  ok(PyObject_SetAttrString(module.get(), "__name__", deck::str("__main__").get()));

  // The module sees itself as sys.argv[0], as with -m.
  Ref origin = ok(PyObject_GetAttrString(spec.get(), "origin"));
  Ref new_argv = ok(PyList_GetSlice(argv, 1, argc));
  ok(PyList_SetItem(new_argv.get(), 0, origin.release()));
  ok(PyObject_SetAttrString(sys.get(), "argv", new_argv.get()));

  Ref modules = ok(PyObject_GetAttrString(sys.get(), "modules"));
  Ref old_main = Ref::borrow(PyDict_GetItemString(modules.get(), "__main__"));
  ok(PyDict_SetItemString(modules.get(), "__main__", module.get()));
  Ref loader = ok(PyObject_GetAttrString(spec.get(), "loader"));
  deck::undo_on_error(
      [&] { deck::call_method(loader.get(), ok(PyUnicode_InternFromString("exec_module")).get(), module.get()); },
      [&] {
        if (old_main) ok(PyDict_SetItemString(modules.get(), "__main__", old_main.get()));
      });
  if (old_main) ok(PyDict_SetItemString(modules.get(), "__main__", old_main.get()));
  return 0;
}

PyObject* deckrun_main(PyObject*, PyObject*) noexcept {
  return deck::guarded([]() -> Ref {
    Ref sys = ok(PyImport_ImportModule("sys"));
    Ref argv = ok(PyObject_GetAttrString(sys.get(), "argv"));
    Ref copy = ok(PySequence_List(argv.get()));
    return deck::integer(run(copy.get()));
  });
}

PyMethodDef methods[] = {
    {"main", reinterpret_cast<PyCFunction>(deckrun_main), METH_NOARGS,
     "main($module, /)\n--\n\nRun the module named by sys.argv[1] as __main__."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "deckrun", "Run an installed extension module as the main module.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_deckrun(void) { return PyModuleDef_Init(&module_def); }
