// What rich parses only when it draws, asked of rich first: see drawn_checks.hpp.
#include "drawn_checks.hpp"

#include "neutralise.hpp"

namespace orvan {

Ref rich_own(PyObject* module, PyObject* name) {
  // sys.modules, which another thread may change meanwhile: a strong reference
  Ref mod = deck::dict_item(PyImport_GetModuleDict(), module);
  if (!mod) return {};
  Ref v = Ref::steal(PyObject_GetAttr(mod.get(), name));
  if (!v) PyErr_Clear();
  return v;
}

// Whether the module global `name` is rich's own class of that name. Only
// rich's own classes draw later what is checked here: any other object
// (a subclass, a stand-in) is left to draw as it will, and asked nothing.
bool drawn_by_rich(State& st, PyObject* module, PyObject* name) {
  // held while rich's own is looked up: another thread may rebind the global
  Ref v = deck::dict_item(st.base.globals, name);
  if (!v) return false;
  Ref own = rich_own(module, name);
  return own && own.get() == v.get();
}

// Whether `console` is rich's (a subclass included): its own measure,
// render and get_style give the errors its drawing would.
bool is_rich_console(State& st, PyObject* console) {
  Ref cls = rich_own(st.n.rich_console, st.n.Console);
  return cls && PyType_Check(cls.get()) &&
         PyType_IsSubtype(Py_TYPE(console), reinterpret_cast<PyTypeObject*>(cls.get()));
}

Ref rich_console(State& st, PyObject* self) {
  Ref console = attr(self, st.n.console);
  return is_rich_console(st, console.get()) ? std::move(console) : Ref{};
}

// hasattr() as rich calls it: only an AttributeError means no.
bool has_attr(PyObject* o, PyObject* name) { return static_cast<bool>(deck::optional_attr(o, name)); }

// What passes and is no str is the caller's renderable, drawn by the
// caller's code, which is not run ahead of time.
bool renderable(const Names& N, PyObject* o) {
  return PyUnicode_Check(o) || has_attr(o, N.__rich__) || has_attr(o, N.__rich_console__);
}

void neutralise_error_message() {
  deck::Error error = deck::Error::take_normalized();
  try {
    Ref args = error.value ? Ref::steal(PyObject_GetAttrString(error.value, "args")) : Ref{};
    if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
      PyObject* message = PyTuple_GetItem(args.get(), 0);
      Ref shown = neutralise(message);
      if (shown.get() != message)
        ok(PyObject_SetAttrString(error.value, "args", deck::tuple_of({shown.get()}).get()));
    }
  } catch (const deck::PyErrSet&) {
  }
  PyErr_Clear();  // a failure here leaves the message as it was
  error.restore();
}

// `text` is as shown (neutralised), so that an error's position is rich's too.
void parse_markup(State& st, PyObject* text) {
  if (known_good(st, text)) return;
  Ref text_cls = rich_own(st.n.rich_text, st.n.Text);
  if (!text_cls) return;
  call_method(text_cls.get(), st.n.from_markup, text);
  if (!PyUnicode_CheckExact(text)) return;
  if (PySet_Size(st.good_markup) >= kKnownGoodMarkup) ok(PySet_Clear(st.good_markup));
  ok(PySet_Add(st.good_markup, text));
}

void TableChecks::header(PyObject* header) {
  if (PyUnicode_Check(header) || !drawn() || renderable(st.n, header)) return;
  if (Ref console = rich_console(st, self))  // NotRenderableError
    asking_rich([&] { return call_method(console.get(), st.n.measure, header); });
}

void TableChecks::title(PyObject* title) {
  if (PyUnicode_Check(title) || !drawn() || !truthy(title) || renderable(st.n, title)) return;
  Ref console = rich_console(st, self);
  if (!console) return;
  asking_rich([&] {
    Ref segments = call_method(console.get(), st.n.render, title);
    Ref it = ok(PyObject_GetIter(segments.get()));
    Ref first = Ref::steal(PyIter_Next(it.get()));  // rich's NotRenderableError
    if (!first) deck::throw_if_error();
    return first;
  });
}

// f(item) for each item of an exact list or tuple, by index (a callback may
// change it); nothing for any other container.
template <class F>
static void each_item(PyObject* seq, F&& f) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; Ref item = deck::list_item(seq, i); ++i) f(item.get());
  } else if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_Size(seq); ++i) f(PyTuple_GetItem(seq, i));
  }
}

void check_new_table(State& st, PyObject* self, PyObject* title, PyObject* columns) {
  TableChecks checks{st, self};
  if (!checks.drawn()) return;
  auto check = [&](PyObject* value, bool is_title) {
    bool bracket = false;
    Ref shown = neutralise(value, &bracket);
    checks.text(shown.get(), bracket);
    if (is_title)
      checks.title(shown.get());
    else
      checks.header(shown.get());
  };
  each_item(columns, [&](PyObject* header) { check(header, false); });
  check(title, true);
}

// The str() of an int, float, bool or None holds no "[", and no other
// cell's str() is made for a table rich does not draw.
void check_new_row(State& st, PyObject* self, PyObject* values) {
  TableChecks checks{st, self};
  each_item(values, [&](PyObject* v) {
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None) return;
    if (!PyUnicode_CheckExact(v) && !checks.drawn()) return;
    bool bracket = false;
    Ref shown = neutralise(PyUnicode_CheckExact(v) ? Ref::borrow(v) : ok(PyObject_Str(v)), &bracket);
    checks.text(shown.get(), bracket);
  });
}

// A log line is accepted only if its composed line parses on its own. rich
// closes a tag by name, the nearest open one first, so a line that parses
// alone parses after any other lines too, and every window of the log
// parses. The time stamp (digits and "/-:") makes no markup, so the line is
// looked up with its digits as zeros, the same length: one parse for a
// message and colour, not one every second. A message without "[" adds no
// markup either (a trailing "\" can only escape the closing tag), so such a
// line is looked up with the message left out: one parse for its colours.
static bool stamp_shaped(PyObject* ts) {
  if (!PyUnicode_CheckExact(ts) || PyUnicode_GetLength(ts) != sizeof(kStampShape) - 1) return false;
  for (Py_ssize_t i = 0; i < PyUnicode_GetLength(ts); ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(ts, i);
    if (kStampShape[i] == '0' ? !(c >= '0' && c <= '9') : c != static_cast<Py_UCS4>(kStampShape[i])) return false;
  }
  return true;
}

void check_log_line(State& st, PyObject* line, PyObject* c1, PyObject* ts, PyObject* msg, PyObject* c2) {
  const Names& N = st.n;
  if (!drawn_by_rich(st, N.rich_text, N.Text)) return;
  if (stamp_shaped(ts)) {
    const bool plain = PyUnicode_FindChar(msg, '[', 0, PY_SSIZE_T_MAX, 1) == -1;
    deck::throw_if_error();
    Ref key = neutralise(colour_markup(N, c1, {N.open_tag, N.stamp_shape, N.stamp_close, plain ? N.empty : msg}, c2));
    if (known_good(st, key.get())) return;
    try {
      return parse_markup(st, key.get());
    } catch (const deck::PyErrSet&) {
      PyErr_Clear();  // the line itself gives the error, or passes
    }
  }
  Ref text_cls = rich_own(N.rich_text, N.Text);
  if (text_cls) call_method(text_cls.get(), N.from_markup, neutralise(line).get());
}

// The description column parses its text as markup; the bar is drawn in its
// colour while the task is unfinished, which it never is with no total
// (it pulses) or a total not above 0. A total that is no plain number may
// fail only when the bar is drawn (rich compares it with 0, divides by it),
// so with rich's own bar the new bar is drawn once here, which raises what
// its first drawing would.
void check_bar(State& st, PyObject* self, PyObject* bar, PyObject* shown_description, bool description_bracket,
               PyObject* total, PyObject* colour) {
  const Names& N = st.n;
  const bool text_column = drawn_by_rich(st, N.rich_progress, N.TextColumn);
  if (text_column && description_bracket)
    parse_markup(st, concat(N, {N.description_tag, shown_description}).get());
  if (total == Py_None || !drawn_by_rich(st, N.rich_progress, N.BarColumn)) return;
  const bool number = PyLong_CheckExact(total) || PyBool_Check(total) || PyFloat_CheckExact(total);
  if (number && !ok(PyObject_RichCompareBool(total, N.zero, Py_GT))) return;
  Ref console = rich_console(st, self);
  if (!console) return;
  if (number || !text_column || !drawn_by_rich(st, N.rich_progress, N.Progress)) {
    call_method(console.get(), N.get_style, colour);  // MissingStyle
    return;
  }
  Ref drawn = call_method(bar, N.get_renderable);
  Ref segments = call_method(console.get(), N.render, drawn.get());
  ok(PySequence_List(segments.get()));  // TypeError, InvalidOperation, MissingStyle
}
// The spinner draws a message that is no str in a table cell, in its own
// thread, where one rich cannot render stops it (a false one is not drawn).
// With rich's console such a message is refused at entry, as rich's table
// refuses it, before the spinner starts.
Ref status_message(State& st, PyObject* console, PyObject* msg) {
  if (PyUnicode_Check(msg)) return neutralise(msg);
  if (!is_rich_console(st, console) || !truthy(msg) || renderable(st.n, msg)) return Ref::borrow(msg);
  Ref table_cls = rich_own(st.n.rich_table, st.n.Table);
  if (table_cls) {
    asking_rich([&] {
      Ref table = call(table_cls.get());
      return call_method(table.get(), st.n.add_row, msg);  // NotRenderableError
    });
  }
  return Ref::borrow(msg);
}

}  // namespace orvan
