"""Turn TL schema text into the schema JSON that ``Virel.tl.TLParser`` reads.

The JSON form is ``{"constructors": [...], "methods": [...]}`` where every
entry is::

    {"id": "<signed 32-bit decimal>", "predicate" | "method": name,
     "params": [{"name": ..., "type": ...}, ...], "type": result type}

What the converter does with the text:

* ``//`` starts a comment, on a line of its own or after a declaration.
* ``---functions---`` switches to methods, ``---types---`` back to
  constructors (the text starts with constructors).
* A declaration ends at ``;`` and may run over several lines.
* ``name#1cb5c415`` gives the id explicitly.  A declaration without one gets
  the CRC32 of its normalised text (see :func:`compute_id`), and the result
  lists it in ``computed_ids`` so the caller can say so.
* Declarations of the builtin types (``int``, ``long``, ``double``,
  ``string``, ``bytes``, ``int128``, ``int256``, ``vector``) that carry no
  id describe the wire format rather than objects and are skipped.
* ``{X:Type}`` declares a type variable and is not a parameter; tokens that
  are not ``name:type`` (the ``# [ t ]`` of the vector builtin) are not
  parameters either.  Parameter and result types are kept exactly as written
  (``flags.2?Vector<long>``, ``#``, ``!X``).
* A ``// LAYER N`` comment gives the layer number.

This module is plain Python and does not need the native extension.
"""

from __future__ import annotations

import json
import re
import zlib
from dataclasses import dataclass, field

__all__ = [
    "BUILTIN_TYPES",
    "ComputedId",
    "Conversion",
    "TLTextError",
    "compute_id",
    "convert",
    "normalise",
    "parse",
    "to_json",
]

#: Names whose id-less declarations describe wire primitives, not objects.
BUILTIN_TYPES = frozenset({"int", "long", "double", "string", "bytes", "int128", "int256", "vector"})

_SECTIONS = {"---functions---": "methods", "---types---": "constructors"}
_HEAD = re.compile(r"^([A-Za-z_][\w.]*)(?:#([0-9a-fA-F]+))?$")
_SPACE = re.compile(r"\s*")
_LAYER = re.compile(r"^//\s*LAYER\s+(\d+)\s*$")
# `name:flagsfield.N?true`: a bit of a flags field with no data of its own.
_FLAG_TRUE = re.compile(r"^\w+:\w+\.\d+\?true$")
# `name:bytes` or `name:flags.N?bytes`: bytes is string on the wire.
_BYTES_ARG = re.compile(r"([:?])bytes$")


class TLTextError(ValueError):
    """A declaration the converter cannot read; ``line`` is 1-based (or None)."""

    def __init__(self, line: int | None, message: str):
        super().__init__(message if line is None else f"line {line}: {message}")
        self.line = line


@dataclass(frozen=True)
class ComputedId:
    line: int
    name: str
    id: int  # unsigned 32-bit


@dataclass
class Conversion:
    schema: dict
    layer: int | None = None
    computed_ids: list[ComputedId] = field(default_factory=list)


def _signed(n: int) -> int:
    return n - (1 << 32) if n >= 1 << 31 else n


def _split(decl: str, line: int | None):
    """Split one declaration (without ``;``) into head, arguments, result."""
    lhs, eq, result = decl.partition("=")
    if not eq:
        raise TLTextError(line, f"no '=' in declaration {decl.strip()!r}")
    result = " ".join(result.split())
    if not result:
        raise TLTextError(line, f"no result type in declaration {decl.strip()!r}")
    tokens = lhs.split()
    if not tokens:
        raise TLTextError(line, f"no name in declaration {decl.strip()!r}")
    m = _HEAD.match(tokens[0])
    if not m:
        raise TLTextError(line, f"bad combinator name {tokens[0]!r}")
    name, hex_id = m.groups()
    if hex_id is not None and len(hex_id) > 8:
        raise TLTextError(line, f"id #{hex_id} of {name} is longer than 32 bits")
    return name, hex_id, tokens[1:], result


def normalise(decl: str) -> str:
    """The text whose CRC32 is the id of a declaration.

    The ``#id`` is dropped, ``name:flags.N?true`` arguments are left out,
    ``bytes`` is written ``string`` where it is the whole type of an
    argument, braces go, ``<`` becomes a space and ``>`` goes, and the spaces
    are collapsed; the result type follows after `` = ``.
    """
    decl = decl.strip().removesuffix(";")
    name, _, args, result = _split(decl, None)
    parts = [name]
    for tok in args:
        if _FLAG_TRUE.match(tok):
            continue
        parts.append(_BYTES_ARG.sub(r"\1string", tok))
    text = " ".join(parts) + " = " + result
    text = text.replace("{", "").replace("}", "")
    text = text.replace("<", " ").replace(">", "")
    return " ".join(text.split())


def compute_id(decl: str) -> int:
    """CRC32 id (unsigned) of a declaration, with or without its ``#id``."""
    return zlib.crc32(normalise(decl).encode("utf-8"))


def _declarations(text: str):
    """Yield (kind, line number, declaration text) and layer comments.

    kind is "constructors", "methods" or "layer" (then the text is the
    number).
    """
    section = "constructors"
    pending: list[str] = []
    start = 0
    for lineno, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        layer = _LAYER.match(stripped)
        if layer:
            yield "layer", lineno, layer.group(1)
        code = raw.split("//", 1)[0].strip()
        if not code:
            continue
        if code.startswith("---"):
            if code not in _SECTIONS:
                raise TLTextError(lineno, f"unknown section marker {code!r}")
            if pending:
                raise TLTextError(start, "declaration not ended by ';'")
            section = _SECTIONS[code]
            continue
        if not pending:
            start = lineno
        # Walk the line by offsets: each character is looked at a bounded number of times
        # however many declarations share the line.
        pos = 0
        while pos < len(code):
            semi = code.find(";", pos)
            if semi < 0:
                pending.append(code[pos:])
                break
            pending.append(code[pos:semi])
            decl = " ".join(pending).strip()
            pending = []
            if not decl:
                raise TLTextError(lineno, "empty declaration")
            yield section, start, decl
            start = lineno
            pos = _SPACE.match(code, semi + 1).end()
    if pending:
        raise TLTextError(start, "declaration not ended by ';'")


def parse(text: str) -> Conversion:
    """Convert TL text; see the module docstring for the rules."""
    out = Conversion({"constructors": [], "methods": []})
    for kind, line, decl in _declarations(text):
        if kind == "layer":
            out.layer = int(decl)
            continue
        name, hex_id, args, result = _split(decl, line)
        if hex_id is None:
            if name in BUILTIN_TYPES:
                continue
            ident = compute_id(decl)
            out.computed_ids.append(ComputedId(line, name, ident))
        else:
            ident = int(hex_id, 16)
        params = []
        for tok in args:
            if tok.startswith("{"):
                if not tok.endswith("}") or ":" not in tok:
                    raise TLTextError(line, f"bad type variable {tok!r} in {name}")
                continue
            pname, colon, ptype = tok.partition(":")
            if not colon:
                continue
            if not pname or not ptype:
                raise TLTextError(line, f"bad parameter {tok!r} in {name}")
            params.append({"name": pname, "type": ptype})
        key = "predicate" if kind == "constructors" else "method"
        out.schema[kind].append({"id": str(_signed(ident)), key: name, "params": params, "type": result})
    return out


def convert(text: str) -> dict:
    """The schema dict for TL text (ids computed where missing)."""
    return parse(text).schema


def to_json(schema: dict, compact: bool = False) -> str:
    """Serialise a schema dict.

    compact=True gives one line with no spaces (the form of the published
    API JSON files); otherwise every entry gets a line of its own, which
    stays valid JSON and diffs well.
    """
    if compact:
        return json.dumps(schema, ensure_ascii=False, separators=(",", ":"))
    lines = []
    for key, entries in schema.items():
        rows = ["    " + json.dumps(e, ensure_ascii=False, separators=(",", ":")) for e in entries]
        body = ",\n".join(rows)
        lines.append(f"  {json.dumps(key)}: [\n{body}\n  ]" if rows else f"  {json.dumps(key)}: []")
    return "{\n" + ",\n".join(lines) + "\n}"
