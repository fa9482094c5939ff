// Objects that rich turns into text itself: CUF_Print of an object that is
// no str, renderable or container shows its str() neutralised, printed by
// rich exactly as it prints such an object.
#include "drawn_checks.hpp"
#include "neutralise.hpp"

namespace orvan {
namespace {

// An object whose str() is a given text, and nothing else: rich prints it as
// it prints any object that is no str, renderable or container.
struct ShownText {
  PyObject_HEAD
  PyObject* text;
};

void shown_text_dealloc(PyObject* o) {
  Py_CLEAR(reinterpret_cast<ShownText*>(o)->text);
  deck::free_instance(o);
}

PyObject* shown_text_str(PyObject* o) noexcept {
  PyObject* text = reinterpret_cast<ShownText*>(o)->text;
  if (!text) return PyUnicode_FromString("");
  Py_INCREF(text);
  return text;
}

PyType_Slot shown_text_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(shown_text_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(shown_text_str)},
    {0, nullptr},
};
PyType_Spec shown_text_spec = {"OrvanDeck.shown_text", sizeof(ShownText), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               shown_text_slots};

}  // namespace

PyObject* make_shown_text_type(PyObject* module) { return deck::make_type(module, &shown_text_spec).release(); }

// rich prints an object that is no str, renderable or container (an
// exception, a path) as its str(), highlighted and without markup; with
// rich's console that str() is made here and shown neutralised, through an
// object whose str() it is, which rich prints the same way.
Ref printed(State& st, PyObject* console, PyObject* msg) {
  const Names& N = st.n;
  if (PyUnicode_Check(msg)) return neutralise(msg);
  if (!is_rich_console(st, console) || has_attr(msg, N.__rich_console__) ||
      (has_attr(msg, N.__rich__) && !PyType_Check(msg)))
    return Ref::borrow(msg);
  Ref pretty = ok(PyImport_ImportModule("rich.pretty"));  // as rich's print imports it
  Ref expandable = call_method(pretty.get(), N.is_expandable, msg);
  if (truthy(expandable.get())) return Ref::borrow(msg);  // pretty-printed through repr()
  Ref text = neutralise(ok(PyObject_Str(msg)));
  Ref shown = ok(deck::alloc_of(st.shown_text_type)(reinterpret_cast<PyTypeObject*>(st.shown_text_type), 0));
  reinterpret_cast<ShownText*>(shown.get())->text = text.release();
  return shown;
}

}  // namespace orvan
