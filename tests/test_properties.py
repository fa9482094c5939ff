"""Property tests: argument binding against plain Python twins, and random
text through the measuring and placing methods of the screen."""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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
    message = re.sub(r"^[\w.<>]+\(\) ", "", message)
    return re.sub(r"\. Did you mean '\w+'\?$", "", message)


@st.composite
def calls(draw, twin, allow_self_kw=True):
    """Positional and keyword arguments for the parameters of ``twin`` after
    self: too few, too many, duplicated, unknown."""
    code = twin.__code__
    params = list(code.co_varnames[:code.co_argcount])
    if params and params[0] == "self":
        params = params[1:]
    npos = draw(st.integers(0, len(params) + 1))
    names = params + ["Pzz_Unknown"] + (["self"] if allow_self_kw else [])
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
