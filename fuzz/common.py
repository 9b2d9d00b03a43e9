"""Shared parts of the fuzz harnesses: where the real schema is, which exceptions are expected,
fixed schemas, and builders that turn fuzz input (an atheris FuzzedDataProvider) into schemas
and values. A schema's entries, kinds, conditions and vector levels are read from the records the
compiler made of it (TLSchemaCompiler.entries()), never from its type texts."""

import array
import functools
import json
import math
import os
import pathlib
import sys
import traceback

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from _data import find  # noqa: E402  (the data-folder lookup the tests use)


# Which codec path the harnesses' parsers run: "direct" (TLParser itself, the default table) or,
# with VIREL_CODEC_PATH=table, the table path: every operation called through the parser's table,
# a copy of the default one installed by the test-only native subclass (tests/native).
CODEC_PATH = os.environ.get("VIREL_CODEC_PATH", "direct")
if CODEC_PATH not in ("direct", "table"):
    sys.exit(f"VIREL_CODEC_PATH must be direct or table, not {CODEC_PATH!r}")


def new_parser(schema_json, **modes):
    """A parser for `schema_json` on the chosen codec path; `modes` are TLParser's keywords."""
    from Virel.tl import TLParser

    if CODEC_PATH == "direct":
        return TLParser(schema_json, **modes)
    sys.path.insert(0, str(ROOT / "tests" / "native"))
    import tlsub_build

    return tlsub_build.load().Parser(schema_json, "copy", **modes)


class HarnessError(Exception):
    """Raised on purpose by the hostile values below; the codec must let it through untouched."""


# What the module may raise. RecursionError and the JSON and Unicode errors are subclasses of
# RuntimeError and ValueError, listed for the reader. MemoryError is left out on purpose: inputs
# are a few KiB, so running out of memory means an allocation that the input does not back.
# BufferError: a bytes field given a buffer that is not contiguous (tests/test_hostile_values.py pins it).
EXPECTED = (
    TypeError,
    ValueError,
    KeyError,
    AttributeError,
    OverflowError,
    RuntimeError,
    RecursionError,
    UnicodeError,
    json.JSONDecodeError,
    BufferError,
    HarnessError,
)

# The RuntimeErrors the module raises on purpose; any other one (a C++ exception translated into
# "Unknown exception", say) is a finding.
RUNTIME_MESSAGES = (
    "Parse error at position ",
    "TLParser is already in use",
    "list changed size during pack",
    "TLParser has no schema",
    "TLSchemaCompiler.compile is already running",
)


class Finding(AssertionError):
    """An outcome the module documents nowhere; atheris reports it and saves the input."""


def expected(exc):
    """True when `exc` is an outcome the module documents."""
    if not isinstance(exc, EXPECTED):
        return False
    if type(exc) is RuntimeError:  # subclasses (RecursionError) are fine as they are
        return str(exc).startswith(RUNTIME_MESSAGES)
    return True


def check(exc):
    """Re-raises `exc` as a Finding when it is not an expected outcome."""
    if not expected(exc):
        raise Finding(f"unexpected {type(exc).__name__}: {exc!r}") from exc
    if len(str(exc)) % 8 == 0:  # now and then, a close look at the module's traceback entries
        touch_traceback(exc)


def touch_traceback(exc):
    """What a debugger or a logging library does with a traceback: formats it, reads every
    frame's locals, line and caller, and clears the frames. The module's entries must stand it,
    and so must the next exception that reuses them."""
    "".join(traceback.format_exception(exc))
    for frame, _ in traceback.walk_tb(exc.__traceback__):
        frame.f_locals, frame.f_back, frame.f_lineno, frame.f_globals.get("__name__")
    traceback.clear_frames(exc.__traceback__)


def real_schema_text():
    """The real schema's JSON text (api.json as the tests find it), or None when it is absent."""
    path = find("api.json")
    return None if path is None else path.read_text()


def entry(ident, name, kind, *params, method=False):
    return {
        "id": ident,
        ("method" if method else "predicate"): name,
        "type": kind,
        "params": [{"name": n, "type": t} for n, t in params],
    }


# The service layer: a framed body (a boxed stand-in for MTProto's message), a container of them,
# rpc_result and gzip_packed, for a parser that inflates.
SERVICE = {
    "constructors": [
        entry(
            0x5BB8E511, "message", "Message", ("msg_id", "long"), ("seqno", "int"), ("bytes", "int"), ("body", "Object")
        ),
        entry(0x73F1F8DC, "msg_container", "MessageContainer", ("messages", "Vector<Message>")),
        entry(0xF35C6D01, "rpc_result", "RpcResult", ("req_msg_id", "long"), ("result", "Object")),
        entry(0x3072CFA1, "gzip_packed", "Object", ("packed_data", "bytes")),
        entry(0x62D6B459, "msgs_ack", "MsgsAck", ("msg_ids", "Vector<long>")),
    ],
    "methods": [],
}


# A schema that uses every kind the codec knows: both flags words, bits above 31, shared bits,
# optional Bool and true, vectors of every element kind, the self-nesting "Vector t", collapsed
# Vector<Vector<int>>, nested and recursive objects, a method, a generic !X, non-ASCII names.
KITCHEN_SINK = {
    "constructors": [
        entry(1, "leaf", "Leaf"),
        entry("-1132882121", "boolFalse", "Bool"),
        entry("-1720552011", "boolTrue", "Bool"),
        entry(2, "numbers", "Numbers", ("a", "int"), ("b", "#"), ("c", "long"), ("d", "double")),
        entry(3, "texts", "Texts", ("s", "string"), ("b", "bytes"), ("c", "byte"), ("t", "Bool")),
        entry(
            4,
            "opts",
            "Opts",
            ("flags", "#"),
            ("f0", "flags.0?true"),
            ("f1", "flags.1?int"),
            ("f2", "flags.1?string"),
            ("f3", "flags.2?Bool"),
            ("f4", "flags.35?long"),
            ("f5", "flags.31?Leaf"),
            ("flags2", "#"),
            ("g0", "flags2.0?Vector<int>"),
            ("g1", "flags2.7?Numbers"),
            ("g2", "flags2.7?true"),
        ),
        entry(
            5,
            "vectors",
            "Vectors",
            ("i", "Vector<int>"),
            ("l", "Vector<long>"),
            ("d", "Vector<double>"),
            ("s", "Vector<string>"),
            ("b", "Vector<bytes>"),
            ("o", "Vector<Bool>"),
            ("n", "Vector<Numbers>"),
            ("vv", "Vector<Vector<int>>"),
            ("t", "Vector t"),
        ),
        entry(6, "tree", "Tree", ("value", "int"), ("kids", "Vector<Tree>"), ("extra", "Leaf")),
        entry(7, "node", "Tree", ("flags", "#"), ("left", "flags.0?Tree"), ("right", "flags.1?Tree")),
        entry(0x1CB5C416, "nearVector", "Leaf", ("x", "long")),
        entry(0xFFFFFFFF, "größe", "Leaf", ("wert", "string")),
        entry(8, "later", "Leaf", ("x", "int"), ("flags", "#"), ("y", "flags.4?double")),
        # Repeated parameter names: the encoder has no key table for such a record.
        entry(
            10, "dups", "Leaf", ("a", "int"), ("a", "int"), ("flags", "#"), ("b", "flags.0?long"), ("b", "flags.1?long")
        ),
        # More parameters than the encoder reads in one walk over the caller's dict.
        entry(
            11,
            "wide",
            "Leaf",
            ("flags", "#"),
            *[(f"w{i}", f"flags.{i % 40}?int" if i % 3 == 0 else "int") for i in range(70)],
        ),
    ],
    "methods": [
        entry(0x20, "getTree", "Tree", ("id", "long"), ("query", "!X"), method=True),
        entry(0x21, "getNumbers", "Vector<Numbers>", ("ids", "Vector<long>"), method=True),
    ],
}

# A second, smaller schema; a few identifiers equal the kitchen sink's with other layouts, so that
# one parser recompiled between the two sees records change shape.
OTHER = {
    "constructors": [
        entry(1, "leaf", "Leaf", ("x", "Vector<string>")),
        entry(2, "numbers", "Numbers", ("flags", "#"), ("a", "flags.0?bytes")),
        entry(9, "other", "Other", ("n", "Numbers")),
    ],
}

# ---- Values: valid ones for a parameter type, and hostile ones of any type. ----

INT_RANGES = {
    "int": (-(2**31), 2**32 - 1),
    "long": (0, 2**64 - 1),
    "int128": (-(2**127), 2**128 - 1),
    "int256": (-(2**255), 2**256 - 1),
}

# The wire size of int128 and int256, which pack also takes as bytes of exactly that size.
WIDE_BYTES = {"int128": 16, "int256": 32}


def wide_value(fdp, kind, hostile):
    """(value, valid) for an int128 or int256: an int at either end of its range, 0 or between, or
    its wire form as bytes, bytearray or memoryview of its size; with `hostile` also an int one past
    either end, or bytes one short or one long of the size."""
    lo, hi = INT_RANGES[kind]
    pick = fdp.ConsumeIntInRange(0, 9 if hostile else 5)
    if pick <= 3:
        return (lo, hi, 0, fdp.ConsumeIntInRange(lo, hi))[pick], True
    if pick <= 5:
        return wide_bytes(fdp, WIDE_BYTES[kind]), True
    if pick <= 7:
        return (lo - 1, hi + 1)[pick - 6], False
    return wide_bytes(fdp, WIDE_BYTES[kind] + (-1 if pick == 8 else 1)), False


def wide_bytes(fdp, size):
    raw = fdp.ConsumeBytes(size).ljust(size, b"\x00")
    return (raw, bytearray(raw), memoryview(raw))[fdp.ConsumeIntInRange(0, 2)]


def compiled(schema):
    """(records, constructor count): the records the compiler made of schema data, in order."""
    from Virel.tl import TLSchemaCompiler

    compiler = TLSchemaCompiler()
    compiler.compile(schema)
    return compiler.entries(), len(schema.get("constructors") or ())


@functools.cache
def _words():
    """The command line's word for each kind code ("int", ..., "bare vector")."""
    from Virel.cli.schema_view import kind_words

    return kind_words()


def kind_word(kind):
    return _words()[kind]


def condition(p):
    """The flags word (0 flags, 1 flags2) and bit that make a compiled parameter optional, or None."""
    return (p.flag_field, p.flag_bit & 31) if p.is_conditional else None


class Values:
    """Builds object dicts for one well-formed schema from fuzz input. `valid` values follow the
    documented dictionary form, so that pack must succeed and its output must round-trip."""

    def __init__(self, schema, max_depth=4, parser=None):
        self.parser = parser  # hostile values may use it from inside a conversion
        self.disposable = False  # True: hostile values may also recompile it
        records, constructors = compiled(schema)
        last = {}
        for e in records:
            last[e.id] = last[e.name] = e
        # An entry is reachable both ways only when it is the last one of its id and its name.
        self.entries = [e for e in records if last[e.id] is e and last[e.name] is e]
        ok = {id(e) for e in self.entries}
        self.by_type = {}
        for e in records[:constructors]:
            if id(e) in ok:
                self.by_type.setdefault(e.result_type, []).append(e)
        nested = {kind for kind, word in _words().items() if word in ("object", "vector", "bare object", "bare vector")}
        self.leaves = [e for e in self.entries if all(p.kind not in nested for p in e.params)]
        self.names = [e.name for e in self.entries]
        self.max_depth = max_depth

    @staticmethod
    def name(e):
        return e.name

    def pick_entry(self, fdp, type_text=None, depth=0):
        candidates = self.by_type.get(type_text.lstrip("!"), []) if type_text else self.entries
        if not candidates or type_text in ("X", "!X", "Object"):
            candidates = self.entries
        if depth >= self.max_depth:
            candidates = [e for e in candidates if e in self.leaves] or self.leaves
        if not candidates:  # a schema without leaves: no finite valid object at this depth
            return None
        return candidates[fdp.ConsumeIntInRange(0, len(candidates) - 1)]

    def obj(self, fdp, e, hostile, depth=0):
        """(dict, valid) for entry e (a compiled record); with `hostile`, some fields get hostile
        values instead."""
        groups = {}
        for p in e.params:
            c = condition(p)
            if c is not None and c not in groups:
                groups[c] = fdp.ConsumeBool()
        out = {"_": e.name}
        valid = True
        for p in e.params:
            if p.flags_word:
                if hostile and fdp.ConsumeIntInRange(0, 15) == 0:
                    # a flags key is ignored by pack, whatever it holds
                    out[p.name] = hostile_value(fdp, self, depth + 1, self.parser)
                continue
            if hostile and fdp.ConsumeIntInRange(0, 7) == 0:
                choice = fdp.ConsumeIntInRange(0, 2)
                valid = False
                if choice == 0:
                    continue  # missing: a default for a plain field, an error for an object
                out[p.name] = None if choice == 1 else hostile_value(fdp, self, depth + 1, self.parser)
                continue
            c = condition(p)
            kind = kind_word(p.kind)
            if c is not None and not groups[c]:
                out[p.name] = False if kind == "bool" else None
            elif c is not None and kind == "bool":
                out[p.name] = True
            else:
                v, ok = self.value(fdp, p, p.element, hostile, depth)
                out[p.name] = v
                valid = valid and ok
        return out, valid

    def value(self, fdp, typed, levels, hostile, depth):
        """(value, valid) for a compiled parameter or vector level `typed`; `levels` are the vector
        levels below it."""
        kind = kind_word(typed.kind)
        if kind in WIDE_BYTES:
            return wide_value(fdp, kind, hostile)
        if kind in INT_RANGES:
            lo, hi = INT_RANGES[kind]
            pick = fdp.ConsumeIntInRange(0, 3)
            return (lo, hi, 0, fdp.ConsumeIntInRange(lo, hi))[pick], True
        if kind == "double":
            return fdp.ConsumeFloat(), True
        if kind == "string":
            return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 300)), True
        if kind == "bytes":
            raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
            wrap = fdp.ConsumeIntInRange(0, 3)
            return (raw, bytearray(raw), memoryview(raw), memoryview(bytearray(raw)))[wrap], True
        if kind == "bool":
            return fdp.ConsumeBool(), True
        if kind in ("vector", "bare vector"):
            inner, below = levels[0], levels[1:]
            if inner.endless:  # "Vector t": its elements are vectors of the same
                below = levels
            n = fdp.ConsumeIntInRange(0, 4 if kind == "vector" else 3) if depth < self.max_depth else 0
            items, ok = [], True
            for _ in range(n):
                v, good = self.value(fdp, inner, below, hostile, depth + 1)
                items.append(v)
                ok = ok and good
            form = fdp.ConsumeIntInRange(0, 7) if kind == "vector" else 0
            if form == 1:
                return tuple(items), ok
            if form == 2:
                return (x for x in items), ok
            return items, ok
        if kind == "bare object":
            return self.bare(fdp, typed, hostile, depth)
        e = self.pick_entry(fdp, typed.target, depth + 1)
        if e is None:
            return {}, False
        return self.obj(fdp, e, hostile, depth + 1)

    def bare(self, fdp, typed, hostile, depth):
        """A bare object: its one constructor's fields, "_" included; ({}, False) where the text
        names no single constructor, or nesting must end."""
        if typed.target_is_type:
            found = self.by_type.get(typed.target, [])
        else:
            found = [e for e in self.entries if e.name == typed.target]
        if len(found) != 1 or depth >= self.max_depth:
            return {}, False
        d, ok = self.obj(fdp, found[0], hostile, depth + 1)
        form = fdp.ConsumeIntInRange(0, 3 if hostile else 2)
        if form == 1:  # a bare object may leave its name out
            del d["_"]
        elif form == 3:  # or give a wrong one: refused
            others = [n for n in self.names if n != d["_"]]
            d["_"] = others[fdp.ConsumeIntInRange(0, len(others) - 1)] if others else d["_"] + "x"
            ok = False
        return d, ok


class Boom:
    """Raises HarnessError from whichever conversion the codec tries."""

    def _raise(self, *args):
        raise HarnessError("conversion refused")

    __int__ = __index__ = __float__ = __bool__ = __len__ = __iter__ = _raise


class IntReturnsFloat:
    def __int__(self):
        return 1.5

    def __index__(self):
        return 2.5


class Mutator:
    """Runs `action` when the codec converts it to a number or a truth value, then acts as 7."""

    def __init__(self, action):
        self.action = action

    def _run(self, *args):
        self.action()
        return 7

    __int__ = __index__ = _run

    def __float__(self):
        self.action()
        return 7.0

    def __bool__(self):
        self.action()
        return True


class Collider:
    """A dict key that hashes like `target` and runs `action` whenever it is compared."""

    def __init__(self, target, action=lambda: None):
        self.target, self.action = target, action

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        self.action()
        return False


class ListSub(list):
    pass


class DictSub(dict):
    pass


class LyingDict(dict):
    """Claims every key and then refuses to give some of them."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        if key == "_" or key in self.keys():
            return dict.__getitem__(self, key)
        raise KeyError(key)

    def get(self, key, default=None):
        return dict.get(self, key, default)


class Mapping:
    """Not a dict: a plain object with get, __contains__ and __getitem__."""

    def __init__(self, data):
        self.data = data

    def get(self, key, default=None):
        return self.data.get(key, default)

    def __contains__(self, key):
        return key in self.data

    def __getitem__(self, key):
        return self.data[key]


class FlipName(dict):
    """Its name changes on every look-up."""

    count = 0

    def get(self, key, default=None):
        FlipName.count += 1
        return ("leaf", "tree", None, 5, "")[FlipName.count % 5] if key == "_" else default


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class FloatSub(float):
    pass


STRINGS = [
    "",
    "x",
    "\x00",
    "a\x00b",
    "\ud800",
    "é" * 3,
    "\U0001f600",
    "flags",
    "_",
    "leaf",
    "leaf\x00junk",
    "numbers",
    "Vector",
    " ",
    "9" * 40,
]
NUMBERS = [
    0,
    1,
    -1,
    2**31 - 1,
    -(2**31),
    -(2**31) - 1,
    2**32 - 1,
    2**32,
    2**63,
    2**64 - 1,
    2**64,
    -(2**63),
    -(2**64),
    10**100,
    -(10**100),
    0.0,
    -0.0,
    1.5,
    math.inf,
    -math.inf,
    math.nan,
    True,
    False,
]


def hostile_value(fdp, values, depth, parser=None):
    """Anything at all: wrong types, odd subclasses, objects that raise or change things."""
    pick = fdp.ConsumeIntInRange(0, 34)
    if pick <= 2:
        return NUMBERS[fdp.ConsumeIntInRange(0, len(NUMBERS) - 1)]
    if pick <= 4:
        return STRINGS[fdp.ConsumeIntInRange(0, len(STRINGS) - 1)]
    if pick == 5:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    if pick == 6:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
    if pick == 7:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if pick == 8:
        return None
    if pick == 9:
        return memoryview(b"abcdefgh")[::2]  # not contiguous
    if pick == 10:
        return memoryview(array.array("i", [1, 2, 3]))
    if pick == 11:
        return array.array("d", [1.0, 2.0])
    if pick == 12:
        return Boom()
    if pick == 13:
        return IntReturnsFloat()
    if pick == 14:
        return IntSub(fdp.ConsumeInt(5))
    if pick == 15:
        return StrSub("leaf")
    if pick == 16:
        return BytesSub(b"xy")
    if pick == 17:
        return FloatSub(2.5)
    if pick == 18:
        return object()
    if pick == 19:
        return complex(1, 2)
    if pick == 20:
        return {}
    if pick == 21:
        selfish = []
        selfish.append(selfish)
        return selfish
    if pick == 22:
        selfish = {"_": "tree"}
        selfish["kids"] = [selfish]
        selfish["extra"] = selfish
        return selfish
    if pick == 23:
        nested = []
        for _ in range(fdp.ConsumeIntInRange(0, 3000)):
            nested = [nested]
        return nested
    if pick == 24:
        n = fdp.ConsumeIntInRange(0, 5)
        n = n if depth < 4 else 0
        items = [hostile_value(fdp, values, depth + 1, parser) for _ in range(n)]
        return ListSub(items) if fdp.ConsumeBool() else items
    if pick == 25 and values is not None and depth < 4:
        e = values.pick_entry(fdp, None, depth + 1)
        d = values.obj(fdp, e, True, depth + 1)[0] if e is not None else {"_": "leaf"}
        wrap = fdp.ConsumeIntInRange(0, 3)
        return (d, DictSub(d), LyingDict(d), Mapping(d))[wrap]
    if pick == 26:
        return FlipName()
    if pick == 27:
        return {"_": fdp.PickValueInList(STRINGS + [5, None, b"leaf"])}
    if pick == 28:
        victim = [1, 2, 3]  # a list that an element empties while it is being packed
        victim.insert(fdp.ConsumeIntInRange(0, 3), Mutator(victim.clear))
        return victim
    if pick == 29 and parser is not None:
        # Uses the same parser from inside a conversion: refused, and the outer call goes on.
        def reenter():
            try:
                parser.pack({"_": "leaf"})
            except RuntimeError:
                pass
            else:
                raise Finding("a nested pack on a busy parser was not refused")

        return Mutator(reenter)
    if pick == 30 and parser is not None and values is not None and values.disposable:
        # Recompiles the parser's private compiler from inside a conversion: the tables the
        # running call uses must stay valid.
        return Mutator(lambda: recompile(parser, OTHER))
    if pick == 31:
        return range(fdp.ConsumeIntInRange(0, 5))
    if pick == 32:
        return iter([1, 2])
    if pick == 33:
        return (x for x in [Boom()])
    return [fdp.ConsumeInt(9) for _ in range(fdp.ConsumeIntInRange(0, 6))]


def recompile(parser, schema):
    """Compiles `schema` into the parser's own (otherwise private) compiler, reached through the
    garbage collector's view of the parser."""
    import gc

    for ref in gc.get_referents(parser):
        if type(ref).__name__ == "TLSchemaCompiler":
            ref.compile(schema)


# ---- Schemas built from fuzz input ----

TYPE_POOL = [
    "int",
    "#",
    "long",
    "double",
    "string",
    "bytes",
    "byte",
    "Bool",
    "true",
    "Vector<int>",
    "Vector<long>",
    "Vector<double>",
    "Vector<string>",
    "Vector<bytes>",
    "Vector<Bool>",
    "Vector<Vector<int>>",
    "Vector<T0>",
    "Vector<T1>",
    "Vector<Vector<T2>>",
    "Vector t",
    "Vector",
    "T0",
    "T1",
    "T2",
    "!X",
    "Object",
]


def schema_from(fdp, max_entries=6):
    """A small schema built from fuzz input. Names and identifiers are unique and parameter
    names differ within an entry; flags fields may come before or after the fields they govern,
    or be missing."""
    count = fdp.ConsumeIntInRange(1, max_entries)
    ids = set()
    entries = []
    for i in range(count):
        ident = fdp.PickValueInList([i + 1, 0x1CB5C415 ^ i, fdp.ConsumeIntInRange(0, 2**32 - 1)])
        if ident in ids:
            ident = 1000 + i
        ids.add(ident)
        params = []
        nparams = fdp.ConsumeIntInRange(0, 7)
        for j in range(nparams):
            pick = fdp.ConsumeIntInRange(0, 9)
            if pick == 0:
                params.append(("flags", "#"))
            elif pick == 1:
                params.append(("flags2", "#"))
            else:
                base = fdp.PickValueInList(TYPE_POOL)
                prefix = fdp.ConsumeIntInRange(0, 5)
                if prefix == 1:
                    base = f"flags.{fdp.ConsumeIntInRange(0, 40)}?{base}"
                elif prefix == 2:
                    base = f"flags2.{fdp.ConsumeIntInRange(0, 40)}?{base}"
                elif prefix == 3:
                    base = f"?{base}"
                params.append((f"p{j}", base))
        seen = set()
        params = [p for p in params if not (p[0] in seen or seen.add(p[0]))]
        as_text = str(ident - 2**32) if ident >= 2**31 and fdp.ConsumeBool() else ident
        entries.append(
            entry(as_text, f"c{i}", f"T{fdp.ConsumeIntInRange(0, 2)}", *params, method=fdp.ConsumeIntInRange(0, 4) == 0)
        )
    constructors = [e for e in entries if "predicate" in e]
    methods = [e for e in entries if "method" in e]
    return {"constructors": constructors, "methods": methods}


def parser_from(fdp):
    """A schema built from fuzz input and a parser for it; the parser is None when the schema is
    refused (with a documented exception, else a Finding)."""
    schema = schema_from(fdp)
    try:
        return schema, new_parser(schema)
    except Exception as exc:
        check(exc)
        return schema, None


def well_formed(schema):
    """True when every optional field of every entry comes after the flags field that governs it:
    only then is a decoded object one that pack takes back (a field read before its flags word
    reads as absent while a later one on the same bit reads as present)."""
    try:
        records, _ = compiled(schema)
    except Exception:
        return False
    for e in records:
        seen = set()
        for p in e.params:
            if p.is_conditional and p.flag_field not in seen:
                return False
            if p.flags_word:
                seen.add(p.flags_word - 1)  # 1: flags (field 0), 2: flags2 (field 1)
    return True


def log(*args):
    print(*args, file=sys.stderr, flush=True)
