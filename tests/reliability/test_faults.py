"""Fault injection: each dependency call a method makes is made to raise a
unique exception object, one call site at a time, from one table.

For every case: the very same exception object reaches the caller, the state
afterwards is the documented one (atomic dashboard operations undo their own
change), nothing keeps a reference to the exception or to the arguments, and
the object works again once the fault is gone."""

import contextlib
import gc
import sys

import pytest

from reliability_support import OrvanDeck, PelmarDeck, PelmarRig, orvan_rig, removed_global


class Injected(Exception):
    pass


class Armed:
    """A cell value / markup piece whose str() or format() raises on demand."""

    exc = None

    def __str__(self):
        if Armed.exc is not None:
            raise Armed.exc
        return "cell"

    def __format__(self, format_spec):
        if Armed.exc is not None:
            raise Armed.exc
        return "yellow"


# --------------------------------------------------------------------------
# dashboard


def _dashboard(rec):
    """A dashboard with a table (row "k" holding an Armed cell), a log line,
    a message and a running bar."""
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("T", ["c1", "c2"])
    d.CUF_DisplayMulti("T", "k", [Armed(), "v"])
    d.CUF_DisplayMulti("T", "k2", ["a", "b"])
    d.CUF_AddLog("first")
    d.CUF_DisplaySingle("msg")
    d.CUF_ProgressStartP("job", 10)
    rec.clear()
    return d


def _snapshot(d):
    tables = d.tables
    return {
        "tables": list(tables.items()),
        "rows": {t: list(e["rows"].items()) for t, e in tables.items()},
        "logs": list(d.logs),
        "logs_obj": d.logs,
        "msg": d.single_line_msg,
        "bar": d.progress_bar,
        "task": d.progress_task_id,
        "live": d.live,
    }


def unchanged(d, before, args):
    assert _snapshot(d) == before


def bar_unchanged_only(d, before, args):
    assert (d.progress_bar, d.progress_task_id) == (before["bar"], before["task"])


def cleared(d, before, args):
    assert d.logs == [] and d.logs is before["logs_obj"]
    assert d.tables == {} and d.single_line_msg == ""
    assert (d.progress_bar, d.progress_task_id) == (before["bar"], before["task"])


def bar_dropped(d, before, args):
    assert d.progress_bar is None and d.progress_task_id is None
    before = dict(before, bar=None, task=None)
    assert _snapshot(d) == before


def no_instance(d, before, args):
    pass  # the constructor raised: the caller has nothing to inspect


# call site -> actions; "str" and "format" arm an Armed object, "-Name"
# removes a module global
ORVAN_CASES = [
    # (method, action, call sites, state check, references the state keeps to the arguments)
    ("__init__", lambda d, a: OrvanDeck.CLASS_Orvan(*a), ["Console", "Live", "Group", "Live.start",
                                                        "-Console", "-Live", "-Group"], no_instance, 0),
    ("_render_group", lambda d, a: d._render_group(),
     ["Text.from_markup", "Table", "Table.add_column", "Table.add_row", "Group", "Progress.get_renderable",
      "str", "-Text", "-Table", "-Group"], unchanged, 0),
    ("CUF_AddTable", lambda d, a: d.CUF_AddTable(*a),
     ["Table", "Table.add_column", "Table.add_row", "Text.from_markup", "Group", "Progress.get_renderable",
      "Live.update", "str", "-Table"], unchanged, 0),
    ("CUF_DisplayMulti:known", lambda d, a: d.CUF_DisplayMulti("T", "k2", a[1]),
     ["Table", "Table.add_row", "Group", "Live.update", "str", "-Group"], unchanged, 0),
    ("CUF_DisplayMulti:new", lambda d, a: d.CUF_DisplayMulti("T", a[0], a[1]),
     ["Table.add_column", "Group", "Live.update", "Text.from_markup", "str"], unchanged, 0),
    ("CUF_Print", lambda d, a: d.CUF_Print(a[0]), ["Console.print"], unchanged, 0),
    ("CUF_Status", lambda d, a: _with_status(d, a[0]), ["Console.status", "Status.__enter__", "Status.__exit__"],
     unchanged, 0),
    ("CUF_DisplaySingle", lambda d, a: d.CUF_DisplaySingle(a[0], Armed()),
     ["format", "Text.from_markup", "Group", "Live.update", "-Text"], unchanged, 0),
    ("CUF_AddLog", lambda d, a: d.CUF_AddLog(a[0], Armed()),
     ["datetime.now", "datetime.strftime", "format", "Text.from_markup", "Group", "Live.update", "-datetime"],
     unchanged, 0),
    ("CUF_ProgressStartP", lambda d, a: d.CUF_ProgressStartP(a[0], a[1]),
     ["Progress", "TextColumn", "BarColumn", "Console.width", "Progress.add_task",
      "-Progress", "-TextColumn", "-BarColumn"], unchanged, 0),
    ("CUF_ProgressAdvance", lambda d, a: d.CUF_ProgressAdvance(3),
     ["Progress.update", "Progress.get_renderable", "Group", "Live.update"], bar_unchanged_only, 0),
    ("CUF_ProgressStop:stop", lambda d, a: d.CUF_ProgressStop(), ["Progress.stop"], unchanged, 0),
    ("CUF_ProgressStop:refresh", lambda d, a: d.CUF_ProgressStop(), ["Group", "Live.update"], bar_dropped, 0),
    ("CUF_Clear", lambda d, a: d.CUF_Clear(), ["Group", "Live.update"], cleared, 0),
    ("CUF_Close", lambda d, a: d.CUF_Close(), ["Live.stop", "Progress.stop"], unchanged, 0),
]


def _with_status(d, msg):
    with d.CUF_Status(msg):
        pass


ORVAN_TABLE = [(m, site, action, check, held) for m, action, sites, check, held in ORVAN_CASES for site in sites]


def _fresh_args():
    # fresh, non-shared objects whose reference counts are the test's own
    return ["new-" + str(id(object())), ["v1-" + str(id(object())), "v2"]]


@pytest.mark.parametrize("method,site,action,check,held", ORVAN_TABLE,
                         ids=["%s@%s" % (c[0], c[1]) for c in ORVAN_TABLE])
def test_dashboard_fault(monkeypatch, method, site, action, check, held):
    rec = orvan_rig(monkeypatch)
    d = _dashboard(rec)
    before = _snapshot(d)
    args = _fresh_args()
    arg_refs = [sys.getrefcount(a) for a in args]
    exc = Injected(method + "@" + site)
    exc_refs = sys.getrefcount(exc)

    is_removal = site.startswith("-")
    if is_removal:
        fault = removed_global(OrvanDeck, site[1:])
    elif site in ("str", "format"):
        Armed.exc = exc
        fault = contextlib.nullcontext()
    else:
        rec.fail[site] = exc
        fault = contextlib.nullcontext()
    try:
        with fault, pytest.raises(BaseException) as info:
            action(d, args)
    finally:
        Armed.exc = None
        rec.fail.clear()
    caught = info.value
    if is_removal:
        assert type(caught) is NameError and str(caught) == "name '%s' is not defined" % site[1:]
    else:
        assert caught is exc, "the injected exception was replaced by %r" % (caught,)
    check(d, before, args)

    # nothing kept: the exception, the arguments (the fakes' own instance
    # lists aside)
    rec.instances.clear()
    rec.clear()
    del caught, info
    exc.__traceback__ = exc.__context__ = None
    gc.collect()
    assert sys.getrefcount(exc) == exc_refs
    assert [sys.getrefcount(a) for a in args] == [r + held for r, a in zip(arg_refs, args)]

    # and the same call goes through now
    action(d, args)
    d._render_group()


def test_dashboard_table_covers_every_call_site():
    sites = {s for _, s, _, _, _ in ORVAN_TABLE}
    expected = {"Console", "Live", "Live.start", "Live.update", "Live.stop", "Table", "Table.add_column",
                "Table.add_row", "Text.from_markup", "Group", "Progress", "TextColumn", "BarColumn",
                "Progress.add_task", "Progress.update", "Progress.stop", "Progress.get_renderable",
                "Console.print", "Console.status", "Console.width", "Status.__enter__", "Status.__exit__",
                "datetime.now", "datetime.strftime", "str", "format"}
    assert expected <= sites
    methods = {m.split(":")[0] for m, *_ in ORVAN_CASES}
    assert methods == {"__init__", "_render_group", "CUF_AddTable", "CUF_DisplayMulti", "CUF_Print", "CUF_Status",
                       "CUF_DisplaySingle", "CUF_AddLog", "CUF_ProgressStartP", "CUF_ProgressAdvance",
                       "CUF_ProgressStop", "CUF_Clear", "CUF_Close"}


def test_failed_add_task_keeps_the_old_bar_paired(monkeypatch):
    rec = orvan_rig(monkeypatch)
    d = _dashboard(rec)
    old = (d.progress_bar, d.progress_task_id)
    rec.fail["Progress.add_task"] = exc = Injected("add_task")
    with pytest.raises(Injected) as info:
        d.CUF_ProgressStartP("again", 5)
    assert info.value is exc
    del rec.fail["Progress.add_task"]
    assert (d.progress_bar, d.progress_task_id) == old
    d.CUF_ProgressAdvance(2)
    assert rec.last("Progress.update").args == (old[1],)


# --------------------------------------------------------------------------
# screen


class FailNth:
    """A fake result that raises ``exc`` at the n-th call (1-based)."""

    def __init__(self, exc, n=1, value=None):
        self.exc, self.n, self.value, self.calls = exc, n, value, 0

    def __call__(self, *args):
        self.calls += 1
        if self.calls == self.n:
            raise self.exc
        return self.value(*args) if callable(self.value) else self.value


def _screen_rig(monkeypatch):
    rig = PelmarRig(monkeypatch, cols=40, rows=20)
    s = rig.screen()
    win = rig.curses.newwin(5, 10, 0, 0)
    del rig.log[:]
    return rig, s, win


def _last_call_is(owner, method, extra_after=()):
    """Check: the failing call was the last one made (or followed only by the
    listed clean-up calls)."""
    def check(rig, s, win, before_window):
        names = [(e[0], e[1]) for e in rig.log]
        cut = len(names) - len(extra_after)
        assert names[cut - 1] == (owner, method), rig.log
        assert names[cut:] == list(extra_after), rig.log
    return check


def _window_kept(rig, s, win, before_window):
    assert getattr(s, "CVobj_Window", None) is before_window


STATUS_OFF = [("curses", "color_pair"), ("scr", "attroff")]

# (method, action, [(owner, fake method, n-th call)], check)
PELMAR_CASES = [
    ("__init__", lambda r, s, w: PelmarDeck.CLASS_Pelmar(r.curses, r.scr),
     [("curses", "initscr", 1), ("scr", "clear", 1), ("scr", "refresh", 1), ("curses", "start_color", 1),
      ("curses", "init_pair", 3), ("-", "Gobj_curses", 0)], None),
    ("CUF_clear", lambda r, s, w: s.CUF_clear(), [("scr", "clear", 1)], _last_call_is("scr", "clear")),
    ("CUF_SET_ColorTableDefault", lambda r, s, w: s.CUF_SET_ColorTableDefault(),
     [("curses", "start_color", 1), ("curses", "init_pair", 1), ("curses", "init_pair", 5)], None),
    ("CUF_SET_ColorTable", lambda r, s, w: s.CUF_SET_ColorTable([1, 2], [3, 4]),
     [("curses", "start_color", 1), ("curses", "init_pair", 2)], None),
    ("CUF_GET_SCR_MAX", lambda r, s, w: s.CUF_GET_SCR_MAX(), [("scr", "getmaxyx", 1)], None),
    ("CUF_GetKey", lambda r, s, w: s.CUF_GetKey(), [("scr", "getch", 1)], None),
    ("CUF_Input", lambda r, s, w: s.CUF_Input(1, 2, 5), [("curses", "echo", 1), ("scr", "getstr", 1)], None),
    ("CUF_Print", lambda r, s, w: s.CUF_Print("x"), [("scr", "addstr", 1)], None),
    ("CUF_PrintXY", lambda r, s, w: s.CUF_PrintXY(1, 1, "x", 2),
     [("scr", "getmaxyx", 1), ("curses", "color_pair", 1), ("scr", "addstr", 1)], None),
    ("CUF_PrintXY:plain", lambda r, s, w: s.CUF_PrintXY(1, 1, "x", 0), [("scr", "addstr", 1)], None),
    ("CUF_PrintC", lambda r, s, w: s.CUF_PrintC(1, "中文"),
     [("scr", "getmaxyx", 1), ("scr", "getmaxyx", 2), ("curses", "color_pair", 1), ("scr", "addstr", 1)], None),
    ("CUF_PrintSTATUS", lambda r, s, w: s.CUF_PrintSTATUS("status"),
     [("scr", "getmaxyx", 1), ("curses", "color_pair", 1), ("scr", "attron", 1), ("curses", "color_pair", 2),
      ("scr", "attroff", 1)], None),
    ("CUF_PrintSTATUS:addstr", lambda r, s, w: s.CUF_PrintSTATUS("status"), [("scr", "addstr", 1)],
     _last_call_is("scr", "addstr", STATUS_OFF)),
    ("CUF_Refresh", lambda r, s, w: s.CUF_Refresh(), [("scr", "refresh", 1)], None),
    ("CUF_Move", lambda r, s, w: s.CUF_Move(1, 2), [("scr", "move", 1)], None),
    ("CUF_Create_Window", lambda r, s, w: s.CUF_Create_Window(0, 0, 5, 5),
     [("curses", "newwin", 1), ("-", "Gobj_curses", 0)], _window_kept),
    ("CUF_PrintW", lambda r, s, w: s.CUF_PrintW(w, "x"), [("win1", "addstr", 1)], None),
    ("CUF_PrintXYW", lambda r, s, w: s.CUF_PrintXYW(w, 1, 1, "x", 0), [("win1", "addstr", 1)], None),
    ("CUF_RefreshW", lambda r, s, w: s.CUF_RefreshW(w), [("win1", "refresh", 1)], None),
    # main loops for ever once running: a fault ends it
    ("main", lambda r, s, w: PelmarDeck.main(r.scr),
     [("curses", "initscr", 1), ("scr", "getmaxyx", 1), ("curses", "color_pair", 3), ("scr", "addstr", 2),
      ("scr", "move", 1), ("scr", "refresh", 3), ("-", "Gobj_curses", 0), ("-", "CLASS_Pelmar", 0)], None),
]

PELMAR_TABLE = [(m, owner, meth, n, action, check)
                for m, action, sites, check in PELMAR_CASES for owner, meth, n in sites]


@pytest.mark.parametrize("method,owner,fake_method,nth,action,check", PELMAR_TABLE,
                         ids=["%s@%s.%s#%d" % c[:4] for c in PELMAR_TABLE])
def test_screen_fault(monkeypatch, method, owner, fake_method, nth, action, check):
    rig, s, win = _screen_rig(monkeypatch)
    s.CVobj_Window = before_window = win
    exc = Injected("%s@%s.%s" % (method, owner, fake_method))
    exc_refs = sys.getrefcount(exc)
    args_probe = "probe-" + str(id(object()))
    probe_refs = sys.getrefcount(args_probe)

    if owner == "-":
        fault = removed_global(PelmarDeck, fake_method)
    else:
        fault = contextlib.nullcontext()
        target = {"curses": rig.curses, "scr": rig.scr, "win1": win}[owner]
        default = target._default
        target.results[fake_method] = FailNth(exc, nth, lambda *a: default(fake_method, a))
    with fault, pytest.raises(BaseException) as info:
        action(rig, s, win)
    caught = info.value
    if owner == "-":
        assert type(caught) is NameError and str(caught) == "name '%s' is not defined" % fake_method
    else:
        assert caught is exc, "the injected exception was replaced by %r" % (caught,)
        assert target.results[fake_method].calls == nth
        del target.results[fake_method]
        if check is None:
            _last_call_is(owner, fake_method)(rig, s, win, before_window)
    if check is not None:
        check(rig, s, win, before_window)

    del caught, info
    exc.__traceback__ = exc.__context__ = None
    gc.collect()
    assert sys.getrefcount(exc) == exc_refs
    assert sys.getrefcount(args_probe) == probe_refs

    # the object works again (main would loop for ever: skip it)
    if method != "main":
        del rig.log[:]
        action(rig, s, win)
        s.CUF_PrintXY(0, 0, "ok", 0)
        assert ("scr", "addstr", 0, 0, "ok") in rig.log


def test_screen_table_covers_every_call_site():
    sites = {(o if o in ("curses", "-") else "window", m) for _, o, m, *_ in PELMAR_TABLE}
    expected = {("curses", m) for m in ("initscr", "start_color", "init_pair", "color_pair", "echo", "newwin")}
    expected |= {("window", m) for m in ("clear", "refresh", "getmaxyx", "addstr", "attron", "attroff", "move",
                                          "getch", "getstr")}
    expected |= {("-", "Gobj_curses"), ("-", "CLASS_Pelmar")}
    assert expected <= sites


def fault_case_count():
    return len(ORVAN_TABLE) + len(PELMAR_TABLE)
