#!/usr/bin/env bash
# tools/test-wheel.sh WHEEL [PYTEST ARGS]: install WHEEL with the test tools into a fresh venv of
# the wheel's CPython and run the test suite against it, from a copy of tests/, bench/, examples/,
# pyproject.toml and CMakeLists.txt (which builds the tests' and the benchmark's own extensions
# without src/, tests/_cmake.py) outside the source tree, so that nothing can be imported from src/. Also
# checks the `virel` command. The team's data folder (../shared beside the source tree) is linked
# beside the copy, where the tests look for it. With WHEEL_WORK=DIR, the venv (DIR/venv) and the
# copy (DIR/tree) are made in DIR, emptied first, and kept for further runs.
set -euo pipefail
cd "$(dirname "$0")/.."
whl=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
tag=$(basename "$whl" | cut -d- -f3)   # cp313
version=${tag:2:1}.${tag:3}
if [ -n "${WHEEL_WORK:-}" ]; then
    work=$WHEEL_WORK
    rm -rf "$work"
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$(bash tools/find-python.sh "$version")" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet "$whl[test]"
"$work/venv/bin/virel" --help >/dev/null
mkdir "$work/tree"
cp -r tests bench pyproject.toml CMakeLists.txt "$work/tree/"
[ ! -d examples ] || cp -r examples "$work/tree/"
[ ! -d ../shared ] || ln -s "$(cd ../shared && pwd)" "$work/shared"
cd "$work/tree"
"$work/venv/bin/python" -c 'import Virel.tl, sys; print("testing", Virel.tl.__file__, "on", sys.version.split()[0])'
status=0
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 5 ] || exit "$status"   # 5: no test selected
