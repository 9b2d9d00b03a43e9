"""Property tests: valid dicts round-trip; hostile bytes never do anything undocumented."""

import json

import pytest
from hypothesis import given, strategies as st

import conftest
from conftest import examples, new_parser
from _data import data_file, find
from support import decode_is_sound, same
from tlgen import SchemaValues, schemas

pytestmark = pytest.mark.usefixtures("codec_path")

FAST = examples(25)
SLOW = examples(300)


def real_layer(name):
    text = data_file(name).read_text()
    return new_parser(text), SchemaValues(json.loads(text))


_LAYERS = {}


def layer(name):
    key = (name, conftest._path)
    if key not in _LAYERS:
        _LAYERS[key] = real_layer(name)
    return _LAYERS[key]


def chunks(name, size):
    """Index ranges over the reachable entries of a data file (one range if it is absent)."""
    path = find(name)
    if path is None:
        return [(name, 0, 0)]
    n = len(SchemaValues(json.loads(path.read_text())).entries)
    return [(name, i, min(i + size, n)) for i in range(0, n, size)]


@pytest.fixture
def api(codec_path):
    return layer("api.json")


def round_trip_entries(data, parser, values, start, stop):
    for e in values.entries[start:stop]:
        d = data.draw(values.obj(e), label=values.name(e))
        out = parser.pack(d)
        assert same(parser.unpack(out), d), values.name(e)
        assert parser.pack(parser.unpack(out)) == out


LAYER_CHUNKS = chunks("api.json", 10) + chunks("api_layer144.json", 20) + chunks("mtproto.json", 50)


@pytest.mark.slow
@pytest.mark.parametrize("name, start, stop", LAYER_CHUNKS)
@examples(3)
@given(data=st.data())
def test_every_entry_of_the_real_layers_round_trips(name, start, stop, data):
    round_trip_entries(data, *layer(name), start, stop)


@pytest.mark.parametrize("name", ["api.json", "api_layer144.json", "mtproto.json"])
@examples(60)
@given(data=st.data())
def test_sampled_entries_of_the_real_layers_round_trip(name, data):
    parser, values = layer(name)
    e = data.draw(st.sampled_from(values.entries))
    round_trip_entries(data, parser, values, values.entries.index(e), values.entries.index(e) + 1)


_STRICT = {}


def strict_layer(name):
    """The layer's lenient parser, its strict and signed twin, and typed values of it."""
    key = (name, conftest._path)
    if key not in _STRICT:
        text = data_file(name).read_text()
        _STRICT[key] = (
            new_parser(text),
            new_parser(text, strict=True, signed=True),
            SchemaValues(json.loads(text), typed=True),
        )
    return _STRICT[key]


def strict_round_trip_entries(data, parser, strict, values, start, stop):
    """What unpack produces, strict pack takes, to the same bytes; and what the strict, signed
    parser unpacks, it packs back byte for byte."""
    for e in values.entries[start:stop]:
        out = parser.pack(data.draw(values.obj(e), label=values.name(e)))
        assert strict.pack(parser.unpack(out)) == out, values.name(e)
        assert strict.pack(strict.unpack(out)) == out, values.name(e)


STRICT_CHUNKS = chunks("api.json", 25) + chunks("mtproto.json", 50)


@pytest.mark.slow
@pytest.mark.parametrize("name, start, stop", STRICT_CHUNKS)
@examples(3)
@given(data=st.data())
def test_every_entry_of_the_real_layers_round_trips_strict_and_signed(name, start, stop, data):
    strict_round_trip_entries(data, *strict_layer(name), start, stop)


@pytest.mark.parametrize("name", ["api.json", "mtproto.json"])
@examples(40)
@given(data=st.data())
def test_sampled_entries_of_the_real_layers_round_trip_strict_and_signed(name, data):
    parser, strict, values = strict_layer(name)
    e = data.draw(st.sampled_from(values.entries))
    i = values.entries.index(e)
    strict_round_trip_entries(data, parser, strict, values, i, i + 1)


def generated_round_trip(data, schema):
    parser, values = new_parser(json.dumps(schema)), SchemaValues(schema)
    for e in values.entries:
        d = data.draw(values.obj(e))
        out = parser.pack(d)
        assert same(parser.unpack(out), d)
        assert parser.pack(parser.unpack(out)) == out


@FAST
@given(schemas(), st.data())
def test_generated_schemas_round_trip(schema, data):
    generated_round_trip(data, schema)


@pytest.mark.slow
@SLOW
@given(schemas(), st.data())
def test_generated_schemas_round_trip_long(schema, data):
    generated_round_trip(data, schema)


@st.composite
def mutated(draw, values):
    e = draw(st.sampled_from(values.entries))
    d = draw(values.obj(e))
    return (
        d,
        draw(st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), max_size=4)),
        draw(st.integers(0, 10**6)),
    )


def mutate(blob, edits, cut):
    b = bytearray(blob)
    for at, byte in edits:
        if b:
            b[at % len(b)] = byte
    return bytes(b[: cut % (len(b) + 1)] if cut % 3 == 0 else b)


@FAST
@given(st.data())
def test_mutated_real_messages(api, data):
    parser, values = api
    d, edits, cut = data.draw(mutated(values))
    decode_is_sound(parser, mutate(parser.pack(d), edits, cut))


@pytest.mark.slow
@examples(3000)
@given(st.data())
def test_mutated_real_messages_long(api, data):
    parser, values = api
    d, edits, cut = data.draw(mutated(values))
    decode_is_sound(parser, mutate(parser.pack(d), edits, cut))


@FAST
@given(schemas(), st.data())
def test_mutated_bytes_of_generated_schemas(schema, data):
    parser, values = new_parser(json.dumps(schema)), SchemaValues(schema)
    d, edits, cut = data.draw(mutated(values))
    decode_is_sound(parser, mutate(parser.pack(d), edits, cut))


@FAST
@given(st.binary(max_size=200))
def test_random_bytes(api, blob):
    decode_is_sound(api[0], blob)
