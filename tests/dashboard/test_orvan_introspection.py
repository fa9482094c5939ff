"""OrvanDeck: module globals, the colour enumeration, the class and its
method signatures, argument binding errors, and what a plain import does."""

import contextlib
import datetime as datetime_module
import enum
import inspect
import json
import random as random_module
import subprocess
import sys
import time

import pytest

import OrvanDeck
from pelmar_fakes import terminal_env

import rich.console
import rich.live
import rich.progress
import rich.table
import rich.text

EXPECTED_GLOBALS = [
    "Enum",
    "datetime",
    "contextmanager",
    "Live",
    "Console",
    "Group",
    "Table",
    "Progress",
    "BarColumn",
    "TextColumn",
    "Text",
    "ENUM_RichColor",
    "CLASS_Orvan",
    "sleep",
    "random",
]

COLOURS = [
    ("cE_RCH_BLACK", "black"),
    ("cE_RCH_RED", "red"),
    ("cE_RCH_GREEN", "green"),
    ("cE_RCH_YELLOW", "yellow"),
    ("cE_RCH_BLUE", "blue"),
    ("cE_RCH_MAGENTA", "magenta"),
    ("cE_RCH_CYAN", "cyan"),
    ("cE_RCH_WHITE", "white"),
    ("cE_RCH_GREY", "grey"),
    ("cE_RCH_ORANGE", "orange"),
    ("cE_RCH_PINK", "pink"),
    ("cE_RCH_PURPLE", "purple"),
    ("cE_RCH_BROWN", "brown"),
    ("cE_RCH_TEAL", "teal"),
    ("cE_RCH_BRIGHT_BLACK", "bright_black"),
    ("cE_RCH_BRIGHT_RED", "bright_red"),
    ("cE_RCH_BRIGHT_GREEN", "bright_green"),
    ("cE_RCH_BRIGHT_YELLOW", "bright_yellow"),
    ("cE_RCH_BRIGHT_BLUE", "bright_blue"),
    ("cE_RCH_BRIGHT_MAGENTA", "bright_magenta"),
    ("cE_RCH_BRIGHT_CYAN", "bright_cyan"),
    ("cE_RCH_BRIGHT_WHITE", "bright_white"),
]

# name -> list of (parameter, default or EMPTY), self excluded
EMPTY = inspect.Parameter.empty
METHODS = [
    ("__init__", [("Pmi_RefreshRate", 4), ("Pmi_LogLines", 10)]),
    ("_render_group", []),
    ("CUF_AddTable", [("Pms_TableID", EMPTY), ("Pml_Columns", EMPTY)]),
    ("CUF_DisplayMulti", [("Pms_TableID", EMPTY), ("Pms_RowKey", EMPTY), ("Pml_ValueList", EMPTY)]),
    ("CUF_Print", [("Pms_MsgStr", EMPTY)]),
    ("CUF_Status", [("Pms_MsgSTR", EMPTY)]),
    ("CUF_DisplaySingle", [("Pms_MsgSTR", EMPTY), ("Pms_Color", "cyan")]),
    ("CUF_AddLog", [("Pms_LogMsg", EMPTY), ("Pms_Color", "white")]),
    ("CUF_ProgressStartP", [("Pms_Description", "Progress"), ("Pmi_Total", 100),
                            ("Pms_BarColor", "green"), ("Pmf_PercentWidth", 0.3)]),
    ("CUF_ProgressAdvance", [("Pmi_Step", 1)]),
    ("CUF_ProgressStop", []),
    ("CUF_Clear", []),
    ("CUF_Close", []),
]
METHOD_NAMES = [m for m, _ in METHODS]


def _is_dunder(name):
    return name.startswith("__") and name.endswith("__")


# ---------------------------------------------------------------------------
# module


def test_module_globals_exactly_in_binding_order():
    names = [k for k in vars(OrvanDeck) if not _is_dunder(k)]
    assert names == EXPECTED_GLOBALS


def test_module_globals_are_bound_to_the_right_objects():
    assert OrvanDeck.Enum is enum.Enum
    assert OrvanDeck.datetime is datetime_module.datetime
    assert OrvanDeck.contextmanager is contextlib.contextmanager
    assert OrvanDeck.Live is rich.live.Live
    assert OrvanDeck.Console is rich.console.Console
    assert OrvanDeck.Group is rich.console.Group
    assert OrvanDeck.Table is rich.table.Table
    assert OrvanDeck.Progress is rich.progress.Progress
    assert OrvanDeck.BarColumn is rich.progress.BarColumn
    assert OrvanDeck.TextColumn is rich.progress.TextColumn
    assert OrvanDeck.Text is rich.text.Text
    assert OrvanDeck.sleep is time.sleep
    assert OrvanDeck.random is random_module


def test_module_doc_none_and_no_all():
    assert OrvanDeck.__name__ == "OrvanDeck"
    assert OrvanDeck.__doc__ is None
    assert not hasattr(OrvanDeck, "__all__")


def test_import_by_name_runs_no_demonstration():
    assert not hasattr(OrvanDeck, "dashboard")
    for name in ("workers", "jobs", "devices", "i"):
        assert not hasattr(OrvanDeck, name)


def _run_python(code, timeout=60):
    env = terminal_env()
    return subprocess.run(
        [sys.executable, "-c", code],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
        env=env,
    )


def test_plain_import_writes_nothing():
    proc = _run_python("import OrvanDeck")
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout == b""
    assert proc.stderr == b""


def test_plain_import_starts_no_thread_and_no_dashboard():
    code = (
        "import sys, threading\n"
        "n = threading.active_count()\n"
        "import OrvanDeck\n"
        "assert threading.active_count() == n, threading.enumerate()\n"
        "assert 'OrvanDeck' in sys.modules\n"
        "assert not hasattr(OrvanDeck, 'dashboard')\n"
        "assert OrvanDeck.__name__ == 'OrvanDeck'\n"
    )
    proc = _run_python(code)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout == b""


def test_import_fails_without_rich_and_leaves_no_module_entry():
    code = (
        "import sys\n"
        "sys.modules['rich.live'] = None\n"
        "try:\n"
        "    import OrvanDeck\n"
        "except ImportError:\n"
        "    pass\n"
        "else:\n"
        "    raise SystemExit('import succeeded without rich.live')\n"
        "assert 'OrvanDeck' not in sys.modules\n"
    )
    proc = _run_python(code)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")


_IMPORT_HOOK = """
import builtins, json
real = builtins.__import__
seen = []
def hook(name, globals=None, locals=None, fromlist=(), level=0):
    if globals is not None and globals.get("__name__") == %(module)r:
        seen.append([name, None if fromlist is None else list(fromlist), type(fromlist).__name__,
                     locals is globals, level])
    return real(name, globals, locals, fromlist, level)
builtins.__import__ = hook
import %(module)s
builtins.__import__ = real
print(json.dumps(seen))
"""


@pytest.mark.parametrize("module,statements", [
    ("OrvanDeck", [("enum", ["Enum"]), ("datetime", ["datetime"]), ("contextlib", ["contextmanager"]),
                   ("rich.live", ["Live"]), ("rich.console", ["Console", "Group"]), ("rich.table", ["Table"]),
                   ("rich.progress", ["Progress", "BarColumn", "TextColumn"]), ("rich.text", ["Text"]),
                   ("time", ["sleep"]), ("random", None)]),
    ("PelmarDeck", [("sys", None), ("os", None), ("curses", None)]),
])
def test_module_body_imports_go_through_builtins_import(module, statements):
    proc = _run_python(_IMPORT_HOOK % {"module": module})
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    # as the statements would: a tuple fromlist (None for `import x`), the
    # module's globals as globals and locals, level 0
    expected = [[name, fromlist, "NoneType" if fromlist is None else "tuple", True, 0]
                for name, fromlist in statements]
    assert json.loads(proc.stdout) == expected


# ---------------------------------------------------------------------------
# enumeration


def test_enum_class_shape():
    E = OrvanDeck.ENUM_RichColor
    assert E.__bases__ == (str, enum.Enum)
    assert issubclass(E, str)
    assert issubclass(E, enum.Enum)
    assert E.__module__ == "OrvanDeck"
    assert E.__qualname__ == "ENUM_RichColor"
    assert E.__name__ == "ENUM_RichColor"


def test_enum_members_in_order_with_values():
    E = OrvanDeck.ENUM_RichColor
    assert len(E) == 22
    assert [(m.name, m.value) for m in E] == COLOURS
    assert list(E.__members__) == [n for n, _ in COLOURS]  # no aliases


def test_enum_members_are_strings_equal_to_their_colour_name():
    E = OrvanDeck.ENUM_RichColor
    for name, value in COLOURS:
        member = getattr(E, name)
        assert isinstance(member, E)
        assert isinstance(member, str)
        assert member == value
        assert str.__str__(member) == value
        assert E(value) is member
    assert E.cE_RCH_MAGENTA == "magenta"
    assert E("bright_cyan") is E.cE_RCH_BRIGHT_CYAN
    assert E.cE_RCH_GREY.value == "grey"
    with pytest.raises(ValueError):
        E("no_such_colour")


def test_enum_bright_variants_of_first_eight():
    values = [v for _, v in COLOURS]
    assert values[14:] == ["bright_" + v for v in values[:8]]


# ---------------------------------------------------------------------------
# class


def test_class_shape():
    C = OrvanDeck.CLASS_Orvan
    assert type(C) is type
    assert C.__bases__ == (object,)
    assert C.__module__ == "OrvanDeck"
    assert C.__qualname__ == "CLASS_Orvan"
    assert C.__name__ == "CLASS_Orvan"
    assert C.__doc__ is None


def test_class_namespace_method_order():
    C = OrvanDeck.CLASS_Orvan
    ns = list(vars(C))
    assert [k for k in ns if k in METHOD_NAMES] == METHOD_NAMES
    non_dunder = [k for k in ns if not _is_dunder(k)]
    assert non_dunder == METHOD_NAMES[1:]
    # no class-level data besides what type() itself adds
    allowed_dunders = {"__module__", "__qualname__", "__init__", "__dict__",
                       "__weakref__", "__doc__", "__firstlineno__",
                       "__static_attributes__"}
    assert {k for k in ns if _is_dunder(k)} <= allowed_dunders


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_names_and_qualnames(name):
    func = getattr(OrvanDeck.CLASS_Orvan, name)
    assert func.__name__ == name
    assert func.__qualname__ == "CLASS_Orvan." + name


@pytest.mark.parametrize("name", [n for n in METHOD_NAMES if n != "CUF_Status"])
def test_methods_have_no_docstring(name):
    func = vars(OrvanDeck.CLASS_Orvan)[name]
    assert func.__doc__ is None


@pytest.mark.parametrize("name,params", METHODS)
def test_method_signatures(name, params):
    func = getattr(OrvanDeck.CLASS_Orvan, name)
    sig = inspect.signature(func)
    got = list(sig.parameters.values())
    assert [p.name for p in got] == ["self"] + [p for p, _ in params]
    for p, (pname, default) in zip(got[1:], params):
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, (name, pname, p.kind)
        if default is EMPTY:
            assert p.default is EMPTY, (name, pname)
        else:
            assert p.default == default, (name, pname)
            assert type(p.default) is type(default), (name, pname)


def test_percent_width_default_is_float():
    sig = inspect.signature(OrvanDeck.CLASS_Orvan.CUF_ProgressStartP)
    default = sig.parameters["Pmf_PercentWidth"].default
    assert type(default) is float and default == 0.3
    assert type(sig.parameters["Pmi_Total"].default) is int


def test_bound_method_signatures_drop_self(dash):
    assert list(inspect.signature(dash.CUF_Print).parameters) == ["Pms_MsgStr"]
    assert list(inspect.signature(dash.CUF_DisplaySingle).parameters) == ["Pms_MsgSTR", "Pms_Color"]
    assert list(inspect.signature(dash.CUF_Status).parameters) == ["Pms_MsgSTR"]


def test_status_attribute_metadata(dash):
    C = OrvanDeck.CLASS_Orvan
    for obj in (C.CUF_Status, dash.CUF_Status):
        assert obj.__name__ == "CUF_Status"
        assert obj.__qualname__ == "CLASS_Orvan.CUF_Status"
        assert obj.__annotations__ == {"Pms_MsgSTR": str}


def test_print_annotation_where_carried():
    func = OrvanDeck.CLASS_Orvan.CUF_Print
    ann = getattr(func, "__annotations__", None)
    if ann is not None:
        assert ann == {"Pms_MsgStr": str}


def test_status_returns_context_manager_not_generator(dash, fakes):
    cm = dash.CUF_Status("working")
    assert hasattr(cm, "__enter__") and hasattr(cm, "__exit__")
    assert not inspect.isgenerator(cm)
    assert isinstance(cm, contextlib.AbstractContextManager)
    assert fakes.events == []  # nothing ran yet


# ---------------------------------------------------------------------------
# argument binding


def _msg(excinfo):
    return str(excinfo.value)


def test_print_keyword_names_exact(dash, fakes):
    dash.CUF_Print(Pms_MsgStr="hello")
    assert fakes.of("Console.print")[-1].args == ("hello",)
    with pytest.raises(TypeError) as ei:
        dash.CUF_Print(Pms_MsgSTR="hello")
    assert "got an unexpected keyword argument 'Pms_MsgSTR'" in _msg(ei)
    assert "CUF_Print()" in _msg(ei)


def test_display_single_keyword_names_exact(dash, fakes):
    dash.CUF_DisplaySingle(Pms_MsgSTR="m", Pms_Color="red")
    assert dash.single_line_msg == "[red]m[/red]"
    with pytest.raises(TypeError) as ei:
        dash.CUF_DisplaySingle(Pms_MsgStr="m")
    assert "got an unexpected keyword argument 'Pms_MsgStr'" in _msg(ei)


def test_status_keyword_names_exact(dash, fakes):
    with dash.CUF_Status(Pms_MsgSTR="busy"):
        pass
    assert [e.args for e in fakes.of("Console.status")] == [("busy",)]
    fakes.clear()
    with pytest.raises(TypeError) as ei:
        dash.CUF_Status(Pms_MsgStr="busy")
    assert "got an unexpected keyword argument 'Pms_MsgStr'" in _msg(ei)
    assert fakes.events == []


def test_print_missing_argument(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_Print()
    assert "CLASS_Orvan.CUF_Print() missing 1 required positional argument: 'Pms_MsgStr'" in _msg(ei)
    assert fakes.events == []


def test_status_missing_argument(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_Status()
    assert "missing 1 required positional argument: 'Pms_MsgSTR'" in _msg(ei)
    assert "CUF_Status()" in _msg(ei)
    assert fakes.events == []


def test_display_multi_missing_arguments(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_DisplayMulti("T")
    assert "CLASS_Orvan.CUF_DisplayMulti() missing 2 required positional arguments: 'Pms_RowKey' and 'Pml_ValueList'" in _msg(ei)


def test_too_many_positional_arguments(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_DisplaySingle("a", "b", "c")
    assert "CLASS_Orvan.CUF_DisplaySingle() takes from 2 to 3 positional arguments but 4 were given" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        dash.CUF_ProgressStartP("d", 1, "green", 0.3, 5)
    assert "CLASS_Orvan.CUF_ProgressStartP() takes from 1 to 5 positional arguments but 6 were given" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        dash.CUF_Clear(1)
    assert "CLASS_Orvan.CUF_Clear() takes 1 positional argument but 2 were given" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        dash.CUF_AddTable("T", [], None)
    assert "CLASS_Orvan.CUF_AddTable() takes 3 positional arguments but 4 were given" in _msg(ei)
    assert fakes.events == []
    assert dash.tables == {} and dash.single_line_msg == "" and dash.progress_bar is None


def test_multiple_values_for_argument(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_AddTable("T", ["a"], Pms_TableID="T")
    assert "got multiple values for argument 'Pms_TableID'" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        dash.CUF_AddLog("x", Pms_LogMsg="y")
    assert "got multiple values for argument 'Pms_LogMsg'" in _msg(ei)
    assert fakes.events == []
    assert dash.tables == {} and dash.logs == []


def test_unexpected_keyword_on_other_methods(dash, fakes):
    with pytest.raises(TypeError) as ei:
        dash.CUF_ProgressAdvance(step=2)
    assert "got an unexpected keyword argument 'step'" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        dash.CUF_AddLog("x", Pms_COLOR="red")
    assert "got an unexpected keyword argument 'Pms_COLOR'" in _msg(ei)
    assert fakes.events == []


def test_constructor_binding_errors(fakes):
    C = OrvanDeck.CLASS_Orvan
    with pytest.raises(TypeError) as ei:
        C(1, 2, 3)
    assert "takes from 1 to 3 positional arguments but 4 were given" in _msg(ei)
    with pytest.raises(TypeError) as ei:
        C(Pmi_Refresh=2)
    assert "got an unexpected keyword argument 'Pmi_Refresh'" in _msg(ei)
    assert fakes.events == []


def test_everything_by_keyword(fakes):
    d = OrvanDeck.CLASS_Orvan(Pmi_RefreshRate=2, Pmi_LogLines=3)
    assert fakes.last("Live").kwargs["refresh_per_second"] == 2
    assert d.Pmi_LogLines == 3
    d.CUF_AddTable(Pms_TableID="T", Pml_Columns=["a"])
    d.CUF_DisplayMulti(Pms_TableID="T", Pms_RowKey="r", Pml_ValueList=[1])
    assert d.tables == {"T": {"columns": ["a"], "rows": {"r": [1]}}}
    d.CUF_AddLog(Pms_LogMsg="m", Pms_Color="red")
    assert d.logs == ["[red][2026/12/07-20:47:27] m[/red]"]
    d.CUF_ProgressStartP(Pms_Description="D", Pmi_Total=7, Pms_BarColor="blue", Pmf_PercentWidth=0.5)
    assert fakes.last("Progress.add_task").args == ("D",)
    assert fakes.last("Progress.add_task").kwargs == {"total": 7}
    d.CUF_ProgressAdvance(Pmi_Step=3)
    assert fakes.last("Progress.update").kwargs == {"advance": 3}
