"""Two builds of OrvanDeck in one process, timed side by side.

    python bench/ab.py OLD_DIR NEW_DIR [ROUNDS]

Each DIR holds an OrvanDeck extension (a build tree or an unpacked wheel).
Both are loaded by path into this process, each dashboard on the same kind of
console, and every case is timed in interleaved rounds on both; the ratio is
new / old (medians). Separate processes differ by more than a small change
costs, which is why this runs both in one.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_dashboard as bd  # noqa: E402
import timing  # noqa: E402


def load(folder):
    module = timing.load_by_path("OrvanDeck", folder)
    module.Console = bd.console_factory
    return module


def main():
    old_dir, new_dir = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    modules = {"old": load(old_dir), "new": load(new_dir)}
    print(f"{'case':44} {'old us':>9} {'new us':>9} {'new/old':>8}")
    for label, setup, method, args, _ in bd.cases():
        pair = {k: m.CLASS_Orvan() for k, m in modules.items()}
        for d in pair.values():
            bd.pause(d)
        setup(pair)
        calls = {k: getattr(d, method) for k, d in pair.items()}
        renders = {k: d._render_group for k, d in pair.items()}
        for name, sides, a in ((label, calls, args),
                               ("_render_group " + label.partition(" ")[2], renders, ())):
            n = timing.calibrate(sides["old"], a, 0.05)
            res = timing.compare(sides, a, n, rounds)
            old, new = timing.med(res["old"]), timing.med(res["new"])
            print(f"{name:44} {old / 1e3:9.2f} {new / 1e3:9.2f} {new / old:8.3f}", flush=True)
        for d in pair.values():
            d.CUF_Close()


if __name__ == "__main__":
    main()
