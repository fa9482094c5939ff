#!/usr/bin/env bash
# Run the test suite against the installed wheel in every venv made by scripts/setup.sh.
#
#   bash scripts/test.sh                         # setup, then pytest in every venv
#   bash scripts/test.sh -k orvan -x             # extra arguments go to pytest
#   bash scripts/test.sh --only py3.11 [-- ...]  # a subset of venvs (also: DECK_VENVS="py3.11")
#   bash scripts/test.sh --reuse-wheel [...]     # skip the wheel build (40-80 s) while the wheel
#                                                # installed in those venvs is current (setup.sh)
#
# Runs setup.sh first, then each venv's own bin/pytest from the repo root, one venv after
# another, continuing past failures; exits non-zero if any venv failed (pytest's exit 5,
# "no tests collected", counts as a failure).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
unset PYTHONPATH PYTHONHOME
export PYTHONDONTWRITEBYTECODE=1   # keep __pycache__ out of the tree
# hypothesis keeps its example database (replays past failures) under .venv/, not the repo root
export HYPOTHESIS_STORAGE_DIRECTORY="${HYPOTHESIS_STORAGE_DIRECTORY:-$ROOT/.venv/.hypothesis}"

SETUP_ARGS=()
while [ $# -gt 0 ]; do
    case "$1" in
        --only)   [ $# -ge 2 ] || { echo "test: --only needs a venv name" >&2; exit 2; }
                  SETUP_ARGS+=(--only "$2"); shift 2 ;;
        --only=*) SETUP_ARGS+=("$1"); shift ;;
        --reuse-wheel) SETUP_ARGS+=("$1"); shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done

if ! bash scripts/setup.sh ${SETUP_ARGS[@]+"${SETUP_ARGS[@]}"}; then
    echo "test: FAILED: scripts/setup.sh failed (see above); no tests were run" >&2
    exit 1
fi

[ -s .venv/.ready ] || { echo "test: FAILED: setup.sh left no .venv/.ready list of venvs" >&2; exit 1; }
mapfile -t VENVS < .venv/.ready

declare -A RESULT=()
failed=0
for name in "${VENVS[@]}"; do
    echo
    echo "================================================================ $name"
    py=".venv/$name/bin/python"
    echo "test: $name: $("$py" -c 'import sys; print(sys.version.split()[0], sys.executable)')"
    rc=0
    start=$SECONDS
    # the distribution check rebuilds everything, so only the first venv runs it
    dist_check=0; [ "$name" = "${VENVS[0]}" ] && dist_check=1
    DECK_DIST_CHECK="$dist_check" ".venv/$name/bin/pytest" -p no:cacheprovider "$@" || rc=$?
    case "$rc" in
        0) RESULT[$name]="PASS" ;;
        1) RESULT[$name]="FAIL (tests failed)" ;;
        5) RESULT[$name]="FAIL (pytest exit 5: no tests were collected)" ;;
        *) RESULT[$name]="FAIL (pytest exit $rc: interrupted, internal or usage error)" ;;
    esac
    RESULT[$name]+=" in $((SECONDS - start)) s"
    [ "$rc" -eq 0 ] || failed=$((failed + 1))
    echo "test: $name: ${RESULT[$name]}"
done

echo
echo "================================================================ summary"
for name in "${VENVS[@]}"; do
    printf 'test: %-12s %s\n' "$name" "${RESULT[$name]}"
done
if [ "$failed" -eq 0 ]; then
    echo "test: OK: pytest succeeded in all ${#VENVS[@]} venvs"
    exit 0
fi
echo "test: FAILED: pytest failed in $failed of ${#VENVS[@]} venvs" >&2
exit 1
