#!/usr/bin/env bash
# tools/format.sh [--check]: formats the C++ sources (src/, tests/native, bench/floor, fuzz/) with
# clang-format-14 and .clang-format, and the Python code with ruff's fixes that are safe.
# With --check, changes nothing: lists what would change and exits non-zero if anything would.
# clang-format-14 comes from Debian (apt-get install clang-format-14); ruff from PyPI, into
# build/format-tools when it is not on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
case "${1:-}" in
    --check) check=1 ;;
    "") ;;
    *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac
command -v clang-format-14 >/dev/null ||
    { echo "tools/format.sh: clang-format-14 is missing (apt-get install clang-format-14)" >&2; exit 2; }
ruff=$(command -v ruff || true)
if [ -z "$ruff" ]; then
    tools=build/format-tools
    [ -x "$tools/bin/ruff" ] || {
        "$(bash tools/find-python.sh 3.12)" -m venv "$tools"
        "$tools/bin/python" -m pip install --quiet "ruff>=0.6,<1"
    }
    ruff=$tools/bin/ruff
fi
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.cc')
status=0
if [ "$check" = 1 ]; then
    clang-format-14 --dry-run --Werror "${sources[@]}" || status=1
    "$ruff" check . || status=1
else
    clang-format-14 -i "${sources[@]}"
    "$ruff" check --fix . || status=1
fi
exit "$status"
