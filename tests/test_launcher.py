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
