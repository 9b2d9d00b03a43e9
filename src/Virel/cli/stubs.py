"""Typed dictionaries for a schema: ``virel stubs > tl_types.pyi``.

Every record (constructor or method) becomes a ``TypedDict`` named after it (dots become
underscores: ``messages.sendMessage`` is ``messages_sendMessage``) whose ``_`` is the ``Literal``
of its name and whose keys are its parameters, the flags words left out:

* ``int``, ``long`` and ``#`` are ``int``, ``double`` is ``float``, ``string`` is ``str``,
  ``bytes`` is ``bytes``, ``Bool`` and ``true`` are ``bool``;
* ``Vector<T>`` is ``list[...]`` of what its elements are by the codec's rule;
* a boxed type is the union alias of its constructors, named after it (``Peer``,
  ``messages_Messages``); a type without constructors in the schema (``!X``, ``Object``,
  ``int128``) is ``Mapping[str, Any]``;
* a conditional parameter (``flags.N?T``) is ``NotRequired[T | None]``; every other one is
  required (unpack always gives it).

Forward references are quoted, so the same text is a stub file and a module that imports at run
time (``tl_types.py``).  Names that are Python keywords get a trailing underscore; a name that two
records would share goes to the later one (as pack does) and a name a record and a type alias
would share gets its alias a trailing ``_Type``.
"""

from __future__ import annotations

import keyword
import zlib

from .schema_view import FLAGS_WORDS, condition, entry_name, proper, strip_vector

SCALARS = {"int": "int", "#": "int", "long": "int", "double": "float", "string": "str", "bytes": "bytes",
           "byte": "bytes", "Bool": "bool", "true": "bool"}
UNKNOWN = "_Mapping[str, _t.Any]"

HEADER = '''\
"""TypedDicts of the TL records of {what} (written by `virel stubs`)."""
# The same text is a stub file (tl_types.pyi) and an importable module (tl_types.py).
import typing as _t
from collections.abc import Mapping as _Mapping
'''


def _ident(name: str) -> str:
    """A Python identifier for a TL name: dots and other signs become underscores."""
    text = "".join(c if c.isalnum() or c == "_" else "_" for c in name)
    if not text or text[0].isdigit() or text.startswith("_"):
        text = "T" + text
    return text + "_" if keyword.iskeyword(text) else text


def _unique(text: str, name: str, taken) -> str:
    return text if text not in taken else f"{text}_{zlib.crc32(name.encode()):08x}"


def generate(data: dict, what: str = "a schema") -> str:
    """The text of the typed dictionaries for schema data (the JSON form); one pass over the
    entries and one over the records."""
    records: dict[str, tuple[str, dict]] = {}  # identifier -> (TL name, entry)
    by_name: dict[str, str] = {}  # TL name -> identifier
    unions: dict[str, list[str]] = {}  # result type -> identifiers of its constructors
    for key in ("constructors", "methods"):
        for raw in data.get(key) or ():
            name = entry_name(raw)
            py = by_name.get(name) or _unique(_ident(name), name, records)
            by_name[name] = py
            records[py] = (name, raw)  # of two entries with one name, the later (pack writes it)
            if key == "constructors":
                members = unions.setdefault(raw.get("type") or name, [])
                if py not in members:
                    members.append(py)
    aliases: dict[str, str] = {}
    for result in unions:
        alias = _ident(result)
        if alias in records:
            alias += "_Type"
        aliases[result] = _unique(alias, result, set(aliases.values()) | records.keys())

    def py_type(expr: str) -> tuple[str, bool]:
        """The Python type of a type expression, and whether it names a generated type."""
        t = proper(expr)
        if t in SCALARS:
            return SCALARS[t], False
        if t.startswith("Vector"):
            inner = strip_vector(t)
            if inner == t:  # "Vector t": vectors to any depth
                return "list[_t.Any]", False
            text, named = py_type(inner)
            return f"list[{text}]", named
        alias = aliases.get(t)
        return (alias, True) if alias is not None else (UNKNOWN, False)

    out = [HEADER.format(what=what)]
    for py, (name, raw) in records.items():
        fields = {"_": f"_t.Literal[{name!r}]"}
        for p in raw.get("params") or ():
            pname, expr = p["name"], p["type"]
            if pname in FLAGS_WORDS:
                continue
            text, named = py_type(expr)
            if condition(expr) is not None:
                text += " | None"
                fields[pname] = f"_t.NotRequired[{text!r}]" if named else f"_t.NotRequired[{text}]"
            else:
                fields[pname] = repr(text) if named else text
        body = ", ".join(f"{k!r}: {v}" for k, v in fields.items())
        out.append(f"{py} = _t.TypedDict({py!r}, {{{body}}})")
    out.append("")
    for result, members in unions.items():
        out.append(f"{aliases[result]}: _t.TypeAlias = {' | '.join(members)!r}")
    return "\n".join(out) + "\n"
