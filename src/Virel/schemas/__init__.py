"""The TL schemas bundled with Virel: the API layer and the MTProto service schema.

    from Virel import schemas
    from Virel.tl import TLParser

    parser = TLParser(schemas.api())            # the API layer, schemas.LAYER
    core = TLParser(schemas.mtproto())          # the MTProto service schema
    both = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))

The TL texts beside this module (their origin, licence and checksums are in README.md here) are
converted by ``Virel.tl_text`` the first time a process asks for them (a few hundredths of a
second for the layer) and kept; every call returns a fresh copy, which the caller may change.
"""

from __future__ import annotations

import functools
import json
import os
from pathlib import Path
from typing import Any

from .. import tl_text

__all__ = ["LAYER", "api", "load", "merged", "mtproto", "path"]

#: The layer of the bundled API schema (its TL text carries no ``// LAYER`` comment).
LAYER = 228

_HERE = Path(__file__).resolve().parent
_FILES = {"api": "telegram_api.tl", "mtproto": "mtproto_api.tl"}


def path(name: str) -> Path:
    """The TL text of a bundled schema: ``"api"`` or ``"mtproto"``."""
    return _HERE / _FILES[name]


@functools.cache
def _converted(name: str) -> dict[str, Any]:
    return tl_text.convert(path(name).read_text(encoding="utf-8"))


def _copy(schema: dict[str, Any]) -> dict[str, Any]:
    # Entries hold only strings and lists of parameter dicts of strings: two levels to copy.
    return {key: [{**e, "params": [dict(p) for p in e["params"]]} for e in entries] for key, entries in schema.items()}


def api() -> dict[str, Any]:
    """The API layer ``LAYER`` as schema JSON data (a dict ready for ``TLParser``)."""
    return _copy(_converted("api"))


def mtproto() -> dict[str, Any]:
    """The MTProto service schema as schema JSON data (a dict ready for ``TLParser``)."""
    return _copy(_converted("mtproto"))


def merged(*schemas: dict[str, Any]) -> dict[str, Any]:
    """One schema holding the constructors, then the methods, of each given schema in order.

    Nothing is removed: where two entries share an id or a name, the compiler's rule applies (the
    later one wins). The two bundled schemas share no id; the name ``message`` is in both (the
    service schema's stands only bare, inside a container).
    """
    return {key: [e for s in schemas for e in s.get(key) or ()] for key in ("constructors", "methods")}


def load(file: str | os.PathLike[str]) -> dict[str, Any]:
    """The schema in a file, as schema JSON data (a dict ready for ``TLParser``): a ``.json`` file
    is read as schema JSON, a ``.tl`` file as TL text (converted by ``Virel.tl_text``). Any other
    name is read as JSON when its text starts with ``{``, else as TL text."""
    text = Path(file).read_text(encoding="utf-8")
    suffix = Path(file).suffix.lower()
    if suffix == ".json" or (suffix != ".tl" and text.lstrip().startswith("{")):
        schema = json.loads(text)
        if not isinstance(schema, dict):
            raise ValueError(f"{os.fspath(file)}: schema JSON must be an object, not {type(schema).__name__}")
        return schema
    return tl_text.convert(text)
