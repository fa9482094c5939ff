"""The programs under examples/, each run in a real terminal (a tmux pane) and
driven by keys as a user would."""

import os
import re
import shlex
import sys

import pytest

from pelmar_fakes import wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


def start(term, script, *args):
    argv = [sys.executable, os.path.join(EXAMPLES, script), *args]
    # the shell lingers so the pane's state can still be read after the program ended
    term.start(" ".join(shlex.quote(a) for a in argv) + "; echo EXIT=$?; sleep 30")


def finished(term, timeout=30.0):
    return wait_until(lambda: (lambda t: t if "EXIT=" in t else None)(term.transcript()),
                      timeout, "example to end", detail=lambda: term.transcript())


# ---------------------------------------------------------------- job monitor

@pytest.mark.parametrize("args, running, rows, message, percent, status", [
    # the bundled job's label, not its source, on the message line: the table and the bar
    # stay on an 80x24 screen while it runs
    (["--steps", "6", "--delay", "0.3"], "running: bundled job, 6 steps",
     ["1/6 ok", "2/6 ok", "3/6 ok", "4/6 ok", "5/6 ok", "6/6 ok"],
     "finished: exit status 0", "100%", 0),
    (["--steps", "6", "--delay", "0.05", "--fail-at", "4"], None,
     ["1/6 ok", "2/6 ok", "3/6 ok", "4/6 failed disk full"],
     "FAILED: exit status 3", " 50%", 1),
    # markup-like text in the child's output is shown as it is
    (["--", "sh", "-c", "echo 'step 1/2 ok [x]'; echo '[bold]raw'; echo 'step 2/2 ok'"], None,
     ["1/2 ok [x]", "2/2 ok"], "finished: exit status 0", "100%", 0),
    # backslashes too: before a closing tag, and at the end of a line
    (["--", "sh", "-c", r"printf '%s\n' 'step 1/2 ok C:\[/x]' 'saved to C:\temp\' 'step 2/2 ok'"], None,
     [r"1/2 ok C:\[/x]", "2/2 ok"], "finished: exit status 0", "100%", 0),
], ids=["ok", "child-fails", "own-command", "backslashes"])
def test_job_monitor(tmux_factory, args, running, rows, message, percent, status):
    term = tmux_factory(80, 24)
    start(term, "job_monitor.py", *args)
    if running:
        term.screen_when(lambda s: any(s.text(r).rstrip() == running for r in range(24))
                         and any(s.text(r).startswith("Job ") for r in range(24)),
                         "label and bar on one screen")
    out = finished(term)
    lines = out.splitlines()
    assert "EXIT=%d" % status in lines, out
    assert "Traceback" not in out
    cells = [" ".join(c.strip() for c in line.strip("│┃").split("│")[:3] if c.strip())
             for line in lines if line.startswith("│")]
    assert cells == rows, out
    assert any(line.strip() == message for line in lines), out
    bar = [line for line in lines if line.startswith("Job ")]
    assert bar and bar[-1].rstrip().endswith(percent), out
    if status == 0 and "--" not in args:
        assert "all done" in out
    if "[bold]raw" in args[-1]:
        assert "[bold]raw" in out
    if "printf" in args[-1]:
        # both lines in the log as the child wrote them, after the time stamp
        log = [m[1].rstrip() for m in map(re.compile(r"\[\d{4}/[\d/:-]+\] (.*)").match, lines) if m]
        assert log[:2] == [r"step 1/2 ok C:\[/x]", "saved to C:\\temp\\"], out
    # CUF_Close ran: the live display gave the cursor back
    assert term.value("#{cursor_flag}") == "1"


# ---------------------------------------------------------------- menu

ITEMS = ["開始", "設定", "說明", "離開"]
TOP, LEFT = 3, 4
BLACK, WHITE, GREEN = 0, 7, 2


def highlighted(screen):
    """Items drawn in pair 5 (black on white)."""
    return [label for i, label in enumerate(ITEMS)
            if screen.colours(TOP + i, LEFT + 1, LEFT + 5) == {(BLACK, WHITE)}]


def menu_screen(term, predicate, what):
    return wait_until(lambda: (lambda s: s if predicate(s) else None)(term.screen()),
                      10.0, what, detail=lambda: str(term.screen()))


@pytest.mark.parametrize("leave", [["q"], ["Up", "Enter"]], ids=["q", "choose-exit"])
def test_menu(tmux_factory, leave):
    term = tmux_factory(80, 24)
    start(term, "menu.py")
    s = menu_screen(term, lambda s: "[開始]" in s.text(23), "menu")
    assert [s.text(TOP + i, LEFT, LEFT + 6).strip() for i in range(4)] == ITEMS
    assert s.find(1, "主選單") is not None
    assert highlighted(s) == ["開始"]

    term.keys("Down")
    s = menu_screen(term, lambda s: "[設定]" in s.text(23), "second item")
    assert highlighted(s) == ["設定"]

    term.keys("Enter")
    menu_screen(term, lambda s: s.find(TOP + 7, "輸入名稱") is not None, "name prompt")
    term.literal("abc")
    term.keys("Enter")
    s = menu_screen(term, lambda s: "名稱: abc" in s.text(23), "name set")
    row = TOP + len(ITEMS) + 1
    col = s.find(row, "名稱已設定: abc")
    assert col == LEFT
    assert {fg for fg, _ in s.colours(row, col, col + 15)} == {GREEN}
    term.keys("Up")
    s = menu_screen(term, lambda s: "[開始]" in s.text(23), "back to first")
    term.keys("Enter")
    s = menu_screen(term, lambda s: s.find(row, "已開始: abc") == LEFT, "started")
    assert highlighted(s) == ["開始"]

    term.keys(*leave)
    out = finished(term, 10.0)
    assert "bye, name=abc" in out and "EXIT=0" in out, out
