// The module: its body (the imports, the colour enumeration, the class, and
// the demonstration when run as __main__), its slots and its definition.
#include "orvan.hpp"

namespace orvan {
namespace {

// The class statement `class ENUM_RichColor(str, Enum)`, step by step.
void make_enum(State& st) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  static const char* const members[][2] = {
      {"cE_RCH_BLACK", "black"},          {"cE_RCH_RED", "red"},
      {"cE_RCH_GREEN", "green"},          {"cE_RCH_YELLOW", "yellow"},
      {"cE_RCH_BLUE", "blue"},            {"cE_RCH_MAGENTA", "magenta"},
      {"cE_RCH_CYAN", "cyan"},            {"cE_RCH_WHITE", "white"},
      {"cE_RCH_GREY", "grey"},            {"cE_RCH_ORANGE", "orange"},
      {"cE_RCH_PINK", "pink"},            {"cE_RCH_PURPLE", "purple"},
      {"cE_RCH_BROWN", "brown"},          {"cE_RCH_TEAL", "teal"},
      {"cE_RCH_BRIGHT_BLACK", "bright_black"},     {"cE_RCH_BRIGHT_RED", "bright_red"},
      {"cE_RCH_BRIGHT_GREEN", "bright_green"},     {"cE_RCH_BRIGHT_YELLOW", "bright_yellow"},
      {"cE_RCH_BRIGHT_BLUE", "bright_blue"},       {"cE_RCH_BRIGHT_MAGENTA", "bright_magenta"},
      {"cE_RCH_BRIGHT_CYAN", "bright_cyan"},       {"cE_RCH_BRIGHT_WHITE", "bright_white"},
  };
  Ref enum_base = global(g, N.Enum);
  Ref bases = deck::tuple_of({reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_base.get()});
  // The most derived metaclass of the bases.
  Ref meta = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
  for (PyObject* b : {reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_base.get()}) {
    PyObject* mb = reinterpret_cast<PyObject*>(Py_TYPE(b));
    if (ok(PyObject_IsSubclass(mb, meta.get()))) {
      meta = Ref::borrow(mb);
    } else if (!ok(PyObject_IsSubclass(meta.get(), mb))) {
      deck::raise(PyExc_TypeError, "metaclass conflict");
    }
  }
  Ref name = deck::str("ENUM_RichColor");
  Ref prepare = ok(PyObject_GetAttrString(meta.get(), "__prepare__"));
  Ref ns = call(prepare.get(), name.get(), bases.get());
  PyObject* module_name = PyDict_GetItemString(g, "__name__");
  ok(PyObject_SetItem(ns.get(), deck::str("__module__").get(), module_name));
  ok(PyObject_SetItem(ns.get(), deck::str("__qualname__").get(), name.get()));
  for (const auto& m : members) ok(PyObject_SetItem(ns.get(), deck::str(m[0]).get(), deck::str(m[1]).get()));
  Ref cls = call(meta.get(), name.get(), bases.get(), ns.get());
  deck::set_global(g, N.ENUM_RichColor, cls.get());
}

int exec_module(PyObject* module) noexcept {
  return deck::exec_body([&] {
    State* st = deck::state_of<State>(module);
    if (!st) throw deck::PyErrSet{};
    deck::init_base(st->base, module, deck::method_spec("OrvanDeck.method_descriptor"),
                    deck::native_spec("OrvanDeck.native_function", deck::has_annotate()));
    st->status_type = make_status_type(module);
    st->good_markup = ok(PySet_New(nullptr)).release();
    st->shown_text_type = make_shown_text_type(module);
    st->n.init();
    PyObject* g = st->base.globals;
    deck::import_from(g, "enum", {"Enum"});
    deck::import_from(g, "datetime", {"datetime"});
    deck::import_from(g, "contextlib", {"contextmanager"});
    deck::import_from(g, "rich.live", {"Live"});
    deck::import_from(g, "rich.console", {"Console", "Group"});
    deck::import_from(g, "rich.table", {"Table"});
    deck::import_from(g, "rich.progress", {"Progress", "BarColumn", "TextColumn"});
    deck::import_from(g, "rich.text", {"Text"});
    make_enum(*st);
    Ref cls = deck::make_class(st->base, "CLASS_Orvan", method_table());
    deck::set_global(g, st->n.CLASS_Orvan, cls.get());
    deck::import_from(g, "time", {"sleep"});
    deck::import_module(g, "random", "random");
    if (deck::is_main(g)) run_demo(*st);
  });
}

PyModuleDef_Slot module_slots[] = DECK_MODULE_SLOTS(exec_module);

PyModuleDef module_def = deck::module_def<State>("OrvanDeck", module_slots);

}  // namespace
}  // namespace orvan

PyMODINIT_FUNC PyInit_OrvanDeck(void) { return PyModuleDef_Init(&orvan::module_def); }
