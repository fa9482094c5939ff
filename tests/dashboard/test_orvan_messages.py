"""OrvanDeck over recording fakes: CUF_Print, the status context,
CUF_DisplaySingle and CUF_AddLog, including colour names."""

import datetime as datetime_module
import re
import sys
import types

import pytest

import OrvanDeck
import orvan_twin
from orvan_fakes import C, LOG_TIME_FORMAT, group_of_last_update

E = OrvanDeck.ENUM_RichColor


# ---------------------------------------------------------------------------
# CUF_Print


def test_print_calls_console_print_only(dash, fakes):
    msg = "\n\n\n測試 [red]Rich[/red] "
    assert dash.CUF_Print(msg) is None
    assert fakes.events == [C("Console.print", msg)]
    assert fakes.events[0].args[0] is msg


def test_print_changes_no_state(dash, fakes):
    dash.CUF_AddLog("l")
    dash.CUF_DisplaySingle("m")
    snapshot = (list(dash.logs), dash.single_line_msg, dict(dash.tables))
    fakes.clear()
    dash.CUF_Print("hello")
    dash.CUF_Print(42)
    assert (list(dash.logs), dash.single_line_msg, dict(dash.tables)) == snapshot
    assert fakes.events == [C("Console.print", "hello"), C("Console.print", 42)]


def test_print_error_propagates(dash, fakes):
    boom = ValueError("print failed")
    fakes.fail["Console.print"] = boom
    with pytest.raises(ValueError) as ei:
        dash.CUF_Print("x")
    assert ei.value is boom


# ---------------------------------------------------------------------------
# CUF_Status


def test_status_enter_and_normal_exit(dash, fakes):
    cm = dash.CUF_Status("[bold green] 系統運作中...")
    assert fakes.events == []
    with cm as target:
        assert target is None
        assert fakes.events == [C("Console.status", "[bold green] 系統運作中..."),
                                C("Status.__enter__")]
        fakes.record("inside")
    assert fakes.events == [
        C("Console.status", "[bold green] 系統運作中..."),
        C("Status.__enter__"),
        C("inside"),
        C("Status.__exit__", None, None, None),
    ]


def test_status_exception_exit_same_exception_reaches_caller(dash, fakes):
    err = RuntimeError("in block")
    with pytest.raises(RuntimeError) as ei:
        with dash.CUF_Status("s"):
            raise err
    assert ei.value is err
    exits = fakes.of("Status.__exit__")
    assert len(exits) == 1
    exc_type, exc_value, tb = exits[0].args
    assert exc_type is RuntimeError
    assert exc_value is err
    assert tb is not None
    assert fakes.names() == ["Console.status", "Status.__enter__", "Status.__exit__"]


def test_status_keyboard_interrupt_passes_through(dash, fakes):
    err = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as ei:
        with dash.CUF_Status("s"):
            raise err
    assert ei.value is err
    assert fakes.of("Status.__exit__")[0].args[:2] == (KeyboardInterrupt, err)


def test_status_true_exit_suppresses(dash, fakes):
    fakes.status_exit_result = True
    with dash.CUF_Status("s"):
        raise ValueError("suppressed")
    assert fakes.count("Status.__exit__") == 1
    assert fakes.of("Status.__exit__")[0].args[0] is ValueError


def test_status_normal_exit_does_not_truth_test_exit_result(dash, fakes):
    class NoTruth:
        def __bool__(self):
            raise AssertionError("truth-tested")

    fakes.status_exit_result = NoTruth()
    with dash.CUF_Status("s"):
        pass
    assert fakes.names() == ["Console.status", "Status.__enter__", "Status.__exit__"]


def test_status_close_hands_exit_the_exceptions_traceback(dash, fakes):
    gen = dash.CUF_Status("s").gen
    next(gen)
    gen.close()
    [(exc_type, exc, tb)] = [e.args for e in fakes.of("Status.__exit__")]
    assert exc_type is GeneratorExit and type(exc) is GeneratorExit
    assert isinstance(tb, types.TracebackType) and tb is exc.__traceback__


def test_status_never_entered_makes_no_console_call(dash, fakes):
    import gc

    cm = dash.CUF_Status("never")
    del cm
    gc.collect()
    assert fakes.events == []


def test_status_enter_failure_skips_block_and_exit(dash, fakes):
    boom = OSError("enter failed")
    fakes.fail["Status.__enter__"] = boom
    ran = []
    with pytest.raises(OSError) as ei:
        with dash.CUF_Status("s"):
            ran.append(1)
    assert ei.value is boom
    assert ran == []
    assert fakes.names() == ["Console.status", "Status.__enter__"]


def test_status_call_failure_skips_block(dash, fakes):
    boom = OSError("status failed")
    fakes.fail["Console.status"] = boom
    ran = []
    with pytest.raises(OSError) as ei:
        with dash.CUF_Status("s"):
            ran.append(1)
    assert ei.value is boom
    assert ran == []
    assert fakes.names() == ["Console.status"]


def test_status_exit_failure_propagates(dash, fakes):
    boom = OSError("exit failed")
    fakes.fail["Status.__exit__"] = boom
    with pytest.raises(OSError) as ei:
        with dash.CUF_Status("s"):
            pass
    assert ei.value is boom


def test_status_changes_no_state_and_no_refresh(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    fakes.clear()
    with dash.CUF_Status("s"):
        dash.CUF_DisplayMulti("T", "r", [1])  # refreshes normally inside
    assert fakes.count("Live.update") == 1
    assert fakes.count("Live.stop") == 0
    assert fakes.names()[0] == "Console.status"
    assert fakes.names()[-1] == "Status.__exit__"


# ---------------------------------------------------------------------------
# CUF_DisplaySingle


def test_display_single_default_colour(dash, fakes):
    assert dash.CUF_DisplaySingle("Processing iteration 3...") is None
    assert dash.single_line_msg == "[cyan]Processing iteration 3...[/cyan]"
    g = group_of_last_update(fakes)
    assert [e.markup for e in g.renderables] == ["[cyan]Processing iteration 3...[/cyan]"]
    assert fakes.events == [C("Text.from_markup", "[cyan]Processing iteration 3...[/cyan]"),
                            fakes.events[1], fakes.events[2]]
    assert fakes.names() == ["Text.from_markup", "Group", "Live.update"]


def test_display_single_replaces(dash, fakes):
    dash.CUF_DisplaySingle("a", "red")
    dash.CUF_DisplaySingle("b", "blue")
    assert dash.single_line_msg == "[blue]b[/blue]"


def test_display_single_empty_message_still_composed(dash, fakes):
    dash.CUF_DisplaySingle("")
    assert dash.single_line_msg == "[cyan][/cyan]"
    g = group_of_last_update(fakes)
    assert [e.markup for e in g.renderables] == ["[cyan][/cyan]"]


def test_display_single_non_strings_formatted(dash, fakes):
    dash.CUF_DisplaySingle(42)
    assert dash.single_line_msg == "[cyan]42[/cyan]"
    dash.CUF_DisplaySingle(1.5, 7)
    assert dash.single_line_msg == "[7]1.5[/7]"


def test_display_single_uses_format_not_str_for_non_strings(dash, fakes):
    class Obj:
        def __format__(self, format_spec):
            assert format_spec == ""
            return "fmt"

        def __str__(self):
            return "str"

    dash.CUF_DisplaySingle(Obj(), Obj())
    assert dash.single_line_msg == "[fmt]fmt[/fmt]"


@pytest.mark.parametrize("member", list(E))
def test_display_single_enum_colour_is_colour_name(dash, fakes, member):
    dash.CUF_DisplaySingle("m", member)
    assert dash.single_line_msg == "[%s]m[/%s]" % (member.value, member.value)
    assert type(dash.single_line_msg) is str


def test_display_single_yellow_member(dash, fakes):
    dash.CUF_DisplaySingle("m", OrvanDeck.ENUM_RichColor.cE_RCH_YELLOW)
    assert dash.single_line_msg == "[yellow]m[/yellow]"


def test_display_single_enum_member_as_message(dash, fakes):
    dash.CUF_DisplaySingle(E.cE_RCH_RED, E.cE_RCH_GREEN)
    assert dash.single_line_msg == "[green]red[/green]"


def test_str_argument_uses_own_text(dash, fakes):
    class Odd(str):
        def __format__(self, format_spec):
            return "FORMATTED"

        def __str__(self):
            return "STRED"

    dash.CUF_DisplaySingle(Odd("msg"), Odd("red"))
    assert dash.single_line_msg == "[red]msg[/red]"
    dash.CUF_AddLog(Odd("log"), Odd("blue"))
    assert dash.logs[-1] == "[blue][2026/12/07-20:47:27] log[/blue]"


def test_display_single_format_failure_stores_nothing(dash, fakes):
    class Bad:
        def __format__(self, format_spec):
            raise ValueError("no format")

    dash.CUF_DisplaySingle("keep")
    fakes.clear()
    with pytest.raises(ValueError):
        dash.CUF_DisplaySingle(Bad())
    with pytest.raises(ValueError):
        dash.CUF_DisplaySingle("x", Bad())
    assert dash.single_line_msg == "[cyan]keep[/cyan]"
    assert fakes.count("Live.update") == 0


def test_message_markup_embedded_unescaped(dash, fakes):
    dash.CUF_DisplaySingle("a [b]bold[/b] [x", "red")
    assert dash.single_line_msg == "[red]a [b]bold[/b] [x[/red]"


# ---------------------------------------------------------------------------
# CUF_AddLog


def test_add_log_exact_calls(dash, fakes):
    assert dash.CUF_AddLog("Iteration 3 [green]finished[/green]") is None
    line = "[white][2026/12/07-20:47:27] Iteration 3 [green]finished[/green][/white]"
    assert dash.logs == [line]
    assert fakes.events[:3] == [
        C("datetime.now"),
        C("datetime.strftime", LOG_TIME_FORMAT),
        C("Text.from_markup", line),
    ]
    assert fakes.names() == ["datetime.now", "datetime.strftime", "Text.from_markup",
                             "Group", "Live.update"]


def test_add_log_colour_and_enum(dash, fakes):
    dash.CUF_AddLog("m", "magenta")
    dash.CUF_AddLog("n", E.cE_RCH_BRIGHT_CYAN)
    dash.CUF_AddLog(42, 7)
    assert dash.logs == [
        "[magenta][2026/12/07-20:47:27] m[/magenta]",
        "[bright_cyan][2026/12/07-20:47:27] n[/bright_cyan]",
        "[7][2026/12/07-20:47:27] 42[/7]",
    ]
    assert all(type(x) is str for x in dash.logs)


def test_add_log_is_never_trimmed(dash, fakes):
    fakes.enabled = False
    for i in range(1000):
        dash.CUF_AddLog("n%d" % i)
    fakes.enabled = True
    assert len(dash.logs) == 1000
    assert dash.logs[0].endswith("] n0[/white]")
    assert dash.logs[-1].endswith("] n999[/white]")
    g = dash._render_group()
    shown = g.renderables[0].markup.split("\n")
    assert len(shown) == 10
    assert shown[0].endswith("] n990[/white]")


def test_add_log_same_second_keeps_order(dash, fakes):
    dash.CUF_AddLog("first")
    dash.CUF_AddLog("second")
    assert [x.split("] ", 1)[1] for x in dash.logs] == ["first[/white]", "second[/white]"]


def test_add_log_real_datetime_timestamp(monkeypatch, dash, fakes):
    monkeypatch.setattr(OrvanDeck, "datetime", datetime_module.datetime)
    before = datetime_module.datetime.now().replace(microsecond=0)
    dash.CUF_AddLog("real")
    after = datetime_module.datetime.now()
    m = re.fullmatch(r"\[white\]\[(\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d)\] real\[/white\]", dash.logs[0])
    assert m, dash.logs[0]
    stamp = datetime_module.datetime.strptime(m.group(1), LOG_TIME_FORMAT)
    assert before <= stamp <= after


def test_add_log_strftime_failure_stores_nothing(dash, fakes):
    boom = ValueError("bad clock")
    fakes.fail["datetime.strftime"] = boom
    with pytest.raises(ValueError) as ei:
        dash.CUF_AddLog("x")
    assert ei.value is boom
    assert dash.logs == []
    assert fakes.count("Live.update") == 0


# ---------------------------------------------------------------------------
# throw() as a generator answers it, on every interpreter


class _Checked(type):
    """Logs its isinstance/issubclass checks; raises from them when `fail`."""
    log, fail = [], False

    def __instancecheck__(cls, x):
        _Checked.log.append(("isinstance", cls.__name__, type(x).__name__))
        if _Checked.fail:
            raise LookupError("instancecheck")
        return type.__instancecheck__(cls, x)

    def __subclasscheck__(cls, x):
        _Checked.log.append(("issubclass", cls.__name__, x.__name__))
        if _Checked.fail:
            raise LookupError("subclasscheck")
        return type.__subclasscheck__(cls, x)


class _Odd(Exception, metaclass=_Checked):
    pass


class _OddSub(_Odd):
    pass


def _throw_outcome(make, args, entered, exit_result):
    import warnings
    seen = _Checked.log = []

    class Status:
        def __enter__(self):
            seen.append("enter")

        def __exit__(self, t, v, tb):
            seen.append(("exit", t.__name__, repr(v), tb is v.__traceback__, repr(sys.exc_info()[1])))
            return exit_result

    g = make(types.SimpleNamespace(console=types.SimpleNamespace(status=lambda m: Status())), "m")
    if entered:
        next(g)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            g.throw(*args)
            seen.append("returned")
        except BaseException as e:
            context = e.__context__
            seen.append(("raised", type(e).__name__, repr(e.args), context and type(context).__name__))
    seen.append([str(w.message) for w in caught])
    return seen


@pytest.mark.parametrize("fail", [False, True], ids=["logs", "raises"])
@pytest.mark.parametrize("args", [
    (_Odd, 5), (_Odd, (1, 2)), (_Odd, None), (_Odd,), (_Odd, _OddSub(3)), (_Odd, _Odd(4)),
    (_Odd, KeyError(5)), (_OddSub(6),), (ValueError, KeyError(7)), (ValueError, (8, 9)),
], ids=repr)
def test_status_throw_normalises_as_a_generator(args, fail):
    for entered in (False, True):
        for exit_result in (False, True):
            _Checked.fail = fail
            try:
                expected = _throw_outcome(orvan_twin.CLASS_Orvan.CUF_Status.__wrapped__, args, entered, exit_result)
                got = _throw_outcome(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__, args, entered, exit_result)
            finally:
                _Checked.fail = False
            assert got == expected, (entered, exit_result)
