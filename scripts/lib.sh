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

# The Debian mirror that serves unstable, found among the host's own apt sources
# (scripts/unstable.sh's tree and scripts/freethreaded.sh's CPython source come from it);
# DECK_UNSTABLE_MIRROR overrides it. No host name is written down anywhere.
fetch_head() {  # the first bytes of a URL on stdout
    if command -v curl >/dev/null; then
        curl -fsSL --max-time 60 -r 0-4095 "$1" 2>/dev/null
    else
        python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=60).read(4096).decode("latin-1"))' "$1" 2>/dev/null
    fi
}
host_mirrors() {  # URIs of the host's enabled Debian entries, security archives left out
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'function flush() { if (uri != "" && types ~ /(^| )deb( |$)/ && enabled !~ /^(no|false)$/ && ok) print uri
                                 uri = ""; types = ""; enabled = ""; ok = 0 }
             /^[ \t]*#/ { next }
             /^[ \t]*$/ { flush(); next }
             { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "") }
             key == "types" { types = $0 }
             key == "uris" { uri = $1 }
             key == "enabled" { enabled = tolower($0) }
             key == "suites" { for (i = 1; i <= NF; i++) if ($i !~ /-security$/ && $i !~ /\//) ok = 1 }
             END { flush() }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" && $3 !~ /-security$/ { print $2 }'
    done
}
find_mirror() {
    local m head
    if [ -n "${DECK_UNSTABLE_MIRROR:-}" ]; then echo "${DECK_UNSTABLE_MIRROR%/}"; return; fi
    for m in $(host_mirrors | awk '!seen[$0]++'); do
        case "$m" in http://*|https://*) ;; *) continue ;; esac
        head="$(fetch_head "${m%/}/dists/sid/Release")" || continue
        if [[ $'\n'"$head" == *$'\n'"Suite: unstable"$'\n'* ]]; then
            echo "${m%/}"; return
        fi
    done
    return 1
}

# apt_ensure PKG...: installs the Debian packages that are not installed yet
# (needs root for that; says which are missing otherwise).
apt_ensure() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || die "missing Debian packages: ${missing[*]} (sudo apt-get install ${missing[*]})"
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -q </dev/null >/dev/null || die "apt-get update failed"
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" </dev/null >/dev/null \
        || die "could not install ${missing[*]}"
}
