#!/usr/bin/env bash
# tools/memcheck.sh: valgrind memcheck over the leak-check workload (every success and failure
# path of compile, parser creation, pack and unpack, plus the real layer compiled repeatedly).
# Prints valgrind's summary; "definitely lost" must show nothing from the module's own code.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${VENV:-.venv}/bin/python
PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=30 --log-file=/tmp/virel-memcheck.log "$py" - <<'PY'
import sys, pathlib
sys.path.insert(0, "tests")
import test_leaks
from _data import find
from conftest import SCHEMA_TEXT
from Virel.tl import TLParser
text = find("api.json").read_text()
parser = TLParser(SCHEMA_TEXT)
for _ in range(3):
    TLParser(text)
for _ in range(20):
    test_leaks.workload(parser)
print("compiled", text[:20], len(text), "bytes of schema three times; ran the workload 20 times")
PY
grep -E "definitely lost|indirectly lost|ERROR SUMMARY" /tmp/virel-memcheck.log
if grep -q "virel::" /tmp/virel-memcheck.log; then
    echo "frames of the module appear in the log: see /tmp/virel-memcheck.log"
fi
