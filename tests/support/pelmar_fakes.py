"""Shared helpers for the PelmarDeck tests.

Recording fakes stand in for the curses module and its windows; every call
lands in one ordered list as (owner, method, *args).  The terminal helpers
run a real curses program inside a private tmux server and read the pane
back as a grid of cells with their colours.
"""

import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import textwrap
import time
import unicodedata
import uuid

import pytest

import PelmarDeck

if getattr(PelmarDeck, "__file__", None) is None or not hasattr(PelmarDeck, "CLASS_Pelmar"):
    # run from the repo root, the source folder shadows a missing build
    raise ImportError("PelmarDeck resolved to %r, not the built extension; install it into "
                      "the venv first (bash scripts/setup.sh)" % (PelmarDeck,))

STATUS_TEXT = "[ 狀態列顯示列 ]"
FG_DEFAULT = ["WHITE", "RED", "GREEN", "CYAN", "BLACK"]
BG_DEFAULT = ["BLACK", "BLACK", "BLACK", "BLACK", "WHITE"]
COLOUR_NAMES = ("BLACK", "RED", "GREEN", "YELLOW", "BLUE", "MAGENTA", "CYAN", "WHITE")


# --------------------------------------------------------------------------
# recording fakes


class _Recording:
    """Logs calls of the whitelisted method names; anything else is missing."""

    METHODS = ()

    def __init__(self, name, log):
        self.name = name
        self.log = log
        # per-method result: a value, an exception instance to raise, or a
        # callable producing the value from the call's arguments
        self.results = {}

    def __getattr__(self, attr):
        if attr.startswith("_") or attr not in type(self).METHODS:
            raise AttributeError(attr)

        def method(*args, **kwargs):
            # the module passes everything positionally; a keyword shows up
            # as a trailing dict and breaks the comparison
            self.log.append((self.name, attr, *args) + ((kwargs,) if kwargs else ()))
            result = self.results[attr] if attr in self.results else self._default(attr, args)
            if isinstance(result, BaseException):
                raise result
            return result(*args) if callable(result) else result

        return method

    def _default(self, attr, args):
        return None

    def __repr__(self):
        return "<fake %s>" % self.name


class FakeWindow(_Recording):
    METHODS = ("clear", "refresh", "getmaxyx", "addstr", "attron", "attroff",
               "move", "getch", "getstr")

    def __init__(self, name, log, size=(24, 80)):
        super().__init__(name, log)
        self.size = size  # (rows, cols), curses order

    def _default(self, attr, args):
        if attr == "getmaxyx":
            return self.size
        return None


class FakeCurses(_Recording):
    METHODS = ("initscr", "start_color", "init_pair", "color_pair", "echo",
               "newwin", "wrapper", "endwin")

    def __init__(self, name, log, prefix="", omit=()):
        super().__init__(name, log)
        self.windows = []
        for colour in COLOUR_NAMES:
            if "COLOR_" + colour not in omit:
                setattr(self, "COLOR_" + colour, prefix + colour)

    def _default(self, attr, args):
        if attr == "color_pair":
            return "<pair %s>" % (args[0],)
        if attr == "newwin":
            win = FakeWindow("win%d" % (len(self.windows) + 1), self.log)
            self.windows.append(win)
            return win
        return None


class FalsyFakeCurses(FakeCurses):
    """Looks like None to == and bool(); only an identity test tells them apart."""

    def __bool__(self):
        return False

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def construction_calls():
    return ([("curses", "initscr"), ("scr", "clear"), ("scr", "refresh"),
             ("curses", "start_color")]
            + [("curses", "init_pair", n + 1, fg, bg)
               for n, (fg, bg) in enumerate(zip(FG_DEFAULT, BG_DEFAULT))])


def status_calls(row, written):
    return [("scr", "getmaxyx"), ("curses", "color_pair", 5), ("scr", "attron", "<pair 5>"),
            ("scr", "addstr", row, 0, written), ("curses", "color_pair", 5),
            ("scr", "attroff", "<pair 5>")]


class Rig:
    def __init__(self, monkeypatch):
        self.log = []
        self.curses = FakeCurses("curses", self.log)
        self.scr = FakeWindow("scr", self.log)
        monkeypatch.setattr(PelmarDeck, "Gobj_curses", self.curses)

    def screen(self, cols=80, rows=24, cls=None):
        """A constructed object on a cols x rows fake screen, log emptied."""
        obj = (cls or PelmarDeck.CLASS_Pelmar)(self.curses, self.scr)
        self.scr.size = (rows, cols)
        del self.log[:]
        return obj


@pytest.fixture
def rig(monkeypatch):
    return Rig(monkeypatch)


def big5_width(text):
    return len(text.encode("big5"))


# --------------------------------------------------------------------------
# real terminal


DECKRUN = os.path.join(os.path.dirname(sys.executable), "deckrun")

# What the caller's shell could use to change curses' or rich's idea of the terminal (size,
# colours, capabilities, key timing, output encoding); the programs the tests start must see
# the pane's or pty's own.
TERMINAL_VARS = frozenset((
    "COLUMNS", "LINES", "TERM_PROGRAM", "COLORTERM", "PYTHONIOENCODING", "TMUX", "TMUX_PANE",
    # rich
    "FORCE_COLOR", "NO_COLOR", "TTY_COMPATIBLE", "TTY_INTERACTIVE", "JUPYTER_COLUMNS",
    "JUPYTER_LINES", "DATABRICKS_RUNTIME_VERSION",
    # ncurses (and every NCURSES_* variable)
    "TERMINFO", "TERMINFO_DIRS", "TERMCAP", "TERMPATH", "BAUDRATE", "ESCDELAY", "TABSIZE",
    "CC", "MOUSE_BUTTONS_123",
    # an interactive interpreter instead of the program
    "PYTHONSTARTUP", "PYTHONINSPECT",
))


def terminal_env(**extra):
    """os.environ without TERMINAL_VARS, in a UTF-8 locale, plus extra."""
    env = {k: v for k, v in os.environ.items()
           if k not in TERMINAL_VARS and not k.startswith("NCURSES_")}
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    env.update(extra)
    return env

TMUX_CONF = """\
set -g status off
set -g remain-on-exit on
set -g default-terminal screen
set -g history-limit 2000
"""


def wait_until(probe, timeout=10.0, what="condition", interval=0.05, detail=None):
    """Poll probe() until it returns something truthy; fail after timeout."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = probe()
        if last:
            return last
        if time.monotonic() > deadline:
            extra = detail() if detail else ""
            raise AssertionError("timed out waiting for %s; last %r\n%s" % (what, last, extra))
        time.sleep(interval)


def _cell_width(ch):
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


_SGR = re.compile(r"\x1b\[([0-9;]*)m")


class Screen:
    """A captured pane: rows of cells (char, fg, bg).

    Colours are curses numbers 0-7, None for the terminal default.  The right half of a two-cell character is a cell with char "".
    """

    def __init__(self, dump, cols, rows):
        self.cols, self.rows = cols, rows
        blank = (" ", None, None)
        self.cells = [[blank] * cols for _ in range(rows)]
        for r, line in enumerate(dump.split("\n")[:rows]):
            fg = bg = None
            c = 0
            pos = 0
            while pos < len(line):
                m = _SGR.match(line, pos)
                if m:
                    fg, bg = self._apply(m.group(1), fg, bg)
                    pos = m.end()
                    continue
                ch = line[pos]
                pos += 1
                if ch < " ":
                    continue
                w = _cell_width(ch)
                if c + w <= cols:
                    self.cells[r][c] = (ch, fg, bg)
                    if w == 2:
                        self.cells[r][c + 1] = ("", fg, bg)
                c += w

    @staticmethod
    def _apply(params, fg, bg):
        # the pane runs with TERM=screen: eight colours, no extended forms
        for code in [int(p) if p else 0 for p in params.split(";")]:
            if code == 0:
                fg = bg = None
            elif 30 <= code <= 37:
                fg = code - 30
            elif code == 39:
                fg = None
            elif 40 <= code <= 47:
                bg = code - 40
            elif code == 49:
                bg = None
        return fg, bg

    def text(self, row, start=0, end=None):
        return "".join(ch for ch, _, _ in self.cells[row][start:end])

    def find(self, row, needle):
        """Cell column where needle starts on row, or None."""
        cols, joined = [], ""
        for c, (ch, _, _) in enumerate(self.cells[row]):
            if ch:
                cols.append(c)
                joined += ch
        i = joined.find(needle)
        return cols[i] if i >= 0 else None

    def colours(self, row, start, end):
        return {(fg, bg) for _, fg, bg in self.cells[row][start:end]}

    def __str__(self):
        return "\n".join("%2d|%s|" % (r, self.text(r)) for r in range(self.rows))


class Tmux:
    """One private tmux server holding one pane of a fixed size."""

    def __init__(self, workdir, cols=80, rows=24):
        self.workdir = str(workdir)
        self.cols, self.rows = cols, rows
        self.socket = "pelmar-%d-%s" % (os.getpid(), uuid.uuid4().hex[:12])
        self.conf = os.path.join(self.workdir, "tmux-%s.conf" % self.socket)
        with open(self.conf, "w") as f:
            f.write(TMUX_CONF)
        # the server hands its environment on to the pane
        self.env = terminal_env()
        self.started = False

    def run(self, *args):
        proc = subprocess.run(["tmux", "-L", self.socket, "-f", self.conf, *args],
                              capture_output=True, text=True, timeout=15, env=self.env)
        if proc.returncode != 0:
            raise AssertionError("tmux %s failed: %s" % (args[0], proc.stderr))
        return proc.stdout

    def start(self, command):
        self.started = True
        self.run("new-session", "-d", "-x", str(self.cols), "-y", str(self.rows),
                 "-c", self.workdir, command)
        self.socket_path = self.value("#{socket_path}")

    def kill(self):
        if self.started:
            subprocess.run(["tmux", "-L", self.socket, "kill-server"],
                           capture_output=True, timeout=15)
            self.started = False
            # the server leaves its socket file behind
            if getattr(self, "socket_path", None) and os.path.exists(self.socket_path):
                os.unlink(self.socket_path)

    def screen(self):
        return Screen(self.run("capture-pane", "-p", "-e"), self.cols, self.rows)

    def transcript(self):
        """Plain text of the pane including its scroll-back."""
        return self.run("capture-pane", "-p", "-J", "-S", "-2000")

    def value(self, fmt):
        return self.run("display-message", "-p", fmt).strip()

    def cursor(self):
        x, y = self.value("#{cursor_x},#{cursor_y}").split(",")
        return int(x), int(y)

    def dead(self):
        return self.value("#{pane_dead}") == "1"

    def until(self, probe, what, timeout=15.0, detail=None):
        """wait_until that gives up at once when the program in the pane ends."""
        detail = detail or self.transcript

        def checked():
            value = probe()
            if not value and self.dead():
                raise AssertionError("pane ended while waiting for %s:\n%s" % (what, detail()))
            return value

        return wait_until(checked, timeout, what, detail=detail)

    def screen_when(self, predicate, what, timeout=15.0, detail=None):
        """The first captured screen that satisfies predicate."""
        return self.until(lambda: (lambda s: s if predicate(s) else None)(self.screen()),
                          what, timeout, detail)

    def keys(self, *keys):
        self.run("send-keys", *keys)

    def literal(self, text):
        self.run("send-keys", "-l", text)


@pytest.fixture
def tmux_factory(tmp_path):
    """Make Tmux panes that are always torn down, passing or not."""
    if shutil.which("tmux") is None:
        pytest.fail("tmux is required for the terminal tests")
    made = []

    def make(cols=80, rows=24):
        term = Tmux(tmp_path, cols, rows)
        made.append(term)
        return term

    yield make
    for term in made:
        term.kill()


CHILD_PRELUDE = """\
import curses, json, os, sys, time
import PelmarDeck
from PelmarDeck import CLASS_Pelmar

OUT = sys.argv[1]


def report(name, data=None):
    tmp = os.path.join(OUT, name + ".tmp")
    with open(tmp, "w") as f:
        json.dump(data, f)
    os.replace(tmp, os.path.join(OUT, name + ".json"))


def wait_go(name, timeout=30):
    path = os.path.join(OUT, name + ".go")
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise SystemExit("never told to go on: " + name)
        time.sleep(0.02)


def body(stdscr):
"""


class CursesChild:
    """A Python script run under curses.wrapper inside a tmux pane.

    The body sees `stdscr`, `report(name, data)` and `wait_go(name)`; the
    test side reads reports with result() and releases the script with go().
    """

    def __init__(self, term, workdir, body):
        self.term = term
        self.out = str(workdir)
        script = os.path.join(self.out, "child.py")
        with open(script, "w", encoding="utf-8") as f:
            f.write(CHILD_PRELUDE + textwrap.indent(textwrap.dedent(body), "    ")
                    + "\n\ncurses.wrapper(body)\n")
        self.stderr = os.path.join(self.out, "child.stderr")
        term.start("%s %s %s 2>%s" % (shlex.quote(sys.executable), shlex.quote(script),
                                      shlex.quote(self.out), shlex.quote(self.stderr)))

    def diagnostics(self):
        err = ""
        if os.path.exists(self.stderr):
            with open(self.stderr, encoding="utf-8", errors="replace") as f:
                err = f.read()
        return "child stderr:\n%s\nscreen:\n%s" % (err, self.term.screen())

    def result(self, name, timeout=10.0):
        path = os.path.join(self.out, name + ".json")

        def probe():
            if os.path.exists(path):
                return True
            if self.term.dead() and not os.path.exists(path):  # it may report, then exit
                raise AssertionError("child ended before reporting %s\n%s"
                                     % (name, self.diagnostics()))
            return False

        wait_until(probe, timeout, "report " + name, detail=self.diagnostics)
        with open(path) as f:
            return json.load(f)

    def go(self, name):
        open(os.path.join(self.out, name + ".go"), "w").close()

    def screen_when(self, predicate, what):
        return self.term.screen_when(predicate, what, detail=self.diagnostics)
