"""A schema file as the codec compiled it: the parser, and a view of its entries for display.

The entries are what the compiler itself made of the JSON (``TLSchemaCompiler.entries()``): ids,
names, result types and every parameter's kind, condition, vector levels and target, by the
codec's own grammar of type texts. Only what the compiled tables do not hold is taken from the
JSON: whether an entry was a constructor or a method (constructors come first). When two entries
share an id, unpack reads the id as the later one; when they share a name, pack writes the later
one. Nothing here reads a type text itself: every reader of schema data (``stubs``, the tests'
value generators, the fuzz harnesses) compiles it and reads the records.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

from .. import tl_text
from .errors import Failure, UsageError, describe, shown
from .inputs import read_file

SIZES = {"int": 4, "long": 8, "double": 8, "bool": 4, "int128": 16, "int256": 32}


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
        kinds, endless = [words[level.kind] for level in param.element], param.element[-1].endless
        if endless:
            return f"{prefix}{'vector of ' * len(kinds)}vectors, to any depth"
        return f"{prefix}{'vector of ' * (len(kinds) - 1)}vector of {kinds[-1]}"
    if kind in SIZES:
        return f"{prefix}{kind}, {SIZES[kind]} bytes"
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
