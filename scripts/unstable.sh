#!/usr/bin/env bash
# The test suite on Debian unstable's interpreters (python3 = 3.14 and python3.15). They need
# unstable's C library, so they run in a Debian unstable tree made with debootstrap (minbase)
# outside the repository; the repository is copied into it (/deck) and scripts/test.sh runs there;
# then the modules are built from source with each interpreter (its headers, the tree's compiler).
#
#   bash scripts/unstable.sh                     # build or reuse the tree, test on 3.14 and 3.15
#   bash scripts/unstable.sh --wheel dist/W.whl  # test that wheel (default: build one in the tree)
#   bash scripts/unstable.sh --rebuild           # make the tree anew first
#   bash scripts/unstable.sh --shell             # an interactive shell in the tree's /deck
#   bash scripts/unstable.sh --bench -- --only screen
#                                                # bench/run.sh on each interpreter instead of the
#                                                # tests; results come back as bench/results-3.X.md
#   bash scripts/unstable.sh -- -k terminal -x   # arguments after -- go to pytest
#
# Environment: DECK_UNSTABLE_ROOT (default /var/tmp/deck-unstable) is the tree;
# DECK_UNSTABLE_PYTHONS (default "3.14 3.15") the interpreters; DECK_UNSTABLE_MIRROR the
# Debian mirror (default: the first one in the host's apt sources that serves unstable).
# Needs root. The tree is reused while it is healthy (the packages installed, the interpreters
# run); the host's resolver, CA certificates and pip configuration (and the local wheel folders
# and indexes it names) are given to it on every run. Its mounts live in a private mount
# namespace and are undone on exit. Fails, never skips, when something is missing.
set -euo pipefail

DECK_TOOL=unstable
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"   # cd to the repository root

TREE="${DECK_UNSTABLE_ROOT:-/var/tmp/deck-unstable}"
PYTHONS="${DECK_UNSTABLE_PYTHONS:-3.14 3.15}"
# what scripts/setup.sh asks for too, so that it installs nothing itself
PKGS=(python3 python3-dev python3-venv python3-dbg tmux g++ cmake ninja-build ca-certificates)
for v in $PYTHONS; do PKGS+=("python$v" "python$v-venv" "python$v-dev"); done

WHEEL_ARG="" REBUILD=no SHELL_ONLY=no BENCH=no
while [ $# -gt 0 ]; do
    case "$1" in
        --wheel)   [ $# -ge 2 ] || die "--wheel needs a path"; WHEEL_ARG="$2"; shift 2 ;;
        --wheel=*) WHEEL_ARG="${1#--wheel=}"; shift ;;
        --rebuild) REBUILD=yes; shift ;;
        --shell)   SHELL_ONLY=yes; shift ;;
        --bench)   BENCH=yes; shift ;;
        --) shift; break ;;
        -h|--help) sed -n '2,22p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument '$1' (see --help)" ;;
    esac
done

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mounts)"
case "$TREE" in
    /*) ;;
    *) die "DECK_UNSTABLE_ROOT must be an absolute path" ;;
esac
case "$TREE/" in
    "$ROOT"/*) die "the tree must live outside the repository ($TREE)" ;;
    /|//) die "refusing DECK_UNSTABLE_ROOT=/" ;;
esac
if [ -n "$WHEEL_ARG" ]; then
    [ -f "$WHEEL_ARG" ] || die "--wheel $WHEEL_ARG does not exist"
    WHEEL_ARG="$(cd "$(dirname "$WHEEL_ARG")" && pwd)/${WHEEL_ARG##*/}"
fi

# Mounts made below vanish with this private namespace, even if the script is killed.
if [ -z "${DECK_UNSTABLE_NS:-}" ]; then
    command -v unshare >/dev/null || die "unshare (util-linux) not found"
    exec unshare --mount --propagation private -- env DECK_UNSTABLE_NS=1 DECK_UNSTABLE_ROOT="$TREE" \
        bash "$ROOT/scripts/unstable.sh" ${WHEEL_ARG:+--wheel "$WHEEL_ARG"} \
        $([ "$REBUILD" = yes ] && echo --rebuild) $([ "$SHELL_ONLY" = yes ] && echo --shell) \
        $([ "$BENCH" = yes ] && echo --bench) -- "$@"
fi

# one run at a time per tree
mkdir -p "$(dirname "$TREE")"
exec 9>"$TREE.lock"
flock -w 3600 9 || die "another run holds $TREE.lock"

MOUNTS=()
cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" 2>/dev/null || true
    done
    MOUNTS=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mount_at() {  # mount_at TARGET MOUNT-ARGS...
    local target="$1"; shift
    mkdir -p "$target"
    mount "$@" "$target" || die "could not mount $* on $target"
    MOUNTS+=("$target")
}
mounted_under() { awk -v t="$1" '$5 == t || index($5, t "/") == 1' /proc/self/mountinfo | grep -q .; }

in_tree() {  # the caller's environment, less what only makes sense on the host
    chroot "$TREE" /usr/bin/env -u PYENV_ROOT -u PYENV_VERSION -u PYENV_SHELL -u VIRTUAL_ENV \
        -u TMUX -u TMUX_PANE -u LD_PRELOAD -u LD_LIBRARY_PATH -u OLDPWD -u PWD \
        -u HYPOTHESIS_STORAGE_DIRECTORY -u DECK_WHEEL \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TMPDIR=/tmp \
        DEBIAN_FRONTEND=noninteractive "$@"
}

# ---------------------------------------------------------------- the tree
tree_healthy() {  # the interpreters, tmux and the compiler run
    local v
    for v in $PYTHONS; do in_tree "python$v" -c '' 2>/dev/null || return 1; done
    in_tree tmux -V >/dev/null 2>&1 && in_tree g++ --version >/dev/null 2>&1
}
missing_pkgs() {
    local installed
    installed="$(in_tree dpkg-query -W -f='${Package} ${Status}\n' "${PKGS[@]}" 2>/dev/null \
                 | awk '/ install ok installed$/ { print $1 }')" || true
    printf '%s\n' "${PKGS[@]}" | grep -vxF -f <(printf '%s\n' "$installed") || true
}
build_tree() {  # a fresh debootstrap; the old tree goes only once the new one is complete
    local t0=$SECONDS d
    for d in "$TREE" "$TREE.new"; do
        ! mounted_under "$d" || die "something is still mounted under $d; not removing it"
    done
    rm -rf "$TREE.new"
    debootstrap --variant=minbase --components=main sid "$TREE.new" "$MIRROR" >"$TREE.debootstrap.log" 2>&1 \
        || { tail -n 20 "$TREE.debootstrap.log" >&2; die "debootstrap failed (log: $TREE.debootstrap.log)"; }
    rm -rf "$TREE"
    mv "$TREE.new" "$TREE"
    say "tree: debootstrap took $((SECONDS - t0)) s"
}
prepare_tree() {  # settings, mounts and packages; fails when something is missing afterwards
    # apt: the host's mirror, possibly a dated snapshot whose Release has expired
    printf 'deb %s sid main\n' "$MIRROR" >"$TREE/etc/apt/sources.list"
    printf 'Acquire::Check-Valid-Until "false";\n' >"$TREE/etc/apt/apt.conf.d/99deck-snapshot"
    # network: the host's resolver and host names
    cp -L --remove-destination /etc/resolv.conf "$TREE/etc/resolv.conf"
    cp -L --remove-destination /etc/hosts "$TREE/etc/hosts"

    mount_at "$TREE/proc" -t proc proc
    mount_at "$TREE/dev" --bind /dev
    mount_at "$TREE/dev/pts" --bind /dev/pts
    if [ -d /dev/shm ]; then mount_at "$TREE/dev/shm" --bind /dev/shm; fi
    mount_at "$TREE/tmp" -t tmpfs -o mode=1777,size=8g tmpfs

    local missing t0=$SECONDS
    mapfile -t missing < <(missing_pkgs)
    if [ ${#missing[@]} -gt 0 ]; then
        say "packages: installing ${missing[*]}"
        in_tree apt-get update -q </dev/null >"$TREE.apt.log" 2>&1 \
            && in_tree apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null >>"$TREE.apt.log" 2>&1 \
            || { tail -n 20 "$TREE.apt.log" >&2; say "apt-get failed in the tree (log: $TREE.apt.log)"; return 1; }
        say "packages: installed in $((SECONDS - t0)) s"
    fi
    tree_healthy || { say "the tree's interpreters, tmux or g++ do not run"; return 1; }
}

if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null >/dev/null || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap </dev/null >/dev/null \
        || die "could not install debootstrap"
fi
MIRROR="$(find_mirror)" || die "no mirror in the host's apt sources serves Debian unstable (set DECK_UNSTABLE_MIRROR)"
say "mirror: $MIRROR (from the host's apt sources)"

built=no
if [ "$REBUILD" = yes ] || ! [ -x "$TREE/usr/bin/dpkg" ] || ! chroot "$TREE" /bin/true 2>/dev/null; then
    say "tree: building $TREE"
    build_tree; built=yes
else
    say "tree: reusing $TREE"
fi
if ! prepare_tree; then
    [ "$built" = no ] || die "the new tree is not usable"
    say "tree: not usable, building it anew"
    cleanup
    build_tree
    prepare_tree || die "the new tree is not usable"
fi

# CA certificates: the host's own (local ones included), also for a later update-ca-certificates
mkdir -p "$TREE/usr/local/share/ca-certificates"
if [ -d /usr/local/share/ca-certificates ]; then
    cp -a /usr/local/share/ca-certificates/. "$TREE/usr/local/share/ca-certificates/"
fi
mkdir -p "$TREE/etc/ssl/certs"
if [ -f /etc/ssl/certs/ca-certificates.crt ] \
        && ! cmp -s /etc/ssl/certs/ca-certificates.crt "$TREE/etc/ssl/certs/ca-certificates.crt"; then
    in_tree update-ca-certificates >/dev/null 2>&1 || say "WARNING: update-ca-certificates failed in the tree"
    cp -L --remove-destination /etc/ssl/certs/ca-certificates.crt "$TREE/etc/ssl/certs/ca-certificates.crt"
fi

# pip: the host's configuration files, and the local folders they (or PIP_* variables) name
PIP_FILES=(/etc/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
[ -n "${PIP_CONFIG_FILE:-}" ] && PIP_FILES+=("$PIP_CONFIG_FILE")
rm -rf "$TREE/etc/xdg/pip" "$TREE/etc/pip.conf" "$TREE/root/.config/pip" "$TREE/root/.pip"
[ -d /etc/xdg/pip ] && { mkdir -p "$TREE/etc/xdg"; cp -a /etc/xdg/pip "$TREE/etc/xdg/pip"; PIP_FILES+=(/etc/xdg/pip/pip.conf); }
for f in "${PIP_FILES[@]}"; do
    [ -f "$f" ] || continue
    dest="$TREE${f/#$HOME//root}"
    mkdir -p "$(dirname "$dest")"
    cp -L --remove-destination "$f" "$dest"
done
pip_paths() {  # KIND PATH per line: "index" for (extra-)index URLs, "path" otherwise
    local f
    {
        for f in "${PIP_FILES[@]}"; do
            # key = value, the value possibly going on over indented lines
            [ -f "$f" ] && awk '/^[ \t]*[#;]/ || /^[ \t]*\[/ { key = ""; next }
                               /^[ \t]/ { if (key != "") print key, $0; next }
                               /=/ { key = $0; sub(/[ \t]*=.*/, "", key); v = $0; sub(/^[^=]*=/, "", v); print key, v }' "$f"
        done
        env | grep -E '^PIP_' | sed 's/=/ /' || true
    } | while read -r key rest; do
        key="$(printf '%s' "$key" | tr 'A-Z_' 'a-z-')"
        for tok in $rest; do
            tok="${tok#file://}"; tok="${tok%%#*}"
            case "$tok" in /*) ;; *) continue ;; esac
            case "$key" in *index-url) echo "index $tok" ;; *) echo "path $tok" ;; esac
        done
    done
}
BOUND=()
while read -r kind p; do
    [ -e "$p" ] || continue
    # a local simple index links to its files relatively, beside it: give its parent
    [ "$kind" = index ] && p="$(dirname "$p")"
    # folders are bound, except system ones the tree has of its own
    case "$p" in /|/etc|/etc/*|/usr|/usr/*|/var|/root|/home|/tmp|/proc|/proc/*|/dev|/dev/*|/sys|/sys/*) ;;
        *) if [ -d "$p" ]; then BOUND+=("$p"); fi ;;
    esac
    if [ -f "$p" ]; then mkdir -p "$TREE$(dirname "$p")"; cp -L --remove-destination "$p" "$TREE$p"; fi
done < <(pip_paths | sort -u)
for p in $(printf '%s\n' ${BOUND[@]+"${BOUND[@]}"} | sort -u); do
    covered=no
    for q in "${BOUND[@]}"; do [ "$q" != "$p" ] && case "$p/" in "$q"/*) covered=yes ;; esac; done
    [ "$covered" = yes ] && continue
    mount_at "$TREE$p" --bind -o ro "$p"
    say "pip: $p given to the tree (read-only)"
done

# ---------------------------------------------------------------- the repository copy
mkdir -p "$TREE/deck"
# the venvs stay from run to run; everything else is copied anew
find "$TREE/deck" -mindepth 1 -maxdepth 1 ! -name .venv -exec rm -rf {} +
tar -C "$ROOT" --exclude=./.git --exclude=./.venv --exclude=./build --exclude=./dist \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . | tar -C "$TREE/deck" -xf -
TEST_ENV=()
if [ -n "$WHEEL_ARG" ]; then
    mkdir -p "$TREE/deck/dist"
    cp "$WHEEL_ARG" "$TREE/deck/dist/"
    TEST_ENV=("DECK_WHEEL=dist/${WHEEL_ARG##*/}")
    say "wheel: ${WHEEL_ARG##*/} (built on the host)"
fi

if [ "$SHELL_ONLY" = yes ]; then
    say "shell in the tree (exit to leave)"
    in_tree ${TEST_ENV[@]+"${TEST_ENV[@]}"} bash -c 'cd /deck && exec bash -i' || true
    exit 0
fi

if [ "$BENCH" = yes ]; then
    for v in $PYTHONS; do
        say "bench/run.sh on $v in the tree"
        in_tree ${TEST_ENV[@]+"${TEST_ENV[@]}"} bash -c 'cd /deck && bash scripts/setup.sh --only "debian$1" >/dev/null &&
            BENCH_VENV="debian$1" exec bash bench/run.sh "${@:2}"' bench "$v" "$@" </dev/null \
            || die "bench/run.sh failed on $v"
        for f in results.md results.json; do cp "$TREE/deck/bench/$f" "bench/${f/results/results-$v}"; done
        say "results: bench/results-$v.md"
    done
    exit 0
fi

VENVS=""
for v in $PYTHONS; do VENVS="$VENVS,debian$v"; done
say "running scripts/test.sh in the tree for ${VENVS#,}"
t0=$SECONDS
rc=0
in_tree ${TEST_ENV[@]+"${TEST_ENV[@]}"} bash -c 'cd /deck && exec bash scripts/test.sh "$@"' test.sh \
    --only "${VENVS#,}" -- "$@" </dev/null || rc=$?
say "test.sh in the tree took $((SECONDS - t0)) s"
[ "$rc" -eq 0 ] || die "the suite failed on Debian unstable (exit $rc)"
# `pip install .` on each: a build against that interpreter's own headers, with the tree's
# compiler (newer than the host's; the tests above may have run a wheel built elsewhere)
for v in $PYTHONS; do
    t0=$SECONDS
    in_tree bash -c 'rm -rf "/tmp/srcbuild-$1" && cd /deck &&
        ".venv/debian$1/bin/python" -m pip wheel -q --no-deps -w "/tmp/srcbuild-$1" . >"/tmp/srcbuild-$1.log" 2>&1 ||
        { tail -n 30 "/tmp/srcbuild-$1.log" >&2; exit 1; }' srcbuild "$v" </dev/null \
        || die "building from source failed on $v"
    say "source build on $v: OK in $((SECONDS - t0)) s"
done
say "OK: the suite passed on Debian unstable's ${PYTHONS// /, }"
