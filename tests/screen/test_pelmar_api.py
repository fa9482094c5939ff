"""Shape of the PelmarDeck module as scripts see it: names, signatures,
argument handling, and an import that leaves curses alone."""

import curses
import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

import PelmarDeck
from PelmarDeck import CLASS_Pelmar

METHODS = [
    ("__init__", ["Pobj_Curses", "Pobj_STDSCR"]),
    ("CUF_clear", []),
    ("CUF_strlen", ["Pms_Text"]),
    ("CUF_SET_ColorTableDefault", []),
    ("CUF_SET_ColorTable", ["PmUa_FG_COLOR", "PmUa_BK_COLOR"]),
    ("CUF_GET_SCR_MAX", []),
    ("CUF_GetKey", []),
    ("CUF_Input", ["Pmi_PosX", "Pmi_PosY", "Pmi_MAX_LEN"]),
    ("CUF_Print", ["Pms_Text"]),
    ("CUF_PrintXY", ["Pmi_PosX", "Pmi_PosY", "Pms_Text", "Pmi_ColorTableIndex"]),
    ("CUF_PrintC", ["Pmi_PosY", "Pms_Text"]),
    ("CUF_PrintSTATUS", ["Pms_Text"]),
    ("CUF_Refresh", []),
    ("CUF_Move", ["Pmi_PosX", "Pmi_PosY"]),
    ("CUF_Create_Window", ["Pmi_PosX", "Pmi_PosY", "Pmi_Width", "Pmi_Height"]),
    ("CUF_PrintW", ["Pobj_Window", "Pms_Text"]),
    ("CUF_PrintXYW", ["Pobj_Window", "Pmi_PosX", "Pmi_PosY", "Pms_Text", "Pmi_ColorTableIndex"]),
    ("CUF_RefreshW", ["Pobj_Window"]),
]


def test_module_globals():
    names = [k for k in vars(PelmarDeck) if not k.startswith("__")]
    assert names == ["sys", "os", "Gobj_curses", "CLASS_Pelmar", "main"]
    assert PelmarDeck.sys is sys and PelmarDeck.os is os
    assert PelmarDeck.Gobj_curses is curses
    assert PelmarDeck.__doc__ is None
    assert PelmarDeck.__name__ == "PelmarDeck"


def test_class_shape():
    assert type(CLASS_Pelmar) is type
    assert CLASS_Pelmar.__bases__ == (object,)
    assert CLASS_Pelmar.__name__ == CLASS_Pelmar.__qualname__ == "CLASS_Pelmar"
    assert CLASS_Pelmar.__module__ == "PelmarDeck"
    assert CLASS_Pelmar.__doc__ is None
    own = [k for k in vars(CLASS_Pelmar) if k == "__init__" or not k.startswith("__")]
    assert own == [name for name, _ in METHODS]


@pytest.mark.parametrize("name,params", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature(name, params):
    func = vars(CLASS_Pelmar)[name]
    assert func.__name__ == name
    assert func.__qualname__ == "CLASS_Pelmar." + name
    assert func.__doc__ is None
    sig = inspect.signature(func)
    first, *rest = sig.parameters.values()
    assert first.name == "self"
    assert [p.name for p in rest] == params
    for p in rest:
        assert p.kind is p.POSITIONAL_OR_KEYWORD, p
        assert p.default is p.empty, p
        assert p.annotation is p.empty, p
    assert sig.return_annotation is sig.empty


def test_main_signature():
    main = PelmarDeck.main
    assert main.__name__ == main.__qualname__ == "main"
    assert main.__doc__ is None
    (param,) = inspect.signature(main).parameters.values()
    assert param.name == "Pobj_STDSCR"
    assert param.kind is param.POSITIONAL_OR_KEYWORD
    assert param.default is param.empty


def test_constructor_by_keyword_matches_positional(rig):
    by_kw = CLASS_Pelmar(Pobj_STDSCR=rig.scr, Pobj_Curses=rig.curses)
    kw_log = list(rig.log)
    del rig.log[:]
    by_pos = CLASS_Pelmar(rig.curses, rig.scr)
    assert kw_log == rig.log != []
    assert vars(by_kw) == vars(by_pos)


@pytest.mark.parametrize("call,expected", [
    (lambda o, s: o.CUF_PrintXY(Pmi_ColorTableIndex=2, Pms_Text="t", Pmi_PosY=3, Pmi_PosX=4),
     [("scr", "getmaxyx"), ("curses", "color_pair", 2), ("scr", "addstr", 3, 4, "t", "<pair 2>")]),
    (lambda o, s: o.CUF_Move(Pmi_PosY=2, Pmi_PosX=5), [("scr", "move", 2, 5)]),
    (lambda o, s: o.CUF_Input(Pmi_MAX_LEN=5, Pmi_PosY=1, Pmi_PosX=2),
     [("curses", "echo"), ("scr", "getstr", 1, 2, 5)]),
    (lambda o, s: o.CUF_SET_ColorTable(PmUa_BK_COLOR=["b"], PmUa_FG_COLOR=["f"]),
     [("curses", "start_color"), ("curses", "init_pair", 1, "f", "b")]),
    (lambda o, s: o.CUF_PrintXYW(s, Pms_Text="w", Pmi_ColorTableIndex=7, Pmi_PosY=1, Pmi_PosX=2),
     [("scr", "addstr", 1, 2, "w", 7)]),
])
def test_keyword_calls(rig, call, expected):
    obj = rig.screen()
    call(obj, rig.scr)
    assert rig.log == expected


@pytest.mark.parametrize("call,phrase", [
    (lambda o: o.CUF_PrintXY(1, 2, "t"),
     "CLASS_Pelmar.CUF_PrintXY() missing 1 required positional argument: 'Pmi_ColorTableIndex'"),
    (lambda o: o.CUF_PrintXYW(o, 1, 2),
     "CUF_PrintXYW() missing 2 required positional arguments: 'Pms_Text' and 'Pmi_ColorTableIndex'"),
    (lambda o: o.CUF_Input(Pmi_PosX=1, Pmi_MAX_LEN=2), "missing 1 required positional argument: 'Pmi_PosY'"),
    (lambda o: o.CUF_Move(1, 2, 3), "CUF_Move() takes 3 positional arguments but 4 were given"),
    (lambda o: o.CUF_clear(1), "CUF_clear() takes 1 positional argument but 2 were given"),
    (lambda o: o.CUF_Move(1, 2, Pmi_PosZ=3), "CUF_Move() got an unexpected keyword argument 'Pmi_PosZ'"),
    (lambda o: o.CUF_Move(1, Pmi_PosX=2), "CUF_Move() got multiple values for argument 'Pmi_PosX'"),
    (lambda o: CLASS_Pelmar(o.CVobj_Curses), "missing 1 required positional argument: 'Pobj_STDSCR'"),
    (lambda o: PelmarDeck.main(), "main() missing 1 required positional argument: 'Pobj_STDSCR'"),
])
def test_wrong_calls_raise_type_error_before_any_curses_call(rig, call, phrase):
    obj = rig.screen()
    with pytest.raises(TypeError) as err:
        call(obj)
    assert phrase in str(err.value)
    assert rig.log == []


def _run_isolated(tmp_path, fake_curses, code):
    """Run code in a fresh interpreter that finds fake_curses as `curses`."""
    fake_dir = tmp_path / "fake"
    fake_dir.mkdir()
    (fake_dir / "curses.py").write_text(textwrap.dedent(fake_curses))
    env = dict(os.environ, PYTHONPATH=str(fake_dir))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(tmp_path),
                          env=env, capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_import_makes_no_curses_call(tmp_path):
    fake = """
        CALLS = []

        def __getattr__(name):
            # any curses function reached during import is recorded and usable
            if name.startswith("__"):
                raise AttributeError(name)

            def record(*args, **kwargs):
                CALLS.append(name)
            return record
    """
    code = """
        import json, curses
        import PelmarDeck
        print(json.dumps({
            "calls": curses.CALLS,
            "bound_fake": PelmarDeck.Gobj_curses is curses,
            "name": PelmarDeck.__name__,
        }))
    """
    out = _run_isolated(tmp_path, fake, code)
    assert out == {"calls": [], "bound_fake": True, "name": "PelmarDeck"}


def test_import_fails_with_the_curses_import_error(tmp_path):
    fake = """
        raise ImportError("no terminal library here")
    """
    code = """
        import json, sys
        try:
            import PelmarDeck
        except BaseException as exc:
            result = [type(exc).__name__, str(exc)]
        else:
            result = ["imported", ""]
        print(json.dumps({"result": result, "registered": "PelmarDeck" in sys.modules}))
    """
    out = _run_isolated(tmp_path, fake, code)
    assert out == {"result": ["ImportError", "no terminal library here"], "registered": False}
