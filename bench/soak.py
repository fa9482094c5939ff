"""Long-run soak: a million dashboard operations and a million screen writes
on recording fakes, with memory figures before and after each run.

    .venv/py3.11/bin/python bench/soak.py [--ops N] [--tracemalloc]

Exits non-zero when a run's memory does not stay flat. Not part of the test
suite (it takes a few minutes)."""

import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

import pytest  # noqa: E402

from reliability_support import OrvanDeck, PelmarRig, orvan_rig  # noqa: E402

# allowed drift per run: allocator noise, not a per-operation leak
RSS_SLACK_KB = 4096
BLOCK_SLACK = 2000


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def figures(traced):
    gc.collect()
    out = {"rss_kb": rss_kb(), "blocks": sys.getallocatedblocks()}
    if hasattr(sys, "gettotalrefcount"):
        out["refs"] = sys.gettotalrefcount()
    if traced:
        import tracemalloc
        out["traced_kb"] = tracemalloc.get_traced_memory()[0] // 1024
    return out


def dashboard_ops():
    mp = pytest.MonkeyPatch()
    rec = orvan_rig(mp, record=False)
    d = OrvanDeck.CLASS_Orvan()
    colours = list(OrvanDeck.ENUM_RichColor)

    def setup():
        d.CUF_AddTable("Workers", ["id", "state", "pct"])
        d.CUF_AddTable("Jobs", ["id", "owner"])

    setup()
    step = 0

    def op():
        nonlocal step
        i = step
        step += 1
        k = i % 16
        if k < 6:
            d.CUF_DisplayMulti("Workers", "w%d" % (i % 12), [i % 12, "[green]ok[/green]", "%d%%" % (i % 100)])
        elif k < 8:
            d.CUF_DisplayMulti("Jobs", "j%d" % (i % 5), ["j", "user%d" % (i % 7)])
        elif k < 10:
            d.CUF_AddLog("iteration %d [green]finished[/green]" % i, colours[i % len(colours)])
        elif k < 12:
            d.CUF_DisplaySingle("processing %d" % i, "yellow")
        elif k == 12:
            d.CUF_ProgressStartP("job", 100, "green", 0.2)
        elif k < 15:
            d.CUF_ProgressAdvance(2)
        else:
            d.CUF_ProgressStop()
        if i % 997 == 996:  # the log is never trimmed on its own
            d.CUF_Clear()
            setup()
        rec.instances.clear()

    def done():
        d.CUF_Close()
        mp.undo()

    return op, done


def screen_ops():
    mp = pytest.MonkeyPatch()
    rig = PelmarRig(mp, record=False, cols=80, rows=24)
    s = rig.screen()
    win = rig.curses.newwin(5, 20, 2, 2)
    step = 0

    def op():
        nonlocal step
        i = step
        step += 1
        k = i % 8
        if k == 0:
            s.CUF_PrintXY(i % 90, i % 30, "計數器： %d" % i, i % 4)
        elif k == 1:
            s.CUF_PrintC(i % 30, "中央 %d" % i)
        elif k == 2:
            s.CUF_PrintSTATUS("[ 狀態列顯示列 ] %d" % i)
        elif k == 3:
            s.CUF_Print("x")
        elif k == 4:
            s.CUF_PrintXYW(win, 1, 1, "w%d" % i, 0)
        elif k == 5:
            s.CUF_Move(i % 80, i % 24)
        elif k == 6:
            s.CUF_GET_SCR_MAX()
        else:
            s.CUF_strlen("中文%d" % i)

    return op, mp.undo


def soak(name, make, ops, traced):
    op, done = make()
    for _ in range(min(20000, ops // 10)):  # warm caches first
        op()
    before = figures(traced)
    t0 = time.monotonic()
    for _ in range(ops):
        op()
    elapsed = time.monotonic() - t0
    after = figures(traced)
    done()
    print("%-9s %9d ops in %6.1fs (%5.1f us/op)" % (name, ops, elapsed, 1e6 * elapsed / ops))
    for key in before:
        print("    %-10s before %12d  after %12d  delta %+d" % (key, before[key], after[key], after[key] - before[key]))
    flat = (after["rss_kb"] - before["rss_kb"] <= RSS_SLACK_KB
            and after["blocks"] - before["blocks"] <= BLOCK_SLACK
            and after.get("refs", 0) - before.get("refs", 0) <= BLOCK_SLACK)
    print("    %s" % ("flat" if flat else "GROWING"))
    return flat


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ops", type=int, default=1_000_000)
    parser.add_argument("--tracemalloc", action="store_true", help="also trace Python allocations (slower)")
    args = parser.parse_args()
    if args.tracemalloc:
        import tracemalloc
        tracemalloc.start()
    print("python %s, %s" % (sys.version.split()[0], OrvanDeck.__file__))
    ok = soak("dashboard", dashboard_ops, args.ops, args.tracemalloc)
    ok = soak("screen", screen_ops, args.ops, args.tracemalloc) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
