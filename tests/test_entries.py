"""The pack and unpack entry points around the codec: what pack shares with pack_as, and the parser
each call leaves behind, whichever way it ends."""

import json
import traceback

import pytest

from Virel.tl import TLParser

from conftest import data_file, new_parser

BUSY = "TLParser is already in use by another pack or unpack call"
PEER = {"_": "inputPeerSelf"}
SEND = {
    "_": "messages.sendMessage",
    "peer": PEER,
    "message": "hi",
    "random_id": 5,
    "entities": [{"_": "messageEntityBold", "offset": 0, "length": 2}],
}


@pytest.fixture(scope="module")
def layer():
    return json.loads(data_file("api.json").read_text())


@pytest.fixture
def api(layer, codec_path):  # every test that takes it runs on both codec paths
    return new_parser(layer)


def failure(call):
    """The exception of call(): type, message, notes and our traceback entries."""
    with pytest.raises(BaseException) as caught:
        call()
    error = caught.value
    names = [f.name for f in traceback.extract_tb(error.__traceback__) if f.filename == "src/Virel/tl"]
    return type(error), str(error), getattr(error, "__notes__", None), names


@pytest.mark.parametrize(
    "value",
    [
        {"_": "nope"},
        {"_": 5},
        {},
        5,
        dict(SEND, random_id="x"),
        dict(SEND, peer={"_": "inputPeerUser", "user_id": 2**64}),
        dict(SEND, entities=[{"_": "messageEntityBold", "offset": None}]),
        dict(SEND, message="\ud800"),
        dict(SEND, message=None),
    ],
)
def test_pack_fails_as_pack_as_without_a_type_under_its_own_name(api, value):
    kind, message, notes, names = failure(lambda: api.pack(value))
    assert names[0] == "Virel.tl.TLParser.pack"
    assert failure(lambda: api.pack_as(value, None)) == (
        kind,
        message,
        notes,
        ["Virel.tl.TLParser.pack_as"] + names[1:],
    )
    assert failure(lambda: api.pack_into(bytearray(), value)) == (
        kind,
        message,
        notes,
        ["Virel.tl.TLParser.pack_into"] + names[1:],
    )


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.usefixtures("codec_path")
def test_pack_and_pack_as_without_a_type_agree_in_every_mode(layer, strict):
    parser = new_parser(layer, strict=strict)
    assert parser.pack(SEND) == parser.pack_as(SEND, None) == parser.pack_as(value=SEND, type=None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.pack(), r"^pack\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda p: p.pack(PEER, None), r"^pack\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda p: p.pack(PEER, value=PEER), r"^pack\(\) got multiple values for keyword argument 'value'$"),
        (lambda p: p.pack(type=None), r"^pack\(\) got an unexpected keyword argument 'type'$"),
        (lambda p: p.pack_as(PEER), r"^pack_as\(\) missing required argument 'type' \(pos 2\)$"),
        (lambda p: p.pack_as(PEER, None, 1), r"^pack_as\(\) takes exactly 2 positional arguments \(3 given\)$"),
    ],
)
def test_pack_keeps_its_own_argument_rules(api, call, message):
    with pytest.raises(TypeError, match=message):
        call(api)


class Reenters:
    """An int field whose conversion calls the parser again (refused: the parser is busy)."""

    def __init__(self, call):
        self.call = call

    def __int__(self):
        self.call()
        return 1


def failing_calls(parser):
    good = parser.pack(SEND)
    return [
        lambda: parser.unpack(good[:-1]),  # a shortage
        lambda: parser.unpack(b"\xab\0\0\0"),  # an exception
        lambda: parser.unpack(None),
        lambda: parser.unpack_from(bytearray(good[:-1])),
        lambda: parser.unpack_from(bytearray(b"\xab\0\0\0" * 64)),
        lambda: parser.unpack_from(bytearray(b"\1h"), 0, "string"),  # padding past the end
        lambda: parser.unpack_from(bytearray(b"\2\xff\xfe\0"), 0, "string"),
        lambda: parser.unpack_from(bytearray(4), 0, "Vector<"),
        lambda: parser.pack(dict(SEND, random_id="x")),
        lambda: parser.pack_as(["x"], "Vector<int>"),
        lambda: parser.pack_into(bytearray(), dict(SEND, message=None)),
        lambda: parser.pack(dict(SEND, random_id=Reenters(lambda: parser.unpack_from(bytearray(good))))),
        lambda: parser.pack(dict(SEND, random_id=Reenters(lambda: parser.pack(PEER)))),
    ]


@pytest.mark.parametrize("which", range(13))
def test_a_failed_call_leaves_the_parser_whole(api, which):
    good = api.pack(SEND)
    call = failing_calls(api)[which]
    with pytest.raises(Exception) as caught:
        call()
    assert BUSY not in str(caught.value) or which >= 11
    # Neither busy nor reading the caller's bytes: a pack that grows the buffer writes only its own,
    # and the input of the failed unpack_from stays as it was.
    data = bytearray(b"\xab\0\0\0" * 64)
    with pytest.raises(ValueError):
        api.unpack_from(data)
    big = dict(SEND, message="m" * 5000)
    assert api.unpack(api.pack(big)) == api.unpack(api.pack_as(big, None))
    assert data == b"\xab\0\0\0" * 64
    data += b"more"  # no export left behind
    assert api.pack(SEND) == good and api.unpack(good)["message"] == "hi"


@pytest.mark.parametrize(
    "name, call",
    [
        ("pack", lambda p: p.pack({"_": "a"})),
        ("pack_as", lambda p: p.pack_as(1, "int")),
        ("pack_into", lambda p: p.pack_into(bytearray(), {"_": "a"})),
        ("unpack", lambda p: p.unpack(b"\1\0\0\0")),
        ("unpack_from", lambda p: p.unpack_from(b"\1\0\0\0")),
    ],
)
def test_a_cleared_parser_refuses_every_entry_point(name, call):
    import ctypes

    class Sub(TLParser):
        pass

    parser = Sub(json.dumps({"constructors": [{"id": "1", "predicate": "a", "params": [], "type": "A"}]}))
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(TLParser, 51))  # Py_tp_clear
    clear(parser)
    assert failure(lambda: call(parser)) == (
        RuntimeError,
        "TLParser has no schema: it was cleared",
        None,
        [f"Virel.tl.TLParser.{name}"],
    )
