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
