"""OrvanDeck in plain Python: the same class, names, state and rich calls in the
same order, including the rollbacks the extension performs when a refresh raises.

The one twin of the dashboard. The benchmarks time it against the extension; the
tests compare with its methods, some with their globals rebound to the
extension's (``type(f)(f.__code__, vars(OrvanDeck))``). Module globals are
looked up at each call, as in the extension, so either can rebind Console (or
Table, Text, Group) here too. Test and benchmark code: never shipped.
"""
from enum import Enum
from datetime import datetime
from contextlib import contextmanager
from rich.live import Live
from rich.console import Console, Group
from rich.table import Table
from rich.progress import Progress, BarColumn, TextColumn
from rich.text import Text


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


_MISSING = object()


class CLASS_Orvan:
    def __init__(self, Pmi_RefreshRate=4, Pmi_LogLines=10):
        self.console = Console()
        self.Pmi_RefreshRate = Pmi_RefreshRate
        self.Pmi_LogLines = Pmi_LogLines
        self.live = None
        self.tables = {}
        self.logs = []
        self.single_line_msg = ""
        self.progress_bar = None
        self.progress_task_id = None
        self.live = Live(self._render_group(), console=self.console, refresh_per_second=self.Pmi_RefreshRate)
        self.live.start()

    def _render_group(self):
        elements = []
        if self.logs:
            # the text is joined before Text.from_markup is looked up, as the extension does
            log_text = "\n".join(self.logs[-self.Pmi_LogLines:])
            elements.append(Text.from_markup(log_text))
        if self.single_line_msg:
            elements.append(Text.from_markup(self.single_line_msg))
        for table_id, entry in self.tables.items():
            table = Table(title=table_id)
            for col in entry["columns"]:
                table.add_column(col, justify="center")
            for values in entry["rows"].values():
                table.add_row(*[str(v) for v in values])
            elements.append(table)
        if self.progress_bar:
            elements.append(self.progress_bar.get_renderable())
        return Group(*elements)

    def CUF_AddTable(self, Pms_TableID, Pml_Columns):
        if Pms_TableID in self.tables:
            return
        tables = self.tables
        tables[Pms_TableID] = {"columns": Pml_Columns, "rows": {}}
        try:
            self.live.update(self._render_group())
        except BaseException:
            del tables[Pms_TableID]
            raise

    def CUF_DisplayMulti(self, Pms_TableID, Pms_RowKey, Pml_ValueList):
        if Pms_TableID not in self.tables:
            raise KeyError(f"Table '{Pms_TableID}' not exists. Call CUF_AddTable() first.")
        rows = self.tables[Pms_TableID]["rows"]
        previous = rows.get(Pms_RowKey, _MISSING)
        rows[Pms_RowKey] = Pml_ValueList
        try:
            self.live.update(self._render_group())
        except BaseException:
            if previous is _MISSING:
                del rows[Pms_RowKey]
            else:
                rows[Pms_RowKey] = previous
            raise

    def CUF_Print(self, Pms_MsgStr: str):
        self.console.print(Pms_MsgStr)

    @contextmanager
    def CUF_Status(self, Pms_MsgSTR: str):
        with self.console.status(Pms_MsgSTR):
            yield

    # Colours are plain strings in every benchmark, where an f-string gives the
    # same text as the extension's format of each piece.
    def CUF_DisplaySingle(self, Pms_MsgSTR, Pms_Color="cyan"):
        previous = self.single_line_msg
        self.single_line_msg = f"[{Pms_Color}]{Pms_MsgSTR}[/{Pms_Color}]"
        try:
            self.live.update(self._render_group())
        except BaseException:
            self.single_line_msg = previous
            raise

    def CUF_AddLog(self, Pms_LogMsg, Pms_Color="white"):
        ts = datetime.now().strftime("%Y/%m/%d-%H:%M:%S")
        log_text = f"[{Pms_Color}][{ts}] {Pms_LogMsg}[/{Pms_Color}]"
        logs = self.logs
        logs.append(log_text)
        try:
            self.live.update(self._render_group())
        except BaseException:
            for i in range(len(logs) - 1, -1, -1):
                if logs[i] is log_text:
                    del logs[i]
                    break
            raise

    def CUF_ProgressStartP(self, Pms_Description="Progress", Pmi_Total=100, Pms_BarColor="green",
                           Pmf_PercentWidth=0.3):
        bar = Progress(
            TextColumn("[progress.description]{task.description}"),
            BarColumn(bar_width=max(10, int(self.console.width * Pmf_PercentWidth)), complete_style=Pms_BarColor),
            TextColumn("[progress.percentage]{task.percentage:>3.0f}%"),
            console=self.console,
            transient=True,
        )
        task_id = bar.add_task(Pms_Description, total=Pmi_Total)
        self.progress_bar = bar
        self.progress_task_id = task_id

    def CUF_ProgressAdvance(self, Pmi_Step=1):
        if not self.progress_bar:
            return
        self.progress_bar.update(self.progress_task_id, advance=Pmi_Step)
        self.live.update(self._render_group())

    def CUF_ProgressStop(self):
        if not self.progress_bar:
            return
        self.progress_bar.stop()
        self.progress_bar = None
        self.progress_task_id = None
        self.live.update(self._render_group())

    def CUF_Clear(self):
        self.logs.clear()
        self.tables.clear()
        self.single_line_msg = ""
        self.live.update(self._render_group())

    def CUF_Close(self):
        if self.live:
            self.live.stop()
        if self.progress_bar:
            self.CUF_ProgressStop()


# The module's body ends with what its demonstration uses; the demonstration
# itself has no twin.
from time import sleep  # noqa: E402,F401
import random  # noqa: E402,F401
