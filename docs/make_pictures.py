"""Redraw the pictures in docs/ from the installed modules.

    .venv/default/bin/python docs/make_pictures.py

docs/dashboard.svg: the dashboard demonstration (the module run as __main__, as
deckrun does it) on a recording console 100 cells wide, caught while its progress
bar fills; its pauses are skipped and its random numbers seeded, so a rerun
differs only in the clock.
docs/screen.svg: the screen demonstration (`deckrun PelmarDeck`) in an 80x24 tmux
pane, captured with its colours.  Needs tmux.
"""

import contextlib
import importlib.util
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import rich.console
from rich.text import Text

DOCS = os.path.dirname(os.path.abspath(__file__))
RealConsole = rich.console.Console


def recording_console(width):
    # not a terminal: the live display then prints only its final frame, when it stops
    return RealConsole(record=True, width=width, file=io.StringIO(), force_terminal=False,
                       color_system="truecolor", legacy_windows=False)


@contextlib.contextmanager
def patched(obj, name, value):
    old = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, old)


def dashboard(path):
    spec = importlib.util.find_spec("OrvanDeck")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    shot = recording_console(100)

    def sleep(seconds):
        # the demonstration pauses after every step; the picture is the live
        # display's content once the progress bar is 70% full
        d = getattr(module, "dashboard", None)
        bar = d and d.progress_bar
        if bar and bar.tasks[0].completed == 35:
            shot.print(d._render_group())

    random.seed(7)
    # the module body binds Console and sleep from these modules when it runs
    with patched(rich.console, "Console", lambda: recording_console(100)), patched(time, "sleep", sleep):
        spec.loader.exec_module(module)
    if not shot.export_text(clear=False).strip():
        raise SystemExit("make_pictures: the dashboard demonstration never reached 70%")
    shot.save_svg(path, title="deckrun OrvanDeck")


def screen(path):
    tmux = shutil.which("tmux")
    if tmux is None:
        raise SystemExit("make_pictures: tmux is needed for the screen picture")
    deckrun = os.path.join(os.path.dirname(sys.executable), "deckrun")
    sock = "pictures-%d" % os.getpid()
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    env.pop("TMUX", None)
    with tempfile.NamedTemporaryFile("w", suffix=".conf") as conf:
        conf.write("set -g status off\nset -g default-terminal screen\n")
        conf.flush()

        def run(*args):
            return subprocess.run([tmux, "-L", sock, "-f", conf.name, *args], env=env, check=True,
                                  capture_output=True, text=True).stdout

        run("new-session", "-d", "-x", "80", "-y", "24", deckrun, "PelmarDeck")
        try:
            capture = ""
            for _ in range(100):
                time.sleep(0.1)
                capture = run("capture-pane", "-e", "-p")
                if "計數器" in capture and "狀態列" in capture:
                    break
            else:
                raise SystemExit("make_pictures: the screen demonstration did not show up:\n" + capture)
        finally:
            subprocess.run([tmux, "-L", sock, "kill-server"], env=env, capture_output=True)
    console = recording_console(80)
    lines = capture.split("\n")[:24]
    lines += [""] * (24 - len(lines))
    for line in lines:
        console.print(Text.from_ansi(line), no_wrap=True, crop=True)
    console.save_svg(path, title="deckrun PelmarDeck")


if __name__ == "__main__":
    dashboard(os.path.join(DOCS, "dashboard.svg"))
    screen(os.path.join(DOCS, "screen.svg"))
    print("wrote", os.path.join(DOCS, "dashboard.svg"), "and", os.path.join(DOCS, "screen.svg"))
