"""The deckrun command's answers to help requests and to names it cannot run."""

import os
import subprocess
import sys

import pytest

DECKRUN = os.path.join(os.path.dirname(sys.executable), "deckrun")
USAGE = "usage: deckrun MODULE [ARGS...]"


@pytest.mark.parametrize("args, rc, out, err", [
    (["--help"], 0, USAGE, ""),
    (["-h", "OrvanDeck"], 0, USAGE, ""),
    ([], 2, "", USAGE),
    (["-x"], 2, "", "deckrun: unknown option '-x'\n" + USAGE),
    (["json"], 2, "",
     "deckrun: 'json' is not an extension module; for a Python module use: python -m json"),
    (["sys"], 2, "",
     "deckrun: 'sys' is not an extension module; for a Python module use: python -m sys"),
    (["no_such_module"], 1, "", "deckrun: No module named 'no_such_module'"),
    (["no_such_package.mod"], 1, "", "deckrun: No module named 'no_such_package'"),
], ids=["help", "h", "nothing", "unknown-option", "python-module", "builtin", "missing",
        "missing-parent"])
def test_answers(tmp_path, args, rc, out, err):
    proc = subprocess.run([DECKRUN, *args], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == rc, proc.stderr
    # one answer, no traceback: help on stdout, errors on stderr
    assert proc.stdout.startswith(out) if out else proc.stdout == "", proc.stdout
    assert proc.stderr == (err + "\n" if err else ""), proc.stderr
    if out:
        assert "deckrun OrvanDeck" in proc.stdout and "python -m" in proc.stdout


# ---------------------------------------------------------------- Ctrl-C

@pytest.mark.parametrize("module, after, shown", [
    # the dashboard hides the cursor and shows it again when the demonstration closes it
    ("OrvanDeck", 3.2, b"\x1b[?25h"),
    # the screen never hides it; curses.wrapper leaves the alternate screen
    ("PelmarDeck", 1.5, b"\x1b[?1049l"),
])
def test_ctrl_c_ends_quietly_with_130(module, after, shown):
    # a real pseudo-terminal; SIGINT as Ctrl-C sends it, while the demonstration runs
    from test_orvan_demo import HIDE_CURSOR, run_in_pty
    rc, raw = run_in_pty([DECKRUN, module], interrupt_after=after, timeout=30)
    tail = raw[-3000:].decode("utf-8", "replace")
    assert rc == 130, tail
    assert b"Traceback" not in raw and b"KeyboardInterrupt" not in raw, tail
    # the module restored the terminal before deckrun ended: the cursor is shown after its
    # last hiding (or never hidden)
    assert shown in raw and raw.rfind(shown) > raw.rfind(HIDE_CURSOR), tail


def test_other_errors_keep_their_traceback(tmp_path):
    # a module that fails in another way: its traceback, and the interpreter's exit status
    (tmp_path / "curses.py").write_text("def wrapper(func):\n    raise RuntimeError('boom')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    proc = subprocess.run([DECKRUN, "PelmarDeck"], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 1, proc.stderr
    assert "Traceback" in proc.stderr and proc.stderr.splitlines()[-1] == "RuntimeError: boom", proc.stderr
