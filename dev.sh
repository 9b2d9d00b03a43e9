#!/usr/bin/env bash
# dev.sh: one entry point for setting up and running Virel.
#   ./dev.sh demo         set up what running the module needs, run the demo
#   ./dev.sh test [ARGS]  set up with the test tools, run the tests (ARGS go to pytest)
#   ./dev.sh bench [ARGS] set up with msgpack, run the benchmark (ARGS go to bench/run.py)
#   ./dev.sh setup        set up with the test tools, run nothing
# PYVER=3.13 picks CPython 3.13 (default 3.12; PYTHON=/path/to/python picks the interpreter itself,
# see tools/find-python.sh). The virtual environment is .venv for 3.12 and .venv-3.13 for 3.13;
# VENV overrides it.
#
# Each part of the setup is done once and redone only when what it depends on changed: the venv is
# created when missing; the build tools and the test tools are installed when pyproject.toml
# changes; Virel is rebuilt and reinstalled when a file under src/, CMakeLists.txt, pyproject.toml
# or this script changes, in the CMake build folder that stays under build/, so that CMake compiles
# only what an edit touched. Stamps in the venv (.virel-*) record what was done. With nothing
# changed, a call goes straight to its command.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
export PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

if [ -n "${PYVER:-}" ]; then
    version=$PYVER
elif [ -n "${PYTHON:-}" ]; then
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
else
    version=3.12
fi
default_venv=$here/.venv
[ "$version" = 3.12 ] || default_venv=$here/.venv-$version
venv=${VENV:-$default_venv}
py=$venv/bin/python

stamp() { cat "$venv/.virel-$1" 2>/dev/null || true; }

make_venv() {
    if [ -e "$venv" ]; then
        local got
        got=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
        [ "$got" = "$version" ] && return 0
        echo "dev.sh: $venv is not a working CPython $version venv: remove it or set VENV" >&2
        exit 1
    fi
    local base
    base=$(bash tools/find-python.sh "$version")
    echo "dev.sh: creating $venv with $base" >&2
    "$base" -m venv "$venv"
}

# tools GROUP: install the requirements of GROUP (build, test, bench) unless pyproject.toml is
# unchanged since they were installed.
tools() {
    local want
    want=$(sha1sum pyproject.toml | cut -d' ' -f1)
    [ "$(stamp "tools-$1")" = "$want" ] && return 0
    make_venv
    local -a reqs
    case $1 in
        build) mapfile -t reqs < <("$py" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"], sep="\n")') ;;
        test) mapfile -t reqs < <("$py" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")') ;;
        bench) reqs=(msgpack) ;;
    esac
    echo "dev.sh: installing the $1 tools: ${reqs[*]}" >&2
    "$py" -m pip install --quiet "${reqs[@]}"
    if [ "$1" = build ]; then
        # CMake or Ninja from PyPI when the machine's own are missing or too old
        mapfile -t reqs < <("$py" -c 'from scikit_build_core.build import get_requires_for_build_wheel as r
for x in r(): print(x)')
        [ ${#reqs[@]} -eq 0 ] || "$py" -m pip install --quiet "${reqs[@]}"
    fi
    echo "$want" >"$venv/.virel-tools-$1"
}

fingerprint() {
    { echo "$version"
      find src CMakeLists.txt pyproject.toml dev.sh -type f ! -path '*/__pycache__/*' -print0 |
          sort -z | xargs -0 sha1sum; } | sha1sum | cut -d' ' -f1
}

# build: build and install Virel (unstripped, for debuggers and valgrind) unless its sources are
# unchanged since the last install into this venv.
build() {
    local want
    want=$(fingerprint)
    [ "$(stamp build)" = "$want" ] && return 0
    tools build
    echo "dev.sh: building Virel (CMake folder under build/)" >&2
    "$py" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall -Cinstall.strip=false .
    echo "$want" >"$venv/.virel-build"
}

cmd=${1:-demo}
shift || true
case "$cmd" in
    setup) build; tools test ;;
    demo)  build; exec "$py" -m Virel demo "$@" ;;
    test)  build; tools test; exec "$py" -m pytest -q -p no:cacheprovider "$@" ;;
    bench) build; tools bench; exec "$py" bench/run.py "$@" ;;
    *) echo "usage: ./dev.sh [demo|test|bench|setup] [ARGS...]" >&2; exit 2 ;;
esac
