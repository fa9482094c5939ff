// OrvanDeck: a live, self-redrawing dashboard on top of rich.
#include "deck_glue.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace {

using deck::attr;
using deck::call;
using deck::call_kw;
using deck::call_method;
using deck::call_method_kw;
using deck::global;
using deck::none;
using deck::ok;
using deck::Ref;
using deck::set_attr;
using deck::Sig;
using deck::unpack2;
using deck::truthy;

// Interned names, keyword-name tuples and constants of one module object.
struct Names {
  PyObject *console, *Pmi_RefreshRate, *Pmi_LogLines, *live, *tables, *logs, *single_line_msg, *progress_bar,
      *progress_task_id;
  PyObject *Console, *Live, *Group, *Table, *Text, *Progress, *BarColumn, *TextColumn, *datetime, *contextmanager,
      *ENUM_RichColor, *CLASS_Orvan, *sleep, *random, *Enum;
  PyObject *start, *stop, *update, *_render_group, *from_markup, *items, *values, *add_column, *add_row, *title,
      *justify, *center, *columns, *rows, *print, *status, *__enter__, *__exit__, *now, *strftime, *append, *clear,
      *width, *bar_width, *complete_style, *transient, *add_task, *total, *advance, *get_renderable,
      *refresh_per_second, *CUF_ProgressStop, *CUF_Close, *empty, *newline, *remove, *max;
  PyObject *ts_format, *fmt_description, *fmt_percentage, *ten;
  PyObject *__rich__, *__rich_console__, *measure, *render, *get_style, *description_tag, *zero;
  PyObject *rich_table, *rich_text, *rich_progress, *rich_console;
  PyObject *kw_title, *kw_justify, *kw_live, *kw_bar, *kw_progress, *kw_total, *kw_advance, *kw_start;
};

// The module state: see deck::ModuleBase.
struct State {
  deck::ModuleBase base;
  PyObject* status_type;  // the status context's iterator type
  PyObject* good_markup;  // a set: markup rich has parsed without error
  Names n;
};


void init_names(Names& N) {
  auto intern = [](const char* s) { return deck::interned(s).release(); };
  auto kw = [](std::initializer_list<const char*> n) { return deck::kwnames(n).release(); };
#define NAME(x) N.x = intern(#x)
  NAME(console); NAME(Pmi_RefreshRate); NAME(Pmi_LogLines); NAME(live); NAME(tables); NAME(logs);
  NAME(single_line_msg); NAME(progress_bar); NAME(progress_task_id);
  NAME(Console); NAME(Live); NAME(Group); NAME(Table); NAME(Text); NAME(Progress); NAME(BarColumn);
  NAME(TextColumn); NAME(datetime); NAME(contextmanager); NAME(ENUM_RichColor); NAME(CLASS_Orvan); NAME(sleep);
  NAME(random); NAME(Enum);
  NAME(start); NAME(stop); NAME(update); NAME(_render_group); NAME(from_markup); NAME(items); NAME(values);
  NAME(add_column); NAME(add_row); NAME(title); NAME(justify); NAME(center); NAME(columns); NAME(rows);
  NAME(print); NAME(status); NAME(__enter__); NAME(__exit__); NAME(now); NAME(strftime); NAME(append);
  NAME(clear); NAME(width); NAME(bar_width); NAME(complete_style); NAME(transient); NAME(add_task); NAME(total);
  NAME(advance); NAME(get_renderable); NAME(refresh_per_second); NAME(CUF_ProgressStop); NAME(CUF_Close);
  NAME(remove); NAME(max);
#undef NAME
  N.empty = intern("");
  N.newline = intern("\n");
  N.ts_format = intern("%Y/%m/%d-%H:%M:%S");
  N.fmt_description = intern("[progress.description]{task.description}");
  N.fmt_percentage = intern("[progress.percentage]{task.percentage:>3.0f}%");
  N.ten = deck::integer(10).release();
  N.__rich__ = intern("__rich__");
  N.__rich_console__ = intern("__rich_console__");
  N.measure = intern("measure");
  N.render = intern("render");
  N.get_style = intern("get_style");
  N.description_tag = intern("[progress.description]");
  N.zero = deck::integer(0).release();
  N.rich_table = intern("rich.table");
  N.rich_text = intern("rich.text");
  N.rich_progress = intern("rich.progress");
  N.rich_console = intern("rich.console");
  N.kw_title = kw({"title"});
  N.kw_justify = kw({"justify"});
  N.kw_live = kw({"console", "refresh_per_second"});
  N.kw_bar = kw({"bar_width", "complete_style"});
  N.kw_progress = kw({"console", "transient"});
  N.kw_total = kw({"total"});
  N.kw_advance = kw({"advance"});
  N.kw_start = kw({"Pmi_Total", "Pms_BarColor", "Pmf_PercentWidth"});
}

// ---------------------------------------------------------------------------
// Text on its way to rich: control characters are shown, never sent.

// rich passes ESC, the other C0 controls, DEL and C1 to the terminal as they
// are, so text from outside could retitle, clear or drive it. Newline and tab
// keep their meaning.
enum : unsigned char { kPlain, kControl, kC1Lead };

constexpr std::array<unsigned char, 256> control_bytes() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kControl;
  t['\n'] = t['\t'] = kPlain;
  t[0x7F] = kControl;
  t[0xC2] = kC1Lead;  // U+0080..U+009F are C2 80..C2 9F
  return t;
}
constexpr std::array<unsigned char, 256> kControlBytes = control_bytes();

// Index of the first control character's first byte in UTF-8 text, or n.
// Eight bytes at a time pass when all are printable ASCII (0x20 to 0x7E); a
// block that may hold anything else is looked at byte by byte.
[[gnu::always_inline]] inline Py_ssize_t first_control(const unsigned char* p, Py_ssize_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  Py_ssize_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t x;
      std::memcpy(&x, p + i, 8);
      const std::uint64_t below_space = (x - kOnes * 0x20) & ~x;  // a byte under 0x20
      const std::uint64_t y = x ^ (kOnes * 0x7F);
      const std::uint64_t del = (y - kOnes) & ~y;  // a 0x7F byte
      if (((below_space | del | x) & kHigh) == 0) {
        i += 8;
        continue;
      }
    }
    for (const Py_ssize_t end = i + 8 < n ? i + 8 : n; i < end; ++i) {
      unsigned char k = kControlBytes[p[i]];
      if (k == kControl || (k == kC1Lead && i + 1 < n && p[i + 1] < 0xA0)) return i;
    }
  }
  return n;
}

// A str comes back as the same object unless it holds a control character;
// then as a copy in which C0 show as their control pictures (U+2400 + c), DEL
// as U+2421 and C1 as "<9B>" (hex in angle brackets). None of these holds
// "[", "]", "\" or ":", so no markup or emoji code appears that the caller
// did not write. Anything that is not a str passes untouched.
// The copy of `s`, UTF-8 `text` of `n` bytes, whose first control character
// starts at byte `i`.
[[gnu::noinline]] Ref neutralised_copy(const char* text, Py_ssize_t n, Py_ssize_t i) {
  static constexpr char hex[] = "0123456789ABCDEF";
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::string out(text, static_cast<size_t>(i));
  out.reserve(static_cast<size_t>(n) + 16);
  while (i < n) {
    unsigned char c = p[i];
    unsigned char k = kControlBytes[c];
    if (k == kControl) {
      unsigned char low = c == 0x7F ? 0xA1 : static_cast<unsigned char>(0x80 + c);
      out += '\xE2';
      out += '\x90';
      out += static_cast<char>(low);
      ++i;
    } else if (k == kC1Lead && i + 1 < n && p[i + 1] < 0xA0) {
      out += '<';
      out += hex[p[i + 1] >> 4];
      out += hex[p[i + 1] & 0xF];
      out += '>';
      i += 2;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  return ok(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass"));
}

// Lone surrogates have no UTF-8 form; rich shows them, so must we.
[[gnu::noinline]] Ref neutralised_surrogates(Ref s) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw deck::PyErrSet{};
  PyErr_Clear();
  Ref encoded = ok(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
  char* b = nullptr;
  Py_ssize_t n = 0;
  ok(PyBytes_AsStringAndSize(encoded.get(), &b, &n));
  Py_ssize_t i = first_control(reinterpret_cast<const unsigned char*>(b), n);
  return i == n ? std::move(s) : neutralised_copy(b, n, i);
}

// Takes `s` and gives it back, or its neutralised copy.
[[gnu::always_inline]] inline Ref neutralise(Ref s) {
  if (!PyUnicode_Check(s.get())) return s;
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s.get(), &n);  // no copy for ASCII
  if (!text) return neutralised_surrogates(std::move(s));
  Py_ssize_t i = first_control(reinterpret_cast<const unsigned char*>(text), n);
  return i == n ? std::move(s) : neutralised_copy(text, n, i);
}

Ref neutralise(PyObject* s) { return neutralise(Ref::borrow(s)); }

// ---------------------------------------------------------------------------
// Composition and the refresh rule.

Ref text_from_markup(State& st, PyObject* markup) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  Ref text = global(g, N.Text);
  return call_method(text.get(), N.from_markup, markup);
}

Ref build_table(State& st, PyObject* table_id, PyObject* entry) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  Ref table_cls = global(g, N.Table);
  Ref title = neutralise(table_id);
  Ref table = call_kw(table_cls.get(), {title.get()}, N.kw_title);
  Ref columns = ok(PyObject_GetItem(entry, N.columns));
  Ref it = ok(PyObject_GetIter(columns.get()));
  while (PyObject* col = PyIter_Next(it.get())) {
    Ref c = neutralise(Ref::steal(col));
    call_method_kw(N.add_column, {table.get(), c.get(), N.center}, N.kw_justify);
  }
  if (PyErr_Occurred()) throw deck::PyErrSet{};
  Ref rows = ok(PyObject_GetItem(entry, N.rows));
  // A snapshot: add_row runs Python code, during which another thread may
  // add a row to the dict being walked.
  Ref row_values = ok(PySequence_List(call_method(rows.get(), N.values).get()));
  // add_row(table, *cells): the cells' references live in `cells`, the call
  // reads them from `stack`; both are reused across rows.
  std::vector<Ref> cells;
  std::vector<PyObject*> stack;
  auto cell = [&](Ref value) {
    // str() of a str is itself
    cells.push_back(neutralise(PyUnicode_CheckExact(value.get()) ? std::move(value) : ok(PyObject_Str(value.get()))));
  };
  for (Py_ssize_t r = 0; r < PyList_Size(row_values.get()); ++r) {
    Ref value_list = Ref::borrow(PyList_GetItem(row_values.get(), r));
    cells.clear();
    // A list or tuple is walked by index, as its own iterator walks it.
    if (PyList_CheckExact(value_list.get())) {
      for (Py_ssize_t i = 0; i < PyList_Size(value_list.get()); ++i)
        cell(Ref::borrow(PyList_GetItem(value_list.get(), i)));
    } else if (PyTuple_CheckExact(value_list.get())) {
      for (Py_ssize_t i = 0; i < PyTuple_Size(value_list.get()); ++i)
        cell(Ref::borrow(PyTuple_GetItem(value_list.get(), i)));
    } else {
      Ref cit = ok(PyObject_GetIter(value_list.get()));
      while (PyObject* v = PyIter_Next(cit.get())) cell(Ref::steal(v));
      if (PyErr_Occurred()) throw deck::PyErrSet{};
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
  Ref it = ok(PyObject_GetIter(items.get()));
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref pair = Ref::steal(item);
    auto [table_id, entry] = unpack2(pair.get());
    elements.push_back(build_table(st, table_id.get(), entry.get()));
  }
  if (PyErr_Occurred()) throw deck::PyErrSet{};
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

void refresh(const Names& N, PyObject* self) {
  Ref live = attr(self, N.live);
  Ref update = attr(live.get(), N.update);
  Ref group = call_method(self, N._render_group);
  call(update.get(), group.get());
}

// A markup piece: a str (an ENUM_RichColor member included) gives its own
// text; anything else goes through format() with an empty format string.
Ref piece(const Names& N, PyObject* v) {
  if (PyUnicode_Check(v)) return Ref::borrow(v);
  return ok(PyObject_Format(v, N.empty));
}

Ref concat(const Names& N, std::initializer_list<PyObject*> parts) {
  Ref list = deck::list_of(parts);
  return ok(PyUnicode_Join(N.empty, list.get()));
}


// ---------------------------------------------------------------------------
// Values rich parses only later. Table titles, headers and cells, and the
// bar's colour, when the live display draws them in its own thread, where an
// error ends the redrawing without a word; the bar's description when the bar
// is composed, at whichever call refreshes next. So the operation that adds
// such a value asks rich first, and raises what rich would raise; each value
// is asked once, when it is added, never at every composition.

// rich's own `name` from its module `module`, if that is loaded; else null.
Ref rich_own(PyObject* module, PyObject* name) {
#ifdef DECK_ITEM_REF
  // sys.modules, which another thread may change meanwhile: a strong reference
  Ref mod = deck::dict_item(PyImport_GetModuleDict(), module);
  if (!mod) return {};
  Ref v = Ref::steal(PyObject_GetAttr(mod.get(), name));
#else
  PyObject* mod = PyDict_GetItemWithError(PyImport_GetModuleDict(), module);
  if (!mod) {
    if (PyErr_Occurred()) throw deck::PyErrSet{};
    return {};
  }
  Ref v = Ref::steal(PyObject_GetAttr(mod, name));
#endif
  if (!v) PyErr_Clear();
  return v;
}

// Whether the module global `name` is rich's own class of that name. Only
// rich's own classes draw later what is checked here: any other object
// (a subclass, a stand-in) is left to draw as it will, and asked nothing.
bool drawn_by_rich(State& st, PyObject* module, PyObject* name) {
#ifdef DECK_ITEM_REF
  // held while rich's own is looked up: another thread may rebind the global
  Ref v = deck::dict_item(st.base.globals, name);
  if (!v) return false;
  Ref own = rich_own(module, name);
  return own && own.get() == v.get();
#else
  PyObject* v = PyDict_GetItemWithError(st.base.globals, name);
  if (!v) {
    if (PyErr_Occurred()) throw deck::PyErrSet{};
    return false;
  }
  Ref own = rich_own(module, name);
  return own && own.get() == v;
#endif
}

// The console, when it is rich's (a subclass included): its own measure,
// render and get_style give the errors its drawing would.
Ref rich_console(State& st, PyObject* self) {
  const Names& N = st.n;
  Ref cls = rich_own(N.rich_console, N.Console);
  if (!cls || !PyType_Check(cls.get())) return {};
  Ref console = attr(self, N.console);
  if (!PyType_IsSubtype(Py_TYPE(console.get()), reinterpret_cast<PyTypeObject*>(cls.get()))) return {};
  return console;
}

// Text without "[" holds no markup.
bool holds_markup(PyObject* text) {
  Py_ssize_t at = PyUnicode_FindChar(text, '[', 0, PY_SSIZE_T_MAX, 1);
  if (at == -2) throw deck::PyErrSet{};
  return at >= 0;
}

// Parsed as rich parses text when it draws it: rich's MarkupError.
// Parsing depends on the text alone, so a str rich once parsed without error
// is not parsed again; the set of them is emptied when it grows this large.
constexpr Py_ssize_t kKnownGoodMarkup = 4096;

void parse_markup(State& st, PyObject* text) {
  const bool exact = PyUnicode_CheckExact(text);
  if (exact && ok(PySet_Contains(st.good_markup, text))) return;
  Ref text_cls = rich_own(st.n.rich_text, st.n.Text);
  if (!text_cls) return;
  call_method(text_cls.get(), st.n.from_markup, text);
  if (!exact) return;
  if (PySet_Size(st.good_markup) >= kKnownGoodMarkup) ok(PySet_Clear(st.good_markup));
  ok(PySet_Add(st.good_markup, text));
}

// The text as it reaches rich, so that an error's position is rich's too.
void check_markup(State& st, PyObject* text) {
  if (holds_markup(text)) parse_markup(st, neutralise(text).get());
}

// hasattr() as rich calls it: only an AttributeError means no.
bool has_attr(PyObject* o, PyObject* name) { return static_cast<bool>(deck::optional_attr(o, name)); }

// rich's own test. What passes and is no str is the caller's renderable,
// drawn by the caller's code, which is not run ahead of time.
bool renderable(const Names& N, PyObject* o) {
  return PyUnicode_Check(o) || has_attr(o, N.__rich__) || has_attr(o, N.__rich_console__);
}

// A list or tuple by index (a callback may change it). Another iterable is
// left alone: walking it may use it up, or give other items next time.
template <class F>
void each_item(PyObject* seq, F&& f) {
  bool list = PyList_CheckExact(seq);
  if (!list && !PyTuple_CheckExact(seq)) return;
  for (Py_ssize_t i = 0; i < (list ? PyList_Size(seq) : PyTuple_Size(seq)); ++i)
    f(Ref::borrow(list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i)).get());
}

// Headers first, as rich measures the columns before it draws the title. A
// title is checked even before the table has columns: its first row gives
// it some, and then the title is drawn.
void check_table(State& st, PyObject* self, PyObject* title, PyObject* columns) {
  const Names& N = st.n;
  if (!drawn_by_rich(st, N.rich_table, N.Table)) return;
  each_item(columns, [&](PyObject* header) {
    if (PyUnicode_Check(header)) return check_markup(st, header);
    if (renderable(N, header)) return;
    if (Ref console = rich_console(st, self)) call_method(console.get(), N.measure, header);  // NotRenderableError
  });
  if (PyUnicode_Check(title)) return check_markup(st, title);
  if (!truthy(title) || renderable(N, title)) return;  // a false title is not drawn
  Ref console = rich_console(st, self);
  if (!console) return;
  Ref segments = call_method(console.get(), N.render, title);
  Ref it = ok(PyObject_GetIter(segments.get()));
  Ref first = Ref::steal(PyIter_Next(it.get()));  // rich's NotRenderableError
  if (!first && PyErr_Occurred()) throw deck::PyErrSet{};
}

// Cells are drawn as their str(); that of an int, float, bool or None
// holds no "[".
// Whether rich draws them is asked once, and only of a row that needs it:
// a str cell without "[" needs nothing, and no other cell's str() is made
// for a table rich does not draw.
void check_cells(State& st, PyObject* values) {
  const Names& N = st.n;
  int by_rich = -1;
  auto drawn = [&] {
    if (by_rich < 0) by_rich = drawn_by_rich(st, N.rich_table, N.Table);
    return by_rich == 1;
  };
  each_item(values, [&](PyObject* v) {
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None) return;
    if (PyUnicode_CheckExact(v)) {
      if (holds_markup(v) && drawn()) check_markup(st, v);
      return;
    }
    if (!drawn()) return;
    Ref text = ok(PyObject_Str(v));
    check_markup(st, text.get());
  });
}

// The description column parses its text as markup; the bar is drawn in its
// colour while the task is unfinished, which it never is with no total
// (it pulses) or a total not above 0.
void check_bar(State& st, PyObject* self, PyObject* description, PyObject* total, PyObject* colour) {
  const Names& N = st.n;
  if (drawn_by_rich(st, N.rich_progress, N.TextColumn)) {
    Ref text = PyUnicode_CheckExact(description) ? Ref::borrow(description) : ok(PyObject_Format(description, N.empty));
    if (holds_markup(text.get())) parse_markup(st, concat(N, {N.description_tag, text.get()}).get());
  }
  if (total == Py_None || !drawn_by_rich(st, N.rich_progress, N.BarColumn)) return;
  if ((PyLong_CheckExact(total) || PyBool_Check(total) || PyFloat_CheckExact(total)) &&
      !ok(PyObject_RichCompareBool(total, N.zero, Py_GT)))
    return;
  if (Ref console = rich_console(st, self)) call_method(console.get(), N.get_style, colour);  // MissingStyle
}

// ---------------------------------------------------------------------------
// Methods. a[0] is the instance.

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

Ref m_render_group(State& st, PyObject* const* a) { return render_group(st, a[0]); }

Ref m_add_table(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *table_id = a[1], *columns = a[2];
  Ref tables = attr(self, N.tables);
  if (ok(PySequence_Contains(tables.get(), table_id))) return none();
  check_table(st, self, table_id, columns);
  Ref entry = ok(PyDict_New());
  ok(PyDict_SetItem(entry.get(), N.columns, columns));
  ok(PyDict_SetItem(entry.get(), N.rows, ok(PyDict_New()).get()));
  Ref tables2 = attr(self, N.tables);
  ok(PyObject_SetItem(tables2.get(), table_id, entry.get()));
  deck::undo_on_error([&] { refresh(N, self); }, [&] { ok(PyObject_DelItem(tables2.get(), table_id)); });
  return none();
}

Ref m_display_multi(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *table_id = a[1], *row_key = a[2], *values = a[3];
  Ref tables = attr(self, N.tables);
  if (!ok(PySequence_Contains(tables.get(), table_id))) {
    Ref id_text = ok(PyObject_Format(table_id, N.empty));
    Ref head = deck::str("Table '");
    Ref tail = deck::str("' not exists. Call CUF_AddTable() first.");
    Ref msg = concat(N, {head.get(), id_text.get(), tail.get()});
    Ref exc = call(PyExc_KeyError, msg.get());
    PyErr_SetObject(PyExc_KeyError, exc.get());
    throw deck::PyErrSet{};
  }
  Ref tables2 = attr(self, N.tables);
  Ref entry = ok(PyObject_GetItem(tables2.get(), table_id));
  Ref rows = ok(PyObject_GetItem(entry.get(), N.rows));
  check_cells(st, values);
  Ref previous;
  if (PyDict_Check(rows.get())) {
#ifdef DECK_ITEM_REF
    previous = deck::dict_item(rows.get(), row_key);  // strong: another thread may replace the row
#else
    previous = Ref::borrow(PyDict_GetItemWithError(rows.get(), row_key));
    if (!previous && PyErr_Occurred()) throw deck::PyErrSet{};
#endif
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

Ref m_print(State& st, PyObject* const* a) {
  const Names& N = st.n;
  Ref console = attr(a[0], N.console);
  call_method(console.get(), N.print, neutralise(a[1]).get());
  return none();
}

Ref m_display_single(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *msg = a[1], *color = a[2];
  Ref c1 = piece(N, color);
  Ref m = piece(N, msg);
  Ref c2 = piece(N, color);
  Ref lb = deck::str("[");
  Ref rb = deck::str("]");
  Ref close = deck::str("[/");
  Ref markup = concat(N, {lb.get(), c1.get(), rb.get(), m.get(), close.get(), c2.get(), rb.get()});
  Ref previous = attr(self, N.single_line_msg);
  set_attr(self, N.single_line_msg, markup.get());
  deck::undo_on_error([&] { refresh(N, self); }, [&] { set_attr(self, N.single_line_msg, previous.get()); });
  return none();
}

// Drops the line this call appended, found by identity from the end.
void remove_appended(const Names& N, PyObject* logs, PyObject* line) {
  if (PyList_Check(logs)) {
    for (Py_ssize_t i = PyList_Size(logs) - 1; i >= 0; --i) {
#ifdef DECK_ITEM_REF
      // Another thread may change the list meanwhile: each item is held while
      // it is compared, and an index past a shrunk end holds nothing.
      if (deck::list_item(logs, i).get() == line) {
#else
      if (PyList_GetItem(logs, i) == line) {
#endif
        ok(PySequence_DelItem(logs, i));
        return;
      }
    }
    return;
  }
  call_method(logs, N.remove, line);
}

Ref m_add_log(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject *self = a[0], *msg = a[1], *color = a[2];
  Ref dt = global(g, N.datetime);
  Ref now = call_method(dt.get(), N.now);
  Ref ts = call_method(now.get(), N.strftime, N.ts_format);
  Ref c1 = piece(N, color);
  Ref t = piece(N, ts.get());
  Ref m = piece(N, msg);
  Ref c2 = piece(N, color);
  Ref lb = deck::str("[");
  Ref mid = deck::str("][");
  Ref sp = deck::str("] ");
  Ref close = deck::str("[/");
  Ref rb = deck::str("]");
  Ref line = concat(N, {lb.get(), c1.get(), mid.get(), t.get(), sp.get(), m.get(), close.get(), c2.get(), rb.get()});
  Ref logs = attr(self, N.logs);
  call_method(logs.get(), N.append, line.get());
  deck::undo_on_error([&] { refresh(N, self); }, [&] { remove_appended(N, logs.get(), line.get()); });
  return none();
}

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
  Ref shown = neutralise(description);
  Ref task_id = call_kw(add_task.get(), {shown.get(), total}, N.kw_total);
  check_bar(st, self, shown.get(), total, bar_color);
  set_attr(self, N.progress_bar, bar.get());
  set_attr(self, N.progress_task_id, task_id.get());
  return none();
}

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

// ---------------------------------------------------------------------------
// The status context: an iterator that behaves as the generator behind
// contextmanager expects (next, throw, close).

enum StatusState { kCreated, kActive, kFinished };

struct StatusIter {
  PyObject_HEAD
  State* st;          // its module's; the iterator's type holds the module
  PyObject* self;
  PyObject* msg;
  PyObject* status;   // the console's status object
  PyObject* entered;  // what __enter__ returned, held until the end
  PyObject* exit;     // __exit__ looked up on the status object's type
  int state;
#ifdef Py_GIL_DISABLED
  int running;        // 1 while next, throw or close runs (see Executing)
#endif
};

StatusIter* as_status(PyObject* o) { return reinterpret_cast<StatusIter*>(o); }

#ifdef Py_GIL_DISABLED
// Without the GIL two threads can drive one iterator at the same time. As a
// generator does, a call that finds it executing (in another thread, or
// re-entered from a callback of its own) raises ValueError and touches
// nothing; the call that runs has the iterator to itself, and what it leaves
// is seen by the next (acquire and release on the flag).
class Executing {
 public:
  explicit Executing(StatusIter* s) noexcept : flag_(s->running) {
    int idle = 0;
    held_ = flag_.compare_exchange_strong(idle, 1, std::memory_order_acquire, std::memory_order_relaxed);
    if (!held_) PyErr_SetString(PyExc_ValueError, "generator already executing");
  }
  Executing(const Executing&) = delete;
  Executing& operator=(const Executing&) = delete;
  ~Executing() {
    if (held_) flag_.store(0, std::memory_order_release);
  }
  explicit operator bool() const noexcept { return held_; }

 private:
  std::atomic_ref<int> flag_;
  bool held_;
};
#define DECK_STATUS_EXCLUSIVE(s) \
  Executing executing_(s);       \
  if (!executing_) return nullptr
#else
// With the GIL the state each step sets before it calls out keeps a
// re-entered or concurrent call from corrupting the iterator.
#define DECK_STATUS_EXCLUSIVE(s) static_cast<void>(0)
#endif

void status_release(StatusIter* s) {
  Py_CLEAR(s->status);
  Py_CLEAR(s->entered);
  Py_CLEAR(s->exit);
}

// Calls __exit__ with the given exception; returns its result. With an
// exception it runs, as in the handler of a with statement, while that
// exception is being handled (sys.exc_info(), and the context of an error
// it raises).
Ref status_exit(StatusIter* s, PyObject* type, PyObject* value, PyObject* tb) {
  Ref exit = Ref::steal(s->exit);
  Ref status = Ref::steal(s->status);
  Ref entered = Ref::steal(s->entered);
  s->exit = s->status = s->entered = nullptr;
  s->state = kFinished;
  if (!exit) deck::raise(PyExc_RuntimeError, "the status context has been cleared");
  if (value == Py_None) return call(exit.get(), status.get(), type, value, tb);
  PyObject *ht, *hv, *htb;
  PyErr_GetExcInfo(&ht, &hv, &htb);
  Py_INCREF(type);
  Py_INCREF(value);
  Py_INCREF(tb);
  PyErr_SetExcInfo(type, value, tb);
  auto handled_back = [&] { PyErr_SetExcInfo(ht, hv, htb); };
  Ref r = deck::undo_on_error([&] { return call(exit.get(), status.get(), type, value, tb); },
                              [&] { handled_back(); });
  handled_back();
  return r;
}

PyObject* status_next(PyObject* o) noexcept {
  StatusIter* s = as_status(o);
  DECK_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    if (s->state == kCreated) {
      const Names& N = s->st->n;
      s->state = kFinished;  // until entry has succeeded
      if (!s->self) deck::raise(PyExc_RuntimeError, "the status context has been cleared");
      Ref console = attr(s->self, N.console);
      Ref status_fn = attr(console.get(), N.status);
      Ref status = call(status_fn.get(), neutralise(s->msg).get());
      PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(status.get()));
      Ref enter = attr(tp, N.__enter__);
      Ref entered = call(enter.get(), status.get());
      Ref exit = attr(tp, N.__exit__);
      s->status = status.release();
      s->entered = entered.release();
      s->exit = exit.release();
      s->state = kActive;
      return none();
    }
    if (s->state == kActive) status_exit(s, Py_None, Py_None, Py_None);
    return Ref{};  // exhausted: StopIteration without an error set
  });
}

// An exception as the interpreter normalises it (PyErr_NormalizeException:
// a value that is no instance of the class is passed to the class, an
// instance's class is asked issubclass; an error on the way is what the
// exception becomes). Takes and gives owned references; `tb` may be null.
struct Thrown {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  Thrown() = default;
  Thrown(const Thrown&) = delete;
  Thrown& operator=(const Thrown&) = delete;
  ~Thrown() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  void normalize() {
    PyErr_NormalizeException(&type, &value, &tb);
    if (!value) deck::raise(PyExc_SystemError, "exception not normalized");
  }
  // The error set now, taken over.
  void take_error() {
    Py_CLEAR(type);
    Py_CLEAR(value);
    Py_CLEAR(tb);
    PyErr_Fetch(&type, &value, &tb);
  }
  void restore() {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
  }
};

// Before 3.12 a generator's frame normalises an exception again each time it
// enters a handler: at the with statement's, and on 3.11 at the cleanup one
// that a with statement's re-raise passes through. The handler sees the
// exception with its traceback set.
constexpr int kFrameNormalizes = 0x030C00;

void reraise_from_value(Thrown& e) {
  PyObject* own = reinterpret_cast<PyObject*>(Py_TYPE(e.value));
  Py_INCREF(own);
  Py_XDECREF(e.type);
  e.type = own;
  Py_XDECREF(e.tb);
  e.tb = PyException_GetTraceback(e.value);
}

void enter_handler(Thrown& e) {
  if (deck::runtime_version() < kFrameNormalizes) e.normalize();
  ok(PyException_SetTraceback(e.value, e.tb ? e.tb : Py_None));
}

// 3.11: what leaves the with statement's handler passes its cleanup handler,
// and is raised again from the value.
void pass_cleanup(Thrown& e) {
  enter_handler(e);
  reraise_from_value(e);
}

// Step 5 at the yield of an active context, as the with statement runs it:
// true when __exit__ suppressed the exception; otherwise the exception to
// raise is left set.
bool exit_with(StatusIter* s, Thrown& e) {
  const int version = deck::runtime_version();
  enter_handler(e);
  // 3.10 hands __exit__ the class the handler was given, later versions the
  // value's own.
  PyObject* exc_type = version < 0x030B00 ? e.type : reinterpret_cast<PyObject*>(Py_TYPE(e.value));
  Ref exc_type_ref = Ref::borrow(exc_type);
  const bool cleanup = version >= 0x030B00 && version < kFrameNormalizes;
  bool suppressed;
  try {
    suppressed = truthy(status_exit(s, exc_type_ref.get(), e.value, e.tb ? e.tb : Py_None).get());
  } catch (const deck::PyErrSet&) {
    if (!cleanup) throw;
    e.take_error();
    pass_cleanup(e);
    e.restore();
    throw;
  }
  if (suppressed) return true;
  if (version >= 0x030B00) {
    // re-raised from the value alone: its class and its traceback
    reraise_from_value(e);
    if (cleanup) pass_cleanup(e);
  }
  e.restore();
  return false;
}

PyObject* status_throw(PyObject* o, PyObject* args) noexcept {
  StatusIter* s = as_status(o);
  DECK_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    PyObject *type = nullptr, *value = nullptr, *tb = Py_None;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) throw deck::PyErrSet{};
    if (PyTuple_Size(args) > 1 && deck::runtime_version() >= kFrameNormalizes &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
      throw deck::PyErrSet{};
    if (tb != Py_None && !PyTraceBack_Check(tb))
      deck::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Thrown e;
    if (PyExceptionClass_Check(type)) {
      e.type = Ref::borrow(type).release();
      e.value = Ref::borrow(value).release();
      e.tb = tb == Py_None ? nullptr : Ref::borrow(tb).release();
      e.normalize();
    } else if (PyExceptionInstance_Check(type)) {
      if (value && value != Py_None) deck::raise(PyExc_TypeError, "instance exception may not have a separate value");
      e.value = Ref::borrow(type).release();
      e.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type))).release();
      e.tb = tb == Py_None ? PyException_GetTraceback(type) : Ref::borrow(tb).release();
    } else {
      Ref tname = ok(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(type)), "__name__"));
      PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %U",
                   tname.get());
      throw deck::PyErrSet{};
    }
    if (s->state == kActive) {
      if (exit_with(s, e)) {
        PyErr_SetNone(PyExc_StopIteration);
        throw deck::PyErrSet{};
      }
      throw deck::PyErrSet{};
    }
    s->state = kFinished;
    e.restore();
    throw deck::PyErrSet{};
  });
}

// GeneratorExit as close() raises it at a generator's yield: an instance
// whose traceback holds the running Python frame (there is no frame of our
// own), handed to __exit__ as exception.__traceback__.
std::pair<Ref, Ref> raised_generator_exit() {
  PyErr_SetNone(PyExc_GeneratorExit);
  if (PyFrameObject* frame = PyEval_GetFrame()) ok(PyTraceBack_Here(frame));
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  if (!value) throw deck::PyErrSet{};
  if (trace) ok(PyException_SetTraceback(value.get(), trace.get()));
  return {std::move(value), trace ? std::move(trace) : Ref::borrow(Py_None)};
}

PyObject* status_close(PyObject* o, PyObject*) noexcept {
  StatusIter* s = as_status(o);
  DECK_STATUS_EXCLUSIVE(s);
  return deck::guarded([&]() -> Ref {
    if (s->state == kActive) {
      auto [exc, tb] = raised_generator_exit();
      status_exit(s, PyExc_GeneratorExit, exc.get(), tb.get());
    }
    s->state = kFinished;
    return none();
  });
}

PyObject* status_iter_self(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

// A context dropped while active is closed, as a generator would be.
void status_finalize(PyObject* o) noexcept {
  if (as_status(o)->state != kActive) return;
  deck::SavedError saved;
  PyObject* r = status_close(o, nullptr);
  if (r)
    Py_DECREF(r);
  else
    PyErr_WriteUnraisable(o);
  saved.restore();
}

int status_traverse(PyObject* o, visitproc visit, void* arg) {
  StatusIter* s = as_status(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(s->self);
  Py_VISIT(s->msg);
  Py_VISIT(s->status);
  Py_VISIT(s->entered);
  Py_VISIT(s->exit);
  return 0;
}

int status_clear(PyObject* o) {
  StatusIter* s = as_status(o);
  Py_CLEAR(s->self);
  Py_CLEAR(s->msg);
  status_release(s);
  return 0;
}

// The finalizer runs with the object alive again (reference count 1), as the
// interpreter does for its own types: whatever it calls may take and drop
// references to it without re-entering this deallocation.
void status_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  if (as_status(o)->state == kActive) {
#ifdef Py_LIMITED_API
    Py_SET_REFCNT(o, 1);
    status_finalize(o);
    Py_SET_REFCNT(o, Py_REFCNT(o) - 1);
    if (Py_REFCNT(o) != 0) {  // the finalizer stored a new reference
      PyObject_GC_Track(o);
      return;
    }
#else
    PyObject_GC_Track(o);
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
    PyObject_GC_UnTrack(o);
#endif
  }
  status_clear(o);
  deck::free_instance(o);
}

PyObject* status_name(PyObject*, void*) noexcept { return PyUnicode_FromString("CUF_Status"); }
PyObject* status_qualname(PyObject*, void*) noexcept { return PyUnicode_FromString("CLASS_Orvan.CUF_Status"); }

PyGetSetDef status_getset[] = {
    {"__name__", status_name, nullptr, nullptr, nullptr},
    {"__qualname__", status_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef status_methods[] = {
    {"throw", reinterpret_cast<PyCFunction>(status_throw), METH_VARARGS, nullptr},
    {"close", reinterpret_cast<PyCFunction>(status_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot status_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(status_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(status_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(status_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(status_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(status_iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(status_next)},
    {Py_tp_methods, status_methods},
    {Py_tp_getset, status_getset},
    {0, nullptr},
};
PyType_Spec status_spec = {"OrvanDeck.CUF_Status", sizeof(StatusIter), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                               Py_TPFLAGS_IMMUTABLETYPE,
                           status_slots};

Ref status_generator(State& st, PyObject* const* a) {
  PyObject *self = a[0], *msg = a[1];
  Ref o = ok(deck::alloc_of(st.status_type)(reinterpret_cast<PyTypeObject*>(st.status_type), 0));
  StatusIter* s = as_status(o.get());
  s->st = &st;
  s->self = Ref::borrow(self).release();
  s->msg = Ref::borrow(msg).release();
  s->state = kCreated;
  return o;
}

// ---------------------------------------------------------------------------
// Signatures and the class.

using deck::dflt;

const Sig S_init{"__init__", "CLASS_Orvan.__init__", {"self", "Pmi_RefreshRate", "Pmi_LogLines"}, {dflt(4), dflt(10)}};
const Sig S_render{"_render_group", "CLASS_Orvan._render_group", {"self"}, {}};
const Sig S_add_table{"CUF_AddTable", "CLASS_Orvan.CUF_AddTable", {"self", "Pms_TableID", "Pml_Columns"}, {}};
const Sig S_display_multi{"CUF_DisplayMulti", "CLASS_Orvan.CUF_DisplayMulti",
                          {"self", "Pms_TableID", "Pms_RowKey", "Pml_ValueList"}, {}};
const Sig S_print{"CUF_Print", "CLASS_Orvan.CUF_Print", {"self", "Pms_MsgStr"}, {}};
const Sig S_status{"CUF_Status", "CLASS_Orvan.CUF_Status", {"self", "Pms_MsgSTR"}, {}};
const Sig S_display_single{"CUF_DisplaySingle", "CLASS_Orvan.CUF_DisplaySingle",
                           {"self", "Pms_MsgSTR", "Pms_Color"}, {dflt("cyan")}};
const Sig S_add_log{"CUF_AddLog", "CLASS_Orvan.CUF_AddLog", {"self", "Pms_LogMsg", "Pms_Color"}, {dflt("white")}};
const Sig S_progress_start{"CUF_ProgressStartP", "CLASS_Orvan.CUF_ProgressStartP",
                           {"self", "Pms_Description", "Pmi_Total", "Pms_BarColor", "Pmf_PercentWidth"},
                           {dflt("Progress"), dflt(100), dflt("green"), dflt(0.3)}};
const Sig S_progress_advance{"CUF_ProgressAdvance", "CLASS_Orvan.CUF_ProgressAdvance", {"self", "Pmi_Step"},
                             {dflt(1)}};
const Sig S_progress_stop{"CUF_ProgressStop", "CLASS_Orvan.CUF_ProgressStop", {"self"}, {}};
const Sig S_clear{"CUF_Clear", "CLASS_Orvan.CUF_Clear", {"self"}, {}};
const Sig S_close{"CUF_Close", "CLASS_Orvan.CUF_Close", {"self"}, {}};

template <Ref (*F)(State&, PyObject* const*)>
constexpr deck::ImplFn impl = deck::thunk<State, F>;

Ref make_status(void* state) {
  State& st = *static_cast<State*>(state);
  Ref annotations = ok(PyDict_New());
  ok(PyDict_SetItemString(annotations.get(), "Pms_MsgSTR", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  Ref gen = deck::make_native_func(st.base, S_status, impl<status_generator>, annotations.get());
  Ref cm = global(st.base.globals, st.n.contextmanager);
  return call(cm.get(), gen.get());
}

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
      PyErr_SetString(PyExc_TypeError, "metaclass conflict");
      throw deck::PyErrSet{};
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

// ---------------------------------------------------------------------------
// The demonstration, run when the module executes as __main__.

void demo_body(State& st, PyObject* dashboard) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  auto G = [&](const char* n) { return global(g, deck::interned(n).get()); };
  auto setg = [&](const char* n, PyObject* v) { ok(PyDict_SetItemString(g, n, v)); };
  auto method = [&](const char* n) { return ok(PyObject_GetAttrString(dashboard, n)); };
  auto fmt = [&](PyObject* v) { return ok(PyObject_Format(v, N.empty)); };
  auto cat = [&](std::initializer_list<PyObject*> p) { return concat(N, p); };
  auto S = [](const char* s) { return deck::str(s); };

  call(method("CUF_Print").get(), S("\n\n\n測試 [red]Rich[/red] ").get());
  {
    Ref cm = call(method("CUF_Status").get(), S("[bold green] 系統運作中...").get());
    Ref exit = ok(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(cm.get())), "__exit__"));
    Ref enter = ok(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(cm.get())), "__enter__"));
    call(enter.get(), cm.get());
    bool ok_body = true;
    try {
      call(G("sleep").get(), deck::integer(2).get());
    } catch (const deck::PyErrSet&) {
      ok_body = false;
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      PyErr_NormalizeException(&t, &v, &tb);
      if (tb) PyException_SetTraceback(v, tb);
      Ref rt = Ref::steal(t), rv = Ref::steal(v), rtb = Ref::steal(tb);
      Ref r = call(exit.get(), cm.get(), rt.get(), rv.get(), rtb ? rtb.get() : Py_None);
      if (!truthy(r.get())) {
        PyErr_Restore(rt.release(), rv.release(), rtb.release());
        throw;
      }
    }
    if (ok_body) call(exit.get(), cm.get(), Py_None, Py_None, Py_None);
  }
  Ref add_table = method("CUF_AddTable");
  call(add_table.get(), S("Workers").get(), deck::list_of({S("Worker ID").get(), S("Status").get(), S("Progress").get()}).get());
  call(add_table.get(), S("Jobs").get(), deck::list_of({S("Job ID").get(), S("Owner").get(), S("State").get()}).get());
  call(add_table.get(), S("Devices").get(),
       deck::list_of({S("Device ID").get(), S("Type").get(), S("Health").get()}).get());
  Ref workers = ok(PyList_New(0));
  for (long w = 0; w < 6; ++w) ok(PyList_Append(workers.get(), deck::integer(w).get()));
  setg("workers", workers.get());
  setg("jobs", deck::list_of({S("A01").get(), S("A02").get(), S("B01").get()}).get());
  setg("devices", deck::list_of({S("GPU-0").get(), S("GPU-1").get(), S("DISK-1").get()}).get());
  Ref range5 = call(G("range").get(), deck::integer(5).get());
  Ref it = ok(PyObject_GetIter(range5.get()));
  while (PyObject* iv = PyIter_Next(it.get())) {
    Ref i = Ref::steal(iv);
    setg("i", i.get());
    Ref random = G("random");
    Ref wit = ok(PyObject_GetIter(G("workers").get()));
    while (PyObject* wv = PyIter_Next(wit.get())) {
      Ref w = Ref::steal(wv);
      setg("w", w.get());
      Ref choices = deck::list_of({S("Pending").get(), S("[red]Running[/red]").get(), S("[green]Done[/green]").get()});
      setg("status_val", call_method(G("random").get(), deck::interned("choice").get(), choices.get()).get());
      Ref pct = call_method(G("random").get(), deck::interned("randint").get(), deck::integer(0).get(),
                            deck::integer(100).get());
      setg("progress_val", cat({fmt(pct.get()).get(), S("%").get()}).get());
      Ref wn = G("w");
      Ref row = deck::list_of({ok(PyObject_Str(wn.get())).get(), G("status_val").get(), G("progress_val").get()});
      call(method("CUF_DisplayMulti").get(), S("Workers").get(), cat({S("worker_").get(), fmt(wn.get()).get()}).get(),
           row.get());
    }
    if (PyErr_Occurred()) throw deck::PyErrSet{};
    Ref jit = ok(PyObject_GetIter(G("jobs").get()));
    while (PyObject* jv = PyIter_Next(jit.get())) {
      Ref j = Ref::steal(jv);
      setg("j", j.get());
      Ref choices = deck::list_of(
          {S("Queued").get(), S("[yellow]Running[/yellow]").get(), S("[green]Finished[/green]").get()});
      setg("job_state", call_method(G("random").get(), deck::interned("choice").get(), choices.get()).get());
      Ref jn = G("j");
      Ref row = deck::list_of({jn.get(), cat({S("user").get(), fmt(G("i").get()).get()}).get(), G("job_state").get()});
      call(method("CUF_DisplayMulti").get(), S("Jobs").get(), cat({S("job_").get(), fmt(jn.get()).get()}).get(),
           row.get());
    }
    if (PyErr_Occurred()) throw deck::PyErrSet{};
    Ref dit = ok(PyObject_GetIter(G("devices").get()));
    while (PyObject* dv = PyIter_Next(dit.get())) {
      Ref d = Ref::steal(dv);
      setg("d", d.get());
      Ref choices = deck::list_of(
          {S("[green]OK[/green]").get(), S("[yellow]Warn[/yellow]").get(), S("[red]Fail[/red]").get()});
      setg("health", call_method(G("random").get(), deck::interned("choice").get(), choices.get()).get());
      Ref dn = G("d");
      Ref row = deck::list_of({dn.get(), S("HW").get(), G("health").get()});
      call(method("CUF_DisplayMulti").get(), S("Devices").get(), cat({S("dev_").get(), fmt(dn.get()).get()}).get(),
           row.get());
    }
    if (PyErr_Occurred()) throw deck::PyErrSet{};
    Ref iv2 = G("i");
    call(method("CUF_AddLog").get(),
         cat({S("Iteration ").get(), fmt(iv2.get()).get(), S(" [green]finished[/green]").get()}).get(),
         S("magenta").get());
    call(method("CUF_DisplaySingle").get(), cat({S("Processing iteration ").get(), fmt(iv2.get()).get(), S("...").get()}).get(),
         S("yellow").get());
    call(G("sleep").get(), ok(PyFloat_FromDouble(0.6)).get());
  }
  if (PyErr_Occurred()) throw deck::PyErrSet{};
  Ref green = attr(G("ENUM_RichColor").get(), deck::interned("cE_RCH_GREEN").get());
  call_kw(method("CUF_ProgressStartP").get(),
          {S("Overall Progress").get(), deck::integer(50).get(), green.get(), ok(PyFloat_FromDouble(0.2)).get()},
          N.kw_start);
  for (long k = 0; k < 50; ++k) {
    setg("i", deck::integer(k).get());
    call(method("CUF_ProgressAdvance").get(), deck::integer(1).get());
    call(G("sleep").get(), ok(PyFloat_FromDouble(0.05)).get());
  }
  call(method("CUF_ProgressStop").get());
  call(method("CUF_Close").get());
}

void run_demo(State& st) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  Ref cls = global(g, N.CLASS_Orvan);
  Ref dashboard = call(cls.get());
  ok(PyDict_SetItemString(g, "dashboard", dashboard.get()));
  // An early end (Ctrl-C in a pause) still closes the live display, so the
  // terminal gets its cursor back; the exception then goes on.
  try {
    demo_body(st, dashboard.get());
  } catch (const deck::PyErrSet&) {
    deck::SavedError saved;
    PyObject* r = PyObject_CallMethod(dashboard.get(), "CUF_Close", nullptr);
    if (r)
      Py_DECREF(r);
    else
      PyErr_Clear();
    saved.restore();
    throw;
  }
}

// ---------------------------------------------------------------------------
// The module body.

int exec_module(PyObject* module) noexcept {
  return deck::exec_body([&] {
    State* st = deck::state_of<State>(module);
    if (!st) throw deck::PyErrSet{};
    deck::init_base(st->base, module, deck::method_spec("OrvanDeck.method_descriptor"),
                    deck::native_spec("OrvanDeck.native_function", deck::has_annotate()));
    st->status_type = deck::make_type(module, &status_spec).release();
    st->good_markup = ok(PySet_New(nullptr)).release();
    init_names(st->n);
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
    using E = deck::Entry;
    const std::vector<E> entries = {
        {&S_init, impl<m_init>, nullptr, nullptr},
        {&S_render, impl<m_render_group>, nullptr, nullptr},
        {&S_add_table, impl<m_add_table>, nullptr, nullptr},
        {&S_display_multi, impl<m_display_multi>, nullptr, nullptr},
        {&S_print, impl<m_print>, nullptr, nullptr},
        {nullptr, nullptr, "CUF_Status", make_status},
        {&S_display_single, impl<m_display_single>, nullptr, nullptr},
        {&S_add_log, impl<m_add_log>, nullptr, nullptr},
        {&S_progress_start, impl<m_progress_start>, nullptr, nullptr},
        {&S_progress_advance, impl<m_progress_advance>, nullptr, nullptr},
        {&S_progress_stop, impl<m_progress_stop>, nullptr, nullptr},
        {&S_clear, impl<m_clear>, nullptr, nullptr},
        {&S_close, impl<m_close>, nullptr, nullptr},
    };
    Ref cls = deck::make_class(st->base, "CLASS_Orvan", entries);
    deck::set_global(g, st->n.CLASS_Orvan, cls.get());
    deck::import_from(g, "time", {"sleep"});
    deck::import_module(g, "random", "random");
    if (deck::is_main(g)) run_demo(*st);
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Sound without the GIL: docs/architecture.md, "Without the GIL".
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = deck::module_def<State>("OrvanDeck", module_slots);

}  // namespace

PyMODINIT_FUNC PyInit_OrvanDeck(void) { return PyModuleDef_Init(&module_def); }
