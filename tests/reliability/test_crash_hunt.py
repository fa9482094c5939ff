"""Crash hunt: everything reachable from the modules probed bare and with odd
arguments, callbacks that re-enter the object calling them, status contexts
dropped half-way, and modules dropped, reloaded and loaded into
sub-interpreters. Each probe runs in a fresh interpreter, so a crash or hang
fails its own case with the signal instead of ending the run."""

import json
import sys
import textwrap

import pytest

from reliability_support import how_it_ended, run_cases, run_child

COMMON = """
import gc, io, json, sys, sysconfig, threading, time, types, weakref
import rich.console

if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info < (3, 14):
    # 3.13t makes every type and function immortal once a second thread starts (its
    # stand-in for deferred reference counting), so dropped module copies could never be
    # collected; CPython's own tests turn that off in the same way
    import _testinternalcapi
    _testinternalcapi.suppress_immortalization(True)

def console():
    return rich.console.Console(file=io.StringIO(), width=100, force_terminal=True)

class Fake:  # a curses module or window: records every call; the screen is 24 x 80
    def __init__(self, log):
        self.log = log
    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        if name.startswith("COLOR_"):
            return len(name)
        return lambda *args: self.log.append([name, *args]) or ((24, 80) if name == "getmaxyx" else None)

def outcome(fn, *args):
    try:
        fn(*args)
        return "ok"
    except Exception as e:
        return type(e).__name__

def shows(d):  # the text of the group the live display was last handed
    c = rich.console.Console(file=io.StringIO(), width=100, record=True)
    c.print(d.live.renderable)
    return c.export_text()

def status_console(calls, exit_error=None):
    class Status:
        def __enter__(self):
            calls.append("enter")
        def __exit__(self, exc_type, exc, tb):
            calls.append(["exit", exc_type and exc_type.__name__])
            if exit_error:
                raise exit_error
    return types.SimpleNamespace(status=lambda msg: Status())
"""

LOADED = COMMON + """
import OrvanDeck, PelmarDeck
OrvanDeck.Console = console
PelmarDeck.Gobj_curses = Fake([])  # never the real terminal
"""

# --------------------------------------------------------------------------
# everything reachable, bare and with odd arguments

WALKER = LOADED + '''
OURS, SYSTEM_ERRORS, KEEP = ("OrvanDeck", "PelmarDeck", "deck"), [], []

class Key(str):
    def __eq__(self, other):
        raise LookupError("keyword name compared")
    __hash__ = str.__hash__

ODD_ARGS = [((), {}), ((None,), {}), ((1, 2), {}), ((object(),) * 9, {}), ((), {"bogus": 1}),
            ((), {Key("self"): 1}), ((ValueError, None, "tb"), {}), (("x",), {"Pms_TableID": "t"})]

def home(x):
    try:
        m = getattr(x, "__module__", None)
    except Exception:
        return None
    return m.split(".")[0] if isinstance(m, str) else None

def ours(o):  # made by the modules, or a method they define, bound or not
    if o is None or home(o) in OURS or home(type(o)) in OURS:
        return o is not None
    try:
        owner = getattr(o, "__objclass__", None) or getattr(o, "__self__", None)
        cls = owner if isinstance(owner, type) else type(owner)
        return home(cls) in OURS and getattr(o, "__name__", None) in vars(cls)
    except Exception:
        return False

def attempt(label, fn, *args, kwargs={}):
    mark(label)
    try:
        return fn(*args, **kwargs)
    except SystemError as e:  # an error the modules lost or left set
        SYSTEM_ERRORS.append("%s: %s" % (label, e))
    except BaseException:
        pass

def hunt(roots, required, scope):
    del SYSTEM_ERRORS[:]
    wanted = {expr: eval(expr, globals(), scope) for expr in required}
    queue, seen, kinds, walked = [(label, o, False) for label, o in roots], set(), set(), []
    while queue and len(walked) < 600:
        label, o, dedupe = queue.pop(0)
        kind = type(o) if dedupe and not (isinstance(o, type) or callable(o)) else None
        if id(o) in seen or (kind and kind in kinds):
            continue  # one instance of each kind reached through attributes is enough
        seen.add(id(o)); kinds.add(kind); walked.append(o); KEEP.append(o)
        attempt(label + " repr", repr, o)
        attempt(label + " str", str, o)
        for name in attempt(label + " dir", dir, o) or ():
            v = attempt("%s.%s" % (label, name), getattr, o, name)
            if ours(v):
                queue.append(("%s.%s" % (label, name), v, True))
        queue.append(("type(%s)" % label, type(o), False))
        for i, (args, kwargs) in enumerate(ODD_ARGS if callable(o) else ()):
            r = attempt("%s(odd %d)" % (label, i), o, *args, kwargs=kwargs)
            if ours(r):
                queue.append(("%s(odd %d)" % (label, i), r, True))
        if isinstance(o, type):
            r = attempt(label + ".__new__", lambda: o.__new__(o))
            if ours(r):
                queue.append(("bare " + label, r, False))
    return {"system_errors": SYSTEM_ERRORS,
            "unreached": [e for e, obj in wanted.items() if not any(w is obj for w in walked)]}

def bare(t):
    made, outcomes = [], []
    for make in (t, lambda: t.__new__(t)):
        try:
            made.append(make())
            outcomes.append("created")
        except Exception as e:
            outcomes.append(type(e).__name__)
    hunt([("bare", m) for m in made], [], {})
    return outcomes
'''

SURFACE = {
    "orvan_module": """
        return hunt([("OrvanDeck", OrvanDeck)], ["OrvanDeck.CLASS_Orvan", "OrvanDeck.ENUM_RichColor",
                    "OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__",
                    "type(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__)",
                    "OrvanDeck.CLASS_Orvan.__dict__['CUF_DisplayMulti']"], {})
        """,
    "pelmar_module": """
        return hunt([("PelmarDeck", PelmarDeck)], ["PelmarDeck.CLASS_Pelmar", "PelmarDeck.main",
                    "type(PelmarDeck.main)", "PelmarDeck.CLASS_Pelmar.__dict__['CUF_PrintXY']"], {})
        """,
    "dashboard_and_status": """
        d = OrvanDeck.CLASS_Orvan()
        d.CUF_AddTable("t", ["a"])
        d.CUF_DisplayMulti("t", 1, [2])
        d.CUF_ProgressStartP()
        cm, active = d.CUF_Status("x"), d.CUF_Status("y")
        active.__enter__()
        return hunt([("d", d), ("cm", cm), ("cm.gen", cm.gen), ("active.gen", active.gen)],
                    ["type(d)", "cm.gen", "type(cm.gen)", "active.gen"], locals())
        """,
    "screen": """
        s = PelmarDeck.CLASS_Pelmar(Fake([]), Fake([]))
        s.CUF_Create_Window(1, 1, 5, 5)
        return hunt([("s", s)], ["type(s)"], locals())
        """,
}

# Helper types refuse instantiation, as the interpreter's own do.
BARE = {
    "native_function": "type(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__)",
    "status_context": "type(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__(None, 'x'))",
    "dashboard_method": "type(OrvanDeck.CLASS_Orvan.__dict__['CUF_AddLog'])",
    "screen_method": "type(PelmarDeck.CLASS_Pelmar.__dict__['CUF_Print'])",
    "main_function": "type(PelmarDeck.main)",
}


@pytest.fixture(scope="module")
def surface(tmp_path_factory):
    cases = dict(SURFACE, **{"bare_" + name: "return bare(%s)" % expr for name, expr in BARE.items()})
    return run_cases(tmp_path_factory.mktemp("surface"), WALKER, cases)


@pytest.mark.parametrize("root", list(SURFACE))
def test_reachable_surface_survives_odd_use(surface, root):
    assert surface[root] == {"system_errors": [], "unreached": []}


@pytest.mark.parametrize("name", list(BARE))
def test_helper_types_refuse_bare_instances(surface, name):
    assert surface["bare_" + name] == ["TypeError", "TypeError"]


# --------------------------------------------------------------------------
# callbacks into the same object, and the status context's edges. The first
# expected result is what the same code over plain Python methods gives; the
# others, where listed, what a rollback of the failed change or a composition
# over snapshots of the dicts gives.

DASH = """
d = OrvanDeck.CLASS_Orvan()
d.CUF_AddTable("t", ["col"])
armed = [1]
def once(action):
    if armed[0]:
        armed[0] -= 1
        action()
"""

REENTRY = [
    ("cell_str_collects", """
        class Cell:
            def __str__(self):
                gc.collect()
                return "cell-text"
        return [outcome(d.CUF_DisplayMulti, "t", "k", [Cell(), Cell()]), shows(d).count("cell-text")]
        """, [["ok", 2]]),
    ("cell_str_writes_a_row", """
        class Cell:
            def __str__(self):
                once(lambda: d.CUF_DisplayMulti("t", "inner", ["in"]))
                return "out"
        return [outcome(d.CUF_DisplayMulti, "t", "outer", [Cell()]), sorted(d.tables["t"]["rows"])]
        """, [["RuntimeError", ["inner", "outer"]], ["RuntimeError", ["inner"]], ["ok", ["inner", "outer"]]]),
    ("cell_str_clears_the_dashboard", """
        d.CUF_AddLog("line")
        class Cell:
            def __str__(self):
                once(d.CUF_Clear)
                return "c"
        return [outcome(d.CUF_DisplayMulti, "t", "k", [Cell()]), d.tables, d.logs]
        """, [["RuntimeError", {}, []], ["ok", {}, []]]),
    ("cell_str_recurses_without_end", """
        class Cell:
            def __str__(self):
                d.CUF_DisplayMulti("t", len(d.tables["t"]["rows"]), [Cell()])
        return [outcome(d.CUF_DisplayMulti, "t", "k", [Cell()]), outcome(d.CUF_Clear), d.tables]
        """, [["RecursionError", "ok", {}]]),
    ("colour_format_clears_the_dashboard", """
        d.CUF_DisplayMulti("t", "k", ["v"])
        d.CUF_AddLog("line")
        class Colour:
            def __format__(self, fmt):
                d.CUF_Clear()
                return "red"
        r = outcome(d.CUF_DisplaySingle, "hi", Colour())
        return [r, d.single_line_msg, d.tables, d.logs]
        """, [["ok", "[red]hi[/red]", {}, []]]),
    ("colour_format_adds_a_log_line", """
        class Colour:
            def __format__(self, fmt):
                once(lambda: d.CUF_AddLog("inner"))
                gc.collect()
                return "red"
        r = outcome(d.CUF_AddLog, "outer", Colour())
        return [r, [line.split("] ", 1)[1] for line in d.logs]]
        """, [["ok", ["inner[/white]", "outer[/red]"]]]),
    ("row_key_hash_clears_the_tables", """
        class Key(str):
            def __hash__(self):
                if armed[0]:
                    d.CUF_Clear()
                return str.__hash__(self)
        r = outcome(d.CUF_DisplayMulti, "t", Key("k"), [1])
        armed[0] = 0
        return [r, d.tables]
        """, [["ok", {}]]),
    ("row_key_eq_writes_a_row", """
        d.CUF_DisplayMulti("t", "a", [1])
        class Key(str):
            def __hash__(self):
                return hash("a")
            def __eq__(self, other):
                once(lambda: d.CUF_DisplayMulti("t", "b", [2]))
                return str.__eq__(self, other)
        return [outcome(d.CUF_DisplayMulti, "t", Key("k"), [3]), list(d.tables["t"]["rows"])]
        """, [["ok", ["a", "b", "k"]]]),
    ("table_id_eq_clears_the_tables", """
        class Id(str):
            def __hash__(self):
                return hash("t")
            def __eq__(self, other):
                once(d.CUF_Clear)
                return False
        return [outcome(d.CUF_DisplayMulti, Id("u"), "k", [1]), d.tables]
        """, [["KeyError", {}]]),
    ("screen_text_calls_back", """
        log = []
        s = PelmarDeck.CLASS_Pelmar(Fake(log), Fake(log))
        class Encoded:
            def __len__(self):
                s.CUF_SET_ColorTableDefault()
                gc.collect()
                return 7
        class Text:
            def encode(self, codec):
                s.CUF_Print("inner")
                return Encoded()
        del log[:]
        r = outcome(s.CUF_PrintC, 3, Text())
        return [r, log[1], sum(e[0] == "init_pair" for e in log), log[-1][:3]]
        """, [["ok", ["addstr", "inner"], 5, ["addstr", 3, 36]]]),
    # an entered context dropped: closed as a generator is, its error unraisable
    ("status_dropped_while_entered", """
        seen, calls = [], []
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: seen.append(u.exc_type.__name__)
        try:
            for error in (None, ValueError("boom")):
                cm = OrvanDeck.CLASS_Orvan.CUF_Status(types.SimpleNamespace(console=status_console(calls, error)), "m")
                cm.__enter__()
                del cm
                gc.collect()
        finally:
            sys.unraisablehook = hook
        return [calls, seen, "continued"]
        """, [[["enter", ["exit", "GeneratorExit"]] * 2, ["ValueError"], "continued"]]),
    ("status_throw_matches_a_generator", """
        class Meta(type):
            def __instancecheck__(cls, x):
                raise LookupError("check")
            __subclasscheck__ = __instancecheck__
        class Odd(Exception, metaclass=Meta):
            pass
        from orvan_twin import CLASS_Orvan as Twin
        mismatches = []
        for args in [(Odd, 1), (ValueError, None, "tb"), (ValueError(), 1), (1,), (), (KeyError, "k")]:
            for entered in (False, True):
                seen = []
                for make in (Twin.CUF_Status.__wrapped__, OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__):
                    calls = []
                    g = make(types.SimpleNamespace(console=status_console(calls)), "m")
                    if entered:
                        next(g)
                    seen.append([outcome(g.throw, *args), outcome(g.close), calls])
                if seen[0] != seen[1]:
                    mismatches.append([repr(args), entered, seen])
        return mismatches
        """, [[]]),
]


@pytest.fixture(scope="module")
def reentry(tmp_path_factory):
    cases = {name: DASH + textwrap.dedent(body) for name, body, _ in REENTRY}
    return run_cases(tmp_path_factory.mktemp("reentry"), LOADED, cases)


@pytest.mark.parametrize("name,expected", [case[::2] for case in REENTRY], ids=[case[0] for case in REENTRY])
def test_callbacks_into_the_same_object(reentry, name, expected):
    assert reentry[name] in expected


# --------------------------------------------------------------------------
# life cycles: reloaded and dropped modules, classes that outlive them

LIFE = {
    "reload_adds_nothing": ("""
        import importlib, OrvanDeck
        OrvanDeck.Console = console
        old = OrvanDeck.CLASS_Orvan()
        for _ in range(5):
            importlib.reload(OrvanDeck)
        r = outcome(old.CUF_AddLog, "after")
        old.CUF_Close()
        del old
        gc.collect()
        helper = type(OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__)
        return [r, sum(isinstance(o, type) and o.__name__ == "CLASS_Orvan" for o in gc.get_objects()),
                sum(type(o) is helper for o in gc.get_objects())]
        """, ["ok", 1, 1]),
    # as in Python, methods keep their module's globals alive
    "classes_outlive_their_module": ("""
        import curses as k, OrvanDeck, PelmarDeck
        OrvanDeck.Console = console
        C, P = OrvanDeck.CLASS_Orvan, PelmarDeck.CLASS_Pelmar
        del sys.modules["OrvanDeck"], sys.modules["PelmarDeck"], OrvanDeck, PelmarDeck
        gc.collect()
        d = C()
        d.CUF_AddTable("t", ["col"])
        d.CUF_DisplayMulti("t", 1, ["cell"])
        d.CUF_AddLog("line")
        with d.CUF_Status("s"):
            d.CUF_ProgressStartP()
            d.CUF_ProgressAdvance()
        text = shows(d)
        d.CUF_Close()
        log = []
        P(Fake(log), Fake(log))
        pairs = [[1, k.COLOR_WHITE, k.COLOR_BLACK], [2, k.COLOR_RED, k.COLOR_BLACK], [3, k.COLOR_GREEN, k.COLOR_BLACK],
                 [4, k.COLOR_CYAN, k.COLOR_BLACK], [5, k.COLOR_BLACK, k.COLOR_WHITE]]
        return ["cell" in text, "line" in text, [e[1:] for e in log if e[0] == "init_pair"] == pairs]
        """, [True, True, True]),
    "dropped_copies_are_collected": ("""
        alive = []
        for _ in range(3):
            import OrvanDeck, PelmarDeck
            W = OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__
            refs = [weakref.ref(x) for x in (OrvanDeck, OrvanDeck.CLASS_Orvan, OrvanDeck.ENUM_RichColor, type(W),
                                             type(W(None, "x")), PelmarDeck, PelmarDeck.CLASS_Pelmar)]
            del sys.modules["OrvanDeck"], sys.modules["PelmarDeck"], OrvanDeck, PelmarDeck, W
            gc.collect()
            alive.append([i for i, r in enumerate(refs) if r() is not None])
        return alive
        """, [[], [], []]),
}


@pytest.fixture(scope="module")
def life(tmp_path_factory):
    return run_cases(tmp_path_factory.mktemp("life"), COMMON, {n: body for n, (body, _) in LIFE.items()})


@pytest.mark.parametrize("name", list(LIFE))
def test_module_life_cycle(life, name):
    assert life[name] == LIFE[name][1]


SUBINTERP = COMMON + '''
KIND, ORDER, OUT = sys.argv[1:4]
USE = """
import io, json, threading, rich.console
try:
    import OrvanDeck, PelmarDeck
except ImportError:
    result = ["ImportError"]
else:
    OrvanDeck.Console = lambda: rich.console.Console(file=io.StringIO())
    d = OrvanDeck.CLASS_Orvan()
    d.CUF_AddTable("t", ["a"])
    d.CUF_DisplayMulti("t", 1, [2])
    with d.CUF_Status("x"):
        d.CUF_Close()
    W = OrvanDeck.CLASS_Orvan.CUF_Status.__wrapped__
    result = ["works", [id(x) for x in (OrvanDeck.CLASS_Orvan, W, type(W), type(W(None, "x")),
                                         PelmarDeck.CLASS_Pelmar)]]
    for t in threading.enumerate():  # an interpreter ends as its last thread
        if t is not threading.current_thread():
            t.join()
with open(%r, "a") as f:
    f.write(json.dumps(result) + "\\\\n")
""" % OUT

def run_sub(code):
    if KIND == "legacy":
        import _testcapi
        return _testcapi.run_in_subinterp(code)
    try:
        import _interpreters as I
        run = I.exec
    except ImportError:
        import _xxsubinterpreters as I
        run = I.run_string
    i = I.create()
    try:
        run(i, code)
    finally:
        I.destroy(i)

if ORDER == "main_first":
    exec(USE)
run_sub(USE)
run_sub(USE)
exec(USE)
'''


def subinterpreters(kind):
    names = ["_testcapi"] if kind == "legacy" else ["_interpreters", "_xxsubinterpreters"]
    for name in names:
        try:
            module = __import__(name)
        except ImportError:
            continue
        return hasattr(module, "run_in_subinterp") if kind == "legacy" else sys.version_info >= (3, 12)
    return False


@pytest.mark.parametrize("order", ["main_first", "sub_first"])
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreters_get_their_own_state_or_an_import_error(tmp_path, kind, order):
    if not subinterpreters(kind):
        pytest.skip("no %s sub-interpreters in this interpreter (_testcapi, _interpreters)" % kind)
    script, out = tmp_path / "sub.py", tmp_path / "results.jsonl"
    script.write_text(SUBINTERP)
    rc, _, err = run_child(str(script), tmp_path, args=(kind, order, str(out)), timeout=120)
    assert rc == 0, "%s\n%s" % (how_it_ended(rc), err[-3000:])
    runs = [json.loads(line) for line in out.read_text().splitlines()]
    main, subs = runs[-1], runs[-3:-1]
    assert main[0] == "works" and len(subs) == 2, runs
    for sub in subs:
        assert sub[0] in ("works", "ImportError"), sub
        if sub[0] == "works" and order == "main_first":
            # the main copy was alive all along: a shared id is a shared object
            assert not set(sub[1]) & set(main[1]), (sub, main)


# --------------------------------------------------------------------------
# two threads' first calls of a method while a garbage-collector callback
# lets the other thread in; where the collection falls depends on the parity
# of the allocations before the call, so each parity gets its interpreter

FIRST_CALLS = COMMON + """
import OrvanDeck
OrvanDeck.Console = console
d = OrvanDeck.CLASS_Orvan()
d.CUF_ProgressStartP("p", 100)
armed = False

def pause(phase, info):
    if armed:
        time.sleep(0.005)  # lets the other thread in

def first():
    global armed
    hold = [tuple([i]) for i in range(2100)]  # no 1-tuples left to reuse
    gc.collect()
    EXTRA
    armed = True
    d.CUF_ProgressAdvance()

def second():
    while not armed:
        pass
    d.CUF_ProgressAdvance()

gc.callbacks.append(pause)
gc.set_threshold(1)
threads = [threading.Thread(target=second), threading.Thread(target=first)]
for t in threads:
    t.start()
for t in threads:
    t.join()
gc.callbacks.clear()
sys.__stdout__.write("%s\\n" % d.progress_bar.tasks[0].completed)
# the live display still redirects stdout; its proxy may hold the stream past exit
sys.__stdout__.flush()
"""


@pytest.mark.parametrize("extra", [0, 1])
def test_first_calls_under_gc_callbacks_finish(tmp_path, extra):
    script = tmp_path / "first.py"
    script.write_text(FIRST_CALLS.replace("EXTRA", "x = []" if extra else "pass"))
    rc, out, err = run_child(str(script), tmp_path, timeout=20)
    assert rc == 0, "%s\n%s" % (how_it_ended(rc), err[-3000:])
    assert float(out) == 2
