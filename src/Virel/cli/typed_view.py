"""The typed view of a parser that ``virel stubs`` writes after the typed dictionaries.

``typed(parser)`` returns the parser itself; to a type checker it is a ``TypedParser``, whose
methods are typed for the schema:

* ``pack`` (and ``pack_into`` without a type text) takes the union of the schema's records. Any
  checker can check a literal against it; mypy does so in time only with the plugin
  ``Virel.mypy_plugin``, which checks a literal against the one record its ``"_"`` names (and each
  nested literal against the one its own ``"_"`` names), so that an error names the key;
* ``unpack`` returns ``AnyConstructor``: one typed dictionary holding every key of every
  constructor, each ``NotRequired`` and typed as the union of what the constructors holding it
  give, ``"_"`` the ``Literal`` of every constructor's name. A key no constructor has is an error
  at once; a union of every constructor is not used, since mypy simplifies a union on every call
  that returns it and every narrowing of it, pairwise (minutes for a layer's 1,600 constructors);
* ``unpack_from`` and ``pack_as`` read and take anything (``Any``), as the parser's own methods
  do; with the plugin, given a literal type text of a boxed type, of a builtin type or of vectors
  of one (``"User"``, ``"Vector<User>"``), they read and take that type. The constructors of a
  boxed type are few, so ``"_"`` narrows what ``unpack_from`` returns. (One overload per type text
  instead costs mypy minutes: it checks overloads against each other pairwise.)

The plugin finds the records and the types through two typed dictionaries of the module,
``_ByName`` (a record's name -> its typed dictionary) and ``_ByText`` (a type text -> its type).
"""

from __future__ import annotations

# Builtin type texts a program may give unpack_from and pack_as, and what they read.
BUILTIN_TEXTS = {
    "int": "_b.int",
    "long": "_b.int",
    "double": "_b.float",
    "string": "_b.str",
    "bytes": "_b.bytes",
    "Bool": "_b.bool",
    "int128": "_b.int",
    "int256": "_b.int",
}
# Names of the view that no record may take (the private ones start with "_", as no record does);
# a record named TypedParser or AnyConstructor becomes TypedParser_ or AnyConstructor_ (D43).
NAMES = frozenset({"typed", "TypedParser", "AnyConstructor"})

VIEW_HEADER = """
# The typed view of a parser for this schema. mypy checks a pack call quickly only with the plugin:
# plugins = Virel.mypy_plugin in its configuration.
from collections.abc import Buffer as _Buffer
from Virel.tl import TLParser as _TLParser
"""

VIEW = """
class TypedParser(_t.Protocol):
    \"\"\"A TLParser as a type checker sees it for this schema (typed() gives one).\"\"\"

    def pack(self, value: _Record) -> _b.bytes: ...
    @_t.overload
    def unpack(self, data: _b.bytes, *, result_type: None = None) -> AnyConstructor: ...
    @_t.overload
    def unpack(self, data: _b.bytes, *, result_type: _b.str | _b.dict[_b.int, _b.str | None]) -> _t.Any: ...
    def unpack_from(
        self,
        data: _Buffer,
        offset: _t.SupportsIndex = 0,
        type: _b.str | None = None,
        *,
        result_type: _b.str | _b.dict[_b.int, _b.str | None] | None = None,
    ) -> _b.tuple[_t.Any, _b.int]: ...
    def pack_as(self, value: _t.Any, type: _b.str | None) -> _b.bytes: ...
    def pack_into(self, buffer: _b.bytearray, value: _t.Any, type: _b.str | None = None) -> _b.int: ...


def typed(parser: _TLParser) -> TypedParser:
    \"\"\"The parser itself; to a type checker, a view of it typed for this schema.\"\"\"
    return _t.cast(TypedParser, parser)
"""


def generate(
    records: dict,
    fields_of: dict[str, dict[str, str]],
    unions: dict[str, list[str]],
    aliases: dict[str, str],
) -> str:
    """The text of the view: `records` (identifier -> record) and `fields_of` (identifier -> key ->
    the annotation stubs wrote for it) of every record, `unions` (result type -> identifiers of its
    constructors) and `aliases` (result type -> the name of its union alias)."""
    constructors = dict.fromkeys(py for members in unions.values() for py in members)
    out = [VIEW_HEADER]
    out.append(f"_Record: _t.TypeAlias = {' | '.join(records) or '_t.NoReturn'!r}")
    # Every key of every constructor, with the union of what each gives it.
    keys: dict[str, dict[str, None]] = {}
    names = []
    for py in constructors:
        names.append(repr(records[py].name))
        for key, annotation in fields_of[py].items():
            if key != "_":
                keys.setdefault(key, {})[_proper(annotation)] = None
    body = [f"'_': _t.Literal[{', '.join(names)}]" if names else "'_': _t.NoReturn"]
    for key, types in keys.items():
        union = " | ".join(types)
        body.append(f"{key!r}: _t.NotRequired[{union!r}]")
    out.append(f"AnyConstructor = _t.TypedDict('AnyConstructor', {{{', '.join(body)}}})")
    # What the plugin looks up: the record a name in "_" names, the type a type text names.
    by_name = ", ".join(f"{e.name!r}: {py!r}" for py, e in records.items())
    out.append(f"_ByName = _t.TypedDict('_ByName', {{{by_name}}})")
    texts = dict(BUILTIN_TEXTS)
    texts.update((result, repr(alias)) for result, alias in aliases.items() if result not in texts)
    out.append(f"_ByText = _t.TypedDict('_ByText', {{{', '.join(f'{t!r}: {py}' for t, py in texts.items())}}})")
    out.append(VIEW)
    return "\n".join(out)


def _proper(annotation: str) -> str:
    """The type an annotation of stubs gives a key, unquoted and without NotRequired."""
    if annotation.startswith("_t.NotRequired[") and annotation.endswith("]"):
        annotation = annotation[len("_t.NotRequired[") : -1]
    if annotation[:1] in "'\"":
        import ast

        annotation = ast.literal_eval(annotation)
    return annotation
