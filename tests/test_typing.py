import pathlib
import subprocess
import sys

import pytest

import Virel
from typing_example import round_trip


def test_example_runs():
    assert round_trip(5) == 5


def test_stubs_match_the_classes():
    import inspect
    from Virel import tl
    stub = (pathlib.Path(Virel.__file__).parent / "tl.pyi").read_text()
    for cls in (tl.TLParser, tl.TLSchemaCompiler):
        for name, _ in inspect.getmembers(cls, callable):
            if not name.startswith("_") or name in ("__reduce__", "__setstate__"):
                assert f"def {name}(" in stub, name


def test_mypy_strict_accepts_the_example():
    pytest.importorskip("mypy")
    example = pathlib.Path(__file__).with_name("typing_example.py")
    guide = pathlib.Path(__file__).parent.parent / "examples" / "client_guide.py"
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(example), str(guide)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
