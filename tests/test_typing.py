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
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "Virel.tl"], capture_output=True, text=True, timeout=300
    )
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_strict_accepts_the_examples():
    pytest.importorskip("mypy")
    here = pathlib.Path(__file__).resolve().parent
    examples = [here / "typing_example.py", *sorted((here.parent / "examples").glob("*.py"))]
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, examples)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr


# Literals a user writes for the bundled layer: one right, then the three first mistakes.
SEND_LITERALS = """\
from tl_types import messages_sendMessage
from Virel.tl import TLParser
ok: messages_sendMessage = {"_": "messages.sendMessage", "peer": {"_": "inputPeerUser", "user_id": 1, "access_hash": 2},
                            "message": "hi", "random_id": 7, "silent": True, "reply_to": None}
misspelled: messages_sendMessage = {"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "mesage": "hi", "random_id": 7}
str_for_int: messages_sendMessage = {"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": "7"}
wrong_type: messages_sendMessage = {"_": "messages.sendMessage", "peer": {"_": "userEmpty", "id": 1}, "message": "hi", "random_id": 7}
TLParser("{}").pack(ok)
"""


def test_mypy_strict_checks_dict_literals_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    from Virel.cli import main

    assert main(["stubs", "-o", str(tmp_path / "tl_types.pyi")]) == 0
    (tmp_path / "send.py").write_text(SEND_LITERALS)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "send.py", "tl_types.pyi"],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=tmp_path,
    )
    errors: dict[int, str] = {}
    for line in out.stdout.splitlines():
        if line.startswith("send.py:"):
            number = int(line.split(":")[1])
            errors[number] = errors.get(number, "") + line
        else:
            assert line.startswith("Found "), out.stdout  # nothing in the stubs themselves
    assert sorted(errors) == [5, 6, 7], out.stdout  # the correct literal (lines 3-4) passes, and pack takes it
    assert 'Extra key "mesage"' in errors[5]
    assert '"str", TypedDict item "random_id" has type "int"' in errors[6]
    assert 'TypedDict item "peer" has type "InputPeer"' in errors[7]
