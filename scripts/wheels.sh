#!/usr/bin/env bash
# Release wheels for every glibc Linux since manylinux2014 (glibc 2.17):
# cp310-abi3 for x86_64 and aarch64, cross-built with zig's toolchain from PyPI
# (its clang, glibc 2.17 stubs and libc++) through scikit-build-core, into wheelhouse/.
# Each wheel must hold the three modules, the stubs and the deckrun entry point,
# and auditwheel must find it manylinux_2_17 (= manylinux2014) for its architecture.
#
#   bash scripts/wheels.sh            # both architectures
#   bash scripts/wheels.sh aarch64    # one of them
set -euo pipefail

DECK_TOOL=wheels
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ARCHS=("$@")
[ ${#ARCHS[@]} -gt 0 ] || ARCHS=(x86_64 aarch64)
for a in "${ARCHS[@]}"; do
    case "$a" in x86_64|aarch64) ;; *) die "unknown architecture '$a' (x86_64 or aarch64)" ;; esac
done

# The limited-API headers of any CPython 3.10 serve both targets; pyenv's, since
# Debian's pyconfig.h includes a multiarch one a cross compiler does not find.
if command -v pyenv >/dev/null 2>&1 && PYROOT="$(pyenv root 2>/dev/null)" && [ -n "$PYROOT" ]; then :
else PYROOT="${PYENV_ROOT:-$HOME/.pyenv}"; fi
BASE_PY="$(ls -1d "$PYROOT"/versions/3.10.* 2>/dev/null | grep -E '/3\.10\.[0-9]+$' | sort -V | tail -n1 || true)"
[ -n "$BASE_PY" ] && [ -x "$BASE_PY/bin/python3.10" ] || die "CPython 3.10 not found under $PYROOT/versions (pyenv install 3.10)"
BASE_PY="$BASE_PY/bin/python3.10"

VENV=.venv/wheels
same_base() { [ "$(readlink -f "$1")" = "$(readlink -f "$BASE_PY")" ]; }
make_venv "$VENV" "$BASE_PY" same_base
PY="$VENV/bin/python"
# Pinned: the toolchain decides what is in the wheels.
"$PY" -m pip install -q ziglang==0.17.1 scikit-build-core==1.1.2 auditwheel==6.8.2 \
    "cmake>=3.26" ninja || die "could not install the wheel tools"
ZIG="$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[ -x "$ZIG" ] || die "zig binary not found at $ZIG"
INCLUDE="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("include"))')"

# Release builds ignore the caller's compiler settings.
unset CMAKE_ARGS CC CXX CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
export DECK_SANITIZE=OFF DECK_FULL_ABI=OFF

# The x86_64 pyconfig.h is used for aarch64 too: both are LP64 little-endian, so
# every size and alignment it states must hold for the target.
check_headers() {
    local dir; dir="$(mktemp -d)"
    cat > "$dir/check.cpp" <<'EOF'
#define Py_LIMITED_API 0x030A0000
#include <Python.h>
#include <pthread.h>
#include <cstdio>
#include <ctime>
#include <cstdint>
#include <sys/types.h>
#define SAME(macro, type) static_assert(macro == sizeof(type), #macro);
SAME(SIZEOF_SHORT, short) SAME(SIZEOF_INT, int) SAME(SIZEOF_LONG, long)
SAME(SIZEOF_LONG_LONG, long long) SAME(SIZEOF_VOID_P, void*) SAME(SIZEOF_SIZE_T, size_t)
SAME(SIZEOF_UINTPTR_T, uintptr_t) SAME(SIZEOF_TIME_T, time_t) SAME(SIZEOF_OFF_T, off_t)
SAME(SIZEOF_PID_T, pid_t) SAME(SIZEOF_FPOS_T, fpos_t) SAME(SIZEOF_WCHAR_T, wchar_t)
SAME(SIZEOF_FLOAT, float) SAME(SIZEOF_DOUBLE, double) SAME(SIZEOF_LONG_DOUBLE, long double)
SAME(SIZEOF__BOOL, bool) SAME(SIZEOF_PTHREAD_T, pthread_t) SAME(SIZEOF_PTHREAD_KEY_T, pthread_key_t)
static_assert(ALIGNOF_LONG == alignof(long) && ALIGNOF_SIZE_T == alignof(size_t));
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) \
    || defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#error byte order differs from pyconfig.h
#endif
EOF
    local rc=0
    "$ZIG" c++ -target "$1" -std=c++20 -I"$INCLUDE" -c -o "$dir/check.o" "$dir/check.cpp" || rc=$?
    rm -rf "$dir"
    return "$rc"
}

# check_wheel WHEEL ARCH: name, WHEEL tags, contents, machine code and auditwheel's verdict.
check_wheel() {
    "$PY" - "$1" "$2" "$ROOT/stubs" <<'EOF'
import json, os, subprocess, sys, zipfile
from auditwheel.architecture import Architecture
from auditwheel.libc import Libc
from auditwheel.policy import WheelPolicies

wheel, arch, stubs = sys.argv[1:]
want_plats = {"manylinux_2_17_" + arch, "manylinux2014_" + arch}
name = os.path.basename(wheel)
dist, version, py, abi, plats = name[:-len(".whl")].split("-")
problems = []
if (py, abi) != ("cp310", "abi3") or set(plats.split(".")) != want_plats:
    problems.append("file name tags: " + name)
info = "%s-%s.dist-info/" % (dist, version)
modules = ("OrvanDeck", "PelmarDeck", "deckrun")
with zipfile.ZipFile(wheel) as z:
    meta = z.read(info + "WHEEL").decode()
    tags = {l.split(":", 1)[1].strip() for l in meta.splitlines() if l.startswith("Tag:")}
    if tags != {"cp310-abi3-" + p for p in want_plats} or "Root-Is-Purelib: false" not in meta:
        problems.append("WHEEL metadata: " + meta)
    if "deckrun = deckrun:main" not in z.read(info + "entry_points.txt").decode():
        problems.append("no deckrun entry point")
    payload = {n for n in z.namelist() if not n.startswith(info)}
    want = {m + ".abi3.so" for m in modules} | {
        os.path.relpath(os.path.join(d, f), stubs) for d, _, fs in os.walk(stubs) for f in fs}
    if payload != want:
        problems.append("contents differ: extra %s, missing %s" % (sorted(payload - want), sorted(want - payload)))
    machine = {"x86_64": 62, "aarch64": 183}[arch]   # ELF e_machine
    for m in modules:
        head = z.read(m + ".abi3.so")[:20]
        if head[:4] != b"\x7fELF" or int.from_bytes(head[18:20], "little") != machine:
            problems.append(m + ".abi3.so is not " + arch + " code")
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

mkdir -p wheelhouse
built=()
for arch in "${ARCHS[@]}"; do
    target="$arch-linux-gnu.2.17"
    say "$arch: checking the 3.10 headers for $target"
    check_headers "$target" || die "$INCLUDE does not fit $target"
    build="build/wheel-$arch"
    rm -rf "$build"
    say "$arch: building with zig $("$ZIG" version) for $target"
    "$PY" -m pip wheel . --no-deps --no-build-isolation -w "$build/dist" \
        -C build-dir="$build/cmake" \
        -C cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-toolchain.cmake" \
        -C cmake.define.DECK_ZIG="$ZIG" -C cmake.define.DECK_ZIG_TARGET="$target" \
        -C wheel.tags="cp310-abi3-manylinux_2_17_$arch" -C wheel.tags="cp310-abi3-manylinux2014_$arch" \
        || die "$arch: wheel build failed"
    shopt -s nullglob; wheels=("$build"/dist/deck_tui-*.whl); shopt -u nullglob
    [ ${#wheels[@]} -eq 1 ] || die "$arch: expected one wheel in $build/dist, found ${#wheels[@]}"
    "$VENV/bin/auditwheel" show "${wheels[0]}"
    check_wheel "${wheels[0]}" "$arch" || die "$arch: ${wheels[0]##*/} is not what a release needs"
    rm -f wheelhouse/deck_tui-*"_$arch.whl"
    cp "${wheels[0]}" wheelhouse/
    built+=("wheelhouse/${wheels[0]##*/}")
done
say "OK: ${built[*]}"
