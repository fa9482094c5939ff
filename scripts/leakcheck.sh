#!/usr/bin/env bash
# Reference-leak hunt: builds the modules against Debian's debug interpreter
# (full C API, since the stable ABI cannot follow its reference counting),
# installs them into .venv/debug3.11 and runs the refcount-growth test there.
#
#   bash scripts/leakcheck.sh [pytest args]
#
# Besides the leak test, the fault-injection and property tests run too: the
# debug interpreter's own assertions catch over-released references.
set -euo pipefail

DECK_TOOL=leakcheck
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

DBG_PY="${DECK_DEBUG_PYTHON:-/usr/bin/python3.11d}"
if [ ! -x "$DBG_PY" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing python3-dbg"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends python3-dbg </dev/null \
        || die "could not install python3-dbg"
fi
[ -x "$DBG_PY" ] || die "debug interpreter $DBG_PY not found (apt-get install python3-dbg)"
"$DBG_PY" -c 'import sys; assert hasattr(sys, "gettotalrefcount")' \
    || die "$DBG_PY is not a debug build (no sys.gettotalrefcount)"

VENV=.venv/debug3.11
BUILD=build/debug3.11
is_debug() { "$1" -c 'import sys; assert hasattr(sys, "gettotalrefcount")'; }
make_venv "$VENV" "$DBG_PY" is_debug
PY="$VENV/bin/python"

say "building the full-ABI wheel against $DBG_PY"
# py-api cleared: the wheel gets the debug interpreter's own tag, not abi3.
DECK_FULL_ABI=ON DECK_SANITIZE=OFF build_wheel "$PY" "$BUILD" \
    -C wheel.py-api= -C cmake.define.Python_EXECUTABLE="$DBG_PY"
"$PY" -m pip install -q rich pytest hypothesis || die "could not install rich, pytest, hypothesis"

# The debug build must really be what gets imported, compiled with the
# debug interpreter's reference accounting.
for so in "$VENV"/lib/python*/site-packages/{OrvanDeck,PelmarDeck}.*.so; do
    [[ "$(nm -D "$so")" == *" U _Py_RefTotal"* ]] || die "$so was not compiled with Py_REF_DEBUG"
done
"$PY" - <<'PYEOF' || die "installed modules are not the debug-interpreter build"
import OrvanDeck, PelmarDeck
for m in (OrvanDeck, PelmarDeck):
    assert m.__file__.endswith(".cpython-311d-x86_64-linux-gnu.so"), m.__file__
    print("leakcheck: using", m.__file__)
PYEOF

say "running the leak hunt"
"$PY" -m pytest -p no:cacheprovider -q -rs \
    tests/reliability/test_refleaks.py tests/reliability/test_faults.py tests/reliability/test_properties.py "$@" \
    || die "tests failed under the debug interpreter"
say "OK: no reference growth"
