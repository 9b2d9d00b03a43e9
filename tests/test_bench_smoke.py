"""The benchmark's check mode runs and finds every contender in agreement."""

import importlib.util
import sys
from pathlib import Path

import pytest

BENCH_RUN = Path(__file__).resolve().parent.parent / "bench" / "run.py"


def load_runner():
    module_spec = importlib.util.spec_from_file_location("virel_bench_run", BENCH_RUN)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module
    module_spec.loader.exec_module(module)
    return module


def test_quick_check_mode_agrees(capsys):
    pytest.importorskip("Virel.tl")
    runner = load_runner()
    status = runner.main(["--quick", "--rounds", "2", "--batch-ms", "1"])
    out = capsys.readouterr().out
    assert status == 0, out
    assert "check: all contenders agree" in out
