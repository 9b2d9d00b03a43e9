"""Fuzzes TLParser.pack with dictionaries built from the fuzz input.

The input picks a schema (the real one, the kitchen sink, one built from the input, or WIDE: int128,
int256 and bare types in every place) and an entry, then fills the entry's fields with valid values
(int128/int256 at either end of their range or as bytes of their size, bare objects with or
without "_") or, where it says so, with hostile ones: one past either end, bytes one short or one
long, a bare object's wrong "_", and common.hostile_value's wrong types, None, huge and negative
ints, odd subclasses, mappings that lie, self-containing containers, values whose conversion
raises, empties the list being packed, re-enters the parser or recompiles its tables.

Besides crashes and sanitizer reports, a finding is: an exception the module does not document;
a valid dict that pack refuses; a valid dict whose bytes do not unpack and pack back to the
same bytes; a parser that no longer packs a plain object correctly after a failed call.
"""

import sys

import atheris

import common
from common import Finding, check


REAL_TEXT = common.real_schema_text()
REAL = common.new_parser(REAL_TEXT) if REAL_TEXT is not None else None
SINK = common.new_parser(common.KITCHEN_SINK)
SINK_VALUES = common.Values(common.KITCHEN_SINK, parser=SINK)
REAL_VALUES = common.Values(common.json.loads(REAL_TEXT), parser=REAL) if REAL else SINK_VALUES
LEAF = bytes.fromhex("01000000")
# int128 and int256 wherever a kind stands (fields, optional fields, vectors, bare vectors) and bare
# objects by name and by %Type, alone and in vectors: the values of common.wide_value and of
# Values.bare (with and without "_", a wrong "_") reach all of them here.
WIDE = {
    "constructors": [
        common.entry(1, "leaf", "Leaf"),
        common.entry(2, "point", "Point", ("x", "int128"), ("y", "int256")),
        common.entry(
            3,
            "wide",
            "Wide",
            ("flags", "#"),
            ("a", "int128"),
            ("b", "int256"),
            ("c", "flags.0?int128"),
            ("d", "flags.1?int256"),
            ("va", "Vector<int128>"),
            ("vb", "vector<int256>"),
            ("p", "%Point"),
            ("q", "point"),
            ("ps", "vector<%Point>"),
            ("qs", "Vector<%Point>"),
        ),
        common.entry(4, "pair", "Pair", ("l", "%Point"), ("r", "Wide"), ("w", "vector<%Wide>")),
    ]
}
WIDE_PARSER = common.new_parser(WIDE)
WIDE_VALUES = common.Values(WIDE, parser=WIDE_PARSER)


def still_works(parser):
    """A parser that failed a call must pack the plain leaf as before."""
    try:
        out = parser.pack({"_": "leaf"})
    except Exception as exc:
        raise Finding(f"parser unusable after a failed pack: {exc!r}") from exc
    if out != LEAF:
        raise Finding(f"parser packs the leaf as {out.hex()} after a failed pack")


def extra_keys(fdp, d):
    """Keys that name no parameter: pack ignores them. Some are not str (a str subclass, an int,
    a key hashing like a parameter's name whose __eq__ empties the dict), some are many, so that
    the dict is read key by key instead of in one walk."""
    pick = fdp.ConsumeIntInRange(0, 5)
    if pick == 0:
        d["flags" if fdp.ConsumeBool() else "no_such_field"] = common.hostile_value(fdp, None, 3)
    elif pick == 1:
        d[common.StrSub("no_such_field")] = 1
    elif pick == 2:
        d[5] = None
    elif pick == 3:
        for i in range(fdp.ConsumeIntInRange(1, 200)):
            d[f"junk{i}"] = i
    elif pick == 4 and any(type(k) is str and k != "_" for k in d):
        target = fdp.PickValueInList(sorted((k for k in d if type(k) is str and k != "_"), key=str))
        if fdp.ConsumeBool():
            d[common.Collider(target)] = 0
            return True
        d[common.Collider(target, d.clear)] = 0
        return False
    return True


def wrap(fdp, d):
    """The top-level value: the dict itself or another documented form of it, with ignored extra
    keys now and then, or (then it is no longer valid) a field that empties the dict mid-pack."""
    valid = True
    if fdp.ConsumeIntInRange(0, 3) == 0:
        valid = extra_keys(fdp, d)
    if any(type(k) is str and k != "_" for k in d) and fdp.ConsumeIntInRange(0, 9) == 0:
        key = fdp.PickValueInList(sorted((k for k in d if type(k) is str and k != "_"), key=str))
        d[key] = common.Mutator(d.clear if fdp.ConsumeBool() else lambda: d.update({"_": "tree"}))
        valid = False
    form = fdp.ConsumeIntInRange(0, 7)
    if form == 1:
        return common.DictSub(d), valid
    if form == 2:
        return common.Mapping(d), valid
    if form == 3:
        return common.LyingDict(d), valid
    return d, valid


def pack(parser, values, fdp, hostile, stable):
    e = values.pick_entry(fdp)
    if e is None:
        return True
    d, valid = values.obj(fdp, e, hostile)
    value, plain = wrap(fdp, d)
    valid = valid and plain and stable
    try:
        out = parser.pack(value)
    except Exception as exc:
        if valid:
            raise Finding(f"pack refused a valid dict: {exc!r}\n{d!r}") from exc
        check(exc)
        return False
    if type(out) is not bytes or len(out) % 4:
        raise Finding(f"pack returned {type(out).__name__} of length {len(out)}")
    try:
        again = parser.pack(parser.unpack(out))
    except Exception as exc:
        if valid:
            raise Finding(f"the bytes of a valid dict do not unpack: {exc!r}\n{out.hex()}") from exc
        check(exc)
        return True
    if valid and again != out:
        raise Finding(f"pack(unpack(pack(d))) != pack(d):\n{out.hex()}\n{again.hex()}\n{d!r}")
    return True


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 5)
    if mode == 0:
        parser = REAL or SINK
        if not pack(parser, REAL_VALUES, fdp, fdp.ConsumeBool(), stable=True) and parser is SINK:
            still_works(SINK)
    elif mode == 1:
        if not pack(SINK, SINK_VALUES, fdp, fdp.ConsumeBool(), stable=True):
            still_works(SINK)
    elif mode == 2:
        schema, parser = common.parser_from(fdp)
        if parser is None:
            return
        values = common.Values(schema, parser=parser)
        values.disposable = True
        pack(parser, values, fdp, fdp.ConsumeBool(), stable=False)
    elif mode == 3:
        parser = common.new_parser(common.KITCHEN_SINK)
        values = common.Values(common.KITCHEN_SINK, parser=parser)
        values.disposable = True
        pack(parser, values, fdp, True, stable=False)
    elif mode == 5:
        if not pack(WIDE_PARSER, WIDE_VALUES, fdp, fdp.ConsumeBool(), stable=True):
            still_works(WIDE_PARSER)
    else:
        value = common.hostile_value(fdp, SINK_VALUES, 0, SINK)
        try:
            SINK.pack(value)
        except Exception as exc:
            check(exc)
            still_works(SINK)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
