"""Type stubs shipped in the wheel: they match the installed modules (stubtest),
a typed program using them passes mypy --strict, and mistakes are caught."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

# Lines ending in "# E: fragment" must draw a mypy error containing the fragment;
# every other line must pass.
PROGRAM = '''
import curses
import deckrun
import OrvanDeck
import PelmarDeck
from OrvanDeck import CLASS_Orvan, ENUM_RichColor


def dashboard() -> None:
    d = CLASS_Orvan(Pmi_RefreshRate=8, Pmi_LogLines=5)
    d.CUF_AddTable("Jobs", ["Job ID", "State"])
    d.CUF_DisplayMulti("Jobs", ("job", 1), ["A01", 3.5])
    d.CUF_Print(Pms_MsgStr="[bold]hello[/bold]")
    d.CUF_DisplaySingle(Pms_MsgSTR="msg", Pms_Color=ENUM_RichColor.cE_RCH_YELLOW)
    d.CUF_AddLog("line")
    with d.CUF_Status("busy") as nothing:
        assert nothing is None
    d.CUF_ProgressStartP("Copy", Pmi_Total=None, Pms_BarColor="red", Pmf_PercentWidth=0.5)
    d.CUF_ProgressAdvance(2.5)
    d.CUF_ProgressStop()
    grey: str = ENUM_RichColor("grey")
    members: list[ENUM_RichColor] = list(ENUM_RichColor)
    shown: int = d.Pmi_LogLines + len(d.logs) + len(members) + len(grey)
    rows = d.tables["Jobs"]["rows"]
    rows["x"] = ["y"]
    if d.progress_bar is not None:
        d.progress_bar.stop()
    OrvanDeck.sleep(0.0 * shown)
    d.CUF_Clear()
    d.CUF_Close()
    rc: int = deckrun.main()
    print(rc)

    d.CUF_Print(Pms_MsgSTR="x")  # E: Unexpected keyword argument "Pms_MsgSTR"
    d.CUF_DisplaySingle(Pms_MsgStr="x")  # E: Unexpected keyword argument "Pms_MsgStr"
    CLASS_Orvan.CUF_Print(self=d, Pms_MsgStr="x")  # E: Unexpected keyword argument "self"
    d.CUF_AddTable("T")  # E: Missing positional argument "Pml_Columns"
    d.CUF_ProgressAdvance("1")  # E: incompatible type "str"
    ENUM_RichColor.cE_RCH_NAVY  # E: has no attribute "cE_RCH_NAVY"
    d.CUF_Close(1)  # E: Too many arguments


def screen(scr: curses.window) -> None:
    p = PelmarDeck.CLASS_Pelmar(curses, scr)
    width: int = p.CUF_strlen("中文")
    cols, rows = p.CUF_GET_SCR_MAX()
    p.CUF_PrintXY(cols - width, rows - 1, "中文", 3)
    p.CUF_SET_ColorTable([curses.COLOR_RED], (curses.COLOR_BLACK,))
    typed: str = p.CUF_Input(0, 1, 20)
    key: int = p.CUF_GetKey()
    win: curses.window = p.CUF_Create_Window(1, 2, 30, 5)
    p.CUF_PrintXYW(win, 0, 0, typed, PelmarDeck.Gobj_curses.color_pair(2) + key)
    p.CUF_RefreshW(win)
    p.CUF_PrintSTATUS("ok")
    p.CUF_Refresh()

    p.CUF_PrintXY(1, 2, "x")  # E: Missing positional argument "Pmi_ColorTableIndex"
    p.CUF_Move(Pmi_PosY=1, Pmi_PosZ=2)  # E: Unexpected keyword argument "Pmi_PosZ"
    n: str = p.CUF_strlen("x")  # E: Incompatible types in assignment
    p.CUF_PrintW("not a window", "x")  # E: incompatible type "str"


def demo(scr: curses.window) -> int:
    PelmarDeck.main(scr)
    return "unreachable"  # E: Statement is unreachable
'''


def run(args, cwd):
    # never from the repo root: its source folders are named like the modules; the error
    # lines are matched as plain text
    env = {k: v for k, v in os.environ.items() if k != "MYPY_FORCE_COLOR"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=600, env=env)


# mypy 2 needs ast-serialize, which ships no wheel for a free-threaded interpreter (3.13t);
# there the newest mypy 1 runs, whose typeshed and inference differ on two names the
# dashboard re-exports from the standard library and rich, not on its own API.
OLD_MYPY_ALLOWLIST = ["OrvanDeck.Enum.__init__", "OrvanDeck.Progress.open"]


def test_stubs_match_installed_modules(tmp_path):
    import mypy.version
    args = ["mypy.stubtest", "OrvanDeck", "PelmarDeck", "deckrun"]
    if int(mypy.version.__version__.split(".")[0]) < 2:
        allow = tmp_path / "allowlist.txt"
        allow.write_text("\n".join(OLD_MYPY_ALLOWLIST) + "\n")
        args += ["--allowlist", str(allow)]
    proc = run(args, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 3 modules" in proc.stdout


def test_mypy_accepts_typed_use_and_rejects_mistakes(tmp_path):
    path = tmp_path / "program.py"
    path.write_text(textwrap.dedent(PROGRAM), encoding="utf-8")
    proc = run(["mypy", "--strict", "--warn-unreachable", "--no-error-summary",
                "--show-error-codes", "--cache-dir", str(tmp_path / "cache"), path.name], tmp_path)
    lines = path.read_text(encoding="utf-8").splitlines()
    expected = {n: line.split("# E: ")[1] for n, line in enumerate(lines, 1) if "# E: " in line}
    got = {}
    for out in proc.stdout.splitlines():
        m = re.match(r"program\.py:(\d+): error: (.*)", out)
        if m:
            got.setdefault(int(m.group(1)), []).append(m.group(2))
    assert proc.returncode == 1, proc.stdout + proc.stderr
    unexpected = {n: msgs for n, msgs in got.items() if n not in expected}
    assert unexpected == {}, proc.stdout
    missed = {n: frag for n, frag in expected.items()
              if not any(frag in msg for msg in got.get(n, []))}
    assert missed == {}, proc.stdout


def test_stub_packages_are_installed_next_to_the_modules():
    import OrvanDeck

    site = os.path.dirname(OrvanDeck.__file__)
    for name in ("OrvanDeck", "PelmarDeck", "deckrun"):
        assert os.path.isfile(os.path.join(site, name + "-stubs", "__init__.pyi")), name


def test_stubs_give_every_public_class_and_method_its_help():
    # editors show these: the modules' own objects carry no docstrings
    import ast
    import OrvanDeck

    site = os.path.dirname(OrvanDeck.__file__)
    missing = []
    for name in ("OrvanDeck", "PelmarDeck", "deckrun"):
        tree = ast.parse(open(os.path.join(site, name + "-stubs", "__init__.pyi"), encoding="utf-8").read())
        for node in ast.walk(tree):
            # a private TypedDict and the enumeration's lookup by value are no one's help
            if (isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not ast.get_docstring(node)
                    and node.name not in ("_TableEntry", "__new__")):
                missing.append("%s.%s" % (name, node.name))
    assert missing == []
