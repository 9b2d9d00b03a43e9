"""Typed dictionaries for a schema: ``virel stubs > tl_types.pyi``.

The schema is compiled first, and the types are read from the records the compiler made
(``TLSchemaCompiler.entries()``), so they follow the codec's own rules. Every record (constructor
or method) becomes a ``TypedDict`` named after it (dots become underscores:
``messages.sendMessage`` is ``messages_sendMessage``) whose ``_`` is the ``Literal`` of its name
and whose keys are its parameters, the flags words left out:

* ``int``, ``long`` and ``#`` are ``int``, ``double`` is ``float``, ``string`` is ``str``,
  ``bytes`` is ``bytes``, ``Bool`` and ``true`` are ``bool``;
* a vector is ``list[...]`` of what its elements are (``list[Any]`` where they nest without end);
* a boxed type is the union alias of its constructors, named after it (``Peer``,
  ``messages_Messages``); a type without constructors in the schema (``!X``, ``Object``) is
  ``Mapping[str, Any]``;
* a conditional parameter (``flags.N?T``) is ``NotRequired[T | None]``; every other one is
  required (unpack always gives it).

Every text taken from the schema reaches the code through ``repr`` (names, keys, the label in the
docstring); builtins are used qualified (``_b.int``), so a record named ``int`` or ``list`` shadows
nothing; a name becomes an ASCII identifier (other characters become ``_``; a keyword, a name that
starts with ``_`` or one the module defines itself is changed), and of names that come out the same
the later gets a suffix that no other name holds. Forward references are quoted, so the same text
is a stub file and a module that imports at run time (``tl_types.py``).
"""

from __future__ import annotations

import keyword
import zlib

from . import typed_view
from .schema_view import kind_words

SCALARS = {
    "int": "_b.int",
    "long": "_b.int",
    "double": "_b.float",
    "string": "_b.str",
    "bytes": "_b.bytes",
    "bool": "_b.bool",
    "int128": "_b.int",
    "int256": "_b.int",
}
UNKNOWN = "_Mapping[_b.str, _t.Any]"
# Names the module binds itself, which no record may take.
RESERVED = typed_view.NAMES
VECTORS = ("vector", "bare vector")

HEADER = """\
{doc}
# The same text is a stub file (tl_types.pyi) and an importable module (tl_types.py).
import builtins as _b
import typing as _t
from collections.abc import Mapping as _Mapping
"""


def _ident(name: str) -> str:
    """A Python identifier for a TL name: ASCII letters, digits and underscores (every other
    character becomes an underscore), never a keyword, never starting with a digit or "_"."""
    text = "".join(c if c.isascii() and (c.isalnum() or c == "_") else "_" for c in name)
    if not text or text[0].isdigit() or text.startswith("_"):
        text = "T" + text
    return text + "_" if keyword.iskeyword(text) or text in RESERVED else text


def _unique(text: str, name: str, taken) -> str:
    """`text`, or `text` with a suffix from `name` (and a count, if need be) that `taken` lacks."""
    if text not in taken:
        return text
    base = f"{text}_{zlib.crc32(name.encode('utf-8', 'surrogatepass')):08x}"
    candidate, n = base, 1
    while candidate in taken:
        candidate, n = f"{base}_{n}", n + 1
    return candidate


def compiled_records(data) -> list[tuple[bool, object]]:
    """(whether a constructor, TLConstructor) for every entry of schema data, in schema order,
    as the compiler made them."""
    from .. import tl

    compiler = tl.TLSchemaCompiler()
    compiler.compile(data)
    constructors = len(data.get("constructors") or ())
    return [(i < constructors, e) for i, e in enumerate(compiler.entries())]


def generate(data: dict, what: str = "a schema") -> str:
    """The text of the typed dictionaries for schema data (the JSON form), from its compiled
    records; one pass over the records for the names and one for the text."""
    words = kind_words()
    records: dict[str, object] = {}  # identifier -> record
    by_name: dict[str, str] = {}  # TL name -> identifier
    unions: dict[str, list[str]] = {}  # result type -> identifiers of its constructors
    for is_constructor, e in compiled_records(data):
        py = by_name.get(e.name) or _unique(_ident(e.name), e.name, records.keys() | RESERVED)
        by_name[e.name] = py
        records[py] = e  # of two records with one name, the later (pack writes it)
        if is_constructor:
            members = unions.setdefault(e.result_type, [])
            if py not in members:
                members.append(py)
    aliases: dict[str, str] = {}
    for result in unions:
        alias = _ident(result)
        if alias in records:
            alias += "_Type"
        aliases[result] = _unique(alias, result, set(aliases.values()) | records.keys() | RESERVED)

    def of_kind(typed) -> tuple[str, bool]:
        """The Python type of a compiled parameter or element level that is no vector, and whether
        it names a generated type. An object's type, or a bare type's constructor or type, is the
        record's `target` (%T: its type's one constructor; a lower-case name, with or without '%':
        that constructor; departure D42: see ARCHITECTURE.md, "Departures")."""
        word = words.get(typed.kind)
        if word in SCALARS:
            return SCALARS[word], False
        if typed.target is None:
            alias = None
        elif typed.target_is_type:
            alias = aliases.get(typed.target)
        else:
            alias = by_name.get(typed.target)
        return (alias, True) if alias is not None else (UNKNOWN, False)

    def py_type(p) -> tuple[str, bool]:
        """The Python type of a parameter, and whether it names a generated type."""
        if words.get(p.kind) not in VECTORS:
            return of_kind(p)
        depth, inner, named = 1, "_t.Any", False  # the lists around the innermost element type
        for level in p.element:
            if words.get(level.kind) not in VECTORS:
                inner, named = of_kind(level)
                break
            if level.endless:
                break  # vectors of the same, to any depth
            depth += 1
        return "_b.list[" * depth + inner + "]" * depth, named

    out = [HEADER.format(doc=repr(f"TypedDicts of the TL records of {what} (written by `virel stubs`).")).rstrip()]
    out.append("")
    fields_of: dict[str, dict[str, str]] = {}
    for py, e in records.items():
        fields = {"_": f"_t.Literal[{e.name!r}]"}
        for p in e.params:
            if p.flags_word:
                continue
            text, named = py_type(p)
            if p.is_conditional:
                text += " | None"
                fields[p.name] = f"_t.NotRequired[{text!r}]" if named else f"_t.NotRequired[{text}]"
            else:
                fields[p.name] = repr(text) if named else text
        fields_of[py] = fields
        body = ", ".join(f"{k!r}: {v}" for k, v in fields.items())
        out.append(f"{py} = _t.TypedDict({py!r}, {{{body}}})")
    out.append("")
    for result, members in unions.items():
        out.append(f"{aliases[result]}: _t.TypeAlias = {' | '.join(members)!r}")
    out.append(typed_view.generate(records, fields_of, unions, aliases))
    return "\n".join(out) + "\n"
