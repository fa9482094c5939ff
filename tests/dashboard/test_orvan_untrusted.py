"""Text from outside never drives the terminal: control characters in what the
dashboard hands to rich are shown, not sent, and the stored state keeps the
caller's text."""

import io
import re
import shlex
import sys
import textwrap

import pytest

import OrvanDeck
from pelmar_fakes import wait_until

import rich.console
import rich.errors

# Control characters other than newline: what must never reach the output.
CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")

# (raw payload, what is shown); every payload sits between "a" and "b"
PAYLOADS = [
    ("\x1b[2J\x1b[H\x1b[31m", "␛[2J␛[H␛[31m"),                        # CSI: clear, home, colour
    ("\x1b]0;T\x07", "␛]0;T␇"),                                       # OSC 0: icon and title
    ("\x1b]2;PWNED\x1b\\", "␛]2;PWNED␛\\"),                           # OSC 2: title
    ("\x1b]8;;http://x.test/\x1b\\x\x1b]8;;\x1b\\", "␛]8;;http://x.test/␛\\x␛]8;;␛\\"),  # OSC 8
    ("\x1b]52;c;ZWNobyBoaQ==\x07", "␛]52;c;ZWNobyBoaQ==␇"),           # OSC 52: clipboard
    ("\x1bP+q544e\x1b\\", "␛P+q544e␛\\"),                             # DCS: query the terminal
    ("\x9b2J\x9d2;T\x9c", "<9B>2J<9D>2;T<9C>"),                       # 8-bit CSI, OSC, ST
    ("\x7f\x00\x08\x0b\x0c\r", "␡␀␈␋␌␍"),                            # DEL and C0 rich would drop
    ("\x1bb]x\x1b/b]", "␛b]x␛/b]"),                                   # no tag appears from a control
]
PAYLOAD_IDS = ["csi", "osc0", "osc2", "osc8", "osc52", "dcs", "c1", "del-c0", "no-new-tags"]


class Shown:
    """A cell value whose str() is the payload."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def recording_console():
    return rich.console.Console(file=io.StringIO(), force_terminal=False, width=200,
                                color_system=None, record=True, legacy_windows=False)


def written(renderable):
    console = recording_console()
    console.print(renderable)
    return console.file.getvalue()


class StatusConsole(rich.console.Console):
    """Keeps the status objects it makes, so a test can draw the spinner."""

    def status(self, *args, **kwargs):
        self.statuses.append(super().status(*args, **kwargs))
        return self.statuses[-1]


def status_console(file, **options):
    console = StatusConsole(file=file, width=200, legacy_windows=False,
                            **{"force_terminal": False, "color_system": None, **options})
    console.statuses = []
    return console


@pytest.fixture
def rich_dash(monkeypatch):
    monkeypatch.setattr(OrvanDeck, "Console", lambda: status_console(io.StringIO()))
    d = OrvanDeck.CLASS_Orvan()
    d.statuses = d.console.statuses
    yield d
    d.CUF_Close()


# Each path: (dashboard, text) -> (bytes rich wrote, what the dashboard stored or None)
def _title(d, t):
    d.CUF_AddTable(t, ["h" * 80])  # a title wraps at the table's width
    return written(d._render_group()), next(iter(d.tables))


def _header(d, t):
    cols = [t]
    d.CUF_AddTable("T", cols)
    assert d.tables["T"]["columns"] is cols
    return written(d._render_group()), cols[0]


def _cell(d, t):
    d.CUF_AddTable("T", ["h"])
    row = ["x", t]
    d.CUF_DisplayMulti("T", "k", row)
    assert d.tables["T"]["rows"]["k"] is row
    return written(d._render_group()), row[1]


def _cell_str(d, t):
    d.CUF_AddTable("T", ["h"])
    d.CUF_DisplayMulti("T", "k", [Shown(t)])
    return written(d._render_group()), str(d.tables["T"]["rows"]["k"][0])


def _log(d, t):
    d.CUF_AddLog(t, "green")
    return written(d._render_group()), re.fullmatch(r"\[green\]\[[^]]*\] (.*)\[/green\]", d.logs[-1], re.S)[1]


def _message(d, t):
    d.CUF_DisplaySingle(t)
    return written(d._render_group()), d.single_line_msg[len("[cyan]"):-len("[/cyan]")]


def _print(d, t):
    d.CUF_Print(t)
    return d.console.file.getvalue(), None


def _status(d, t):
    with d.CUF_Status(t):
        out = written(d.statuses[-1].renderable)
    return out, None


def _progress(d, t):
    d.CUF_ProgressStartP(t)
    d.CUF_ProgressAdvance()
    return written(d._render_group()), None


PATHS = [_title, _header, _cell, _cell_str, _log, _message, _print, _status, _progress]


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.__name__[1:])
@pytest.mark.parametrize("raw, shown", PAYLOADS, ids=PAYLOAD_IDS)
def test_controls_are_shown_not_sent(rich_dash, path, raw, shown):
    out, stored = path(rich_dash, "a" + raw + "b")
    assert not CONTROL.search(out), repr(out)
    assert "a" + shown + "b" in out, repr(out)
    if stored is not None:
        assert stored == "a" + raw + "b"


# What rich receives, on one path, for every kind of character.
@pytest.mark.parametrize("raw, received", [
    ("".join(map(chr, range(32))), "␀␁␂␃␄␅␆␇␈\t\n␋␌␍␎␏␐␑␒␓␔␕␖␗␘␙␚␛␜␝␞␟"),
    ("\x7f\x80\x9f\xa0\xff", "␡<80><9F>\xa0\xff"),                 # NBSP and ÿ are not controls
    ("測試\x1b[1m 行\n\tok ✓\x85", "測試␛[1m 行\n\tok ✓<85>"),
    ("lone \ud800\x1b", "lone <D800>␛"),                         # no UTF-8 form of its own
])
def test_replacement_forms(dash, fakes, raw, received):
    dash.CUF_Print(raw)
    assert fakes.last("Console.print").args == (received,)


# A control after clean ASCII, at every place in and across eight-byte blocks;
# the bytes next to the control range (space, "~", é) pass.
@pytest.mark.parametrize("raw, shown", [("\x00", "␀"), ("\x1b", "␛"), ("\x1f", "␟"), ("\x7f", "␡"),
                                        ("\x80", "<80>"), ("\x9f", "<9F>")])
def test_control_found_anywhere(dash, fakes, raw, shown):
    for at in range(20):
        head, tail = (" ~x" * 7)[:at], ("~ é" * 7)[at:]
        dash.CUF_Print(head + raw + tail)
        assert fakes.last("Console.print").args == (head + shown + tail,)
    clean = " ~x" * 9
    dash.CUF_Print(clean)
    assert fakes.last("Console.print").args[0] is clean


class Str(str):
    pass


ORDINARY = ["plain", "", "[bold red]markup[/] \\[x]", "line 1\nline 2\tcol", "測試 寬字 ✓ é", Str("sub")]


# Ordinary text reaches rich as the caller's own object; so does what is not a str.
@pytest.mark.parametrize("text", ORDINARY + [7, None], ids=repr)
def test_ordinary_text_passed_as_is(dash, fakes, text):
    d = dash
    d.CUF_AddTable(text, [text])
    d.CUF_DisplayMulti(text, "k", [text])
    d.CUF_Print(text)
    with d.CUF_Status(text):
        pass
    d.CUF_ProgressStartP(text)
    received = [fakes.last("Table").kwargs["title"], fakes.last("Table.add_column").args[0],
                fakes.last("Console.print").args[0], fakes.last("Console.status").args[0],
                fakes.last("Progress.add_task").args[0]]
    assert all(r is text for r in received), received
    cell = fakes.last("Table.add_row").args[0]
    assert cell is text if type(text) is str else cell == str(text)


@pytest.mark.parametrize("text", ORDINARY, ids=repr)
def test_ordinary_markup_reaches_composition_unchanged(dash, fakes, text):
    dash.CUF_AddLog(text)
    dash.CUF_DisplaySingle(text)
    log, msg = [e.args[0] for e in fakes.of("Text.from_markup")[-2:]]
    assert msg is dash.single_line_msg
    assert log == dash.logs[-1]


# ------------------------------------------------- lone surrogates, as a stream writes them

SURROGATES = [
    ("\udcc2\udc9d2;T\udcc2\udc9c", "<C2><9D>2;T<C2><9C>"),  # an escaped UTF-8 OSC ... ST
    ("\udc9b2J", "<9B>2J"),                                      # an escaped 8-bit CSI
    ("\udcff", "<FF>"),                                          # fails a strict stream
    ("\ud800", "<D800>"),                                        # stands for no byte
]


def _in_status(d, t):
    with d.CUF_Status(t):
        d.console.print(d.console.statuses[-1].renderable)


STREAM_PATHS = {
    "title": lambda d, t: d.CUF_AddTable(t, ["h" * 80]),
    "header": lambda d, t: d.CUF_AddTable("T", [t]),
    "cell": lambda d, t: (d.CUF_AddTable("T", ["h"]), d.CUF_DisplayMulti("T", "k", [t])),
    "cell str()": lambda d, t: (d.CUF_AddTable("T", ["h"]), d.CUF_DisplayMulti("T", "k", [Shown(t)])),
    "log": lambda d, t: d.CUF_AddLog(t),
    "message": lambda d, t: d.CUF_DisplaySingle(t),
    "print": lambda d, t: d.CUF_Print(t),
    "print object": lambda d, t: d.CUF_Print(ValueError(t)),
    "status": _in_status,
    "description": lambda d, t: (d.CUF_ProgressStartP(t), d.CUF_ProgressAdvance()),
    "description object": lambda d, t: (d.CUF_ProgressStartP(Shown(t)), d.CUF_ProgressAdvance()),
}


@pytest.mark.parametrize("errors", ["surrogateescape", "strict"])
@pytest.mark.parametrize("path", STREAM_PATHS.values(), ids=STREAM_PATHS.keys())
@pytest.mark.parametrize("raw, shown", SURROGATES, ids=["osc", "csi", "ff", "d800"])
def test_lone_surrogates_shown_on_every_stream(monkeypatch, errors, path, raw, shown):
    data = io.BytesIO()
    stream = io.TextIOWrapper(data, encoding="utf-8", errors=errors, write_through=True)
    monkeypatch.setattr(OrvanDeck, "Console", lambda: status_console(stream))
    d = OrvanDeck.CLASS_Orvan()
    path(d, "a" + raw + "b")
    d.CUF_Close()  # the live display's last frame
    out = data.getvalue().decode("utf-8")  # a raw C1 byte is no UTF-8
    assert "a" + shown + "b" in out, out
    assert not CONTROL.search(out) and not re.search("[\ud800-\udfff]", out), repr(out)


# --------------------------------------------- objects rich turns into text itself

class Formatted(str):
    def __format__(self, spec):
        return "[b]job[/b] \x1b]52;c;QQ==\x07"


def colour_console():
    return rich.console.Console(file=io.StringIO(), force_terminal=True, width=100, color_system="truecolor",
                                legacy_windows=False)


@pytest.mark.parametrize("make", [ValueError, __import__("pathlib").PurePosixPath, Shown],
                         ids=["exception", "path", "str()"])
def test_objects_printed_as_their_str_are_shown_neutralised(monkeypatch, make):
    monkeypatch.setattr(OrvanDeck, "Console", colour_console)
    d = OrvanDeck.CLASS_Orvan()
    d.live.stop()
    d.CUF_Print(make("input 42 [b]x[/b] \x1bc"))
    reference = colour_console()
    reference.print(make("input 42 [b]x[/b] ␛c"))  # highlighted, no markup
    assert d.console.file.getvalue().endswith(reference.file.getvalue())


@pytest.mark.parametrize("description, drawn", [
    (Formatted("job"), "job ␛]52;c;QQ==␇"),
    (Shown("[i]copy[/i] \x1b]2;T\x07"), "copy ␛]2;T␇"),
], ids=["str subclass", "object"])
def test_description_shown_as_its_neutralised_format(monkeypatch, description, drawn):
    monkeypatch.setattr(OrvanDeck, "Console", lambda: status_console(io.StringIO()))
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_ProgressStartP(description, 10)
    d.CUF_ProgressAdvance()
    assert drawn in written(d._render_group())
    d.CUF_Close()


class Repr:
    def __repr__(self):
        return "obj\x1bc"


@pytest.mark.parametrize("call", [
    lambda d: d.CUF_ProgressStartP(Shown("[/x\x1bc] job")),
    lambda d: d.CUF_AddTable("T", [Repr()]),
    lambda d: d.CUF_DisplayMulti("\x1bc", "k", []),
    lambda d: d.CUF_DisplayMulti("\udc9b", "k", []),
], ids=["description", "header repr", "table id", "surrogate id"])
def test_error_messages_carry_no_raw_control(rich_dash, call):
    with pytest.raises(Exception) as info:
        call(rich_dash)
    assert not CONTROL.search(str(info.value.args)) and "\\x1b" not in str(info.value), info.value.args
    assert "␛" in str(info.value) or "<9B>" in str(info.value)


# ---------------------------------------------------------------- a real terminal

CHILD = """\
import os, sys, time
import OrvanDeck

out = sys.argv[1]
print("kept above the dashboard")
d = OrvanDeck.CLASS_Orvan()
d.CUF_AddTable("Jobs", ["Job", "State"])
d.CUF_DisplayMulti("Jobs", 1, ["build", "done\\x1b]2;PWNED-BY-CELL\\x07"])
d.CUF_AddLog("fetched \\x1b[2J\\x1b[H\\x1b[31mlook here", "green")
time.sleep(1)  # a few scheduled redraws
d.CUF_Close()
open(os.path.join(out, "drawn"), "w").close()
while not os.path.exists(os.path.join(out, "go")):
    time.sleep(0.02)
# the same sequence written directly: the pane does obey it
sys.stdout.write("\\x1b]2;RAW-TITLE\\x07")
sys.stdout.flush()
time.sleep(30)
"""


def test_issue_snippet_in_a_real_terminal(tmux_factory, tmp_path):
    term = tmux_factory(100, 30)
    script = tmp_path / "child.py"
    script.write_text(CHILD, encoding="utf-8")
    term.start("%s %s %s" % tuple(shlex.quote(str(a)) for a in (sys.executable, script, tmp_path)))
    wait_until(lambda: (tmp_path / "drawn").exists() or term.dead(), 20, "the dashboard",
               detail=term.transcript)
    title = term.value("#{pane_title}")
    rows = [term.screen().text(r).rstrip() for r in range(30)]
    text = "\n".join(rows)
    assert title != "PWNED-BY-CELL", text
    assert rows[0] == "kept above the dashboard", text
    assert any(re.search(r"│ +build +│ +done␛\]2;PWNED-BY-CELL␇ +│$", r) for r in rows), text
    assert any(re.fullmatch(r"\[[^]]+\] fetched ␛\[2J␛\[H␛\[31mlook here", r) for r in rows), text
    (tmp_path / "go").touch()
    wait_until(lambda: term.value("#{pane_title}") == "RAW-TITLE", 10, "the raw title")
