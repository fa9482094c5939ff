# Types of the OrvanDeck extension module (live dashboard over rich).
# Methods are method descriptors whose self is positional-only, hence "self, /".
import random as random
from collections.abc import Hashable, Iterator, Sequence
from contextlib import contextmanager as contextmanager
from datetime import datetime as datetime
from enum import Enum as Enum
from time import sleep as sleep
from typing import TypedDict

from rich.console import Console as Console, Group as Group, RenderableType
from rich.live import Live as Live
from rich.progress import BarColumn as BarColumn, Progress as Progress, TaskID, TextColumn as TextColumn
from rich.style import StyleType
from rich.table import Table as Table
from rich.text import Text as Text

class ENUM_RichColor(str, Enum):
    """The 22 colour names rich knows, as str members (cE_RCH_RED == "red"): pass a member
    wherever a method takes a colour; in your own markup strings use its .value."""

    cE_RCH_BLACK = "black"
    cE_RCH_RED = "red"
    cE_RCH_GREEN = "green"
    cE_RCH_YELLOW = "yellow"
    cE_RCH_BLUE = "blue"
    cE_RCH_MAGENTA = "magenta"
    cE_RCH_CYAN = "cyan"
    cE_RCH_WHITE = "white"
    cE_RCH_GREY = "grey"
    cE_RCH_ORANGE = "orange"
    cE_RCH_PINK = "pink"
    cE_RCH_PURPLE = "purple"
    cE_RCH_BROWN = "brown"
    cE_RCH_TEAL = "teal"
    cE_RCH_BRIGHT_BLACK = "bright_black"
    cE_RCH_BRIGHT_RED = "bright_red"
    cE_RCH_BRIGHT_GREEN = "bright_green"
    cE_RCH_BRIGHT_YELLOW = "bright_yellow"
    cE_RCH_BRIGHT_BLUE = "bright_blue"
    cE_RCH_BRIGHT_MAGENTA = "bright_magenta"
    cE_RCH_BRIGHT_CYAN = "bright_cyan"
    cE_RCH_BRIGHT_WHITE = "bright_white"
    # Enum's lookup by value, not str's constructor: ENUM_RichColor("red")
    def __new__(cls, value: str) -> ENUM_RichColor: ...

# One entry of CLASS_Orvan.tables: the caller's own column and row objects.
class _TableEntry(TypedDict):
    columns: Sequence[RenderableType]
    rows: dict[Hashable, Sequence[object]]

class CLASS_Orvan:
    """A live dashboard on the terminal: a log, a one-line message, keyed tables and a progress
    bar, redrawn in place by rich until CUF_Close (call it in a finally block).
    Errors of rich and the interpreter reach the caller unchanged."""

    console: Console
    Pmi_RefreshRate: float
    Pmi_LogLines: int
    live: Live
    tables: dict[str, _TableEntry]
    logs: list[str]
    single_line_msg: str
    progress_bar: Progress | None
    progress_task_id: TaskID | None
    def __init__(self, /, Pmi_RefreshRate: float = 4, Pmi_LogLines: int = 10) -> None:
        """Make a console and start a live display redrawing Pmi_RefreshRate times a second; the
        log shows the newest Pmi_LogLines lines. Raises whatever rich raises."""
    def _render_group(self, /) -> Group:
        """The current content as a rich Group: log, message, tables, progress bar.
        Raises rich.errors.MarkupError for bad markup in a stored log line or message."""
    def CUF_AddTable(self, /, Pms_TableID: str, Pml_Columns: Sequence[RenderableType]) -> None:
        """Declare a table titled Pms_TableID with these column headers and refresh; nothing if the
        id exists. Raises TypeError for an unhashable id, rich's MarkupError or NotRenderableError
        for a title or header rich could not draw (nothing is stored then)."""
    def CUF_DisplayMulti(self, /, Pms_TableID: str, Pms_RowKey: Hashable, Pml_ValueList: Sequence[object]) -> None:
        """Set the row under Pms_RowKey (new keys go last, known keys keep their place; cells shown
        with str()) and refresh. Raises KeyError for a table not added (or cleared since),
        TypeError for an unhashable key, MarkupError for a cell with bad markup (row unchanged), or
        what a cell of any table raises when composed (its str() may have changed since)."""
    def CUF_Print(self, /, Pms_MsgStr: str) -> None:
        """Print once above the live region (console markup applies).
        Raises rich.errors.MarkupError for bad markup."""
    # contextmanager-wrapped plain function: self is an ordinary parameter here
    @contextmanager
    def CUF_Status(self, Pms_MsgSTR: str) -> Iterator[None]:
        """A context manager showing a spinner with the message while the with block runs.
        Entering raises rich.errors.NotRenderableError for a message rich cannot render (not a
        str or renderable). What the block raises reaches the caller after the spinner stopped."""
    def CUF_DisplaySingle(self, /, Pms_MsgSTR: str, Pms_Color: str = "cyan") -> None:
        """Set the one-line message, in Pms_Color, and refresh.
        Raises rich.errors.MarkupError for bad markup."""
    def CUF_AddLog(self, /, Pms_LogMsg: str, Pms_Color: str = "white") -> None:
        """Append "[YYYY/MM/DD-HH:MM:SS] message" in Pms_Color to the log and refresh.
        Raises rich.errors.MarkupError for bad markup, also for a line that parses only together
        with earlier lines (nothing is appended then)."""
    def CUF_ProgressStartP(
        self,
        /,
        Pms_Description: str = "Progress",
        Pmi_Total: float | None = 100,
        Pms_BarColor: StyleType = "green",
        Pmf_PercentWidth: float = 0.3,
    ) -> None:
        """Replace the progress bar by a new one max(10, int(console width * Pmf_PercentWidth))
        cells wide, shown from the next refresh. Raises what the width computation or rich raises,
        MarkupError for a bad description, MissingStyle for a colour that is not a style, and the
        TypeError or InvalidOperation of drawing a total rich cannot compare ("10", 3j)."""
    def CUF_ProgressAdvance(self, /, Pmi_Step: float = 1) -> None:
        """Advance the bar by Pmi_Step and refresh; nothing without a bar."""
    def CUF_ProgressStop(self, /) -> None:
        """Remove the bar and refresh; nothing without a bar."""
    def CUF_Clear(self, /) -> None:
        """Empty the log, the tables and the message (the bar stays) and refresh."""
    def CUF_Close(self, /) -> None:
        """Stop the live display, giving the terminal its cursor back, then remove the bar;
        the state stays readable. Raises what the final redraw raises (a renderable of the
        caller's that fails when drawn)."""
