// The composition: the whole state turned into the group the live display
// draws, every text neutralised and every value rich parses when drawing
// asked of rich first (drawn_checks.hpp); and the markup pieces of messages.
#include "drawn_checks.hpp"
#include "neutralise.hpp"

namespace orvan {

// A markup piece: a str (an ENUM_RichColor member included) gives its own
// text; anything else goes through format() with an empty format string.
Ref format_piece(const Names& N, PyObject* v) {
  if (PyUnicode_Check(v)) return Ref::borrow(v);
  return ok(PyObject_Format(v, N.empty));
}

Ref concat(const Names& N, std::initializer_list<PyObject*> parts) {
  Ref list = deck::list_of(parts);
  return ok(PyUnicode_Join(N.empty, list.get()));
}

Ref colour_markup(const Names& N, PyObject* colour_open, std::initializer_list<PyObject*> middle,
                  PyObject* colour_close) {
  Ref list = ok(PyList_New(static_cast<Py_ssize_t>(middle.size() + 6)));
  Py_ssize_t i = 0;
  auto put = [&](PyObject* p) {
    Py_INCREF(p);
    PyList_SetItem(list.get(), i++, p);
  };
  put(N.open_tag);
  put(colour_open);
  put(N.close_bracket);
  for (PyObject* p : middle) put(p);
  put(N.closing_tag);
  put(colour_close);
  put(N.close_bracket);
  return ok(PyUnicode_Join(N.empty, list.get()));
}

static Ref text_from_markup(State& st, PyObject* markup) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  Ref text = global(g, N.Text);
  return call_method(text.get(), N.from_markup, markup);
}

// A cell as shown: its str(), neutralised (str() of a str is itself).
static Ref shown_cell(TableChecks& checks, Ref value) {
  bool bracket = false;
  Ref shown = neutralise(PyUnicode_CheckExact(value.get()) ? std::move(value) : ok(PyObject_Str(value.get())), &bracket);
  checks.text(shown.get(), bracket);
  return shown;
}

static Ref build_table(TableChecks& checks, PyObject* table_id, PyObject* entry) {
  State& st = checks.st;
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  Ref table_cls = global(g, N.Table);
  bool title_bracket = false;
  Ref title = neutralise(table_id, &title_bracket);
  Ref table = call_kw(table_cls.get(), {title.get()}, N.kw_title);
  Ref columns = ok(PyObject_GetItem(entry, N.columns));
  // Headers first, as rich measures the columns before it draws the title.
  deck::for_each(columns.get(), [&](Ref col) {
    bool bracket = false;
    Ref c = neutralise(std::move(col), &bracket);
    checks.text(c.get(), bracket);
    checks.header(c.get());
    call_method_kw(N.add_column, {table.get(), c.get(), N.center}, N.kw_justify);
  });
  // A title is checked even before the table has columns: its first row
  // gives it some, and then the title is drawn.
  checks.text(title.get(), title_bracket);
  checks.title(title.get());
  Ref rows = ok(PyObject_GetItem(entry, N.rows));
  // A snapshot: add_row runs Python code, during which another thread may
  // add a row to the dict being walked.
  Ref row_values = ok(PySequence_List(call_method(rows.get(), N.values).get()));
  // add_row(table, *cells): the cells' references live in `cells`, the call
  // reads them from `stack`; both are reused across rows.
  std::vector<Ref> cells;
  std::vector<PyObject*> stack;
  for (Py_ssize_t r = 0; Ref value_list = deck::list_item(row_values.get(), r); ++r) {
    cells.clear();
    // A list or tuple is walked by index, as its own iterator walks it.
    if (PyList_CheckExact(value_list.get())) {
      for (Py_ssize_t i = 0; Ref v = deck::list_item(value_list.get(), i); ++i)
        cells.push_back(shown_cell(checks, std::move(v)));
    } else if (PyTuple_CheckExact(value_list.get())) {
      for (Py_ssize_t i = 0; i < PyTuple_Size(value_list.get()); ++i)
        cells.push_back(shown_cell(checks, Ref::borrow(PyTuple_GetItem(value_list.get(), i))));
    } else {
      deck::for_each(value_list.get(), [&](Ref v) { cells.push_back(shown_cell(checks, std::move(v))); });
    }
    stack.clear();
    stack.push_back(table.get());
    for (const Ref& c : cells) stack.push_back(c.get());
    deck::vcall_method(N.add_row, stack.data(), stack.size());
  }
  return table;
}

Ref render_group(State& st, PyObject* self) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  std::vector<Ref> elements;
  Ref logs = attr(self, N.logs);
  if (truthy(logs.get())) {
    // log_text = "\n".join(self.logs[-self.Pmi_LogLines:]) comes first, then
    // Text.from_markup(log_text) is looked up and called.
    Ref logs2 = attr(self, N.logs);
    Ref n = attr(self, N.Pmi_LogLines);
    Ref start = ok(PyNumber_Negative(n.get()));
    Ref slice = ok(PySlice_New(start.get(), nullptr, nullptr));
    Ref visible = ok(PyObject_GetItem(logs2.get(), slice.get()));
    Ref joined = neutralise(ok(PyUnicode_Join(N.newline, visible.get())));
    elements.push_back(text_from_markup(st, joined.get()));
  }
  // Message and bar are read for the test and again for the use.
  if (truthy(attr(self, N.single_line_msg).get())) {
    Ref from_markup = attr(global(g, N.Text).get(), N.from_markup);
    Ref msg = attr(self, N.single_line_msg);
    elements.push_back(call(from_markup.get(), neutralise(msg.get()).get()));
  }
  Ref tables = attr(self, N.tables);
  Ref items = ok(PySequence_List(call_method(tables.get(), N.items).get()));
  TableChecks checks{st, self};
  deck::for_each(items.get(), [&](Ref pair) {
    auto [table_id, entry] = unpack2(pair.get());
    elements.push_back(build_table(checks, table_id.get(), entry.get()));
  });
  if (truthy(attr(self, N.progress_bar).get())) {
    Ref bar = attr(self, N.progress_bar);
    elements.push_back(call_method(bar.get(), N.get_renderable));
  }
  Ref group = global(g, N.Group);
  std::vector<PyObject*> stack;
  stack.reserve(elements.size());
  for (const Ref& e : elements) stack.push_back(e.get());
  return deck::vcall(group.get(), stack.data(), stack.size());
}

}  // namespace orvan
