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
if ! { [ -x "$VENV/bin/python" ] && "$VENV/bin/python" -m pip --version \
        && [ "$(readlink -f "$VENV/bin/python")" = "$(readlink -f "$BASE_PY")" ]; } >/dev/null 2>&1; then
    say "creating $VENV with $BASE_PY"
    rm -rf "$VENV"
    "$BASE_PY" -m venv "$VENV" || die "could not create $VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip || die "could not upgrade pip in $VENV"
fi
PY="$VENV/bin/python"

say "building the sanitizer wheel with $BASE_PY"
rm -rf "$BUILD/dist"
DECK_SANITIZE=ON DECK_FULL_ABI=OFF "$PY" -m pip wheel . --no-deps -w "$BUILD/dist" -C build-dir="$BUILD/cmake" \
    || die "wheel build failed"
shopt -s nullglob
wheels=("$BUILD"/dist/deck_tui-*.whl)
shopt -u nullglob
[ ${#wheels[@]} -eq 1 ] || die "expected one wheel in $BUILD/dist, found ${#wheels[@]}"
"$PY" -m pip install -q --force-reinstall --no-deps "${wheels[0]}" || die "could not install ${wheels[0]}"
"$PY" -m pip install -q "${wheels[0]}[test]" || die "could not install the test extras"

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
