"""A mypy plugin for the typed parser that ``virel stubs`` writes (``plugins = Virel.mypy_plugin``).

The view's ``pack`` takes the union of every record of the schema. mypy checks a dict literal
against a union of typed dictionaries by trying them all, and reports a misspelt key only as a
dict that matches none of them: on a layer's 2,500 records, minutes. The plugin reads the literal's
``"_"`` and gives mypy the one record it names, so that a key is reported by its name (``Extra key
"mesage" for TypedDict "messages_sendMessage"``). A nested literal mypy checks against the few
records of its field's type; where its keys fit none of them, mypy names only the field
(``TypedDict item "peer" has incompatible type``), and the plugin names the keys that do not fit
the record its ``"_"`` names (``Extra key "acess_hash" for TypedDict "inputPeerUser"``). (mypy
takes a nested literal's type from the record's own definition, so a narrower type given for the
field is not used.) Where ``"_"`` names no record of the schema, or a literal has no ``"_"``, the
plugin says so. A value that is no literal is checked against the union, as declared.

``unpack_from`` and ``pack_as`` given a literal type text of a type of the schema (``"User"``), of
a builtin type (``"long"``) or of vectors of one (``"Vector<User>"``) read and take that type;
any other text leaves them as declared (anything).
"""

from __future__ import annotations

import difflib
from collections.abc import Callable

from mypy.nodes import DictExpr, Expression, ListExpr, MypyFile, NameExpr, StrExpr, TypeInfo
from mypy import errorcodes as codes
from mypy.plugin import MethodContext, MethodSigContext, Plugin
from mypy.types import (
    AnyType,
    CallableType,
    Instance,
    LiteralType,
    TupleType,
    Type,
    TypedDictType,
    TypeOfAny,
    UnionType,
    flatten_nested_unions,
    get_proper_type,
)

VIEW = "TypedParser"
# Which argument of each method takes the value, and which the type text.
VALUE = {"pack": 0, "pack_into": 1, "pack_as": 0}
TEXT = {"pack_as": 1, "unpack_from": 2, "pack_into": 2}


def _lookup(api, view: Instance, name: str) -> TypedDictType | None:
    """The typed dictionary `name` of the module that defines the view (_ByName or _ByText)."""
    module = getattr(api, "modules", {}).get(view.type.module_name)
    node = module.names.get(name) if isinstance(module, MypyFile) else None
    info = node.node if node is not None else None
    return info.typeddict_type if isinstance(info, TypeInfo) else None


def _tag(expr: Expression) -> str | None:
    """The text of a dict literal's "_", where it is a literal."""
    if isinstance(expr, DictExpr):
        for key, value in expr.items:
            if isinstance(key, StrExpr) and key.value == "_" and isinstance(value, StrExpr):
                return value.value
    return None


def _records(declared: Type) -> dict[str, TypedDictType]:
    """The typed dictionaries of a declared type (a union of them, or one), by their "_"."""
    found: dict[str, TypedDictType] = {}
    for item in flatten_nested_unions([declared]):
        item = get_proper_type(item)
        if isinstance(item, TypedDictType):
            tag = get_proper_type(item.items.get("_"))
            if isinstance(tag, LiteralType) and isinstance(tag.value, str):
                found[tag.value] = item
    return found


def _fit(expr: Expression, declared: Type) -> Type | None:
    """What a literal must be where `declared` is taken: the one record its "_" names (a list
    literal: a list of those of its elements); None where the literal names nothing `declared`
    holds, and the declared type stays."""
    if isinstance(expr, DictExpr):
        return _records(declared).get(_tag(expr) or "")
    if isinstance(expr, ListExpr) and expr.items:
        lists = _lists(declared)
        if len(lists) != 1:
            return None
        fitted = [_fit(item, lists[0].args[0]) for item in expr.items]
        if any(t is None for t in fitted):
            return None
        unique = list({id(t): t for t in fitted if t is not None}.values())
        return lists[0].copy_modified(args=[UnionType.make_union(unique)])
    return None


def _text_type(api, view: Instance, text: str) -> Type | None:
    """The type a type text reads: a type of the schema or a builtin one, in any vectors."""
    depth = 0
    while text.startswith("Vector<") and text.endswith(">"):
        text, depth = text[len("Vector<") : -1], depth + 1
    texts = _lookup(api, view, "_ByText")
    found = texts.items.get(text) if texts is not None else None
    if found is None:
        return None
    for _ in range(depth):
        found = api.named_generic_type("builtins.list", [found])
    return found


def _given(ctx: MethodSigContext, index: int) -> bool:
    """Whether an argument is given, and not as None."""
    args = ctx.args[index] if index < len(ctx.args) else []
    return bool(args) and not (isinstance(args[0], NameExpr) and args[0].fullname == "builtins.None")


def _literal_text(ctx, index: int) -> str | None:
    args = ctx.args[index] if index < len(ctx.args) else []
    return args[0].value if len(args) == 1 and isinstance(args[0], StrExpr) else None


def _signature(method: str) -> Callable[[MethodSigContext], CallableType]:
    def hook(ctx: MethodSigContext) -> CallableType:
        view = get_proper_type(ctx.type)
        sig = ctx.default_signature
        index = VALUE[method]
        if not isinstance(view, Instance) or index >= len(sig.arg_types) or len(ctx.args[index]) != 1:
            return sig
        expr = ctx.args[index][0]
        text = _literal_text(ctx, TEXT[method]) if method in TEXT else None
        if text is not None:  # a value of that type (any, where the text names none the plugin knows)
            declared = _text_type(ctx.api, view, text)
            fitted = None if declared is None else _fit(expr, declared) or declared
            record = get_proper_type(fitted) if isinstance(expr, DictExpr) else None
            if isinstance(record, TypedDictType):
                _name_nested_keys(ctx, expr, record)
        elif method == "pack_as" or (method == "pack_into" and _given(ctx, TEXT[method])):
            return sig  # a type text that is no literal: any value, as declared
        else:  # a record: the one its "_" names
            fitted = _record(ctx, view, expr)
        if fitted is None:
            return sig
        types = list(sig.arg_types)
        types[index] = fitted
        return sig.copy_modified(arg_types=types)

    return hook


def _record(ctx: MethodSigContext, view: Instance, expr: Expression) -> Type | None:
    """The record a dict literal's "_" names (an error where it names none, or where the literal
    has no "_"); a mapping where its "_" is no literal; None for a value that is no dict literal."""
    names = _lookup(ctx.api, view, "_ByName")
    if not isinstance(expr, DictExpr) or names is None:
        return None
    tag = _tag(expr)
    if tag is None:
        keys = [key for key, _ in expr.items]
        if any(isinstance(key, StrExpr) and key.value == "_" for key in keys):
            key_type = ctx.api.named_generic_type("builtins.str", [])
            return ctx.api.named_generic_type("typing.Mapping", [key_type, AnyType(TypeOfAny.special_form)])
        if all(isinstance(key, StrExpr) for key in keys):
            ctx.api.fail('A record needs "_", the name of its constructor or method', expr)
            return AnyType(TypeOfAny.from_error)
        return None
    found = names.items.get(tag)
    if found is None:
        close = difflib.get_close_matches(tag, list(names.items), n=3)
        hint = f" (did you mean: {', '.join(close)}?)" if close else ""
        ctx.api.fail(f'No record named "{tag}" in the schema{hint}', expr)
        return AnyType(TypeOfAny.from_error)  # one error is enough
    record = get_proper_type(found)
    if isinstance(record, TypedDictType):
        _name_nested_keys(ctx, expr, record)
    return found


def _name_nested_keys(ctx: MethodSigContext, expr: DictExpr, record: TypedDictType) -> None:
    """Name the keys that make a nested literal fit none of its field's records: mypy reports
    only the field then. The record is the one the literal's "_" names; a nested literal that fits
    is checked by mypy itself, and its own nested literals here."""
    for key, value in expr.items:
        if not isinstance(key, StrExpr) or key.value == "_" or key.value not in record.items:
            continue
        declared = record.items[key.value]
        if isinstance(value, ListExpr):
            lists = _lists(declared)
            values, declared = (value.items, lists[0].args[0]) if len(lists) == 1 else ([], declared)
        else:
            values = [value]
        for item in values:
            nested = _records(declared).get(_tag(item) or "")
            if nested is None or not isinstance(item, DictExpr):
                continue
            if not all(isinstance(k, StrExpr) for k, _ in item.items):
                continue  # a ** in it: its keys are not all known
            given = {k.value for k, _ in item.items if isinstance(k, StrExpr)}
            name = nested.fallback.type.name
            for extra in sorted(given - nested.items.keys()):
                ctx.api.fail(f'Extra key "{extra}" for TypedDict "{name}"', item, code=codes.TYPEDDICT_UNKNOWN_KEY)
            for missing in sorted(nested.required_keys - given):
                ctx.api.fail(f'Missing key "{missing}" for TypedDict "{name}"', item, code=codes.TYPEDDICT_ITEM)
            _name_nested_keys(ctx, item, nested)


def _lists(declared: Type) -> list[Instance]:
    """The list types of a declared type (list[X] or list[X] | None)."""
    return [
        t
        for t in map(get_proper_type, flatten_nested_unions([declared]))
        if isinstance(t, Instance) and t.type.fullname == "builtins.list" and len(t.args) == 1
    ]


def _unpack_from(ctx: MethodContext) -> Type:
    view = get_proper_type(ctx.type)
    result = get_proper_type(ctx.default_return_type)
    text = _literal_text(ctx, TEXT["unpack_from"])
    if not isinstance(view, Instance) or not isinstance(result, TupleType) or text is None:
        return ctx.default_return_type
    found = _text_type(ctx.api, view, text)
    return ctx.default_return_type if found is None else result.copy_modified(items=[found, *result.items[1:]])


class VirelPlugin(Plugin):
    def get_method_signature_hook(self, fullname: str) -> Callable[[MethodSigContext], CallableType] | None:
        owner, _, method = fullname.rpartition(".")
        if owner.rpartition(".")[2] == VIEW and method in VALUE:
            return _signature(method)
        return None

    def get_method_hook(self, fullname: str) -> Callable[[MethodContext], Type] | None:
        owner, _, method = fullname.rpartition(".")
        if owner.rpartition(".")[2] == VIEW and method == "unpack_from":
            return _unpack_from
        return None


def plugin(version: str) -> type[Plugin]:
    return VirelPlugin
