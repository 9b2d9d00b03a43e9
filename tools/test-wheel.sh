#!/usr/bin/env bash
# tools/test-wheel.sh WHEEL [PYTEST ARGS]: install WHEEL with the test tools into a fresh venv of
# the wheel's CPython and run the test suite against it, from a copy of tests/, bench/, examples/
# and pyproject.toml outside the source tree, so that nothing can be imported from src/. Also
# checks the `virel` command.
set -euo pipefail
cd "$(dirname "$0")/.."
whl=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
tag=$(basename "$whl" | cut -d- -f3)   # cp313
version=${tag:2:1}.${tag:3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$(bash tools/find-python.sh "$version")" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet "$whl[test]"
"$work/venv/bin/virel" --help >/dev/null
mkdir "$work/tree"
cp -r tests bench pyproject.toml "$work/tree/"
[ ! -d examples ] || cp -r examples "$work/tree/"
cd "$work/tree"
"$work/venv/bin/python" -c 'import Virel.tl, sys; print("testing", Virel.tl.__file__, "on", sys.version.split()[0])'
status=0
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 5 ] || exit "$status"   # 5: no test selected
