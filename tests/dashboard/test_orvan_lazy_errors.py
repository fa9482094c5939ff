"""OrvanDeck on real rich: what rich parses only when it draws (table titles,
headers and cells, the bar's description and colour) is refused by the call
that adds it, with the error rich itself raises when drawing the same thing;
the call changes nothing and the live display goes on drawing."""

import collections
import decimal
import pathlib
import sys
import textwrap

import pytest
from rich.progress import BarColumn, Progress, TextColumn
from rich.table import Table
from rich.text import Text

import OrvanDeck
from orvan_fakes import make_recording_console, render_text
from pty_screen import run_in_pty, screen_lines


@pytest.fixture
def real_dash(monkeypatch):
    """A dashboard on a recording console, with a table row, a log line and a
    bar; the live display draws its last group on the console when closed."""
    consoles = []

    def factory():
        consoles.append(make_recording_console(100))
        return consoles[-1]

    monkeypatch.setattr(OrvanDeck, "Console", factory)
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("Jobs", ["Job", "State"])
    d.CUF_DisplayMulti("Jobs", "j0", ["A00", "ok"])
    d.CUF_AddLog("before")
    d.CUF_ProgressStartP("old bar", 10)
    yield d, consoles[0]
    d.CUF_Close()


def snapshot(d):
    return ({tid: (list(e["columns"]), list(e["rows"].items())) for tid, e in d.tables.items()},
            list(d.logs), d.single_line_msg, d.progress_bar, d.progress_task_id)


def table(title, columns, *rows):
    t = Table(title=title)
    for c in columns:
        t.add_column(c, justify="center")
    for r in rows:
        t.add_row(*map(str, r))
    return t


def bar(description, total, colour):
    p = Progress(TextColumn("[progress.description]{task.description}"),
                 BarColumn(bar_width=30, complete_style=colour),
                 TextColumn("[progress.percentage]{task.percentage:>3.0f}%"),
                 console=make_recording_console(), transient=True)
    p.add_task(description, total=total)
    return p.get_renderable()


def drawing_error(make):
    """What rich raises building and drawing the renderable itself."""
    try:
        render_text(make())
    except Exception as e:
        return type(e), str(e)
    return None


class Path:
    def __str__(self):
        return "/srv/[/]jobs"


class Cells(list):
    pass


def status(message):
    def run(d):
        with d.CUF_Status(message):
            pass
    return run


def spinner(message):
    from rich.spinner import Spinner
    return Spinner("dots", text=message)


REFUSED = [
    ("cell markup", lambda d: d.CUF_DisplayMulti("Jobs", "j1", ["A01", "[/red]failed"]),
     lambda: table("Jobs", ["Job", "State"], ["A01", "[/red]failed"])),
    ("cell str() markup", lambda d: d.CUF_DisplayMulti("Jobs", "j1", ("A01", Path())),
     lambda: table("Jobs", ["Job", "State"], ["A01", Path()])),
    ("rewritten row", lambda d: d.CUF_DisplayMulti("Jobs", "j0", ["[/b]", "ok"]),
     lambda: table("Jobs", ["Job", "State"], ["[/b]", "ok"])),
    ("header markup", lambda d: d.CUF_AddTable("New", ["ok", "x[/b]"]),
     lambda: table("New", ["ok", "x[/b]"])),
    ("header not renderable", lambda d: d.CUF_AddTable("New", [1, 2]),
     lambda: table("New", [1, 2])),
    ("title markup", lambda d: d.CUF_AddTable("[/t]New", ["a"]),
     lambda: table("[/t]New", ["a"])),
    ("title not renderable", lambda d: d.CUF_AddTable(7, ["a"]),
     lambda: table(7, ["a"])),
    ("description markup", lambda d: d.CUF_ProgressStartP("[/x]job", 10),
     lambda: bar("[/x]job", 10, "green")),
    ("bar colour", lambda d: d.CUF_ProgressStartP("job", 10, "bogus"),
     lambda: bar("job", 10, "bogus")),
    # whatever container holds them
    ("cells in a list subclass", lambda d: d.CUF_DisplayMulti("Jobs", "j1", Cells(["A01", "[/red]x"])),
     lambda: table("Jobs", ["Job", "State"], ["A01", "[/red]x"])),
    ("cells in a deque", lambda d: d.CUF_DisplayMulti("Jobs", "j1", collections.deque(["A01", "[/red]x"])),
     lambda: table("Jobs", ["Job", "State"], ["A01", "[/red]x"])),
    ("cells in dict values", lambda d: d.CUF_DisplayMulti("Jobs", "j1", {1: "A01", 2: "[/red]x"}.values()),
     lambda: table("Jobs", ["Job", "State"], ["A01", "[/red]x"])),
    ("cells from a generator", lambda d: d.CUF_DisplayMulti("Jobs", "j1", (c for c in ["A01", "[/red]x"])),
     lambda: table("Jobs", ["Job", "State"], ["A01", "[/red]x"])),
    ("headers in a list subclass", lambda d: d.CUF_AddTable("New", Cells(["ok", "x[/b]"])),
     lambda: table("New", ["ok", "x[/b]"])),
    ("header in a deque", lambda d: d.CUF_AddTable("New", collections.deque(["ok", 1])),
     lambda: table("New", ["ok", 1])),
    # what the spinner draws in its own thread
    ("status object", status(pathlib.PurePosixPath("/srv/job")), lambda: spinner(pathlib.PurePosixPath("/srv/job"))),
    ("status number", status(42), lambda: spinner(42)),
    # totals rich compares only when drawing
    ("total str", lambda d: d.CUF_ProgressStartP("copy", "10"), lambda: bar("copy", "10", "green")),
    ("total NaN decimal", lambda d: d.CUF_ProgressStartP("copy", decimal.Decimal("NaN")),
     lambda: bar("copy", decimal.Decimal("NaN"), "green")),
    ("total complex", lambda d: d.CUF_ProgressStartP("copy", 3j), lambda: bar("copy", 3j, "green")),
    ("total list", lambda d: d.CUF_ProgressStartP("copy", [1]), lambda: bar("copy", [1], "green")),
]


@pytest.mark.parametrize("operation,drawn", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_at_the_call_with_riches_error(real_dash, operation, drawn):
    d, console = real_dash
    expected = drawing_error(drawn)
    assert expected is not None
    before = snapshot(d)
    with pytest.raises(Exception) as info:
        operation(d)
    assert (type(info.value), str(info.value)) == expected
    assert snapshot(d) == before
    d.CUF_AddLog("after")
    d.CUF_ProgressAdvance(5)
    d.CUF_Close()  # the last draw: would raise on anything refused above
    shown = console.export_text()
    for text in ("before", "after", "A00", "old bar", " 50%"):
        assert text in shown, shown


def test_what_rich_draws_is_accepted_and_looks_the_same(real_dash):
    d, console = real_dash
    columns = [Text("[/h] as text"), "[b]Bold[/b]", "\\[/x] escaped"]
    row = ["[green]ok[/green]", 3, None, "[not closed"]
    d.CUF_AddTable("Accepted", columns)
    d.CUF_DisplayMulti("Accepted", "r", row)
    # a bar that is done or pulses never draws its colour
    d.CUF_ProgressStartP("[bold]pulsing[/bold]", None, "bogus")
    d.CUF_ProgressStartP("[bold]empty[/bold]", 0, "bogus")
    d.CUF_AddLog("after")
    d.CUF_Close()
    shown = console.export_text()
    assert render_text(table("Accepted", columns, row)) in shown
    assert "empty" in shown and "after" in shown


SNIPPET = """
import time
import OrvanDeck
import rich.errors

d = OrvanDeck.CLASS_Orvan()
d.CUF_AddTable("Jobs", ["Job", "State"])
d.CUF_DisplayMulti("Jobs", "j0", ["A00", "ok"])
try:
    d.CUF_DisplayMulti("Jobs", "j1", ["A01", "[/red]failed"])
    refused = "not refused"
except rich.errors.MarkupError as e:
    refused = str(e)
for i in range(5):
    d.CUF_AddLog("tick %d" % i, "green")
    time.sleep(0.3)
d.CUF_Close()
print("refused:", refused)
"""


def test_bad_cell_refused_in_a_terminal_and_the_display_goes_on(tmp_path):
    script = tmp_path / "snippet.py"
    script.write_text(textwrap.dedent(SNIPPET))
    rc, raw = run_in_pty([sys.executable, str(script)], timeout=30)
    lines = screen_lines(raw)
    text = "\n".join(lines)
    assert rc == 0, text
    ticks = [ln.split("] ", 1)[1] for ln in lines if "] tick " in ln]
    assert ticks == ["tick %d" % i for i in range(5)], text
    assert any(ln.startswith("│ A00") for ln in lines) and "A01" not in text, text
    assert "refused: closing tag '[/red]' at position 0 doesn't match any open tag" in text
    # the live display drew the first tick while the script was still adding
    assert raw.index(b"tick 0") < raw.index(b"tick 4")


def test_markup_found_good_once_and_bad_every_time(real_dash):
    """Good markup is remembered (a bounded set), bad markup is refused on
    every call, past the bound too, at its position in the text as shown."""
    from rich.errors import MarkupError
    d, _ = real_dash
    for i in range(4200):
        d.CUF_DisplayMulti("Jobs", "j1", ["[b]%d[/b]" % i, "[green]ok[/green]"])
    for _ in range(2):
        with pytest.raises(MarkupError, match=r"closing tag '\[/red\]' at position 4 "):
            d.CUF_DisplayMulti("Jobs", "j2", ["\x9b[/red]", "x"])
    assert list(d.tables["Jobs"]["rows"]) == ["j0", "j1"]


class Later:
    """A cell whose str() turns into bad markup after the call."""
    text = "fine"

    def __str__(self):
        return self.text


def test_cell_turning_bad_later_is_loud_and_the_display_goes_on(real_dash):
    from rich.errors import MarkupError
    d, console = real_dash
    cell = Later()
    d.CUF_DisplayMulti("Jobs", "j1", ["A01", cell])
    cell.text = "[/red]bad"
    with pytest.raises(MarkupError, match="closing tag"):
        d.CUF_AddLog("next")
    assert d.logs[-1].endswith("before[/white]")
    cell.text = "fine again"
    d.CUF_AddLog("after")
    d.CUF_Close()
    shown = console.export_text()
    assert "after" in shown and "fine again" in shown, shown


def test_a_log_line_must_parse_on_its_own(monkeypatch):
    """Bracketed words on separate lines: the first is accepted, the closing
    one refused, and the log never sticks once the opening one scrolls out."""
    from rich.errors import MarkupError
    monkeypatch.setattr(OrvanDeck, "Console", make_recording_console)
    d = OrvanDeck.CLASS_Orvan(20, 2)
    d.CUF_AddLog("[bold]")
    with pytest.raises(MarkupError, match=r"closing tag '\[/bold\]' at position 29 "):
        d.CUF_AddLog("[/bold]")
    assert len(d.logs) == 1
    for i in range(3):
        d.CUF_AddLog("line %d" % i)
    d.CUF_AddLog("[red]")
    with pytest.raises(MarkupError, match=r"closing tag '\[/Red\]' at position 28 "):
        d.CUF_AddLog("x", "Red")  # closes "[red]" in the block, nothing alone
    d.CUF_Close()
    assert "line 2" in d.console.export_text()


FRAGMENTS = ["x", "[bold]", "[/bold]", "[/]", "[red]", "[/red]", "\\", "[b]", "[/b]", "[link=u]", "]", "[Red]",
             "[/Red]", "[@click]", "[/@click]"]


def test_lines_that_parse_alone_parse_in_any_window():
    """rich closes a tag by name, the nearest open one first; so a window of
    lines that each parse alone parses: the log cannot stick."""
    import itertools
    import random
    from rich.errors import MarkupError
    rng = random.Random(7)
    alone = []
    for _ in range(3000):
        colour = rng.choice(["white", "Red", "", "[b]"])
        msg = "".join(rng.choice(FRAGMENTS) for _ in range(rng.randrange(4)))
        line = "[%s][2026/12/09-06:40:35] %s[/%s]" % (colour, msg, colour)
        try:
            Text.from_markup(line)
        except MarkupError:
            continue
        alone.append(line)
    assert len(alone) > 300
    for _ in range(2000):
        start = rng.randrange(len(alone))
        window = alone[start:start + rng.randrange(1, 12)]
        Text.from_markup("\n".join(window))
    for a, b in itertools.product(alone[:60], repeat=2):
        Text.from_markup(a + "\n" + b)
