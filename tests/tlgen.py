"""Hypothesis strategies driven by a schema: valid object dicts, and random schemas."""

import json
from collections import defaultdict

from hypothesis import strategies as st

from Virel.tl import (
    TL_BARE_OBJECT,
    TL_BARE_VECTOR,
    TL_BOOL,
    TL_BYTES,
    TL_DOUBLE,
    TL_INT,
    TL_INT128,
    TL_INT256,
    TL_LONG,
    TL_OBJECT,
    TL_STRING,
    TL_VECTOR,
    TLParser,
    TLSchemaCompiler,
)

from support import framed_body

TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=20)
PRIMITIVES = {
    TL_INT: st.integers(0, 2**32 - 1),
    TL_LONG: st.integers(0, 2**64 - 1),
    TL_DOUBLE: st.floats(allow_nan=False),
    TL_STRING: TEXT | st.text(st.characters(exclude_categories=("Cs",)), min_size=250, max_size=300),
    TL_BYTES: st.binary(max_size=20) | st.binary(min_size=250, max_size=600),
    TL_BOOL: st.booleans(),
    TL_INT128: st.integers(0, 2**128 - 1),
    TL_INT256: st.integers(0, 2**256 - 1),
}
VECTORS = (TL_VECTOR, TL_BARE_VECTOR)
NESTED = (TL_OBJECT, TL_BARE_OBJECT, *VECTORS)


def condition(p):
    """The flags word and bit that make a compiled parameter optional, or None."""
    return (p.flag_field, p.flag_bit & 31) if p.is_conditional else None


class SchemaValues:
    """Draws valid object dicts for the entries of one schema (a parsed schema JSON dict), by the
    records the compiler made of it (TLSchemaCompiler.entries)."""

    def __init__(self, schema, max_depth=3, typed=False):
        compiler = TLSchemaCompiler()
        compiler.compile(schema)
        records = compiler.entries()
        by_id = {e.id: e for e in records}
        # Entries that decoding can reach: the last of each identifier.
        self.entries = [e for e in records if by_id[e.id] is e]
        reachable = {id(e) for e in self.entries}
        self.constructors = [e for e in records[: len(schema.get("constructors", []))] if id(e) in reachable]
        self.by_type = defaultdict(list)
        for e in self.constructors:
            self.by_type[e.result_type].append(e)
        self.leaves = [e for e in self.constructors if all(p.kind not in NESTED for p in e.params)]
        self.leaf_ids = {id(e) for e in self.leaves}
        self.max_depth = max_depth
        # typed: every nested object is of the type its place declares (as strict pack checks),
        # when the schema has one; below max_depth, of its constructors with the fewest objects.
        self.typed = typed
        self._values = {}
        self._objects = {}
        self.schema, self._packer = schema, None

    @staticmethod
    def name(e):
        return e.name

    def value(self, typed, element, depth):
        """Values of a compiled parameter or vector level `typed`, whose vector levels below it are
        `element`."""
        key = (typed.kind, typed.type_name, typed.target, element, depth)
        if key not in self._values:
            self._values[key] = self._value(typed, element, depth)
        return self._values[key]

    def _value(self, typed, element, depth):
        kind = typed.kind
        if kind in PRIMITIVES:
            return PRIMITIVES[kind]
        if kind in VECTORS:
            level = element[0]
            if level.kind in VECTORS and level.endless:  # "Vector t": vectors to any depth
                return st.just([])
            return st.lists(self.value(level, element[1:], depth + 1), max_size=3 if depth < self.max_depth else 0)
        if kind == TL_BARE_OBJECT:  # its one record (a schema that has none is not drawn from)
            bare = [e for e in self.constructors if typed.target == (e.result_type if typed.target_is_type else e.name)]
            return self.obj(bare[0], depth + 1)
        of_type = self.by_type.get(typed.target, [])
        candidates = of_type if depth < self.max_depth else []
        if self.typed and of_type and depth >= self.max_depth and depth < self.max_depth + 8:
            fewest = min(map(self.objects_in, of_type))
            candidates = [e for e in of_type if self.objects_in(e) == fewest]
        elif depth >= self.max_depth or not candidates:
            candidates = [e for e in candidates if id(e) in self.leaf_ids] or self.leaves
        return st.sampled_from(candidates).flatmap(lambda e: self.obj(e, depth + 1))

    @staticmethod
    def objects_in(e):
        """How many parameters of an entry must hold an object (or a vector of them)."""
        return sum(p.kind in NESTED and not p.is_conditional for p in e.params)

    def obj(self, e, depth=0):
        key = (id(e), depth)
        if key not in self._objects:
            self._objects[key] = self._obj(e, depth)
        return self._objects[key]

    def _obj(self, e, depth):
        groups = {condition(p) for p in e.params if p.is_conditional}
        # Deep down a typed value leaves its optional parts out, so that it ends.
        present = st.just(False) if self.typed and depth > self.max_depth else st.booleans()
        return st.fixed_dictionaries(dict.fromkeys(groups, present)).flatmap(
            lambda present: self._fill(e, present, depth)
        )

    def _fill(self, e, present, depth):
        key = (id(e), depth, tuple(sorted(present.items())))
        if key not in self._objects:
            self._objects[key] = self._fill_uncached(e, present, depth)
        return self._objects[key]

    def _fill_uncached(self, e, present, depth):
        fields = {"_": st.just(e.name)}
        for p in e.params:
            if p.flags_word:
                continue
            cond = condition(p)
            if cond and not present[cond]:
                fields[p.name] = st.just(False if p.kind == TL_BOOL else None)
            elif cond and p.kind == TL_BOOL:
                fields[p.name] = st.just(True)
            else:
                fields[p.name] = self.value(p, p.element, depth)
        drawn = st.fixed_dictionaries(fields)
        framed = framed_body(e)
        if framed:  # the length is the body's: packed to be measured
            length, body = framed
            drawn = drawn.map(lambda d: {**d, length: len(self.packer().pack(d[body]))})
        return drawn

    def packer(self):
        if self._packer is None:
            self._packer = TLParser(self.schema)
        return self._packer


NAMES = st.text("abcdefghijklmnopqrstuvwxyz", min_size=1, max_size=8)
PLAIN_TYPES = ["int", "long", "double", "string", "bytes", "Bool", "#"]


@st.composite
def schemas(draw, max_entries=6):
    """Random schemas: unique names and identifiers, flags fields before the parameters they
    govern, bits below 32."""
    count = draw(st.integers(1, max_entries))
    names = draw(st.lists(NAMES, min_size=count, max_size=count, unique=True))
    ids = draw(st.lists(st.integers(1, 2**32 - 1), min_size=count, max_size=count, unique=True))
    types = [f"T{i % 3}" for i in range(count)]
    entries = []
    for i, (name, ident) in enumerate(zip(names, ids)):
        params = []
        has_flags = draw(st.booleans())
        has_flags2 = has_flags and draw(st.booleans())
        if has_flags:
            params.append({"name": "flags", "type": "#"})
        if has_flags2:
            params.append({"name": "flags2", "type": "#"})
        for j in range(draw(st.integers(0, 6))):
            base = draw(
                st.sampled_from(
                    PLAIN_TYPES
                    + ["Vector<int>", "Vector<string>", "Vector<long>", "Vector<Vector<int>>", "obj", "vec", "true"]
                )
            )
            if base == "obj":
                base = draw(st.sampled_from(types))
            elif base == "vec":
                base = f"Vector<{draw(st.sampled_from(types))}>"
            if base == "true" or (has_flags and draw(st.booleans())):
                field = "flags2" if has_flags2 and draw(st.booleans()) else "flags"
                if not has_flags:
                    params.insert(0, {"name": "flags", "type": "#"})
                    has_flags = True
                base = f"{field}.{draw(st.integers(0, 31))}?{base}"
            params.append({"name": f"p{j}", "type": base})
        entries.append(
            {
                "id": str(ident - 2**32 if ident >= 2**31 else ident),
                "predicate": name,
                "params": params,
                "type": types[i],
            }
        )
    leaf = {"id": "0", "predicate": "leaf_", "params": [], "type": types[0]}  # ends recursion
    split = draw(st.integers(0, count))
    return {"constructors": [leaf] + entries[:split], "methods": entries[split:]}


def schema_text(schema):
    return json.dumps(schema)
