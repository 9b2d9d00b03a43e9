"""The benchmark's check mode checks and times nothing; a full run flags ratios it cannot vouch for."""

import importlib.util
import json
import random
import sys
from collections import defaultdict
from pathlib import Path

import pytest

import Virel.tl as tl
from support import framed_body, same

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


@pytest.mark.parametrize(
    "ours, theirs, unsteady",
    [
        ([10] * 7, [20] * 7, False),
        ([10, 10, 15, 7, 13, 10, 6], [10] * 7, True),  # per-round ratios from 0.6 to 1.5
        ([10] * 3, [20] * 3, True),  # too few rounds to tell
    ],
)
def test_ratios_whose_rounds_disagree_are_flagged(ours, theirs, unsteady):
    runner = load_runner()
    cases = [
        runner.Case("W1 tiny", "pack", name, None, (), samples=samples)
        for name, samples in (("ours", ours), ("pickle5", theirs))
    ]
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


class RecordValues:
    """Values for the records of a schema, drawn from a seeded generator by the rules the compiler
    reports (TLSchemaCompiler.entries), every optional part present or absent by chance."""

    def __init__(self, schema, seed):
        compiler = tl.TLSchemaCompiler()
        compiler.compile(schema)
        entries = compiler.entries()
        by_id, by_name = {e.id: e for e in entries}, {e.name: e for e in entries}
        # The yardstick codec reads the kinds of the benchmarks' workloads: records with int128,
        # int256 or bare types (the key exchange, the service messages) are test_kinds' to check.
        # A framed body's length is checked against the body: test_service's to check.
        wide = {
            e.name
            for e in entries
            if framed_body(e) or any(k.kind > tl.TL_OBJECT for p in e.params for k in ((p,) + p.element))
        }
        self.records = [
            e
            for e in entries
            if by_id[e.id] is e
            and by_name[e.name] is e  # what both reach
            and e.name not in wide
        ]
        self.by_type = defaultdict(list)
        for e in entries[: len(schema["constructors"])]:
            if by_name[e.name] is e and e.name not in wide:
                self.by_type[e.result_type].append(e)
        plain = (tl.TL_OBJECT, tl.TL_VECTOR)
        self.leaves = [e for e in self.records if all(p.kind not in plain for p in e.params)]
        self.random = random.Random(seed)

    def value(self, kind, text, element, depth):
        r = self.random
        if kind == tl.TL_INT:
            return r.choice([0, 2**31, 2**32 - 1, r.getrandbits(32)])
        if kind == tl.TL_LONG:
            return r.choice([0, 2**63, 2**64 - 1, r.getrandbits(64)])
        if kind == tl.TL_DOUBLE:
            return r.choice([0.0, -1.5, 1e300, r.random()])
        if kind == tl.TL_STRING:
            return "é" * r.choice([0, 1, 126, 127]) + "x" * r.choice([0, 1, 2, 3])  # 253 and 254 bytes among them
        if kind == tl.TL_BYTES:
            return r.randbytes(r.choice([0, 1, 3, 253, 254, 300]))
        if kind == tl.TL_BOOL:
            return r.random() < 0.5
        if kind == tl.TL_VECTOR:
            level, deeper = element[0], element[1:]
            if level.kind == tl.TL_VECTOR and not deeper:  # vectors to any depth
                return []
            return [
                self.value(level.kind, level.type_name, deeper, depth + 1)
                for _ in range(r.choice([0, 1, 2]) if depth < 3 else 0)
            ]
        of_type = self.by_type.get(text.rpartition("?")[2].lstrip("!"), [])
        if depth >= 3 or not of_type:
            of_type = [e for e in of_type if e in self.leaves] or self.leaves
        return self.obj(r.choice(of_type), depth + 1)

    def obj(self, e, depth=0):
        present = {}
        d = {"_": e.name}
        for p in e.params:
            if p.flags_word:
                continue
            if p.is_conditional:
                group = (p.flag_field, p.flag_bit & 31)
                if not present.setdefault(group, self.random.random() < 0.5):
                    d[p.name] = False if p.kind == tl.TL_BOOL else None
                    continue
                if p.kind == tl.TL_BOOL:
                    d[p.name] = True
                    continue
            d[p.name] = self.value(p.kind, p.type_name, p.element, depth)
        return d


@pytest.mark.parametrize("layer", ["api", "mtproto"])
def test_pure_python_codec_agrees_with_the_module_on_every_record(layer):
    # The benchmark's pure-Python codec reads the schema by its own code: the same bytes and
    # values as the module for values of every record of the real layers keep it an honest yardstick.
    from Virel import schemas

    schema = getattr(schemas, layer)()
    ours, theirs = tl.TLParser(schema), load_runner().TLBaseline(json.dumps(schema))
    for seed in range(2):
        values = RecordValues(schema, seed)
        for e in values.records:
            d = values.obj(e)
            wire = ours.pack(d)
            assert theirs.pack(d) == wire, e.name
            assert same(theirs.unpack(wire), ours.unpack(wire)), e.name


@pytest.mark.parametrize(
    "type_text, value, wire",
    [
        ("?long", 5, "01000000 0500000000000000"),  # no word named: bit 0 of flags
        ("x.33?int", 5, "02000000 05000000"),  # any word but flags2 is flags; bit 33 is bit 1
    ],
)
def test_pure_python_codec_reads_conditions_as_the_module_does(type_text, value, wire):
    schema = json.dumps(
        {
            "constructors": [
                {
                    "id": 1,
                    "predicate": "e",
                    "type": "E",
                    "params": [{"name": "flags", "type": "#"}, {"name": "v", "type": type_text}],
                }
            ]
        }
    )
    d = {"_": "e", "v": value}
    expected = bytes.fromhex("01000000" + wire)
    for codec in (tl.TLParser(schema), load_runner().TLBaseline(schema)):
        assert codec.pack(d) == expected and codec.unpack(expected) == d


def test_pure_python_codec_reads_entries_as_the_module_does():
    # Names by the first of predicate, method and type, up to a NUL; no id is 0, no params none.
    schema = json.dumps(
        {
            "constructors": [{"type": "OnlyType"}, {"id": 2, "predicate": "a\0b"}],
            "methods": [{"id": 3, "type": "T", "params": [{"name": "flags", "type": "#"}]}],
        }
    )
    for codec in (tl.TLParser(schema), load_runner().TLBaseline(schema)):
        assert codec.pack({"_": "OnlyType"}) == bytes(4) and codec.unpack(bytes(4)) == {"_": "OnlyType"}
        assert codec.unpack(b"\2\0\0\0") == {"_": "a"} and codec.pack({"_": "T", "flags": 5}) == bytes.fromhex(
            "0300000000000000"
        )
