// deckrun: runs an installed extension module as the main module, which the
// interpreter's -m cannot do for extension modules.
#include "deck_glue.hpp"

namespace {

using deck::ok;
using deck::Ref;

const long kInterrupted = 130;  // 128 + SIGINT, what a shell reports for Ctrl-C
const char kUsage[] = "usage: deckrun MODULE [ARGS...]\n";
const char kHelp[] =
    "\n"
    "Runs the installed extension module MODULE as __main__, with ARGS as its\n"
    "command line; python -m cannot do that for extension modules.\n"
    "\n"
    "  deckrun OrvanDeck     the dashboard demonstration (about 8 s)\n"
    "  deckrun PelmarDeck    the screen demonstration (Ctrl-C ends it)\n"
    "\n"
    "Ctrl-C ends deckrun with exit status 130 and no traceback, once the module\n"
    "has restored the terminal.\n"
    "\n"
    "Modules written in Python run with python -m MODULE.\n";

void write(PyObject* sys, const char* stream, PyObject* text) {
  Ref file = ok(PyObject_GetAttrString(sys, stream));
  deck::call_method(file.get(), deck::interned("write").get(), text);
}

int run(PyObject* argv) {
  const Py_ssize_t argc = PyList_Size(argv);
  if (argc < 0) throw deck::PyErrSet{};
  Ref sys = ok(PyImport_ImportModule("sys"));
  if (argc < 2) {
    write(sys.get(), "stderr", deck::str(kUsage).get());
    return 2;
  }
  PyObject* name = PyList_GetItem(argv, 1);
  if (!name) throw deck::PyErrSet{};
  // Module names never start with "-": such a first argument is an option.
  Ref dash = deck::str("-");
  if (ok(PyUnicode_Tailmatch(name, dash.get(), 0, 1, -1))) {
    Ref help = deck::str("-h"), long_help = deck::str("--help");
    if (ok(PyObject_RichCompareBool(name, help.get(), Py_EQ)) ||
        ok(PyObject_RichCompareBool(name, long_help.get(), Py_EQ))) {
      write(sys.get(), "stdout", ok(PyUnicode_FromFormat("%s%s", kUsage, kHelp)).get());
      return 0;
    }
    write(sys.get(), "stderr", ok(PyUnicode_FromFormat("deckrun: unknown option %R\n%s", name, kUsage)).get());
    return 2;
  }
  Ref util = ok(PyImport_ImportModule("importlib.util"));
  Ref find_spec = ok(PyObject_GetAttrString(util.get(), "find_spec"));
  Ref spec;
  try {
    spec = deck::call(find_spec.get(), name);
  } catch (const deck::PyErrSet&) {
    // a dotted name whose parent is missing, or a relative name: one line, as for a missing module
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    deck::Error error = deck::Error::take_normalized();
    write(sys.get(), "stderr", ok(PyUnicode_FromFormat("deckrun: %S\n", error.value)).get());
    return 1;
  }
  if (spec.get() == Py_None) {
    write(sys.get(), "stderr", ok(PyUnicode_FromFormat("deckrun: No module named %R\n", name)).get());
    return 1;
  }
  Ref loader = ok(PyObject_GetAttrString(spec.get(), "loader"));
  Ref machinery = ok(PyImport_ImportModule("importlib.machinery"));
  Ref extension_loader = ok(PyObject_GetAttrString(machinery.get(), "ExtensionFileLoader"));
  if (!ok(PyObject_IsInstance(loader.get(), extension_loader.get()))) {
    write(sys.get(), "stderr",
          ok(PyUnicode_FromFormat("deckrun: %R is not an extension module; for a Python module use: python -m %U\n",
                                  name, name)).get());
    return 2;
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
  Ref old_main = deck::dict_item(modules.get(), deck::str("__main__").get());
  ok(PyDict_SetItemString(modules.get(), "__main__", module.get()));
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
    try {
      return deck::integer(run(copy.get()));
    } catch (const deck::PyErrSet&) {
      // Ctrl-C: the module restored the terminal on the way out (its finally blocks and
      // curses.wrapper have run); end quietly with 128 + SIGINT, as a command-line tool does.
      // Any other error keeps its traceback.
      if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw;
      PyErr_Clear();
      return deck::integer(kInterrupted);
    }
  });
}

PyMethodDef methods[] = {
    {"main", reinterpret_cast<PyCFunction>(deckrun_main), METH_NOARGS,
     "main($module, /)\n--\n\nRun the module named by sys.argv[1] as __main__."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_MOD_GIL_NOT_USED  // not Py_mod_gil: newer headers define that one even for 3.10's stable ABI
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},  // holds no state of its own
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "deckrun", "Run an installed extension module as the main module.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_deckrun(void) { return PyModuleDef_Init(&module_def); }
