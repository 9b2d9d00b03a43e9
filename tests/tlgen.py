"""Hypothesis strategies driven by a schema: valid object dicts, and random schemas."""
import json
from collections import defaultdict

from hypothesis import strategies as st

from support import condition, element_text, entry_name, kind_of

TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=20)
PRIMITIVES = {
    "int": st.integers(0, 2**32 - 1),
    "long": st.integers(0, 2**64 - 1),
    "double": st.floats(allow_nan=False),
    "string": TEXT | st.text(st.characters(exclude_categories=("Cs",)), min_size=250, max_size=300),
    "bytes": st.binary(max_size=20) | st.binary(min_size=250, max_size=600),
    "bool": st.booleans(),
}


class SchemaValues:
    """Draws valid object dicts for the entries of one schema (a parsed schema JSON dict)."""

    def __init__(self, schema, max_depth=3, typed=False):
        entries = list(schema.get("constructors", [])) + list(schema.get("methods", []))
        by_id = {}
        for e in entries:
            by_id[int(e.get("id", 0)) & 0xFFFFFFFF] = e
        # Entries that decoding can reach: the last of each identifier.
        self.entries = [e for e in entries if by_id[int(e.get("id", 0)) & 0xFFFFFFFF] is e]
        reachable = {id(e) for e in self.entries}
        self.constructors = [e for e in schema.get("constructors", []) if id(e) in reachable]
        self.by_type = defaultdict(list)
        for e in self.constructors:
            self.by_type[e.get("type", "")].append(e)
        self.leaves = [e for e in self.constructors
                       if all(kind_of(p["type"]) not in ("object", "vector") for p in e.get("params", []))]
        self.leaf_ids = {id(e) for e in self.leaves}
        self.max_depth = max_depth
        # typed: every nested object is of the type its place declares (as strict pack checks),
        # when the schema has one; below max_depth, of its constructors with the fewest objects.
        self.typed = typed
        self._values = {}
        self._objects = {}

    name = staticmethod(entry_name)

    def value(self, kind, text, depth):
        key = (kind, text, depth)
        if key not in self._values:
            self._values[key] = self._value(kind, text, depth)
        return self._values[key]

    def _value(self, kind, text, depth):
        if kind in PRIMITIVES:
            return PRIMITIVES[kind]
        if kind == "vector":
            inner = element_text(text)
            ikind = kind_of(inner)
            if ikind == "vector":  # only "Vector t"-like texts stay vectors
                return st.just([])
            return st.lists(self.value(ikind, inner, depth + 1), max_size=3 if depth < self.max_depth else 0)
        of_type = self.by_type.get(text.split("?")[-1].lstrip("!"), [])
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
        return sum(kind_of(p["type"]) in ("object", "vector") and not condition(p["type"])
                   for p in e.get("params", []))

    def obj(self, e, depth=0):
        key = (id(e), depth)
        if key not in self._objects:
            self._objects[key] = self._obj(e, depth)
        return self._objects[key]

    def _obj(self, e, depth):
        params = e.get("params", [])
        groups = {condition(p["type"]) for p in params if condition(p["type"])}
        # Deep down a typed value leaves its optional parts out, so that it ends.
        present = st.just(False) if self.typed and depth > self.max_depth else st.booleans()
        return st.fixed_dictionaries(dict.fromkeys(groups, present)).flatmap(
            lambda present: self._fill(e, params, present, depth))

    def _fill(self, e, params, present, depth):
        key = (id(e), depth, tuple(sorted(present.items())))
        if key not in self._objects:
            self._objects[key] = self._fill_uncached(e, params, present, depth)
        return self._objects[key]

    def _fill_uncached(self, e, params, present, depth):
        fields = {"_": st.just(self.name(e))}
        for p in params:
            if p["name"] in ("flags", "flags2"):
                continue
            kind = kind_of(p["type"])
            cond = condition(p["type"])
            if cond and not present[cond]:
                fields[p["name"]] = st.just(False if kind == "bool" else None)
            elif cond and kind == "bool":
                fields[p["name"]] = st.just(True)
            else:
                fields[p["name"]] = self.value(kind, p["type"], depth)
        return st.fixed_dictionaries(fields)


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
            base = draw(st.sampled_from(PLAIN_TYPES + ["Vector<int>", "Vector<string>", "Vector<long>",
                                                      "Vector<Vector<int>>", "obj", "vec", "true"]))
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
        entries.append({"id": str(ident - 2**32 if ident >= 2**31 else ident), "predicate": name,
                        "params": params, "type": types[i]})
    leaf = {"id": "0", "predicate": "leaf_", "params": [], "type": types[0]}  # ends recursion
    split = draw(st.integers(0, count))
    return {"constructors": [leaf] + entries[:split], "methods": entries[split:]}


def schema_text(schema):
    return json.dumps(schema)
