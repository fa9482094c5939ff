"""PelmarDeck on real curses in a real terminal (tmux panes of fixed size)."""

import curses

from pelmar_fakes import CursesChild

C = curses
DEFAULT_PAIRS = [[C.COLOR_WHITE, C.COLOR_BLACK], [C.COLOR_RED, C.COLOR_BLACK],
                 [C.COLOR_GREEN, C.COLOR_BLACK], [C.COLOR_CYAN, C.COLOR_BLACK],
                 [C.COLOR_BLACK, C.COLOR_WHITE]]


def fg_on_black(screen, row, start, end, fg):
    # curses takes white on black for the terminal's default colours and may
    # then send no colour at all
    fgs = {fg, None} if fg == C.COLOR_WHITE else {fg}
    colours = screen.colours(row, start, end)
    assert all(f in fgs and b in (None, C.COLOR_BLACK) for f, b in colours), colours


def test_colour_pairs_installed(tmux_factory, tmp_path):
    child = CursesChild(tmux_factory(), tmp_path, """
        p = CLASS_Pelmar(curses, stdscr)

        def pairs():
            return [list(curses.pair_content(n)) for n in range(1, 6)]

        out = {"default": pairs()}
        p.CUF_SET_ColorTable([curses.COLOR_YELLOW, curses.COLOR_BLUE, curses.COLOR_MAGENTA],
                             (curses.COLOR_BLUE, curses.COLOR_YELLOW, curses.COLOR_RED))
        out["three"] = pairs()
        try:
            p.CUF_SET_ColorTable([curses.COLOR_RED, curses.COLOR_GREEN], [curses.COLOR_WHITE])
            out["short"] = "no error"
        except IndexError:
            out["short"] = pairs()
        p.CUF_SET_ColorTableDefault()
        out["restored"] = pairs()
        report("pairs", out)
    """)
    out = child.result("pairs")
    three = [[C.COLOR_YELLOW, C.COLOR_BLUE], [C.COLOR_BLUE, C.COLOR_YELLOW],
             [C.COLOR_MAGENTA, C.COLOR_RED]] + DEFAULT_PAIRS[3:]
    assert out == {
        "default": DEFAULT_PAIRS,
        "three": three,
        "short": [[C.COLOR_RED, C.COLOR_WHITE]] + three[1:],
        "restored": DEFAULT_PAIRS,
    }


def test_text_lands_in_cells(tmux_factory, tmp_path):
    term = tmux_factory(80, 24)
    child = CursesChild(term, tmp_path, """
        p = CLASS_Pelmar(curses, stdscr)
        p.CUF_PrintXY(5, 1, "ABC", 0)
        p.CUF_PrintXY(5, 3, "中文ab", 2)
        p.CUF_PrintXY(79, 5, "Z", 4)
        p.CUF_PrintXY(80, 6, "NO", 1)
        p.CUF_PrintXY(0, 24, "NO", 1)
        p.CUF_PrintC(7, "hello")
        p.CUF_PrintC(8, "狀態列")
        p.CUF_Move(2, 9)
        p.CUF_Print("mv")
        p.CUF_PrintSTATUS("x" * 60)
        p.CUF_PrintSTATUS("[ s ]")
        p.CUF_Refresh()
        report("drawn", p.CUF_GET_SCR_MAX())
        report("key", p.CUF_GetKey())
    """)
    assert child.result("drawn") == [80, 24]
    s = child.screen_when(lambda s: s.find(23, "[ s ]") == 0, what="status line")
    assert s.find(1, "ABC") == 5
    # two cells per ideograph
    assert [s.cells[3][c][0] for c in range(5, 11)] == ["中", "", "文", "", "a", "b"]
    fg_on_black(s, 3, 5, 11, C.COLOR_RED)
    assert s.cells[5][79][0] == "Z"
    fg_on_black(s, 5, 79, 80, C.COLOR_CYAN)
    assert "NO" not in str(s)
    assert s.find(7, "hello") == 37
    fg_on_black(s, 7, 37, 42, C.COLOR_WHITE)
    assert s.find(8, "狀態列") == 37
    assert s.find(9, "mv") == 2
    # status: text plus padding over columns 0..78, the longer text gone
    assert s.text(23, 0, 79) == "[ s ]" + " " * 74
    assert s.colours(23, 0, 79) == {(C.COLOR_BLACK, C.COLOR_WHITE)}
    assert s.colours(23, 79, 80) != {(C.COLOR_BLACK, C.COLOR_WHITE)}
    term.literal("q")
    assert child.result("key") == ord("q")


def test_window_shows_only_after_its_refresh(tmux_factory, tmp_path):
    child = CursesChild(tmux_factory(80, 24), tmp_path, """
        p = CLASS_Pelmar(curses, stdscr)
        w = p.CUF_Create_Window(5, 2, 30, 10)
        p.CUF_PrintXYW(w, 1, 1, "inwin", curses.color_pair(4))
        p.CUF_PrintW(w, "+cur")
        p.CUF_PrintXY(0, 0, "stdscr", 0)
        p.CUF_Refresh()
        report("before")
        wait_go("refresh_window")
        p.CUF_RefreshW(w)
        report("after")
        wait_go("end")
    """)
    child.result("before")
    s = child.screen_when(lambda s: s.find(0, "stdscr") == 0, what="standard screen")
    assert "inwin" not in str(s) and "+cur" not in str(s)
    child.go("refresh_window")
    child.result("after")
    s = child.screen_when(lambda s: "inwin" in s.text(3), what="window")
    # window origin (5, 2) plus position (1, 1); CUF_PrintW continues at the cursor
    assert s.find(3, "inwin+cur") == 6
    fg_on_black(s, 3, 6, 11, C.COLOR_CYAN)
    assert s.find(0, "stdscr") == 0
    child.go("end")


def test_input_reads_typed_line(tmux_factory, tmp_path):
    term = tmux_factory(80, 24)
    child = CursesChild(term, tmp_path, """
        p = CLASS_Pelmar(curses, stdscr)
        p.CUF_PrintXY(0, 0, "ready", 0)
        p.CUF_Refresh()
        report("ready")
        text = p.CUF_Input(4, 10, 20)
        report("first", [type(text).__name__, text])
        report("key", p.CUF_GetKey())
        text = p.CUF_Input(4, 12, 20)
        report("empty", [type(text).__name__, text])
        text = p.CUF_Input(4, 14, 20)
        report("wide", [type(text).__name__, text])
        wait_go("end")
    """)
    child.result("ready")
    term.literal("abc")
    term.keys("Enter")
    assert child.result("first") == ["str", "abc"]
    term.literal("z")
    assert child.result("key") == ord("z")
    # typed text stays, and echo stays on for the key read afterwards
    s = child.screen_when(lambda s: "z" in str(s), what="echoed key")
    assert s.find(10, "abc") == 4
    term.keys("Enter")
    assert child.result("empty") == ["str", ""]
    term.literal("中文")
    term.keys("Enter")
    assert child.result("wide") == ["str", "中文"]
    child.go("end")
