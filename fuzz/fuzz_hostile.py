"""Fuzzes what callers and native subclasses can do to the module while it works: a small program,
read from the input, of steps on a few compilers and parsers, where the values of a step may run
further steps from inside the module.

The world of one input: two compilers (a TLSchemaCompiler and the test subclass tlsub.Compiler)
and up to four parsers: TLParser, or the native subclass of tests/native with any of its tables
(copy, hooked, recovering, custom; see tlsub.cpp), strict or signed, some of them given one of the
compilers (two parsers then share it). A step is one of:
  - compile a schema (lenient or strict, on a compiler or on a parser's own compiler): fresh
    dicts whose names only the dict holds, with identifiers whose __int__ runs a nested step and
    keys hashing like the schema's own keys ("type", "params", "id", "predicate", "name", ...)
    whose __eq__ or __hash__ runs a nested step, clears or changes the dict, or raises;
  - pack an object of the schemas (valid, or with values whose conversion runs a nested step,
    and keys that collide with the record's parameter names);
  - unpack bytes assembled from the schemas' identifiers, vector headers and counts (the hooked
    table's string reader and the recovering table's vector reader run nested steps or recover
    from a failed element);
  - any of these with _testcapi.set_nomemory failing the allocations from a chosen one on (where
    _testcapi exists), without hooks, at the top level: then MemoryError is expected too, and a
    call that works without it must either work or raise MemoryError.

A finding is a crash or sanitizer report, an exception the module does not document, or a failed
allocation turned into another outcome.

FUZZ_HOSTILE_OFF (a comma-separated list of strict, share, recovering, nomem) leaves those parts
out: strict compiles, parsers given a shared compiler, the recovering table, failing allocations.
For telling findings apart when measuring; CI leaves everything in.
"""

import os
import gc
import struct
import sys

import atheris

import common
from common import HarnessError, entry

from Virel.tl import TLParser, TLSchemaCompiler

try:
    import _testcapi
except ImportError:  # a build of CPython without its test modules
    _testcapi = None

sys.path.insert(0, str(common.ROOT / "tests" / "native"))
import tlsub_build  # noqa: E402

tlsub = tlsub_build.load()

# Small schemas with shared names and identifiers, so that compiles replace one another's records
# and a failure nests a few levels deep. SECOND renames some records and changes layouts.
FIRST = {
    "constructors": [
        entry(1, "outer", "Outer", ("n", "Vector<Wrap>"), ("t", "string")),
        entry(2, "wrap", "Wrap", ("flags", "#"), ("obj", "Vector<Inner>"), ("in", "Inner"), ("k", "flags.0?int")),
        entry(3, "inner", "Inner", ("x", "int"), ("s", "string"), ("l", "long")),
        entry(4, "leaf", "Leaf"),
    ],
    "methods": [entry(5, "call", "Outer", ("q", "!X"), ("w", "Wrap"), method=True)],
}
SECOND = {
    "constructors": [
        entry(3, "inner", "Inner", ("s", "string")),
        entry(4, "leaf", "Leaf", ("v", "Vector<long>")),
        entry(6, "outer", "Outer", ("n", "Vector<Inner>")),
        entry(7, "more", "Wrap", ("obj", "Inner"), ("date", "date")),
    ]
}
SCHEMAS = [FIRST, SECOND, common.OTHER]
# FIRST and one more entry at the end: compiling it replaces all of FIRST before that entry is read.
FIRST_PLUS = {
    "constructors": FIRST["constructors"],
    "methods": FIRST["methods"] + [entry(8, "extra", "Extra", ("e", "int"), method=True)],
}
BASES = SCHEMAS + [FIRST_PLUS]  # what compiles compile
VALUES = [common.Values(s, max_depth=3) for s in SCHEMAS]
WRITERS = [TLParser(s) for s in SCHEMAS]  # bytes to unpack start as what these pack
NAMES = sorted({e.get("predicate") or e.get("method") for s in SCHEMAS for part in s.values() for e in part})
NAMES = [e.get("predicate") or e.get("method") for part in FIRST.values() for e in part] * 3 + NAMES
IDS = sorted({int(e["id"]) & 0xFFFFFFFF for s in SCHEMAS for part in s.values() for e in part})
WORDS = IDS + [0x1CB5C415, 0, 1, 2, 3, 0xFFFFFFFF, 0x997275B5, 0xBC799737] + [99, 0x1CB5C414] * 4
TABLES = ["default", "copy", "hooked", "recovering", "custom"]
SCHEMA_KEYS = ["type", "params", "id", "predicate", "method", "name", "constructors", "methods"]
MAX_STEPS = 12
TRACE = bool(os.environ.get("FUZZ_HOSTILE_TRACE"))  # log each step as it runs (replaying an input)
OFF = set(filter(None, os.environ.get("FUZZ_HOSTILE_OFF", "").split(",")))
if OFF - {"strict", "share", "recovering", "nomem"}:
    sys.exit(f"FUZZ_HOSTILE_OFF: unknown parts {sorted(OFF)}")
if "recovering" in OFF:
    TABLES.remove("recovering")

NOMEM = []  # non-empty while a step runs with failing allocations: MemoryError is expected


def expect(exc):
    """Raises a Finding unless `exc` is documented (the other harnesses look at tracebacks)."""
    if NOMEM and isinstance(exc, MemoryError):
        return
    if isinstance(exc, common.Finding):
        raise exc
    if not common.expected(exc):
        raise common.Finding(f"unexpected {type(exc).__name__}: {exc!r}") from exc


def fresh(text):
    """A new str equal to `text`, which only its new holder references (when longer than 1)."""
    return "".join(list(text))


def private_compiler(parser):
    for ref in gc.get_referents(parser):
        if isinstance(ref, TLSchemaCompiler):
            return ref
    return None


class Hook:
    """Runs a nested step when converted to a number or a truth value, then acts as `value`; as a
    dict key, hashes like `target` and runs the step when hashed or compared."""

    def __init__(self, world, step, value=7, target=None, on_hash=False, propagate=False):
        self.world, self.step, self.value = world, step, value
        self.target, self.on_hash, self.propagate = target, on_hash, propagate
        self.armed = False  # set once it is in place: going into a dict runs nothing

    def _run(self):
        if self.armed:
            self.world.nested(self.step, self.propagate)

    def __int__(self):
        self._run()
        return self.value

    __index__ = __int__

    def __float__(self):
        self._run()
        return float(self.value)

    def __bool__(self):
        self._run()
        return True

    def __hash__(self):
        if self.on_hash:
            self._run()
        return hash(self.target)

    def __eq__(self, other):
        if not self.on_hash:
            self._run()
        return False


class Meddler:
    """A dict key hashing like `target` whose __eq__ does something to the dict that holds it."""

    def __init__(self, target, holder, action):
        self.target, self.holder, self.action = target, holder, action
        self.armed = False

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        d = self.holder
        armed, self.armed = self.armed, False  # acts once
        if not armed:
            pass
        elif self.action == 0:
            d.clear()
        elif self.action == 1:
            for k in [k for k in d if type(k) is str][:2]:
                d.pop(k, None)
        elif self.action == 2:
            d.update(
                {
                    fresh("predicate"): fresh("changed"),
                    fresh("type"): fresh("T"),
                    fresh("params"): [],
                    fresh("id"): 77,
                    fresh("name"): fresh("x"),
                }
            )
        elif self.action == 3:
            raise HarnessError("comparison refused")
        return False


class World:
    def __init__(self, fdp):
        self.fdp = fdp
        self.compilers = [TLSchemaCompiler(), tlsub.Compiler()]
        for c in self.compilers:  # a parser given one takes its schema
            c.compile(FIRST)
        self.parsers = []
        self.last = None  # the parser of the latest pack or unpack
        self.depth = 0

    def setup(self):
        """Now and then the world starts with two native parsers given its first compiler, which
        then compiles again: the schema they were given stays with them for good (_get_schema),
        the one that follows is theirs only as long as they hold it."""
        fdp = self.fdp
        if fdp.ConsumeIntInRange(0, 2) == 0 or "share" in OFF:
            return
        tables = [TABLES[fdp.ConsumeIntInRange(0, len(TABLES) - 1)] for _ in range(2)]
        if TRACE:
            common.log(f"setup: two parsers given the first compiler, tables {tables}")
        for table in tables:
            p = tlsub.Parser(FIRST, table)
            tlsub.share(p, self.compilers[0])
            self.parsers.append(p)
        self.compilers[0].compile(self.build_schema(FIRST, []))
        for p in self.parsers:
            p.pack({"_": "leaf"})

    # ---- decoding steps (consumes input now; runs later) ----

    def step(self, depth):
        fdp = self.fdp
        # A nested step is mostly a pack or an unpack (on another parser, or refused on a busy one).
        kind = fdp.ConsumeIntInRange(0, 9) if depth == 0 else fdp.ConsumeIntInRange(2, 9)
        if kind <= 1:
            run = self.make_parser_step()
        elif kind <= 3:
            run = self.compile_step(depth)
        elif kind <= 6:
            run = self.pack_step(depth)
        elif kind <= 8:
            run = self.unpack_step(depth)
        else:
            run = self.drop_step()
        if not TRACE:
            return run

        def traced():
            common.log("  " * depth + describe(run))
            run()

        return traced

    def nested_step(self, depth):
        return self.step(depth + 1) if depth < 2 else self.drop_step()

    def make_parser_step(self):
        fdp = self.fdp
        table = TABLES[fdp.ConsumeIntInRange(0, len(TABLES) - 1)]
        schema = fdp.ConsumeIntInRange(0, len(SCHEMAS) - 1)
        strict, signed = fdp.ConsumeBool(), fdp.ConsumeIntInRange(0, 3) == 0
        # 0-2: the world's first compiler; 3: its second; 4: another parser's; 5: its own
        share = 5 if "share" in OFF else fdp.ConsumeIntInRange(0, 5)
        plain = table == "default" and fdp.ConsumeBool()

        def run():
            if len(self.parsers) >= 4:
                return
            if plain:
                p = TLParser(SCHEMAS[schema], strict=strict, signed=signed)
            else:
                p = tlsub.Parser(SCHEMAS[schema], table, strict=strict, signed=signed)
                if share <= 3:
                    tlsub.share(p, self.compilers[share // 3])
                elif share == 4 and self.parsers:
                    c = private_compiler(self.parsers[share % len(self.parsers)])
                    if c is not None:
                        tlsub.share(p, c)
            self.parsers.append(p)

        return run

    def compiler_for(self, pick):
        if pick >= 6 and self.last is not None:  # the compiler of the parser used last
            return private_compiler(self.last) or self.compilers[0]
        if pick < 2 or not self.parsers:
            return self.compilers[pick % 2]
        return private_compiler(self.parsers[pick % len(self.parsers)]) or self.compilers[0]

    def compile_step(self, depth):
        fdp = self.fdp
        target = fdp.ConsumeIntInRange(0, 9)
        strict = fdp.ConsumeBool() and "strict" not in OFF
        base = BASES[fdp.ConsumeIntInRange(0, len(BASES) - 1)]
        hostile = [self.hostile_part(depth) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        # No Python code of ours runs while allocations fail: CPython's own code is not made
        # for that (3.12.1 crashed in frame_dealloc), so a step with failing allocations has no hooks.
        nomem = self.nomem_window()
        if nomem:
            hostile = []

        def run():
            compiler = self.compiler_for(target)
            schema = self.build_schema(base, hostile)
            # The baseline: the same compile on a compiler of the same type, where nothing fails.
            baseline = None if hostile else lambda: type(compiler)().compile(self.build_schema(base, []), strict=strict)
            self.guarded((compiler.compile, (schema,), {"strict": strict}), nomem, baseline)

        return run

    def hostile_part(self, depth):
        """(entry index, what, nested step or action) for one hostile touch of a schema. The
        entry is often the first or the last one: a step run from there meets the schema before
        any of its records is in, or after all of them replaced the earlier ones."""
        fdp = self.fdp
        where = fdp.ConsumeIntInRange(0, 9)
        where = 0 if where == 8 else -1 if where == 9 else where
        what = fdp.ConsumeIntInRange(0, 8)
        what = 0 if what >= 7 else what  # identifiers whose __int__ runs a step, mostly
        key = SCHEMA_KEYS[fdp.ConsumeIntInRange(0, len(SCHEMA_KEYS) - 1)]
        first = fdp.ConsumeBool()  # the colliding key goes in before the real ones
        if what <= 2 and fdp.ConsumeBool():
            nested = self.pack_name_step(depth)
        else:
            nested = self.nested_step(depth) if what <= 2 else fdp.ConsumeIntInRange(0, 3)
        param = fdp.ConsumeBool()
        return where, what, key, first, nested, param, fdp.ConsumeBool()

    def build_schema(self, base, hostile):
        """Fresh dicts (and fresh name strings) for `base`, with the hostile touches applied."""
        out = {}
        entries = []
        armed = []
        for part in ("constructors", "methods"):
            items = []
            for e in base.get(part, []):
                copy = {}
                for k, v in e.items():
                    if k == "params":
                        v = [{fresh(pk): fresh(pv) for pk, pv in p.items()} for p in v]
                    elif isinstance(v, str):
                        v = fresh(v)
                    copy[fresh(k)] = v
                items.append(copy)
                entries.append(copy)
            out[part] = items
        for where, what, key, first, nested, param, propagate in hostile:
            if not entries:
                break
            e = entries[where % len(entries)]
            if param and e.get("params"):
                e = e["params"][where % len(e["params"])]
            if what == 0 and "id" in e:  # an identifier whose conversion runs a step
                e["id"] = Hook(self, nested, value=int(e["id"]) & 0xFFFFFFFF, propagate=propagate)
                armed.append(e["id"])
                continue
            collider = (
                Hook(self, nested, target=key, on_hash=what == 2, propagate=propagate)
                if what <= 2
                else Meddler(key, e, nested)
            )
            if first:
                rest = dict(e)
                e.clear()
                e[collider] = 1
                e.update(rest)
            else:
                e[collider] = 1
            armed.append(collider)
        for hook in armed:
            hook.armed = True
        return out

    def pack_name_step(self, depth):
        """Packs the plain object of a record named in the schemas (the one being compiled, say)."""
        which = self.fdp.ConsumeIntInRange(0, 3)
        name = NAMES[self.fdp.ConsumeIntInRange(0, len(NAMES) - 1)]

        def run():
            p = self.pick_parser(which)
            if p is not None:
                p.pack({"_": fresh(name)})

        return run

    def pick_parser(self, pick):
        if not self.parsers:
            return None
        self.last = self.parsers[pick % len(self.parsers)]
        return self.last

    def pack_step(self, depth):
        fdp = self.fdp
        which = fdp.ConsumeIntInRange(0, 3)
        values = VALUES[fdp.ConsumeIntInRange(0, len(VALUES) - 1)]
        e = values.pick_entry(fdp)
        d = values.obj(fdp, e, False)[0] if e is not None else {"_": "leaf"}
        d["_"] = fresh(d["_"])
        nomem = self.nomem_window()
        hooks = 0 if nomem else fdp.ConsumeIntInRange(0, 2)
        armed = []
        for _ in range(hooks):
            keys = [k for k in d if k != "_"]
            step = self.nested_step(depth)
            propagate = fdp.ConsumeBool()
            if keys and fdp.ConsumeBool():
                hook = Hook(self, step, propagate=propagate)
                d[keys[fdp.ConsumeIntInRange(0, len(keys) - 1)]] = hook
            else:
                target = keys[fdp.ConsumeIntInRange(0, len(keys) - 1)] if keys else "_"
                hook = Hook(self, step, target=target, on_hash=fdp.ConsumeBool(), propagate=propagate)
                d[hook] = 0
            armed.append(hook)
        as_type = fdp.ConsumeIntInRange(0, 5) == 0

        def run():
            p = self.pick_parser(which)
            if p is None:
                return
            for hook in armed:
                hook.armed = True
            call = (p.pack_as, (d, e.result_type if e else "Leaf")) if as_type else (p.pack, (d,))
            call += ({},)
            self.guarded(call, nomem, (lambda: call[0](*call[1])) if not hooks else None)

        return run

    def unpack_step(self, depth):
        fdp = self.fdp
        which = fdp.ConsumeIntInRange(0, 3)
        # An object of one of the schemas, packed, with a few of its words replaced by identifiers,
        # vector headers and counts, or cut short.
        pick = fdp.ConsumeIntInRange(0, len(VALUES) - 1)
        e = VALUES[pick].pick_entry(fdp)
        try:
            data = WRITERS[pick].pack(VALUES[pick].obj(fdp, e, False)[0]) if e else b""
        except Exception as exc:
            expect(exc)
            data = b""
        words = list(struct.unpack(f"<{len(data) // 4}I", data[: len(data) // 4 * 4]))
        ids = [i for i, w in enumerate(words) if w in IDS]  # where an object begins, mostly
        for _ in range(fdp.ConsumeIntInRange(0, 3)):
            value = (
                WORDS[fdp.ConsumeIntInRange(0, len(WORDS) - 1)]
                if fdp.ConsumeIntInRange(0, 3)
                else fdp.ConsumeIntInRange(0, 2**32 - 1)
            )
            if ids and fdp.ConsumeBool():  # an object of another record, or of none
                words[ids[fdp.ConsumeIntInRange(0, len(ids) - 1)]] = value
            elif words and fdp.ConsumeBool():
                words[fdp.ConsumeIntInRange(0, len(words) - 1)] = value
            else:
                words.insert(fdp.ConsumeIntInRange(0, len(words)), value)
        data = struct.pack(f"<{len(words)}I", *words)
        if fdp.ConsumeIntInRange(0, 3) == 0:
            data = data[: fdp.ConsumeIntInRange(0, len(data))] + fdp.ConsumeBytes(3)
        nomem = self.nomem_window()
        hooked = not nomem and fdp.ConsumeIntInRange(0, 2) == 0
        step = self.nested_step(depth) if hooked else None
        propagate = fdp.ConsumeBool()

        def run():
            p = self.pick_parser(which)
            if p is None:
                return
            if hooked:
                tlsub.set_hook(lambda: self.nested(step, propagate))
            try:
                # With failing allocations, unpack itself (a failure is not repeated then).
                call = (p.unpack, (data,), {}) if nomem else (unpack_checked, (p, data, not hooked), {})
                self.guarded(call, nomem, (lambda: p.unpack(data)) if not hooked else None)
            finally:
                if hooked:
                    tlsub.set_hook(None)

        return run

    def drop_step(self):
        which = self.fdp.ConsumeIntInRange(0, 3)

        def run():
            if self.parsers:
                del self.parsers[which % len(self.parsers)]

        return run

    def nomem_window(self):
        """None, or (start, stop) of the allocations to fail (stop 0: all from start on)."""
        fdp = self.fdp
        if _testcapi is None or "nomem" in OFF or fdp.ConsumeIntInRange(0, 5):
            return None
        start = fdp.ConsumeIntInRange(1, 400)
        return start, (0 if fdp.ConsumeBool() else start + fdp.ConsumeIntInRange(1, 3))

    # ---- running ----

    def guarded(self, call, nomem, baseline=None):
        """Runs `call`, a (function, args, keywords) triple; an exception must be documented. With
        `nomem`, allocations fail in that window, and when `baseline` (the same call with nothing
        failing, run first) works, the call must work or raise MemoryError.

        While allocations fail, the module's method is called from this frame and no frame of
        Python code ends: CPython 3.12.1 drops the exception in flight when a frame that raised is
        popped and the frame object of its caller cannot be allocated (take_ownership clears the
        error), and the caller then fails with SystemError "error return without exception set",
        as if the module had returned failure without an exception."""
        function, args, keywords = call
        if nomem is None or self.depth:  # nested: the compiler or parser in use may refuse it
            try:
                function(*args, **keywords)
            except Exception as exc:
                expect(exc)
            return
        worked = False
        if baseline is not None:
            try:
                baseline()
                worked = True
            except Exception as exc:
                expect(exc)
        NOMEM.append(nomem)
        try:
            _testcapi.set_nomemory(*nomem)
            try:
                function(*args, **keywords)
            finally:
                _testcapi.remove_mem_hooks()
        except Exception as exc:
            if worked and not isinstance(exc, MemoryError) and not any(isinstance(e, MemoryError) for e in chain(exc)):
                raise common.Finding(f"a failed allocation became {exc!r}") from exc
            expect(exc)
        finally:
            NOMEM.pop()

    def nested(self, step, propagate):
        """Runs a nested step from inside the module; its exception goes up when `propagate`."""
        if self.depth > 3:
            return
        self.depth += 1
        try:
            step()
        except Exception as exc:
            expect(exc)
            if propagate:
                raise
        finally:
            self.depth -= 1


def describe(run):
    """A step's kind and the plain values it closes over, for FUZZ_HOSTILE_TRACE."""
    plain = [c.cell_contents for c in run.__closure__ or () if type(c.cell_contents) in (int, str, bytes, dict, tuple)]
    return f"{run.__qualname__.split('.')[1]} {plain}"


def unpack_checked(parser, data, again):
    """unpack; with `again`, a failure must come out the same when the call is repeated at once
    (nothing of a call, a leftover trace in its note say, may outlive it)."""
    try:
        return parser.unpack(data)
    except Exception as exc:
        if again and common.expected(exc):
            first = (type(exc), str(exc), getattr(exc, "__notes__", None))
            try:
                parser.unpack(data)
            except Exception as second:
                then = (type(second), str(second), getattr(second, "__notes__", None))
                if then != first:
                    raise common.Finding(f"unpack of {data.hex()} failed as {first}, then as {then}") from exc
            else:
                raise common.Finding(f"unpack of {data.hex()} failed as {first}, then worked") from exc
        raise


def chain(exc):
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__cause__ or exc.__context__
    return seen


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    world = World(fdp)
    world.setup()
    steps = [world.step(0) for _ in range(fdp.ConsumeIntInRange(1, MAX_STEPS))]
    try:
        for run in steps:
            run()
    finally:
        tlsub.set_hook(None)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
