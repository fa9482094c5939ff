// The dashboard module's shared ground: its names, its state, and what each
// of its files offers the others. See docs/architecture.md, "Where to start".
#pragma once

#include <vector>

#include "deck_glue.hpp"

namespace orvan {

using namespace deck::prelude;

// A log line's time stamp with its digits as zeros.
inline constexpr char kStampShape[] = "0000/00/00-00:00:00";

// Interned names, texts, numbers and keyword-name tuples, each listed once.
#define ORVAN_NAMES(NAME, TEXT, INT, KW)                                                                     \
  /* the dashboard's attributes and the module's globals */                                                  \
  NAME(console) NAME(Pmi_RefreshRate) NAME(Pmi_LogLines) NAME(live) NAME(tables) NAME(logs)                  \
  NAME(single_line_msg) NAME(progress_bar) NAME(progress_task_id) NAME(Console) NAME(Live) NAME(Group)        \
  NAME(Table) NAME(Text) NAME(Progress) NAME(BarColumn) NAME(TextColumn) NAME(datetime) NAME(contextmanager)  \
  NAME(ENUM_RichColor) NAME(CLASS_Orvan) NAME(sleep) NAME(random) NAME(Enum) NAME(choice) NAME(randint)       \
  NAME(range)                                                                                                  \
  /* methods and keywords called */                                                                           \
  NAME(start) NAME(stop) NAME(update) NAME(_render_group) NAME(from_markup) NAME(items) NAME(values)          \
  NAME(add_column) NAME(add_row) NAME(title) NAME(justify) NAME(center) NAME(columns) NAME(rows) NAME(print)   \
  NAME(status) NAME(__enter__) NAME(__exit__) NAME(now) NAME(strftime) NAME(append) NAME(clear) NAME(width)    \
  NAME(bar_width) NAME(complete_style) NAME(transient) NAME(add_task) NAME(total) NAME(advance)                \
  NAME(get_renderable) NAME(refresh_per_second) NAME(CUF_ProgressStop) NAME(CUF_Close) NAME(remove) NAME(max) \
  NAME(CUF_Print) NAME(CUF_Status) NAME(CUF_AddTable) NAME(CUF_DisplayMulti) NAME(CUF_AddLog)                 \
  NAME(CUF_DisplaySingle) NAME(CUF_ProgressStartP) NAME(CUF_ProgressAdvance)                                 \
  /* what rich is asked before it draws */                                                                    \
  NAME(__rich__) NAME(__rich_console__) NAME(measure) NAME(render) NAME(get_style) NAME(is_expandable)        \
  TEXT(rich_table, "rich.table") TEXT(rich_text, "rich.text") TEXT(rich_progress, "rich.progress")            \
  TEXT(rich_console, "rich.console") TEXT(description_tag, "[progress.description]")                          \
  TEXT(stamp_shape, kStampShape)                                                                               \
  /* texts */                                                                                                  \
  TEXT(empty, "") TEXT(newline, "\n") TEXT(open_tag, "[") TEXT(close_bracket, "]")                               \
  TEXT(stamp_close, "] ") TEXT(closing_tag, "[/") TEXT(ts_format, "%Y/%m/%d-%H:%M:%S")                        \
  TEXT(fmt_description, "[progress.description]{task.description}")                                          \
  TEXT(fmt_percentage, "[progress.percentage]{task.percentage:>3.0f}%")                                       \
  INT(zero, 0) INT(ten, 10)                                                                                    \
  KW(kw_title, "title") KW(kw_justify, "justify") KW(kw_live, "console", "refresh_per_second")                \
  KW(kw_bar, "bar_width", "complete_style") KW(kw_progress, "console", "transient") KW(kw_total, "total")     \
  KW(kw_advance, "advance") KW(kw_start, "Pmi_Total", "Pms_BarColor", "Pmf_PercentWidth")

struct Names {
  DECK_NAMES(ORVAN_NAMES)
};

// The module state: see deck::ModuleBase.
#define ORVAN_FIELDS(X)                                                   \
  X(status_type)      /* the status context's iterator type */           \
  X(good_markup)      /* a set: markup rich has parsed without error */   \
  X(shown_text_type)  /* what CUF_Print hands rich for an object's str() */

struct State {
  deck::ModuleBase base;
  DECK_STATE_FIELDS(ORVAN_FIELDS)
  Names n;
};

// compose.cpp: the composition and the refresh rule.
Ref render_group(State& st, PyObject* self);
// "[colour]" + middle + "[/colour]", each colour piece formatted on its own.
Ref colour_markup(const Names& N, PyObject* colour_open, std::initializer_list<PyObject*> middle,
                  PyObject* colour_close);
Ref format_piece(const Names& N, PyObject* v);
Ref concat(const Names& N, std::initializer_list<PyObject*> parts);

// The refresh rule; `before_update` runs between the composition and the
// hand-over, so the live display never gets a group it was not meant to.
template <class F>
void refresh(const Names& N, PyObject* self, F&& before_update) {
  Ref live = attr(self, N.live);
  Ref update = attr(live.get(), N.update);
  Ref group = call_method(self, N._render_group);
  before_update();
  call(update.get(), group.get());
}
inline void refresh(const Names& N, PyObject* self) {
  refresh(N, self, [] {});
}

// methods.cpp: the class's methods, in the order the class lists them.
std::vector<deck::Entry> method_table();

// status.cpp: the status context.
PyObject* make_status_type(PyObject* module);
Ref make_status(void* state);

// printed.cpp: objects that CUF_Print shows as their str().
PyObject* make_shown_text_type(PyObject* module);
Ref printed(State& st, PyObject* console, PyObject* msg);

// demo.cpp: the demonstration, run when the module executes as __main__.
void run_demo(State& st);

}  // namespace orvan
