# Types of the PelmarDeck extension module (thin curses screen wrapper).
# Methods are method descriptors whose self is positional-only, hence "self, /".
# Positions are (column, row) and sizes (width, height), the reverse of curses.
import curses
import os as os
import sys as sys
from collections.abc import Sequence
from types import ModuleType
from typing import NoReturn

Gobj_curses = curses

class CLASS_Pelmar:
    """A thin curses screen: text at (column, row) in colour pairs 1-5, centred text, a status
    line, keys, line input and sub-windows. Widths count as in Big5. It never calls curses.endwin:
    use it inside curses.wrapper, or call curses.endwin yourself."""

    CVobj_Curses: ModuleType
    CVobj_STDSCR: curses.window
    CVobj_Window: curses.window
    def __init__(self, /, Pobj_Curses: ModuleType, Pobj_STDSCR: curses.window) -> None:
        """Start curses and colours, clear and refresh the screen, install colour pairs 1-5 (white,
        red, green, cyan on black; black on white). Raises RuntimeError("CLASS_Pelmar not support
        windows platform") when Pobj_Curses is None."""
    def CUF_clear(self, /) -> None:
        """Clear the screen (shown at the next refresh)."""
    def CUF_strlen(self, /, Pms_Text: str) -> int:
        """Display width in cells: the length of the Big5 encoding (a Chinese character counts 2).
        Raises UnicodeEncodeError for text Big5 lacks ("café", "€", "✓", emoji)."""
    def CUF_SET_ColorTableDefault(self, /) -> None:
        """Reinstall the default colour pairs 1-5."""
    def CUF_SET_ColorTable(self, /, PmUa_FG_COLOR: Sequence[int], PmUa_BK_COLOR: Sequence[int]) -> None:
        """Start colour and set pair n+1 to PmUa_FG_COLOR[n] on PmUa_BK_COLOR[n]. Raises IndexError
        when the background list is shorter, ValueError for colours or pairs the terminal lacks."""
    def CUF_GET_SCR_MAX(self, /) -> tuple[int, int]:
        """The screen size as (columns, rows)."""
    def CUF_GetKey(self, /) -> int:
        """Wait for the next key and return it as getch gives it (an int; arrow keys are
        curses.KEY_* once keypad mode is on)."""
    def CUF_Input(self, /, Pmi_PosX: int, Pmi_PosY: int, Pmi_MAX_LEN: int) -> str:
        """Turn echo on (it stays on) and read a line of at most Pmi_MAX_LEN characters at the
        position; returns the typed text as str, "" off the screen.
        Raises ValueError for a negative length."""
    def CUF_Print(self, /, Pms_Text: str) -> None:
        """Write at the cursor. Raises curses.error when the text runs past the bottom-right cell."""
    def CUF_PrintXY(self, /, Pmi_PosX: int, Pmi_PosY: int, Pms_Text: str, Pmi_ColorTableIndex: int) -> None:
        """Write at the position in colour pair Pmi_ColorTableIndex (0 or less: no colour); skipped at or
        beyond the right or bottom edge. Raises curses.error for a negative position or a text
        that runs into the bottom-right cell."""
    def CUF_PrintC(self, /, Pmi_PosY: int, Pms_Text: str) -> None:
        """Write the text centred on row Pmi_PosY in pair 1; skipped below the screen. Raises
        UnicodeEncodeError for text Big5 lacks, curses.error for text wider than the screen."""
    def CUF_PrintSTATUS(self, /, Pms_Text: str) -> None:
        """Fill the bottom row with the text padded (or cut) to W-1 cells in pair 5; nothing on
        screens of 11 rows or fewer. Raises UnicodeEncodeError for text Big5 lacks."""
    def CUF_Refresh(self, /) -> None:
        """Show on the terminal what was written to the screen."""
    def CUF_Move(self, /, Pmi_PosX: int, Pmi_PosY: int) -> None:
        """Move the cursor to the position. Raises curses.error off the screen."""
    def CUF_Create_Window(self, /, Pmi_PosX: int, Pmi_PosY: int, Pmi_Width: int, Pmi_Height: int) -> curses.window:
        """Make a Pmi_Width x Pmi_Height window at the position (as curses.newwin: it may reach
        beyond the screen), keep it as CVobj_Window and return it. Raises curses.error for a
        negative position or size."""
    def CUF_PrintW(self, /, Pobj_Window: curses.window, Pms_Text: str) -> None:
        """Write at the window's cursor. Raises curses.error when the text runs past the window's
        bottom-right cell."""
    def CUF_PrintXYW(
        self, /, Pobj_Window: curses.window, Pmi_PosX: int, Pmi_PosY: int, Pms_Text: str, Pmi_ColorTableIndex: int
    ) -> None:
        """Write at the position in the window with the curses attribute Pmi_ColorTableIndex
        (curses.color_pair(n), not a pair number). Raises curses.error outside the window or when
        the text runs past its bottom-right cell."""
    def CUF_RefreshW(self, /, Pobj_Window: curses.window) -> None:
        """Show on the terminal what was written to the window."""

def main(Pobj_STDSCR: curses.window) -> NoReturn:
    """The demonstration: the screen size, a counter and the status line, redrawn until an
    exception (Ctrl-C) ends it. Run it with deckrun PelmarDeck or curses.wrapper(main)."""
