// PelmarDeck: an exact, thin wrapper over the curses module.
#include "deck_glue.hpp"

#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace {

using namespace deck::prelude;

// Interned names, texts, numbers and keyword-name tuples, each listed once.
#define PELMAR_NAMES(NAME, TEXT, INT, KW)                                                                   \
  NAME(CVobj_Curses) NAME(CVobj_STDSCR) NAME(CVobj_Window) NAME(Gobj_curses) NAME(CLASS_Pelmar) NAME(main)   \
  NAME(initscr) NAME(clear) NAME(refresh) NAME(start_color) NAME(init_pair) NAME(encode) NAME(getmaxyx)        \
  NAME(getch) NAME(echo) NAME(getstr) NAME(addstr) NAME(color_pair) NAME(attron) NAME(attroff) NAME(move)      \
  NAME(newwin) NAME(wrapper) NAME(endwin) NAME(decode) NAME(encoding)                                           \
  NAME(CUF_SET_ColorTableDefault) NAME(CUF_SET_ColorTable) NAME(CUF_GET_SCR_MAX) NAME(CUF_strlen)              \
  NAME(CUF_PrintXY) NAME(CUF_PrintSTATUS) NAME(CUF_Move) NAME(CUF_Refresh)                                      \
  NAME(COLOR_WHITE) NAME(COLOR_RED) NAME(COLOR_GREEN) NAME(COLOR_CYAN) NAME(COLOR_BLACK)                      \
  NAME(__dict__) NAME(__dictoffset__) NAME(__mro__) NAME(__objclass__)                                          \
  TEXT(big5, "big5") TEXT(space, " ") TEXT(replace, "replace") TEXT(utf8, "utf-8")                             \
  TEXT(size_label, "螢幕尺寸: Width: ") TEXT(size_sep, ", Height: ") TEXT(counter_label, "計數器： ")          \
  TEXT(status_text, "[ 狀態列顯示列 ]")                                                                       \
  INT(zero, 0) INT(one, 1) INT(two, 2) INT(three, 3) INT(status_pair, 5) INT(ten, 10) INT(twelve, 12)          \
  INT(fifteen, 15)                                                                                              \
  KW(main_names, "Pobj_STDSCR")

struct Names {
  DECK_NAMES(PELMAR_NAMES)
};

// The module state: see deck::ModuleBase.
#define PELMAR_FIELDS(X) X(plain_window)  // the last window type found plain (see plain_window)

struct State {
  deck::ModuleBase base;
  DECK_STATE_FIELDS(PELMAR_FIELDS)
  Names n;
};

// An exact int that fits a C long, the usual screen number.
inline bool plain_long(PyObject* o, long& v) {
  if (!PyLong_CheckExact(o)) return false;
  v = PyLong_AsLong(o);
  if (v != -1 || !PyErr_Occurred()) return true;
  PyErr_Clear();  // beyond a C long: Python's own comparison takes it
  return false;
}

template <int Op>
constexpr bool holds(long x, long y) {
  if constexpr (Op == Py_LT) return x < y;
  if constexpr (Op == Py_LE) return x <= y;
  if constexpr (Op == Py_GT) return x > y;
  if constexpr (Op == Py_GE) return x >= y;
}

// `a <op> b` as Python compares; plain ints without the generic protocol.
template <int Op>
[[gnu::always_inline]] inline bool compare(PyObject* a, PyObject* b) {
  long x, y;
  if (plain_long(a, x) && plain_long(b, y)) return holds<Op>(x, y);
  return ok(PyObject_RichCompareBool(a, b, Op)) != 0;
}

// The same against a small constant whose int object is `b_obj`.
template <int Op>
[[gnu::always_inline]] inline bool compare(PyObject* a, long b, PyObject* b_obj) {
  long x;
  if (plain_long(a, x)) return holds<Op>(x, b);
  return ok(PyObject_RichCompareBool(a, b_obj, Op)) != 0;
}

Ref screen(const Names& N, PyObject* self) { return attr(self, N.CVobj_STDSCR); }
Ref curses_of(const Names& N, PyObject* self) { return attr(self, N.CVobj_Curses); }

[[gnu::always_inline]] inline std::pair<Ref, Ref> screen_size(const Names& N, PyObject* self) {
  Ref size = call_method(self, N.CUF_GET_SCR_MAX);
  return unpack2(size.get());
}

// `name` on a type, found as instance lookup finds it, when that takes no
// code: every class of the MRO immutable, of metaclass `type`. Null when
// not found that way.
Ref plain_lookup(const Names& N, PyObject* mro, PyObject* name) {
  const Py_ssize_t n = PyTuple_Size(mro);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GetItem(mro, i);
    if (!base || !PyType_Check(base) || !Py_IS_TYPE(base, &PyType_Type) ||
        !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(base)) & Py_TPFLAGS_IMMUTABLETYPE))
      return Ref{};
    Ref dict = deck::attr(base, N.__dict__);
    if (PyObject* v = PyObject_GetItem(dict.get(), name)) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw deck::PyErrSet{};
    PyErr_Clear();
  }
  return Ref{};
}

// A window type on whose instances looking up `addstr`, `attron` and
// `attroff` runs no code and cannot fail, so that the lookup may wait for the
// call: an immutable type of metaclass `type` with the generic attribute
// lookup and no instance dict, where each name is a method descriptor of the
// type found through immutable classes only. An immutable type cannot
// change, so the answer holds for good; the last type found so is kept.
// Everything read here is read from types and runs no code.
[[gnu::noinline]] bool confirm_plain_window(State& st, PyTypeObject* tp) {
  PyObject* t = reinterpret_cast<PyObject*>(tp);
  const Names& N = st.n;
  if (!(PyType_GetFlags(tp) & Py_TPFLAGS_IMMUTABLETYPE) || !Py_IS_TYPE(t, &PyType_Type) ||
      PyType_GetSlot(tp, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
    return false;
  Ref dict_offset = deck::attr(t, N.__dictoffset__);
  const long off = PyLong_AsLong(dict_offset.get());
  if (off == -1 && PyErr_Occurred()) throw deck::PyErrSet{};
  if (off != 0) return false;
  Ref mro = deck::attr(t, N.__mro__);
  if (!PyTuple_Check(mro.get())) return false;
  for (PyObject* name : {N.addstr, N.attron, N.attroff}) {
    Ref found = plain_lookup(N, mro.get(), name);
    if (!found || !Py_IS_TYPE(found.get(), &PyMethodDescr_Type)) return false;
    Ref owner = deck::attr(found.get(), N.__objclass__);
    if (!PyType_Check(owner.get()) || !PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(owner.get())))
      return false;
  }
  Py_INCREF(t);
#ifdef Py_GIL_DISABLED
  // Threads confirming types at once each swap their own in and release the
  // one they took out, so each reference is released exactly once.
  PyObject* old = std::atomic_ref<PyObject*>(st.plain_window).exchange(t, std::memory_order_acq_rel);
#else
  PyObject* old = st.plain_window;
  st.plain_window = t;
#endif
  Py_XDECREF(old);
  return true;
}

[[gnu::always_inline]] inline bool plain_window(State& st, PyObject* scr) {
#ifdef Py_GIL_DISABLED
  // Only compared, never followed: an equal pointer is the window's own type,
  // alive as long as the window. The load is atomic (a plain load on x86-64
  // and arm64) since another thread may swap the pointer.
  PyObject* known = std::atomic_ref<PyObject*>(st.plain_window).load(std::memory_order_relaxed);
  return reinterpret_cast<PyObject*>(Py_TYPE(scr)) == known || confirm_plain_window(st, Py_TYPE(scr));
#else
  return reinterpret_cast<PyObject*>(Py_TYPE(scr)) == st.plain_window || confirm_plain_window(st, Py_TYPE(scr));
#endif
}

// `obj.name` looked up where Python looks it up: before the call's arguments
// are made. On a plain window the lookup is left to the call, which then
// makes no bound method.
struct LookedUpMethod {
  Ref obj, bound;  // `bound` is null on a plain window
  PyObject* name;

  template <class... A>
  void operator()(A... args) const {
    if (bound)
      call(bound.get(), args...);
    else
      call_method(obj.get(), name, args...);
  }
};

[[gnu::always_inline]] inline LookedUpMethod looked_up(State& st, Ref obj, PyObject* name) {
  Ref bound = plain_window(st, obj.get()) ? Ref{} : attr(obj.get(), name);
  return {std::move(obj), std::move(bound), name};
}

// ---------------------------------------------------------------------------
// Methods, each signature above its body. a[0] is the instance; each body
// names its arguments first.

const Sig S_init{"__init__", "CLASS_Pelmar.__init__", {"self", "Pobj_Curses", "Pobj_STDSCR"}, {}};
Ref m_init(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *curses = a[1], *stdscr = a[2];
  if (curses == Py_None) {
    deck::raise(PyExc_RuntimeError, "CLASS_Pelmar not support windows platform");
  }
  set_attr(self, N.CVobj_Curses, curses);
  set_attr(self, N.CVobj_STDSCR, stdscr);
  call_method(curses_of(N, self).get(), N.initscr);
  call_method(stdscr, N.clear);
  call_method(stdscr, N.refresh);
  call_method(self, N.CUF_SET_ColorTableDefault);
  return none();
}

const Sig S_clear{"CUF_clear", "CLASS_Pelmar.CUF_clear", {"self"}, {}};
Ref m_clear(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  call_method(screen(N, self).get(), N.clear);
  return none();
}

const Sig S_strlen{"CUF_strlen", "CLASS_Pelmar.CUF_strlen", {"self", "Pms_Text"}, {}};
Ref m_strlen(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* text = a[1];
  // An exact str encodes as its encode method would, without the lookup.
  Ref encoded = PyUnicode_CheckExact(text) ? ok(PyUnicode_AsEncodedString(text, "big5", "strict"))
                                           : call_method(text, N.encode, N.big5);
  const Py_ssize_t n = PyObject_Size(encoded.get());
  if (n < 0) throw deck::PyErrSet{};
  return ok(PyLong_FromSsize_t(n));
}

const Sig S_color_table_default{"CUF_SET_ColorTableDefault", "CLASS_Pelmar.CUF_SET_ColorTableDefault", {"self"}, {}};
Ref m_color_table_default(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  auto colour = [&](PyObject* name) { return attr(global(g, N.Gobj_curses).get(), name); };
  Ref fg = deck::list_of({colour(N.COLOR_WHITE).get(), colour(N.COLOR_RED).get(), colour(N.COLOR_GREEN).get(),
                          colour(N.COLOR_CYAN).get(), colour(N.COLOR_BLACK).get()});
  Ref bk = deck::list_of({colour(N.COLOR_BLACK).get(), colour(N.COLOR_BLACK).get(), colour(N.COLOR_BLACK).get(),
                          colour(N.COLOR_BLACK).get(), colour(N.COLOR_WHITE).get()});
  PyObject* self = a[0];
  call_method(self, N.CUF_SET_ColorTable, fg.get(), bk.get());
  return none();
}

const Sig S_color_table{"CUF_SET_ColorTable", "CLASS_Pelmar.CUF_SET_ColorTable", {"self", "PmUa_FG_COLOR", "PmUa_BK_COLOR"}, {}};
Ref m_color_table(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *fg = a[1], *bk = a[2];
  call_method(curses_of(N, self).get(), N.start_color);
  const Py_ssize_t n = PyObject_Size(fg);
  if (n < 0) throw deck::PyErrSet{};
  for (Py_ssize_t c = 0; c < n; ++c) {
    Ref init_pair = attr(curses_of(N, self).get(), N.init_pair);
    Ref index = ok(PyLong_FromSsize_t(c));
    Ref pair = ok(PyLong_FromSsize_t(c + 1));
    Ref f = ok(PyObject_GetItem(fg, index.get()));
    Ref b = ok(PyObject_GetItem(bk, index.get()));
    call(init_pair.get(), pair.get(), f.get(), b.get());
  }
  return none();
}

const Sig S_scr_max{"CUF_GET_SCR_MAX", "CLASS_Pelmar.CUF_GET_SCR_MAX", {"self"}, {}};
Ref m_get_scr_max(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  Ref size = call_method(screen(N, self).get(), N.getmaxyx);
  // The usual (rows, cols) tuple swaps without unpacking.
  if (PyTuple_CheckExact(size.get()) && PyTuple_Size(size.get()) == 2)
    return ok(PyTuple_Pack(2, PyTuple_GetItem(size.get(), 1), PyTuple_GetItem(size.get(), 0)));
  auto [rows, cols] = unpack2(size.get());
  return ok(PyTuple_Pack(2, cols.get(), rows.get()));
}

const Sig S_get_key{"CUF_GetKey", "CLASS_Pelmar.CUF_GetKey", {"self"}, {}};
Ref m_get_key(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  return call_method(screen(N, self).get(), N.getch);
}

const Sig S_input{"CUF_Input", "CLASS_Pelmar.CUF_Input", {"self", "Pmi_PosX", "Pmi_PosY", "Pmi_MAX_LEN"}, {}};
Ref m_input(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *x = a[1], *y = a[2], *max_len = a[3];
  call_method(curses_of(N, self).get(), N.echo);
  Ref stdscr = screen(N, self);
  Ref line = call_method(stdscr.get(), N.getstr, y, x, max_len);
  if (!PyBytes_Check(line.get()) && !PyByteArray_Check(line.get())) return ok(PyObject_Str(line.get()));
  // getstr gives bytes in the window's encoding; callers want the text.
  Ref encoding = Ref::steal(PyObject_GetAttr(stdscr.get(), N.encoding));
  if (!encoding) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw deck::PyErrSet{};
    PyErr_Clear();
  }
  if (!encoding || encoding.get() == Py_None) encoding = Ref::borrow(N.utf8);
  return call_method(line.get(), N.decode, encoding.get(), N.replace);
}

const Sig S_print{"CUF_Print", "CLASS_Pelmar.CUF_Print", {"self", "Pms_Text"}, {}};
Ref m_print(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *text = a[1];
  call_method(screen(N, self).get(), N.addstr, text);
  return none();
}

const Sig S_print_xy{"CUF_PrintXY", "CLASS_Pelmar.CUF_PrintXY",
                     {"self", "Pmi_PosX", "Pmi_PosY", "Pms_Text", "Pmi_ColorTableIndex"}, {}};
Ref m_print_xy(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *x = a[1], *y = a[2], *text = a[3], *index = a[4];
  auto [w, h] = screen_size(N, self);
  if (compare<Py_GE>(x, w.get())) return none();
  if (compare<Py_GE>(y, h.get())) return none();
  if (compare<Py_GT>(index, 0, N.zero)) {
    // self.CVobj_STDSCR.addstr(..., self.CVobj_Curses.color_pair(index))
    LookedUpMethod addstr = looked_up(st, screen(N, self), N.addstr);
    Ref colour = call_method(curses_of(N, self).get(), N.color_pair, index);
    addstr(y, x, text, colour.get());
  } else {
    call_method(screen(N, self).get(), N.addstr, y, x, text);
  }
  return none();
}

const Sig S_print_c{"CUF_PrintC", "CLASS_Pelmar.CUF_PrintC", {"self", "Pmi_PosY", "Pms_Text"}, {}};
Ref m_print_c(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *y = a[1], *text = a[2];
  auto [w, h] = screen_size(N, self);
  if (compare<Py_GE>(y, h.get())) return none();
  Ref text_len = call_method(self, N.CUF_strlen, text);
  Ref diff = ok(PyNumber_Subtract(w.get(), text_len.get()));
  Ref half = ok(PyNumber_FloorDivide(diff.get(), N.two));
  Ref pos_x = ok(PyNumber_Long(half.get()));
  call_method(self, N.CUF_PrintXY, pos_x.get(), y, text, N.one);
  return none();
}

// The longest prefix of `text` whose Big5 width fits in `cells`, and that
// width. `cells` is any Python number and is compared as Python compares it;
// a plain int goes through C longs.
std::pair<Ref, Ref> fit_prefix(const Names& N, PyObject* text, PyObject* cells) {
  const Py_ssize_t n = PyUnicode_GetLength(text);
  if (n < 0) throw deck::PyErrSet{};
  int overflow = 1;
  const long limit = PyLong_CheckExact(cells) ? PyLong_AsLongAndOverflow(cells, &overflow) : 0;
  const bool plain = overflow == 0;
  long used = 0;
  Ref used_obj = Ref::borrow(N.zero);
  Py_ssize_t end = 0;
  for (; end < n; ++end) {
    Ref ch = ok(PyUnicode_Substring(text, end, end + 1));
    Ref encoded = ok(PyUnicode_AsEncodedString(ch.get(), "big5", "strict"));
    const long w = static_cast<long>(PyBytes_Size(encoded.get()));
    if (plain) {
      if (!(used + w <= limit)) break;
      used += w;
    } else {
      Ref sum = ok(PyNumber_Add(used_obj.get(), ok(PyLong_FromLong(w)).get()));
      if (!compare<Py_LE>(sum.get(), cells)) break;
      used_obj = std::move(sum);
    }
  }
  return {ok(PyUnicode_Substring(text, 0, end)), plain ? ok(PyLong_FromLong(used)) : std::move(used_obj)};
}

extern const Sig S_strlen;

// True when `self.CUF_strlen` is this class's own method, found on the class
// itself and not shadowed on the instance: the text's width is then its Big5
// width. Reads only the class's and the instance's dicts.
bool own_strlen(State& st, PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject* t = reinterpret_cast<PyObject*>(tp);
  if (!Py_IS_TYPE(t, &PyType_Type) ||
      PyType_GetSlot(tp, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
    return false;
  const Names& N = st.n;
  Ref cls_dict = attr(t, N.__dict__);
  Ref m = Ref::steal(PyObject_GetItem(cls_dict.get(), N.CUF_strlen));
  if (!m) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw deck::PyErrSet{};
    PyErr_Clear();
    return false;
  }
  if (!Py_IS_TYPE(m.get(), reinterpret_cast<PyTypeObject*>(st.base.method_type))) return false;
  const deck::Method* method = deck::as_method(m.get());
  if (method->sig != &S_strlen || method->cls != t) return false;
  Ref dict = ok(PyObject_GenericGetDict(self, nullptr));
  if (!PyDict_Check(dict.get())) return false;
  if (PyDict_GetItemWithError(dict.get(), N.CUF_strlen)) return false;
  deck::throw_if_error();
  return true;
}

// The longest prefix `text[:k]` that `self.CUF_strlen` measures within
// `cells`, found by halving on k, and its measure.
std::pair<Ref, Ref> fit_measured(const Names& N, PyObject* self, PyObject* text, PyObject* cells) {
  const Py_ssize_t n = PyObject_Size(text);
  if (n < 0) throw deck::PyErrSet{};
  auto prefix = [&](Py_ssize_t k) {
    Ref stop = ok(PyLong_FromSsize_t(k));
    Ref slice = ok(PySlice_New(nullptr, stop.get(), nullptr));
    return ok(PyObject_GetItem(text, slice.get()));
  };
  Py_ssize_t lo = 0, hi = n;
  while (lo < hi) {
    const Py_ssize_t mid = lo + (hi - lo + 1) / 2;
    Ref width = call_method(self, N.CUF_strlen, prefix(mid).get());
    if (compare<Py_LE>(width.get(), cells))
      lo = mid;
    else
      hi = mid - 1;
  }
  Ref shown = prefix(lo);
  Ref used = call_method(self, N.CUF_strlen, shown.get());
  return {std::move(shown), std::move(used)};
}

const Sig S_print_status{"CUF_PrintSTATUS", "CLASS_Pelmar.CUF_PrintSTATUS", {"self", "Pms_Text"}, {}};
Ref m_print_status(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *text = a[1];
  auto [w, h] = screen_size(N, self);
  Ref text_len = call_method(self, N.CUF_strlen, text);
  Ref rest = ok(PyNumber_Subtract(w.get(), text_len.get()));
  Ref space_cnt = ok(PyNumber_Subtract(rest.get(), N.one));
  {
    Ref last_row = ok(PyNumber_Subtract(h.get(), N.one));
    if (compare<Py_LE>(last_row.get(), 10, N.ten)) return none();
  }

  // A text as wide as the screen would run into the bottom-right cell, which
  // curses refuses: cut it to the W-1 cells the line covers, measured as the
  // rest of the method measures, through self.CUF_strlen. The arithmetic is
  // Python's on whatever numbers the size holds: cells = max(W - 1, 0),
  // padding = cells - width of the cut text.
  Ref shown = Ref::borrow(text);
  if (ok(PyObject_IsInstance(text, reinterpret_cast<PyObject*>(&PyUnicode_Type))) &&
      compare<Py_LT>(space_cnt.get(), 0, N.zero)) {
    Ref cells = ok(PyNumber_Subtract(w.get(), N.one));
    if (compare<Py_GT>(N.zero, cells.get())) cells = Ref::borrow(N.zero);  // max(): the first wins ties
    auto [prefix, used] = PyUnicode_CheckExact(text) && own_strlen(st, self)
                              ? fit_prefix(N, text, cells.get())
                              : fit_measured(N, self, text, cells.get());
    shown = std::move(prefix);
    space_cnt = ok(PyNumber_Subtract(cells.get(), used.get()));
  }

  // self.CVobj_STDSCR.attron(self.CVobj_Curses.color_pair(5)), and so for attroff
  auto switch_pair = [&](PyObject* method) {
    LookedUpMethod on_off = looked_up(st, screen(N, self), method);
    Ref pair = call_method(curses_of(N, self).get(), N.color_pair, N.status_pair);
    on_off(pair.get());
  };
  switch_pair(N.attron);
  // Pair 5 must not stay on for later writes when the write fails, building
  // the padded text included (a padding count that is no int).
  deck::undo_on_error(
      [&] {
        LookedUpMethod addstr = looked_up(st, screen(N, self), N.addstr);
        Ref row = ok(PyNumber_Subtract(h.get(), N.one));
        Ref padding = ok(PyNumber_Multiply(N.space, space_cnt.get()));
        Ref padded = ok(PyNumber_Add(shown.get(), padding.get()));
        addstr(row.get(), N.zero, padded.get());
      },
      [&] { switch_pair(N.attroff); });
  switch_pair(N.attroff);
  return none();
}

const Sig S_refresh{"CUF_Refresh", "CLASS_Pelmar.CUF_Refresh", {"self"}, {}};
Ref m_refresh(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* self = a[0];
  call_method(screen(N, self).get(), N.refresh);
  return none();
}

const Sig S_move{"CUF_Move", "CLASS_Pelmar.CUF_Move", {"self", "Pmi_PosX", "Pmi_PosY"}, {}};
Ref m_move(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *self = a[0], *x = a[1], *y = a[2];
  call_method(screen(N, self).get(), N.move, y, x);  // curses takes the row first
  return none();
}

const Sig S_create_window{"CUF_Create_Window", "CLASS_Pelmar.CUF_Create_Window",
                          {"self", "Pmi_PosX", "Pmi_PosY", "Pmi_Width", "Pmi_Height"}, {}};
Ref m_create_window(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject *self = a[0], *x = a[1], *y = a[2], *width = a[3], *height = a[4];
  Ref curses = global(g, N.Gobj_curses);
  Ref win = call_method(curses.get(), N.newwin, height, width, y, x);
  set_attr(self, N.CVobj_Window, win.get());
  return attr(self, N.CVobj_Window);
}

const Sig S_print_w{"CUF_PrintW", "CLASS_Pelmar.CUF_PrintW", {"self", "Pobj_Window", "Pms_Text"}, {}};
Ref m_print_w(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *window = a[1], *text = a[2];
  call_method(window, N.addstr, text);
  return none();
}

const Sig S_print_xyw{"CUF_PrintXYW", "CLASS_Pelmar.CUF_PrintXYW",
                      {"self", "Pobj_Window", "Pmi_PosX", "Pmi_PosY", "Pms_Text", "Pmi_ColorTableIndex"}, {}};
Ref m_print_xyw(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject *window = a[1], *x = a[2], *y = a[3], *text = a[4], *index = a[5];
  call_method(window, N.addstr, y, x, text, index);  // curses takes the row first
  return none();
}

const Sig S_refresh_w{"CUF_RefreshW", "CLASS_Pelmar.CUF_RefreshW", {"self", "Pobj_Window"}, {}};
Ref m_refresh_w(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* window = a[1];
  call_method(window, N.refresh);
  return none();
}

// ---------------------------------------------------------------------------
// The demonstration: redraws the size, a counter and the status line until
// an exception (Ctrl-C) ends it.

const Sig S_main{"main", "main", {"Pobj_STDSCR"}, {}};
Ref f_main(State& st, PyObject* const* a) {
  const Names& N = st.n;
  PyObject* g = st.base.globals;
  PyObject* stdscr = a[0];
  Ref cls = global(g, N.CLASS_Pelmar);
  Ref curses = global(g, N.Gobj_curses);
  Ref pelmar = call(cls.get(), curses.get(), stdscr);
  call_method(pelmar.get(), N.CUF_SET_ColorTableDefault);
  long counter = 0;
  for (;;) {
    Ref size = call_method(pelmar.get(), N.CUF_GET_SCR_MAX);
    auto [max_x, max_y] = unpack2(size.get());
    Ref sx = ok(PyObject_Str(max_x.get()));
    Ref sy = ok(PyObject_Str(max_y.get()));
    Ref size_line = ok(PyUnicode_Concat(N.size_label, sx.get()));
    size_line = ok(PyUnicode_Concat(size_line.get(), N.size_sep));
    size_line = ok(PyUnicode_Concat(size_line.get(), sy.get()));
    call_method(pelmar.get(), N.CUF_PrintXY, N.ten, N.twelve, size_line.get(), N.three);
    Ref count = ok(PyLong_FromLong(counter));
    Ref count_text = ok(PyObject_Str(count.get()));
    Ref counter_line = ok(PyUnicode_Concat(N.counter_label, count_text.get()));
    call_method(pelmar.get(), N.CUF_PrintXY, N.ten, N.fifteen, counter_line.get(), N.two);
    call_method(pelmar.get(), N.CUF_PrintSTATUS, N.status_text);
    call_method(pelmar.get(), N.CUF_Move, N.zero, N.zero);
    call_method(pelmar.get(), N.CUF_Refresh);
    if (++counter >= 1000) counter = 0;
    // The loop never returns to the interpreter: run signal handlers (Ctrl-C)
    // and let other threads in here.
    if (PyErr_CheckSignals() < 0) throw deck::PyErrSet{};
    PyThreadState* ts = PyEval_SaveThread();
    PyEval_RestoreThread(ts);
  }
}

// ---------------------------------------------------------------------------
// The class and the module.

template <Ref (*F)(State&, PyObject* const*)>
constexpr deck::ImplFn impl = deck::thunk<State, F>;

// `main`: a builtin function whose __self__ is the module, which gives the
// state.
PyObject* main_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return deck::guarded([&]() -> Ref {
    State* st = deck::state_of<State>(module);
    if (!st || !st->base.globals) deck::raise(PyExc_RuntimeError, "the module has been cleared");
    PyObject* a[deck::kMaxParams];
    deck::bind(S_main, st->n.main_names, nullptr, args, nargs, kwnames, a);
    return f_main(*st, a);
  });
}

PyMethodDef main_def = {
    "main",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&main_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "main(Pobj_STDSCR)\n--\n\n",
};

int exec_module(PyObject* module) noexcept {
  return deck::exec_body([&] {
    State* st = deck::state_of<State>(module);
    if (!st) throw deck::PyErrSet{};
    deck::init_base(st->base, module, deck::method_spec("PelmarDeck.method_descriptor"), nullptr);
    st->n.init();
    const Names& N = st->n;
    PyObject* g = st->base.globals;
    deck::import_module(g, "sys", "sys");
    deck::import_module(g, "os", "os");
    deck::import_module(g, "curses", "Gobj_curses");
    std::vector<deck::Entry> entries;
    for (auto [sig, fn] : std::initializer_list<std::pair<const Sig*, deck::ImplFn>>{
             {&S_init, impl<m_init>},
             {&S_clear, impl<m_clear>},
             {&S_strlen, impl<m_strlen>},
             {&S_color_table_default, impl<m_color_table_default>},
             {&S_color_table, impl<m_color_table>},
             {&S_scr_max, impl<m_get_scr_max>},
             {&S_get_key, impl<m_get_key>},
             {&S_input, impl<m_input>},
             {&S_print, impl<m_print>},
             {&S_print_xy, impl<m_print_xy>},
             {&S_print_c, impl<m_print_c>},
             {&S_print_status, impl<m_print_status>},
             {&S_refresh, impl<m_refresh>},
             {&S_move, impl<m_move>},
             {&S_create_window, impl<m_create_window>},
             {&S_print_w, impl<m_print_w>},
             {&S_print_xyw, impl<m_print_xyw>},
             {&S_refresh_w, impl<m_refresh_w>},
         })
      entries.push_back(deck::Entry{sig, fn, nullptr, nullptr});
    Ref cls = deck::make_class(st->base, "CLASS_Pelmar", entries);
    deck::set_global(g, N.CLASS_Pelmar, cls.get());

    PyObject* module_name = PyDict_GetItemString(g, "__name__");
    Ref main_fn = ok(PyCFunction_NewEx(&main_def, module, module_name));
    deck::set_global(g, N.main, main_fn.get());

    if (deck::is_main(g)) {
      Ref wrapper = attr(global(g, N.Gobj_curses).get(), N.wrapper);
      call(wrapper.get(), global(g, N.main).get());
      call_method(global(g, N.Gobj_curses).get(), N.endwin);
    }
  });
}

PyModuleDef_Slot module_slots[] = DECK_MODULE_SLOTS(exec_module);

PyModuleDef module_def = deck::module_def<State>("PelmarDeck", module_slots);

}  // namespace

PyMODINIT_FUNC PyInit_PelmarDeck(void) { return PyModuleDef_Init(&module_def); }
