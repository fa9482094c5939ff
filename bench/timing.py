"""Side-by-side timing: interleaved rounds, median per side."""
import gc
import glob
import importlib.machinery
import importlib.util
import os
import statistics
import time
from itertools import repeat

_loops = {}


def call_loop(nargs):
    """A loop calling f(a0, ..., a{nargs-1}) n times with no per-call packing,
    so the only overhead in the timing is the call a user would make anyway."""
    if nargs not in _loops:
        names = ", ".join(f"a{i}" for i in range(nargs))
        src = (f"def loop(f, n{', ' if nargs else ''}{names}):\n"
               f"    for _ in repeat(None, n):\n"
               f"        f({names})\n")
        ns = {"repeat": repeat}
        exec(src, ns)
        _loops[nargs] = ns["loop"]
    return _loops[nargs]


def run_once(f, args, n):
    loop = call_loop(len(args))
    t0 = time.perf_counter_ns()
    loop(f, n, *args)
    return (time.perf_counter_ns() - t0) / n


def calibrate(f, args, target_s, lo=1, hi=1_000_000):
    """Calls per round so that a round takes about target_s."""
    n = 1
    while True:
        per = run_once(f, args, n)
        if per * n > 0.02e9 or n >= hi:
            break
        n *= 4
    return max(lo, min(hi, int(target_s * 1e9 / max(per, 1.0))))


def compare(sides, args, n, rounds, before=None):
    """sides: {name: callable}. Every round times each side for n calls,
    alternating which side goes first. Returns {name: [ns per call, per round]}."""
    names = list(sides)
    out = {k: [] for k in names}
    for r in range(rounds):
        order = names if r % 2 == 0 else names[::-1]
        for name in order:
            if before is not None:
                before(name)
            gc.collect()
            out[name].append(run_once(sides[name], args, n))
    return out


def med(xs):
    return statistics.median(xs)


def load_by_path(name, folder):
    """A fresh module object of the extension `name` built into `folder`, so
    that two builds of one module can be timed in one process."""
    path, = glob.glob(os.path.join(folder, name + "*.so"))
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
