"""Screen benchmarks: PelmarDeck against its plain-Python twin on a real curses screen.

run.py starts this inside a pseudo-terminal (TERM=xterm-256color, 80x24);
results go as JSON to the path given as argv[1], a traceback to argv[1]+".err".
With BENCH_FLOOR_DIR naming a directory that holds the compiled floor_pelmar
module, the cases it covers are also timed against it (see floor_pelmar.c).
"""
import curses
import fcntl
import json
import os
import struct
import sys
import termios
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
# the twin lives with the tests, which compare with it too
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests", "support")]

import PelmarDeck  # noqa: E402
import pelmar_twin as hand_pelmar  # noqa: E402

import timing  # noqa: E402

QUICK = os.environ.get("BENCH_QUICK") == "1"
ROUNDS = 5 if QUICK else 11
ROUND_S = 0.05 if QUICK else 0.15

ASCII = "The quick brown fox jumps over the lazy dog"  # 43 cells
CJK = "[ 狀態列顯示列 ] 測試中文寬度計算"  # mixed, 30 cells

CASES = [
    ("PrintXY (ASCII, pair 3)", "CUF_PrintXY", (10, 12, "Width: 80, Height: 24", 3)),
    ("PrintXY (CJK, pair 2)", "CUF_PrintXY", (10, 15, "計數器： 123", 2)),
    ("PrintC (ASCII)", "CUF_PrintC", (5, ASCII)),
    ("PrintC (CJK)", "CUF_PrintC", (6, CJK)),
    ("PrintSTATUS (CJK)", "CUF_PrintSTATUS", ("[ 狀態列顯示列 ]",)),
    ("strlen (ASCII, 43 chars)", "CUF_strlen", (ASCII,)),
    ("strlen (CJK, 20 chars)", "CUF_strlen", (CJK,)),
    ("GetKey (nodelay, no key)", "CUF_GetKey", ()),
    ("GET_SCR_MAX", "CUF_GET_SCR_MAX", ()),
    ("Move", "CUF_Move", (3, 4)),
]


def floor_classes():
    """Subclasses of the hand-written class with the floor's C methods, or {}."""
    where = os.environ.get("BENCH_FLOOR_DIR")
    if not where:
        return {}
    sys.path.insert(0, where)
    import floor_pelmar

    class FloorDescr(hand_pelmar.CLASS_Pelmar):
        pass

    class FloorOwn(hand_pelmar.CLASS_Pelmar):
        pass

    floor_pelmar.install(FloorDescr)
    floor_pelmar.install_own(FloorOwn)
    return {"floor": FloorDescr, "floor_own": FloorOwn}


def run(stdscr):
    objs = {"module": PelmarDeck.CLASS_Pelmar(curses, stdscr), "hand": hand_pelmar.CLASS_Pelmar(curses, stdscr)}
    floors = {side: cls(curses, stdscr) for side, cls in floor_classes().items()}
    stdscr.nodelay(True)
    out = []
    for label, meth, args in CASES:
        # the floor covers only the methods its classes define themselves
        sides = dict(objs, **{s: o for s, o in floors.items() if meth in vars(type(o))})
        fns = {s: getattr(o, meth) for s, o in sides.items()}
        for f in fns.values():
            f(*args)
        objs["module"].CUF_Refresh()  # GetKey then finds nothing to redraw on either side
        n = timing.calibrate(fns["module"], args, ROUND_S, lo=100)
        res = timing.compare(fns, args, n, ROUNDS)
        rec = {"case": label, "n": n, "size": list(stdscr.getmaxyx())}
        rec.update({f"{s}_ns": v for s, v in res.items()})
        out.append(rec)
    return out


def main():
    out_path = sys.argv[1]
    try:
        # The terminal size is fixed before curses reads it.
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        res = curses.wrapper(run)
        with open(out_path, "w") as f:
            json.dump(res, f, indent=1)
    except BaseException:
        with open(out_path + ".err", "w") as f:
            f.write(traceback.format_exc())
        raise


if __name__ == "__main__":
    main()
