"""Deep data on threads with small stacks: RecursionError, never a crash. Each case runs in a child
interpreter, so that a blown stack fails the test instead of ending the run."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT

CHILD = r"""
import sys, threading
from Virel.tl import TLParser
op, kib, depth = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
p = TLParser({"constructors": [{"id": 1, "predicate": "node", "type": "Node", "params": [
    {"name": "flags", "type": "#"}, {"name": "child", "type": "flags.0?Node"}]}]})
value = {"_": "node"}
for _ in range(depth):
    value = {"_": "node", "child": value}
data = b"\x01\0\0\0\x01\0\0\0" * depth + b"\x01\0\0\0\0\0\0\0"
calls = {"pack": lambda: p.pack(value), "unpack": lambda: p.unpack(data),
         "unpack_from": lambda: p.unpack_from(data), "pack_as": lambda: p.pack_as(value, "Node")}
outcome = []
def run():
    try:
        calls[op]()
        outcome.append("returned")
    except RecursionError:
        outcome.append("RecursionError")
threading.stack_size(kib * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(outcome[0])
"""


@pytest.mark.parametrize("op", ["pack", "unpack", "unpack_from", "pack_as"])
@pytest.mark.parametrize("kib", [256, 512])
def test_deep_data_on_a_small_thread_stack_raises_recursion_error(op, kib):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, op, str(kib), "100000"],
        capture_output=True,
        text=True,
        cwd=ROOT,
        env=dict(os.environ),
        timeout=120,
    )
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-2000:]}"
    assert done.stdout.split() == ["RecursionError"]
