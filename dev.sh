#!/usr/bin/env bash
# dev.sh: one entry point for setting up and running Virel.
#   ./dev.sh demo        set up .venv, build the extension, run the demo
#   ./dev.sh test [ARGS] set up .venv, build the extension, run the tests (ARGS go to pytest)
#   ./dev.sh bench [ARGS] set up, then run the benchmark (ARGS go to bench/run.py)
#   ./dev.sh setup       only set up
# VENV overrides the virtual environment's folder (default .venv).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
venv=${VENV:-$here/.venv}

setup() {
    if [ ! -x "$venv/bin/python" ]; then
        py=$(bash tools/find-python.sh)
        "$py" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet ".[test]"
}

cmd=${1:-demo}
shift || true
case "$cmd" in
    setup) setup ;;
    bench) setup; "$venv/bin/python" -m pip install --quiet msgpack; exec "$venv/bin/python" bench/run.py "$@" ;;
    demo)  setup; exec "$venv/bin/python" -m Virel demo "$@" ;;
    test)  setup; exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" ;;
    *) echo "usage: ./dev.sh [demo|test|bench|setup] [ARGS...]" >&2; exit 2 ;;
esac
