"""OrvanDeck over recording fakes: CUF_Print, CUF_DisplaySingle and CUF_AddLog,
including colour names. The status context: test_orvan_status.py."""

import datetime as datetime_module
import re

import pytest

import OrvanDeck
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
