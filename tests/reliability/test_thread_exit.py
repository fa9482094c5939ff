"""A thread ended by pthread_exit (what CPython 3.10-3.13 does to a daemon
thread that wants the GIL back at shutdown) while a module method is on its
stack: the forced unwind must pass the modules' frames as it passes C frames.
Forced here deterministically from inside the Python code the method calls."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import ctypes, threading, time, OrvanDeck, PelmarDeck
    pthread_exit = ctypes.CDLL(None).pthread_exit  # called without the GIL

    class Ends:
        def __getattr__(self, name):
            return lambda *a, **k: pthread_exit(None)

    def dashboard_print():
        d = OrvanDeck.CLASS_Orvan.__new__(OrvanDeck.CLASS_Orvan)
        d.console = Ends()
        d.CUF_Print("x")

    def dashboard_status():
        d = OrvanDeck.CLASS_Orvan.__new__(OrvanDeck.CLASS_Orvan)
        d.console = Ends()
        with d.CUF_Status("x"):
            pass

    def screen_init():
        PelmarDeck.CLASS_Pelmar(Ends(), Ends())

    def screen_main():
        PelmarDeck.Gobj_curses = Ends()
        PelmarDeck.main(Ends())

    CASES = {f.__name__: f for f in (dashboard_print, dashboard_status, screen_init, screen_main)}
    threading.Thread(target=CASES[CASE], daemon=True).start()
    time.sleep(0.3)
    print("survived")
    """
)


@pytest.mark.parametrize("case", ["dashboard_print", "dashboard_status", "screen_init", "screen_main"])
def test_forced_unwind_passes_module_frames(case):
    r = subprocess.run([sys.executable, "-c", f"CASE = {case!r}\n" + SCRIPT],
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, "survived\n"), r.stderr[-2000:]
