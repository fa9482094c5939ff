"""Reference-leak hunt, run under a debug interpreter (scripts/leakcheck.sh).

Every public method of both classes runs on its success paths and on each of
its error paths; after warm-up rounds the interpreter's total reference count
must not move at all."""

import curses
import io

import pytest

from reliability_support import (DEBUG_BUILD, MAIN_TWIN, ORVAN_TWINS, PELMAR_TWINS, OrvanDeck, PelmarDeck,
                                 PelmarRig, expect, hunt, orvan_rig, raising)

if not DEBUG_BUILD:
    pytest.skip("needs a debug interpreter (sys.gettotalrefcount); see scripts/leakcheck.sh",
                allow_module_level=True)


def assert_flat(op):
    refs, blocks = hunt(op)
    assert refs == [0] * len(refs), "reference count grows by %r per round" % (refs,)
    # the allocator has free lists; a real leak grows in every round
    assert not all(b > 0 for b in blocks), "allocated blocks grow by %r per round" % (blocks,)


# --------------------------------------------------------------------------
# argument binding: every TypeError kind for every method


def binding_failures(twins):
    """(method, args, kwargs) calls that the Python twin rejects, one per kind."""
    cases = []
    for name, twin in twins.items():
        code = twin.__code__
        params = code.co_varnames[1:code.co_argcount]
        required = len(params) - len(twin.__defaults__ or ())
        cases.append((name, "too_many", tuple(range(len(params) + 1)), {}))
        cases.append((name, "unknown_kw", (), {"Pzz_Unknown": 1}))
        if required:
            cases.append((name, "missing", (), {}))
        if params:
            cases.append((name, "duplicate", (0,) * max(required, 1), {params[0]: 0}))
    return cases


ORVAN_BINDING = binding_failures(ORVAN_TWINS)
PELMAR_BINDING = binding_failures(PELMAR_TWINS)


@pytest.mark.parametrize("name,kind,args,kwargs", ORVAN_BINDING, ids=["%s-%s" % c[:2] for c in ORVAN_BINDING])
def test_orvan_binding_errors_do_not_leak(monkeypatch, name, kind, args, kwargs):
    rec = orvan_rig(monkeypatch, record=False)
    d = OrvanDeck.CLASS_Orvan()
    fn = OrvanDeck.CLASS_Orvan if name == "__init__" else getattr(d, name)

    def op():
        expect(TypeError, fn, *args, **kwargs)
        rec.instances.clear()

    assert_flat(op)


@pytest.mark.parametrize("name,kind,args,kwargs", PELMAR_BINDING, ids=["%s-%s" % c[:2] for c in PELMAR_BINDING])
def test_pelmar_binding_errors_do_not_leak(monkeypatch, name, kind, args, kwargs):
    rig = PelmarRig(monkeypatch, record=False)
    s = rig.screen()
    fn = PelmarDeck.CLASS_Pelmar if name == "__init__" else getattr(s, name)
    assert_flat(lambda: expect(TypeError, fn, *args, **kwargs))


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1, 2), {}), ((1,), {"Pobj_STDSCR": 1}), ((), {"x": 1})])
def test_main_binding_errors_do_not_leak(args, kwargs):
    code = MAIN_TWIN.__code__
    assert code.co_argcount == 1
    assert_flat(lambda: expect(TypeError, PelmarDeck.main, *args, **kwargs))


# --------------------------------------------------------------------------
# dashboard over the recording fakes


class Boom(Exception):
    pass


def _status_with(d):
    with d.CUF_Status("working"):
        pass


def _status_body_raises(d):
    try:
        with d.CUF_Status("working"):
            raise Boom("inside")
    except Boom:
        pass


def _status_throw(d, form):
    it = d.CUF_Status("working").gen
    next(it)
    exc = Boom("thrown")
    args = {"instance": (exc,), "type": (Boom,), "type_value": (Boom, "v"), "type_value_tb": (Boom, exc, None)}[form]
    expect(Boom, it.throw, *args)
    expect(StopIteration, next, it)


def _status_close(d, started):
    it = d.CUF_Status("working").gen
    if started:
        next(it)
    it.close()
    it.close()


def _status_dropped_active(d):
    it = d.CUF_Status("working").gen
    next(it)
    del it


def _progress_cycle(d):
    d.CUF_ProgressStartP("job", 10, "red", 0.5)
    d.CUF_ProgressAdvance(2)
    d.CUF_ProgressAdvance(Pmi_Step=3)
    d.CUF_ProgressStop()
    d.CUF_ProgressStop()  # no bar: nothing to do


def _close_with_bar(d):
    d.CUF_ProgressStartP()
    d.CUF_Close()


def _add_and_drop_table(d):
    d.CUF_AddTable("T2", ["a"])
    d.CUF_AddTable("T2", ["ignored"])  # known id: no change
    del d.tables["T2"]


def _new_row_and_drop(d):
    d.CUF_DisplayMulti("T", "new", [1, "x"])
    del d.tables["T"]["rows"]["new"]


def _log_and_pop(d):
    d.CUF_AddLog("line", OrvanDeck.ENUM_RichColor.cE_RCH_RED)
    d.CUF_AddLog(42)
    d.logs.pop()
    d.logs.pop()


def _fail(rec, event, exc_type, body):
    """Makes ``event`` raise ``exc_type`` while ``body`` runs."""
    def op(d):
        rec.fail[event] = exc_type
        try:
            expect(exc_type, body, d)
        finally:
            del rec.fail[event]
    return op


def _unformattable(d):
    class NoFormat:
        def __format__(self, format_spec):
            raise Boom("format")
    expect(Boom, d.CUF_DisplaySingle, NoFormat())
    expect(Boom, d.CUF_AddLog, "m", NoFormat())


def _bad_cell(d):
    class NoStr:
        def __str__(self):
            raise Boom("str")
    expect(Boom, d.CUF_DisplayMulti, "T", "k", [NoStr()])
    expect(TypeError, d.CUF_DisplayMulti, "T", "k", 5)  # not iterable: rolled back
    expect(KeyError, d.CUF_DisplayMulti, "nope", "k", [1])
    expect(TypeError, d.CUF_DisplayMulti, "T", [], [1])  # unhashable row key


def _dashboard_scenarios(rec):
    def ctor(d):
        OrvanDeck.CLASS_Orvan()
        OrvanDeck.CLASS_Orvan(8, Pmi_LogLines=3)
    return {
        "construct": ctor,
        "render_group": lambda d: d._render_group(),
        "add_table": _add_and_drop_table,
        "display_multi_known": lambda d: d.CUF_DisplayMulti("T", "k", ["v", 2]),
        "display_multi_new": _new_row_and_drop,
        "print": lambda d: d.CUF_Print("[b]x[/b]"),
        "status_with": _status_with,
        "status_body_raises": _status_body_raises,
        "status_throw_instance": lambda d: _status_throw(d, "instance"),
        "status_throw_type": lambda d: _status_throw(d, "type"),
        "status_throw_type_value": lambda d: _status_throw(d, "type_value"),
        "status_throw_type_value_tb": lambda d: _status_throw(d, "type_value_tb"),
        "status_close_active": lambda d: _status_close(d, True),
        "status_close_unstarted": lambda d: _status_close(d, False),
        "status_dropped_active": _status_dropped_active,
        "display_single": lambda d: (d.CUF_DisplaySingle("m"), d.CUF_DisplaySingle(3, Pms_Color=7)),
        "add_log": _log_and_pop,
        "progress": _progress_cycle,
        "clear": lambda d: d.CUF_Clear(),
        "close": lambda d: d.CUF_Close(),
        "close_with_bar": _close_with_bar,
        "unformattable_piece": _unformattable,
        "bad_cells_and_keys": _bad_cell,
        "fail_console": _fail(rec, "Console", Boom, lambda d: OrvanDeck.CLASS_Orvan()),
        "fail_live_start": _fail(rec, "Live.start", Boom, lambda d: OrvanDeck.CLASS_Orvan()),
        "fail_update_add_table": _fail(rec, "Live.update", Boom, lambda d: d.CUF_AddTable("T3", [])),
        "fail_group_multi": _fail(rec, "Group", Boom, lambda d: d.CUF_DisplayMulti("T", "k", [1])),
        "fail_markup_single": _fail(rec, "Text.from_markup", Boom, lambda d: d.CUF_DisplaySingle("m")),
        "fail_markup_log": _fail(rec, "Text.from_markup", Boom, lambda d: d.CUF_AddLog("m")),
        "fail_strftime": _fail(rec, "datetime.strftime", Boom, lambda d: d.CUF_AddLog("m")),
        "fail_print": _fail(rec, "Console.print", Boom, lambda d: d.CUF_Print("m")),
        "fail_status_enter": _fail(rec, "Status.__enter__", Boom, lambda d: d.CUF_Status("s").__enter__()),
        "fail_status_exit": _fail(rec, "Status.__exit__", Boom, _status_with),
        "fail_add_task": _fail(rec, "Progress.add_task", Boom, lambda d: d.CUF_ProgressStartP()),
        "fail_width": _fail(rec, "Console.width", Boom, lambda d: d.CUF_ProgressStartP()),
        "fail_progress_update": _fail(rec, "Progress.update", Boom, lambda d: d.CUF_ProgressAdvance()),
        "fail_live_stop": _fail(rec, "Live.stop", Boom, lambda d: d.CUF_Close()),
    }


DASHBOARD_SCENARIOS = sorted(_dashboard_scenarios(None))


@pytest.mark.parametrize("scenario", DASHBOARD_SCENARIOS)
def test_dashboard_on_fakes_does_not_leak(monkeypatch, scenario):
    rec = orvan_rig(monkeypatch, record=False)
    body = _dashboard_scenarios(rec)[scenario]
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("T", ["c1", "c2"])
    d.CUF_DisplayMulti("T", "k", ["v", 1])
    d.CUF_AddLog("first")
    if scenario in ("fail_progress_update",):
        d.CUF_ProgressStartP()

    def op():
        body(d)
        rec.instances.clear()

    assert_flat(op)


# --------------------------------------------------------------------------
# dashboard over real rich, rendering into a string


def _real_rich(monkeypatch):
    import rich.console
    import rich.live

    def console(*args, **kwargs):
        return rich.console.Console(file=io.StringIO(), width=80, force_terminal=True, color_system="truecolor")

    def live(*args, **kwargs):
        # no refresh thread: its activity would blur the counts
        return rich.live.Live(*args, auto_refresh=False, **kwargs)

    monkeypatch.setattr(OrvanDeck, "Console", console)
    monkeypatch.setattr(OrvanDeck, "Live", live)


def _rich_round(d):
    d.CUF_DisplayMulti("T", "k", ["[red]v[/red]", 1])
    d.CUF_DisplaySingle("busy", OrvanDeck.ENUM_RichColor.cE_RCH_YELLOW)
    d.CUF_AddLog("[green]ok[/green]")
    d.logs.pop()
    d.CUF_ProgressStartP("p", 4)
    d.CUF_ProgressAdvance(1)
    d.live.refresh()
    d.CUF_ProgressStop()
    with d.CUF_Status("spinning"):
        pass
    d.CUF_Print("[bold]hello[/bold]")
    d.console.file.seek(0)
    d.console.file.truncate()


def _rich_markup_errors(d):
    # rich rejects a closing tag with nothing open; each call undoes its change
    expect(Exception, d.CUF_DisplaySingle, "bad[/nope]")
    expect(Exception, d.CUF_AddLog, "bad[/nope]")
    expect(Exception, d.CUF_DisplayMulti, "T", "new", 5)
    expect(Exception, d.CUF_AddTable, "T4", 5)
    # what rich would find only when drawing: refused by the call
    expect(Exception, d.CUF_DisplayMulti, "T", "new", ["ok", "x[/x]"])
    expect(Exception, d.CUF_AddTable, "T5", ["a", 1])
    expect(Exception, d.CUF_AddTable, 7, ["a"])
    expect(Exception, d.CUF_ProgressStartP, "[/x]p", 4)
    expect(Exception, d.CUF_ProgressStartP, "p", 4, "bogus")
    expect(Boom, _status_body_raises_real, d)


def _status_body_raises_real(d):
    with d.CUF_Status("spinning"):
        raise Boom("inside")


@pytest.mark.parametrize("body", [_rich_round, _rich_markup_errors], ids=["success", "errors"])
def test_dashboard_on_real_rich_does_not_leak(monkeypatch, body):
    _real_rich(monkeypatch)
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("T", ["a", "b"])
    d.CUF_DisplayMulti("T", "k", ["v", 1])
    d.CUF_DisplaySingle("ok")
    try:
        assert_flat(lambda: body(d))
        # the rollbacks left the good content in place
        assert d.single_line_msg == "[cyan]ok[/cyan]" or body is _rich_round
        assert list(d.tables) == ["T"]
    finally:
        d.CUF_Close()


# --------------------------------------------------------------------------
# screen over fake curses


def _curses_error():
    return curses.error("refused")


def _screen_scenarios(rig):
    win = rig.curses.newwin(5, 10, 0, 0)

    def fail(target, method, exc_factory, body):
        def op(s):
            target.results[method] = raising(exc_factory)
            try:
                expect(type(exc_factory()), body, s)
            finally:
                del target.results[method]
        return op

    def status_error(s):
        rig.scr.results["addstr"] = raising(_curses_error)
        try:
            expect(curses.error, s.CUF_PrintSTATUS, "status")
        finally:
            del rig.scr.results["addstr"]

    def input_bytes(s):
        rig.scr.results["getstr"] = b"caf\xc3\xa9\xff"
        try:
            assert s.CUF_Input(1, 2, 10) == "caf\xe9\ufffd"
        finally:
            del rig.scr.results["getstr"]

    return {
        "construct": lambda s: PelmarDeck.CLASS_Pelmar(rig.curses, rig.scr),
        "construct_none": lambda s: expect(RuntimeError, PelmarDeck.CLASS_Pelmar, None, rig.scr),
        "construct_no_initscr": lambda s: expect(AttributeError, PelmarDeck.CLASS_Pelmar, object(), rig.scr),
        "clear": lambda s: s.CUF_clear(),
        "strlen": lambda s: s.CUF_strlen("中文ab"),
        "strlen_unencodable": lambda s: expect(UnicodeEncodeError, s.CUF_strlen, "\U0001F600"),
        "strlen_not_text": lambda s: expect(AttributeError, s.CUF_strlen, 5),
        "colour_tables": lambda s: (s.CUF_SET_ColorTableDefault(), s.CUF_SET_ColorTable([1, 2], [3, 4])),
        "colour_table_short": lambda s: expect(IndexError, s.CUF_SET_ColorTable, [1, 2], [3]),
        "scr_max": lambda s: s.CUF_GET_SCR_MAX(),
        "get_key": lambda s: s.CUF_GetKey(),
        "input_text": lambda s: s.CUF_Input(1, 2, 10),
        "input_bytes": input_bytes,
        "print": lambda s: s.CUF_Print("x"),
        "print_xy": lambda s: (s.CUF_PrintXY(1, 1, "x", 0), s.CUF_PrintXY(1, 1, "x", 2), s.CUF_PrintXY(99, 1, "x", 1)),
        "print_c": lambda s: (s.CUF_PrintC(3, "中央"), s.CUF_PrintC(99, "x")),
        "print_c_unencodable": lambda s: expect(UnicodeEncodeError, s.CUF_PrintC, 3, "\U0001F600"),
        "print_status": lambda s: (s.CUF_PrintSTATUS("ok"), s.CUF_PrintSTATUS("中" * 60)),
        "print_status_unencodable": lambda s: expect(UnicodeEncodeError, s.CUF_PrintSTATUS, "\U0001F600"),
        "print_status_addstr_error": status_error,
        "refresh_move": lambda s: (s.CUF_Refresh(), s.CUF_Move(1, 2)),
        "window": lambda s: (s.CUF_Create_Window(0, 0, 5, 5), s.CUF_PrintW(win, "w"),
                             s.CUF_PrintXYW(win, 1, 1, "w", 0), s.CUF_RefreshW(win),
                             rig.curses.windows.clear()),  # the fake keeps what it made
        "fail_newwin": fail(rig.curses, "newwin", _curses_error, lambda s: s.CUF_Create_Window(0, 0, 5, 5)),
        "fail_addstr": fail(rig.scr, "addstr", _curses_error, lambda s: s.CUF_PrintXY(1, 1, "x", 1)),
        "fail_window_addstr": fail(win, "addstr", _curses_error, lambda s: s.CUF_PrintXYW(win, 1, 1, "x", 0)),
        "fail_getmaxyx": fail(rig.scr, "getmaxyx", _curses_error, lambda s: s.CUF_PrintC(1, "x")),
        "fail_init_pair": fail(rig.curses, "init_pair", _curses_error, lambda s: s.CUF_SET_ColorTableDefault()),
        "fail_getch": fail(rig.scr, "getch", _curses_error, lambda s: s.CUF_GetKey()),
        "fail_echo": fail(rig.curses, "echo", _curses_error, lambda s: s.CUF_Input(0, 0, 3)),
        "main_fails_first_call": fail(rig.curses, "initscr", _curses_error, lambda s: PelmarDeck.main(rig.scr)),
    }


SCREEN_SCENARIOS = sorted(_screen_scenarios(PelmarRig()))


@pytest.mark.parametrize("scenario", SCREEN_SCENARIOS)
def test_screen_on_fakes_does_not_leak(monkeypatch, scenario):
    rig = PelmarRig(monkeypatch, record=False, cols=40, rows=20)
    body = _screen_scenarios(rig)[scenario]
    s = rig.screen()
    assert_flat(lambda: body(s))


def test_hunter_sees_a_leak():
    # the instrument itself: one kept reference per call must show
    kept = []
    refs, _ = hunt(lambda: kept.append(object()))
    assert all(r >= 10 for r in refs)
