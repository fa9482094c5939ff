#!/usr/bin/env bash
# Tests a release wheel from wheelhouse/ where users run it: pip installs it into a
# fresh venv in a Debian tree of the host's release that has python3, python3-venv,
# tmux and binutils (for nm) but no compiler, and the test suite runs there against it.
# The arm64 tree runs under qemu's user-mode emulation.
#
#   bash scripts/wheeltest.sh amd64 [pytest args]        # the whole suite
#   bash scripts/wheeltest.sh arm64 --ci [pytest args]   # the emulation subset CI runs
#
# Needs root (debootstrap, chroot, mounts). Trees live in /var/tmp/deck-wheeltest-ARCH
# (DECK_WHEELTEST_TREES changes /var/tmp) and are reused while healthy.
set -euo pipefail

DECK_TOOL=wheeltest
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The named subset for emulated runs (the whole suite takes too long there): the
# imports and module shapes, every method through the recording fakes, the real rich
# rendering, the shared libraries, and one real-terminal test per module.
CI_SUBSET=(
    tests/packaging/test_binary.py
    tests/dashboard/test_orvan_introspection.py tests/screen/test_pelmar_api.py
    tests/dashboard/test_orvan_composition.py tests/dashboard/test_orvan_messages.py
    tests/dashboard/test_orvan_status.py tests/dashboard/test_orvan_rollback.py tests/dashboard/test_orvan_progress.py
    tests/screen/test_pelmar_colours.py tests/screen/test_pelmar_text.py tests/screen/test_pelmar_input_windows.py
    tests/dashboard/test_orvan_real_rich.py
    "tests/dashboard/test_orvan_demo.py::test_demo_final_screen"
    "tests/screen/test_pelmar_terminal.py::test_text_lands_in_cells"
)

ARCH="${1:-}"; shift || true
case "$ARCH" in
    amd64) WARCH=x86_64 ;;
    arm64) WARCH=aarch64 ;;
    *) die "usage: wheeltest.sh amd64|arm64 [--ci] [pytest args]" ;;
esac
SUBSET=()
if [ "${1:-}" = --ci ]; then SUBSET=("${CI_SUBSET[@]}"); shift; fi
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mounts)"

shopt -s nullglob; wheels=(wheelhouse/deck_tui-*-manylinux*"_$WARCH.whl"); shopt -u nullglob
[ ${#wheels[@]} -eq 1 ] || die "expected one $WARCH wheel in wheelhouse/, found ${#wheels[@]} (bash scripts/wheels.sh)"
WHEEL="${wheels[0]}"

# ---------------------------------------------------------------- host tools
HOST_ARCH="$(dpkg --print-architecture)"
need=(debootstrap); [ "$ARCH" = "$HOST_ARCH" ] || need+=(qemu-user-static binfmt-support)
apt_ensure "${need[@]}"
if [ "$ARCH" != "$HOST_ARCH" ]; then
    BINFMT=/proc/sys/fs/binfmt_misc
    [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" || die "cannot mount $BINFMT"
    update-binfmts --enable "qemu-$WARCH" >/dev/null 2>&1 || true
    # F: the emulator is opened now, so it runs inside the chroot too
    grep -qx enabled "$BINFMT/qemu-$WARCH" 2>/dev/null && grep -q '^flags:.*F' "$BINFMT/qemu-$WARCH" \
        || die "qemu-$WARCH is not registered with binfmt_misc (flag F)"
fi

# ---------------------------------------------------------------- the tree
CODENAME="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
[ -n "$CODENAME" ] || die "no VERSION_CODENAME in /etc/os-release"
TREES="${DECK_WHEELTEST_TREES:-/var/tmp}"
TREE="$TREES/deck-wheeltest-$ARCH"
PACKAGES=python3,python3-venv,tmux,binutils
MARK="$CODENAME $ARCH $PACKAGES"

# One run per tree at a time; fd 9 is closed for what runs inside, so a stray
# process there cannot keep the lock.
exec 9>"$TREE.lock"
flock -w 3600 9 || die "another run holds $TREE.lock"

# The first deb source of the host's own release (main): whatever mirror the host uses.
host_mirror() {
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            awk -v want="$CODENAME" 'BEGIN { RS = ""; FS = "\n" }
                {   types = uris = suites = comps = ""; enabled = "yes"
                    for (i = 1; i <= NF; i++) {
                        key = tolower($i); sub(/:.*/, "", key)
                        val = $i; sub(/^[^:]*:[ \t]*/, "", val)
                        if (key == "types") types = val; else if (key == "uris") uris = val
                        else if (key == "suites") suites = val; else if (key == "components") comps = val
                        else if (key == "enabled") enabled = tolower(val)
                    }
                    if (enabled != "no" && (" " types " ") ~ / deb / && (" " suites " ") ~ (" " want " ") \
                        && (" " comps " ") ~ / main /) { split(uris, u, /[ \t]+/); print u[1] }
                }' "$f"
        done
        { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } \
            | sed -e 's/#.*//' -e 's/\[[^]]*\]//' \
            | awk -v want="$CODENAME" '$1 == "deb" && $3 == want { for (i = 4; i <= NF; i++) if ($i == "main") { print $2; break } }'
    } | awk 'NR == 1'
}

mounts_under() { awk -v t="$1/" 'index($5 "/", t) == 1 { print $5 }' /proc/self/mountinfo | sort -r; }
unmount_under() {
    local m
    for m in $(mounts_under "$1"); do umount "$m" 2>/dev/null || umount -l "$m" || true; done
    [ -z "$(mounts_under "$1")" ]
}
in_tree() { chroot "$TREE" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
tree_ok() {
    [ -f "$TREE/.deck-tree" ] && [ "$(cat "$TREE/.deck-tree")" = "$MARK" ] || return 1
    [ "$(in_tree dpkg --print-architecture 2>/dev/null)" = "$ARCH" ] || return 1
    in_tree python3 -c 'import venv, ensurepip, curses' >/dev/null 2>&1 && in_tree tmux -V >/dev/null 2>&1
}

T0=$SECONDS
unmount_under "$TREE" || die "cannot unmount what is left mounted under $TREE"
if tree_ok; then
    say "reusing the $ARCH tree $TREE"
else
    MIRROR="$(host_mirror)"
    [ -n "$MIRROR" ] || die "no deb source for $CODENAME main in the host's apt sources"
    say "making the $ARCH tree $TREE ($CODENAME, minbase + $PACKAGES); log in $TREE.log"
    unmount_under "$TREE.new" || die "cannot unmount what is left mounted under $TREE.new"
    rm -rf "$TREE" "$TREE.new"
    if ! debootstrap --arch="$ARCH" --variant=minbase --include="$PACKAGES" \
            "$CODENAME" "$TREE.new" "$MIRROR" >"$TREE.log" 2>&1; then
        tail -n 30 "$TREE.log" >&2
        die "debootstrap failed (log: $TREE.log)"
    fi
    echo "$MARK" > "$TREE.new/.deck-tree"
    mv "$TREE.new" "$TREE"
    tree_ok || die "the new tree $TREE does not work"
    say "tree made in $((SECONDS - T0)) s"
fi
for cc in cc gcc g++ c++ clang clang++; do
    ! in_tree sh -c "command -v $cc" >/dev/null || die "the tree has a compiler ($cc)"
done

# What the host gives its own pip: resolver, CA bundle, pip configuration.
cp -L /etc/resolv.conf "$TREE/etc/resolv.conf"
mkdir -p "$TREE/etc/ssl/certs" && cp -L /etc/ssl/certs/ca-certificates.crt "$TREE/etc/ssl/certs/"
rm -rf "$TREE/etc/pip.conf" "$TREE/etc/xdg/pip" "$TREE/root/.config/pip" "$TREE/root/.pip"
[ -f /etc/pip.conf ] && cp -L /etc/pip.conf "$TREE/etc/pip.conf"
[ -d /etc/xdg/pip ] && mkdir -p "$TREE/etc/xdg" && cp -rL /etc/xdg/pip "$TREE/etc/xdg/pip"
[ -d "$HOME/.config/pip" ] && mkdir -p "$TREE/root/.config" && cp -rL "$HOME/.config/pip" "$TREE/root/.config/pip"
[ -d "$HOME/.pip" ] && cp -rL "$HOME/.pip" "$TREE/root/.pip"
ENVS=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
      PYTHONDONTWRITEBYTECODE=1 HYPOTHESIS_STORAGE_DIRECTORY=/root/.hypothesis)
while IFS= read -r v; do ENVS+=("$v"); done < <(env | grep -E '^(PIP_[A-Z_]*|TERM|CI)=' || true)

# The tests and what they run, not the sources.
rm -rf "$TREE/root/deck"
mkdir -p "$TREE/root/deck/wheelhouse"
tar -cf - --exclude=__pycache__ tests examples pyproject.toml | tar -xf - -C "$TREE/root/deck"
cp "$WHEEL" "$TREE/root/deck/wheelhouse/"

MOUNTED=()
cleanup() {
    local i
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTED[$i]}" 2>/dev/null || umount -l "${MOUNTED[$i]}" || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mount -t proc proc "$TREE/proc" && MOUNTED+=("$TREE/proc")
mount --bind /dev "$TREE/dev" && MOUNTED+=("$TREE/dev")
mount --bind /dev/pts "$TREE/dev/pts" && MOUNTED+=("$TREE/dev/pts")
[ ${#MOUNTED[@]} -eq 3 ] || die "could not mount /proc, /dev and /dev/pts in the tree"

T1=$SECONDS
say "$ARCH: pip install ${WHEEL##*/}[test] into a fresh venv"
chroot "$TREE" /usr/bin/env -i "${ENVS[@]}" /bin/bash -euo pipefail -c '
    python3 -m venv --clear /root/venv
    # the host'"'"'s pip config may name local package folders the tree lacks
    /root/venv/bin/python -m pip install -q "$1[test]" 2>&1 | { grep -v "is ignored: it is" || true; }
    cd /root/deck
    /root/venv/bin/python -c "import sys, OrvanDeck, PelmarDeck, deckrun
for m in (OrvanDeck, PelmarDeck, deckrun):
    assert m.__file__.startswith(\"/root/venv/\"), m.__file__
print(\"wheeltest:\", sys.version.split()[0], OrvanDeck.__file__)"
' - "/root/deck/wheelhouse/${WHEEL##*/}" 9>&- || die "could not install ${WHEEL##*/} in the $ARCH tree"
T2=$SECONDS
say "$ARCH: installed in $((T2 - T1)) s; running ${SUBSET[*]:-the whole suite}"
rc=0
chroot "$TREE" /usr/bin/env -i "${ENVS[@]}" /bin/bash -c 'cd /root/deck && exec /root/venv/bin/pytest -p no:cacheprovider "$@"' \
    - ${SUBSET[@]+"${SUBSET[@]}"} "$@" 9>&- || rc=$?
say "$ARCH: tests took $((SECONDS - T2)) s (tree $((T1 - T0)) s, install $((T2 - T1)) s)"
case "$rc" in
    0) say "OK: ${WHEEL##*/} passes in the $ARCH tree" ;;
    5) die "pytest collected no tests" ;;
    *) die "pytest exit $rc in the $ARCH tree" ;;
esac
