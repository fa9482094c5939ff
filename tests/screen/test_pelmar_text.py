"""Measuring and placing text on the standard screen, against recording fakes."""

import curses

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmar_fakes import STATUS_TEXT, FakeCurses, FakeWindow, Rig, big5_width, status_calls
from pelmar_twin import CLASS_Pelmar as PelmarTwin
import PelmarDeck
from PelmarDeck import CLASS_Pelmar

GETMAXYX = ("scr", "getmaxyx")


@pytest.mark.parametrize("text,width", [
    ("", 0), ("hello", 5), (STATUS_TEXT, 16), ("中文", 4), ("Ωж", 4), ("計數器：", 8),
])
def test_strlen_is_big5_length(rig, text, width):
    obj = rig.screen()
    result = obj.CUF_strlen(text)
    assert type(result) is int and result == width
    assert rig.log == []


@pytest.mark.parametrize("text,error", [("€", UnicodeEncodeError), ("é", UnicodeEncodeError),
                                        ("😀", UnicodeEncodeError), (b"abc", AttributeError)])
def test_strlen_refuses(rig, text, error):
    with pytest.raises(error):
        rig.screen().CUF_strlen(text)


@pytest.mark.parametrize("call,log,result", [
    (lambda o: o.CUF_GET_SCR_MAX(), [GETMAXYX], (80, 24)),
    (lambda o: o.CUF_clear(), [("scr", "clear")], None),
    (lambda o: o.CUF_Refresh(), [("scr", "refresh")], None),
    (lambda o: o.CUF_Move(5, 2), [("scr", "move", 2, 5)], None),
    # CUF_Print does not measure, so text without a Big5 code passes through
    (lambda o: o.CUF_Print("é€"), [("scr", "addstr", "é€")], None),
], ids=["scr_max", "clear", "refresh", "move", "print"])
def test_single_call_methods(rig, call, log, result):
    obj = rig.screen(80, 24)
    assert call(obj) == result
    assert rig.log == log


@pytest.mark.parametrize("call", [
    lambda o: o.CUF_GET_SCR_MAX(), lambda o: o.CUF_PrintXY(0, 0, "t", 1),
    lambda o: o.CUF_PrintC(0, "t"), lambda o: o.CUF_PrintSTATUS("t"),
])
def test_bad_screen_size_fails_unpacking(rig, call):
    obj = rig.screen()
    rig.scr.size = (24, 80, 1)
    with pytest.raises(ValueError):
        call(obj)
    assert rig.log == [GETMAXYX]


@pytest.mark.parametrize("x,y,index,tail", [
    (79, 0, 0, [("scr", "addstr", 0, 79, "T€")]),
    (0, 23, 5, [("curses", "color_pair", 5), ("scr", "addstr", 23, 0, "T€", "<pair 5>")]),
    (10, 12, 3, [("curses", "color_pair", 3), ("scr", "addstr", 12, 10, "T€", "<pair 3>")]),
    (3, 4, -1, [("scr", "addstr", 4, 3, "T€")]),
    (-1, -2, 2, [("curses", "color_pair", 2), ("scr", "addstr", -2, -1, "T€", "<pair 2>")]),
    (80, 0, 1, []),
    (0, 24, 1, []),
    (500, 500, 0, []),
])
def test_print_xy_bounds_and_colour(rig, x, y, index, tail):
    # the text is not measured, so one without a Big5 code passes through
    obj = rig.screen(80, 24)
    assert obj.CUF_PrintXY(x, y, "T€", index) is None
    assert rig.log == [GETMAXYX] + tail


def test_print_xy_looks_up_addstr_before_calling_color_pair(rig):
    obj = rig.screen(80, 24)
    methods = tuple(m for m in type(rig.scr).METHODS if m != "addstr")
    rig.scr.__class__ = type("NoAddstr", (type(rig.scr),), {"METHODS": methods})
    with pytest.raises(AttributeError):
        obj.CUF_PrintXY(10, 12, "t", 3)
    assert rig.log == [GETMAXYX]


@pytest.mark.parametrize("cols,text,col", [
    (80, "hello", 37), (81, "hello", 38), (80, "狀態列", 37), (80, "", 40),
    (10, "x" * 12, -1), (10, "x" * 13, -2), (10, "狀態列顯示列x", -2),
])
def test_print_c_centres_in_pair_one(rig, cols, text, col):
    obj = rig.screen(cols, 24)
    assert obj.CUF_PrintC(5, text) is None
    assert rig.log == [GETMAXYX, GETMAXYX, ("curses", "color_pair", 1),
                       ("scr", "addstr", 5, col, text, "<pair 1>")]


@pytest.mark.parametrize("row", [24, 99])
def test_print_c_below_screen_does_not_measure(rig, row):
    obj = rig.screen(80, 24)
    assert obj.CUF_PrintC(row, "😀") is None
    assert rig.log == [GETMAXYX]


def test_print_c_unencodable_fails_before_writing(rig):
    obj = rig.screen()
    with pytest.raises(UnicodeEncodeError):
        obj.CUF_PrintC(3, "€uro")
    assert rig.log == [GETMAXYX]


@pytest.mark.parametrize("cols,rows,text,written", [
    (80, 24, STATUS_TEXT, STATUS_TEXT + " " * 63),
    (80, 12, "ab", "ab" + " " * 77),
    (20, 24, "x" * 19, "x" * 19),
    (20, 24, "", " " * 19),
    # as wide as the screen or wider: cut to cols - 1 cells
    (20, 24, "x" * 20, "x" * 19),
    (20, 24, "y" * 30, "y" * 19),
    (10, 24, STATUS_TEXT, "[ 狀態列 "),
    (16, 24, STATUS_TEXT, "[ 狀態列顯示列 "),
    (5, 24, "abc狀", "abc "),
    (5, 24, "ab狀cd", "ab狀"),
])
def test_status_line(rig, cols, rows, text, written):
    obj = rig.screen(cols, rows)
    assert obj.CUF_PrintSTATUS(text) is None
    assert rig.log == status_calls(rows - 1, written)


@pytest.mark.parametrize("rows", [1, 11, 24])
def test_status_line_measures_first_and_needs_twelve_rows(rig, rows):
    obj = rig.screen(80, rows)
    with pytest.raises(UnicodeEncodeError):
        obj.CUF_PrintSTATUS("x" * 100 + "€")
    assert rig.log == [GETMAXYX]
    if rows < 12:
        assert obj.CUF_PrintSTATUS("x" * 200) is None
        assert rig.log == [GETMAXYX] * 2


def test_status_line_switches_pair_off_when_write_fails(rig):
    obj = rig.screen(80, 24)
    rig.scr.results["addstr"] = boom = curses.error("write refused")
    with pytest.raises(curses.error) as err:
        obj.CUF_PrintSTATUS("s")
    assert err.value is boom
    assert rig.log == status_calls(23, "s" + " " * 78)


@settings(max_examples=150, deadline=None)
@given(text=st.text(alphabet=st.sampled_from("ab ]狀態列Ω：x"), max_size=40),
       cols=st.integers(min_value=2, max_value=45))
def test_status_line_always_fills_width_minus_one(text, cols):
    with pytest.MonkeyPatch.context() as mp:
        r = Rig(mp)
        obj = r.screen(cols, 24)
        obj.CUF_PrintSTATUS(text)
        written = r.log[3][4]
    # longest prefix that fits in cols - 1 cells, then spaces up to cols - 1
    k = 0
    while k < len(text) and big5_width(text[:k + 1]) <= cols - 1:
        k += 1
    assert written == text[:k] + " " * (cols - 1 - big5_width(text[:k]))
    assert big5_width(written) == cols - 1


def test_placement_goes_through_overridable_methods(rig):
    seen = []

    class Sub(CLASS_Pelmar):
        def CUF_GET_SCR_MAX(self):
            return (30, 14)

        def CUF_strlen(self, Pms_Text):
            return 6

        def CUF_PrintXY(self, Pmi_PosX, Pmi_PosY, Pms_Text, Pmi_ColorTableIndex):
            seen.append((Pmi_PosX, Pmi_PosY, Pms_Text, Pmi_ColorTableIndex))

    obj = rig.screen(cls=Sub)
    obj.CUF_PrintC(3, "€")
    assert seen == [(12, 3, "€", 1)]
    assert rig.log == []
    obj.CUF_PrintSTATUS("ab")
    assert rig.log == status_calls(13, "ab" + " " * 23)[1:]



# --------------------------------------------------------------------------
# the status line's lookups, calls and arithmetic, in order, as its plain twin
# makes them; a width measured by an overriding CUF_strlen cuts the text too


class _Looking:
    def __getattr__(self, attr):
        self.log.append((self.name, "." + attr))
        return super().__getattr__(attr)


class _LookingWindow(_Looking, FakeWindow):
    pass


class _LookingCurses(_Looking, FakeCurses):
    pass


class _Num(int):
    """A screen size that logs its subtractions and its <= tests."""
    log = []

    def __sub__(self, other):
        _Num.log.append(("-", int(self), int(other)))
        return _Num(int(self) - int(other))

    def __le__(self, other):
        _Num.log.append(("<=", int(self), int(other)))
        return int(self) <= int(other)


def _wide(self, Pms_Text):
    # a width of its own: one cell for ASCII, two for anything else, emoji included
    _Num.log.append(("width", Pms_Text))
    return sum(1 if ord(c) < 128 else 2 for c in Pms_Text)


class _Wide(CLASS_Pelmar):
    CUF_strlen = _wide


def _instance_strlen(obj):
    obj.CUF_strlen = _wide.__get__(obj)


@pytest.mark.parametrize("cls,prepare", [(CLASS_Pelmar, None), (_Wide, None), (CLASS_Pelmar, _instance_strlen)],
                         ids=["own", "class", "instance"])
@pytest.mark.parametrize("cols,rows,text", [
    (80, 24, STATUS_TEXT), (80, 11, "x" * 100), (20, 12, "x" * 19), (16, 24, STATUS_TEXT), (5, 24, "ab狀cd"),
    (1, 24, "xyz"), (12, 24, "abcdéfghijklmn"), (9, 24, "😀😀😀😀😀😀"), (7, 24, "a😀b😀c😀"),
])
def test_status_line_follows_its_twin(monkeypatch, cls, prepare, cols, rows, text):
    def run(status):
        log = _Num.log = []
        curses_ = _LookingCurses("curses", log)
        scr = _LookingWindow("scr", log)
        monkeypatch.setattr(PelmarDeck, "Gobj_curses", curses_)
        obj = cls(curses_, scr)
        if prepare:
            prepare(obj)
        scr.size = (_Num(rows), _Num(cols))
        del log[:]
        try:
            status(obj, text)
            outcome = "ok"
        except Exception as e:
            outcome = repr(e)
        return outcome, log, obj

    (outcome, log, obj), (twin_outcome, twin_log, _) = run(CLASS_Pelmar.CUF_PrintSTATUS), run(PelmarTwin.CUF_PrintSTATUS)
    assert (outcome, log) == (twin_outcome, twin_log)
    for written in [e[4] for e in log if e[:2] == ("scr", "addstr")]:
        assert obj.CUF_strlen(written) <= max(cols - 1, 0)
