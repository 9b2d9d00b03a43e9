#!/usr/bin/env bash
# tools/coverage.sh [PYTEST ARGS]: line coverage of the C++ code of src/ under the default test
# suite. Builds the module with gcov's counters (VIREL_COVERAGE=ON, a Debug build in
# build/coverage) into a venv of its own (COV_VENV, default build/coverage-venv) with the test tools
# and gcovr, runs the suite against it (ARGS go to pytest; the counters start from zero), then prints
# gcovr's table of src/ (lines, covered share, uncovered lines per file) and writes the same with
# each file's lines marked to build/coverage-report/index.html. Lines run only in a child that
# leaves through os._exit (the fork test of tests/test_notes.py) are not counted: such a child
# never writes its counters.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
venv=${COV_VENV:-$PWD/build/coverage-venv}
[ -x "$venv/bin/python" ] || "$(bash tools/find-python.sh 3.12)" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet ".[test]" gcovr \
    -Ccmake.define.VIREL_COVERAGE=ON -Ccmake.build-type=Debug -Cbuild-dir=build/coverage -Cinstall.strip=false
find build/coverage -name '*.gcda' -delete
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
rm -rf build/coverage-report
mkdir -p build/coverage-report
"$venv/bin/gcovr" --root . --filter 'src/' --object-directory build/coverage --merge-lines \
    --txt - --html-details build/coverage-report/index.html build/coverage
exit "$status"
