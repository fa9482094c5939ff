"""The caller's terminal settings reach neither the tests' own rich consoles nor the
programs the tests start. Where a new test goes: tests/README.md."""

import os

import pytest

# the shared fixtures (dash, fakes, rig, tmux_factory), for every folder
pytest_plugins = ["orvan_fakes", "pelmar_fakes"]


@pytest.fixture(autouse=True)
def _no_caller_terminal_settings(monkeypatch):
    # not imported at the top: pytest imports its plugins itself, to rewrite their asserts
    from pelmar_fakes import TERMINAL_VARS

    for name in list(os.environ):
        if name in TERMINAL_VARS or name.startswith("NCURSES_"):
            monkeypatch.delenv(name)
