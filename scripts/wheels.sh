#!/usr/bin/env bash
# Release wheels, cross-built with zig's toolchain from PyPI (its clang, libc stubs
# and libc++) through scikit-build-core, into wheelhouse/:
#   x86_64, aarch64            cp310-abi3 for every glibc Linux since manylinux2014 (glibc 2.17);
#                              auditwheel must find each manylinux_2_17 for its architecture.
#   macos-arm64, macos-x86_64  cp310-abi3 for macOS 11.0 (the first on Apple silicon) and
#                              10.13; scripts/check_macho.py reads each binary (file type, CPU,
#                              minimum macOS, signature, libraries, exports, imports).
#   x86_64-cp313t              cp313-cp313t for free-threaded CPython 3.13 on manylinux2014
#                              x86_64 (no stable ABI there): built with the 3.13t of
#                              scripts/freethreaded.sh (built or reused), against its headers.
# Each wheel must hold the three modules, the stubs and the deckrun entry point.
#
#   bash scripts/wheels.sh                        # all four abi3 wheels
#   bash scripts/wheels.sh aarch64 macos-arm64    # some of them
#   bash scripts/wheels.sh x86_64-cp313t          # the free-threaded one
set -euo pipefail

DECK_TOOL=wheels
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(x86_64 aarch64 macos-arm64 macos-x86_64)
for t in "${TARGETS[@]}"; do
    case "$t" in x86_64|aarch64|macos-arm64|macos-x86_64|x86_64-cp313t) ;;
        *) die "unknown target '$t' (x86_64, aarch64, macos-arm64, macos-x86_64 or x86_64-cp313t)" ;; esac
done

# The headers: Py_LIMITED_API=0x030A0000 selects the 3.10 stable ABI whatever the
# headers' own version, so any CPython 3.10 or newer serves. pyenv's 3.10 when
# present, else the system's python3 with its development headers.
if command -v pyenv >/dev/null 2>&1 && PYROOT="$(pyenv root 2>/dev/null)" && [ -n "$PYROOT" ]; then :
else PYROOT="${PYENV_ROOT:-$HOME/.pyenv}"; fi
BASE_PY="$(ls -1d "$PYROOT"/versions/3.10.* 2>/dev/null | grep -E '/3\.10\.[0-9]+$' | sort -V | tail -n1 || true)"
if [ -n "$BASE_PY" ] && [ -x "$BASE_PY/bin/python3.10" ]; then
    BASE_PY="$BASE_PY/bin/python3.10"
else
    say "no CPython 3.10 under $PYROOT/versions: using the system's python3 and its headers"
    BASE_PY=/usr/bin/python3
    if command -v dpkg-query >/dev/null 2>&1; then
        apt_ensure python3 python3-dev python3-venv
    fi
    [ -x "$BASE_PY" ] && "$BASE_PY" -c 'import sys; assert sys.version_info >= (3, 10)' \
        || die "neither pyenv's CPython 3.10 nor a system python3 >= 3.10 found"
fi

VENV=.venv/wheels
same_base() { [ "$(readlink -f "$1")" = "$(readlink -f "$BASE_PY")" ]; }
make_venv "$VENV" "$BASE_PY" same_base
PY="$VENV/bin/python"
# Pinned: the toolchain decides what is in the wheels.
"$PY" -m pip install -q ziglang==0.17.1 scikit-build-core==1.1.2 auditwheel==6.8.2 macholib==1.16.4 \
    abi3info==2026.9.25 \
    "cmake>=3.26" ninja || die "could not install the wheel tools"
ZIG="$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[ -x "$ZIG" ] || die "zig binary not found at $ZIG"
INCLUDE="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
[ -f "$INCLUDE/Python.h" ] || die "no Python.h in $INCLUDE"
# Debian's pyconfig.h only picks a multiarch one that a cross compiler does not find:
# the build gets a copy of the include folder with the host's own in its place.
HEADERS="$INCLUDE"
if ! grep -q '^#define SIZEOF_VOID_P' "$INCLUDE/pyconfig.h"; then
    real="$(dirname "$INCLUDE")/$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')/$(basename "$INCLUDE")/pyconfig.h"
    grep -q '^#define SIZEOF_VOID_P' "$real" 2>/dev/null || die "no pyconfig.h with the sizes for $INCLUDE"
    HEADERS="$ROOT/build/wheel-headers"
    rm -rf "$HEADERS"; mkdir -p "$HEADERS"
    cp -r "$INCLUDE"/. "$HEADERS"/
    cp "$real" "$HEADERS/pyconfig.h"
fi
say "headers: $HEADERS (CPython $("$PY" -c 'import platform; print(platform.python_version())'))"

# Release builds ignore the caller's compiler settings.
unset CMAKE_ARGS CC CXX CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
export DECK_SANITIZE=OFF DECK_FULL_ABI=OFF

# Every size and alignment in pyconfig.h must hold for the target: the host's
# pyconfig.h serves every LP64 little-endian target. On macOS, Python's own
# pymacconfig.h restates the sizes that vary there; fpos_t, pthread_key_t and long
# double differ from Linux, and the limited-API headers must not read them.
NOT_ON_MACOS='SIZEOF_FPOS_T|SIZEOF_PTHREAD_KEY_T|SIZEOF_LONG_DOUBLE'
check_headers() {  # TARGET [HEADERS [full]]: "full" for the full C API (the cp313t build)
    local dir headers="${2:-$HEADERS}"; dir="$(mktemp -d)"
    if [ "${3:-}" = full ]; then echo '#include <Python.h>' > "$dir/check.cpp"
    else printf '#define Py_LIMITED_API 0x030A0000\n#include <Python.h>\n' > "$dir/check.cpp"; fi
    cat >> "$dir/check.cpp" <<'EOF'

#include <pthread.h>
#include <cstdio>
#include <ctime>
#include <cstdint>
#include <sys/types.h>
#define SAME(macro, type) static_assert(macro == sizeof(type), #macro);
SAME(SIZEOF_SHORT, short) SAME(SIZEOF_INT, int) SAME(SIZEOF_LONG, long)
SAME(SIZEOF_LONG_LONG, long long) SAME(SIZEOF_VOID_P, void*) SAME(SIZEOF_SIZE_T, size_t)
SAME(SIZEOF_UINTPTR_T, uintptr_t) SAME(SIZEOF_TIME_T, time_t) SAME(SIZEOF_OFF_T, off_t)
SAME(SIZEOF_PID_T, pid_t) SAME(SIZEOF_WCHAR_T, wchar_t)
SAME(SIZEOF_FLOAT, float) SAME(SIZEOF_DOUBLE, double)
SAME(SIZEOF__BOOL, bool) SAME(SIZEOF_PTHREAD_T, pthread_t)
#ifndef __APPLE__
SAME(SIZEOF_FPOS_T, fpos_t) SAME(SIZEOF_PTHREAD_KEY_T, pthread_key_t) SAME(SIZEOF_LONG_DOUBLE, long double)
#endif
static_assert(ALIGNOF_LONG == alignof(long) && ALIGNOF_SIZE_T == alignof(size_t));
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) \
    || defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#error byte order differs from pyconfig.h
#endif
EOF
    local rc=0
    "$ZIG" c++ -target "$1" -std=c++20 -I"$headers" -c -o "$dir/check.o" "$dir/check.cpp" || rc=$?
    rm -rf "$dir"
    if [ "$rc" -eq 0 ] && [[ "$1" == *-macos* ]] && grep -rlE "$NOT_ON_MACOS" "$HEADERS" \
            --include='*.h' --exclude=pyconfig.h --exclude-dir=cpython --exclude-dir=internal; then
        say "the limited-API headers above read a size that differs on macOS"; rc=1
    fi
    return "$rc"
}

# check_wheel WHEEL PLATFORM-TAG...: name, WHEEL tags, contents and the modules' machine code.
check_wheel() {
    "$PY" - "$ROOT/stubs" "$@" <<'EOF'
import os, sys, zipfile

stubs, wheel, *want_plats = sys.argv[1:]
want_py, want_abi = os.environ.get("DECK_WHEEL_ABI", "cp310-abi3").split("-")
suffix = os.environ.get("DECK_WHEEL_SUFFIX", ".abi3.so")
name = os.path.basename(wheel)
dist, version, py, abi, plats = name[:-len(".whl")].split("-")
problems = []
if (py, abi) != (want_py, want_abi) or set(plats.split(".")) != set(want_plats):
    problems.append("file name tags: " + name)
info = "%s-%s.dist-info/" % (dist, version)
modules = ("OrvanDeck", "PelmarDeck", "deckrun")
macos = want_plats[0].startswith("macosx_")
arch = want_plats[0].split("_", 3)[-1]
with zipfile.ZipFile(wheel) as z:
    meta = z.read(info + "WHEEL").decode()
    tags = {l.split(":", 1)[1].strip() for l in meta.splitlines() if l.startswith("Tag:")}
    if tags != {"%s-%s-%s" % (want_py, want_abi, p) for p in want_plats} or "Root-Is-Purelib: false" not in meta:
        problems.append("WHEEL metadata: " + meta)
    if "deckrun = deckrun:main" not in z.read(info + "entry_points.txt").decode():
        problems.append("no deckrun entry point")
    payload = {n for n in z.namelist() if not n.startswith(info)}
    want = {m + suffix for m in modules} | {
        os.path.relpath(os.path.join(d, f), stubs) for d, _, fs in os.walk(stubs) for f in fs}
    if payload != want:
        problems.append("contents differ: extra %s, missing %s" % (sorted(payload - want), sorted(want - payload)))
    for m in modules:
        head = z.read(m + suffix)[:20]
        if macos:   # 64-bit Mach-O and its CPU type
            ok = head[:4] == b"\xcf\xfa\xed\xfe" and int.from_bytes(head[4:8], "little") == {
                "arm64": 0x0100000C, "x86_64": 0x01000007}[arch]
        else:       # ELF e_machine
            ok = head[:4] == b"\x7fELF" and int.from_bytes(head[18:20], "little") == {
                "x86_64": 62, "aarch64": 183}[arch]
        if not ok:
            problems.append(m + suffix + " is not " + arch + " code")
for p in problems:
    print("wheels: FAILED:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
}

# check_auditwheel WHEEL ARCH: auditwheel finds it manylinux2014 and needing no library it lacks.
check_auditwheel() {
    "$PY" - "$1" "$2" <<'EOF'
import json, os, subprocess, sys
from auditwheel.architecture import Architecture
from auditwheel.libc import Libc
from auditwheel.policy import WheelPolicies

wheel, arch = sys.argv[1:]
problems = []
show = json.loads(subprocess.run([os.path.join(os.path.dirname(sys.executable), "auditwheel"), "show",
                                  "--json", wheel], capture_output=True, text=True, check=True).stdout)
policy = WheelPolicies(libc=Libc.GLIBC, arch=Architecture(arch)).get_policy_by_name("manylinux2014_" + arch)
if show["overall_tag"] != "manylinux_2_17_" + arch or policy.name != show["overall_tag"]:
    problems.append("auditwheel: %s (manylinux2014_%s is %s)" % (show["overall_tag"], arch, policy.name))
if show["external_libs"]:
    problems.append("auditwheel: external libraries %s" % show["external_libs"])
for p in problems:
    print("wheels: FAILED:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
}

# The free-threaded 3.13t (scripts/freethreaded.sh builds or reuses it) and a venv of it with
# the build backend: the wheel takes that interpreter's ABI and headers, cross-built by the
# same zig as the others.
setup_ft() {
    [ -z "${FT_PY:-}" ] || return 0
    bash scripts/freethreaded.sh --build-only || die "no free-threaded 3.13 (scripts/freethreaded.sh --build-only)"
    FT_PY="$(readlink -f "${DECK_FT_CACHE:-/var/tmp/deck-freethreaded}/current")/bin/python3.13t"
    same_ft() { [ "$("$1" -c 'import sys; print(sys._base_executable)')" = "$FT_PY" ]; }
    make_venv .venv/wheels-ft "$FT_PY" same_ft
    FT_VPY=.venv/wheels-ft/bin/python
    "$FT_VPY" -m pip install -q scikit-build-core==1.1.2 "cmake>=3.26" ninja || die "could not install the build backend for 3.13t"
    FT_HEADERS="$("$FT_VPY" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
    FT_SUFFIX="$("$FT_VPY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    grep -q '^#define Py_GIL_DISABLED 1' "$FT_HEADERS/pyconfig.h" || die "$FT_HEADERS is not a free-threaded build's"
}

mkdir -p wheelhouse
built=()
for t in "${TARGETS[@]}"; do
    arch="$t" abi=cp310-abi3 suffix=.abi3.so bpy="$PY" headers="$HEADERS" api=limited extra=()
    case "$t" in
        x86_64|aarch64) target="$t-linux-gnu.2.17"; plats=("manylinux_2_17_$t" "manylinux2014_$t") ;;
        x86_64-cp313t)
            setup_ft
            arch=x86_64 abi=cp313-cp313t suffix="$FT_SUFFIX" bpy="$FT_VPY" headers="$FT_HEADERS" api=full
            # Cross-building, FindPython asks no interpreter about the full C API's
            # artifacts; the host's 3.13t is one for this very target, so it answers
            # (its SOABI and ABI flags) through a do-nothing "emulator".
            extra=(-C cmake.define.CMAKE_CROSSCOMPILING_EMULATOR=env -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW)
            target=x86_64-linux-gnu.2.17; plats=(manylinux_2_17_x86_64 manylinux2014_x86_64) ;;
        # 11.0: the first macOS on Apple silicon; 10.13: the oldest the current Apple
        # toolchains still build for, so a wheel and an sdist build reach the same Macs
        macos-arm64) target=aarch64-macos.11.0; plats=(macosx_11_0_arm64); cpu=arm64; minos=11.0 ;;
        macos-x86_64) target=x86_64-macos.10.13; plats=(macosx_10_13_x86_64); cpu=x86_64; minos=10.13 ;;
    esac
    say "$t: checking the headers for $target"
    check_headers "$target" "$headers" "$api" || die "$headers does not fit $target"
    build="build/wheel-$t"
    rm -rf "$build"
    say "$t: building with zig $("$ZIG" version) for $target"
    tag_args=(); for p in "${plats[@]}"; do tag_args+=(-C wheel.tags="$abi-$p"); done
    "$bpy" -m pip wheel . --no-deps --no-build-isolation -w "$build/dist" \
        -C build-dir="$build/cmake" \
        -C cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-toolchain.cmake" \
        -C cmake.define.DECK_ZIG="$ZIG" -C cmake.define.DECK_ZIG_TARGET="$target" \
        -C cmake.define.Python_INCLUDE_DIR="$headers" "${tag_args[@]}" ${extra[@]+"${extra[@]}"} \
        || die "$t: wheel build failed"
    shopt -s nullglob; wheels=("$build"/dist/deck_tui-*.whl); shopt -u nullglob
    [ ${#wheels[@]} -eq 1 ] || die "$t: expected one wheel in $build/dist, found ${#wheels[@]}"
    wheel="${wheels[0]}"
    DECK_WHEEL_ABI="$abi" DECK_WHEEL_SUFFIX="$suffix" check_wheel "$wheel" "${plats[@]}" \
        || die "$t: ${wheel##*/} is not what a release needs"
    case "$t" in
        macos-*)
            mkdir -p "$build/modules"
            (cd "$build/modules" && "$ROOT/$PY" -m zipfile -e "$ROOT/$wheel" .)
            "$PY" scripts/check_macho.py --cpu "$cpu" --minos "$minos" --abi 3.10 \
                "$build"/modules/*.so || die "$t: ${wheel##*/}: the Mach-O check failed (above)"
            say "$t: Mach-O check passed" ;;
        *)
            "$VENV/bin/auditwheel" show "$wheel"
            check_auditwheel "$wheel" "$arch" || die "$t: ${wheel##*/} is not what a release needs" ;;
    esac
    name="${wheel##*/}"
    rm -f wheelhouse/deck_tui-*-"$abi-${name##*-}"
    cp "$wheel" wheelhouse/
    built+=("wheelhouse/$name")
done
say "OK: ${built[*]}"
