"""Dashboard benchmarks: OrvanDeck against its plain-Python twin, in one process.

Run by run.py; writes its results as JSON to the path given as argv[1].
"""
import cProfile
import gc
import json
import os
import pstats
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
# the twin lives with the tests, which compare with it too
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests", "support")]

import OrvanDeck  # noqa: E402
import orvan_twin as hand_orvan  # noqa: E402
from rich.console import Console, Group  # noqa: E402

import timing  # noqa: E402

QUICK = os.environ.get("BENCH_QUICK") == "1"
ROUNDS = 3 if QUICK else 11
LIVE_ROUND_S = 0.15 if QUICK else 0.4
RENDER_ROUND_S = 0.08 if QUICK else 0.15
_err = sys.__stderr__
_devnull = open(os.devnull, "w")


def log(msg):
    _err.write(f"bench: dashboard: {msg}\n")
    _err.flush()


def console_factory():
    # A terminal that nobody reads: real rendering and escape codes, fixed size.
    return Console(file=_devnull, force_terminal=True, width=120, height=50, color_system="truecolor")


# Both dashboards construct Console() through their module global.
OrvanDeck.Console = console_factory
hand_orvan.Console = console_factory

SIDES = ("module", "hand")
CLASSES = {"module": OrvanDeck.CLASS_Orvan, "hand": hand_orvan.CLASS_Orvan}
MODULES = {"module": OrvanDeck, "hand": hand_orvan}

CELL_KINDS = [
    lambda r: f"job-{r:05d}",
    lambda r: r * 7,
    lambda r: ("[green]OK[/green]", "[yellow]Busy[/yellow]", "Pending")[r % 3],
    lambda r: f"{r % 101}%",
    lambda r: f"node-{r % 17}",
    lambda r: r % 2 == 0,
    lambda r: r * 0.25,
    lambda r: f"user{r % 9}",
]
COLSETS = {1: [5], 3: [3, 5, 8], 10: [3, 4, 5, 6, 7, 8, 3, 4, 5, 6]}


def make_rows(nrows, ncols):
    return {f"r{r:05d}": [CELL_KINDS[c](r) for c in range(ncols)] for r in range(nrows)}


def pause(d):
    # Stop the live thread; hand it an empty group first so the final redraw
    # that stop() makes costs nothing.
    d.live.update(Group())
    d.live.stop()


def resume(d):
    d.live.start()
    d.live.vertical_overflow = "ellipsis"  # stop() switched it to "visible"


def make_pair():
    pair = {s: CLASSES[s]() for s in SIDES}
    for d in pair.values():
        pause(d)
    return pair


def add_tables(pair, ntables, nrows):
    cols = COLSETS[ntables]
    shared = [(f"T{j}", [f"col{c}" for c in range(cols[j])], make_rows(nrows, cols[j])) for j in range(ntables)]
    for d in pair.values():
        for tid, columns, rows in shared:
            d.CUF_AddTable(tid, columns)
            # Same state as nrows DisplayMulti calls, without the nrows refreshes.
            d.tables[tid]["rows"].update(rows)


def add_logs(pair, n):
    lines = [f"[white][2026/12/07-20:47:{i % 60:02d}] Iteration {i} [green]finished[/green][/white]" for i in range(n)]
    for d in pair.values():
        d.logs.extend(lines)


# Each case: (label, setup(pair), method name, args)
def cases():
    out = []
    for nt in (1, 3, 10):
        for nr in (10, 100, 1000):
            cols = "/".join(str(c) for c in sorted(set(COLSETS[nt])))
            cols = f"{min(COLSETS[nt])}-{max(COLSETS[nt])}" if nt == 10 else cols
            label = f"DisplayMulti {nt}x{nr} rows ({cols} cols)"
            vals = make_rows(1, COLSETS[nt][0])["r00000"]
            out.append((label, (lambda p, nt=nt, nr=nr: add_tables(p, nt, nr)), "CUF_DisplayMulti",
                        ("T0", "r00000", vals), (nt, nr)))
    out.append(("AddLog (10 shown of 10,000)", lambda p: add_logs(p, 10_000), "CUF_AddLog",
                ("Iteration 3 [green]finished[/green]", "magenta"), None))
    out.append(("DisplaySingle", lambda p: None, "CUF_DisplaySingle", ("Processing iteration 3...", "yellow"), None))

    def progress(p):
        for d in p.values():
            d.CUF_ProgressStartP("Overall Progress", 10**12, "green", 0.2)
    out.append(("ProgressAdvance", progress, "CUF_ProgressAdvance", (1,), None))
    return out


def summarise(label, res, n, extra=None):
    rec = {"case": label, "n": n, "module_ns": res["module"], "hand_ns": res["hand"]}
    if extra:
        rec.update(extra)
    m, h = timing.med(res["module"]), timing.med(res["hand"])
    log(f"{label:42s} module {m / 1e3:10.1f} us  hand {h / 1e3:10.1f} us  ratio {m / h:.3f}  (n={n})")
    return rec


def bench_live_and_render():
    live_out, render_out = [], []
    for label, setup, meth, args, shape in cases():
        pair = make_pair()
        setup(pair)
        fns = {s: getattr(pair[s], meth) for s in SIDES}
        # (a) the live display running, as a script has it
        def before(name, pair=pair):
            for s in SIDES:
                if s != name and pair[s].live.is_started:
                    pause(pair[s])
            if not pair[name].live.is_started:
                resume(pair[name])
        before("module")
        fns["module"](*args)  # warm-up
        n = timing.calibrate(fns["module"], args, LIVE_ROUND_S, lo=3)
        before("hand")
        fns["hand"](*args)
        res = timing.compare(fns, args, n, ROUNDS, before)
        for d in pair.values():
            if d.live.is_started:
                pause(d)
        live_out.append(summarise(f"{label} [live]", res, n, {"shape": shape, "method": meth}))
        # (b) the composition alone, no live display involved
        if meth == "CUF_DisplayMulti" or meth == "CUF_AddLog":
            rfns = {s: pair[s]._render_group for s in SIDES}
            n = timing.calibrate(rfns["module"], (), RENDER_ROUND_S, lo=3)
            res = timing.compare(rfns, (), n, ROUNDS)
            rlabel = label.replace("DisplayMulti", "_render_group").replace("AddLog", "_render_group logs")
            render_out.append(summarise(rlabel, res, n, {"shape": shape}))
        for d in pair.values():
            d.CUF_Close()
        del pair, fns
        gc.collect()
    return live_out, render_out


# ---------------------------------------------------------------- glue share

class _StubText:
    @staticmethod
    def from_markup(text):
        return text


class _StubTable:
    __slots__ = ()

    def __init__(self, title=None):
        pass

    def add_column(self, header, justify=None):
        pass

    def add_row(self, *cells):
        pass


def _stub_group(*renderables):
    return renderables


def bench_profile_share():
    """_render_group with real rich against near-free stand-ins for Table,
    Text and Group: what is left with the stand-ins is the glue (plus the
    stand-in calls, the same on both sides); the difference is rich's."""
    out = []
    shapes = [("1x1000 rows", lambda p: add_tables(p, 1, 1000)), ("3x100 rows", lambda p: add_tables(p, 3, 100)),
              ("10x100 rows", lambda p: add_tables(p, 10, 100)), ("10x1000 rows", lambda p: add_tables(p, 10, 1000)),
              ("logs 10 of 10,000", lambda p: add_logs(p, 10_000))]
    names = ("Table", "Text", "Group")
    for label, setup in shapes:
        pair = make_pair()
        setup(pair)
        fns = {s: pair[s]._render_group for s in SIDES}
        n = timing.calibrate(fns["module"], (), RENDER_ROUND_S, lo=3)
        real = timing.compare(fns, (), n, ROUNDS)
        saved = {s: {k: getattr(MODULES[s], k) for k in names} for s in SIDES}
        try:
            for s in SIDES:
                MODULES[s].Table, MODULES[s].Text, MODULES[s].Group = _StubTable, _StubText, _stub_group
            ns = timing.calibrate(fns["module"], (), RENDER_ROUND_S, lo=3)
            stub = timing.compare(fns, (), ns, ROUNDS)
        finally:
            for s in SIDES:
                for k, v in saved[s].items():
                    setattr(MODULES[s], k, v)
        rec = {"case": label}
        for s in SIDES:
            rec[f"{s}_real_ns"] = timing.med(real[s])
            rec[f"{s}_stub_ns"] = timing.med(stub[s])
        rec["rich_ns"] = rec["hand_real_ns"] - rec["hand_stub_ns"]
        rec["module_glue_share"] = rec["module_stub_ns"] / rec["module_real_ns"]
        rec["hand_glue_share"] = rec["hand_stub_ns"] / rec["hand_real_ns"]
        log(f"share {label:18s} module real {rec['module_real_ns'] / 1e3:9.1f} stub {rec['module_stub_ns'] / 1e3:8.1f}"
            f" | hand real {rec['hand_real_ns'] / 1e3:9.1f} stub {rec['hand_stub_ns'] / 1e3:8.1f} us")
        out.append(rec)
        for d in pair.values():
            d.CUF_Close()
    return out


def bench_cprofile():
    """Where a composition's time goes, per function, for 3 tables x 100 rows."""
    pair = make_pair()
    add_tables(pair, 3, 100)
    out = {}
    for s in SIDES:
        f = pair[s]._render_group
        reps = 100 if QUICK else 300
        prof = cProfile.Profile()
        prof.enable()
        for _ in range(reps):
            f()
        prof.disable()
        st = pstats.Stats(prof)
        rows = []
        for (file, line, fn), (cc, nc, tt, ct, _callers) in st.stats.items():
            rows.append({"func": f"{os.path.basename(file)}:{line}({fn})" if file != "~" else fn,
                         "calls_per_render": nc / reps, "tottime_us": tt / reps * 1e6, "cumtime_us": ct / reps * 1e6})
        rows.sort(key=lambda r: -r["tottime_us"])
        out[s] = rows[:12]
    for d in pair.values():
        d.CUF_Close()
    return out


# ---------------------------------------------------------------- scaling

def bench_scaling():
    out = []
    rows_list = [10, 30, 100, 300, 1000, 3000, 10000]
    for nr in rows_list:
        pair = make_pair()
        tracemalloc.start()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        rows = make_rows(nr, 5)
        state_bytes = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        for d in pair.values():
            d.CUF_AddTable("T0", [f"col{c}" for c in range(5)])
            d.tables["T0"]["rows"].update(rows)
        vals = rows["r00000"]
        fns = {s: pair[s].CUF_DisplayMulti for s in SIDES}
        args = ("T0", "r00000", vals)
        n = timing.calibrate(fns["module"], args, RENDER_ROUND_S, lo=3)
        res = timing.compare(fns, args, n, max(3, ROUNDS - 2))
        rec = {"rows": nr, "n": n, "module_ns": timing.med(res["module"]), "hand_ns": timing.med(res["hand"]),
               "state_bytes_per_row": state_bytes / nr}
        for s in SIDES:
            f = pair[s]._render_group
            gc.collect()
            tracemalloc.start()
            base = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            g = f()
            cur, peak = tracemalloc.get_traced_memory()
            del g
            tracemalloc.stop()
            rec[f"{s}_group_bytes_per_row"] = (cur - base) / nr
            rec[f"{s}_peak_bytes_per_row"] = (peak - base) / nr
        log(f"scaling {nr:6d} rows: module {rec['module_ns'] / 1e3:10.1f} us  hand {rec['hand_ns'] / 1e3:10.1f} us"
            f"  group B/row {rec['module_group_bytes_per_row']:.0f} / {rec['hand_group_bytes_per_row']:.0f}")
        out.append(rec)
        for d in pair.values():
            d.CUF_Close()
        del pair, fns, rows
        gc.collect()
    return out


def bench_bare():
    """Calls that return at once (no progress bar to advance or stop): what a
    method call itself costs, next to the same early return in Python."""
    pair = make_pair()
    out = []
    for label, meth in (("ProgressAdvance, no bar (bare call)", "CUF_ProgressAdvance"),
                        ("ProgressStop, no bar (bare call)", "CUF_ProgressStop")):
        fns = {s: getattr(pair[s], meth) for s in SIDES}
        n = timing.calibrate(fns["module"], (), RENDER_ROUND_S, lo=1000)
        out.append(summarise(label, timing.compare(fns, (), n, ROUNDS), n))
    return out


def main():
    out_path = sys.argv[1]
    t0 = time.time()
    res = {}
    res["bare"] = bench_bare()
    res["live"], res["render"] = bench_live_and_render()
    res["profile_share"] = bench_profile_share()
    res["cprofile"] = bench_cprofile()
    res["scaling"] = bench_scaling()
    res["seconds"] = time.time() - t0
    with open(out_path, "w") as f:
        json.dump(res, f, indent=1)


if __name__ == "__main__":
    main()
