#!/usr/bin/env bash
# tools/find-python.sh [VERSION]: print the path of a CPython interpreter of VERSION (3.12 or 3.13,
# the versions Virel supports; default 3.12, or the version of $PYTHON when that is set).
# $PYTHON if set, else pythonVERSION if it runs, else the newest VERSION that pyenv knows.
set -euo pipefail
supported="3.12 3.13"
version_of() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2] if sys.implementation.name == "cpython" else "")' \
        2>/dev/null || true
}
want=${1:-}
if [ -n "$want" ] && [[ " $supported " != *" $want "* ]]; then
    echo "find-python: CPython $want is not supported (supported: $supported)" >&2; exit 1
fi
if [ -n "${PYTHON:-}" ]; then
    got=$(version_of "$PYTHON")
    if [ -z "$got" ] || [[ " $supported " != *" $got "* ]] || { [ -n "$want" ] && [ "$got" != "$want" ]; }; then
        echo "PYTHON=$PYTHON is not CPython ${want:-${supported// / or }}" >&2; exit 1
    fi
    command -v "$PYTHON"; exit 0
fi
want=${want:-3.12}
if [ "$(version_of "python$want")" = "$want" ]; then command -v "python$want"; exit 0; fi
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    for v in $(pyenv versions --bare | grep -E "^${want//./\\.}(\\.[0-9]+)?\$" | sort -t. -k3,3nr); do
        py="$root/versions/$v/bin/python$want"
        if [ "$(version_of "$py")" = "$want" ]; then echo "$py"; exit 0; fi
    done
fi
echo "no CPython $want found: set PYTHON to one" >&2
exit 1
