"""Several threads at full parallelism on one dashboard and one screen module: what
docs/architecture.md ("Without the GIL") says guards each piece of shared state, under load.

It runs in the normal suite on every interpreter, briefly; DECK_STRESS=hard (what
scripts/freethreaded.sh --stress N runs N times in a row on 3.13t) runs each part eight times
longer, DECK_STRESS=tsan briefly under ThreadSanitizer. On a free-threaded build the threads
really run at once, and the GIL must stay off throughout; on a GIL build the switch interval
is made tiny so that they interleave as finely as they can."""

import gc
import io
import os
import random
import re
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import types
import weakref

import pytest
import rich.console
import rich.errors

from pelmar_fakes import FakeCurses, FakeWindow, big5_width
from reliability_support import NullLog, OrvanDeck, PelmarDeck, how_it_ended, run_threads

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
LEVEL = os.environ.get("DECK_STRESS", "quick")
SCALE = {"quick": 1, "hard": 8, "tsan": 1}[LEVEL]
N_THREADS = 4
TIMEOUT = 600
KNOWN_GOOD_BOUND = 4096  # OrvanDeck.cpp kKnownGoodMarkup
ALREADY_EXECUTING = "generator already executing"


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.fixture(autouse=True)
def interleaved():
    """Fine interleaving with a GIL; on a free-threaded build, checks that the GIL stays off."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    gil_before = gil_enabled()
    yield
    sys.setswitchinterval(old)
    if FREE_THREADED:
        assert not gil_before and not gil_enabled(), "the GIL was on during a free-threaded stress test"


def run_parallel(workers):
    """Starts the callables together in threads; fails on a hang or an error."""
    errors = run_threads(workers, TIMEOUT, together=True)
    if errors:
        raise errors[0]


@pytest.fixture
def live_rich(monkeypatch):
    """Dashboards on real rich, their console recording into a string, their live display
    redrawing 100 times a second from its own thread."""
    out = io.StringIO()
    lock = threading.Lock()

    class Sink(io.StringIO):
        def write(self, s):  # rich writes from several threads; keep the sink sound
            with lock:
                return out.write(s)

    monkeypatch.setattr(OrvanDeck, "Console", lambda: rich.console.Console(
        file=Sink(), width=120, force_terminal=True, color_system="truecolor"))
    real_live = OrvanDeck.Live

    def live(*args, **kwargs):
        kwargs["refresh_per_second"] = 100
        return real_live(*args, **kwargs)

    monkeypatch.setattr(OrvanDeck, "Live", live)
    return out


def render(renderable):
    c = rich.console.Console(file=io.StringIO(), width=120, record=True)
    c.print(renderable)
    return c.export_text()


class Cell:
    """A cell that is no str: drawn as its str(); counted for leaks."""

    def __str__(self):
        return "cell"


def test_one_dashboard_under_parallel_mutation(live_rich):
    out = live_rich
    d = OrvanDeck.CLASS_Orvan(Pmi_LogLines=5)
    rounds = 60 * SCALE
    d.CUF_AddTable("shared", ["who", "n", "state"])
    d.CUF_ProgressStartP("work", None)  # no total: it pulses; the threads only advance it
    cell = Cell()
    cell_refs = sys.getrefcount(cell)
    renders = []

    def worker(t):
        def run():
            for i in range(rounds):
                # the same 40 rows written by every thread, and rows of its own
                d.CUF_DisplayMulti("shared", "k%d" % (i % 40), [t, i, "[green]ok[/green]" if i % 2 else cell])
                d.CUF_DisplayMulti("shared", "own-%d-%d" % (t, i % 10), [t, i, "x"])
                d.CUF_AddLog("t%d line %d" % (t, i), "magenta")
                if i % 7 == 0:
                    d.CUF_DisplaySingle("t%d at %d" % (t, i), OrvanDeck.ENUM_RichColor.cE_RCH_YELLOW)
                if i % 11 == 0:
                    d.CUF_AddTable("extra%d" % (i % 3), ["a", "b"])
                    d.CUF_DisplayMulti("extra%d" % (i % 3), t, [i, cell])
                if i % 5 == 0:
                    d.CUF_ProgressAdvance()
                if i % 13 == 0:  # a composition while the other threads change the rows
                    renders.append(render(d._render_group()))
                if i % 17 == 0:
                    d.CUF_Print("t%d print %d" % (t, i))
        return run

    run_parallel([worker(t) for t in range(N_THREADS)])
    rows = d.tables["shared"]["rows"]
    for i in range(40):
        who, n, state = rows["k%d" % i]
        assert who in range(N_THREADS) and n % 40 == i and state in ("[green]ok[/green]", cell)
    for t in range(N_THREADS):
        for r in range(10):  # each thread's own rows hold its last write
            assert rows["own-%d-%d" % (t, r)] == [t, rounds - 10 + r, "x"]
    lines = sorted(re.search(r"\] (t\d+ line \d+)\[/", line).group(1) for line in d.logs)
    assert lines == sorted("t%d line %d" % (t, i) for t in range(N_THREADS) for i in range(rounds))
    assert renders and all("shared" in text for text in renders)
    final = render(d._render_group())
    assert "shared" in final and "own-" not in final  # keys are not drawn, cells are
    d.CUF_ProgressStop()
    d.CUF_Clear()
    d.CUF_Close()
    assert "shared" in out.getvalue()
    # nothing kept: the dashboard goes with its last reference, the cell is back to its count
    gone = weakref.ref(d)
    del d, rows, renders
    gc.collect()
    assert gone() is None
    assert sys.getrefcount(cell) == cell_refs


def test_status_contexts_in_parallel(live_rich):
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("t", ["a"])

    def worker(t):
        def run():
            for i in range(15 * SCALE):
                with d.CUF_Status("t%d status %d" % (t, i)):
                    d.CUF_DisplayMulti("t", t, [i])
        return run

    try:
        run_parallel([worker(t) for t in range(N_THREADS)])
    finally:
        d.CUF_Close()
    assert sorted(d.tables["t"]["rows"]) == list(range(N_THREADS))


class StatusConsole:
    """console.status() as rich's gives it, recording each enter and exit per iterator."""

    def __init__(self):
        self.lock = threading.Lock()
        self.entered = self.exited = 0

    def status(self, msg):
        console = self

        class Status:
            def __enter__(self):
                time.sleep(0.0002)  # a window for another thread to find the iterator busy
                with console.lock:
                    console.entered += 1

            def __exit__(self, *exc):
                time.sleep(0.0002)
                with console.lock:
                    console.exited += 1
                return False

        return Status()


def test_one_status_iterator_driven_by_several_threads():
    """next, throw and close from several threads at once on one iterator: as with a
    generator, a call that finds it executing raises ValueError (free-threaded build), and
    whatever the order, the status is entered at most once and exited as often as entered."""
    make = OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__
    allowed = {"yielded", "StopIteration", "KeyError", "None"}
    seen = set()
    lock = threading.Lock()
    for _ in range(40 * SCALE):
        console = StatusConsole()
        it = make(types.SimpleNamespace(console=console), "m")
        ops = [lambda: next(it) or "yielded", lambda: it.throw(KeyError("k")), it.close]

        def worker(seed):
            rng = random.Random(seed)

            def run():
                for _ in range(4):
                    try:
                        got = repr(rng.choice(ops)())
                        got = "yielded" if got == "'yielded'" else got
                    except ValueError as e:
                        assert FREE_THREADED and str(e) == ALREADY_EXECUTING, repr(e)
                        got = "already executing"
                    except (StopIteration, KeyError) as e:
                        got = type(e).__name__
                    with lock:
                        seen.add(got)
            return run

        run_parallel([worker(s) for s in range(N_THREADS)])
        it.close()
        with pytest.raises(StopIteration):
            next(it)
        assert console.entered <= 1 and console.exited == console.entered, (console.entered, console.exited)
    assert seen - {"already executing"} <= allowed, seen


def test_known_good_markup_set_filling_past_its_bound(monkeypatch):
    """Distinct markup from several threads, more than the set holds, so it is emptied
    while others read and add: a good text is never refused, a bad one always is."""

    class Live:  # no drawing: the checks are what is measured
        def __init__(self, *args, **kwargs):
            pass

        def start(self):
            pass

        def stop(self):
            pass

        def update(self, renderable):
            pass

    monkeypatch.setattr(OrvanDeck, "Live", Live)
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("m", ["cell"])
    per_thread = (KNOWN_GOOD_BOUND // N_THREADS + 200) * SCALE
    refused = [0] * N_THREADS

    def worker(t):
        def run():
            for i in range(per_thread):
                d.CUF_DisplayMulti("m", t, ["[bold]t%d cell %d[/bold]" % (t, i)])
                if i % 50 == 0:
                    # the same bad text every time: never taken for known-good
                    with pytest.raises(rich.errors.MarkupError):
                        d.CUF_DisplayMulti("m", t, ["[/bad] t%d" % (i % 3)])
                    refused[t] += 1
                if i % 97 == 0:  # a good text seen again, across clears
                    d.CUF_DisplayMulti("m", t, ["[bold]t%d cell 0[/bold]" % t])
        return run

    run_parallel([worker(t) for t in range(N_THREADS)])
    assert N_THREADS * per_thread > KNOWN_GOOD_BOUND
    assert refused == [len(range(0, per_thread, 50))] * N_THREADS
    assert sorted(d.tables["m"]["rows"]) == list(range(N_THREADS))
    d.CUF_Close()


def test_rows_changed_in_place_while_composing(monkeypatch):
    monkeypatch.setattr(OrvanDeck, "Console", lambda: rich.console.Console(file=io.StringIO(), width=120))
    d = OrvanDeck.CLASS_Orvan()
    row = ["a", "b", "c"]
    d.CUF_AddTable("t", ["x", "y", "z"])
    d.CUF_DisplayMulti("t", "r", row)
    stop = threading.Event()

    def mutate():
        i = 0
        while not stop.is_set():
            row.append("cell %d" % i)
            row[0] = "first %d" % i
            del row[1:]
            i += 1

    def compose():
        try:
            for _ in range(200 * SCALE):
                render(d._render_group())
        finally:
            stop.set()

    run_parallel([mutate, compose, compose])
    d.CUF_Close()


def test_one_screen_module_under_parallel_calls(monkeypatch):
    curses_fake = FakeCurses("curses", NullLog())
    monkeypatch.setattr(PelmarDeck, "Gobj_curses", curses_fake)
    scr = FakeWindow("scr", NullLog(), size=(30, 60))
    p = PelmarDeck.CLASS_Pelmar(curses_fake, scr)
    texts = ["plain", "中文字", "寬" * 70, "mixed 中 text " * 3]
    rounds = 150 * SCALE

    def worker(t):
        def run():
            for i in range(rounds):
                text = texts[(t + i) % len(texts)]
                assert p.CUF_strlen(text) == big5_width(text)
                assert p.CUF_GET_SCR_MAX() == (60, 30)
                p.CUF_PrintXY(i % 70, i % 35, text, i % 6)
                p.CUF_PrintC(i % 30, text)
                p.CUF_PrintSTATUS(text)
                p.CUF_Move(1, 2)
                if i % 25 == 0:
                    win = p.CUF_Create_Window(1, 1, 10, 5)
                    p.CUF_PrintXYW(win, 0, 0, text, 1)
                    p.CUF_RefreshW(win)
        return run

    run_parallel([worker(t) for t in range(N_THREADS)])


# The window type kept as plain: threads of one fresh module copy confirm a real curses window
# at the same moment, many times over; every copy then goes, and the type must be released as
# often as it was kept. The threads never write to the terminal (ncurses is not thread-safe):
# the fake curses module's color_pair fails right after the window's type was looked at.
PLAIN_WINDOW_CHILD = """
import curses, gc, importlib.util, sys, threading
import PelmarDeck

N, ROUNDS = %d, %d
try:  # 3.13t makes every type immortal once a thread starts; its own tests turn that off so
    import _testinternalcapi
    _testinternalcapi.suppress_immortalization(True)
except (ImportError, AttributeError):
    pass
spec = importlib.util.find_spec("PelmarDeck")

class NoPair:
    def color_pair(self, n):
        raise LookupError("no pair")

def main(stdscr):
    win_type = type(stdscr)
    before = sys.getrefcount(win_type)
    for _ in range(ROUNDS):
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        p = mod.CLASS_Pelmar.__new__(mod.CLASS_Pelmar)
        p.CVobj_STDSCR, p.CVobj_Curses = stdscr, NoPair()
        start = threading.Barrier(N)
        errors = []
        def run():
            start.wait()
            for _ in range(20):
                for call in (lambda: p.CUF_PrintXY(1, 1, "x", 2), lambda: p.CUF_PrintSTATUS("x")):
                    try:
                        call()
                    except LookupError:
                        pass
                    except BaseException as e:
                        errors.append(e)
        threads = [threading.Thread(target=run) for _ in range(N)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        del mod, p
        gc.collect()
    after = sys.getrefcount(win_type)
    immortal = before > 1 << 30
    return "ok" if immortal or after == before else "window type references: %%d before, %%d after" %% (before, after)

result = curses.wrapper(main)
gc.collect()
sys.stderr.write("result: %%s gil: %%s\\n" %% (result, getattr(sys, "_is_gil_enabled", lambda: True)()))
"""


def test_plain_window_type_confirmed_by_threads_at_once(tmp_path):
    script = tmp_path / "plain.py"
    script.write_text(PLAIN_WINDOW_CHILD % (N_THREADS, 15 * SCALE))
    master, slave = os.openpty()
    import fcntl
    import struct
    import termios
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    err = tmp_path / "stderr"
    with open(err, "w") as errf:
        proc = subprocess.Popen([sys.executable, str(script)], cwd=str(tmp_path), stdin=slave, stdout=slave,
                                stderr=errf, env=dict(os.environ, TERM="xterm"), start_new_session=True)
    os.close(slave)
    deadline = time.monotonic() + TIMEOUT
    try:
        while proc.poll() is None and time.monotonic() < deadline:
            import select
            if select.select([master], [], [], 0.1)[0]:
                try:
                    os.read(master, 65536)
                except OSError:
                    break
        rc = proc.wait(timeout=max(0.1, deadline - time.monotonic()))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(master)
    text = err.read_text()
    assert rc == 0, "%s\n%s" % (how_it_ended(rc), text[-3000:])
    assert "result: ok" in text, text[-3000:]
    if FREE_THREADED:
        assert "gil: False" in text, text[-3000:]


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can keep the GIL off")
def test_importing_the_modules_keeps_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = textwrap.dedent("""
        import sys
        assert not sys._is_gil_enabled()
        import OrvanDeck, PelmarDeck, deckrun
        print(sys._is_gil_enabled())
    """)
    proc = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], capture_output=True,
                          text=True, env=env, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "False", proc.stdout + proc.stderr
