"""The screen demonstration: main() against fakes, and `deckrun PelmarDeck` in tmux."""

import curses
import json
import os
import re
import shlex
import subprocess
import time

import pytest

from pelmar_fakes import DECKRUN, STATUS_TEXT, construction_calls, status_calls, wait_until
import PelmarDeck

BLACK, RED, GREEN, WHITE = (curses.COLOR_BLACK, curses.COLOR_RED, curses.COLOR_GREEN,
                            curses.COLOR_WHITE)
SIZE_LABEL = "螢幕尺寸: Width: "
COUNTER_LABEL = "計數器： "


class StopDemo(Exception):
    pass


def run_main(rig, passes, size_of_pass=None):
    """Run main() on the fake screen; stop it inside the refresh of pass `passes`.

    size_of_pass(k) gives the (rows, cols) the screen reports after k passes.
    """
    refreshes = []

    def refresh():
        refreshes.append(None)
        done = len(refreshes) - 1  # the constructor refreshes first
        if done >= passes:
            raise StopDemo
        if size_of_pass:
            rig.scr.size = size_of_pass(done)

    if size_of_pass:
        rig.scr.size = size_of_pass(0)
    rig.scr.results["refresh"] = refresh
    with pytest.raises(StopDemo):
        PelmarDeck.main(rig.scr)


def written(rig):
    return [(e[2], e[3], e[4]) for e in rig.log if e[:2] == ("scr", "addstr")]


def test_first_pass(rig):
    run_main(rig, 1)
    setup = construction_calls() + construction_calls()[3:]
    first = [("scr", "getmaxyx"),
             ("scr", "getmaxyx"), ("curses", "color_pair", 3),
             ("scr", "addstr", 12, 10, SIZE_LABEL + "80, Height: 24", "<pair 3>"),
             ("scr", "getmaxyx"), ("curses", "color_pair", 2),
             ("scr", "addstr", 15, 10, COUNTER_LABEL + "0", "<pair 2>"),
             *status_calls(23, STATUS_TEXT + " " * 63),
             ("scr", "move", 0, 0), ("scr", "refresh")]
    assert rig.log == setup + first


def test_counter_wraps_and_size_is_read_every_pass(rig):
    run_main(rig, 1003, size_of_pass=lambda n: (24 + n % 2, 80 + n % 3))
    lines = written(rig)
    counters = [t for row, _, t in lines if row == 15]
    assert counters == [COUNTER_LABEL + str(n % 1000) for n in range(1003)]
    sizes = [t for row, _, t in lines if row == 12][:4]
    assert sizes == [SIZE_LABEL + "80, Height: 24", SIZE_LABEL + "81, Height: 25",
                     SIZE_LABEL + "82, Height: 24", SIZE_LABEL + "80, Height: 25"]


@pytest.mark.parametrize("cols,rows,expected", [
    (80, 16, [(12, 10, SIZE_LABEL + "80, Height: 16"), (15, 10, COUNTER_LABEL + "0"),
              (15, 0, STATUS_TEXT + " " * 63)]),
    (80, 15, [(12, 10, SIZE_LABEL + "80, Height: 15"), (14, 0, STATUS_TEXT + " " * 63)]),
    (80, 12, [(11, 0, STATUS_TEXT + " " * 63)]),
    (80, 11, []),
    (11, 24, [(12, 10, SIZE_LABEL + "11, Height: 24"), (15, 10, COUNTER_LABEL + "0"),
              (23, 0, "[ 狀態列顯")]),
    (10, 24, [(23, 0, "[ 狀態列 ")]),
])
def test_small_screens_leave_lines_out(rig, cols, rows, expected):
    run_main(rig, 2, size_of_pass=lambda n: (rows, cols))
    lines = written(rig)
    assert lines[:len(expected)] == expected
    # and the loop goes on with the same places
    assert [line[:2] for line in lines[len(expected):]] == [line[:2] for line in expected]


# ---------------------------------------------------------------- launcher

GUARD_CURSES = """
import json, os


def _note(*entry):
    with open(os.environ["PELMAR_GUARD_LOG"], "a") as f:
        f.write(json.dumps(entry) + "\\n")


def wrapper(func, *args, **kwargs):
    _note("wrapper", getattr(func, "__name__", None), len(args), len(kwargs))
    if os.environ.get("PELMAR_WRAPPER_RETURNS"):
        return "done"
    raise KeyboardInterrupt


def __getattr__(name):
    if name.startswith("__"):
        raise AttributeError(name)
    return lambda *args, **kwargs: _note(name, *args)
"""


@pytest.mark.parametrize("returns", [False, True])
def test_main_guard_calls_wrapper_then_endwin(tmp_path, returns):
    # the launcher runs the module as __main__ against a stand-in curses
    (tmp_path / "curses.py").write_text(GUARD_CURSES)
    log = tmp_path / "calls.jsonl"
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PELMAR_GUARD_LOG=str(log))
    if returns:
        env["PELMAR_WRAPPER_RETURNS"] = "1"
    assert os.path.exists(DECKRUN), "launcher missing: " + DECKRUN
    proc = subprocess.run([DECKRUN, "PelmarDeck"], cwd=str(tmp_path), env=env,
                          capture_output=True, text=True, timeout=30)
    calls = [json.loads(line) for line in log.read_text().splitlines()]
    if returns:
        assert calls == [["wrapper", "main", 0, 0], ["endwin"]]
        assert proc.returncode == 0, proc.stderr
    else:
        # wrapper ended with the interrupt: endwin is not called again, and deckrun ends
        # quietly with 130
        assert calls == [["wrapper", "main", 0, 0]]
        assert proc.returncode == 130
        assert proc.stderr == ""



def start_demo(term, tail="", prefix=""):
    assert os.path.exists(DECKRUN), "launcher missing: " + DECKRUN
    term.start(prefix + shlex.quote(DECKRUN) + " PelmarDeck" + tail)


def interrupt(term):
    """Ctrl-C the demo and return the pane's text once the program has ended."""
    term.keys("C-c")
    return wait_until(lambda: term.dead() and term.transcript(), 15, "demo to end",
                      detail=term.transcript)


def test_demo_80x24(tmux_factory):
    term = tmux_factory(80, 24)
    start_demo(term)
    s = term.screen_when(lambda s: s.find(23, STATUS_TEXT) == 0, "status line")
    s = term.screen_when(lambda s: s.find(12, SIZE_LABEL) == 10, "size line")
    assert s.text(12).rstrip() == " " * 10 + SIZE_LABEL + "80, Height: 24"
    assert s.colours(12, 10, 41) <= {(GREEN, None), (GREEN, BLACK)}
    assert re.fullmatch(" {10}" + COUNTER_LABEL + r"\d+", s.text(15).rstrip())
    assert s.colours(15, 10, 20) <= {(RED, None), (RED, BLACK)}
    assert s.text(23) == STATUS_TEXT + " " * 64
    assert s.colours(23, 0, 79) == {(BLACK, WHITE)}
    assert s.colours(23, 79, 80) != {(BLACK, WHITE)}
    assert all(s.text(row).strip() == "" for row in set(range(24)) - {12, 15, 23}), str(s)

    # the counter keeps moving
    seen = set()
    term.until(lambda: seen.add(term.screen().text(15).strip()) or len(seen) >= 3,
               "counter to change", timeout=10)
    # the cursor is parked at the corner after every pass; while a pass is
    # being drawn it may be elsewhere, so look for it parked
    term.until(lambda: term.cursor() == (0, 0), "cursor at 0,0", timeout=5)
    assert not term.dead()


def test_ctrl_c_ends_demo_and_restores_terminal(tmux_factory):
    term = tmux_factory(80, 24)
    # the trap keeps the shell alive for the lines after the demo; the demo
    # itself gets the default SIGINT disposition
    start_demo(term, "; echo EXIT=$?; stty -a", prefix="trap : INT; ")
    term.screen_when(lambda s: COUNTER_LABEL in s.text(15), "counter line")
    assert term.value("#{alternate_on}") == "1"
    out = interrupt(term)
    before, _, after = out.partition("EXIT=")
    assert "Traceback" not in before, out
    assert after.split()[0] == "130", out
    assert term.value("#{alternate_on}") == "0"
    for mode in ("icanon", "echo", "isig", "icrnl"):
        assert re.search(r"(^|\s)%s(\s|$)" % mode, after), (mode, after)


@pytest.mark.parametrize("cols,rows,lines", [
    (40, 11, {}),
    (60, 14, {12: (10, SIZE_LABEL + "60, Height: 14"), 13: (0, STATUS_TEXT + " " * 43)}),
    # too narrow for the status text: cut to nine cells
    (10, 24, {23: (0, "[ 狀態列 ")}),
], ids=["40x11", "60x14", "10x24"])
def test_demo_small_terminal_leaves_lines_out(tmux_factory, cols, rows, lines):
    term = tmux_factory(cols, rows)
    start_demo(term)
    term.until(lambda: term.value("#{alternate_on}") == "1", "curses to start")
    term.screen_when(lambda s: all(s.find(row, text) == col for row, (col, text) in lines.items()),
                     "demo lines")
    time.sleep(0.3)
    s = term.screen()
    assert not term.dead(), term.transcript()
    for row in range(rows):
        col, text = lines.get(row, (0, ""))
        assert s.text(row).rstrip() == (" " * col + text).rstrip(), str(s)
    status_row = rows - 1
    if status_row in lines:
        assert s.colours(status_row, 0, cols - 1) == {(BLACK, WHITE)}
        assert s.colours(status_row, cols - 1, cols) != {(BLACK, WHITE)}
    # still running when interrupted: a crash would have left a traceback
    assert "Traceback" not in interrupt(term)
