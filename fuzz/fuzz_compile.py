"""Fuzzes the schema compiler: TLSchemaCompiler().compile(...) and TLParser(...).

An input that begins with "{" is JSON text: it is compiled and, when that works, the parser
packs and unpacks every entry. Any other input picks one of four shapes:
  0: arbitrary text, compiled as JSON text;
  1: an arbitrary JSON-able value; compiling it and compiling its JSON text must end alike;
  2: schema-shaped dicts with odd identifiers, names and type expressions built from tokens;
     when they compile, the parser packs and unpacks every entry, is recompiled with another
     schema through its own compiler, and packs and unpacks again;
  3: the same with hostile Python objects inside: subclasses, identifiers whose __int__ changes
     the schema or compiles again, dict keys whose __eq__ runs code during look-ups.

Besides crashes and sanitizer reports, a finding is an exception the module does not document,
or the two compiles of shape 1 ending differently.
"""

import json
import sys

import atheris

import common
from common import Finding, check

from Virel.tl import TLSchemaCompiler

TOKENS = [
    "Vector",
    "<",
    ">",
    "Vector<",
    "flags",
    "flags2",
    ".",
    "?",
    "#",
    "int",
    "long",
    "double",
    "string",
    "bytes",
    "byte",
    "Bool",
    "true",
    "!",
    "X",
    "T",
    "t",
    " ",
    "0",
    "1",
    "31",
    "32",
    "-",
    "+",
    "_",
    "\x00",
    "\ud800",
    "é",
    "\u0663",
    "99999999999",
    "%s",
    "Vector t",
    "T0",
]
IDS = [
    0,
    1,
    -1,
    "1",
    "-1",
    " 12 ",
    "0x10",
    "1_0",
    "\u0663",
    "-0",
    "+5",
    "",
    "abc",
    "\ud800",
    2**31,
    -(2**31),
    2**32 - 1,
    2**32,
    -(2**32),
    -(2**32) - 1,
    2**100,
    -(2**100),
    "4294967295",
    "-4294967295",
    "4294967296",
    "-4294967296",
    "99999999999",
    "00000000001",
    1.5,
    -1.5,
    float("nan"),
    float("inf"),
    True,
    None,
    [],
    {},
]
NAMES = [
    "",
    "a",
    "leaf",
    "leaf\x00x",
    "\x00",
    "\ud800",
    "é",
    "flags",
    "flags2",
    "_",
    "Vector",
    "x" * 300,
    None,
    5,
    b"leaf",
]


def outcome(call):
    try:
        call()
    except Exception as exc:
        check(exc)
        return type(exc)
    return None


def json_shape(fdp, depth=0):
    pick = fdp.ConsumeIntInRange(0, 11 if depth < 4 else 6)
    if pick == 0:
        return None
    if pick == 1:
        return fdp.ConsumeBool()
    if pick == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20))
    if pick == 3:
        return fdp.ConsumeFloat()
    if pick == 4:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20))
    if pick == 5:
        return fdp.PickValueInList(TOKENS)
    if pick == 6:
        return fdp.PickValueInList(IDS[:-3])  # JSON-able ones
    if pick <= 8:
        return [json_shape(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    keys = ["constructors", "methods", "id", "predicate", "method", "type", "params", "name"]
    out = {}
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        key = fdp.PickValueInList(keys) if fdp.ConsumeIntInRange(0, 5) else fdp.ConsumeUnicode(4)
        out[key] = json_shape(fdp, depth + 1)
    return out


def type_expr(fdp):
    pick = fdp.ConsumeIntInRange(0, 15)
    if pick == 0:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if pick == 1:
        # Long texts: a few tokens repeated thousands of times ("Vector" * k + "<" * k nests k
        # levels), so that compile cost that grows faster than the text shows up as a timeout.
        parts = [
            fdp.PickValueInList(TOKENS) * fdp.ConsumeIntInRange(1, 20000) for _ in range(fdp.ConsumeIntInRange(1, 3))
        ]
        return "".join(parts)
    return "".join(fdp.PickValueInList(TOKENS) for _ in range(fdp.ConsumeIntInRange(0, 8)))


class Id:
    """An identifier whose conversion runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return self.value

    __index__ = __int__


def schema_shaped(fdp, hostile, compiler=None):
    entries = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        e = {}
        for key in ("id", "predicate", "method", "type", "params"):
            if fdp.ConsumeIntInRange(0, 4) == 0:
                continue
            if key == "id":
                e[key] = fdp.PickValueInList(IDS) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 2**32 - 1)
            elif key == "params":
                params = []
                for _ in range(fdp.ConsumeIntInRange(0, 5)):
                    p = {
                        "name": fdp.PickValueInList(NAMES)
                        if fdp.ConsumeIntInRange(0, 3) == 0
                        else fdp.PickValueInList(["flags", "flags2", "a", "b", "c"]),
                        "type": type_expr(fdp),
                    }
                    if fdp.ConsumeIntInRange(0, 9) == 0:
                        del p[fdp.PickValueInList(["name", "type"])]
                    params.append(p)
                e[key] = params
            elif key == "type":
                e[key] = fdp.PickValueInList(["T", "T0", "Bool", "", None, 5])
            else:
                e[key] = (
                    fdp.PickValueInList(NAMES)
                    if fdp.ConsumeIntInRange(0, 3) == 0
                    else fdp.PickValueInList(["leaf", "a", "b", "c"])
                )
        entries.append(e)
        if hostile:
            hostile_touch(fdp, e, entries, compiler)
    split = fdp.ConsumeIntInRange(0, len(entries))
    schema = {"constructors": entries[:split], "methods": entries[split:]}
    if hostile:
        shape = fdp.ConsumeIntInRange(0, 6)
        if shape == 1:
            schema["methods"] = (m for m in entries[split:])
        elif shape == 2:
            schema["methods"] = tuple(entries[split:])
        elif shape == 3:
            schema["constructors"] = tuple(entries[:split])
        elif shape == 4:
            schema["methods"] = {"a": 1}
        elif shape == 5:
            schema = common.DictSub(schema)
    return schema


def hostile_touch(fdp, e, entries, compiler):
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0:
        e["id"] = Id(fdp.ConsumeIntInRange(0, 2**32 - 1), e.clear)
    elif pick == 1:
        e["id"] = Id(7, lambda: isinstance(e.get("params"), list) and e["params"].clear())
    elif pick == 2 and compiler is not None:
        e["id"] = Id(8, lambda: expect_refused(compiler))
    elif pick == 3:
        e["id"] = Id(9, entries.clear)
    elif pick == 4:
        e["id"] = common.Boom()
    elif pick == 5:
        e[common.Collider("params", e.clear)] = 1
    elif pick == 6 and isinstance(e.get("params"), list) and e["params"]:
        p = e["params"][0]
        p[common.Collider("type", p.clear)] = 1
    elif pick == 7:
        e["predicate"] = common.StrSub("leaf")
    elif pick == 8 and isinstance(e.get("params"), list):
        e["params"] = common.ListSub(e["params"]) if fdp.ConsumeBool() else tuple(e["params"])
    elif pick == 9 and isinstance(e.get("params"), list):
        e["params"].append(common.DictSub(name="a", type="int"))


RUNNING = []  # the compiler whose compile the harness is running, if any


def expect_refused(compiler):
    """Compiles again on `compiler` from inside an identifier's conversion: refused while that
    compiler is the one running (when the conversion runs inside a TLParser's own compiler, the
    second compile simply works)."""
    try:
        compiler.compile({"constructors": []})
    except RuntimeError:
        return
    if compiler in RUNNING:
        raise Finding("a nested compile on a busy compiler was not refused")


def exercise(parser, schema, fdp):
    """Packs and unpacks every entry of a schema that compiled; nothing may go undocumented."""
    names = []
    for part in ("constructors", "methods"):
        items = schema.get(part) if isinstance(schema, dict) else None
        if isinstance(items, list):
            names += [e.get("predicate", e.get("method", e.get("type"))) for e in items if isinstance(e, dict)]
    for name in names[:8]:
        try:
            out = parser.pack({"_": name})
        except Exception as exc:
            check(exc)
            continue
        outcome(lambda: parser.unpack(out))
        outcome(lambda: parser.unpack(out + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32))))
    outcome(lambda: parser.unpack(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))))


def TestOneInput(data):
    if data[:1] == b"{":
        # JSON text as it is (the seeds are real schemas); bytes that are not UTF-8 become lone
        # surrogates.
        text = data.decode("utf-8", "surrogateescape")
        try:
            parser = common.new_parser(text)
        except Exception as exc:
            check(exc)
            return
        exercise(parser, json.loads(text), atheris.FuzzedDataProvider(data[-64:]))
        return
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 3)
    if mode == 0:
        text = fdp.ConsumeUnicode(fdp.remaining_bytes())
        outcome(lambda: TLSchemaCompiler().compile(text))
    elif mode == 1:
        value = json_shape(fdp)
        text = json.dumps(value)
        compiler = TLSchemaCompiler()
        first = outcome(lambda: compiler.compile(value))
        second = outcome(lambda: TLSchemaCompiler().compile(text))
        # Text is JSON text to compile, so only a non-str value must compile as its dump does.
        if first is not second and not isinstance(value, str):
            raise Finding(f"compile of a dict ({first}) and of its JSON text ({second}) differ:\n{text}")
        outcome(lambda: compiler.compile(text))  # a second compile on the same compiler
    else:
        hostile = mode == 3
        compiler = TLSchemaCompiler()
        schema = schema_shaped(fdp, hostile, compiler)
        if hostile and fdp.ConsumeBool():
            RUNNING.append(compiler)
            try:
                outcome(lambda: compiler.compile(schema))
            finally:
                RUNNING.clear()
            return
        try:
            parser = common.new_parser(schema)
        except Exception as exc:
            check(exc)
            return
        exercise(parser, schema, fdp)
        if fdp.ConsumeBool():
            other = schema_shaped(fdp, False)
            if outcome(lambda: common.recompile(parser, other)) is None or fdp.ConsumeBool():
                exercise(parser, schema, fdp)
                exercise(parser, other, fdp)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
