"""Benchmark of Virel.tl against other ways of turning the same Python objects into bytes and back.

    python bench/run.py [--quick] [--json FILE] [--plot FILE.png] [--instructions]

The run has three phases, all in one process:

1. Check.  Every contender must round-trip every workload (``decode(encode(x))`` equal to ``x``,
   types and dict key order included); our TL bytes must equal the pure-Python baseline's bytes,
   and our decoded dicts must equal the baseline's.  The error workload must raise the expected
   exceptions.  Any disagreement is printed and the run exits with status 1 before any timing.
2. Timing.  For each workload, every (direction, contender) case first gets a fixed iteration
   count (enough for one batch to take about ``--batch-ms``), then the cases run in round-robin
   rounds: each round runs every case once, one batch each, in an order rotated from round to
   round.  A batch gives one ns-per-operation sample.  The printed ns/op is the median over the
   rounds; the ratio ours/theirs is the median over the rounds of the per-round ratio, so each
   ratio compares two batches that ran moments apart.
3. Instructions (``--instructions``).  Each of our pack/unpack per workload runs under
   ``valgrind --tool=callgrind`` in a child process; see ``callgrind_child.py``.

Times are never a reason to fail: only disagreements are.  ``--quick`` is the check mode: the
check, then every timed case called once (so that each still runs), and no timing at all, since
figures from a few milliseconds would be noise.  A full run flags a ratio whose rounds disagree
too much (interquartile range above ``UNSTEADY`` of the median, or fewer than ``MIN_ROUNDS``
rounds): rerun it on a quieter machine before quoting it.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import marshal
import os
import pickle
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Callable
from typing import Any

BENCH_DIR = Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import workloads  # noqa: E402
from baseline import TLBaseline  # noqa: E402

try:
    import msgpack
except ImportError:  # the runner still works; the msgpack contender is left out
    msgpack = None
MSGPACK_VERSION = ".".join(map(str, msgpack.version)) if msgpack else None

W1, W2, W3, W4, W5, W6, W7, W8 = (
    "W1 tiny",
    "W2 message",
    "W3 history",
    "W4 ids",
    "W5 blob",
    "W6 schema",
    "W7 errors",
    "W8 service",
)
WORKLOADS = [W1, W2, W3, W4, W5, W6, W7, W8]
OURS = "ours"

# What each contender is, for the printed legend and the README.
CONTENDERS = {
    "ours": "Virel.tl TLParser.pack / unpack (constructor for W6)",
    "baseline": "pure-Python TL codec, bench/baseline.py (constructor for W6)",
    "marshal": "marshal.dumps / loads of the same objects",
    "pickle5": "pickle.dumps(protocol=5) / loads of the same objects",
    "msgpack": "msgpack.packb / unpackb of the same objects",
    "struct": "struct.pack('<10000Q', *ids) / struct.unpack of the ids alone (W4)",
    "copy": "one copy of the payload: bytearray(payload) / a slice of the wire bytes (W5)",
    "json": "json.loads of the schema text (W6)",
    "floor": "least work: read every value and write the bytes / create the result objects "
    "from a ready plan (bench/floor, W1-W4)",
    "from": "Virel.tl TLParser.unpack_from of the same bytes, read in place (W2, W3, W5); "
    "ours/from above 1: unpack_from is faster than unpack",
    "strict": "Virel.tl TLParser(schema, strict=True).pack of the same values (W1-W3)",
    "signed": "Virel.tl TLParser(schema, signed=True).unpack of the same bytes (W1-W3)",
    "bodies": "Virel.tl pack / unpack of the container's 20 bodies one by one (W8); the floor of "
    "the container, whose own cost is a few fields per message",
    "zlib": "zlib.decompress of the gzip data, then unpack of the history it holds (W8 inflate, "
    "against unpack with inflate=True)",
}
# Contenders that --instructions counts beside ours: the references of W8.
REFERENCES = ("bodies", "zlib")
# Our other modes: their cases sit beside ours, and --instructions compares them with ours.
MODES = {"strict": ("pack", {"strict": True}), "signed": ("unpack", {"signed": True})}
FLOOR = "floor"


# ----------------------------------------------------------------------------------------- cases


@dataclass
class Case:
    """One thing to time: `fn(*args)` is one operation."""

    workload: str
    direction: str  # "pack", "unpack" or "build"
    contender: str
    fn: Callable[..., Any]
    args: tuple
    size: int | None = None  # bytes produced, for pack cases
    iterations: int = 0
    samples: list[float] = field(default_factory=list)  # ns per operation, one per round

    @property
    def key(self) -> tuple[str, str, str]:
        return (self.workload, self.direction, self.contender)

    def median(self) -> float:
        return statistics.median(self.samples)


def expecting(fn: Callable[..., Any], error: type[BaseException]) -> Callable[..., None]:
    """`fn` wrapped so that raising `error` is the normal outcome and returning is a failure."""

    def call(*args):
        try:
            fn(*args)
        except error:
            return
        raise AssertionError(f"{fn!r} did not raise {error.__name__}")

    return call


def general_serializers() -> dict[str, tuple[Callable, tuple, Callable]]:
    """Serializers of arbitrary Python objects: name -> (dumps, extra dumps args, loads)."""
    found = {
        "marshal": (marshal.dumps, (), marshal.loads),
        "pickle5": (pickle.dumps, (5,), pickle.loads),
    }
    if msgpack is not None:
        found["msgpack"] = (msgpack.packb, (), msgpack.unpackb)
    return found


def make_cases(
    w: workloads.Workloads,
    ours: Any,
    base: TLBaseline,
    include: set[str] | None = None,
    floor: Any = None,
    only: str | None = None,
) -> list[Case]:
    """Every case of every workload; `ours` is a TLParser or None; `include` limits contenders;
    `floor` is a floor.Floor or None; `only` names the one workload wanted, when only one is (W8
    builds a parser of its own)."""

    def wanted(name: str) -> bool:
        return include is None or name in include

    tl_codecs = {
        name: codec for name, codec in ((OURS, ours), ("baseline", base)) if codec is not None and wanted(name)
    }
    general = {name: funcs for name, funcs in general_serializers().items() if wanted(name)}
    cases: list[Case] = []

    def add(*case_args, **case_kwargs) -> None:
        cases.append(Case(*case_args, **case_kwargs))

    def codec_cases(workload: str, value: dict) -> None:
        for name, codec in tl_codecs.items():
            data = codec.pack(value)
            add(workload, "pack", name, codec.pack, (value,), size=len(data))
            add(workload, "unpack", name, codec.unpack, (data,))
        if ours is not None and wanted("from") and workload in (W2, W3, W5):
            add(workload, "unpack", "from", ours.unpack_from, (ours.pack(value),))
        for name, (dumps, extra, loads) in general.items():
            data = dumps(value, *extra)
            add(workload, "pack", name, dumps, (value, *extra), size=len(data))
            add(workload, "unpack", name, loads, (data,))

    codec_cases(W1, w.tiny)
    codec_cases(W2, w.message)
    codec_cases(W3, w.history)
    for mode, (direction, options) in MODES.items():
        if ours is None or not wanted(mode):
            continue
        moded = type(ours)(w.schema_text, **options)
        for workload, value in ((W1, w.tiny), (W2, w.message), (W3, w.history)):
            data = moded.pack(value)
            if direction == "pack":
                add(workload, "pack", mode, moded.pack, (value,), size=len(data))
            else:
                add(workload, "unpack", mode, moded.unpack, (data,))

    codec_cases(W4, w.ids)
    if wanted("struct"):
        ids = w.ids[w.ids_key]
        fmt = f"<{len(ids)}Q"
        packed_ids = struct.pack(fmt, *ids)
        add(W4, "pack", "struct", struct.pack, (fmt, *ids), size=len(packed_ids))
        add(W4, "unpack", "struct", struct.unpack, (fmt, packed_ids))

    codec_cases(W5, w.blob)
    if wanted("copy"):
        payload = w.blob[w.blob_key]
        wire = base.pack(w.blob)
        start = wire.index(payload[:64])  # where the payload sits inside the TL bytes
        add(W5, "pack", "copy", bytearray, (payload,), size=len(payload))
        add(W5, "unpack", "copy", wire.__getitem__, (slice(start, start + len(payload)),))

    for name, codec in tl_codecs.items():
        add(W6, "build", name, type(codec), (w.schema_text,))
    if wanted("json"):
        add(W6, "build", "json", json.loads, (w.schema_text,))

    for name, codec in tl_codecs.items():
        add(W7, "pack", name, expecting(codec.pack, ValueError), (w.unknown,))
        cut = workloads.truncated(codec.pack(w.message))
        add(W7, "unpack", name, expecting(codec.unpack, RuntimeError), (cut,))
    for name, (dumps, extra, loads) in general.items():
        cut = workloads.truncated(dumps(w.message, *extra))
        add(W7, "unpack", name, expecting(loads, Exception), (cut,))
    if floor is not None and wanted(FLOOR):
        cases.extend(floor_cases(w, floor))
    if ours is not None and only in (None, W8):
        cases.extend(service_cases(workloads.service(w, type(ours)), type(ours), wanted))
    # Group by workload, then direction; contenders keep the order they were added in.
    directions = ["build", "pack", "unpack", "inflate"]
    cases.sort(key=lambda c: (WORKLOADS.index(c.workload), directions.index(c.direction)))
    return cases


def service_cases(s: workloads.Service, parser_class: Any, wanted: Callable[[str], bool]) -> list[Case]:
    """W8: a container packed and unpacked in one call against its bodies one by one, and a
    gzip-packed rpc_result unpacked with inflate=True against zlib.decompress and unpack."""
    parser = parser_class(s.schema)
    inflating = parser_class(s.schema, inflate=True)
    cases = []
    if wanted(OURS):
        data = parser.pack(s.container)
        cases.append(Case(W8, "pack", OURS, parser.pack, (s.container,), size=len(data)))
        cases.append(Case(W8, "unpack", OURS, parser.unpack, (data,)))
        cases.append(Case(W8, "inflate", OURS, inflating.unpack, (s.result,)))
    if wanted("bodies"):
        pack, unpack = parser.pack, parser.unpack
        cases.append(
            Case(
                W8,
                "pack",
                "bodies",
                lambda bodies: [pack(b) for b in bodies],
                (s.bodies,),
                size=sum(map(len, s.body_bytes)),
            )
        )
        cases.append(Case(W8, "unpack", "bodies", lambda blobs: [unpack(b) for b in blobs], (s.body_bytes,)))
    if wanted("zlib"):
        unpack = parser.unpack
        cases.append(Case(W8, "inflate", "zlib", lambda packed: unpack(zlib.decompress(packed, 31)), (s.packed,)))
    return cases


def check_service(w: workloads.Workloads, parser_class: Any) -> list[str]:
    """W8: the container and the inflated result decode to what was packed."""
    s = workloads.service(w, parser_class)
    parser = parser_class(s.schema)
    problems = []
    found = difference(parser.unpack(parser.pack(s.container)), s.container)
    if found:
        problems.append(f"{W8} container round trip: {found}")
    found = difference(parser_class(s.schema, inflate=True).unpack(s.result)["result"], s.history)
    if found:
        problems.append(f"{W8} inflated result: {found}")
    return problems


def floor_values(w: workloads.Workloads) -> dict[str, dict]:
    return {W1: w.tiny, W2: w.message, W3: w.history, W4: w.ids}


def floor_cases(w: workloads.Workloads, floor: Any) -> list[Case]:
    """The floor's pack and unpack of W1-W4; their plans are made here, outside the timing."""
    cases = []
    for workload, value in floor_values(w).items():
        plan = floor.pack_plan(value)
        size = len(floor.pack(value, plan))
        cases.append(Case(workload, "pack", FLOOR, floor.module.pack, (value, plan), size=size))
        cases.append(Case(workload, "unpack", FLOOR, floor.module.unpack, (floor.unpack_plan(value),)))
    return cases


def load_floor(base: TLBaseline, built: str | None = None) -> tuple[Any, str | None]:
    """A floor.Floor for the schema, or None and why the extension is not available.  `built`:
    the extension's file, built already (see floor.load)."""
    import floor

    module, reason = floor.load(built)
    return (floor.Floor(module, base), None) if module is not None else (None, reason)


# ------------------------------------------------------------------------------------- checking


def difference(a: Any, b: Any, path: str = "$") -> str | None:
    """Where `a` and `b` differ in value, type or dict key order; None when they are the same."""
    if type(a) is not type(b):
        return f"{path}: {type(a).__name__} {a!r:.60} vs {type(b).__name__} {b!r:.60}"
    if isinstance(a, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)} vs {list(b)}"
        for key in a:
            found = difference(a[key], b[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return f"{path}: length {len(a)} vs {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            found = difference(x, y, f"{path}[{i}]")
            if found:
                return found
        return None
    if a == b:
        return None
    if isinstance(a, (bytes, str)) and max(len(a), len(b)) > 40:
        i = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        return (
            f"{path}: lengths {len(a)} vs {len(b)}, first difference at index {i}: {a[i : i + 8]!r} vs {b[i : i + 8]!r}"
        )
    return f"{path}: {a!r:.60} vs {b!r:.60}"


def first_byte_difference(a: bytes, b: bytes) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"first difference at byte {i}: {x:#04x} vs {y:#04x} (lengths {len(a)}, {len(b)})"
    return f"lengths {len(a)} vs {len(b)}"


def raised(fn: Callable[..., Any], *args) -> BaseException | None:
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - the check reports whatever came out
        return exc
    return None


def check(w: workloads.Workloads, ours: Any, base: TLBaseline) -> list[str]:
    """Every disagreement between contenders, as readable lines (empty when all agree)."""
    problems: list[str] = []

    def expect_same(what: str, a: Any, b: Any) -> None:
        found = difference(a, b)
        if found:
            problems.append(f"{what}: {found}")

    def guarded(what: str, fn: Callable[..., Any], *args) -> Any:
        try:
            return fn(*args)
        except Exception as exc:  # noqa: BLE001
            problems.append(f"{what}: raised {type(exc).__name__}: {exc}")
            return None

    values = {W1: w.tiny, W2: w.message, W3: w.history, W4: w.ids, W5: w.blob}
    for workload, value in values.items():
        base_bytes = base.pack(value)
        expect_same(f"{workload} baseline round trip", base.unpack(base_bytes), value)
        if ours is not None:
            our_bytes = guarded(f"{workload} ours pack", ours.pack, value)
            if our_bytes is not None:
                if our_bytes != base_bytes:
                    problems.append(
                        f"{workload} ours pack != baseline pack: {first_byte_difference(our_bytes, base_bytes)}"
                    )
                decoded = guarded(f"{workload} ours unpack", ours.unpack, our_bytes)
                if decoded is not None:
                    expect_same(f"{workload} ours round trip", decoded, value)
                    expect_same(
                        f"{workload} ours unpack_from vs unpack",
                        guarded(f"{workload} ours unpack_from", ours.unpack_from, our_bytes),
                        (decoded, len(our_bytes)),
                    )
            decoded = guarded(f"{workload} ours unpack of baseline bytes", ours.unpack, base_bytes)
            if decoded is not None:
                expect_same(f"{workload} ours unpack vs baseline unpack", decoded, base.unpack(base_bytes))
        for name, (dumps, extra, loads) in general_serializers().items():
            expect_same(f"{workload} {name} round trip", loads(dumps(value, *extra)), value)

    ids = w.ids[w.ids_key]
    fmt = f"<{len(ids)}Q"
    expect_same(f"{W4} struct round trip", list(struct.unpack(fmt, struct.pack(fmt, *ids))), ids)
    payload = w.blob[w.blob_key]
    if bytes(bytearray(payload)) != payload:
        problems.append(f"{W5} copy differs from the payload")

    schema_data = json.loads(w.schema_text)
    if not schema_data.get("constructors"):
        problems.append(f"{W6} json: schema has no constructors")
    rebuilt = TLBaseline(w.schema_text)
    if rebuilt.pack(w.message) != base.pack(w.message):
        problems.append(f"{W6} a second baseline packs differently")
    if ours is not None:
        parser = guarded(f"{W6} ours build", type(ours), w.schema_text)
        if parser is not None:
            packed = guarded(f"{W6} freshly built ours pack", parser.pack, w.message)
            if packed is not None and packed != base.pack(w.message):
                problems.append(f"{W6} freshly built ours packs differently from the baseline")

    tl_codecs = {"baseline": base} if ours is None else {OURS: ours, "baseline": base}
    for name, codec in tl_codecs.items():
        # Ours raises the kind's class of the built-in one (EncodeValueError, TruncatedRuntimeError).
        exc = raised(codec.pack, w.unknown)
        if not isinstance(exc, ValueError):
            problems.append(f"{W7} {name} pack of unknown constructor: expected ValueError, got {exc!r}")
        exc = raised(codec.unpack, workloads.truncated(base.pack(w.message)))
        if not isinstance(exc, RuntimeError):
            problems.append(f"{W7} {name} unpack of truncated bytes: expected RuntimeError, got {exc!r}")
    for name, (dumps, extra, loads) in general_serializers().items():
        if raised(loads, workloads.truncated(dumps(w.message, *extra))) is None:
            problems.append(f"{W7} {name} loads of truncated data did not raise")
    return problems


def check_floor(w: workloads.Workloads, ours: Any, base: TLBaseline, floor: Any) -> list[str]:
    """The floor must write exactly our bytes and create a value equal to our decoded value."""
    codec = ours if ours is not None else base
    problems = []
    values = floor_values(w)
    for case in floor_cases(w, floor):
        what = f"{case.workload} floor {case.direction}"
        try:
            made = case.fn(*case.args)
        except Exception as exc:  # noqa: BLE001 - the check reports whatever came out
            problems.append(f"{what}: raised {type(exc).__name__}: {exc}")
            continue
        expected = codec.pack(values[case.workload])
        if case.direction == "pack":
            if made != expected:
                problems.append(f"{what} != pack: {first_byte_difference(made, expected)}")
        else:
            found = difference(made, codec.unpack(expected))
            if found:
                problems.append(f"{what} != unpack: {found}")
    return problems


def heap_of_unpack(unpack: Callable[..., Any], *args) -> int:
    """Bytes of Python heap that the value returned by `unpack(*args)` holds (tracemalloc)."""
    unpack(*args)  # first-call work (caches, prototypes) stays out of the figure
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        value = unpack(*args)
        held = tracemalloc.get_traced_memory()[0] - before
        del value
    finally:
        tracemalloc.stop()
    return held


def memory_rows(w: workloads.Workloads, ours: Any, floor: Any) -> list[dict]:
    """Heap held by the decoded W2 and W3 values per byte of TL input, for ours and the floor."""
    rows = []
    for workload, value in ((W2, w.message), (W3, w.history)):
        data = ours.pack(value)
        heaps = {OURS: heap_of_unpack(ours.unpack, data)}
        if floor is not None:
            heaps[FLOOR] = heap_of_unpack(floor.module.unpack, floor.unpack_plan(value))
        for contender, heap in heaps.items():
            rows.append(
                {
                    "workload": workload,
                    "contender": contender,
                    "input_bytes": len(data),
                    "heap_bytes": heap,
                    "heap_per_input_byte": heap / len(data),
                }
            )
    return rows


# --------------------------------------------------------------------------------------- timing


def run_batch(case: Case, iterations: int) -> int:
    """Nanoseconds taken by `iterations` operations of `case`."""
    fn, args = case.fn, case.args
    loop = itertools.repeat(None, iterations)
    start = time.perf_counter_ns()
    for _ in loop:
        fn(*args)
    return time.perf_counter_ns() - start


def calibrate(case: Case, batch_ns: int) -> None:
    """Set case.iterations so that one batch takes about `batch_ns`."""
    run_batch(case, 1)  # warm-up: first-call costs stay out of the figures
    count = 1
    while True:
        elapsed = run_batch(case, count)
        if elapsed >= batch_ns / 10 or count >= 1 << 24:
            break
        count *= 4
    case.iterations = max(1, round(batch_ns * count / max(elapsed, 1)))


def measure(cases: list[Case], rounds: int, batch_ns: int) -> None:
    """Fill case.samples: `rounds` round-robin rounds over `cases`, one batch per case a round."""
    gc_was_enabled = gc.isenabled()
    try:
        for case in cases:
            calibrate(case, batch_ns)
        # Like timeit, keep the cyclic collector out of the batches; collect between rounds.
        gc.disable()
        for r in range(rounds):
            gc.collect()
            shift = r % len(cases)
            for case in cases[shift:] + cases[:shift]:
                case.samples.append(run_batch(case, case.iterations) / case.iterations)
    finally:
        if gc_was_enabled:
            gc.enable()


# A ratio is flagged when its per-round values spread more than this around the median
# ((q3 - q1) / median), or rests on fewer rounds than MIN_ROUNDS.
UNSTEADY = 0.2
MIN_ROUNDS = 5


@dataclass
class Ratio:
    workload: str
    direction: str
    contender: str
    median: float
    q1: float
    q3: float
    rounds: int = 0

    @property
    def spread(self) -> float:
        return (self.q3 - self.q1) / self.median if self.median > 0 else float("inf")

    @property
    def unsteady(self) -> bool:
        return self.rounds < MIN_ROUNDS or self.spread > UNSTEADY


def ratios(cases: list[Case]) -> list[Ratio]:
    """ours/theirs per (workload, direction, contender), paired round by round."""
    ours = {(c.workload, c.direction): c for c in cases if c.contender == OURS}
    found = []
    for case in cases:
        mine = ours.get((case.workload, case.direction))
        if case.contender == OURS or mine is None:
            continue
        per_round = sorted(a / b for a, b in zip(mine.samples, case.samples))
        q1, _, q3 = statistics.quantiles(per_round, n=4) if len(per_round) > 1 else per_round * 3
        found.append(
            Ratio(case.workload, case.direction, case.contender, statistics.median(per_round), q1, q3, len(per_round))
        )
    return found


# --------------------------------------------------------------------------------- instructions

# Calls per child run; the figure is (Ir of 2N calls - Ir of N calls) / N.
INSTRUCTION_CALLS = {W1: 2000, W2: 500, W3: 10, W4: 10, W5: 20, W6: 2, W7: 500, W8: 20, "loop": 2000}
# The file of the floor extension this process loaded, handed to the children (callgrind_child.py).
FLOOR_MODULE_ENV = "VIREL_BENCH_FLOOR_MODULE"


def callgrind_total(workload: str, direction: str, contender: str, calls: int, out_dir: str) -> int:
    """Instructions counted by callgrind over a whole child run of one case."""
    out_file = os.path.join(out_dir, f"callgrind.{workload[:2]}.{direction}.{contender}.{calls}")
    # Without address-space randomisation the counts repeat exactly from run to run.
    no_aslr = ["setarch", platform.machine(), "-R"] if shutil.which("setarch") else []
    command = [
        *no_aslr,
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out_file}",
        "--dump-line=no",
        "--dump-instr=no",
        sys.executable,
        str(BENCH_DIR / "callgrind_child.py"),
        workload,
        direction,
        str(calls),
        contender,
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    # The children import the floor extension this process built and run no build of their own:
    # a build step's work varies from run to run (a configure, the build tool's output) and,
    # counted in one of the N and 2N runs only, would be divided into the per-call figure.
    floor_module = sys.modules.get("_virel_floor")
    if floor_module is not None:
        env[FLOOR_MODULE_ENV] = floor_module.__file__
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"callgrind run {workload} {direction} x{calls} failed:\n{done.stderr[-2000:]}")
    with open(out_file, encoding="utf-8") as results:
        for line in results:
            matched = re.match(r"^(?:summary|totals):\s+(\d+)", line)
            if matched:
                return int(matched.group(1))
    raise RuntimeError(f"no totals line in {out_file}")


def measure_instructions(cases: list[Case]) -> tuple[list[dict], float]:
    """Instructions per call of each of our cases, and of the bare timing loop.

    A case the floor also has gets the floor's figures beside ours and ours/floor (net of loop)."""
    targets = [("loop", "call", OURS)] + [
        (c.workload, c.direction, c.contender) for c in cases if c.contender in (OURS, FLOOR, *MODES, *REFERENCES)
    ]
    jobs = [(wl, d, who, n) for wl, d, who in targets for n in (INSTRUCTION_CALLS[wl], 2 * INSTRUCTION_CALLS[wl])]
    with (
        tempfile.TemporaryDirectory(prefix="virel-callgrind-") as out_dir,
        ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool,
    ):
        totals = dict(zip(jobs, pool.map(lambda job: callgrind_total(*job, out_dir), jobs)))
    per_call = {}
    for wl, d, who in targets:
        n = INSTRUCTION_CALLS[wl]
        per_call[(wl, d, who)] = (totals[(wl, d, who, 2 * n)] - totals[(wl, d, who, n)]) / n
    overhead = per_call.pop(("loop", "call", OURS))
    rows = []
    for (wl, d, who), v in per_call.items():
        if who != OURS:
            continue
        row = {
            "workload": wl,
            "direction": d,
            "calls": INSTRUCTION_CALLS[wl],
            "instructions_per_call": round(v),
            "net_of_loop": round(v - overhead),
        }
        floor_v = per_call.get((wl, d, FLOOR))
        if floor_v is not None:
            row.update(
                floor_instructions_per_call=round(floor_v),
                floor_net_of_loop=round(floor_v - overhead),
                ours_per_floor=(v - overhead) / (floor_v - overhead),
            )
        for mode in MODES:
            mode_v = per_call.get((wl, d, mode))
            if mode_v is not None:
                row.update(
                    {
                        f"{mode}_net_of_loop": round(mode_v - overhead),
                        f"{mode}_per_ours": (mode_v - overhead) / (v - overhead),
                    }
                )
        for reference in REFERENCES:
            ref_v = per_call.get((wl, d, reference))
            if ref_v is not None:
                row.update(
                    reference=reference,
                    reference_net_of_loop=round(ref_v - overhead),
                    ours_per_reference=(v - overhead) / (ref_v - overhead),
                )
        rows.append(row)
    return rows, overhead


# -------------------------------------------------------------------------------------- output


def format_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:,.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:,.2f} µs"
    return f"{ns:,.0f} ns"


def print_cases(cases: list[Case], found: list[Ratio]) -> None:
    by_key = {(r.workload, r.direction, r.contender): r for r in found}
    header = (
        f"{'workload':<11} {'dir':<6} {'contender':<9} {'iters':>7} {'median/op':>11} "
        f"{'ours/theirs':>11} {'(q1 - q3)':>15} {'bytes':>9}"
    )
    print(header)
    print("-" * len(header))
    previous = None
    for case in cases:
        group = (case.workload, case.direction)
        if previous is not None and group != previous:
            print()
        previous = group
        ratio = by_key.get(case.key)
        ratio_text = (
            f"{ratio.median:>11.3f} {f'({ratio.q1:.3f} - {ratio.q3:.3f})':>15}" if ratio else f"{'':>11} {'':>15}"
        )
        size = f"{case.size:>9,}" if case.size is not None else f"{'':>9}"
        flag = "  UNSTEADY" if ratio and ratio.unsteady else ""
        print(
            f"{case.workload:<11} {case.direction:<6} {case.contender:<9} {case.iterations:>7} "
            f"{format_ns(case.median()):>11} {ratio_text} {size}{flag}"
        )


def print_ratio_matrix(found: list[Ratio]) -> None:
    contenders = [c for c in CONTENDERS if any(r.contender == c for r in found)]
    rows: dict[tuple[str, str], dict[str, float]] = {}
    for r in found:
        rows.setdefault((r.workload, r.direction), {})[r.contender] = r.median
    print("ours/theirs, median of per-round ratios (below 1: ours is faster)")
    print(f"{'workload':<11} {'dir':<6} " + " ".join(f"{c:>9}" for c in contenders))
    unsteady = {(r.workload, r.direction, r.contender) for r in found if r.unsteady}
    for (workload, direction), values in rows.items():
        cells = " ".join(
            (f"{values[c]:>8.3f}" + ("*" if (workload, direction, c) in unsteady else " "))
            if c in values
            else f"{'-':>9}"
            for c in contenders
        )
        print(f"{workload:<11} {direction:<6} {cells}")


def print_unsteady(found: list[Ratio]) -> None:
    """A plain warning naming every ratio whose rounds disagree too much."""
    bad = [r for r in found if r.unsteady]
    if not bad:
        print(f"every ratio is steady: its rounds spread less than {UNSTEADY:.0%} around the median")
        return
    print(
        f"UNSTEADY: {len(bad)} of {len(found)} ratios (marked * above) rest on fewer than "
        f"{MIN_ROUNDS} rounds or on rounds that spread more than {UNSTEADY:.0%} around the "
        "median; do not quote them, rerun on a quieter machine:"
    )
    for r in bad:
        print(
            f"  {r.workload} {r.direction} vs {r.contender}: {r.median:.3f} "
            f"(q1 {r.q1:.3f}, q3 {r.q3:.3f}, spread {r.spread:.0%}, {r.rounds} rounds)"
        )


def print_memory(rows: list[dict]) -> None:
    print("heap held by one decoded value (tracemalloc) per byte of TL input")
    print(f"{'workload':<11} {'contender':<9} {'input':>9} {'heap':>11} {'heap/input':>10}")
    for row in rows:
        print(
            f"{row['workload']:<11} {row['contender']:<9} {row['input_bytes']:>9,} "
            f"{row['heap_bytes']:>11,} {row['heap_per_input_byte']:>10.1f}"
        )


def write_plot(path: str, found: list[Ratio]) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        print(
            f"--plot: matplotlib is not installed in this interpreter ({sys.executable}); "
            "install it (pip install matplotlib) to draw the chart. No plot written.",
            file=sys.stderr,
        )
        return False
    groups = list(dict.fromkeys((r.workload, r.direction) for r in found))
    contenders = [c for c in CONTENDERS if any(r.contender == c for r in found)]
    values = {(r.workload, r.direction, r.contender): r for r in found}
    # Each group's bars are centred on its tick; a contender keeps one colour throughout.
    present = {g: [c for c in contenders if (*g, c) in values] for g in groups}
    width = 0.8 / max(len(p) for p in present.values())
    fig, ax = plt.subplots(figsize=(max(8.0, 1.1 * len(groups)), 5))
    for contender in contenders:
        xs, heights, low, high = [], [], [], []
        for g, group in enumerate(groups):
            if contender not in present[group]:
                continue
            r = values[(*group, contender)]
            k = present[group].index(contender)
            xs.append(g + (k - (len(present[group]) - 1) / 2) * width)
            heights.append(r.median)
            low.append(r.median - r.q1)
            high.append(r.q3 - r.median)
        ax.bar(xs, heights, width, yerr=[low, high], capsize=2, label=contender)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    low_end, high_end = ax.get_ylim()
    ticks = [m * 10.0**e for e in range(-4, 5) for m in (1, 2, 5)]
    ax.set_yticks([t for t in ticks if low_end <= t <= high_end])
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
    ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels([f"{w}\n{d}" for w, d in groups], fontsize=8)
    ax.set_ylabel("time ours / time theirs (log)")
    ax.set_title("Virel.tl against other contenders: below 1 means Virel.tl is faster")
    ax.legend(fontsize=8, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------------------- main


def load_ours() -> tuple[Any, str | None]:
    """Our TLParser class, or None and the reason it could not be imported."""
    try:
        from Virel.tl import TLParser
    except ImportError as exc:
        return None, str(exc)
    return TLParser, None


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="check mode: the check, every case called once, no timing")
    parser.add_argument("--json", metavar="FILE", help="write every figure to FILE as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="bar chart of the ratios (matplotlib)")
    parser.add_argument(
        "--instructions", action="store_true", help="also count instructions per call of ours under callgrind"
    )
    parser.add_argument("--rounds", type=int, help="rounds (default 21)")
    parser.add_argument("--batch-ms", type=float, help="target batch time (default 25)")
    parser.add_argument("--workloads", metavar="W1,W3", help="time only these workloads (the check always covers all)")
    parser.add_argument(
        "--no-ours", action="store_true", help="run without Virel.tl (to look at the other contenders alone)"
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    rounds = args.rounds or 21
    batch_ms = args.batch_ms or 25.0
    if rounds < 1 or batch_ms <= 0:
        print("--rounds must be at least 1 and --batch-ms positive", file=sys.stderr)
        return 2
    if args.quick and (args.rounds or args.batch_ms or args.json or args.plot):
        print("--quick times nothing: --rounds, --batch-ms, --json and --plot go with a full run", file=sys.stderr)
        return 2
    if args.instructions and shutil.which("valgrind") is None:
        print("--instructions needs valgrind on PATH (apt-get install valgrind)", file=sys.stderr)
        return 2

    parser_class = None
    if not args.no_ours:
        parser_class, reason = load_ours()
        if parser_class is None:
            print(
                f"cannot import Virel.tl ({reason}); install the project into this interpreter "
                f"({sys.executable}: pip install /path/to/repo) or pass --no-ours",
                file=sys.stderr,
            )
            return 2

    started = time.perf_counter()
    w = workloads.build()
    base = TLBaseline(w.schema_text)
    ours = parser_class(w.schema_text) if parser_class is not None else None
    print(f"schema: {w.schema_source}")
    print(
        f"python {platform.python_version()} ({sys.executable}); "
        f"msgpack {MSGPACK_VERSION or 'not installed: left out'}; "
        f"ours {'Virel.tl' if ours is not None else 'left out (--no-ours)'}"
    )

    floor, floor_reason = load_floor(base)
    if floor is None:
        print(f"floor: left out, its extension could not be built ({floor_reason})")
    problems = check(w, ours, base) + (check_floor(w, ours, base, floor) if floor else [])
    if ours is not None:
        problems += check_service(w, parser_class)
    if problems:
        print(f"\nCHECK FAILED: {len(problems)} disagreement(s)")
        for line in problems:
            print(f"  {line}")
        return 1
    print("check: all contenders agree (round trips, TL bytes, decoded dicts, errors)")

    cases = make_cases(w, ours, base, floor=floor)
    if args.workloads:
        wanted = {part.strip().upper() for part in args.workloads.split(",")}
        cases = [c for c in cases if c.workload.split()[0] in wanted]
    if args.quick:
        for case in cases:
            run_batch(case, 1)
        print(
            f"quick: each of the {len(cases)} timed cases ran once; nothing was timed "
            "(a full run, without --quick, gives the figures)"
        )
        found = []
    else:
        print(f"timing: {rounds} rounds, batches of about {batch_ms:g} ms, contenders interleaved per workload\n")
        for workload in WORKLOADS:
            group = [c for c in cases if c.workload == workload]
            if group:
                print(f"  {workload} ...", file=sys.stderr, flush=True)
                measure(group, rounds, int(batch_ms * 1e6))
        found = ratios(cases)
        print_cases(cases, found)
        print()
        if ours is not None:
            print_ratio_matrix(found)
            print()
            print_unsteady(found)
            print()
    memory: list[dict] = []
    if ours is not None:
        memory = memory_rows(w, ours, floor)
        print_memory(memory)
        print()

    instruction_rows, overhead = [], None
    if args.instructions:
        if ours is None:
            print("--instructions: nothing to count without ours", file=sys.stderr)
        else:
            print("counting instructions under callgrind ...", file=sys.stderr, flush=True)
            instruction_rows, overhead = measure_instructions(cases)
            print("instructions per call of ours (callgrind; (2N calls - N calls) / N)")
            print(
                f"  the timing loop and call itself cost {overhead:,.0f} instructions a call; "
                "'net' leaves them out; 'ours/floor' compares the net figures"
            )
            print(
                f"{'workload':<11} {'dir':<6} {'N':>6} {'instr/call':>12} {'net':>12} "
                f"{'floor net':>12} {'ours/floor':>10}"
            )
            for row in instruction_rows:
                floor_text = (
                    f"{row['floor_net_of_loop']:>12,} {row['ours_per_floor']:>10.2f}"
                    if "ours_per_floor" in row
                    else f"{'':>12} {'':>10}"
                )
                print(
                    f"{row['workload']:<11} {row['direction']:<6} {row['calls']:>6} "
                    f"{row['instructions_per_call']:>12,} {row['net_of_loop']:>12,} "
                    f"{floor_text}"
                )
            print()
            print("our other modes, net instructions per call and against the default mode")
            for row in instruction_rows:
                for mode in MODES:
                    if f"{mode}_per_ours" in row:
                        print(
                            f"{row['workload']:<11} {row['direction']:<6} {mode:<7} "
                            f"{row[f'{mode}_net_of_loop']:>12,} {row[f'{mode}_per_ours']:>10.3f}"
                        )
            print()
            print("W8 against its references, net instructions per call (bound: ours/ref 1.05)")
            for row in instruction_rows:
                if "ours_per_reference" in row:
                    print(
                        f"{row['workload']:<11} {row['direction']:<7} {row['reference']:<7} "
                        f"{row['net_of_loop']:>12,} {row['reference_net_of_loop']:>12,} "
                        f"{row['ours_per_reference']:>10.3f}"
                    )
            print()

    if args.json:
        report = {
            "meta": {
                "python": platform.python_version(),
                "executable": sys.executable,
                "platform": platform.platform(),
                "cpu_count": os.cpu_count(),
                "schema": w.schema_source,
                "rounds": rounds,
                "batch_ms": batch_ms,
                "quick": args.quick,
                "seed": workloads.SEED,
                "msgpack": MSGPACK_VERSION,
                "when": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                "contenders": CONTENDERS,
            },
            "cases": [
                {
                    "workload": c.workload,
                    "direction": c.direction,
                    "contender": c.contender,
                    "iterations": c.iterations,
                    "median_ns": c.median(),
                    "ns_per_op": c.samples,
                    "size_bytes": c.size,
                }
                for c in cases
            ],
            "ratios": [dict(vars(r), spread=r.spread, unsteady=r.unsteady) for r in found],
            "instructions": instruction_rows,
            "instructions_loop_overhead": overhead,
            "memory": memory,
        }
        Path(args.json).write_text(json.dumps(report, indent=1), encoding="utf-8")
        print(f"figures written to {args.json}")
    if args.plot:
        if not found:
            print("--plot: no ratios to draw (ours left out)", file=sys.stderr)
        elif write_plot(args.plot, found):
            print(f"chart written to {args.plot}")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
