#!/usr/bin/env bash
# The test suite on free-threaded CPython 3.13 (3.13t), built here from the upstream tarball
# of Debian's python3.13 source package, at the newest version the mirror actually serves.
#
#   bash scripts/freethreaded.sh                # build or reuse 3.13t, make the venv, run the suite
#   bash scripts/freethreaded.sh --stress 20    # then the parallel stress test 20 times in a row
#   bash scripts/freethreaded.sh --tsan         # instead: ThreadSanitizer builds of 3.13t and of the
#                                               # modules, the stress test under them (zero reports)
#   bash scripts/freethreaded.sh --build-only   # only the interpreter (built or reused)
#   bash scripts/freethreaded.sh --wheel W.whl  # the suite on that cp313t wheel instead of pip install .
#   bash scripts/freethreaded.sh -- -k threads  # arguments after -- go to pytest
#
# The source comes by package name through the machine's own apt configuration: a private
# source list holds one deb-src line for the mirror of the host's apt sources that serves
# Debian unstable (scripts/lib.sh, find_mirror; DECK_UNSTABLE_MIRROR overrides it), and
# `apt-get source --download-only python3.13=VERSION` fetches it, checked against the signed
# index. Debian's own patches are not applied: the interpreter is upstream CPython, configured
# with --disable-gil.
#
# The build is cached outside the repository under DECK_FT_CACHE (default
# /var/tmp/deck-freethreaded), one folder per upstream version and tarball hash
# (python-3.13.15-<sha256:12>, "-tsan" for the sanitizer build), and reused while its
# interpreter runs and reports Py_GIL_DISABLED. The venv is .venv/ft3.13t (.venv/tsan3.13t),
# made anew when its interpreter differs. The suite runs with PYTHON_GIL=0; a separate check,
# without it, imports the modules and requires sys._is_gil_enabled() to stay False.
# Needs root to install build dependencies with apt-get (when any is missing).
set -euo pipefail

DECK_TOOL=freethreaded
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"   # cd to the repository root

CACHE="${DECK_FT_CACHE:-/var/tmp/deck-freethreaded}"
STRESS=0 TSAN=no BUILD_ONLY=no WHEEL_ARG=""
while [ $# -gt 0 ]; do
    case "$1" in
        --stress)     [ $# -ge 2 ] || die "--stress needs a count"; STRESS="$2"; shift 2 ;;
        --stress=*)   STRESS="${1#--stress=}"; shift ;;
        --tsan)       TSAN=yes; shift ;;
        --build-only) BUILD_ONLY=yes; shift ;;
        --wheel)      [ $# -ge 2 ] || die "--wheel needs a path"; WHEEL_ARG="$2"; shift 2 ;;
        --wheel=*)    WHEEL_ARG="${1#--wheel=}"; shift ;;
        --) shift; break ;;
        -h|--help) sed -n '2,26p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument '$1' (see --help)" ;;
    esac
done
[[ "$STRESS" =~ ^[0-9]+$ ]] || die "--stress needs a whole number"
if [ -n "$WHEEL_ARG" ]; then
    case "${WHEEL_ARG##*/}" in deck_tui-*-cp313-cp313t-*.whl) ;; *) die "--wheel $WHEEL_ARG is no cp313t wheel" ;; esac
    [ -f "$WHEEL_ARG" ] || die "--wheel $WHEEL_ARG does not exist"
    [ "$TSAN" = no ] || die "--wheel and --tsan do not go together"
fi
case "$CACHE" in
    /*) ;;
    *) die "DECK_FT_CACHE must be an absolute path" ;;
esac
case "$CACHE/" in
    "$ROOT"/*) die "the cache must live outside the repository ($CACHE)" ;;
esac
T_ALL=$SECONDS
mkdir -p "$CACHE/src"
exec 9>"$CACHE/.lock"
flock -w 3600 9 || die "another run holds $CACHE/.lock"

# ---------------------------------------------------------------- build dependencies
# what CPython's configure needs for the modules the suite uses (curses, ssl for pip,
# sqlite3, ctypes, readline, compression)
DEPS=(build-essential pkg-config libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev
      libsqlite3-dev libncurses-dev libreadline-dev uuid-dev tmux)
apt_ensure "${DEPS[@]}"

# ---------------------------------------------------------------- the source, by package name
# A private apt state: the host's apt configuration (proxies, keyrings, options) with one
# deb-src line for the mirror that serves unstable; the host's own lists are left alone.
APT_DIR="$CACHE/apt"
MIRROR="$(find_mirror)" || die "no mirror in the host's apt sources serves Debian unstable (set DECK_UNSTABLE_MIRROR)"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$APT_DIR/parts"
printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s sid main\n' "$MIRROR" \
    >"$APT_DIR/sources.list"
APT_OPTS=(-o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts="$APT_DIR/parts"
          -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache"
          -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
t0=$SECONDS
apt-get -q "${APT_OPTS[@]}" update </dev/null >"$APT_DIR/update.log" 2>&1 \
    || { tail -n 5 "$APT_DIR/update.log" >&2; die "apt-get update of the source index failed"; }
# version and the orig tarball's SHA-256 of every python3.13 the index lists, newest first
mapfile -t CANDIDATES < <(apt-cache "${APT_OPTS[@]}" showsrc python3.13 2>/dev/null | awk '
    /^Package: / { pkg = $2 } /^Version: / { ver = $2 }
    /^Checksums-Sha256:/ { sums = 1; next } /^[^ ]/ { sums = 0 }
    sums && pkg == "python3.13" && $3 ~ /\.orig\.tar\.[a-z]+$/ { print ver, $1, $3 }' | sort -rV -k1,1 | awk '!seen[$1]++')
[ ${#CANDIDATES[@]} -gt 0 ] || die "the mirror's unstable index lists no python3.13 source package"
say "source index: ${#CANDIDATES[@]} python3.13 version(s) listed ($((SECONDS - t0)) s)"

VARIANT=""; CONFIGURE=(--disable-gil --with-ensurepip=install)
if [ "$TSAN" = yes ]; then VARIANT="-tsan"; CONFIGURE+=(--with-thread-sanitizer); fi

built_ok() {  # the cached interpreter runs, is free-threaded, and reports the expected version
    local py="$1/bin/python3.13t"
    [ -f "$1/.deck-built" ] && [ -x "$py" ] && \
        "$py" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert sys.version.split()[0] == sys.argv[1]' "$2" >/dev/null 2>&1
}
PREFIX="" VERSION=""
for cand in "${CANDIDATES[@]}"; do
    read -r debver sha orig <<<"$cand"
    upver="${debver%-*}"; upver="${upver#*:}"
    key="$upver-${sha:0:12}$VARIANT"
    if built_ok "$CACHE/python-$key" "$upver"; then
        PREFIX="$CACHE/python-$key" VERSION="$debver"
        say "interpreter: reusing $PREFIX (python3.13 $debver, built $(sed -n 's/^built: //p' "$PREFIX/.deck-built"))"
        break
    fi
    # the index may list a version the mirror no longer (or not yet) serves: try the next
    src="$CACHE/src/$debver"
    if [ ! -f "$src/$orig" ] || [ "$(sha256sum "$src/$orig" | cut -d' ' -f1)" != "$sha" ]; then
        rm -rf "$src"; mkdir -p "$src"
        if ! (cd "$src" && apt-get -q "${APT_OPTS[@]}" source --download-only "python3.13=$debver") \
                </dev/null >"$src.log" 2>&1; then
            say "python3.13 $debver: listed but not served ($(grep -m1 -oE ' [45][0-9]{2} +[A-Za-z][A-Za-z ]*[a-z]' "$src.log" | sed 's/^ *//;s/  */ /g' || echo 'download failed')); trying an older one"
            rm -rf "$src"
            continue
        fi
        [ "$(sha256sum "$src/$orig" | cut -d' ' -f1)" = "$sha" ] || die "$orig: SHA-256 differs from the index"
    fi
    PREFIX="$CACHE/python-$key" VERSION="$debver"
    say "interpreter: building CPython $upver ($orig, sha256 ${sha:0:12}) with ${CONFIGURE[*]}"
    build="$CACHE/build-$key"
    rm -rf "$build" "$PREFIX"; mkdir -p "$build"
    tar -C "$build" --strip-components=1 -xf "$src/$orig"
    t0=$SECONDS
    (cd "$build" && ./configure --prefix="$PREFIX" "${CONFIGURE[@]}") >"$build.configure.log" 2>&1 \
        || { tail -n 20 "$build.configure.log" >&2; die "configure failed (log: $build.configure.log)"; }
    t1=$SECONDS
    make -C "$build" -j"$(nproc)" >"$build.make.log" 2>&1 \
        || { tail -n 30 "$build.make.log" >&2; die "make failed (log: $build.make.log)"; }
    t2=$SECONDS
    make -C "$build" install >"$build.install.log" 2>&1 \
        || { tail -n 30 "$build.install.log" >&2; die "make install failed (log: $build.install.log)"; }
    t3=$SECONDS
    # the missing optional modules, as make reports them (curses and ssl must not be among them)
    grep -A3 'necessary bits to build these optional modules were not found' "$build.make.log" || true
    "$PREFIX/bin/python3.13t" -c 'import curses, ssl, ctypes, sqlite3' \
        || die "the new interpreter lacks curses, ssl, ctypes or sqlite3 (log: $build.make.log)"
    printf 'version: %s\nsource: %s\nsha256: %s\nconfigure: %s\nbuilt: %s\nseconds: configure %d, make %d, install %d\n' \
        "$debver" "$orig" "$sha" "${CONFIGURE[*]}" "$(date -u +%Y-%m-%dT%H:%MZ)" \
        $((t1 - t0)) $((t2 - t1)) $((t3 - t2)) >"$PREFIX/.deck-built"
    # keep the Thread Sanitizer suppressions CPython's own CI uses
    [ -d "$build/Tools/tsan" ] && cp -r "$build/Tools/tsan" "$PREFIX/tsan"
    rm -rf "$build"
    built_ok "$PREFIX" "$upver" || die "the new interpreter in $PREFIX does not run as a free-threaded $upver"
    say "interpreter: built in $((t3 - t0)) s (configure $((t1 - t0)) s, make -j$(nproc) $((t2 - t1)) s, install $((t3 - t2)) s)"
    break
done
[ -n "$PREFIX" ] || die "no listed python3.13 source could be fetched from the mirror"
FT_PY="$PREFIX/bin/python3.13t"
ln -sfn "${PREFIX##*/}" "$CACHE/current$VARIANT"   # for scripts/wheels.sh cp313t
# old builds of other versions are dropped (one of each variant is kept: the one in use)
for old in "$CACHE"/python-*; do
    [ "$old" = "$PREFIX" ] && continue
    case "$old" in *-tsan) [ "$TSAN" = yes ] || continue ;; *) [ "$TSAN" = no ] || continue ;; esac
    say "dropping the old build $old"; rm -rf "$old"
done
[ "$BUILD_ONLY" = no ] || { say "OK: $FT_PY ($VERSION)"; exit 0; }
flock -u 9

# ---------------------------------------------------------------- the venv and the package
VENV=.venv/ft3.13t
[ "$TSAN" = no ] || VENV=.venv/tsan3.13t
same_base() { [ "$("$1" -c 'import sys; print(sys._base_executable)')" = "$FT_PY" ]; }
# the sanitizer watches the stress test only: pip and the build run on the instrumented
# interpreter too, where CPython's own races (not in its suppression list) would stop them
[ "$TSAN" = no ] || export TSAN_OPTIONS="report_bugs=0 exitcode=0"
make_venv "$VENV" "$FT_PY" same_base
PY="$VENV/bin/python"
t0=$SECONDS
if [ "$TSAN" = yes ]; then
    # the modules instrumented too, so a race between them and the interpreter is seen whole
    CMAKE_ARGS="-DDECK_TSAN=ON" "$PY" -m pip install -q --force-reinstall --no-deps . \
        || die "pip install . failed"
elif [ -n "$WHEEL_ARG" ]; then
    "$PY" -m pip install -q --force-reinstall --no-deps "$WHEEL_ARG" || die "could not install $WHEEL_ARG"
    say "installed ${WHEEL_ARG##*/} (not building)"
else
    "$PY" -m pip install -q --force-reinstall --no-deps . || die "pip install . failed"
fi
# dependencies and test extras, from wheels only: the newest of them built for 3.13t
# (hypothesis's and mypy's newest need a Rust build from crates, which is not reachable)
mapfile -t REQS < <("$PY" -c 'import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
"$PY" -m pip install -q --only-binary :all: "${REQS[@]}" || die "could not install ${REQS[*]}"
say "venv: $VENV, package and test extras installed in $((SECONDS - t0)) s"
ls "$VENV"/lib/python3.13t/site-packages/ | grep -E '^(OrvanDeck|PelmarDeck|deckrun)\..*\.so$' \
    | sed 's/^/freethreaded: module: /'
EXT_SUFFIX="$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
for m in OrvanDeck PelmarDeck deckrun; do
    [ -f "$VENV/lib/python3.13t/site-packages/$m$EXT_SUFFIX" ] || die "$m$EXT_SUFFIX not installed"
done

# Without PYTHON_GIL set, importing a module that does not declare Py_mod_gil NOT_USED
# turns the GIL on (with a RuntimeWarning); this must not happen.
env -u PYTHON_GIL "$PY" -W error::RuntimeWarning -c '
import sys
assert not sys._is_gil_enabled(), "GIL on at start"
import OrvanDeck, PelmarDeck, deckrun
assert not sys._is_gil_enabled(), "importing the modules turned the GIL on"
' || die "importing the modules enables the GIL"
say "import OrvanDeck, PelmarDeck, deckrun: the GIL stays disabled"

export PYTHON_GIL=0
if [ "$TSAN" = yes ]; then
    for so in "$VENV"/lib/python3.13t/site-packages/{OrvanDeck,PelmarDeck,deckrun}"$EXT_SUFFIX"; do
        [[ "$(nm -D "$so")" == *__tsan_init* ]] || die "$so is not instrumented"
    done
    supp="$PREFIX/tsan/suppressions_free_threading.txt"
    [ -f "$supp" ] || die "no $supp"
    reports="$ROOT/build/tsan3.13t/reports"  # the child processes' reports too
    # first a race it must see (two threads writing one buffer through libc), so that a
    # quiet run below means no race rather than a sanitizer that does not report
    rm -rf "$reports.control"; mkdir -p "$reports.control"
    TSAN_OPTIONS="halt_on_error=0 exitcode=0 log_path=$reports.control/tsan" "$PY" -c '
import ctypes, threading
buf = ctypes.create_string_buffer(64)
def write():
    for _ in range(2000):
        ctypes.memset(buf, 1, 64)
threads = [threading.Thread(target=write) for _ in range(2)]
[t.start() for t in threads]; [t.join() for t in threads]'
    grep -q '^WARNING: ThreadSanitizer: data race' "$reports.control"/tsan* 2>/dev/null \
        || die "ThreadSanitizer did not report a deliberate race: it is not watching"
    say "ThreadSanitizer reports a deliberate race (the control)"
    rm -rf "$reports"; mkdir -p "$reports"
    say "the stress test under ThreadSanitizer (CPython's own suppressions: ${supp##*/})"
    t0=$SECONDS
    rc=0
    DECK_STRESS=tsan TSAN_OPTIONS="suppressions=$supp halt_on_error=0 log_path=$reports/tsan second_deadlock_stack=1" \
        "$VENV/bin/pytest" -p no:cacheprovider -q tests/reliability/test_freethreaded.py "$@" || rc=$?
    # each report, and whether a frame of its stacks is in the modules
    count() { { cat "$reports"/tsan* 2>/dev/null || true; } | awk -v want="$1" '
        /^WARNING: ThreadSanitizer/ { inrep = 1; ours = 0 }
        inrep && /(OrvanDeck|PelmarDeck|deckrun)[.]|deck::|[(]anonymous namespace[)]::/ { ours = 1 }
        inrep && /^SUMMARY: ThreadSanitizer/ { inrep = 0; n += (want == "all" || ours) }
        END { print n + 0 }'; }
    all="$(count all)" ours="$(count ours)"
    say "ThreadSanitizer: $all report(s), $ours with a frame in the modules, in $((SECONDS - t0)) s (logs: $reports)"
    if [ "$all" -gt 0 ]; then
        { grep -h '^SUMMARY: ThreadSanitizer' "$reports"/tsan* || true; } | sort | uniq -c | sed 's/^/freethreaded:   /'
    fi
    [ "$rc" -eq 0 ] || die "the stress test failed under ThreadSanitizer (exit $rc)"
    [ "$all" -eq 0 ] || die "ThreadSanitizer reported $all race(s), $ours of them in the modules"
    say "OK: no report from ThreadSanitizer; total $((SECONDS - T_ALL)) s"
    exit 0
fi

say "running the suite with PYTHON_GIL=0 on $("$PY" -c 'import sys; print(sys.version.split()[0])')t"
t0=$SECONDS
rc=0
"$VENV/bin/pytest" -p no:cacheprovider "$@" || rc=$?
say "suite: exit $rc in $((SECONDS - t0)) s"
[ "$rc" -eq 0 ] || die "the suite failed on 3.13t (pytest exit $rc)"

if [ "$STRESS" -gt 0 ]; then
    say "the parallel stress test, hard, $STRESS times in a row"
    t0=$SECONDS
    mkdir -p build
    for ((i = 1; i <= STRESS; i++)); do
        t1=$SECONDS
        DECK_STRESS=hard "$VENV/bin/pytest" -p no:cacheprovider -q tests/reliability/test_freethreaded.py >build/ft-stress.log 2>&1 \
            || { tail -n 40 build/ft-stress.log >&2; die "stress run $i of $STRESS failed"; }
        say "stress run $i of $STRESS: $(tail -n 1 build/ft-stress.log | tr -d '=' | sed 's/^ *//;s/ *$//') ($((SECONDS - t1)) s)"
    done
    say "stress: $STRESS runs passed in $((SECONDS - t0)) s"
fi
say "OK: the suite passed on free-threaded $VERSION; total $((SECONDS - T_ALL)) s"
