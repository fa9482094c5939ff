# Shared start of the check scripts (sourced): the repository root as the
# working folder, a Python environment free of the caller's settings, and
# say/die messages prefixed with $DECK_TOOL.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
unset PYTHONPATH PYTHONHOME
export PYTHONDONTWRITEBYTECODE=1   # keep __pycache__ out of the tree
# hypothesis keeps its example database under .venv/, not the repo root
export HYPOTHESIS_STORAGE_DIRECTORY="${HYPOTHESIS_STORAGE_DIRECTORY:-$ROOT/.venv/.hypothesis}"

say() { printf '%s: %s\n' "$DECK_TOOL" "$*"; }
die() { printf '%s: FAILED: %s\n' "$DECK_TOOL" "$*" >&2; exit 1; }

# make_venv DIR PYTHON CHECK: (re)creates the venv unless it already runs, has
# pip and passes the shell test CHECK (given the venv's python as $1).
make_venv() {
    local dir="$1" base="$2" check="$3"
    if { [ -x "$dir/bin/python" ] && "$dir/bin/python" -m pip --version && $check "$dir/bin/python"; } >/dev/null 2>&1
    then return 0; fi
    say "creating $dir with $base"
    rm -rf "$dir"
    "$base" -m venv "$dir" || die "could not create $dir"
    "$dir/bin/python" -m pip install -q --upgrade pip || die "could not upgrade pip in $dir"
}

# build_wheel PYTHON BUILDDIR [pip wheel options...]: builds the one wheel into
# BUILDDIR/dist and force-installs it (without dependencies) into PYTHON's venv;
# sets WHEEL to its path.
build_wheel() {
    local py="$1" build="$2"; shift 2
    rm -rf "$build/dist"
    "$py" -m pip wheel . --no-deps -w "$build/dist" -C build-dir="$build/cmake" "$@" || die "wheel build failed"
    local wheels
    shopt -s nullglob; wheels=("$build"/dist/deck_tui-*.whl); shopt -u nullglob
    [ ${#wheels[@]} -eq 1 ] || die "expected one wheel in $build/dist, found ${#wheels[@]}"
    WHEEL="${wheels[0]}"
    "$py" -m pip install -q --force-reinstall --no-deps "$WHEEL" || die "could not install $WHEEL"
}
