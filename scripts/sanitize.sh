#!/usr/bin/env bash
# Builds the modules with AddressSanitizer + UndefinedBehaviorSanitizer into
# .venv/asan3.11 and runs the whole test suite with the sanitizer runtime
# preloaded. Fails on a test failure or on any sanitizer report, including
# reports from child processes (they go to files under build/asan3.11/reports).
#
#   bash scripts/sanitize.sh [pytest args]
set -euo pipefail

DECK_TOOL=sanitize
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# pyenv's 3.11 when present, else Debian's interpreter.
if command -v pyenv >/dev/null 2>&1 && PYROOT="$(pyenv root 2>/dev/null)" && [ -n "$PYROOT" ]; then :
else PYROOT="${PYENV_ROOT:-$HOME/.pyenv}"; fi
BASE_PY="$(ls -1d "$PYROOT"/versions/3.11.* 2>/dev/null | grep -E '/3\.11\.[0-9]+$' | sort -V | tail -n1 || true)"
if [ -n "$BASE_PY" ] && [ -x "$BASE_PY/bin/python3.11" ]; then BASE_PY="$BASE_PY/bin/python3.11"; else BASE_PY=/usr/bin/python3; fi

VENV=.venv/asan3.11
BUILD=build/asan3.11
REPORTS="$ROOT/$BUILD/reports"
same_base() { [ "$(readlink -f "$1")" = "$(readlink -f "$BASE_PY")" ]; }
make_venv "$VENV" "$BASE_PY" same_base
PY="$VENV/bin/python"

say "building the sanitizer wheel with $BASE_PY"
DECK_SANITIZE=ON DECK_FULL_ABI=OFF build_wheel "$PY" "$BUILD"
"$PY" -m pip install -q "$WHEEL[test]" || die "could not install the test extras"

ASAN_RT="$(g++ -print-file-name=libasan.so)"
UBSAN_RT="$(g++ -print-file-name=libubsan.so)"
[ -f "$ASAN_RT" ] && [ -f "$UBSAN_RT" ] || die "sanitizer runtimes not found ($ASAN_RT, $UBSAN_RT)"
[[ "$(nm -D "$VENV"/lib/python*/site-packages/OrvanDeck*.so)" == *__asan_init* ]] \
    || die "installed OrvanDeck is not instrumented"

rm -rf "$REPORTS"; mkdir -p "$REPORTS"
say "running the test suite under ASan+UBSan"
rc=0
# The interpreter itself is not instrumented: its own leaks are not ours.
LD_PRELOAD="$ASAN_RT:$UBSAN_RT" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$REPORTS/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
    "$VENV/bin/pytest" -p no:cacheprovider -q "$@" || rc=$?

shopt -s nullglob
reports=("$REPORTS"/*)
shopt -u nullglob
if [ ${#reports[@]} -gt 0 ]; then
    for f in "${reports[@]}"; do echo "---- $f"; head -n 60 "$f"; done
    die "${#reports[@]} sanitizer report(s)"
fi
[ "$rc" -eq 0 ] || die "pytest exit $rc under the sanitizers"
say "OK: test suite passed with no sanitizer reports"
