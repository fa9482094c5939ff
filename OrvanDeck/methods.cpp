// The class's methods, each signature above its body. A body gets the
// module state and its arguments as a plain array, the instance first; see
// docs/architecture.md, "Methods".
#include "drawn_checks.hpp"
#include "neutralise.hpp"

namespace orvan {
namespace {

using deck::dflt;

const Sig S_init{"__init__", "CLASS_Orvan.__init__", {"self", "Pmi_RefreshRate", "Pmi_LogLines"}, {dflt(4), dflt(10)}};
Ref m_init(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject* self = a[0];
  Ref console_cls = global(g, N.Console);
  Ref console = call(console_cls.get());
  set_attr(self, N.console, console.get());
  set_attr(self, N.Pmi_RefreshRate, a[1]);
  set_attr(self, N.Pmi_LogLines, a[2]);
  set_attr(self, N.live, Py_None);
  set_attr(self, N.tables, ok(PyDict_New()).get());
  set_attr(self, N.logs, ok(PyList_New(0)).get());
  set_attr(self, N.single_line_msg, N.empty);
  set_attr(self, N.progress_bar, Py_None);
  set_attr(self, N.progress_task_id, Py_None);
  Ref live_cls = global(g, N.Live);
  Ref group = call_method(self, N._render_group);
  Ref cons = attr(self, N.console);
  Ref rate = attr(self, N.Pmi_RefreshRate);
  Ref live = call_kw(live_cls.get(), {group.get(), cons.get(), rate.get()}, N.kw_live);
  set_attr(self, N.live, live.get());
  Ref live2 = attr(self, N.live);
  call_method(live2.get(), N.start);
  return none();
}

const Sig S_render{"_render_group", "CLASS_Orvan._render_group", {"self"}, {}};
Ref m_render_group(State& st, PyObject* const* a) { return render_group(st, a[0]); }

const Sig S_add_table{"CUF_AddTable", "CLASS_Orvan.CUF_AddTable", {"self", "Pms_TableID", "Pml_Columns"}, {}};
Ref m_add_table(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *table_id = a[1], *columns = a[2];
  Ref tables = attr(self, N.tables);
  if (ok(PySequence_Contains(tables.get(), table_id))) return none();
  check_new_table(st, self, table_id, columns);
  Ref entry = ok(PyDict_New());
  ok(PyDict_SetItem(entry.get(), N.columns, columns));
  ok(PyDict_SetItem(entry.get(), N.rows, ok(PyDict_New()).get()));
  Ref tables2 = attr(self, N.tables);
  ok(PyObject_SetItem(tables2.get(), table_id, entry.get()));
  deck::undo_on_error([&] { refresh(N, self); }, [&] { ok(PyObject_DelItem(tables2.get(), table_id)); });
  return none();
}

const Sig S_display_multi{"CUF_DisplayMulti", "CLASS_Orvan.CUF_DisplayMulti",
                          {"self", "Pms_TableID", "Pms_RowKey", "Pml_ValueList"}, {}};
Ref m_display_multi(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *table_id = a[1], *row_key = a[2], *values = a[3];
  Ref tables = attr(self, N.tables);
  if (!ok(PySequence_Contains(tables.get(), table_id))) {
    Ref id_text = neutralise(ok(PyObject_Format(table_id, N.empty)));
    Ref head = deck::str("Table '");
    Ref tail = deck::str("' not exists. Call CUF_AddTable() first.");
    Ref msg = concat(N, {head.get(), id_text.get(), tail.get()});
    Ref exc = call(PyExc_KeyError, msg.get());
    deck::raise_object(PyExc_KeyError, exc.get());
  }
  Ref tables2 = attr(self, N.tables);
  Ref entry = ok(PyObject_GetItem(tables2.get(), table_id));
  Ref rows = ok(PyObject_GetItem(entry.get(), N.rows));
  check_new_row(st, self, values);
  Ref previous;
  if (PyDict_Check(rows.get())) {
    previous = deck::dict_item(rows.get(), row_key);
  } else if (ok(PySequence_Contains(rows.get(), row_key))) {
    previous = ok(PyObject_GetItem(rows.get(), row_key));
  }
  ok(PyObject_SetItem(rows.get(), row_key, values));
  deck::undo_on_error([&] { refresh(N, self); },
                      [&] {
                        // Put the old list back where it stood, or drop the new key.
                        if (previous)
                          ok(PyObject_SetItem(rows.get(), row_key, previous.get()));
                        else
                          ok(PyObject_DelItem(rows.get(), row_key));
                      });
  return none();
}

const Sig S_print{"CUF_Print", "CLASS_Orvan.CUF_Print", {"self", "Pms_MsgStr"}, {}};
Ref m_print(State& st, PyObject* const* a) {
  const Names& N = st.n;
  Ref console = attr(a[0], N.console);
  call_method(console.get(), N.print, printed(st, console.get(), a[1]).get());
  return none();
}

const Sig S_display_single{"CUF_DisplaySingle", "CLASS_Orvan.CUF_DisplaySingle",
                           {"self", "Pms_MsgSTR", "Pms_Color"}, {dflt("cyan")}};
Ref m_display_single(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *msg = a[1], *color = a[2];
  Ref c1 = format_piece(N, color);
  Ref m = format_piece(N, msg);
  Ref c2 = format_piece(N, color);
  Ref markup = colour_markup(N, c1.get(), {m.get()}, c2.get());
  Ref previous = attr(self, N.single_line_msg);
  set_attr(self, N.single_line_msg, markup.get());
  deck::undo_on_error([&] { refresh(N, self); }, [&] { set_attr(self, N.single_line_msg, previous.get()); });
  return none();
}

// Drops the line this call appended, found by identity from the end.
void remove_appended(const Names& N, PyObject* logs, PyObject* line) {
  if (PyList_Check(logs)) {
    for (Py_ssize_t i = PyList_Size(logs) - 1; i >= 0; --i) {
      // another thread may change the list meanwhile: each item is held while
      // it is compared, and an index past a shrunk end holds nothing
      if (deck::list_item(logs, i).get() == line) {
        ok(PySequence_DelItem(logs, i));
        return;
      }
    }
    return;
  }
  call_method(logs, N.remove, line);
}

const Sig S_add_log{"CUF_AddLog", "CLASS_Orvan.CUF_AddLog", {"self", "Pms_LogMsg", "Pms_Color"}, {dflt("white")}};
Ref m_add_log(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject *self = a[0], *msg = a[1], *color = a[2];
  Ref dt = global(g, N.datetime);
  Ref now = call_method(dt.get(), N.now);
  Ref ts = call_method(now.get(), N.strftime, N.ts_format);
  Ref c1 = format_piece(N, color);
  Ref t = format_piece(N, ts.get());
  Ref m = format_piece(N, msg);
  Ref c2 = format_piece(N, color);
  Ref line = colour_markup(N, c1.get(), {N.open_tag, t.get(), N.stamp_close, m.get()}, c2.get());
  Ref logs = attr(self, N.logs);
  call_method(logs.get(), N.append, line.get());
  // The block is parsed by the composition first, so a line that fails
  // there gives the same error as ever; one that fails only alone after it.
  deck::undo_on_error(
      [&] { refresh(N, self, [&] { check_log_line(st, line.get(), c1.get(), t.get(), m.get(), c2.get()); }); },
      [&] { remove_appended(N, logs.get(), line.get()); });
  return none();
}

const Sig S_progress_start{"CUF_ProgressStartP", "CLASS_Orvan.CUF_ProgressStartP",
                           {"self", "Pms_Description", "Pmi_Total", "Pms_BarColor", "Pmf_PercentWidth"},
                           {dflt("Progress"), dflt(100), dflt("green"), dflt(0.3)}};
Ref m_progress_start(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject *self = a[0], *description = a[1], *total = a[2], *bar_color = a[3], *percent_width = a[4];
  Ref progress_cls = global(g, N.Progress);
  Ref text_column = global(g, N.TextColumn);
  Ref col1 = call(text_column.get(), N.fmt_description);
  Ref bar_column = global(g, N.BarColumn);
  Ref max_fn = global(g, N.max);
  Ref console = attr(self, N.console);
  Ref width = attr(console.get(), N.width);
  Ref product = ok(PyNumber_Multiply(width.get(), percent_width));
  Ref as_int = ok(PyNumber_Long(product.get()));
  Ref bar_width = call(max_fn.get(), N.ten, as_int.get());
  Ref col2 = call_kw(bar_column.get(), {bar_width.get(), bar_color}, N.kw_bar);
  Ref text_column2 = global(g, N.TextColumn);
  Ref col3 = call(text_column2.get(), N.fmt_percentage);
  Ref console2 = attr(self, N.console);
  Ref bar = call_kw(progress_cls.get(), {col1.get(), col2.get(), col3.get(), console2.get(), Py_True}, N.kw_progress);
  // Bar and task id are stored together, so a failed add_task leaves no
  // bar paired with a stale id.
  Ref add_task = attr(bar.get(), N.add_task);
  // rich's description column formats anything but a str anew at every
  // draw: it gets the text once, shown.
  bool bracket = false;
  Ref shown = PyUnicode_CheckExact(description) || !drawn_by_rich(st, N.rich_progress, N.TextColumn)
                  ? neutralise(description, &bracket)
                  : neutralise(ok(PyObject_Format(description, N.empty)), &bracket);
  Ref task_id = call_kw(add_task.get(), {shown.get(), total}, N.kw_total);
  check_bar(st, self, bar.get(), shown.get(), bracket, total, bar_color);
  set_attr(self, N.progress_bar, bar.get());
  set_attr(self, N.progress_task_id, task_id.get());
  return none();
}

const Sig S_progress_advance{"CUF_ProgressAdvance", "CLASS_Orvan.CUF_ProgressAdvance", {"self", "Pmi_Step"},
                             {dflt(1)}};
Ref m_progress_advance(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  Ref bar = attr(self, N.progress_bar);
  if (!truthy(bar.get())) return none();
  Ref bar2 = attr(self, N.progress_bar);
  Ref update = attr(bar2.get(), N.update);
  Ref task_id = attr(self, N.progress_task_id);
  call_kw(update.get(), {task_id.get(), a[1]}, N.kw_advance);
  refresh(N, self);
  return none();
}

const Sig S_progress_stop{"CUF_ProgressStop", "CLASS_Orvan.CUF_ProgressStop", {"self"}, {}};
Ref m_progress_stop(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  Ref bar = attr(self, N.progress_bar);
  if (!truthy(bar.get())) return none();
  Ref bar2 = attr(self, N.progress_bar);
  call_method(bar2.get(), N.stop);
  set_attr(self, N.progress_bar, Py_None);
  set_attr(self, N.progress_task_id, Py_None);
  refresh(N, self);
  return none();
}

const Sig S_clear{"CUF_Clear", "CLASS_Orvan.CUF_Clear", {"self"}, {}};
Ref m_clear(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  Ref logs = attr(self, N.logs);
  call_method(logs.get(), N.clear);
  Ref tables = attr(self, N.tables);
  call_method(tables.get(), N.clear);
  set_attr(self, N.single_line_msg, N.empty);
  refresh(N, self);
  return none();
}

const Sig S_close{"CUF_Close", "CLASS_Orvan.CUF_Close", {"self"}, {}};
Ref m_close(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  Ref live = attr(self, N.live);
  if (truthy(live.get())) {
    Ref live2 = attr(self, N.live);
    call_method(live2.get(), N.stop);
  }
  Ref bar = attr(self, N.progress_bar);
  if (truthy(bar.get())) call_method(self, N.CUF_ProgressStop);
  return none();
}

template <Ref (*F)(State&, PyObject* const*)>
constexpr deck::ImplFn impl = deck::thunk<State, F>;

}  // namespace

std::vector<deck::Entry> method_table() {
  return {
      {&S_init, impl<m_init>, nullptr, nullptr},
      {&S_render, impl<m_render_group>, nullptr, nullptr},
      {&S_add_table, impl<m_add_table>, nullptr, nullptr},
      {&S_display_multi, impl<m_display_multi>, nullptr, nullptr},
      {&S_print, impl<m_print>, nullptr, nullptr},
      {nullptr, nullptr, "CUF_Status", make_status},  // status.cpp
      {&S_display_single, impl<m_display_single>, nullptr, nullptr},
      {&S_add_log, impl<m_add_log>, nullptr, nullptr},
      {&S_progress_start, impl<m_progress_start>, nullptr, nullptr},
      {&S_progress_advance, impl<m_progress_advance>, nullptr, nullptr},
      {&S_progress_stop, impl<m_progress_stop>, nullptr, nullptr},
      {&S_clear, impl<m_clear>, nullptr, nullptr},
      {&S_close, impl<m_close>, nullptr, nullptr},
  };
}

}  // namespace orvan
