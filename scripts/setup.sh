#!/usr/bin/env bash
# Set up everything needed to build, run and test deck-tui on Debian.
#
#   bash scripts/setup.sh                 # all interpreters
#   bash scripts/setup.sh --only py3.11   # a subset (repeatable, or comma separated)
#   bash scripts/setup.sh --reuse-wheel   # no build when the installed wheel is current (below)
#   DECK_VENVS="py3.10 debian3.11" bash scripts/setup.sh
#
# Steps (idempotent; safe to run again):
#   1. Debian packages: installs missing ones when root, else says what is missing and stops.
#   2. Interpreters: CPython 3.10-3.13 from pyenv (newest patch of each minor), /usr/bin/python3
#      and Debian's other /usr/bin/python3.X that can make venvs (python3.15 on unstable).
#   3. One venv per interpreter under .venv/ (reused when healthy, recreated when broken).
#   4. Builds the abi3 wheel once into dist/ and installs it, with the [test] extras, into every venv.
#
# Environment: DECK_SANITIZE=ON and DECK_WERROR=ON reach the CMake build (see pyproject.toml);
# DECK_WHEEL=PATH installs that wheel instead of building one.
# --reuse-wheel: each install of a wheel built here records, in .venv/NAME/.deck-wheel, a hash
# of the build's inputs (BUILD_INPUTS below and the build options) and the wheel's own hash;
# when every selected venv records the current inputs and that wheel is still in dist/, the
# build and the installs are skipped. Otherwise everything is built and installed as without it.
# Afterwards .venv/default points at the venv that built the wheel (py3.10 when present),
# and .venv/.ready lists the venvs that were set up (scripts/test.sh reads it).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
unset PYTHONPATH PYTHONHOME

say()  { printf 'setup: %s\n' "$*"; }
die()  { printf 'setup: FAILED: %s\n' "$*" >&2; exit 1; }

ALL_VENVS=(py3.10 py3.11 py3.12 py3.13)   # the Debian venvs (debian3.X) are appended below
PYENV_MINORS=(3.10 3.11 3.12 3.13)

# ---------------------------------------------------------------- arguments
ONLY="${DECK_VENVS:-}"
REUSE=0
while [ $# -gt 0 ]; do
    case "$1" in
        --only)   [ $# -ge 2 ] || die "--only needs a venv name (e.g. --only py3.11)"
                  ONLY="$ONLY $2"; shift 2 ;;
        --only=*) ONLY="$ONLY ${1#--only=}"; shift ;;
        --reuse-wheel) REUSE=1; shift ;;
        -h|--help) sed -n '2,23p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument '$1' (use --only NAME)" ;;
    esac
done
ONLY="$(printf '%s' "$ONLY" | tr ',' ' ' | xargs)"   # normalise separators/whitespace

say "build options: DECK_SANITIZE=${DECK_SANITIZE:-OFF} DECK_WERROR=${DECK_WERROR:-OFF}"
export DECK_SANITIZE="${DECK_SANITIZE:-OFF}" DECK_WERROR="${DECK_WERROR:-OFF}"

# ---------------------------------------------------------------- 1. Debian packages
DEB_PKGS=(g++ python3-dev python3-venv tmux python3-dbg)
if command -v dpkg-query >/dev/null 2>&1; then
    missing=()
    for p in "${DEB_PKGS[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        say "debian packages: all present (${DEB_PKGS[*]})"
    elif [ "$(id -u)" -eq 0 ]; then
        say "debian packages: installing missing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q </dev/null \
            || die "apt-get update failed; cannot install: ${missing[*]}"
        apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null \
            || die "apt-get install failed; could not install: ${missing[*]}"
        say "debian packages: installed ${missing[*]}"
    else
        printf 'setup: MISSING Debian packages: %s\n' "${missing[*]}" >&2
        die "not root, cannot install them; run: sudo apt-get install ${missing[*]}  (or run this script as root)"
    fi
else
    say "WARNING: dpkg-query not found (not Debian?): not checking for ${DEB_PKGS[*]}"
fi

# cmake: scikit-build-core fetches a recent cmake from PyPI into the build environment when
# the one on PATH is too old or absent, so an old system cmake is fine and never fatal.
# (Debian bookworm's cmake is 3.25, too old to help, so it is not installed here.)
cmake_ver="$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p' || true)"
if [ -n "$cmake_ver" ] && [ "$(printf '%s\n' 3.26 "$cmake_ver" | sort -V | head -n1)" = 3.26 ]; then
    say "cmake: $cmake_ver on PATH (>= 3.26)"
else
    say "cmake: ${cmake_ver:-none} on PATH (< 3.26 or absent); the build fetches cmake from PyPI"
fi

# ---------------------------------------------------------------- 2. interpreters
if command -v pyenv >/dev/null 2>&1 && PYROOT="$(pyenv root 2>/dev/null)" && [ -n "$PYROOT" ]; then
    :
elif [ -n "${PYENV_ROOT:-}" ]; then
    PYROOT="$PYENV_ROOT"
else
    PYROOT="$HOME/.pyenv"
fi
say "pyenv root: $PYROOT"

declare -A INTERP=()   # venv name -> interpreter path
declare -A IVER=()     # venv name -> full version (e.g. 3.10.13)
for minor in "${PYENV_MINORS[@]}"; do
    name="py$minor"
    best=""
    if [ -d "$PYROOT/versions" ]; then
        # plain releases only (3.13.0, not 3.13.0t / 3.13-dev / venvs), newest patch first
        while IFS= read -r v; do
            cand="$PYROOT/versions/$v/bin/python$minor"
            if [ -x "$cand" ] && got="$("$cand" -c 'import platform; print(platform.python_version())' 2>/dev/null)" \
                    && [ "$got" = "$v" ]; then
                best="$cand"; IVER[$name]="$v"; break
            fi
        done < <(ls -1 "$PYROOT/versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -rV)
    fi
    if [ -n "$best" ]; then
        INTERP[$name]="$best"
        say "interpreter $name: $best (${IVER[$name]})"
    else
        echo "ABSENT: CPython $minor not found under $PYROOT/versions (venv $name skipped)"
    fi
done
if [ -z "${INTERP[py3.10]:-}" ] && [ -z "${INTERP[py3.11]:-}" ]; then
    echo "ABSENT: neither CPython 3.10 nor 3.11 under $PYROOT/versions: only Debian's python3 will be set up (install one with 'pyenv install 3.10' to test 3.10)"
fi

DEB_PY=/usr/bin/python3
if [ -x "$DEB_PY" ] && dv="$("$DEB_PY" -c 'import platform; print(platform.python_version())' 2>/dev/null)"; then
    name="debian${dv%.*}"
    INTERP[$name]="$DEB_PY"; IVER[$name]="$dv"
    say "interpreter $name: $DEB_PY ($dv)"
else
    die "Debian's system interpreter $DEB_PY is missing or does not run (apt-get install python3)"
fi
# Debian's other interpreters (unstable has python3.15 next to python3 = 3.14); only those
# that can make venvs (python3.X-venv installed) are used
DEB_NAMES=("debian${dv%.*}")
while IFS= read -r cand; do
    v="$("$cand" -c 'import platform; print(platform.python_version())' 2>/dev/null)" || continue
    name="debian${v%.*}"
    [ -z "${INTERP[$name]:-}" ] || continue
    if "$cand" -c 'import ensurepip, venv' >/dev/null 2>&1; then
        INTERP[$name]="$cand"; IVER[$name]="$v"; DEB_NAMES+=("$name")
        say "interpreter $name: $cand ($v)"
    else
        echo "ABSENT: $cand ($v) cannot make venvs (apt-get install ${cand##*/}-venv); venv $name skipped"
    fi
done < <(ls -1 /usr/bin 2>/dev/null | grep -E '^python3\.[0-9]+$' | sort -V | sed 's|^|/usr/bin/|')
# version order, so that the oldest Debian Python comes first
mapfile -t DEB_NAMES < <(printf '%s\n' "${DEB_NAMES[@]}" | sort -V)
ALL_VENVS+=("${DEB_NAMES[@]}")

# which venvs to make
SELECTED=()
if [ -n "$ONLY" ]; then
    for want in $ONLY; do
        known=no
        for n in "${ALL_VENVS[@]}"; do [ "$n" = "$want" ] && known=yes; done
        [ "$known" = yes ] || die "unknown venv '$want' (known: ${ALL_VENVS[*]})"
        [ -n "${INTERP[$want]:-}" ] || die "venv '$want' was asked for but its interpreter is absent"
    done
    for n in "${ALL_VENVS[@]}"; do   # canonical order, so the oldest Python builds the wheel
        case " $ONLY " in *" $n "*) SELECTED+=("$n") ;; esac
    done
    say "restricted to: ${SELECTED[*]}"
else
    for n in "${ALL_VENVS[@]}"; do
        [ -n "${INTERP[$n]:-}" ] && SELECTED+=("$n")
    done
fi

# ---------------------------------------------------------------- 3. virtual environments
mkdir -p .venv
venv_ok() {  # venv_ok DIR VERSION: healthy venv of exactly that interpreter version, with pip
    local d="$1" v="$2" got
    [ -f "$d/pyvenv.cfg" ] && [ -x "$d/bin/python" ] || return 1
    got="$("$d/bin/python" -c 'import platform; print(platform.python_version())' 2>/dev/null)" || return 1
    [ "$got" = "$v" ] || return 1
    "$d/bin/python" -m pip --version >/dev/null 2>&1
}
for name in "${SELECTED[@]}"; do
    d=".venv/$name"
    if venv_ok "$d" "${IVER[$name]}"; then
        say "venv $name: reused ($d)"
        continue
    fi
    state=created
    if [ -e "$d" ]; then state="recreated (was broken or for another interpreter)"; rm -rf "$d"; fi
    "${INTERP[$name]}" -m venv "$d" \
        || die "could not create venv $d with ${INTERP[$name]} (for Debian's python: apt-get install python3-venv)"
    "$d/bin/python" -m pip install -q --upgrade pip \
        || die "could not upgrade pip in $d (is PyPI reachable?)"
    venv_ok "$d" "${IVER[$name]}" || die "venv $d is not usable after creation"
    say "venv $name: $state ($d)"
done

# ---------------------------------------------------------------- 4. build once, install everywhere
BUILDER="${SELECTED[0]}"
BPY=".venv/$BUILDER/bin/python"
# What the wheel is made from: these files (tests, docs, examples and scripts are not in it) and
# the build options pyproject.toml takes from the environment.
BUILD_INPUTS=(pyproject.toml CMakeLists.txt README.md cmake glue OrvanDeck PelmarDeck launcher stubs)
inputs_hash() {
    local name
    {
        find "${BUILD_INPUTS[@]}" -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
        for name in $(grep -o 'env = "[A-Z_0-9]*"' pyproject.toml | cut -d'"' -f2 | LC_ALL=C sort -u); do
            printf '%s=%s\n' "$name" "${!name:-}"
        done
    } | sha256sum | cut -d' ' -f1
}
# reuse_stamp: the "inputs-hash wheel-hash wheel-path" line the venvs record for the current inputs
reuse_stamp() {
    local first="" name stamp
    for name in "${SELECTED[@]}"; do
        stamp="$(cat ".venv/$name/.deck-wheel" 2>/dev/null)" || return 1
        [ -z "$first" ] || [ "$stamp" = "$first" ] || return 1
        first="$stamp"
    done
    set -- $first
    [ $# -eq 3 ] && [ "$1" = "$INPUTS" ] && [ -f "$3" ] || return 1
    [ "$(sha256sum "$3" | cut -d' ' -f1)" = "$2" ] || return 1
    printf '%s\n' "$first"
}
INPUTS="$(inputs_hash 2>/dev/null)" || INPUTS=""   # without it nothing is recorded or reused
INSTALL=("${SELECTED[@]}")
if [ "$REUSE" = 1 ] && [ -z "${DECK_WHEEL:-}" ] && [ -n "$INPUTS" ] && stamp="$(reuse_stamp)"; then
    WHEEL="${stamp##* }"
    INSTALL=()
    say "wheel: $WHEEL is current in ${SELECTED[*]} (--reuse-wheel): not building or installing"
elif [ -n "${DECK_WHEEL:-}" ]; then
    # a wheel built elsewhere (scripts/unstable.sh tests the host's wheel on unstable's Pythons)
    case "${DECK_WHEEL##*/}" in
        deck_tui-*-cp310-abi3-*.whl) ;;
        *) die "DECK_WHEEL=$DECK_WHEEL is not a deck_tui cp310-abi3 wheel" ;;
    esac
    [ -f "$DECK_WHEEL" ] || die "DECK_WHEEL=$DECK_WHEEL does not exist"
    WHEEL="$(cd "$(dirname "$DECK_WHEEL")" && pwd)/${DECK_WHEEL##*/}"
    say "wheel: given by DECK_WHEEL: $WHEEL (not building)"
else
    [ "$REUSE" = 0 ] || say "wheel: not current in every venv (--reuse-wheel): building"
    "$BPY" -m pip install -q --upgrade pip || die "could not upgrade pip in .venv/$BUILDER (is PyPI reachable?)"
    mkdir -p dist
    rm -f dist/*.whl
    say "wheel: building with .venv/$BUILDER (pip wheel . --no-deps -w dist/)"
    "$BPY" -m pip wheel . --no-deps -w dist/ \
        || die "could not build the wheel (see the pip/CMake/compiler output above)"
    shopt -s nullglob
    wheels=(dist/deck_tui-*.whl)
    shopt -u nullglob
    [ ${#wheels[@]} -eq 1 ] || die "expected exactly one dist/deck_tui-*.whl after the build, found ${#wheels[@]}"
    WHEEL="$ROOT/${wheels[0]}"
    say "wheel: built ${wheels[0]}"
fi

for name in ${INSTALL[@]+"${INSTALL[@]}"}; do
    py=".venv/$name/bin/python"
    rm -f ".venv/$name/.deck-wheel"
    # the wheel itself, always replaced; then its dependencies and test extras (only what is missing)
    "$py" -m pip install -q --force-reinstall --no-deps "$WHEEL" \
        || die "could not install ${WHEEL##*/} into .venv/$name"
    "$py" -m pip install -q "${WHEEL}[test]" \
        || die "could not install the dependencies and [test] extras into .venv/$name (is PyPI reachable?)"
    [ -x ".venv/$name/bin/deckrun" ] || die "deckrun console script missing in .venv/$name after install"
    # what --reuse-wheel compares; only for a wheel built here from these inputs
    [ -n "${DECK_WHEEL:-}" ] || [ -z "$INPUTS" ] || echo "$INPUTS $(sha256sum "$WHEEL" | cut -d' ' -f1) $WHEEL" > ".venv/$name/.deck-wheel"
    say "installed into .venv/$name: ${WHEEL##*/} [test]"
done

ln -sfn "$BUILDER" .venv/default
printf '%s\n' "${SELECTED[@]}" > .venv/.ready
say "done: venvs ready: ${SELECTED[*]}; .venv/default -> $BUILDER"
say "demo: .venv/default/bin/deckrun OrvanDeck"
