#!/usr/bin/env bash
# Benchmarks of the installed modules against the same work written by hand in Python.
#
#   bash bench/run.sh                  # everything (about 8 minutes on 2 cores)
#   bash bench/run.sh --quick          # smoke run, numbers not meant to be kept
#   bash bench/run.sh --only screen    # dashboard, screen, imports (comma separated)
#   BENCH_VENV=py3.10 bash bench/run.sh
#
# Measures against .venv/$BENCH_VENV (default py3.11, made by scripts/setup.sh) and
# writes bench/results.md, bench/results.json and bench/scaling.png. matplotlib is
# installed into a venv of its own (.venv/bench-plot), never into the test venvs;
# without it the curve is drawn as bench/scaling.svg.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
unset PYTHONPATH PYTHONHOME

VENV="${BENCH_VENV:-py3.11}"
PY=".venv/$VENV/bin/python"
[ -x "$PY" ] || { echo "bench: $PY missing; run: bash scripts/setup.sh --only $VENV" >&2; exit 1; }
"$PY" -c 'import OrvanDeck, PelmarDeck' \
    || { echo "bench: OrvanDeck/PelmarDeck not importable in .venv/$VENV; run scripts/setup.sh" >&2; exit 1; }

PLOT=".venv/bench-plot"
if ! "$PLOT/bin/python" -c 'import matplotlib' 2>/dev/null; then
    echo "bench: installing matplotlib into $PLOT (plotting only)" >&2
    if "$PY" -m venv --clear "$PLOT" >/dev/null 2>&1 \
        && "$PLOT/bin/python" -m pip install -q --disable-pip-version-check matplotlib >&2; then
        :
    else
        echo "bench: matplotlib unavailable; the curve is written as SVG" >&2
    fi
fi
if "$PLOT/bin/python" -c 'import matplotlib' 2>/dev/null; then
    export BENCH_PLOT_PYTHON="$ROOT/$PLOT/bin/python"
fi

exec "$PY" bench/run.py "$@"
