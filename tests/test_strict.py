"""TLParser(strict=True, signed=True) and compile(strict=True) on the real layer: what each mode
refuses, and the wider long range that every mode packs."""

import collections
import collections.abc
import copy
import decimal
import json
import struct
import types

import pytest

from conftest import data_file, entry, make_parser, new_parser
from support import builtin_class
from Virel.tl import TLParser, TLSchemaCompiler

SEND = {
    "_": "messages.sendMessage",
    "peer": {"_": "inputPeerUser", "user_id": 7, "access_hash": -5},
    "message": "hi",
    "random_id": -5,
    "entities": [{"_": "messageEntityBold", "offset": 0, "length": 2}],
}


@pytest.fixture(scope="module")
def layer():
    return json.loads(data_file("api.json").read_text())


_parsers = {}


def parser_of(layer, path, **modes):
    key = (path, tuple(sorted(modes.items())))
    if key not in _parsers:
        _parsers[key] = new_parser(layer, **modes)
    return _parsers[key]


@pytest.fixture
def strict(layer, codec_path):
    return parser_of(layer, codec_path, strict=True, signed=True)


@pytest.fixture
def lenient(layer, codec_path):
    return parser_of(layer, codec_path)


def changed(value, **fields):
    out = copy.deepcopy(value)
    for key, v in fields.items():
        if v is KeyError:
            del out[key]
        else:
            out[key] = v
    return out


# ---- Signed integers and the long range ----


def holds(decoded, given):
    """Whether a decoded value holds every value given (it also holds the absent optional fields)."""
    if isinstance(given, dict):
        return all(k in decoded and holds(decoded[k], v) for k, v in given.items())
    if isinstance(given, list):
        return len(decoded) == len(given) and all(map(holds, decoded, given))
    return type(decoded) is type(given) and decoded == given


@pytest.mark.parametrize(
    "value",
    [
        SEND,
        changed(SEND, random_id=-(2**63), peer={"_": "inputPeerUser", "user_id": 2**63 - 1, "access_hash": -1}),
        {"_": "error", "code": -503, "text": "FLOOD"},
        {"_": "messages.getMessages", "id": [{"_": "inputMessageID", "id": -1}]},
        {"_": "messages.deleteMessages", "revoke": True, "id": [-(2**31), 2**31 - 1, -1]},
    ],
)
def test_signed_values_round_trip(strict, lenient, value):
    data = lenient.pack(value)
    assert strict.pack(value) == data
    back = strict.unpack(data)
    assert holds(back, value)
    assert strict.pack(back) == data
    assert lenient.pack(lenient.unpack(data)) == data  # the unsigned reading packs to the same bytes


def test_signed_reads_every_width(strict, lenient):
    longs = [-1, -(2**63), 2**63 - 1, 0]
    data = lenient.pack_as(longs, "Vector<long>")
    assert strict.unpack_from(data, 0, "Vector<long>") == (longs, len(data))
    assert lenient.unpack_from(data, 0, "Vector<long>")[0] == [2**64 - 1, 2**63, 2**63 - 1, 0]
    assert strict.unpack_from(struct.pack("<i", -503), 0, "int") == (-503, 4)
    assert strict.unpack(lenient.pack({"_": "error", "code": 2**32 - 503, "text": ""}))["code"] == -503


@pytest.mark.parametrize("value, packed", [(-(2**63), "0000000000000080"), (2**64 - 1, "ff" * 8), (-1, "ff" * 8)])
def test_long_range_ends_pack_in_every_mode(strict, lenient, value, packed):
    for p in (strict, lenient):
        assert p.pack_as(value, "long").hex() == packed
        assert p.pack_as([value], "Vector<long>").hex().endswith(packed)


@pytest.mark.parametrize("value", [-(2**63) - 1, 2**64])
def test_long_range_ends_are_refused_in_every_mode(strict, lenient, value):
    for p in (strict, lenient):
        with pytest.raises(OverflowError):
            p.pack(changed(SEND, random_id=value))


# ---- Strict encoding ----


class OnlyInt:
    def __int__(self):
        return 3


REFUSED = [
    # misspelled keys, given flags
    (
        dict(mesage="hi", message=KeyError),
        ValueError,
        "'mesage' is no parameter of 'messages.sendMessage' (did you mean 'message'?)",
    ),
    (dict(entites=[]), ValueError, "(did you mean 'entities'?)"),
    (dict(zzzzzz=1), ValueError, "'zzzzzz' is no parameter of 'messages.sendMessage'"),
    (dict(flags=0), ValueError, "'flags' of 'messages.sendMessage' is computed by pack"),
    # missing or None where no default is taken
    (dict(message=KeyError), ValueError, "Missing value for 'message' of 'messages.sendMessage'"),
    (dict(random_id=None), ValueError, "Missing value for 'random_id' of 'messages.sendMessage'"),
    # wrong Python types
    (dict(random_id=1.5), TypeError, "'random_id' of 'messages.sendMessage' takes int, got float"),
    (dict(random_id=decimal.Decimal("7.9")), TypeError, "takes int, got decimal.Decimal"),
    (dict(random_id=True), TypeError, "takes int, got bool"),
    (dict(random_id=OnlyInt()), TypeError, "takes int, got OnlyInt"),
    (dict(silent=1), TypeError, "'silent' of 'messages.sendMessage' takes bool, got int"),
    (dict(silent="yes"), TypeError, "takes bool, got str"),
    (dict(message=b"hi"), TypeError, "'message' of 'messages.sendMessage' takes str, got bytes"),
    (dict(entities={"_": "messageEntityBold"}), TypeError, "takes list or tuple, got dict"),
    (dict(entities=[5]), TypeError, "element 0 of a Vector<MessageEntity> takes dict, got int"),
    (dict(peer="self"), TypeError, "'peer' of 'messages.sendMessage' takes dict, got str"),
    # records of another type than the parameter declares, at every depth
    (
        dict(peer={"_": "userEmpty", "id": 1}),
        ValueError,
        "Expected an object of type InputPeer, got 'userEmpty' of type User",
    ),
    (dict(entities=[{"_": "userEmpty", "id": 1}]), ValueError, "Expected an object of type MessageEntity"),
    (
        dict(entities=[{"_": "messageEntityBold", "offset": 0, "length": 2.0}]),
        TypeError,
        "'length' of 'messageEntityBold' takes int, got float",
    ),
    (
        dict(
            reply_to={"_": "inputReplyToMessage", "reply_to_msg_id": 1, "quote_entities": [{"_": "messageEntityBold"}]}
        ),
        ValueError,
        "Missing value for 'offset' of 'messageEntityBold'",
    ),
]


@pytest.mark.parametrize("fields, error, message", REFUSED)
def test_strict_pack_refuses(strict, lenient, fields, error, message):
    value = changed(SEND, **fields)
    with pytest.raises(error) as caught:
        strict.pack(value)
    assert message in str(caught.value)
    assert caught.value.__notes__[0].startswith("at messages.sendMessage")
    with pytest.raises(error):
        strict.pack_into(bytearray(), value)


def test_the_lenient_mode_guesses_where_strict_refuses(lenient):
    # What strict refuses above, the default mode packs as it always did.
    assert lenient.pack(changed(SEND, mesage="x", message=KeyError)) == lenient.pack(changed(SEND, message=""))
    assert lenient.pack(changed(SEND, random_id=1.5)) == lenient.pack(changed(SEND, random_id=1))
    assert lenient.pack(changed(SEND, silent=1)) == lenient.pack(SEND)


@pytest.mark.parametrize(
    "fields",
    [
        dict(entities=tuple(SEND["entities"])),
        dict(silent=False, reply_to=None, entities=None),
        dict(peer=types.MappingProxyType({"_": "inputPeerSelf"})),
        dict(peer=collections.OrderedDict(_="inputPeerSelf")),
    ],
)
def test_strict_pack_takes_the_other_usual_forms(strict, lenient, fields):
    value = changed(SEND, **fields)
    assert strict.pack(value) == lenient.pack(value)


@pytest.mark.parametrize(
    "value, type_text, error, message",
    [
        ([1, 2.5], "Vector<long>", TypeError, "element 1 of a Vector<long> takes int, got float"),
        ({1, 2}, "Vector<long>", TypeError, "a value of type 'Vector<long>' takes list or tuple, got set"),
        (5.0, "long", TypeError, "a value of type 'long' takes int, got float"),
        (1, "double", None, None),
        (bytearray(b"x"), "bytes", None, None),
        ({"_": "userEmpty", "id": 1}, "InputPeer", ValueError, "Expected an object of type InputPeer"),
        ({"_": "userEmpty", "id": 1}, "User", None, None),
        ({"_": "userEmpty", "id": 1}, "Object", None, None),
    ],
)
def test_strict_typed_packing(strict, lenient, value, type_text, error, message):
    if error is None:
        assert strict.pack_as(value, type_text) == lenient.pack_as(value, type_text)
        return
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        strict.pack_as(value, type_text)


def test_strict_pack_refuses_a_field_no_flags_word_carries(codec_path):
    p = make_parser([entry(1, "e", ("x", "flags.0?int"), ("y", "int"))])
    assert p.pack({"_": "e", "x": 5, "y": 1}) == struct.pack("<III", 1, 5, 1)  # written where no reader looks
    s = new_parser({"constructors": [entry(1, "e", ("x", "flags.0?int"), ("y", "int"))]}, strict=True)
    with pytest.raises(ValueError, match="Cannot pack 'x' of 'e': the record has no flags word to carry it"):
        s.pack({"_": "e", "x": 5, "y": 1})
    assert s.pack({"_": "e", "x": None, "y": 1}) == struct.pack("<II", 1, 1)


def test_strict_pack_judges_a_record_by_where_it_stands(codec_path):
    # The fit of a record is remembered per place: the same record passes in one place and is
    # refused in another, however often and in whatever order the two come.
    s = new_parser(
        {
            "constructors": [
                entry(1, "a", kind="A"),
                entry(2, "b", kind="B"),
                entry(3, "h", ("flags", "#"), ("p", "A"), ("v", "Vector<A>"), ("w", "flags.0?A"), kind="H"),
            ]
        },
        strict=True,
    )
    a, b = {"_": "a"}, {"_": "b"}
    good = {"_": "h", "p": a, "v": [a, a], "w": a}
    for bad, place in [
        (dict(good, p=b), "at h.p"),
        (dict(good, v=[a, b]), "at h.v[1]"),
        (dict(good, w=b), "at h.w"),
    ] * 2:
        assert s.pack(good) == struct.pack("<8I", 3, 1, 1, 0x1CB5C415, 2, 1, 1, 1)
        with pytest.raises(ValueError, match="^Expected an object of type A, got 'b' of type B\n") as caught:
            s.pack(bad)
        assert caught.value.__notes__[0].startswith(place)


def test_strict_pack_refuses_a_missing_field_beside_a_conditional_flags_word(codec_path):
    s = new_parser(
        {"constructors": [entry(1, "e", ("flags2", "#"), ("flags", "flags2.0?#"), ("y", "int"))]}, strict=True
    )
    with pytest.raises(ValueError, match="^Missing value for 'y' of 'e'"):
        s.pack({"_": "e"})
    with pytest.raises(ValueError, match="^Missing value for 'y' of 'e'"):
        s.pack({"_": "e", "y": None})
    assert s.pack({"_": "e", "y": 7}) == struct.pack("<4I", 1, 0, 0, 7)


# ---- What every mode does alike ----

MODES = {"default": {}, "strict": {"strict": True}, "signed": {"signed": True}}


@pytest.fixture(params=MODES)
def mode(request):
    return MODES[request.param]


class Fields(collections.abc.Mapping):
    """A mapping that is no dict; a key named in `failing` raises LookupError when read."""

    def __init__(self, items, failing=()):
        self.items, self.failing = items, failing

    def __getitem__(self, key):
        if key in self.failing:
            raise LookupError(f"no {key} today")
        return self.items[key]

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


class FailingDict(dict):
    def __getitem__(self, key):
        if key == "size":
            raise LookupError("no size today")
        return dict.__getitem__(self, key)


SHARED = [
    entry(1, "e", ("flags", "#"), ("a", "flags.0?int"), ("b", "flags.0?int"), ("t", "flags.0?true"), ("c", "int")),
    entry(2, "d", ("u", "flags.1?int"), ("flags", "#"), ("s", "string")),
    entry(3, "obj", ("flags", "#"), ("urgent", "flags.0?true"), ("size", "int"), ("bs", "Vector<Bool>")),
]
TOP = "at the top-level object"


@pytest.mark.parametrize(
    "value, error, message, note",
    [
        ({"_": 5}, TypeError, "Expected str, got int", TOP),
        ({}, ValueError, "Object must have '_' field", TOP),
        ({"_": None}, ValueError, "Object must have '_' field", TOP),
        ({"_": ""}, ValueError, "Object must have '_' field", TOP),
        ({"_": "nobody"}, ValueError, "Unknown constructor: nobody", TOP),
        (
            {"_": "e", "a": 1, "b": 2, "t": False, "c": 1},
            ValueError,
            "Flag 't' of 'e' is false, but 'a' is present and sets bit 0 of flags, which carries the flag",
            "at e (records: e)",
        ),
        (
            {"_": "e", "a": 1, "c": 9},
            ValueError,
            "Missing value for 'b' of 'e': it shares bit 0 of flags with a field that is present",
            "at e.b (records: e)",
        ),
        (
            {"_": "e", "a": 1, "b": None, "c": 9},
            ValueError,
            "Missing value for 'b' of 'e': it shares bit 0 of flags with a field that is present",
            "at e.b (records: e)",
        ),
        (
            {"_": "d", "u": 5, "s": "hi"},
            ValueError,
            "Cannot pack 'u' of 'd': it comes before flags, the flags word that carries it",
            "at d (records: d)",
        ),
    ],
)
@pytest.mark.parametrize("container", [dict, Fields])
def test_pack_refuses_an_object_alike_in_every_mode(codec_path, mode, container, value, error, message, note):
    p = new_parser({"constructors": SHARED}, **mode)
    with pytest.raises(error) as caught:
        p.pack(container(value))
    assert builtin_class(caught.value) is error and str(caught.value) == message  # D34
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize(
    "value",
    [Fields({"_": "obj", "size": 1, "bs": []}, failing={"size"}), FailingDict({"_": "obj", "size": 1, "bs": []})],
    ids=["mapping", "dict-subclass"],
)
def test_a_failing_lookup_passes_through_in_every_mode(codec_path, mode, value):
    p = new_parser({"constructors": SHARED}, **mode)
    with pytest.raises(LookupError) as caught:
        p.pack(value)
    assert type(caught.value) is LookupError and str(caught.value) == "no size today"
    assert caught.value.__notes__ == ["at obj.size (records: obj)"] and caught.value.__context__ is None


@pytest.mark.parametrize("urgent", [False, None, KeyError, True])
@pytest.mark.parametrize("container", [dict, Fields])
def test_a_flag_given_false_is_absent_in_every_mode(codec_path, mode, container, urgent):
    value = {"_": "obj", "urgent": urgent, "size": 1, "bs": [True, False]}
    if urgent is KeyError:
        del value["urgent"]
    flags = 1 if urgent is True else 0
    data = struct.pack("<5I", 3, flags, 1, 0x1CB5C415, 2) + struct.pack("<2I", 1, 0)
    assert new_parser({"constructors": SHARED}, **mode).pack(container(value)) == data


@pytest.mark.parametrize(
    "elements, message, note",
    [
        ([True, 1], "element 1 of a Vector<Bool> takes bool, got int", "at obj.bs[1] (records: obj)"),
        ([None], "element 0 of a Vector<Bool> takes bool, got NoneType", "at obj.bs[0] (records: obj)"),
    ],
)
def test_strict_vector_of_bool_takes_bools_only(codec_path, elements, message, note):
    value = {"_": "obj", "size": 1, "bs": elements}
    s = new_parser({"constructors": SHARED}, strict=True)
    with pytest.raises(TypeError) as caught:
        s.pack(value)
    assert str(caught.value) == message and caught.value.__notes__ == [note]
    new_parser({"constructors": SHARED}).pack(value)  # the default mode writes any value's truth
    assert s.pack_as((True, False), "Vector<Bool>") == struct.pack("<4I", 0x1CB5C415, 2, 1, 0)


# ---- Strict decoding ----


@pytest.mark.parametrize("value", [SEND, {"_": "inputPeerSelf"}])
@pytest.mark.parametrize("extra", [b"\0", b"\0" * 4, b"\xff" * 9])
def test_strict_unpack_refuses_trailing_bytes(strict, lenient, value, extra):
    data = lenient.pack(value)
    with pytest.raises(ValueError) as caught:
        strict.unpack(data + extra)
    assert (
        str(caught.value) == f"{len(extra)} byte{'s' * (len(extra) > 1)} left after the object, at position {len(data)}"
    )
    name = value["_"]
    assert caught.value.__notes__ == [f"at {name} (records: {name}); the extra bytes begin at byte {len(data)}"]
    assert lenient.unpack(data + extra) == lenient.unpack(data)
    assert strict.unpack_from(data + extra)[1] == len(data)


# ---- Strict compiling ----


def broken(layer, name, change):
    entries = [copy.deepcopy(e) for e in layer["constructors"] if e["predicate"] in ("peerUser", "peerChat", name)]
    target = next(e for e in entries if e["predicate"] == name)
    change(target)
    return {"constructors": entries}, entries.index(target)


def set_param_type(name, text):
    def change(e):
        next(p for p in e["params"] if p["name"] == name)["type"] = text

    return change


BROKEN = [
    ("peerUser", lambda e: e.pop("id"), "lacks an id"),
    ("peerUser", lambda e: e.update(id="abc"), "has an id that is not a decimal integer: 'abc'"),
    ("peerUser", lambda e: e.pop("predicate"), "lacks a name"),
    ("peerUser", lambda e: e.pop("params"), "lacks its parameters"),
    ("peerUser", lambda e: e.pop("type"), "lacks a result type"),
    ("peerUser", lambda e: e["params"][0].pop("name"), "has a parameter without a name"),
    ("peerUser", lambda e: e["params"][0].pop("type"), "has a parameter without a type: 'user_id'"),
    ("message", set_param_type("entities", "flags.7?Vector<MessageEntity"), "unbalanced '<' and '>'"),
    ("message", set_param_type("entities", "flags.7?Vector<>"), "an empty type name"),
    ("message", set_param_type("entities", "flags.?Vector<MessageEntity>"), "without a bit number"),
    ("message", set_param_type("entities", "flags3.7?Vector<MessageEntity>"), "'entities:flags3.7?Vector<"),
    ("message", lambda e: e["params"].pop(0), "a flags word (flags or flags2) that no earlier parameter"),
    ("peerChat", lambda e: e.update(id=1498486562), "has the id of entry"),
    ("peerUser", lambda e: e.update(id=1.5), "('peerUser'): has an id that is not an integer: 1.5"),
    ("peerUser", lambda e: e.update(id=[]), "('peerUser'): has an id that is not an integer: []"),
    ("peerUser", lambda e: e.update(id=2**40), "('peerUser'): has an id outside -2**31..2**32-1: 1099511627776"),
    ("peerUser", lambda e: e.update(id=-(2**31) - 1), "has an id outside -2**31..2**32-1: -2147483649"),
    (
        "peerUser",
        lambda e: e.update(type="Vector<"),
        "('peerUser'): has a malformed result type (an empty type name): 'Vector<'",
    ),
    (
        "message",
        set_param_type("entities", "flags.3?Vector<MessageEntity>x"),
        "has a malformed type (characters after the type): 'entities:flags.3?Vector<MessageEntity>x'",
    ),
]


@pytest.mark.parametrize("name, change, message", BROKEN)
def test_strict_compile_refuses_broken_entries(layer, name, change, message):
    schema, index = broken(layer, name, change)
    with pytest.raises(ValueError) as caught:
        TLSchemaCompiler().compile(json.dumps(schema), strict=True)
    assert str(caught.value).startswith(f"schema entry {index} ")
    assert message in str(caught.value)
    try:  # the lenient compile guesses (or fails with the host's own error, naming no entry)
        TLSchemaCompiler().compile(schema)
    except (KeyError, ValueError, TypeError, OverflowError) as exc:
        assert "schema entry" not in str(exc)


def test_strict_compile_takes_the_real_layers(layer):
    mtproto = json.loads(data_file("mtproto.json").read_text())
    TLSchemaCompiler().compile(mtproto, strict=True)
    duplicate = copy.deepcopy(layer["constructors"][:50])
    TLSchemaCompiler().compile({"constructors": duplicate + duplicate}, strict=True)  # the same entry twice
    # The layer's "...Prefix" constructors share their id with the call they prefix.
    with pytest.raises(ValueError, match=r"\('invokeWithBusinessConnection'\): has the id of entry \d+"):
        TLSchemaCompiler().compile(layer, strict=True)


def test_the_options_are_keywords_only(layer):
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 1 positional argument \(2 given\)"):
        TLParser("{}", True)
    with pytest.raises(TypeError, match=r"compile\(\) takes exactly 1 positional argument \(2 given\)"):
        TLSchemaCompiler().compile("{}", True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'signed'"):
        TLSchemaCompiler().compile("{}", signed=True)
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 1 positional argument \(0 given\)"):
        TLParser(strict=True)
    assert TLParser(schema_json="{}", strict=False, signed=0).pack_as(-1, "long") == b"\xff" * 8
