#!/usr/bin/env bash
# tools/find-python.sh: print the path of a CPython 3.12 interpreter.
# $PYTHON if set, else python3.12 if it runs, else the newest 3.12 that pyenv knows.
set -euo pipefail
is312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }
if [ -n "${PYTHON:-}" ]; then
    is312 "$PYTHON" || { echo "PYTHON=$PYTHON is not CPython 3.12" >&2; exit 1; }
    command -v "$PYTHON"; exit 0
fi
if is312 python3.12; then command -v python3.12; exit 0; fi
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    for v in $(pyenv versions --bare | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3,3nr); do
        if is312 "$root/versions/$v/bin/python3.12"; then echo "$root/versions/$v/bin/python3.12"; exit 0; fi
    done
fi
echo "no CPython 3.12 found: set PYTHON to one" >&2
exit 1
