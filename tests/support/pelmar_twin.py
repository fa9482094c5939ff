"""PelmarDeck in plain Python: the same methods, curses calls and call order,
including attroff in a finally, cutting an over-wide status text, and decoding
getstr.

The one twin of the screen. The benchmarks time it against the extension; the
tests compare with its methods, called on the extension's objects. Test and
benchmark code: never shipped.
"""
import sys  # noqa: F401  (imported as the extension does)
import os  # noqa: F401
import curses as Gobj_curses


class CLASS_Pelmar:
    def __init__(self, Pobj_Curses, Pobj_STDSCR):
        if Pobj_Curses is None:
            raise RuntimeError("CLASS_Pelmar not support windows platform")
        self.CVobj_Curses = Pobj_Curses
        self.CVobj_STDSCR = Pobj_STDSCR
        self.CVobj_Curses.initscr()
        Pobj_STDSCR.clear()
        Pobj_STDSCR.refresh()
        self.CUF_SET_ColorTableDefault()

    def CUF_clear(self):
        self.CVobj_STDSCR.clear()

    def CUF_strlen(self, Pms_Text):
        return len(Pms_Text.encode("big5"))

    def CUF_SET_ColorTableDefault(self):
        c = Gobj_curses
        self.CUF_SET_ColorTable(
            [c.COLOR_WHITE, c.COLOR_RED, c.COLOR_GREEN, c.COLOR_CYAN, c.COLOR_BLACK],
            [c.COLOR_BLACK, c.COLOR_BLACK, c.COLOR_BLACK, c.COLOR_BLACK, c.COLOR_WHITE],
        )

    def CUF_SET_ColorTable(self, PmUa_FG_COLOR, PmUa_BK_COLOR):
        self.CVobj_Curses.start_color()
        for c in range(len(PmUa_FG_COLOR)):
            self.CVobj_Curses.init_pair(c + 1, PmUa_FG_COLOR[c], PmUa_BK_COLOR[c])

    def CUF_GET_SCR_MAX(self):
        mi_SCRMAX_Y, mi_SCRMAX_X = self.CVobj_STDSCR.getmaxyx()
        return (mi_SCRMAX_X, mi_SCRMAX_Y)

    def CUF_GetKey(self):
        return self.CVobj_STDSCR.getch()

    def CUF_Input(self, Pmi_PosX, Pmi_PosY, Pmi_MAX_LEN):
        self.CVobj_Curses.echo()
        stdscr = self.CVobj_STDSCR
        ms_Input = stdscr.getstr(Pmi_PosY, Pmi_PosX, Pmi_MAX_LEN)
        if not isinstance(ms_Input, (bytes, bytearray)):
            return str(ms_Input)
        encoding = getattr(stdscr, "encoding", None)
        if encoding is None:
            encoding = "utf-8"
        return ms_Input.decode(encoding, "replace")

    def CUF_Print(self, Pms_Text):
        self.CVobj_STDSCR.addstr(Pms_Text)

    def CUF_PrintXY(self, Pmi_PosX, Pmi_PosY, Pms_Text, Pmi_ColorTableIndex):
        mi_W, mi_H = self.CUF_GET_SCR_MAX()
        if Pmi_PosX >= mi_W:
            return
        if Pmi_PosY >= mi_H:
            return
        if Pmi_ColorTableIndex > 0:
            self.CVobj_STDSCR.addstr(Pmi_PosY, Pmi_PosX, Pms_Text, self.CVobj_Curses.color_pair(Pmi_ColorTableIndex))
        else:
            self.CVobj_STDSCR.addstr(Pmi_PosY, Pmi_PosX, Pms_Text)

    def CUF_PrintC(self, Pmi_PosY, Pms_Text):
        mi_W, mi_H = self.CUF_GET_SCR_MAX()
        if Pmi_PosY >= mi_H:
            return
        mi_TextLen = self.CUF_strlen(Pms_Text)
        mi_PosX = int((mi_W - mi_TextLen) // 2)
        self.CUF_PrintXY(mi_PosX, Pmi_PosY, Pms_Text, 1)

    def CUF_PrintSTATUS(self, Pms_Text):
        mi_W, mi_H = self.CUF_GET_SCR_MAX()
        mi_SPACE_CNT = mi_W - self.CUF_strlen(Pms_Text) - 1
        if mi_H - 1 <= 10:
            return
        if isinstance(Pms_Text, str) and mi_SPACE_CNT < 0:
            # Too wide: the longest prefix that self.CUF_strlen (which a subclass or the
            # instance may replace) measures within W-1 cells, found by halving on its length.
            cells = max(mi_W - 1, 0)
            lo, hi = 0, len(Pms_Text)
            while lo < hi:
                mid = lo + (hi - lo + 1) // 2
                if self.CUF_strlen(Pms_Text[:mid]) <= cells:
                    lo = mid
                else:
                    hi = mid - 1
            Pms_Text = Pms_Text[:lo]
            mi_SPACE_CNT = cells - self.CUF_strlen(Pms_Text)
        self.CVobj_STDSCR.attron(self.CVobj_Curses.color_pair(5))
        try:
            self.CVobj_STDSCR.addstr(mi_H - 1, 0, Pms_Text + " " * mi_SPACE_CNT)
        finally:
            self.CVobj_STDSCR.attroff(self.CVobj_Curses.color_pair(5))

    def CUF_Refresh(self):
        self.CVobj_STDSCR.refresh()

    def CUF_Move(self, Pmi_PosX, Pmi_PosY):
        self.CVobj_STDSCR.move(Pmi_PosY, Pmi_PosX)

    def CUF_Create_Window(self, Pmi_PosX, Pmi_PosY, Pmi_Width, Pmi_Height):
        self.CVobj_Window = Gobj_curses.newwin(Pmi_Height, Pmi_Width, Pmi_PosY, Pmi_PosX)
        return self.CVobj_Window

    def CUF_PrintW(self, Pobj_Window, Pms_Text):
        Pobj_Window.addstr(Pms_Text)

    def CUF_PrintXYW(self, Pobj_Window, Pmi_PosX, Pmi_PosY, Pms_Text, Pmi_ColorTableIndex):
        Pobj_Window.addstr(Pmi_PosY, Pmi_PosX, Pms_Text, Pmi_ColorTableIndex)

    def CUF_RefreshW(self, Pobj_Window):
        Pobj_Window.refresh()


def main(Pobj_STDSCR):
    """The demonstration: the size, a counter and the status line, redrawn until
    an exception (Ctrl-C) ends it."""
    mo_Pelmar = CLASS_Pelmar(Gobj_curses, Pobj_STDSCR)
    mo_Pelmar.CUF_SET_ColorTableDefault()
    mi_Counter = 0
    while True:
        mi_W, mi_H = mo_Pelmar.CUF_GET_SCR_MAX()
        mo_Pelmar.CUF_PrintXY(10, 12, "螢幕尺寸: Width: " + str(mi_W) + ", Height: " + str(mi_H), 3)
        mo_Pelmar.CUF_PrintXY(10, 15, "計數器： " + str(mi_Counter), 2)
        mo_Pelmar.CUF_PrintSTATUS("[ 狀態列顯示列 ]")
        mo_Pelmar.CUF_Move(0, 0)
        mo_Pelmar.CUF_Refresh()
        mi_Counter += 1
        if mi_Counter >= 1000:
            mi_Counter = 0


if __name__ == "__main__":
    Gobj_curses.wrapper(main)
    Gobj_curses.endwin()
