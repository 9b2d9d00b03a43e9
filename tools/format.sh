#!/usr/bin/env bash
# tools/format.sh [--check]: formats the C++ sources (src/, tests/native, bench/floor, fuzz/) with
# clang-format-14 and .clang-format, and the Python code with ruff's fixes that are safe and ruff's
# formatter.
# With --check, changes nothing: lists what would change and exits non-zero if anything would.
# clang-format-14 comes from Debian (.ci/packages installs it). ruff is pinned (RUFF_VERSION below:
# another release formats and lints differently): the one on PATH when it is that release, else one
# installed from PyPI into FORMAT_TOOLS (default build/format-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
RUFF_VERSION=0.17.6
check=0
case "${1:-}" in
    --check) check=1 ;;
    "") ;;
    *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac
command -v clang-format-14 >/dev/null ||
    { echo "tools/format.sh: clang-format-14 is missing (.ci/packages clang-format-14)" >&2; exit 2; }
ruff_is_pinned() { [ "$("$1" --version 2>/dev/null)" = "ruff $RUFF_VERSION" ]; }
ruff=$(command -v ruff || true)
if [ -z "$ruff" ] || ! ruff_is_pinned "$ruff"; then
    tools=${FORMAT_TOOLS:-build/format-tools}
    ruff=$tools/bin/ruff
    ruff_is_pinned "$ruff" || {
        [ -x "$tools/bin/python" ] || "$(bash tools/find-python.sh 3.12)" -m venv "$tools"
        "$tools/bin/python" -m pip install --quiet --disable-pip-version-check "ruff==$RUFF_VERSION"
    }
fi
"$ruff" --version
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.cc')
status=0
if [ "$check" = 1 ]; then
    clang-format-14 --dry-run --Werror "${sources[@]}" || status=1
    "$ruff" check . || status=1
    "$ruff" format --check . || status=1
else
    clang-format-14 -i "${sources[@]}"
    "$ruff" check --fix . || status=1
    "$ruff" format . || status=1
fi
exit "$status"
