"""Two builds of PelmarDeck in one process, on a real curses screen.

    python bench/ab_screen.py OLD_DIR NEW_DIR [ROUNDS]

Each DIR holds a PelmarDeck extension (a build tree or an unpacked wheel).
The script reruns itself in a pseudo-terminal (80x24), loads both builds by
path, and times each case on both in interleaved rounds; the ratio is
new / old (medians). Separate processes differ by more than a small change
costs, which is why this runs both in one.
"""
import curses
import json
import os
import pty
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import timing  # noqa: E402

CASES = [
    ("GET_SCR_MAX", "CUF_GET_SCR_MAX", ()),
    ("PrintXY off screen", "CUF_PrintXY", (100, 3, "x", 3)),
    ("PrintXY (ASCII, pair 3)", "CUF_PrintXY", (10, 12, "Width: 80, Height: 24", 3)),
    ("Move", "CUF_Move", (3, 4)),
]


def load(folder):
    return timing.load_by_path("PelmarDeck", folder)


def measure(stdscr, dirs, rounds):
    objs = {side: load(d).CLASS_Pelmar(curses, stdscr) for side, d in dirs.items()}
    out = []
    for label, method, args in CASES:
        fns = {side: getattr(o, method) for side, o in objs.items()}
        n = timing.calibrate(fns["old"], args, 0.02, lo=100)
        res = timing.compare(fns, args, n, rounds)
        out.append((label, timing.med(res["old"]), timing.med(res["new"]), min(res["old"]), min(res["new"])))
    return out


def main():
    if len(sys.argv) > 4:  # the child, in the pseudo-terminal
        dirs = {"old": sys.argv[1], "new": sys.argv[2]}
        result = curses.wrapper(measure, dirs, int(sys.argv[3]))
        with open(sys.argv[4], "w") as f:
            json.dump(result, f)
        return
    rounds = sys.argv[3] if len(sys.argv) > 3 else "21"
    out = os.path.join(os.environ.get("TMPDIR", "/tmp"), "ab_screen.%d.json" % os.getpid())
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update(TERM="xterm-256color", LINES="24", COLUMNS="80")
        os.execv(sys.executable, [sys.executable, __file__, sys.argv[1], sys.argv[2], rounds, out])
    while True:
        try:
            if not os.read(fd, 65536):
                break
        except OSError:
            break
    _, status = os.waitpid(pid, 0)
    if status != 0:
        sys.exit("ab_screen: the measuring child failed (status %d)" % status)
    with open(out) as f:
        result = json.load(f)
    os.unlink(out)
    # medians, and the fastest round of each side (least disturbed by the machine)
    print(f"{'case':28} {'old ns':>8} {'new ns':>8} {'new/old':>8} {'min old':>8} {'min new':>8} {'ratio':>6}")
    for label, old, new, old_min, new_min in result:
        print(f"{label:28} {old:8.1f} {new:8.1f} {new / old:8.3f} {old_min:8.1f} {new_min:8.1f} {new_min / old_min:6.3f}")


if __name__ == "__main__":
    main()
