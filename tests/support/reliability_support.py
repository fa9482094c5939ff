"""Shared pieces of the reliability tests: fake rigs for both modules, the
refcount-growth hunter, and every method signature of the plain-Python twins."""

import contextlib
import gc
import inspect
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import OrvanDeck  # noqa: F401 - re-exported
import PelmarDeck
import orvan_twin
import pelmar_twin
from orvan_fakes import bind_fakes
from pelmar_fakes import FakeCurses, FakeWindow

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
SUPPORT = os.path.dirname(os.path.abspath(__file__))


# --------------------------------------------------------------------------
# dashboard rig


def orvan_rig(monkeypatch, record=True):
    """Fakes bound into OrvanDeck; ``console.width`` is recorded as an event
    too, so it can be made to fail like any other call."""
    rec = bind_fakes(monkeypatch)
    rec.enabled = record

    def width(self):
        rec.record("Console.width")
        return rec.console_width

    rec.classes["Console"].width = property(width)
    return rec


# --------------------------------------------------------------------------
# screen rig


class NullLog(list):
    """A call log that keeps nothing: long and leak-measured runs stay flat."""

    def append(self, item):
        pass


def raising(exc_factory):
    """A FakeWindow/FakeCurses result that raises what ``exc_factory()`` makes."""

    def result(*args):
        raise exc_factory()

    return result


class PelmarRig:
    def __init__(self, monkeypatch=None, record=True, cols=80, rows=24):
        self.log = [] if record else NullLog()
        self.curses = FakeCurses("curses", self.log)
        self.scr = FakeWindow("scr", self.log, size=(rows, cols))
        if monkeypatch is not None:
            monkeypatch.setattr(PelmarDeck, "Gobj_curses", self.curses)

    def screen(self):
        obj = PelmarDeck.CLASS_Pelmar(self.curses, self.scr)
        del self.log[:]
        return obj


@contextlib.contextmanager
def removed_global(module, name):
    """Deletes a module global for the block; afterwards the module dict gets
    back its exact content and order (other tests look at the order)."""
    namespace = vars(module)
    saved = list(namespace.items())
    del namespace[name]
    try:
        yield
    finally:
        namespace.clear()
        namespace.update(saved)


# --------------------------------------------------------------------------
# refcount growth, measured as CPython's own leak hunter does


def _snapshot():
    gc.collect()
    sys._clear_type_cache()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def hunt(op, warmups=3, rounds=5, reps=10):
    """Runs ``op`` reps times per round; returns the refcount and block deltas
    of the measured rounds (the warm-up rounds fill caches and are dropped)."""
    # preallocated: appending would itself add references; a zero delta
    # stored over a zero is neutral (small ints are shared)
    ref_deltas, block_deltas = [0] * (warmups + rounds), [0] * (warmups + rounds)
    before = _snapshot()
    for i in range(warmups + rounds):
        for _ in range(reps):
            op()
        after = _snapshot()
        ref_deltas[i] = after[0] - before[0]
        block_deltas[i] = after[1] - before[1]
        before = after
    return ref_deltas[warmups:], block_deltas[warmups:]


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError("%r did not raise %s" % (fn, exc_type.__name__))


# --------------------------------------------------------------------------
# the twins' signatures, each as a function that returns what a call bound


def _binding(fn):
    """A function with the parameters of ``fn`` whose body returns its locals; a call the
    interpreter refuses raises its own TypeError, as calling ``fn`` would."""
    fn = inspect.unwrap(fn)
    namespace = {}
    exec("def %s%s:\n    return locals()" % (fn.__name__, inspect.signature(fn)), namespace)
    return namespace[fn.__name__]


def _bindings(cls):
    return {name: _binding(fn) for name, fn in vars(cls).items() if isinstance(fn, types.FunctionType)}


ORVAN_TWINS = _bindings(orvan_twin.CLASS_Orvan)
PELMAR_TWINS = _bindings(pelmar_twin.CLASS_Pelmar)
MAIN_TWIN = _binding(pelmar_twin.main)


# --------------------------------------------------------------------------
# fresh interpreters, for probes that may crash or hang


def how_it_ended(returncode):
    if returncode is None:
        return "hung (killed after the timeout)"
    if returncode < 0:
        try:
            return "killed by " + signal.Signals(-returncode).name
        except ValueError:
            return "killed by signal %d" % -returncode
    return "exit status %d" % returncode


def run_child(script, cwd, args=(), timeout=60, env=None):
    """Runs the file `script` in a fresh interpreter of this venv; returns
    (returncode, stdout, stderr), returncode None on a hang. The child inherits
    the environment, so the sanitizer runtime and its options reach it too."""
    proc = subprocess.Popen([sys.executable, "-X", "faulthandler", script, *args], cwd=str(cwd),
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, errors="replace")
    try:
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        return None, out, err


CASE_DRIVER = """

def _run_cases():
    import gc as _gc, json as _json, os as _os
    out = open(_os.environ["DECK_CASE_RESULTS"], "a")
    for name in _os.environ["DECK_CASE_NAMES"].split():
        out.write(_json.dumps([name]) + "\\n")
        out.flush()
        try:
            value = globals()["case_" + name]()
        except BaseException as e:  # noqa: BLE001 - it is the outcome
            value = "raised %s: %s" % (type(e).__name__, e)
        _gc.collect()  # deallocation faults show up in their own case
        out.write(_json.dumps([name, value], default=repr) + "\\n")
        out.flush()


def mark(label):
    # the last probe a crashed child started, for the failure message
    _os.write(_TRAIL, (label + "\\n").encode("utf-8", "replace"))


import os as _os
_TRAIL = _os.open(_os.environ["DECK_CASE_TRAIL"], _os.O_WRONLY | _os.O_CREAT | _os.O_APPEND)
"""


def run_cases(workdir, prelude, cases, timeout=120):
    """Runs each case (name -> function body) in as few fresh interpreters as
    possible and returns name -> the value the body returned. A child that
    dies (signal, abort, hang) is charged to the case it was in, with the last
    label the case passed to mark(); a new child goes on with the rest."""
    workdir = str(workdir)
    script = os.path.join(workdir, "cases.py")
    defs = "".join("\n\ndef case_%s():\n%s" % (name, textwrap.indent(textwrap.dedent(body), "    "))
                   for name, body in cases.items())
    with open(script, "w", encoding="utf-8") as f:
        f.write(CASE_DRIVER + textwrap.dedent(prelude) + defs + "\n\n_run_cases()\n")
    results, todo, attempt = {}, list(cases), 0
    while todo:
        attempt += 1
        paths = {k: os.path.join(workdir, "%s-%d" % (k, attempt)) for k in ("results", "trail")}
        env = dict(os.environ, DECK_CASE_RESULTS=paths["results"], DECK_CASE_TRAIL=paths["trail"],
                   DECK_CASE_NAMES=" ".join(todo), PYTHONPATH=SUPPORT)  # the cases may import the twins
        rc, _, err = run_child(script, workdir, timeout=timeout, env=env)
        started = last = None
        with open(paths["results"], "a+", encoding="utf-8") as f:
            f.seek(0)
            for entry in map(json.loads, f):
                if len(entry) == 1:
                    started = entry[0]
                else:
                    results[entry[0]], last, started = entry[1], entry[0], None
        todo = [n for n in todo if n not in results]
        if rc == 0:
            for name in todo:
                results[name] = "never run"
            break
        with open(paths["trail"], "a+", encoding="utf-8") as f:
            f.seek(0)
            trail = f.read().splitlines()[-1:]
        victim = started or last or todo[0]
        results[victim] = "crashed: %s%s; last probe %s; stderr:\n%s" % (
            how_it_ended(rc), "" if started else " at exit", trail, err[:2000])
        todo = [n for n in todo if n != victim]
    return results


def run_threads(targets, timeout, together=False):
    """Runs the callables in daemon threads (started at once behind a barrier
    when `together`); fails on a hang, and returns the errors they raised."""
    start = threading.Barrier(len(targets)) if together else None
    errors = []

    def wrap(fn):
        def run():
            try:
                if start:
                    start.wait(timeout)
                fn()
            except BaseException as e:  # noqa: BLE001 - reported to the caller
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not [t for t in threads if t.is_alive()], "threads still running after %ss: deadlock?" % timeout
    return errors
