"""Builds the test-only extension tlsub (tlsub.cpp beside this file) for the running interpreter
and imports it: the CMake target tlsub, built by tests/_cmake.py against the tl.hpp that the
installed Virel ships (the source tree's when the installed package has none), with the sanitizers
when VIREL_SANITIZED is set (the sanitizer run). Never part of the wheel: nothing under tests/ is.
"""

import pathlib
import sys

TESTS = str(pathlib.Path(__file__).resolve().parent.parent)
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
import _cmake  # noqa: E402


def load():
    """The tlsub module, built first when needed."""
    try:
        return _cmake.load("tlsub")
    except _cmake.BuildError as e:
        raise RuntimeError(f"building tlsub failed: {e}") from None
