// What rich parses only when it draws, asked of rich first. Table titles,
// headers and cells are drawn by the live display in its own thread, and the
// bar's colour and total, and the status message, by theirs: an error there
// ends the redrawing without a word. So every such value is asked of rich on
// the caller's thread before a live display can draw it, and what rich would
// raise is raised there: tables as each composition builds them (whatever
// container holds them, and whatever a cell's str() gives then), a log line
// before its composition is handed over, the bar and the status when they
// are made. Only rich's own classes are asked: a stand-in bound in their
// place sees no extra call.
#pragma once

#include "orvan.hpp"

namespace orvan {

// rich's own `name` from its loaded module `module`, else null.
Ref rich_own(PyObject* module, PyObject* name);
// Whether the module global `name` is rich's own class from `module`.
bool drawn_by_rich(State& st, PyObject* module, PyObject* name);
// Whether `console` is rich's Console (a subclass included).
bool is_rich_console(State& st, PyObject* console);
// self.console, when it is rich's; else null.
Ref rich_console(State& st, PyObject* self);
// hasattr() as rich calls it, and rich's test of what it can render.
bool has_attr(PyObject* o, PyObject* name);
bool renderable(const Names& N, PyObject* o);

// An error rich raises about the caller's object may quote its repr() or its
// type's name: the message gets the shown form, so that a printed traceback
// cannot drive the terminal either.
void neutralise_error_message();

// Runs a call that asks rich about the caller's object.
template <class F>
decltype(auto) asking_rich(F&& f) {
  try {
    return f();
  } catch (const deck::PyErrSet&) {
    neutralise_error_message();
    throw;
  }
}

// Parsed as rich parses text when it draws it: rich's MarkupError. Parsing
// depends on the text alone, so a str rich once parsed without error is not
// parsed again; the set of them is emptied when it grows this large.
inline constexpr Py_ssize_t kKnownGoodMarkup = 4096;

inline bool known_good(State& st, PyObject* text) {
  return PyUnicode_CheckExact(text) && ok(PySet_Contains(st.good_markup, text));
}
// `text` is as shown (neutralised), so that an error's position is rich's too.
void parse_markup(State& st, PyObject* text);

// One composition's checks of its tables: whether the bound Table is rich's
// own is asked once, and only when a value needs checking.
struct TableChecks {
  State& st;
  PyObject* self;
  int by_rich = -1;

  bool drawn() {
    if (by_rich < 0) by_rich = drawn_by_rich(st, st.n.rich_table, st.n.Table);
    return by_rich == 1;
  }
  // A title, header or cell as shown; `bracket` from its scan.
  void text(PyObject* shown, bool bracket) {
    if (bracket && !known_good(st, shown) && drawn()) parse_markup(st, shown);
  }
  // A header that is no str must be renderable.
  void header(PyObject* header);
  // A title that is no str must be renderable when true (a false one is not drawn).
  void title(PyObject* title);
};

// A new table's title and headers, and a new row's cells, before they are
// stored: stored first, they could be met by another thread's composition
// before this call undoes its change. Only an exact list or tuple is walked
// here, by index, which runs no code; any other container is checked by the
// composition alone.
void check_new_table(State& st, PyObject* self, PyObject* title, PyObject* columns);
void check_new_row(State& st, PyObject* self, PyObject* values);

// A log line's composed line, its colour pieces, time stamp and message.
void check_log_line(State& st, PyObject* line, PyObject* c1, PyObject* ts, PyObject* msg, PyObject* c2);
// A new bar with its shown description, total and colour.
void check_bar(State& st, PyObject* self, PyObject* bar, PyObject* shown_description, bool description_bracket,
               PyObject* total, PyObject* colour);
// The status message as handed to the console's status().
Ref status_message(State& st, PyObject* console, PyObject* msg);

}  // namespace orvan
