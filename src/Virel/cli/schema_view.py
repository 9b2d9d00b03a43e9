"""A schema file as the codec compiled it: the parser, and a view of its entries for display.

The compiled tables live in the native module and are not visible from Python, so the view is
read from the same JSON by the compiler's own rules, and only once the compiler has accepted it:

* entries are the constructors, then the methods, in order;
* the name is "predicate", else "method", else "type", else "" (the first key present), and ends
  at its first NUL character;
* the result type is "type", or the name when "type" is absent, null or empty;
* the id is "id" (0 when absent) as an integer, taken modulo 2**32 (decimal text is read as
  its number, so "-1" is 0xffffffff);
* a parameter is its "name" and its type expression; the kind of the expression is that of the
  text between its first and second "?" (int, #, long, double, string, bytes, byte, Bool, true,
  Vector..., anything else an object); a vector's elements are what is left after every
  "Vector<" and then every ">" is removed;
* when two entries share an id, unpack reads the id as the later one; when they share a name,
  pack writes the later one.

tests/test_cli.py checks this view against what the compiled parser does, entry by entry, on the
real layers.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

from .. import tl_text
from .errors import Failure, UsageError, describe
from .inputs import read_file

KINDS = {"int": "int", "#": "int", "long": "long", "double": "double", "string": "string",
         "bytes": "bytes", "byte": "bytes", "Bool": "bool", "true": "bool"}
SIZES = {"int": 4, "long": 8, "double": 8, "bool": 4}
FLAGS_WORDS = ("flags", "flags2")


def proper(expr: str) -> str:
    """The type proper of an expression: the text between its first and second '?'."""
    return expr.split("?")[1] if "?" in expr else expr


def kind_of(expr: str) -> str:
    """int, long, double, string, bytes, bool, vector or object."""
    t = proper(expr)
    if t in KINDS:
        return KINDS[t]
    return "vector" if t.startswith("Vector") else "object"


def strip_vector(text: str) -> str:
    """A vector's element text: every "Vector<" removed (one pass, left to right), then every '>'."""
    return text.replace("Vector<", "").replace(">", "")


def element_kinds(expr: str) -> tuple[list[str], bool]:
    """Kinds of a vector's elements, outermost first, and whether the last one nests in itself
    (a text that strips to itself, such as "Vector t", is a vector of vectors at any depth)."""
    text, kinds = strip_vector(expr), []
    while True:
        kinds.append(kind_of(text))
        if kinds[-1] != "vector":
            return kinds, False
        nxt = strip_vector(text)
        if nxt == text:
            return kinds, True
        text = nxt


def condition(expr: str) -> tuple[str, int] | None:
    """(flags word, bit) that makes a parameter optional, or None. A condition without a dot
    is bit 0 of flags; any field other than flags2 means flags; bits count modulo 32."""
    if "?" not in expr:
        return None
    cond = expr.split("?")[0]
    if "." not in cond:
        return ("flags", 0)
    field, bit = cond.split(".", 1)
    return ("flags2" if field == "flags2" else "flags", int(bit) & 31)


def entry_name(raw: dict) -> str:
    """An entry's name: "predicate", else "method", else "type", else "" (the first key present),
    up to its first NUL character."""
    name = next((raw[k] for k in ("predicate", "method", "type") if k in raw), "")
    return name.split("\0", 1)[0]


@dataclass(frozen=True)
class Entry:
    index: int  # position among all entries, constructors first
    kind: str  # "constructor" or "method"
    name: str
    id: int  # unsigned 32-bit
    result: str
    params: tuple[tuple[str, str], ...]


def read_entries(data: dict) -> list[Entry]:
    """The entries of schema data that the compiler accepted, by the compiler's rules."""
    out: list[Entry] = []
    for kind, key in (("constructor", "constructors"), ("method", "methods")):
        for raw in list(data.get(key) or ()):
            name = entry_name(raw)
            result = raw.get("type") or name
            ident = int(raw.get("id", 0)) & 0xFFFFFFFF
            params = tuple((p["name"], p["type"]) for p in raw.get("params") or ())
            out.append(Entry(len(out), kind, name, ident, result, params))
    return out


class SchemaView:
    def __init__(self, entries: list[Entry]):
        self.entries = entries
        self.by_id = {e.id: e for e in entries}  # later entries win, as in the compiled maps
        self.by_name = {e.name: e for e in entries}

    def shadowed(self, e: Entry) -> list[str]:
        """Why `e` is not what pack or unpack reach, in words (empty when it is both)."""
        notes = []
        later = self.by_id[e.id]
        if later is not e:
            notes.append(f"unpack reads id 0x{e.id:08x} as the later {later.kind} {later.name}")
        later = self.by_name[e.name]
        if later is not e:
            notes.append(f"pack writes the name {e.name!r} as the later {later.kind} "
                         f"(id 0x{later.id:08x})")
        return notes


def carried(name: str, expr: str) -> str:
    """How a parameter travels on the wire, in words."""
    if name in FLAGS_WORDS:
        return "flags word, 4 bytes (pack computes it)"
    cond = condition(expr)
    kind = kind_of(expr)
    prefix = ""
    if cond is not None:
        field, bit = cond
        if kind == "bool":
            return f"bit {bit} of {field}, no data (true when set)"
        prefix = f"if bit {bit} of {field}: "
    if kind == "vector":
        kinds, endless = element_kinds(expr)
        if endless:
            return f"{prefix}{'vector of ' * len(kinds)}vectors, to any depth"
        return f"{prefix}{'vector of ' * (len(kinds) - 1)}vector of {kinds[-1]}"
    if kind in SIZES:
        return f"{prefix}{kind}, {SIZES[kind]} bytes"
    if proper(expr) in ("int128", "int256"):  # not primitives to the codec
        return f"{prefix}object (the codec has no {proper(expr)} primitive)"
    return f"{prefix}{kind}"


def parse_id(text: str) -> int | None:
    """0x1cb5c415, #1cb5c415, decimal or negative decimal -> unsigned id; None for a name."""
    t = text.strip()
    try:
        if t[:2].lower() == "0x" or t[:1] == "#":
            n = int(t[2:] if t[0] == "0" else t[1:], 16)
        elif t.lstrip("-").isdigit():
            n = int(t, 10)
        else:
            return None
    except ValueError:
        raise UsageError(f"bad id {text!r}: write it as 0x1cb5c415, 481674261 or -1132882121") from None
    if not -(2**31) <= n < 2**32:
        raise UsageError(f"id {text!r} does not fit in 32 bits")
    return n & 0xFFFFFFFF


def _signed(n: int) -> int:
    return n - 2**32 if n >= 2**31 else n


def format_entry(view: SchemaView, e: Entry) -> str:
    lines = [
        f"{e.name}#{e.id:08x}  ({e.kind})",
        f"  id:     0x{e.id:08x}  ({_signed(e.id)})",
        f"  result: {e.result}",
    ]
    if not e.params:
        lines.append("  params: none")
    else:
        lines.append(f"  params: {len(e.params)}")
        wn = max(len(n) for n, _ in e.params)
        wt = max(len(t) for _, t in e.params)
        for name, ptype in e.params:
            lines.append(f"    {name:<{wn}}  {ptype:<{wt}}  {carried(name, ptype)}")
    lines += [f"  note:   {text}" for text in view.shadowed(e)]
    return "\n".join(lines)


def _tl_module():
    try:
        from .. import tl
    except ImportError as exc:
        raise Failure(f"the native module Virel.tl cannot be loaded (is the package built?): {exc}") from exc
    return tl


class Schema:
    """A schema file: its JSON text, the parser compiled from it, and the view of its entries."""

    def __init__(self, path: str):
        self.path = path
        self.layer = None
        raw = read_file(path, "schema")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise Failure(f"bad schema {path}: not UTF-8 text (byte {exc.start})") from None
        self.is_tl = path.lower().endswith(".tl")
        self.data = None
        if self.is_tl:
            try:
                conv = tl_text.parse(text)
            except tl_text.TLTextError as exc:
                raise Failure(f"bad schema {path}: {exc}") from None
            self.data = conv.schema
            self.layer = conv.layer
            self.text = tl_text.to_json(conv.schema, compact=True)
        else:
            self.text = text
        self._parser = None
        self._modes = (False, False)
        self._view = None

    def parser(self, strict: bool = False, signed: bool = False):
        """The parser of this schema, in the modes asked for (TLParser's strict and signed)."""
        if self._parser is None or self._modes != (strict, signed):
            TLParser = _tl_module().TLParser
            try:
                self._parser = TLParser(self.text, strict=strict, signed=signed)
            except (TypeError, ValueError, KeyError, AttributeError, OverflowError) as exc:
                raise Failure(f"bad schema {self.path}: {describe(exc)}") from exc
            self._modes = (strict, signed)
        return self._parser

    def view(self) -> SchemaView:
        if self._view is None:
            self.parser()  # a schema the compiler refuses is reported as the compiler sees it
            data = self.data if self.data is not None else json.loads(self.text)
            self._view = SchemaView(read_entries(data))
        return self._view
