#!/usr/bin/env bash
# Fails when the C++ keeps Python objects in statics. A function-local static
# is made under the C++ initialisation guard, a lock the GIL knows nothing of,
# and outlives its interpreter; a namespace-scope variable is shared by every
# interpreter and every copy of the module. Such state belongs in the module
# object. Counted as holding Python objects: PyObject, PyTypeObject, Ref, and
# every struct or class of ours that has one of them (directly or through
# another such type) in its body. A line that must stay (an immortal object,
# say) carries the comment "check_statics: allow" and the reason.
#
#   bash scripts/check_statics.sh
set -euo pipefail

DECK_TOOL=check_statics
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if git rev-parse --git-dir >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
else
    mapfile -t files < <(find . \( -path ./build -o -path ./.venv \) -prune -o \
                              \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print)
fi
[ ${#files[@]} -gt 0 ] || die "no C++ sources found"

# Types that hold Python objects, as an alternation for the patterns below.
holders="$(awk '
    function flush() { if (name != "") body[name] = text; name = "" }
    /^(struct|class)[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[^;]*$/ {
        flush(); name = $2; sub(/[^A-Za-z0-9_].*/, "", name); text = $0
        if ($0 ~ /\};/) flush()
        next
    }
    name != "" { text = text "\n" $0; if ($0 ~ /^\};/) flush() }
    END {
        held["PyObject"] = held["PyTypeObject"] = held["Ref"] = 1
        do {
            grew = 0
            for (n in body) if (!(n in held)) for (h in held)
                if (body[n] ~ ("(^|[^A-Za-z0-9_])" h "([^A-Za-z0-9_]|$)")) { held[n] = 1; grew = 1; break }
        } while (grew)
        sep = ""
        for (h in held) { printf "%s%s", sep, h; sep = "|" }
    }' "${files[@]}")"

ident='[A-Za-z_][A-Za-z0-9_]*'
type="(deck::)?(${holders})"
# indented: a static in a function or class; the type may sit in a template
local_static="^[[:space:]]+static[[:space:]]+([^;(=]*[[:space:]<,])?${type}([^A-Za-z0-9_][^;(=]*)?[[:space:]*&>]${ident}[[:space:]]*(=|;|\\{|\\[)"
# at column 0: a variable at namespace scope (a function has a parenthesis after its name)
namespace_var="^((static|inline|extern|constinit)[[:space:]]+)*(const[[:space:]]+)?${type}[[:space:]]*\\*?[[:space:]]*(const[[:space:]]+)?${ident}[[:space:]]*(=|;|,|\\{|\\[)"

hits="$(grep -n -H -E -e "$local_static" -e "$namespace_var" "${files[@]}" | grep -v 'check_statics: allow' || true)"
if [ -n "$hits" ]; then
    printf '%s\n' "$hits" >&2
    die "Python objects in statics (above); keep them in the module state"
fi
say "OK: no Python objects in statics in ${#files[@]} files"
