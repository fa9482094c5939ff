"""Keyboard input and sub-windows, against recording fakes."""

import curses

import pytest

from pelmar_fakes import FakeCurses
import PelmarDeck

KEY_SENTINEL = object()


@pytest.mark.parametrize("key", [97, -1, curses.KEY_RESIZE, KEY_SENTINEL])
def test_get_key_returns_getch_unchanged(rig, key):
    obj = rig.screen()
    rig.scr.results["getch"] = key
    assert obj.CUF_GetKey() is key
    assert rig.log == [("scr", "getch")]


@pytest.mark.parametrize("encoding,raw,text", [
    (None, b"abc", "abc"),
    (None, b"", ""),
    (None, bytearray(b"xy"), "xy"),
    (None, "中文".encode("utf-8"), "中文"),
    (None, b"a\xffb", "a\ufffdb"),
    ("utf-8", "é".encode("utf-8"), "é"),
    ("big5", "狀態".encode("big5"), "狀態"),
    ("big5", b"ok\x81", "ok\ufffd"),
    ("latin-1", b"caf\xe9", "café"),
    (None, 42, "42"),
    (None, "typed", "typed"),
], ids=["ascii", "empty", "bytearray", "utf8-default", "bad-utf8", "utf8", "big5",
        "bad-big5", "latin1", "int", "str"])
def test_input_returns_typed_text(rig, encoding, raw, text):
    if encoding is not None:
        rig.scr.encoding = encoding
    rig.scr.results["getstr"] = raw
    obj = rig.screen()
    result = obj.CUF_Input(4, 10, 20)
    assert type(result) is str
    assert result == text
    assert rig.log == [("curses", "echo"), ("scr", "getstr", 10, 4, 20)]


@pytest.fixture
def global_curses(rig, monkeypatch):
    # CUF_Create_Window uses the module global, not the object's curses
    fake = FakeCurses("global", rig.log)
    monkeypatch.setattr(PelmarDeck, "Gobj_curses", fake)
    return fake


def test_create_window_swaps_to_curses_order(rig, global_curses):
    obj = rig.screen()
    win = obj.CUF_Create_Window(5, 2, 30, 10)
    assert rig.log == [("global", "newwin", 10, 30, 2, 5)]
    assert win is obj.CVobj_Window is global_curses.windows[0]


def test_second_window_replaces_kept_one_first_still_usable(rig, global_curses):
    obj = rig.screen()
    first = obj.CUF_Create_Window(5, 2, 30, 10)
    second = obj.CUF_Create_Window(Pmi_Height=0, Pmi_Width=0, Pmi_PosY=1, Pmi_PosX=3)
    assert obj.CVobj_Window is second is not first
    del rig.log[:]
    assert obj.CUF_PrintW(first, "at cursor") is None
    assert obj.CUF_PrintXYW(first, 3, 1, "placed", 0) is None
    assert obj.CUF_RefreshW(first) is None
    assert rig.log == [("win1", "addstr", "at cursor"), ("win1", "addstr", 1, 3, "placed", 0),
                       ("win1", "refresh")]


@pytest.mark.parametrize("attr", [0, 512, curses.A_BOLD | 1024, "not-an-int"])
def test_print_xyw_passes_attribute_unchanged(rig, attr):
    obj = rig.screen()
    obj.CUF_PrintXYW(rig.scr, 300, 200, "t", attr)
    # no bound test, no screen size, no color_pair
    assert rig.log == [("scr", "addstr", 200, 300, "t", attr)]


def test_create_window_failure_keeps_previous(rig, global_curses):
    obj = rig.screen()
    global_curses.results["newwin"] = boom = curses.error("does not fit")
    with pytest.raises(curses.error) as err:
        obj.CUF_Create_Window(0, 0, 500, 500)
    assert err.value is boom
    assert "CVobj_Window" not in vars(obj)
    del global_curses.results["newwin"]
    kept = obj.CUF_Create_Window(0, 0, 1, 1)
    global_curses.results["newwin"] = boom
    with pytest.raises(curses.error):
        obj.CUF_Create_Window(0, 0, 500, 500)
    assert obj.CVobj_Window is kept
