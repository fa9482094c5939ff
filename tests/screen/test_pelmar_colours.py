"""Construction of CLASS_Pelmar and the colour-pair table, against recording fakes."""

import contextlib

import pytest

from pelmar_fakes import BG_DEFAULT, FG_DEFAULT, FakeCurses, FalsyFakeCurses, construction_calls
import PelmarDeck
from PelmarDeck import CLASS_Pelmar

MESSAGE = "CLASS_Pelmar not support windows platform"


@pytest.mark.parametrize("curses_cls", [FakeCurses, FalsyFakeCurses])
def test_construction_sequence(rig, monkeypatch, curses_cls):
    # a falsy object that claims equality with None is still not None
    fake = curses_cls("curses", rig.log)
    monkeypatch.setattr(PelmarDeck, "Gobj_curses", fake)
    obj = CLASS_Pelmar(fake, rig.scr)
    assert rig.log == construction_calls()
    assert vars(obj) == {"CVobj_Curses": fake, "CVobj_STDSCR": rig.scr}
    # every construction starts curses and installs the table again
    CLASS_Pelmar(fake, rig.scr)
    assert rig.log == construction_calls() * 2


def test_colour_numbers_come_from_module_global(rig, monkeypatch):
    # colours are read from Gobj_curses, the calls go to the object's own curses
    monkeypatch.setattr(PelmarDeck, "Gobj_curses", FakeCurses("global", rig.log, prefix="g-"))
    CLASS_Pelmar(rig.curses, rig.scr)
    assert rig.log == construction_calls()[:4] + [
        ("curses", "init_pair", n + 1, "g-" + fg, "g-" + bg)
        for n, (fg, bg) in enumerate(zip(FG_DEFAULT, BG_DEFAULT))]


@pytest.mark.parametrize("scr", ["fake", None, 0])
def test_none_curses_refused_before_anything(rig, scr):
    obj = CLASS_Pelmar.__new__(CLASS_Pelmar)
    with pytest.raises(RuntimeError) as err:
        obj.__init__(None, rig.scr if scr == "fake" else scr)
    assert type(err.value) is RuntimeError
    assert err.value.args == (MESSAGE,)
    assert vars(obj) == {}
    assert rig.log == []


def test_curses_without_initscr_leaves_half_made_object(rig):
    obj = CLASS_Pelmar.__new__(CLASS_Pelmar)
    bare = object()
    with pytest.raises(AttributeError):
        obj.__init__(bare, rig.scr)
    assert obj.CVobj_Curses is bare and obj.CVobj_STDSCR is rig.scr
    assert rig.log == []


class _IndexOnly:
    """Indexable, but without a length."""

    def __getitem__(self, i):
        return "bg%d" % i


@pytest.mark.parametrize("fg,bg,error,pairs", [
    ([], [], None, []),
    ((), ["x"], None, []),
    (["a"], ["x", "y", "z"], None, [(1, "a", "x")]),
    (("a", "b", "c"), ("x", "y", "z"), None, [(1, "a", "x"), (2, "b", "y"), (3, "c", "z")]),
    (["a", "b"], _IndexOnly(), None, [(1, "a", "bg0"), (2, "b", "bg1")]),
    (["a", "b"], ["x"], IndexError, [(1, "a", "x")]),
    (5, ["x"], TypeError, []),
], ids=["empty", "empty-tuple", "extra-bg", "tuples", "bg-no-len", "short-bg", "fg-no-len"])
def test_colour_table(rig, fg, bg, error, pairs):
    obj = rig.screen()
    with pytest.raises(error) if error else contextlib.nullcontext():
        assert obj.CUF_SET_ColorTable(fg, bg) is None
    assert rig.log == [("curses", "start_color")] + [("curses", "init_pair", *p) for p in pairs]


def test_default_table_restores_five_pairs(rig):
    obj = rig.screen()
    assert obj.CUF_SET_ColorTableDefault() is None
    assert rig.log == construction_calls()[3:]


def test_default_table_missing_colour_name(rig, monkeypatch):
    obj = rig.screen()
    monkeypatch.setattr(PelmarDeck, "Gobj_curses", FakeCurses("g", rig.log, omit=("COLOR_CYAN",)))
    with pytest.raises(AttributeError):
        obj.CUF_SET_ColorTableDefault()
    assert rig.log == []


def test_subclass_receives_default_lists(rig):
    seen = []

    class Sub(CLASS_Pelmar):
        def CUF_SET_ColorTable(self, PmUa_FG_COLOR, PmUa_BK_COLOR):
            seen.append((PmUa_FG_COLOR, PmUa_BK_COLOR))

    obj = Sub(rig.curses, rig.scr)
    assert seen == [(FG_DEFAULT, BG_DEFAULT)]
    assert all(type(lst) is list for lst in seen[0])
    # the override replaced start_color and init_pair entirely
    assert rig.log == construction_calls()[:3]
    obj.CUF_SET_ColorTableDefault()
    assert seen == [(FG_DEFAULT, BG_DEFAULT)] * 2
