"""OrvanDeck: atomic operations (issue decision 2).  When composing the new
group or handing it to the live display raises, the operation takes its own
change back before the exception reaches the caller."""

import io

import pytest

import OrvanDeck
from orvan_fakes import group_of_last_update, make_recording_console

import rich.errors

FAILURE_POINTS = ["Group", "Live.update"]


def _arm(fakes, point):
    boom = RuntimeError("refresh failed at " + point)
    fakes.fail[point] = boom
    return boom


def _disarm(fakes):
    fakes.fail.clear()


def _expected_updates(point):
    return 1 if point == "Live.update" else 0


@pytest.mark.parametrize("point", FAILURE_POINTS)
def test_add_table_rollback(dash, fakes, point):
    dash.CUF_AddTable("A", ["a"])
    dash.CUF_DisplayMulti("A", "r", [1])
    before_entry = dash.tables["A"]
    fakes.clear()
    boom = _arm(fakes, point)
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_AddTable("B", ["b"])
    assert ei.value is boom
    assert fakes.count("Live.update") == _expected_updates(point)
    assert list(dash.tables) == ["A"]
    assert dash.tables["A"] is before_entry
    _disarm(fakes)
    dash.CUF_AddTable("B", ["b2"])
    assert list(dash.tables) == ["A", "B"]
    assert dash.tables["B"]["columns"] == ["b2"]


@pytest.mark.parametrize("point", FAILURE_POINTS)
def test_display_multi_known_key_rollback(dash, fakes, point):
    dash.CUF_AddTable("T", ["v"])
    old = ["old"]
    dash.CUF_DisplayMulti("T", "r1", ["first"])
    dash.CUF_DisplayMulti("T", "r2", old)
    dash.CUF_DisplayMulti("T", "r3", ["third"])
    fakes.clear()
    boom = _arm(fakes, point)
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_DisplayMulti("T", "r2", ["new"])
    assert ei.value is boom
    assert fakes.count("Live.update") == _expected_updates(point)
    rows = dash.tables["T"]["rows"]
    assert list(rows) == ["r1", "r2", "r3"]
    assert rows["r2"] is old


@pytest.mark.parametrize("point", FAILURE_POINTS)
def test_display_multi_new_key_rollback(dash, fakes, point):
    dash.CUF_AddTable("T", ["v"])
    dash.CUF_DisplayMulti("T", "r1", ["first"])
    fakes.clear()
    boom = _arm(fakes, point)
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_DisplayMulti("T", "r2", ["new"])
    assert ei.value is boom
    assert list(dash.tables["T"]["rows"]) == ["r1"]
    _disarm(fakes)
    dash.CUF_DisplayMulti("T", "r9", ["x"])
    assert list(dash.tables["T"]["rows"]) == ["r1", "r9"]


@pytest.mark.parametrize("point", FAILURE_POINTS)
def test_display_single_rollback(dash, fakes, point):
    dash.CUF_DisplaySingle("previous", "red")
    fakes.clear()
    boom = _arm(fakes, point)
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_DisplaySingle("next", "blue")
    assert ei.value is boom
    assert dash.single_line_msg == "[red]previous[/red]"
    assert fakes.count("Live.update") == _expected_updates(point)


def test_display_single_rollback_to_empty(dash, fakes):
    _arm(fakes, "Live.update")
    with pytest.raises(RuntimeError):
        dash.CUF_DisplaySingle("next")
    assert dash.single_line_msg == ""


@pytest.mark.parametrize("point", FAILURE_POINTS)
def test_add_log_rollback(dash, fakes, point):
    dash.CUF_AddLog("one")
    logs = dash.logs
    before = list(logs)
    fakes.clear()
    boom = _arm(fakes, point)
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_AddLog("two")
    assert ei.value is boom
    assert dash.logs is logs
    assert logs == before
    assert fakes.count("Live.update") == _expected_updates(point)


def test_rollback_failure_in_text_from_markup(dash, fakes):
    dash.CUF_DisplaySingle("kept")
    boom = ValueError("markup")
    fakes.fail["Text.from_markup"] = boom
    with pytest.raises(ValueError) as ei:
        dash.CUF_AddLog("x")
    assert ei.value is boom
    assert dash.logs == []


def test_progress_start_add_task_failure_keeps_previous_none(dash, fakes):
    boom = RuntimeError("add_task failed")
    fakes.fail["Progress.add_task"] = boom
    with pytest.raises(RuntimeError) as ei:
        dash.CUF_ProgressStartP()
    assert ei.value is boom
    assert dash.progress_bar is None
    assert dash.progress_task_id is None
    assert fakes.count("Live.update") == 0
    # the dashboard still works without a bar
    _disarm(fakes)
    fakes.clear()
    dash.CUF_ProgressAdvance()
    assert fakes.events == []


def test_progress_start_add_task_failure_keeps_previous_bar(dash, fakes):
    dash.CUF_ProgressStartP("old")
    old_bar, old_id = dash.progress_bar, dash.progress_task_id
    fakes.fail["Progress.add_task"] = RuntimeError("add_task failed")
    with pytest.raises(RuntimeError):
        dash.CUF_ProgressStartP("new")
    assert dash.progress_bar is old_bar
    assert dash.progress_task_id == old_id
    assert old_bar.stopped == 0
    _disarm(fakes)
    fakes.clear()
    dash.CUF_ProgressAdvance(2)
    assert fakes.events[0].args == (old_id,)
    assert old_bar.tasks[old_id]["completed"] == 2


def test_later_operations_work_after_rollback(dash, fakes):
    dash.CUF_AddTable("T", ["a", "b"])
    fakes.fail["Group"] = RuntimeError("once")
    with pytest.raises(RuntimeError):
        dash.CUF_DisplayMulti("T", "r", [1, 2])
    _disarm(fakes)
    dash.CUF_DisplayMulti("T", "r", [3, 4])
    g = group_of_last_update(fakes)
    assert g.renderables[0].rows == [("3", "4")]


def test_uncomposable_row_is_not_kept(dash, fakes):
    # a value list that cannot be iterated makes the composition fail; the
    # operation takes its own change back (issue decision 2)
    dash.CUF_AddTable("T", ["a"])
    with pytest.raises(TypeError):
        dash.CUF_DisplayMulti("T", "r", 5)
    assert dash.tables["T"]["rows"] == {}
    dash.CUF_DisplayMulti("T", "r", [5])
    assert dash.tables["T"]["rows"] == {"r": [5]}


# ---------------------------------------------------------------------------
# with real rich: malformed markup makes Text.from_markup raise MarkupError


@pytest.fixture
def real_dash(monkeypatch):
    consoles = []

    def factory():
        c = make_recording_console(100)
        consoles.append(c)
        return c

    monkeypatch.setattr(OrvanDeck, "Console", factory)
    d = OrvanDeck.CLASS_Orvan()
    yield d
    d.CUF_Close()


def test_bad_log_markup_rolls_back_and_later_operations_work(real_dash):
    d = real_dash
    d.CUF_AddTable("Workers", ["Worker ID", "Status"])
    d.CUF_AddLog("good line")
    before = list(d.logs)
    with pytest.raises(rich.errors.MarkupError):
        d.CUF_AddLog("file[/x]")
    assert d.logs == before
    d.CUF_DisplayMulti("Workers", "worker_0", ["0", "[green]Done[/green]"])
    d.CUF_DisplayMulti("Workers", "worker_1", ["1", "Pending"])
    d.CUF_AddLog("another good line")
    assert list(d.tables["Workers"]["rows"]) == ["worker_0", "worker_1"]
    assert len(d.logs) == 2


def test_bad_message_markup_rolls_back(real_dash):
    d = real_dash
    d.CUF_DisplaySingle("fine", "yellow")
    with pytest.raises(rich.errors.MarkupError):
        d.CUF_DisplaySingle("oops[/nope]")
    assert d.single_line_msg == "[yellow]fine[/yellow]"
    d.CUF_DisplaySingle("again")
    assert d.single_line_msg == "[cyan]again[/cyan]"

