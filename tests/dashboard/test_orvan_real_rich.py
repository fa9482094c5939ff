"""OrvanDeck with the real rich library: the dashboard runs on a recording,
non-terminal console; ``_render_group()`` is rendered into a second recording
console and the tests assert what a user would see."""

import re

import pytest

import OrvanDeck
from orvan_fakes import make_recording_console, render_text

import rich.console
import rich.live
import rich.progress
import rich.text

TS = r"\[\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d\]"


@pytest.fixture
def consoles(monkeypatch):
    made = []

    def factory():
        c = make_recording_console(100)
        made.append(c)
        return c

    monkeypatch.setattr(OrvanDeck, "Console", factory)
    return made


@pytest.fixture
def rdash(consoles):
    d = OrvanDeck.CLASS_Orvan()
    yield d
    d.CUF_Close()


def screen(d, width=100):
    return render_text(d._render_group(), width)


def lines_of(text):
    return [ln.rstrip() for ln in text.splitlines()]


def _cells(line):
    """Cells of a table body/header line drawn with │ separators."""
    parts = re.split("[│┃]", line)
    return parts[1:-1]


def test_construction_uses_real_live_started(rdash, consoles):
    assert rdash.console is consoles[0]
    assert isinstance(rdash.live, rich.live.Live)
    assert rdash.live.is_started
    assert rdash.live.console is consoles[0]
    assert rdash.live.refresh_per_second == 4
    assert isinstance(rdash._render_group(), rich.console.Group)
    assert screen(rdash).strip() == ""


def test_close_stops_live(consoles):
    d = OrvanDeck.CLASS_Orvan(2, 5)
    assert d.live.refresh_per_second == 2
    d.CUF_Close()
    assert not d.live.is_started
    d.CUF_Close()  # second close is harmless
    assert not d.live.is_started


def test_tables_titles_headers_rows(rdash):
    d = rdash
    d.CUF_AddTable("Workers", ["Worker ID", "Status", "Progress"])
    d.CUF_AddTable("Jobs", ["Job ID", "Owner", "State"])
    for w in range(3):
        d.CUF_DisplayMulti("Workers", "worker_%d" % w, [str(w), "[green]Done[/green]", "%d%%" % (w * 10)])
    d.CUF_DisplayMulti("Jobs", "job_A01", ["A01", "user4", "[yellow]Running[/yellow]"])
    out = lines_of(screen(d))
    text = "\n".join(out)
    assert "Workers" in text and "Jobs" in text
    assert text.index("Workers") < text.index("Jobs")
    # titles are on their own line, centred over the table
    title_lines = [ln for ln in out if ln.strip() in ("Workers", "Jobs")]
    assert len(title_lines) == 2
    for h in ("Worker ID", "Status", "Progress", "Job ID", "Owner", "State"):
        assert h in text
    assert "Done" in text and "[green]" not in text  # cell markup rendered
    assert "Running" in text and "[yellow]" not in text
    body = [ln for ln in out if ln.startswith(("│", "┃"))]
    worker_rows = [c for c in (_cells(ln) for ln in body) if c and c[0].strip() in ("0", "1", "2")]
    assert [c[0].strip() for c in worker_rows] == ["0", "1", "2"]
    assert [c[2].strip() for c in worker_rows] == ["0%", "10%", "20%"]
    assert any("user4" in ln for ln in body)


def test_headers_and_cells_are_centred(rdash):
    d = rdash
    d.CUF_AddTable("T", ["H", "Name"])
    d.CUF_DisplayMulti("T", "r", ["abcdefghijklmnop", "x"])
    out = lines_of(screen(d))
    header = next(ln for ln in out if ln.startswith(("│", "┃")) and "Name" in ln)
    cell = _cells(header)[0]
    left = len(cell) - len(cell.lstrip(" "))
    right = len(cell) - len(cell.rstrip(" "))
    assert cell.strip() == "H"
    assert left >= 7 and abs(left - right) <= 1, repr(cell)
    row = next(ln for ln in out if ln.startswith("│") and "abcdefghijklmnop" in ln)
    cell = _cells(row)[1]
    assert cell.strip() == "x"
    left = len(cell) - len(cell.lstrip(" "))
    right = len(cell) - len(cell.rstrip(" "))
    assert abs(left - right) <= 1 and left >= 2, repr(cell)


def test_row_order_after_rewrites(rdash):
    d = rdash
    d.CUF_AddTable("T", ["key", "value"])
    for k in ("alpha", "beta", "gamma"):
        d.CUF_DisplayMulti("T", k, [k, "v1"])
    d.CUF_DisplayMulti("T", "beta", ["beta", "REWRITTEN"])
    d.CUF_DisplayMulti("T", "alpha", ["alpha", 42])
    d.CUF_DisplayMulti("T", "gamma", ["gamma", None])
    rows = [_cells(ln) for ln in lines_of(screen(d)) if ln.startswith("│")]
    data = [[c.strip() for c in r] for r in rows if r and r[0].strip() in ("alpha", "beta", "gamma")]
    assert data == [["alpha", "42"], ["beta", "REWRITTEN"], ["gamma", "None"]]


def test_table_without_rows_shows_title_and_headers(rdash):
    rdash.CUF_AddTable("Empty", ["Col A", "Col B"])
    text = screen(rdash)
    assert "Empty" in text and "Col A" in text and "Col B" in text


def test_newest_log_lines_shown(rdash):
    d = rdash
    for i in range(1, 13):
        d.CUF_AddLog("entry %02d" % i, "magenta")
    out = [ln for ln in lines_of(screen(d)) if ln.strip()]
    assert len(out) == 10
    for ln, i in zip(out, range(3, 13)):
        assert re.fullmatch(TS + r" entry %02d" % i, ln), ln
    assert len(d.logs) == 12


def test_log_markup_inside_message_rendered(rdash):
    rdash.CUF_AddLog("Iteration 3 [green]finished[/green]", "magenta")
    out = [ln for ln in lines_of(screen(rdash)) if ln.strip()]
    assert len(out) == 1
    assert re.fullmatch(TS + r" Iteration 3 finished", out[0]), out


def test_screen_order_logs_message_tables_bar(rdash):
    d = rdash
    d.CUF_ProgressStartP("Overall Progress")
    d.CUF_AddTable("First", ["column a"])
    d.CUF_DisplaySingle("Processing iteration 4...", "yellow")
    d.CUF_AddTable("Second", ["column b"])
    d.CUF_AddLog("log line")
    d.CUF_ProgressAdvance()
    text = screen(d)
    positions = [text.index(s) for s in ("log line", "Processing iteration 4...", "First", "Second", "Overall Progress")]
    assert positions == sorted(positions)


def test_message_rendered_without_tags(rdash):
    rdash.CUF_DisplaySingle("m", OrvanDeck.ENUM_RichColor.cE_RCH_YELLOW)
    assert rdash.single_line_msg == "[yellow]m[/yellow]"
    assert [ln for ln in lines_of(screen(rdash)) if ln.strip()] == ["m"]
    text = rich.text.Text.from_markup(rdash.single_line_msg)
    assert text.plain == "m"
    assert str(text.spans[0].style) == "yellow"


@pytest.mark.parametrize("member", list(OrvanDeck.ENUM_RichColor))
def test_every_colour_member_is_a_valid_rich_colour(rdash, member):
    rdash.CUF_DisplaySingle("msg", member)
    rdash.CUF_AddLog("log", member)
    text = screen(rdash)
    assert "msg" in text and "log" in text
    assert member.value not in text


def test_progress_bar_after_one_advance(rdash):
    d = rdash
    d.CUF_ProgressStartP()
    assert isinstance(d.progress_bar, rich.progress.Progress)
    d.CUF_ProgressAdvance()
    out = [ln for ln in lines_of(screen(d)) if ln.strip()]
    assert len(out) == 1
    line = out[0]
    assert line.startswith("Progress")
    assert line.endswith("  1%")
    bar_cells = sum(1 for ch in line if ch in "━╸╺")
    assert bar_cells == 30  # max(10, int(100 * 0.3))
    task = d.progress_bar.tasks[0]
    assert task.id == d.progress_task_id
    assert task.total == 100 and task.completed == 1
    assert d.progress_bar.live.is_started is False  # never started


def test_progress_bar_width_and_percentage(rdash):
    d = rdash
    d.CUF_ProgressStartP("Overall Progress", Pmi_Total=50,
                         Pms_BarColor=OrvanDeck.ENUM_RichColor.cE_RCH_GREEN, Pmf_PercentWidth=0.2)
    for _ in range(25):
        d.CUF_ProgressAdvance(1)
    line = [ln for ln in lines_of(screen(d)) if ln.strip()][0]
    assert line.startswith("Overall Progress")
    assert line.endswith(" 50%")
    assert sum(1 for ch in line if ch in "━╸╺") == 20
    for _ in range(25):
        d.CUF_ProgressAdvance(1)
    line = [ln for ln in lines_of(screen(d)) if ln.strip()][0]
    assert line.endswith("100%")


def test_progress_stop_removes_bar(rdash):
    d = rdash
    d.CUF_ProgressStartP("Bar")
    d.CUF_ProgressAdvance(10)
    d.CUF_DisplaySingle("still here")
    d.CUF_ProgressStop()
    text = screen(d)
    assert "Bar" not in text and "%" not in text
    assert "still here" in text


def test_clear_keeps_bar_only(rdash):
    d = rdash
    d.CUF_AddTable("T", ["a"])
    d.CUF_AddLog("l")
    d.CUF_DisplaySingle("m")
    d.CUF_ProgressStartP("Bar")
    d.CUF_ProgressAdvance(5)
    d.CUF_Clear()
    out = [ln for ln in lines_of(screen(d)) if ln.strip()]
    assert len(out) == 1 and out[0].startswith("Bar") and out[0].endswith("  5%")


def test_close_with_bar(consoles):
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_ProgressStartP()
    d.CUF_Close()
    assert not d.live.is_started
    assert d.progress_bar is None and d.progress_task_id is None


def test_print_goes_to_console(rdash, consoles):
    rdash.CUF_Print("hello [red]world[/red]")
    assert "hello world" in consoles[0].export_text()


def test_status_with_real_console(rdash):
    with rdash.CUF_Status("working") as target:
        assert target is None
        rdash.CUF_DisplaySingle("inside status")
    with pytest.raises(ZeroDivisionError):
        with rdash.CUF_Status("failing"):
            1 / 0
    assert rdash.live.is_started
    assert rdash.single_line_msg == "[cyan]inside status[/cyan]"


def test_real_datetime_log_line(rdash):
    rdash.CUF_AddLog("stamped")
    assert re.fullmatch(r"\[white\]" + TS + r" stamped\[/white\]", rdash.logs[0])
