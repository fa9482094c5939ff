"""Threads: the live display's own refresh thread redrawing while the script
changes the dashboard, and several threads driving one dashboard at once."""

import io
import threading
import time

import pytest
import rich.console
import rich.live

from reliability_support import OrvanDeck, run_threads

TIMEOUT = 60


@pytest.fixture
def fast_live(monkeypatch):
    """Real rich, rendering into a string, redrawing 100 times a second."""
    out = io.StringIO()
    lock = threading.Lock()

    class Sink(io.StringIO):
        # rich writes from two threads; keep the sink itself sound
        def write(self, s):
            with lock:
                return out.write(s)

    def console(*args, **kwargs):
        return rich.console.Console(file=Sink(), width=100, force_terminal=True, color_system="truecolor")

    def live(*args, **kwargs):
        kwargs["refresh_per_second"] = 100
        return rich.live.Live(*args, **kwargs)

    monkeypatch.setattr(OrvanDeck, "Console", console)
    monkeypatch.setattr(OrvanDeck, "Live", live)
    return out


def run_bounded(targets):
    assert run_threads(targets, TIMEOUT) == []


def test_refresh_thread_redraws_while_the_script_works(fast_live):
    d = OrvanDeck.CLASS_Orvan(Pmi_LogLines=5)
    refresher = d.live._refresh_thread
    assert refresher is not None and refresher.is_alive()
    d.CUF_AddTable("Workers", ["id", "state"])

    def script():
        deadline = time.monotonic() + 1.5
        i = 0
        while time.monotonic() < deadline:
            d.CUF_DisplayMulti("Workers", "w%d" % (i % 50), [i, "[green]ok[/green]"])
            d.CUF_AddLog("line %d" % i, "magenta")
            d.CUF_DisplaySingle("step %d" % i, OrvanDeck.ENUM_RichColor.cE_RCH_YELLOW)
            if i % 100 == 0:
                d.CUF_ProgressStop()
                d.CUF_ProgressStartP("p", 100)
            d.CUF_ProgressAdvance()
            i += 1
        d.CUF_ProgressStop()
        d.CUF_Close()

    run_bounded([script])
    refresher.join(5)  # stop() signals the thread; it ends at its next tick
    assert not refresher.is_alive()
    rows = d.tables["Workers"]["rows"]
    assert sorted(rows) == sorted("w%d" % k for k in range(50))
    assert len(d.logs) > 100
    screen = fast_live.getvalue()
    assert "Workers" in screen and "step" in screen


def test_threads_share_one_dashboard(fast_live):
    d = OrvanDeck.CLASS_Orvan()
    n_threads, n_rows = 6, 150
    for t in range(n_threads):
        d.CUF_AddTable("table%d" % (t % 2), ["who", "n"])
    start = threading.Barrier(n_threads)
    rows_done, lines_done = {}, []

    def attempt(op, *args):
        # A composition walks snapshots of the table and row dicts, so a row
        # another thread adds meanwhile never makes a call fail.
        op(*args)
        return True

    def worker(t):
        def run():
            start.wait(TIMEOUT)
            for i in range(n_rows):
                key = "t%d-r%d" % (t, i)
                if attempt(d.CUF_DisplayMulti, "table%d" % (t % 2), key, [t, i]):
                    rows_done[key] = [t, i]
                if attempt(d.CUF_AddLog, "t%d line %d" % (t, i)):
                    lines_done.append("t%d line %d" % (t, i))
                if i % 25 == 0:
                    attempt(d.CUF_DisplaySingle, "thread %d at %d" % (t, i))
                    with d.CUF_Status("t%d" % t):
                        pass
        return run

    run_bounded([worker(t) for t in range(n_threads)])
    d.CUF_Close()
    assert len(rows_done) == n_threads * n_rows
    for table in ("table0", "table1"):
        expected = {k: v for k, v in rows_done.items() if v[0] % 2 == int(table[-1])}
        assert d.tables[table]["rows"] == expected
    lines = [line.rsplit("] ", 1)[1].split("[/")[0] for line in d.logs]
    assert sorted(lines) == sorted(lines_done)
