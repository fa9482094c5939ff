"""The caller's terminal settings reach neither the tests' own rich consoles nor the
programs the tests start."""

import os

import pytest

from pelmar_fakes import TERMINAL_VARS


@pytest.fixture(autouse=True)
def _no_caller_terminal_settings(monkeypatch):
    for name in list(os.environ):
        if name in TERMINAL_VARS or name.startswith("NCURSES_"):
            monkeypatch.delenv(name)
