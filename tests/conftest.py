import json
import os
import pathlib

import pytest

from Virel.tl import TLParser
from _data import data_file  # noqa: F401  (the data-folder lookup, for the test modules)

ROOT = pathlib.Path(__file__).resolve().parent.parent

# A small schema with a flags word, conditional fields, a vector, a nested object and a method.
SCHEMA = {
    "constructors": [
        {"id": 1, "predicate": "obj", "type": "Obj", "params": [
            {"name": "flags", "type": "#"},
            {"name": "urgent", "type": "flags.0?true"},
            {"name": "note", "type": "flags.1?string"},
            {"name": "size", "type": "int"},
            {"name": "tags", "type": "Vector<long>"},
        ]},
        {"id": "-1132882121", "predicate": "boolFalse", "type": "Bool"},
        {"id": 0x2A, "predicate": "point", "type": "Point", "params": [
            {"name": "x", "type": "double"}, {"name": "y", "type": "double"}]},
        {"id": 0x10, "predicate": "user", "type": "User", "params": [
            {"name": "id", "type": "long"},
            {"name": "name", "type": "string"},
            {"name": "photo", "type": "bytes"},
            {"name": "bot", "type": "Bool"},
        ]},
        {"id": 0x11, "predicate": "holder", "type": "Holder", "params": [
            {"name": "flags", "type": "#"},
            {"name": "flags2", "type": "#"},
            {"name": "owner", "type": "User"},
            {"name": "where", "type": "flags.3?Point"},
            {"name": "ints", "type": "Vector<int>"},
            {"name": "users", "type": "Vector<User>"},
            {"name": "late", "type": "flags2.0?int"},
            {"name": "late_flag", "type": "flags2.35?true"},
        ]},
        {"id": 0x12, "predicate": "empty", "type": "Empty"},
    ],
    "methods": [
        {"id": 0x20, "method": "getUser", "type": "User", "params": [{"name": "id", "type": "long"}]},
    ],
}

SCHEMA_TEXT = json.dumps(SCHEMA)


@pytest.fixture
def parser():
    return TLParser(SCHEMA_TEXT)


def make_parser(constructors=(), methods=()):
    return TLParser({"constructors": list(constructors), "methods": list(methods)})


def entry(ident, name, *params, kind="T"):
    """One schema entry; params are (name, type) pairs."""
    return {"id": ident, "predicate": name, "type": kind,
            "params": [{"name": n, "type": t} for n, t in params]}


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VIREL_SANITIZED"):
        skip = pytest.mark.skip(reason="memory figures mean nothing under the sanitizers")
        for item in items:
            if "plain_build_only" in item.keywords:
                item.add_marker(skip)
