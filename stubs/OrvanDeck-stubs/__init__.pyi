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
    console: Console
    Pmi_RefreshRate: float
    Pmi_LogLines: int
    live: Live
    tables: dict[str, _TableEntry]
    logs: list[str]
    single_line_msg: str
    progress_bar: Progress | None
    progress_task_id: TaskID | None
    def __init__(self, /, Pmi_RefreshRate: float = 4, Pmi_LogLines: int = 10) -> None: ...
    def _render_group(self, /) -> Group: ...
    def CUF_AddTable(self, /, Pms_TableID: str, Pml_Columns: Sequence[RenderableType]) -> None: ...
    def CUF_DisplayMulti(self, /, Pms_TableID: str, Pms_RowKey: Hashable, Pml_ValueList: Sequence[object]) -> None: ...
    def CUF_Print(self, /, Pms_MsgStr: str) -> None: ...
    # contextmanager-wrapped plain function: self is an ordinary parameter here
    @contextmanager
    def CUF_Status(self, Pms_MsgSTR: str) -> Iterator[None]: ...
    def CUF_DisplaySingle(self, /, Pms_MsgSTR: str, Pms_Color: str = "cyan") -> None: ...
    def CUF_AddLog(self, /, Pms_LogMsg: str, Pms_Color: str = "white") -> None: ...
    def CUF_ProgressStartP(
        self,
        /,
        Pms_Description: str = "Progress",
        Pmi_Total: float | None = 100,
        Pms_BarColor: StyleType = "green",
        Pmf_PercentWidth: float = 0.3,
    ) -> None: ...
    def CUF_ProgressAdvance(self, /, Pmi_Step: float = 1) -> None: ...
    def CUF_ProgressStop(self, /) -> None: ...
    def CUF_Clear(self, /) -> None: ...
    def CUF_Close(self, /) -> None: ...
