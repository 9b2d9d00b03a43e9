"""The benchmark's check mode checks and times nothing; a full run flags ratios it cannot vouch for."""

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


def test_quick_check_mode_agrees_and_times_nothing(capsys):
    pytest.importorskip("Virel.tl")
    runner = load_runner()
    status = runner.main(["--quick"])
    out = capsys.readouterr().out
    assert status == 0, out
    assert "check: all contenders agree" in out and "nothing was timed" in out
    assert "median/op" not in out and "ours/theirs" not in out


@pytest.mark.parametrize("ours, theirs, unsteady", [
    ([10] * 7, [20] * 7, False),
    ([10, 10, 15, 7, 13, 10, 6], [10] * 7, True),  # per-round ratios from 0.6 to 1.5
    ([10] * 3, [20] * 3, True),  # too few rounds to tell
])
def test_ratios_whose_rounds_disagree_are_flagged(ours, theirs, unsteady):
    runner = load_runner()
    cases = [runner.Case("W1 tiny", "pack", name, None, (), samples=samples)
             for name, samples in (("ours", ours), ("pickle5", theirs))]
    (ratio,) = runner.ratios(cases)
    assert ratio.unsteady is unsteady


def test_floor_writes_our_bytes_and_makes_our_values():
    tl = pytest.importorskip("Virel.tl")
    runner = load_runner()
    w = runner.workloads.build()
    base = runner.TLBaseline(w.schema_text)
    floor, reason = runner.load_floor(base)
    if floor is None:
        pytest.skip(f"the floor extension cannot be built here: {reason}")
    assert runner.check_floor(w, tl.TLParser(w.schema_text), base, floor) == []
