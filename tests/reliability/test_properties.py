"""Property tests: argument binding against plain Python twins, and random
text through the measuring and placing methods of the screen."""

import contextlib
import importlib
import re
import sys
import types
from importlib.machinery import ModuleSpec

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pelmar_twin import CLASS_Pelmar as PelmarTwin
from reliability_support import (MAIN_TWIN, ORVAN_TWINS, PELMAR_TWINS, OrvanDeck, PelmarDeck, PelmarRig,
                                 orvan_rig, raising)

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))

# A value per parameter that lets every method run to its end on the fakes.
ORVAN_VALUES = {
    "Pmi_RefreshRate": 7, "Pmi_LogLines": 3, "Pms_TableID": "T", "Pml_Columns": ["c1", "c2"],
    "Pms_RowKey": "row", "Pml_ValueList": ["v1", 2], "Pms_MsgStr": "printed", "Pms_MsgSTR": "message",
    "Pms_Color": "red", "Pms_LogMsg": "logged", "Pms_Description": "desc", "Pmi_Total": 50,
    "Pms_BarColor": "blue", "Pmf_PercentWidth": 0.5, "Pmi_Step": 4,
}
PELMAR_VALUES = {
    "Pms_Text": "text", "PmUa_FG_COLOR": [1, 2], "PmUa_BK_COLOR": [3, 4], "Pmi_PosX": 5, "Pmi_PosY": 6,
    "Pmi_MAX_LEN": 9, "Pmi_ColorTableIndex": 2, "Pmi_Width": 11, "Pmi_Height": 12,
}
EXTRA = "surplus"


def strip_name(message):
    return re.sub(r"^[\w.<>]+\(\) ", "", message)


@st.composite
def calls(draw, twin, allow_self_kw=True):
    """Positional and keyword arguments for the parameters of ``twin`` after
    self: too few, too many, duplicated, unknown, misspelt."""
    code = twin.__code__
    params = list(code.co_varnames[:code.co_argcount])
    if params and params[0] == "self":
        params = params[1:]
    npos = draw(st.integers(0, len(params) + 1))
    known = params + (["self"] if allow_self_kw else [])
    misspelt = [p[:-1] for p in known] + [p[:-1] + p[-1].swapcase() for p in known]
    names = known + ["Pzz_Unknown"] + misspelt
    kw = draw(st.lists(st.sampled_from(names), unique=True, max_size=len(names)))
    pos = [params[i] if i < len(params) else EXTRA for i in range(npos)]
    return pos, kw


def bind_twin(twin, self_obj, pos, kw, values):
    args = [values.get(p, p) for p in pos]
    kwargs = {k: values.get(k, k) for k in kw}
    try:
        bound = twin(self_obj, *args, **kwargs) if self_obj is not None else twin(*args, **kwargs)
    except TypeError as e:
        return args, kwargs, None, strip_name(str(e))
    bound.pop("self", None)
    return args, kwargs, bound, None


def _orvan_effects(rec, d, result):
    keep = ("Console.print", "Console.status", "Progress.add_task", "Progress.update", "BarColumn", "Live")
    events = [(e.name, e.args, sorted(e.kwargs.items())) for e in rec.events
              if e.name in keep and e.name != "Live"]
    state = {k: getattr(d, k, None) for k in ("Pmi_RefreshRate", "Pmi_LogLines", "tables", "logs",
                                               "single_line_msg", "progress_task_id")}
    return events, state, result


def _run_orvan(monkeypatch, name, args, kwargs):
    rec = orvan_rig(monkeypatch)
    rec.next_task_id = 0
    if name == "__init__":
        d = OrvanDeck.CLASS_Orvan(*args, **kwargs)
        result = None
    else:
        d = OrvanDeck.CLASS_Orvan()
        d.CUF_AddTable("T", ["c"])
        d.CUF_ProgressStartP()
        rec.clear()
        result = getattr(d, name)(*args, **kwargs)
        if name == "_render_group":
            result = [type(r).__name__ for r in result.renderables]
        if name == "CUF_Status":
            with result:
                pass
            result = None
    return _orvan_effects(rec, d, result)


@pytest.mark.parametrize("name", sorted(ORVAN_TWINS))
@SETTINGS
@given(data=st.data())
def test_dashboard_binds_like_python(monkeypatch, name, data):
    twin = ORVAN_TWINS[name]
    pos, kw = data.draw(calls(twin))
    args, kwargs, bound, message = bind_twin(twin, object(), pos, kw, ORVAN_VALUES)
    with monkeypatch.context() as mp:
        if message is not None:
            with pytest.raises(TypeError) as info:
                _run_orvan(mp, name, args, kwargs)
            assert strip_name(str(info.value)) == message
            return
        got = _run_orvan(mp, name, args, kwargs)
    with monkeypatch.context() as mp:
        # the same values, every one named: what the twin says was bound
        assert got == _run_orvan(mp, name, (), bound)


def _run_pelmar(monkeypatch, name, args, kwargs):
    rig = PelmarRig(monkeypatch, cols=60, rows=30)
    win = rig.curses.newwin(1, 1, 0, 0)
    values = [win if a == "Pobj_Window" else a for a in args]
    kwvalues = {k: (win if v == "Pobj_Window" else v) for k, v in kwargs.items()}
    if name == "__init__":
        values = [{"Pobj_Curses": rig.curses, "Pobj_STDSCR": rig.scr}.get(v, v) for v in values]
        kwvalues = {k: {"Pobj_Curses": rig.curses, "Pobj_STDSCR": rig.scr}.get(v, v) for k, v in kwvalues.items()}
        PelmarDeck.CLASS_Pelmar(*values, **kwvalues)
        return list(rig.log), None
    s = rig.screen()
    result = getattr(s, name)(*values, **kwvalues)
    if result is win or result is rig.curses.windows[-1]:
        result = "a window"
    return list(rig.log), result


@pytest.mark.parametrize("name", sorted(PELMAR_TWINS))
@SETTINGS
@given(data=st.data())
def test_screen_binds_like_python(monkeypatch, name, data):
    twin = PELMAR_TWINS[name]
    pos, kw = data.draw(calls(twin))
    args, kwargs, bound, message = bind_twin(twin, object(), pos, kw, PELMAR_VALUES)
    with monkeypatch.context() as mp:
        if message is not None:
            with pytest.raises(TypeError) as info:
                _run_pelmar(mp, name, args, kwargs)
            assert strip_name(str(info.value)) == message
            return
        got = _run_pelmar(mp, name, args, kwargs)
    with monkeypatch.context() as mp:
        assert got == _run_pelmar(mp, name, (), bound)


class Started(Exception):
    pass


@SETTINGS
@given(data=st.data())
def test_main_binds_like_python(monkeypatch, data):
    pos, kw = data.draw(calls(MAIN_TWIN, allow_self_kw=False))
    rig = PelmarRig(monkeypatch)
    values = {"Pobj_STDSCR": rig.scr}
    args, kwargs, bound, message = bind_twin(MAIN_TWIN, None, pos, kw, values)
    # a bound call would loop for ever: its first curses call ends it
    started = Started()
    rig.curses.results["initscr"] = raising(lambda: started)
    with pytest.raises((TypeError, Started)) as info:
        PelmarDeck.main(*args, **kwargs)
    if message is None:
        assert info.value is started and bound == {"Pobj_STDSCR": rig.scr}
    else:
        assert type(info.value) is TypeError and strip_name(str(info.value)) == message


# --------------------------------------------------------------------------
# the interpreter's messages: each row does one thing through a module and
# the same thing in plain Python on the running interpreter


def _outcome(fn):
    try:
        value = fn()
    except Exception as e:
        return type(e), str(e), [getattr(e, a, None) for a in ("name", "path", "name_from")]
    return "returned", value


_MISSING = object()
_FILE = "/nowhere/rich/live.py"


def _live_module(file=_FILE, spec=True, origin=_FILE, initializing=False, name="rich.live"):
    """A rich.live without Live."""
    m = types.ModuleType("rich.live")
    m.__name__ = name
    if file is not None:
        m.__file__ = file
    if spec is None:
        del m.__spec__
    elif spec:
        m.__spec__ = ModuleSpec("rich.live", None, origin=origin)
        m.__spec__.has_location = True
        m.__spec__._initializing = initializing
    return m


def _with_modules(entries, fn):
    saved = {k: sys.modules.get(k, _MISSING) for k in list(entries) + ["OrvanDeck"]}
    sys.modules.update(entries)
    try:
        return fn()
    finally:
        for k, v in saved.items():
            if v is _MISSING:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v


def _import_orvan_live(entries):
    def fresh():
        sys.modules.pop("OrvanDeck", None)
        return importlib.import_module("OrvanDeck").Live
    return lambda: _with_modules(entries, fresh)


def _from_rich_live(entries):
    def statement():
        namespace = {}
        exec("from rich.live import Live", namespace)
        return namespace["Live"]
    return lambda: _with_modules(entries, statement)


SUBMODULE = object()
MISSING_NAME = [
    {"rich.live": _live_module()},
    {"rich.live": _live_module(spec=False)},
    {"rich.live": _live_module(file=None, spec=False)},
    {"rich.live": _live_module(origin="/elsewhere/live.py")},
    {"rich.live": _live_module(initializing=True)},
    {"rich.live": _live_module(file=None, initializing=True)},
    {"rich.live": _live_module(spec=None)},
    {"rich.live": _live_module(name=42)},
    {"rich.live": types.SimpleNamespace(__name__="rich.live", __file__=_FILE)},
    {"rich.live": _live_module(), "rich.live.Live": SUBMODULE},
]


class NotIterable:
    __iter__ = None


class OldSequence:
    def __getitem__(self, i):
        if i < 2:
            return i
        raise IndexError(i)


def _screen_size(size):
    def run(get_scr_max):
        rig = PelmarRig()
        s = rig.screen()
        rig.scr.size = size
        return get_scr_max(s)

    def ours():
        return run(lambda s: s.CUF_GET_SCR_MAX())

    def python():
        return run(PelmarTwin.CUF_GET_SCR_MAX)

    return ours, python


def _named(fn, qualname):
    twin = types.FunctionType(fn.__code__, fn.__globals__, fn.__name__, fn.__defaults__)
    twin.__qualname__ = qualname
    return twin


def _misspelt(cls, name, twins, args, kwargs):
    """A method called with a misspelt keyword, and its plain twin so called."""
    twin = _named(twins[name], "%s.%s" % (cls.__name__, name))
    if name == "CUF_Status":
        twin = contextlib.contextmanager(twin)
    if name == "__init__":
        return (lambda: cls(*args, **kwargs)), (lambda: twin(object(), *args, **kwargs))
    obj = cls.__new__(cls)
    return (lambda: getattr(obj, name)(*args, **kwargs)), (lambda: twin(obj, *args, **kwargs))


@pytest.mark.parametrize("ours,python", [
    *[(_import_orvan_live(e), _from_rich_live(e)) for e in MISSING_NAME],
    *[_screen_size(size) for size in (5, None, NotIterable(), OldSequence())],
    _misspelt(OrvanDeck.CLASS_Orvan, "CUF_Print", ORVAN_TWINS, (), {"Pms_MsgSTR": "m"}),
    _misspelt(OrvanDeck.CLASS_Orvan, "CUF_Status", ORVAN_TWINS, (), {"Pms_MsgStr": "m"}),
    _misspelt(OrvanDeck.CLASS_Orvan, "__init__", ORVAN_TWINS, (), {"Pmi_LogLine": 3}),
    _misspelt(OrvanDeck.CLASS_Orvan, "CUF_AddLog", ORVAN_TWINS, ("m",), {"Pms_COLOR": "red"}),
    _misspelt(PelmarDeck.CLASS_Pelmar, "CUF_Move", PELMAR_TWINS, (1, 2), {"Pmi_PosZ": 3}),
    _misspelt(PelmarDeck.CLASS_Pelmar, "CUF_PrintXY", PELMAR_TWINS, (1, 2, "t"), {"Pmi_ColourTableIndex": 3}),
    _misspelt(PelmarDeck.CLASS_Pelmar, "CUF_strlen", PELMAR_TWINS, (), {"sef": "t"}),
    (lambda: PelmarDeck.main(Pobj_STDSCRR=1), lambda: _named(MAIN_TWIN, "main")(Pobj_STDSCRR=1)),
])
def test_messages_are_the_interpreters(ours, python):
    assert _outcome(ours) == _outcome(python)


# --------------------------------------------------------------------------
# random text on a random screen


def big5_len(text):
    return len(text.encode("big5"))


def _fit(text, cells):
    used, end = 0, 0
    for ch in text:
        w = big5_len(ch)
        if used + w > cells:
            break
        used, end = used + w, end + 1
    return text[:end], used


texts = st.text(max_size=40) | st.text(alphabet="中文字a bc漢", max_size=60)
sizes = st.tuples(st.integers(1, 80), st.integers(1, 40))  # (cols, rows)


@settings(max_examples=200, deadline=None)
@given(text=texts)
def test_strlen_is_the_big5_length(text):
    s = PelmarRig().screen()
    try:
        expected = big5_len(text)
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            s.CUF_strlen(text)
        return
    assert s.CUF_strlen(text) == expected


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(text=texts, size=sizes, y=st.integers(0, 45))
def test_print_centred_on_any_screen(monkeypatch, text, size, y):
    cols, rows = size
    rig = PelmarRig(cols=cols, rows=rows)
    s = rig.screen()
    try:
        n = big5_len(text)
    except UnicodeEncodeError:
        if y < rows:
            with pytest.raises(UnicodeEncodeError):
                s.CUF_PrintC(y, text)
        else:
            s.CUF_PrintC(y, text)  # off the screen: never measured
            assert [e[1] for e in rig.log] == ["getmaxyx"]
        return
    s.CUF_PrintC(y, text)
    writes = [e for e in rig.log if e[1] == "addstr"]
    x = (cols - n) // 2
    if y >= rows or x >= cols:
        assert writes == []
    else:
        assert writes == [("scr", "addstr", y, x, text, "<pair 1>")]


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(text=texts, size=sizes)
def test_status_line_on_any_screen(text, size):
    cols, rows = size
    rig = PelmarRig(cols=cols, rows=rows)
    s = rig.screen()
    try:
        n = big5_len(text)
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            s.CUF_PrintSTATUS(text)
        assert "attron" not in [e[1] for e in rig.log]
        return
    s.CUF_PrintSTATUS(text)
    if rows - 1 <= 10:
        assert rig.log == [("scr", "getmaxyx")]
        return
    if cols - n - 1 >= 0:
        written = text + " " * (cols - n - 1)
    else:
        shown, used = _fit(text, cols - 1)
        written = shown + " " * (cols - 1 - used)
    assert big5_len(written) == cols - 1
    assert rig.log == [("scr", "getmaxyx"), ("curses", "color_pair", 5), ("scr", "attron", "<pair 5>"),
                       ("scr", "addstr", rows - 1, 0, written), ("curses", "color_pair", 5),
                       ("scr", "attroff", "<pair 5>")]


@pytest.mark.parametrize("cols,rows", [
    (-2 ** 63, 24), (-2 ** 64, 24), (2 ** 64, 24), (2.0, 24), (80.0, 24), (float("nan"), 24),
    (True, 24), (False, 24), (80, 2 ** 64), (80, 24.5), (80, -2 ** 63),
])
def test_status_line_arithmetic_is_pythons(cols, rows):
    def run(status):
        rig = PelmarRig(cols=cols, rows=rows)
        s = rig.screen()
        return _outcome(lambda: status(s, "狀態列abc")), rig.log

    def same_overflow(result):
        # 3.14+ words `" " * n` with an n beyond ssize_t by the path its adaptive
        # interpreter took: both texts are the interpreter's own for that expression.
        (outcome, log) = result
        if outcome[:2] == (OverflowError, "Python int too large to convert to C ssize_t"):
            outcome = (OverflowError, "cannot fit 'int' into an index-sized integer") + tuple(outcome[2:])
        return outcome, log

    assert same_overflow(run(PelmarDeck.CLASS_Pelmar.CUF_PrintSTATUS)) == same_overflow(run(PelmarTwin.CUF_PrintSTATUS))


class _AlwaysGE(int):
    def __ge__(self, other):
        return True


# Plain ints are compared in C longs; past that range, and for anything that
# is no exact int, Python's own comparison decides.
@pytest.mark.parametrize("x,y,index,cols", [
    (2 ** 63 - 1, 1, 1, 2 ** 63), (2 ** 63, 1, 1, 2 ** 64), (-2 ** 63 - 1, 1, 1, 60), (2 ** 64, 1, 1, 60),
    (1, -2 ** 64, 2 ** 63, 60), (1, 1, -2 ** 64, 60), (1, 1, 2 ** 64, 60), (True, False, True, 60),
    (59.5, 1, 0.5, 60), (float("nan"), 1, 1, 60), (1, 1, float("nan"), 60), (_AlwaysGE(1), 1, 1, 60),
    (1, 1, 1, -2 ** 64), (1, 1, 1, 2.5), (1, 1, "1", 60),
])
def test_print_xy_compares_as_python(x, y, index, cols):
    def run(print_xy):
        rig = PelmarRig(cols=cols, rows=30)
        s = rig.screen()
        return _outcome(lambda: print_xy(s, x, y, "t", index)), rig.log

    assert run(PelmarDeck.CLASS_Pelmar.CUF_PrintXY) == run(PelmarTwin.CUF_PrintXY)
