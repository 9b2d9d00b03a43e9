"""The bundled schemas: unchanged copies, the converter turns them into the reference JSON byte for
byte, and Virel.schemas gives that JSON."""

import json

import pytest

import Virel.schemas
from _data import BUNDLED, CHECKSUMS, SOURCES, converted, sha256


@pytest.mark.parametrize("name", sorted(CHECKSUMS))
def test_data_matches_its_checksum(name):
    path = converted(BUNDLED / SOURCES[name], name) if name in SOURCES else BUNDLED / name
    assert sha256(path) == CHECKSUMS[name]


@pytest.mark.parametrize("name, get", [("api.json", Virel.schemas.api), ("mtproto.json", Virel.schemas.mtproto)])
def test_bundled_schemas_are_the_reference_json(name, get):
    ours = get()
    assert json.loads(converted(BUNDLED / SOURCES[name], name).read_text(encoding="utf-8")) == ours
    ours["constructors"][0]["params"].append({"name": "x", "type": "int"})  # a copy: the next call is unchanged
    assert get() != ours
