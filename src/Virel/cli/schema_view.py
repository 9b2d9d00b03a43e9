"""A schema file as the codec compiled it: the parser, and a view of its entries for display.

The entries are what the compiler itself made of the JSON (``TLSchemaCompiler.entries()``): ids,
names, result types and every parameter's kind, condition and vector levels, by the codec's own
rules. Only what the compiled tables do not hold is taken from the JSON: whether an entry was a
constructor or a method (constructors come first). When two entries share an id, unpack reads
the id as the later one; when they share a name, pack writes the later one.

The text helpers below (``kind_of``, ``condition``, ``strip_vector``, ``entry_name``) state the
same rules for code that reads schema JSON without compiling it (``stubs``, the fuzz
harnesses); tests/test_cli.py checks them against the compiler on the real layers.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

from .. import tl_text
from .errors import Failure, UsageError, describe, shown
from .inputs import read_file

KINDS = {
    "int": "int",
    "#": "int",
    "long": "long",
    "double": "double",
    "string": "string",
    "bytes": "bytes",
    "byte": "bytes",
    "Bool": "bool",
    "true": "bool",
    "int128": "int128",
    "int256": "int256",
}
SIZES = {"int": 4, "long": 8, "double": 8, "bool": 4, "int128": 16, "int256": 32}
_CONSTRUCTOR_NAME = re.compile(r"^(?:[A-Za-z0-9_]+\.)*[a-z][A-Za-z0-9_]*$")
FLAGS_WORDS = ("flags", "flags2")
VECTOR_LETTERS = list("Vector")


def proper(expr: str) -> str:
    """The type proper of an expression: the text between its first and second '?'."""
    return expr.split("?")[1] if "?" in expr else expr


def kind_of(expr: str) -> str:
    """int, long, double, string, bytes, bool, int128, int256, vector, bare (a bare object or
    vector) or object."""
    t = proper(expr)
    if t in KINDS:
        return KINDS[t]
    if t.startswith("Vector"):
        return "vector"
    return "bare" if t.startswith(("vector<", "%")) or _CONSTRUCTOR_NAME.match(t) else "object"


def strip_vector(text: str) -> str:
    """A vector's element text: every "Vector<" removed (one pass, left to right), then every '>'."""
    return text.replace("Vector<", "").replace(">", "")


def removal_passes(text: str) -> list[int]:
    """For each character of `text`, the pass of `text.replace("Vector<", "")`, repeated until
    nothing changes, that removes it (1 for the first pass; 0 when no pass does).

    One scan, as when matching brackets. The characters still standing are stacked, each with
    the last pass among the removals between it and the next; a "Vector<" whose '<' meets the
    rest of it on top of the stack goes one pass after the last removal inside it. (A pass
    removes every "Vector<" the text holds at once: no two of them can overlap.)"""
    passes = [0] * len(text)
    standing: list[int] = []  # indices
    letters: list[str] = []  # their characters
    after: list[int] = []  # after[j]: the last pass among the removals right after standing[j]
    done = 0  # text[:done] has been scanned
    while (i := text.find("<", done)) >= 0:
        if i > done:
            standing.extend(range(done, i))
            letters.extend(text[done:i])
            after.extend([0] * (i - done))
        done = i + 1
        if letters[-6:] == VECTOR_LETTERS:
            p = max(after[-6:]) + 1
            for j in standing[-6:]:
                passes[j] = p
            passes[i] = p
            del standing[-6:], letters[-6:], after[-6:]
            if after and after[-1] < p:
                after[-1] = p
        else:
            standing.append(i)
            letters.append("<")
            after.append(0)
    return passes


def kind_words() -> dict[int, str]:
    """The word for each of the module's kind codes."""
    tl = _tl_module()
    return {
        tl.TL_INT: "int",
        tl.TL_LONG: "long",
        tl.TL_DOUBLE: "double",
        tl.TL_STRING: "string",
        tl.TL_BYTES: "bytes",
        tl.TL_BOOL: "bool",
        tl.TL_VECTOR: "vector",
        tl.TL_OBJECT: "object",
        tl.TL_INT128: "int128",
        tl.TL_INT256: "int256",
        tl.TL_BARE_OBJECT: "bare object",
        tl.TL_BARE_VECTOR: "bare vector",
    }


def element_kinds(expr: str) -> tuple[list[str], bool]:
    """Kinds of a vector's elements, outermost first, and whether the last one nests in itself
    (a text that strips to itself, such as "Vector t", is a vector of vectors at any depth).

    The first level is the text stripped once (strip_vector); each later one is the level above
    with its "Vector<" removed (no '>' is left), so one scan tells when each character goes
    (removal_passes) and no level is built. The levels stop changing after the last pass; a
    level is a vector while the first six characters of its type proper spell "Vector", and
    they stay the same until a pass takes one of them."""
    text = strip_vector(expr)  # the first level; no '>' is left
    passes = removal_passes(text)
    last = max(passes, default=0)  # the levels after it are all the same text
    start, end = 0, len(text)  # the type proper: between the first and the second '?'
    if "?" in text:
        start = text.index("?") + 1
        second = text.find("?", start)
        end = second if second >= 0 else len(text)
    chars, own = text[start:end], passes[start:end]
    rest = iter(range(len(chars)))  # the characters of the type proper not looked at yet
    head: list[int] = []  # the first six of them still standing
    level = 1  # level k has been through k - 1 passes
    while True:
        head = [i for i in head if not 0 < own[i] < level]
        if len(head) < 6:
            for i in rest:
                if not 0 < own[i] < level:
                    head.append(i)
                    if len(head) == 6:
                        break
        if "".join([chars[i] for i in head]) != "Vector":
            proper_text = "".join([c for c, p in zip(chars, own) if not 0 < p < level])
            return ["vector"] * (level - 1) + [kind_of(proper_text)], False
        # The levels agree up to the next pass that takes a character of the head.
        level = min([own[i] + 1 for i in head if own[i]], default=last + 2)
        if level > last + 1:
            return ["vector"] * (last + 1), True  # the last level strips to itself


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
    params: tuple  # of Virel.tl.TLParam


def read_entries(data: dict) -> list[Entry]:
    """The entries of schema data that the compiler accepted, as it compiled them."""
    # Names and texts as the compiler keeps them (cut at a NUL; "flags\0x" is a flags word).
    # Departure D25: see ARCHITECTURE.md, "Departures".
    compiler = _tl_module().TLSchemaCompiler()
    compiler.compile(data)
    constructors = len(data.get("constructors") or ())
    return [
        Entry(i, "constructor" if i < constructors else "method", e.name, e.id, e.result_type, e.params)
        for i, e in enumerate(compiler.entries())
    ]


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
            notes.append(f"pack writes the name {e.name!r} as the later {later.kind} (id 0x{later.id:08x})")
        return notes


def carried(param, words: dict[int, str] | None = None) -> str:
    """How a compiled parameter (a Virel.tl.TLParam) travels on the wire, in words."""
    words = words or kind_words()
    if param.flags_word:
        return "flags word, 4 bytes (pack computes it)"
    kind = words[param.kind]
    prefix = ""
    if param.is_conditional:
        field, bit = "flags2" if param.flag_field == 1 else "flags", param.flag_bit & 31
        if kind == "bool":
            return f"bit {bit} of {field}, no data (true when set)"
        prefix = f"if bit {bit} of {field}: "
    if kind in ("vector", "bare vector"):
        prefix += "bare " if kind == "bare vector" else ""
        kinds, endless = vector_levels(param.element, words)
        if endless:
            return f"{prefix}{'vector of ' * len(kinds)}vectors, to any depth"
        return f"{prefix}{'vector of ' * (len(kinds) - 1)}vector of {kinds[-1]}"
    if kind in SIZES:
        return f"{prefix}{kind}, {SIZES[kind]} bytes"
    return f"{prefix}{kind}"


def vector_levels(levels, words: dict[int, str]) -> tuple[list[str], bool]:
    """Kinds of a vector's elements from its compiled levels, outermost first, and whether the last
    one nests in itself. The compiler stops early on a very deep text: the levels below its last
    follow from that level's text (element_kinds, in one scan)."""
    kinds = [words[level.kind] for level in levels]
    last = levels[-1]
    if kinds[-1] != "vector" or last.endless:
        return kinds, last.endless
    deeper, endless = element_kinds(last.type_name)
    return kinds + deeper, endless


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
        names = [shown(p.name) for p in e.params]
        types = [shown(p.type_name) for p in e.params]
        wn, wt = max(map(len, names)), max(map(len, types))
        words = kind_words()
        for p, name, text in zip(e.params, names, types):
            lines.append(f"    {name:<{wn}}  {text:<{wt}}  {carried(p, words)}")
    lines += [f"  note:   {text}" for text in view.shadowed(e)]
    # A name or type text is shown escaped: a schema cannot forge lines or move the cursor.
    return "\n".join(map(shown, lines))


def _tl_module():
    try:
        from .. import tl
    except ImportError as exc:
        raise Failure(f"the native module Virel.tl cannot be loaded (is the package built?): {exc}") from exc
    return tl


BUNDLED_LABEL = "the bundled schemas"


@dataclass
class Source:
    """One schema the command line was given: a file, or a bundled schema."""

    label: str  # what messages call it: the path, or the bundled schema's name
    text: str | None  # JSON text as read (files only)
    data: dict | None  # schema data (TL text converted, bundled schemas)
    layer: int | None
    is_tl: bool

    def schema_data(self) -> dict:
        if self.data is None:
            self.data = json.loads(self.text)
        return self.data


def read_source(path: str) -> Source:
    raw = read_file(path, "schema")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise Failure(f"bad schema {path}: not UTF-8 text (byte {exc.start})") from None
    if not path.lower().endswith(".tl"):
        return Source(path, text, None, None, False)
    try:
        conv = tl_text.parse(text)
    except tl_text.TLTextError as exc:
        raise Failure(f"bad schema {path}: {exc}") from None
    return Source(path, None, conv.schema, conv.layer, True)


def bundled_sources() -> list[Source]:
    from .. import schemas

    return [
        Source("the bundled MTProto service schema", None, schemas.mtproto(), None, True),
        Source(f"the bundled API layer {schemas.LAYER}", None, schemas.api(), schemas.LAYER, True),
    ]


def _compiled(source_label: str, schema, **options):
    """The one place the command line builds a parser; options go to TLParser as they are."""
    try:
        return _tl_module().TLParser(schema, **options)
    except (TypeError, ValueError, KeyError, AttributeError, OverflowError) as exc:
        raise Failure(f"bad schema {source_label}: {describe(exc)}") from exc


def merge(sources: list[Source], warn) -> dict:
    """The entries of every source in order, a later entry taking the place of every earlier one
    of the same id (from another source); `warn` gets one line per pair of sources that clash."""
    merged: dict[str, list] = {"constructors": [], "methods": []}
    owners: list[tuple[str, list]] = []  # (label, [(key, entry), ...]) of the sources taken so far
    for source in sources:
        data = source.schema_data()
        compiled = read_entries(data)
        new_ids = {e.id for e in compiled}
        kept_owners = []
        for label, entries in owners:
            lost = [e for _, _, e in entries if e.id in new_ids]
            if lost:
                names = ", ".join(f"{e.name}#{e.id:08x}" for e in lost[:4])
                more = f" and {len(lost) - 4} more" if len(lost) > 4 else ""
                warn(
                    f"warning: {source.label} replaces {len(lost)} entr{'y' if len(lost) == 1 else 'ies'} "
                    f"of {label} with the same id: {names}{more}"
                )
                entries = [(key, raw, e) for key, raw, e in entries if e.id not in new_ids]
            kept_owners.append((label, entries))
        raws = [(key, raw) for key in ("constructors", "methods") for raw in list(data.get(key) or ())]
        mine = [(key, raw, e) for (key, raw), e in zip(raws, compiled)]
        owners = kept_owners + [(source.label, mine)]
    for _, entries in owners:
        for key, raw, _ in entries:
            merged[key].append(raw)
    return merged


class Schema:
    """The schemas given to a command (the bundled ones when none is): the parser compiled from
    them and the view of their entries."""

    def __init__(self, paths: list[str] | None, warn=None):
        self.sources = [read_source(p) for p in paths] if paths else bundled_sources()
        self.bundled = not paths
        self.label = BUNDLED_LABEL if self.bundled else ", ".join(s.label for s in self.sources)
        self.layers = [s.layer for s in self.sources if s.layer is not None]
        self._warn = warn or (lambda text: None)
        self._schema = None
        self._parser = None
        self._modes = (False, False)
        self._view = None

    @property
    def layer(self) -> int | None:
        return self.layers[-1] if self.layers else None

    def _one_schema(self):
        """What TLParser is given: a single file's text as read, else the merged data (every file
        compiled alone first, so that a bad one is named)."""
        if self._schema is None:
            if len(self.sources) == 1:
                s = self.sources[0]
                self._schema = s.text if s.text is not None else s.data
            else:
                if not self.bundled:
                    for s in self.sources:
                        _compiled(s.label, s.text if s.text is not None else s.data)
                self._schema = merge(self.sources, self._warn)
        return self._schema

    def parser(self, strict: bool = False, signed: bool = False):
        """The parser of these schemas, in the modes asked for (TLParser's strict and signed)."""
        if self._parser is None or self._modes != (strict, signed):
            self._parser = _compiled(self.label, self._one_schema(), strict=strict, signed=signed)
            self._modes = (strict, signed)
        return self._parser

    def data(self) -> dict:
        """The schema data the parser was compiled from (checked by the compiler first)."""
        self.parser()  # a schema the compiler refuses is reported as the compiler sees it
        schema = self._one_schema()
        return json.loads(schema) if isinstance(schema, str) else schema

    def view(self) -> SchemaView:
        if self._view is None:
            self._view = SchemaView(read_entries(self.data()))
        return self._view
