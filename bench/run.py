"""Runs every benchmark and writes bench/results.md, bench/results.json and
bench/scaling.png. Start it through bench/run.sh (see the header there)."""
import argparse
import datetime
import json
import os
import pty
import re
import select
import statistics
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TWINS = os.path.join(os.path.dirname(HERE), "tests", "support")  # the hand-written side
PY = sys.executable
DASH_TARGET, SCREEN_TARGET, IMPORT_TARGET = 0.95, 0.90, 1.05


def say(msg):
    print(f"bench: {msg}", file=sys.stderr, flush=True)


def med(xs):
    return statistics.median(xs)


def us(ns):
    v = ns / 1e3
    if v < 10:
        return f"{v:.2f}"
    if v < 1000:
        return f"{v:.1f}"
    return f"{v:,.0f}"


# ---------------------------------------------------------------- runners

def run_dashboard(env):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "dash.json")
        subprocess.run([PY, os.path.join(HERE, "bench_dashboard.py"), out], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        with open(out) as f:
            return json.load(f)


def build_floor(where):
    """Compiles floor_pelmar.c against this interpreter's headers into `where`;
    None (and why) when there is no compiler or no headers."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    include = sysconfig.get_paths()["include"]
    if not cc or not os.path.exists(os.path.join(include, "Python.h")):
        say("no C compiler or no Python.h: the screen cases are timed without the C floor")
        return None
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    p = subprocess.run([cc, "-O2", "-shared", "-fPIC", f"-I{include}", os.path.join(HERE, "floor_pelmar.c"),
                        "-o", os.path.join(where, "floor_pelmar" + suffix)], capture_output=True, text=True)
    if p.returncode != 0:
        say(f"floor_pelmar.c did not compile, timed without it:\n{p.stderr[-2000:]}")
        return None
    return where


def run_screen(env):
    """The screen child gets a pseudo-terminal of its own; its screen output is
    drained and dropped, its results come back through a file."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "screen.json")
        child_env = dict(env, TERM="xterm-256color", LINES="24", COLUMNS="80")
        floor = build_floor(tmp)
        if floor:
            child_env["BENCH_FLOOR_DIR"] = floor
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.execve(PY, [PY, os.path.join(HERE, "bench_screen.py"), out], child_env)
            finally:
                os._exit(127)
        tail = b""
        while True:
            try:
                r, _, _ = select.select([fd], [], [], 1.0)
                if r:
                    chunk = os.read(fd, 65536)
                    if not chunk:
                        break
                    tail = (tail + chunk)[-4096:]
            except OSError:  # EIO: the child closed the terminal
                break
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        if os.path.exists(out + ".err") or not os.path.exists(out):
            err = open(out + ".err").read() if os.path.exists(out + ".err") else tail.decode("utf-8", "replace")
            raise SystemExit(f"bench: screen child failed (status {status}):\n{err}")
        with open(out) as f:
            return json.load(f)


IMPORT_VARIANTS = [
    ("interpreter start", "pass"),
    ("OrvanDeck dependencies", "import enum, datetime, contextlib, rich.live, rich.console, rich.table, "
                               "rich.progress, rich.text, time, random"),
    ("OrvanDeck", "import OrvanDeck"),
    ("orvan_twin (Python)", "import orvan_twin"),
    ("PelmarDeck dependencies", "import curses, sys, os"),
    ("PelmarDeck", "import PelmarDeck"),
    ("pelmar_twin (Python)", "import pelmar_twin"),
]


def run_imports(env, reps):
    """Wall clock of fresh interpreters, interleaved, minus a bare start."""
    env = dict(env, PYTHONPATH=TWINS)
    for _, code in IMPORT_VARIANTS:  # warm the file cache and write the .pyc files
        subprocess.run([PY, "-c", code], env=env, check=True)
    times = {name: [] for name, _ in IMPORT_VARIANTS}
    for r in range(reps):
        order = IMPORT_VARIANTS if r % 2 == 0 else IMPORT_VARIANTS[::-1]
        for name, code in order:
            t0 = time.perf_counter_ns()
            subprocess.run([PY, "-c", code], env=env, check=True)
            times[name].append(time.perf_counter_ns() - t0)
    base = med(times["interpreter start"])
    # The module body's own time, from the interpreter's import-time report.
    self_us = {}
    for mod in ("OrvanDeck", "PelmarDeck", "orvan_twin", "pelmar_twin"):
        vals = []
        for _ in range(5):
            p = subprocess.run([PY, "-X", "importtime", "-c", f"import {mod}"], env=env, check=True,
                               capture_output=True, text=True)
            for line in p.stderr.splitlines():
                m = re.match(r"import time:\s*(\d+)\s*\|\s*(\d+)\s*\|\s*(\S+)\s*$", line)
                if m and m.group(3) == mod:
                    vals.append(int(m.group(1)))
        self_us[mod] = med(vals) if vals else None
    return {"raw_ns": times, "base_ns": base,
            "net_ms": {k: (med(v) - base) / 1e6 for k, v in times.items() if k != "interpreter start"},
            "self_us": self_us}


# ---------------------------------------------------------------- report

def main_rows(dash, screen):
    rows = []
    if dash:
        for rec in dash["live"]:
            rows.append(("dashboard", rec["case"], med(rec["module_ns"]), med(rec["hand_ns"]), DASH_TARGET))
        for rec in dash["render"]:
            rows.append(("dashboard", rec["case"], med(rec["module_ns"]), med(rec["hand_ns"]), DASH_TARGET))
        for rec in dash.get("bare", []):
            rows.append(("dashboard", rec["case"], med(rec["module_ns"]), med(rec["hand_ns"]), DASH_TARGET))
    if screen:
        for rec in screen:
            rows.append(("screen", rec["case"], med(rec["module_ns"]), med(rec["hand_ns"]), SCREEN_TARGET))
    return rows


def floor_rows(screen):
    """(case, module, C floor with the interpreter's descriptor, C floor with an
    own descriptor type), as ratios over hand-written, for the cases timed
    against the floor."""
    out = []
    for r in screen or []:
        if "floor_ns" in r:
            h = med(r["hand_ns"])
            out.append((r["case"], med(r["module_ns"]) / h, med(r["floor_ns"]) / h, med(r["floor_own_ns"]) / h))
    return out


def markdown(meta, dash, screen, imports, plot_file):
    L = []
    L.append("# Benchmark results\n")
    L.append(f"Made by `bash bench/run.sh` on {meta['date']}: Python {meta['python']}, rich {meta['rich']}, "
             f"{meta['cpus']} CPUs, load average {meta['load']} at the start{' (quick run)' if meta['quick'] else ''}.\n")
    L.append("Each case times the extension module and the same work written by hand in Python "
             "(the plain-Python twins `tests/support/orvan_twin.py`, `tests/support/pelmar_twin.py`: the same rich and "
             "curses calls in the same order) "
             "side by side in interleaved rounds; the figures are medians of the rounds. "
             "Ratio = module / hand-written; below 1 the module is faster. "
             f"Targets: dashboard ≤ {DASH_TARGET}, screen ≤ {SCREEN_TARGET}, "
             f"import within {round((IMPORT_TARGET - 1) * 100)}% of the dependencies alone.\n")
    L.append("`[live]`: the dashboard's live display running as in real use (a rich `Live` on a terminal console "
             "writing to /dev/null, redrawing 4 times a second in its own thread); the time is the caller's, "
             "including waits for a redraw in progress. `_render_group`: the composition alone.\n")
    L.append("| case | module µs/op | hand µs/op | ratio | target |")
    L.append("|---|---:|---:|---:|---|")
    for kind, case, m, h, target in main_rows(dash, screen):
        verdict = "met" if m / h <= target else "missed"
        L.append(f"| {case} | {us(m)} | {us(h)} | {m / h:.3f} | ≤ {target} {verdict} |")
    floors = floor_rows(screen)
    if floors:
        L.append("\n## Screen methods against the C floor\n")
        L.append("`bench/floor_pelmar.c`: the same lookups and calls as the hand-written methods in plain C, with "
                 "nothing else (no argument binding, no module state), timed in the same rounds. `C, interpreter's "
                 "descriptor`: installed as the interpreter's own method descriptors, the call path it specialises. "
                 "`C, own descriptor type`: installed as objects of a minimal descriptor type, the way the modules' "
                 "methods hold their module's state. Ratios over hand-written Python.\n")
        L.append("| case | module | C, interpreter's descriptor | C, own descriptor type |")
        L.append("|---|---:|---:|---:|")
        for case, m, f, o in floors:
            L.append(f"| {case} | {m:.3f} | {f:.3f} | {o:.3f} |")
    if dash:
        L.append("\n## Share of a composition spent in the module's own code\n")
        L.append("`_render_group` with the real rich classes, then with `Table`, `Text` and `Group` replaced by "
                 "near-free stand-ins: what remains is the glue (plus the stand-in calls, alike on both sides); "
                 "the difference is the time spent inside rich, the floor for any implementation.\n")
        L.append("| case | module µs | module glue µs | module glue share | hand µs | hand glue µs | "
                 "hand glue share | inside rich µs |")
        L.append("|---|---:|---:|---:|---:|---:|---:|---:|")
        for r in dash["profile_share"]:
            L.append(f"| {r['case']} | {us(r['module_real_ns'])} | {us(r['module_stub_ns'])} | "
                     f"{r['module_glue_share'] * 100:.1f}% | {us(r['hand_real_ns'])} | {us(r['hand_stub_ns'])} | "
                     f"{r['hand_glue_share'] * 100:.1f}% | {us(r['rich_ns'])} |")
        L.append("\nProfile of one composition of 3 tables x 100 rows (cProfile, per composition; the module's own "
                 "C++ code is the line `_render_group`):\n")
        for side in ("module", "hand"):
            L.append(f"- {side}: " + "; ".join(f"`{r['func']}` {r['tottime_us']:.0f} µs"
                                              for r in dash["cprofile"][side][:5]))
        L.append("\n## Scaling: one refresh against the number of rows\n")
        L.append("One table of 5 columns; each operation is a `CUF_DisplayMulti` (composition and hand-over to a "
                 "stopped live display). Memory from tracemalloc: `group` is what the composed group keeps, "
                 "`peak` the peak during one composition, `state` the stored rows themselves.\n")
        L.append("| rows | module µs | hand µs | ratio | module µs/row | group B/row (module / hand) | "
                 "peak B/row (module / hand) | state B/row |")
        L.append("|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in dash["scaling"]:
            L.append(f"| {r['rows']:,} | {us(r['module_ns'])} | {us(r['hand_ns'])} | "
                     f"{r['module_ns'] / r['hand_ns']:.3f} | {r['module_ns'] / 1e3 / r['rows']:.2f} | "
                     f"{r['module_group_bytes_per_row']:.0f} / {r['hand_group_bytes_per_row']:.0f} | "
                     f"{r['module_peak_bytes_per_row']:.0f} / {r['hand_peak_bytes_per_row']:.0f} | "
                     f"{r['state_bytes_per_row']:.0f} |")
        if plot_file:
            L.append(f"\n![refresh time and memory per row against rows]({os.path.basename(plot_file)})\n")
    if imports:
        n = imports["net_ms"]
        L.append("\n## Import time\n")
        L.append(f"Fresh interpreter per run, median of {len(imports['raw_ns']['OrvanDeck'])} interleaved runs, "
                 f"minus a bare interpreter start ({imports['base_ns'] / 1e6:.1f} ms). "
                 "`body` is the module's own line of `-X importtime` (self time, dependencies excluded).\n")
        L.append("| import | ms | vs dependencies alone | body µs | target |")
        L.append("|---|---:|---:|---:|---|")
        for mod, deps, hand in (("OrvanDeck", "OrvanDeck dependencies", "orvan_twin (Python)"),
                                ("PelmarDeck", "PelmarDeck dependencies", "pelmar_twin (Python)")):
            L.append(f"| {deps} | {n[deps]:.2f} | 1.000 | | |")
            ratio = n[mod] / n[deps]
            L.append(f"| {mod} | {n[mod]:.2f} | {ratio:.3f} | {imports['self_us'][mod]} | "
                     f"≤ {IMPORT_TARGET:.2f} {'met' if ratio <= IMPORT_TARGET else 'missed'} |")
            hmod = hand.split()[0]
            L.append(f"| {hand} | {n[hand]:.2f} | {n[hand] / n[deps]:.3f} | {imports['self_us'][hmod]} | |")
    return "\n".join(L) + "\n"


def console_report(dash, screen, imports):
    rows = main_rows(dash, screen)
    w = max([len(r[1]) for r in rows] + [4])
    print(f"\n{'case':{w}s} | {'module µs/op':>12s} | {'hand µs/op':>12s} | {'ratio':>6s} | target")
    print("-" * (w + 52))
    for kind, case, m, h, target in rows:
        print(f"{case:{w}s} | {us(m):>12s} | {us(h):>12s} | {m / h:6.3f} | "
              f"{'met' if m / h <= target else 'MISSED'} (≤ {target})")
    floors = floor_rows(screen)
    if floors:
        print("\nscreen ratios over hand-written: module, C floor (interpreter's descriptor), C floor (own type):")
        for case, m, f, o in floors:
            print(f"  {case:24s} {m:6.3f} {f:6.3f} {o:6.3f}")
    if dash:
        print("\nglue share of one composition (rich's Table/Text/Group stubbed):")
        for r in dash["profile_share"]:
            print(f"  {r['case']:20s} module {us(r['module_real_ns']):>9s} µs, glue {us(r['module_stub_ns']):>8s} µs "
                  f"({r['module_glue_share'] * 100:4.1f}%) | hand {us(r['hand_real_ns']):>9s} µs, glue "
                  f"{us(r['hand_stub_ns']):>8s} µs ({r['hand_glue_share'] * 100:4.1f}%) | inside rich "
                  f"{us(r['rich_ns'])} µs")
        print("\ncProfile, one composition of 3x100 rows, top self times:")
        for side in ("module", "hand"):
            for r in dash["cprofile"][side][:6]:
                print(f"  {side:6s} {r['func'][:64]:64s} {r['calls_per_render']:7.0f} calls {r['tottime_us']:9.1f} µs")
        print("\nscaling (1 table x 5 cols, DisplayMulti, live stopped):")
        print(f"  {'rows':>6s} {'module µs':>10s} {'hand µs':>10s} {'ratio':>6s} {'µs/row':>7s} "
              f"{'group B/row':>12s} {'peak B/row':>12s}")
        for r in dash["scaling"]:
            print(f"  {r['rows']:6d} {us(r['module_ns']):>10s} {us(r['hand_ns']):>10s} "
                  f"{r['module_ns'] / r['hand_ns']:6.3f} {r['module_ns'] / 1e3 / r['rows']:7.2f} "
                  f"{r['module_group_bytes_per_row']:6.0f}/{r['hand_group_bytes_per_row']:<5.0f} "
                  f"{r['module_peak_bytes_per_row']:6.0f}/{r['hand_peak_bytes_per_row']:<5.0f}")
    if imports:
        print("\nimport time (ms over a bare interpreter start):")
        for k, v in imports["net_ms"].items():
            print(f"  {k:26s} {v:8.2f}")
        for mod, deps in (("OrvanDeck", "OrvanDeck dependencies"), ("PelmarDeck", "PelmarDeck dependencies")):
            ratio = imports["net_ms"][mod] / imports["net_ms"][deps]
            print(f"  {mod} / its dependencies: {ratio:.3f} ({'met' if ratio <= IMPORT_TARGET else 'MISSED'}, "
                  f"≤ {IMPORT_TARGET}); module body {imports['self_us'][mod]} µs")


def make_plot(results_path):
    plot_py = os.environ.get("BENCH_PLOT_PYTHON") or PY
    p = subprocess.run([plot_py, os.path.join(HERE, "plot.py"), results_path], capture_output=True, text=True)
    if p.returncode != 0:
        say(f"plot failed: {p.stderr.strip()[-500:]}")
        return None
    return p.stdout.strip() or None


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, not for the numbers")
    ap.add_argument("--only", default="dashboard,screen,imports",
                    help="comma-separated subset of: dashboard, screen, imports")
    a = ap.parse_args()
    parts = set(a.only.split(","))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")}
    if a.quick:
        env["BENCH_QUICK"] = "1"
    import rich  # noqa: F401  (version only)
    from importlib.metadata import version
    meta = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "python": sys.version.split()[0],
            "executable": PY, "rich": version("rich"), "deck_tui": version("deck-tui"), "cpus": os.cpu_count(),
            "load": "%.2f" % os.getloadavg()[0], "quick": a.quick}
    say(f"python {meta['python']} ({PY}), rich {meta['rich']}, deck-tui {meta['deck_tui']}, "
        f"load average {meta['load']}")
    t0 = time.time()
    dash = screen = imports = None
    if "dashboard" in parts:
        say("dashboard cases (live display, composition, glue share, scaling)...")
        dash = run_dashboard(env)
    if "screen" in parts:
        say("screen cases in a pseudo-terminal...")
        screen = run_screen(env)
    if "imports" in parts:
        say("import times...")
        imports = run_imports(env, 7 if a.quick else 21)
    results = {"meta": meta, "dashboard": dash, "screen": screen, "imports": imports}
    results_path = os.path.join(HERE, "results.json")
    with open(results_path, "w") as f:
        json.dump(results, f, indent=1)
    plot_file = make_plot(results_path) if dash else None
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write(markdown(meta, dash, screen, imports, plot_file))
    console_report(dash, screen, imports)
    print(f"\nwritten: bench/results.md, bench/results.json{', ' + os.path.relpath(plot_file) if plot_file else ''}"
          f" ({time.time() - t0:.0f} s)")


if __name__ == "__main__":
    main()
