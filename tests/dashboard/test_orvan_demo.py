"""OrvanDeck demonstration, run through the launcher ``deckrun OrvanDeck`` in
a real pseudo-terminal of 100x40; its output is fed into a pyte screen.
Each run takes about 8 s."""

import os
import re

from orvan_fakes import orvan_launcher_path
from pty_screen import run_in_pty, screen_lines

TS = r"\[\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d\]"
HIDE_CURSOR = b"\x1b[?25l"
SHOW_CURSOR = b"\x1b[?25h"


def _launcher():
    path = orvan_launcher_path()
    assert os.path.exists(path), "launcher not installed at %s" % path
    return path


def _cells(line):
    return [c.strip() for c in re.split("[│┃]", line)[1:-1]]


def test_demo_final_screen():
    rc, raw = run_in_pty([_launcher(), "OrvanDeck"])
    lines = screen_lines(raw)
    text = "\n".join(lines)
    assert rc == 0, text
    # the three tables, with their titles and headers
    for title in ("Workers", "Jobs", "Devices"):
        assert any(ln.strip() == title for ln in lines), text
    for header in ("Worker ID", "Status", "Progress", "Job ID", "Owner", "State",
                   "Device ID", "Type", "Health"):
        assert header in text, text
    assert text.index("Workers") < text.index("Jobs") < text.index("Devices")
    rows = [_cells(ln) for ln in lines if ln.startswith("│")]
    # six worker rows in order, progress cells 0..100 followed by %
    worker_rows = [r for r in rows if len(r) == 3 and r[0] in {"0", "1", "2", "3", "4", "5"}]
    assert [r[0] for r in worker_rows] == ["0", "1", "2", "3", "4", "5"], text
    for r in worker_rows:
        assert r[1] in ("Pending", "Running", "Done"), r
        m = re.fullmatch(r"(\d+)%", r[2])
        assert m and 0 <= int(m.group(1)) <= 100, r
    job_rows = [r for r in rows if len(r) == 3 and r[0] in ("A01", "A02", "B01")]
    assert [r[0] for r in job_rows] == ["A01", "A02", "B01"], text
    assert [r[1] for r in job_rows] == ["user4"] * 3, text
    for r in job_rows:
        assert r[2] in ("Queued", "Running", "Finished"), r
    dev_rows = [r for r in rows if len(r) == 3 and r[0] in ("GPU-0", "GPU-1", "DISK-1")]
    assert [r[0] for r in dev_rows] == ["GPU-0", "GPU-1", "DISK-1"], text
    for r in dev_rows:
        assert r[1] == "HW" and r[2] in ("OK", "Warn", "Fail"), r
    for old in ("user0", "user1", "user2", "user3"):
        assert old not in text
    # five log lines, one per iteration, in order
    logs = [ln for ln in lines if re.fullmatch(TS + r" Iteration \d finished", ln.strip())]
    assert [ln.strip()[-10:-9] for ln in logs] == ["0", "1", "2", "3", "4"], text
    # the last message; the bar was removed before closing
    assert any(ln.strip() == "Processing iteration 4..." for ln in lines), text
    assert "Processing iteration 3..." not in text
    assert "Overall Progress" not in text
    # the direct print is above the live region, the spinner is gone
    assert "Rich" in text
    assert "系統運作中" not in text.replace(" ", "")
    # live display hid the cursor and showed it again at close
    assert HIDE_CURSOR in raw
    assert raw.rfind(SHOW_CURSOR) > raw.rfind(HIDE_CURSOR)


def test_demo_ctrl_c_closes_dashboard_and_propagates():
    rc, raw = run_in_pty([_launcher(), "OrvanDeck"], interrupt_after=3.2)
    out = raw.decode("utf-8", "replace")
    # the KeyboardInterrupt reached deckrun, which ends quietly with 130 (tests/packaging/test_launcher.py)
    assert rc == 130, out
    assert HIDE_CURSOR in raw
    assert raw.rfind(SHOW_CURSOR) > raw.rfind(HIDE_CURSOR), out
    # it ended early: the progress phase and the last iterations never ran
    text = "\n".join(screen_lines(raw))
    assert "Processing iteration 4..." not in text
    assert "Overall Progress" not in text
