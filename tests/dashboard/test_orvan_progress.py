"""OrvanDeck over recording fakes: the progress bar, CUF_Clear and CUF_Close."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import OrvanDeck
from orvan_fakes import C, group_of_last_update

DESC_FORMAT = "[progress.description]{task.description}"
PCT_FORMAT = "[progress.percentage]{task.percentage:>3.0f}%"


def test_start_exact_calls_with_defaults(dash, fakes):
    assert dash.CUF_ProgressStartP() is None
    names = fakes.names()
    assert names == ["TextColumn", "BarColumn", "TextColumn", "Progress", "Progress.add_task"]
    c1, c2, c3, prog, add = fakes.events
    assert c1 == C("TextColumn", DESC_FORMAT)
    assert c2 == C("BarColumn", bar_width=24, complete_style="green")
    assert c3 == C("TextColumn", PCT_FORMAT)
    assert add == C("Progress.add_task", "Progress", total=100)
    bar = fakes.instances["Progress"][0]
    assert dash.progress_bar is bar
    assert dash.progress_task_id == 0
    assert len(prog.args) == 3
    assert prog.kwargs == {"console": dash.console, "transient": True}
    assert prog.kwargs["console"] is dash.console
    assert prog.kwargs["transient"] is True
    # the columns handed to Progress are the three column objects just built
    assert [type(c).__name__ for c in prog.args] == ["FakeTextColumn", "FakeBarColumn", "FakeTextColumn"]
    assert prog.args[0].args == (DESC_FORMAT,)
    assert prog.args[1].kwargs == {"bar_width": 24, "complete_style": "green"}
    assert prog.args[2].args == (PCT_FORMAT,)
    # no start, no refresh
    assert fakes.count("Live.update") == 0


def test_start_with_arguments_passes_colour_member_unchanged(dash, fakes):
    green = OrvanDeck.ENUM_RichColor.cE_RCH_GREEN
    dash.CUF_ProgressStartP("Overall Progress", Pmi_Total=50, Pms_BarColor=green, Pmf_PercentWidth=0.2)
    bar_call = fakes.last("BarColumn")
    assert bar_call.kwargs["complete_style"] is green
    assert bar_call.kwargs["bar_width"] == 16  # 80 * 0.2
    assert fakes.last("Progress.add_task") == C("Progress.add_task", "Overall Progress", total=50)


@pytest.mark.parametrize(
    "width,fraction,expected",
    [
        (80, 0.3, 24),
        (120, 0.3, 36),
        (100, 0.2, 20),
        (33, 0.3, 10),  # 9.9 truncates to 9, then max(10, 9)
        (80, 0, 10),
        (80, 0.0, 10),
        (80, -0.5, 10),
        (0, 0.3, 10),
        (200, 0.5, 100),
        (80, 1, 80),
    ],
)
def test_bar_width_rule(dash, fakes, width, fraction, expected):
    fakes.console_width = width
    dash.CUF_ProgressStartP(Pmf_PercentWidth=fraction)
    bar_width = fakes.last("BarColumn").kwargs["bar_width"]
    assert bar_width == expected
    assert type(bar_width) is int


@settings(max_examples=100, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(width=st.integers(min_value=0, max_value=1000),
       fraction=st.floats(min_value=-2, max_value=2, allow_nan=False))
def test_bar_width_property(dash, fakes, width, fraction):
    fakes.console_width = width
    dash.CUF_ProgressStartP(Pmf_PercentWidth=fraction)
    assert fakes.last("BarColumn").kwargs["bar_width"] == max(10, int(width * fraction))


def test_bar_width_fixed_at_creation(dash, fakes):
    fakes.console_width = 80
    dash.CUF_ProgressStartP()
    fakes.console_width = 200
    dash.CUF_ProgressAdvance()
    assert [c.kwargs["bar_width"] for c in fakes.of("BarColumn")] == [24]


def test_start_bad_fraction_stores_nothing(dash, fakes):
    with pytest.raises(TypeError):
        dash.CUF_ProgressStartP(Pmf_PercentWidth=None)
    assert dash.progress_bar is None and dash.progress_task_id is None
    assert fakes.count("Progress") == 0


def test_start_alone_shows_no_bar_until_refresh(dash, fakes):
    dash.CUF_ProgressStartP()
    assert fakes.count("Live.update") == 0
    dash.CUF_DisplaySingle("m")
    g = group_of_last_update(fakes)
    assert g.renderables[-1].progress is dash.progress_bar


def test_advance_exact_calls(dash, fakes):
    dash.CUF_ProgressStartP()
    fakes.clear()
    assert dash.CUF_ProgressAdvance() is None
    assert fakes.names() == ["Progress.update", "Progress.get_renderable", "Group", "Live.update"]
    assert fakes.events[0] == C("Progress.update", 0, advance=1)
    g = group_of_last_update(fakes)
    assert len(g.renderables) == 1 and g.renderables[0].progress is dash.progress_bar


def test_advance_passes_step_unchanged(dash, fakes):
    dash.CUF_ProgressStartP()
    step = -2.5
    dash.CUF_ProgressAdvance(step)
    assert fakes.last("Progress.update").kwargs["advance"] is step
    dash.CUF_ProgressAdvance(Pmi_Step=1000)
    assert fakes.last("Progress.update") == C("Progress.update", 0, advance=1000)


def test_advance_and_stop_without_bar_do_nothing(dash, fakes):
    assert dash.CUF_ProgressAdvance() is None
    assert dash.CUF_ProgressAdvance(5) is None
    assert dash.CUF_ProgressStop() is None
    assert fakes.events == []


def test_advance_update_failure_skips_refresh(dash, fakes):
    dash.CUF_ProgressStartP()
    boom = KeyError(99)
    fakes.fail["Progress.update"] = boom
    fakes.clear()
    with pytest.raises(KeyError) as ei:
        dash.CUF_ProgressAdvance()
    assert ei.value is boom
    assert fakes.count("Live.update") == 0


def test_second_start_replaces_without_stopping(dash, fakes):
    dash.CUF_ProgressStartP("one")
    first = dash.progress_bar
    dash.CUF_ProgressStartP("two")
    second = dash.progress_bar
    assert second is not first
    assert first.stopped == 0
    assert dash.progress_task_id == 1
    fakes.clear()
    dash.CUF_ProgressAdvance(3)
    assert fakes.events[0] == C("Progress.update", 1, advance=3)
    assert second.tasks[1]["completed"] == 3
    assert first.tasks[0]["completed"] == 0
    assert fakes.count("Progress.stop") == 0


def test_stop_exact_calls(dash, fakes):
    dash.CUF_ProgressStartP()
    bar = dash.progress_bar
    fakes.clear()
    assert dash.CUF_ProgressStop() is None
    assert fakes.names() == ["Progress.stop", "Group", "Live.update"]
    assert fakes.events[0] == C("Progress.stop")
    assert bar.stopped == 1
    assert dash.progress_bar is None and dash.progress_task_id is None
    assert group_of_last_update(fakes).renderables == []


def test_stop_failure_keeps_bar(dash, fakes):
    dash.CUF_ProgressStartP()
    bar = dash.progress_bar
    fakes.fail["Progress.stop"] = RuntimeError("stop failed")
    fakes.clear()
    with pytest.raises(RuntimeError):
        dash.CUF_ProgressStop()
    assert dash.progress_bar is bar and dash.progress_task_id == 0
    assert fakes.count("Live.update") == 0


def test_stop_refresh_failure_keeps_bar_removed(dash, fakes):
    # only AddTable/DisplayMulti/DisplaySingle/AddLog undo their change;
    # ProgressStop behaves as described: its state change stays
    dash.CUF_ProgressStartP()
    fakes.fail["Live.update"] = RuntimeError("update failed")
    with pytest.raises(RuntimeError):
        dash.CUF_ProgressStop()
    assert dash.progress_bar is None and dash.progress_task_id is None


# ---------------------------------------------------------------------------
# CUF_Clear


def test_clear_empties_in_place_and_refreshes(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    dash.CUF_DisplayMulti("T", "r", [1])
    dash.CUF_AddLog("l")
    dash.CUF_DisplaySingle("m")
    logs, tables = dash.logs, dash.tables
    fakes.clear()
    assert dash.CUF_Clear() is None
    assert dash.logs is logs and logs == []
    assert dash.tables is tables and tables == {}
    assert dash.single_line_msg == ""
    assert fakes.events == [C("Group"), fakes.events[1]]
    assert fakes.names() == ["Group", "Live.update"]
    assert group_of_last_update(fakes).renderables == []


def test_clear_keeps_progress_bar(dash, fakes):
    dash.CUF_ProgressStartP()
    dash.CUF_ProgressAdvance(7)
    bar, tid = dash.progress_bar, dash.progress_task_id
    fakes.clear()
    dash.CUF_Clear()
    assert dash.progress_bar is bar and dash.progress_task_id == tid
    assert bar.tasks[tid]["completed"] == 7
    assert bar.stopped == 0
    assert fakes.names() == ["Progress.get_renderable", "Group", "Live.update"]


def test_clear_on_empty_dashboard_still_refreshes(dash, fakes):
    dash.CUF_Clear()
    assert fakes.names() == ["Group", "Live.update"]


# ---------------------------------------------------------------------------
# CUF_Close


def test_close_without_bar(dash, fakes):
    assert dash.CUF_Close() is None
    assert fakes.events == [C("Live.stop")]


def test_close_with_bar_order(dash, fakes):
    dash.CUF_AddTable("T", ["a"])
    dash.CUF_ProgressStartP()
    bar = dash.progress_bar
    live = dash.live
    fakes.clear()
    dash.CUF_Close()
    assert fakes.names() == ["Live.stop", "Progress.stop", "Table", "Table.add_column",
                             "Group", "Live.update"]
    assert fakes.events[0] == C("Live.stop")
    assert fakes.events[1] == C("Progress.stop")
    assert bar.stopped == 1
    assert dash.progress_bar is None and dash.progress_task_id is None
    # nothing else is reset
    assert dash.live is live
    assert list(dash.tables) == ["T"]


def test_second_close_stops_live_again_only(dash, fakes):
    dash.CUF_ProgressStartP()
    dash.CUF_Close()
    fakes.clear()
    dash.CUF_Close()
    assert fakes.events == [C("Live.stop")]


def test_close_calls_overridden_progress_stop(fakes):
    calls = []

    class Sub(OrvanDeck.CLASS_Orvan):
        def CUF_ProgressStop(self):
            calls.append("override")

    d = Sub()
    d.CUF_ProgressStartP()
    fakes.clear()
    d.CUF_Close()
    assert calls == ["override"]
    assert fakes.events == [C("Live.stop")]


def test_close_live_stop_failure_skips_progress_stop(dash, fakes):
    dash.CUF_ProgressStartP()
    fakes.fail["Live.stop"] = RuntimeError("live stop failed")
    fakes.clear()
    with pytest.raises(RuntimeError):
        dash.CUF_Close()
    assert fakes.names() == ["Live.stop"]
    assert dash.progress_bar is not None


def test_operations_after_close_still_update_stopped_live(dash, fakes):
    dash.CUF_Close()
    fakes.clear()
    dash.CUF_AddTable("T", ["a"])
    dash.CUF_DisplayMulti("T", "r", [1])
    assert fakes.count("Live.update") == 2
    assert fakes.count("Live.start") == 0
    assert dash.tables["T"]["rows"] == {"r": [1]}


def test_close_with_falsy_live_does_not_stop(dash, fakes):
    dash.live = None
    dash.CUF_Close()
    assert fakes.events == []
