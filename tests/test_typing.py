import pathlib
import subprocess
import sys

import pytest

from typing_example import round_trip


def test_example_runs():
    assert round_trip(5) == 5


def test_stubtest_accepts_the_stubs():
    # mypy's own comparison of tl.pyi with the module's classes, methods and their signatures
    pytest.importorskip("mypy")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "Virel.tl"],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_strict_accepts_the_examples():
    pytest.importorskip("mypy")
    here = pathlib.Path(__file__).resolve().parent
    examples = [here / "typing_example.py", *sorted((here.parent / "examples").glob("*.py"))]
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, examples)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
