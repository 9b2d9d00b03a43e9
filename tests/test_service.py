"""The service layer through the codec: framed bodies (a body read and written within the `bytes`
before it), gzip_packed inflated in place, and a boxed vector read as the request's result type.
Expected bytes are built by hand with struct."""

import gc
import re
import gzip
import struct
import sys
import zlib

import pytest
from hypothesis import given, strategies as st

from conftest import entry, examples, heap_in_use, new_parser
from hostile import le32, parse_error_position

pytestmark = pytest.mark.usefixtures("codec_path")

CONTAINER, RPC_RESULT, GZIP, ACK, ERROR, PEER, WRAP, MESSAGE = (
    0x73F1F8DC,
    0xF35C6D01,
    0x3072CFA1,
    0x62D6B459,
    0x2144CA19,
    0x59511722,
    0x0A0B0C0D,
    0x5BB8E511,
)
VEC = 0x1CB5C415

ENTRIES = [
    # A boxed stand-in for the service's message: the rule that frames its body is the schema's,
    # not the record's name or id.
    entry(
        MESSAGE, "message", ("msg_id", "long"), ("seqno", "int"), ("bytes", "int"), ("body", "Object"), kind="Message"
    ),
    entry(CONTAINER, "container", ("messages", "Vector<Message>"), kind="MessageContainer"),
    entry(RPC_RESULT, "rpc_result", ("req_msg_id", "long"), ("result", "Object"), kind="RpcResult"),
    entry(ERROR, "rpc_error", ("error_code", "int"), ("error_message", "string"), kind="RpcError"),
    entry(GZIP, "gzip_packed", ("packed_data", "bytes"), kind="Object"),
    entry(ACK, "msgs_ack", ("msg_ids", "Vector<long>"), kind="MsgsAck"),
    entry(PEER, "peerUser", ("user_id", "long"), kind="Peer"),
    entry(WRAP, "wrap", ("peer", "Peer"), ("note", "string"), kind="Wrap"),
    # `bytes` before an Object, but optional fields in the record: not framed.
    entry(0x0E0E0E0E, "loose", ("flags", "#"), ("bytes", "int"), ("body", "Object"), ("x", "flags.0?int")),
]


def parser(**modes):
    return new_parser({"constructors": ENTRIES, "methods": []}, **modes)


def ack_bytes(*ids):
    return struct.pack(f"<IIi{len(ids)}Q", ACK, VEC, len(ids), *ids)


def message_bytes(msg_id, seqno, body, length=None):
    return struct.pack("<Iqii", MESSAGE, msg_id, seqno, len(body) if length is None else length) + body


def gzipped(data, **kw):
    return struct.pack("<I", GZIP) + tl_bytes(gzip.compress(data, **kw))


def tl_bytes(data):
    n = len(data)
    head = bytes([n]) if n < 254 else b"\xfe" + n.to_bytes(3, "little")
    return head + data + bytes(-(len(head) + n) % 4)


ACK_12 = {"_": "msgs_ack", "msg_ids": [1, 2]}


# ---- Framed bodies ----


@pytest.mark.parametrize("given", [{}, {"bytes": None}, {"bytes": 28}], ids=["absent", "None", "right"])
def test_pack_works_out_or_checks_the_length(given):
    p = parser()
    value = {"_": "container", "messages": [{"_": "message", "msg_id": 5, "seqno": 3, **given, "body": ACK_12}] * 2}
    expected = struct.pack("<III", CONTAINER, VEC, 2) + message_bytes(5, 3, ack_bytes(1, 2)) * 2
    assert p.pack(value) == expected
    out = bytearray(b"xy")
    assert p.pack_into(out, value) == 2 + len(expected) and out[2:] == expected
    msg = p.unpack(expected)["messages"][1]
    assert msg == {"_": "message", "msg_id": 5, "seqno": 3, "bytes": 28, "body": ACK_12}


@pytest.mark.parametrize("length", [0, 24, 32, 2**31 - 1, -1])
def test_pack_refuses_a_wrong_length(length):
    p = parser()
    with pytest.raises(
        ValueError, match=rf"^'bytes' of 'message' is {length % 2**32}, but its body 'body' takes 28 bytes"
    ) as info:
        p.pack(
            {"_": "container", "messages": [{"_": "message", "msg_id": 1, "seqno": 1, "bytes": length, "body": ACK_12}]}
        )
    assert info.value.__notes__ == ["at container.messages[0].bytes (records: container > message)"]
    out = bytearray(b"keep")
    with pytest.raises(ValueError):
        p.pack_into(out, {"_": "message", "msg_id": 1, "seqno": 1, "bytes": length, "body": ACK_12})
    assert out == b"keep"


def test_strict_pack_works_out_the_length_too():
    p = parser(strict=True)
    assert p.pack({"_": "message", "msg_id": 1, "seqno": 1, "body": ACK_12}) == message_bytes(1, 1, ack_bytes(1, 2))
    with pytest.raises(ValueError, match="Missing value for 'seqno'"):
        p.pack({"_": "message", "msg_id": 1, "body": ACK_12})
    with pytest.raises(TypeError, match="takes int"):
        p.pack({"_": "message", "msg_id": 1, "seqno": "1", "body": ACK_12})


def test_only_a_plain_record_frames_its_body():
    p = parser()
    # `loose` has optional fields: its `bytes` is an ordinary int, written as given (0 when absent).
    assert p.pack({"_": "loose", "body": ACK_12}) == struct.pack("<III", 0x0E0E0E0E, 0, 0) + ack_bytes(1, 2)


@pytest.mark.parametrize("slack", [0, 4, 12, 3])
def test_unpack_skips_what_a_body_leaves_unread(slack):
    p = parser()
    body = ack_bytes(7) + b"\xee" * slack
    blob = struct.pack("<III", CONTAINER, VEC, 2) + message_bytes(1, 2, body) + message_bytes(3, 4, ack_bytes(8))
    got = p.unpack(blob)["messages"]
    assert [(m["msg_id"], m["bytes"], m["body"]["msg_ids"]) for m in got] == [(1, 20 + slack, [7]), (3, 20, [8])]


@pytest.mark.parametrize(
    "length, field, at",
    [
        (16, "body.msg_ids[0] ", 84),  # the body reads past its bytes
        (2**31 - 1, "body ", 68),  # past the input
        (-4, "body ", 68),  # negative
        (100, "body ", 68),
    ],
)
def test_a_body_never_reads_past_its_length(length, field, at):
    p = parser()
    blob = (
        struct.pack("<III", CONTAINER, VEC, 2)
        + message_bytes(1, 1, ack_bytes(1))
        + message_bytes(2, 2, ack_bytes(5, 6), length=length)
        + message_bytes(3, 3, ack_bytes(1))
    )
    with pytest.raises(RuntimeError) as info:
        p.unpack(blob)
    note = info.value.__notes__[0]
    assert note.startswith("at container.messages[1]." + field) and f"began at byte {at}," in note


def test_a_count_of_messages_the_input_cannot_back():
    p = parser()
    blob = struct.pack("<III", CONTAINER, VEC, 2**31 - 1) + message_bytes(1, 1, ack_bytes(1))
    with pytest.raises(RuntimeError) as info:
        p.unpack(blob)
    assert parse_error_position(info.value) == 12


def test_nested_containers_decode_or_stop_at_the_depth_limit():
    p = parser()
    blob = ack_bytes(9)
    for i in range(20):
        blob = struct.pack("<III", CONTAINER, VEC, 1) + message_bytes(i, i, blob)
    value = p.unpack(blob)
    for _ in range(20):
        value = value["messages"][0]["body"]
    assert value == {"_": "msgs_ack", "msg_ids": [9]}
    deep = ack_bytes(9)
    for i in range(3000):
        deep = struct.pack("<III", CONTAINER, VEC, 1) + message_bytes(i, i, deep)
    try:  # as deep as the interpreter's limit allows (3.13's is higher), else RecursionError
        value = p.unpack(deep)
    except RecursionError:
        return
    for _ in range(3000):
        value = value["messages"][0]["body"]
    assert value == {"_": "msgs_ack", "msg_ids": [9]}


@examples(150)
@given(data=st.data())
def test_containers_of_any_bodies_round_trip(data):
    """Bodies with any slack after them, any of them gzip-packed: pack works the lengths out, and
    unpack (inflating) reads each body back from within its own."""
    p, plain = parser(inflate=True), parser()
    messages, wire = [], b""
    for i in range(data.draw(st.integers(0, 6))):
        ids = data.draw(st.lists(st.integers(0, 2**64 - 1), max_size=4))
        body = ack_bytes(*ids)
        if data.draw(st.booleans()):
            body = gzipped(body, compresslevel=data.draw(st.integers(0, 9)))
        body += data.draw(st.binary(max_size=9))
        messages.append(
            {"_": "message", "msg_id": i, "seqno": 2 * i, "bytes": len(body), "body": {"_": "msgs_ack", "msg_ids": ids}}
        )
        wire += message_bytes(i, 2 * i, body)
    blob = struct.pack("<III", CONTAINER, VEC, len(messages)) + wire
    value = {"_": "container", "messages": messages}
    assert p.unpack(blob) == value
    tight = [dict(m, bytes=None) for m in messages]
    again = plain.pack({"_": "container", "messages": tight})
    assert plain.unpack(again) == {
        "_": "container",
        "messages": [dict(m, bytes=len(ack_bytes(*m["body"]["msg_ids"]))) for m in messages],
    }


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("where", ["result", "body"])
@pytest.mark.parametrize("vector", [[1, 2], (), [ACK_12]])
def test_a_list_where_an_object_stands_is_refused(vector, where, strict):
    """pack cannot tell a vector's element type where the schema says Object (unpack needs
    result_type for it): a list there is refused at its field, and nothing is written."""
    p = parser(strict=strict)
    value = {"_": "rpc_result", "req_msg_id": 1, "result": vector}
    if where == "body":
        value = {"_": "message", "msg_id": 1, "seqno": 1, "body": vector}
    error = TypeError if strict else AttributeError
    words = f"^'{where}' of '{value['_']}' takes dict, got {type(vector).__name__}\n" if strict else "has no attribute"
    with pytest.raises(error, match=words):
        p.pack(value)
    out = bytearray(b"keep")
    with pytest.raises(error) as info:
        p.pack_into(out, value)
    assert out == b"keep" and info.value.__notes__[0].startswith(f"at {value['_']}.{where} ")


# ---- gzip_packed ----


def test_gzip_packed_stays_packed_by_default():
    packed = gzip.compress(ack_bytes(1, 2))
    blob = struct.pack("<Iq", RPC_RESULT, 9) + struct.pack("<I", GZIP) + tl_bytes(packed)
    assert parser().unpack(blob) == {
        "_": "rpc_result",
        "req_msg_id": 9,
        "result": {"_": "gzip_packed", "packed_data": packed},
    }


def test_gzip_packed_inflated_wherever_an_object_stands():
    p = parser(inflate=True)
    ack = ack_bytes(1, 2)
    assert p.unpack(struct.pack("<Iq", RPC_RESULT, 9) + gzipped(ack))["result"] == ACK_12
    assert p.unpack(gzipped(ack)) == ACK_12
    container = struct.pack("<III", CONTAINER, VEC, 2) + message_bytes(1, 1, gzipped(ack)) + message_bytes(2, 2, ack)
    assert [m["body"] for m in p.unpack(container)["messages"]] == [ACK_12, ACK_12]
    wrap = struct.pack("<I", WRAP) + gzipped(struct.pack("<Iq", PEER, 42)) + tl_bytes(b"hi")
    assert p.unpack(wrap) == {"_": "wrap", "peer": {"_": "peerUser", "user_id": 42}, "note": "hi"}
    # A container inside a gzip_packed inside a container, and a gzip_packed inside a gzip_packed.
    inner = struct.pack("<III", CONTAINER, VEC, 1) + message_bytes(7, 7, gzipped(gzipped(ack)))
    outer = struct.pack("<III", CONTAINER, VEC, 1) + message_bytes(8, 8, gzipped(inner))
    assert p.unpack(outer)["messages"][0]["body"]["messages"][0]["body"] == ACK_12
    assert p.unpack_from(b"\0" * 4 + outer, 4) == (p.unpack(outer), 4 + len(outer))


BAD_GZIP = {
    "raw deflate": (zlib.compress(b"x" * 40)[2:-4], "is not gzip: it does not begin with the gzip header"),
    "zlib format": (zlib.compress(b"x" * 40), "is not gzip"),
    "empty": (b"", "is truncated: it ends inside its compressed stream"),
    "truncated": (gzip.compress(ack_bytes(1, 2))[:-5], "is truncated"),
    "header only": (gzip.compress(ack_bytes(1, 2))[:10], "is truncated"),
    "trailing data": (gzip.compress(ack_bytes(1, 2)) + b"junk", "has 4 bytes after its compressed stream"),
    "two members": (gzip.compress(ack_bytes(1)) * 2, "has 35 bytes after its compressed stream"),
    "corrupt": (
        gzip.compress(ack_bytes(1, 2))[:12] + b"\xff" * 8 + gzip.compress(ack_bytes(1, 2))[20:],
        "is corrupt: ",
    ),
    "wrong length in trailer": (gzip.compress(ack_bytes(1, 2))[:-4] + le32(3), "is corrupt: "),
    "wrong crc": (gzip.compress(ack_bytes(1, 2))[:-8] + le32(0) + gzip.compress(ack_bytes(1, 2))[-4:], "is corrupt: "),
}


@pytest.mark.parametrize("name", BAD_GZIP)
def test_bad_gzip_is_a_clear_error(name):
    data, message = BAD_GZIP[name]
    p = parser(inflate=True)
    blob = struct.pack("<Iq", RPC_RESULT, 9) + struct.pack("<I", GZIP) + tl_bytes(data)
    with pytest.raises(ValueError, match="^gzip_packed data " + message.replace("(", r"\(")) as info:
        p.unpack(blob)
    assert info.value.__notes__ == [
        "at rpc_result.result (records: rpc_result); the failing read began at byte 12, in rpc_result"
    ]
    assert p.unpack(ack_bytes(3)) == {"_": "msgs_ack", "msg_ids": [3]}  # the parser is sound after it


def test_failures_inside_the_inflated_data_point_at_the_gzip_packed():
    p = parser(inflate=True)
    blob = struct.pack("<Iq", RPC_RESULT, 9) + gzipped(le32(0xDEAD))
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x0000dead") as info:
        p.unpack(blob)
    assert "began at byte 12" in info.value.__notes__[0]
    short = struct.pack("<Iq", RPC_RESULT, 9) + gzipped(ack_bytes(1, 2)[:-3])
    with pytest.raises(RuntimeError) as info:
        p.unpack(short)
    assert "began at byte 12" in info.value.__notes__[0]


def test_the_limit_is_exact_and_counts_nested_data_once():
    ack = ack_bytes(*range(10))  # 92 bytes
    assert parser(inflate=True, inflate_limit=92).unpack(gzipped(ack))["msg_ids"] == list(range(10))
    with pytest.raises(ValueError, match="^gzip_packed data inflates past the limit of 91 bytes"):
        parser(inflate=True, inflate_limit=91).unpack(gzipped(ack))
    nested = gzipped(gzipped(ack))
    outer_size = len(gzipped(ack))  # what the outer one inflates to: the inner gzip_packed
    p = parser(inflate=True, inflate_limit=outer_size + 92)
    assert p.unpack(nested)["msg_ids"] == list(range(10))
    with pytest.raises(ValueError, match="past the limit"):
        parser(inflate=True, inflate_limit=outer_size + 91).unpack(nested)
    # Siblings each have the whole limit.
    two = struct.pack("<III", CONTAINER, VEC, 2) + message_bytes(1, 1, gzipped(ack)) * 2
    assert len(parser(inflate=True, inflate_limit=92).unpack(two)["messages"]) == 2


@pytest.mark.parametrize("trailer", ["honest", "lying"])
def test_a_bomb_fails_without_inflating_it(trailer):
    bomb = zlib.compressobj(9, zlib.DEFLATED, 31)
    data = bomb.compress(bytes(1 << 28)) + bomb.flush()  # 256 MiB of zeros in 256 KiB
    if trailer == "lying":
        data = data[:-4] + le32(16)
    with pytest.raises(ValueError, match="inflates past the limit of 1048576 bytes|is corrupt"):
        parser(inflate=True, inflate_limit=1 << 20).unpack(struct.pack("<I", GZIP) + tl_bytes(data))


@pytest.mark.parametrize(
    "value, error",
    [(-1, ValueError), (2**32, ValueError), (2**64, ValueError), ("1", TypeError), (1.0, TypeError), (None, TypeError)],
)
def test_the_limit_option(value, error):
    with pytest.raises(error, match="^inflate_limit must be"):
        parser(inflate=True, inflate_limit=value)


# ---- A boxed vector as the request's result type ----


@pytest.mark.parametrize(
    "type_text, fmt, values",
    [
        ("Vector<long>", "Q", [1, 2**63 + 5]),
        ("Vector<int>", "I", [7, 2**32 - 1]),
        ("Vector<Peer>", None, [{"_": "peerUser", "user_id": 5}]),
    ],
)
def test_a_vector_result_is_read_as_the_type_given(type_text, fmt, values):
    p = parser(inflate=True)
    if fmt:
        vector = struct.pack(f"<Ii{len(values)}{fmt}", VEC, len(values), *values)
    else:
        vector = p.pack_as(values, type_text)
    blob = struct.pack("<Iq", RPC_RESULT, 77) + vector
    expected = {"_": "rpc_result", "req_msg_id": 77, "result": values}
    assert p.unpack(blob, result_type=type_text) == expected
    assert p.unpack_from(b"\0" * 8 + blob, 8, result_type=type_text) == (expected, 8 + len(blob))
    zipped = struct.pack("<Iq", RPC_RESULT, 77) + gzipped(vector)
    assert p.unpack(zipped, result_type=type_text) == expected
    container = struct.pack("<III", CONTAINER, VEC, 2) + message_bytes(1, 1, zipped) + message_bytes(2, 2, ack_bytes(4))
    assert p.unpack(container, result_type=type_text)["messages"][0]["body"] == expected
    # An error answer is an object as ever; without the type, a vector is no object.
    error = struct.pack("<Iqii", RPC_RESULT, 77, ERROR, 400) + tl_bytes(b"BAD")
    assert p.unpack(error, result_type=type_text)["result"] == {
        "_": "rpc_error",
        "error_code": 400,
        "error_message": "BAD",
    }
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x1cb5c415"):
        p.unpack(blob)
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x1cb5c415"):
        p.unpack(blob, result_type=None)


@pytest.mark.parametrize(
    "type_text, error, message",
    [
        ("long", ValueError, "result_type must be a boxed vector type such as 'Vector<long>', got 'long'"),
        ("Peer", ValueError, "result_type must be a boxed vector type"),
        ("Vector<", ValueError, "Malformed type expression"),
        (5, TypeError, "result_type must be a type text or a dict of request ids to type texts, not int"),
        ({1: "long"}, ValueError, "result_type must be a boxed vector type such as 'Vector<long>', got 'long'"),
        ({1: 5}, TypeError, "Expected str, got int"),
        ({"1": "Vector<int>"}, TypeError, "result_type keys must be request ids (int), not str"),
    ],
)
def test_result_type_must_be_a_boxed_vector(type_text, error, message):
    p = parser()
    with pytest.raises(error, match="^" + re.escape(message)):
        p.unpack(ack_bytes(1), result_type=type_text)
    with pytest.raises(error, match="^" + re.escape(message)):
        p.unpack_from(ack_bytes(1), result_type=type_text)
    with pytest.raises(TypeError, match="unexpected keyword argument 'result'"):
        p.unpack(ack_bytes(1), result=type_text)


# ---- Memory ----


def service_calls(p):
    ack = ack_bytes(*range(10))
    value = {"_": "container", "messages": [{"_": "message", "msg_id": 1, "seqno": 1, "body": ACK_12}] * 3}
    assert p.unpack(p.pack(value))["messages"][2]["bytes"] == 28
    for bad in (dict(value["messages"][0], bytes=3), {"_": "message", "seqno": "x", "body": ACK_12}):
        with pytest.raises((ValueError, TypeError)):
            p.pack({"_": "container", "messages": [bad]})
    assert p.unpack(struct.pack("<Iq", RPC_RESULT, 9) + gzipped(ack))["result"]["msg_ids"] == list(range(10))
    for data, _ in BAD_GZIP.values():
        with pytest.raises(ValueError):
            p.unpack(struct.pack("<I", GZIP) + tl_bytes(data))
    with pytest.raises(ValueError):
        p.unpack(gzipped(bytes(300)))  # past the limit
    with pytest.raises(RuntimeError):
        p.unpack(gzipped(ack[:-2]))
    vector = struct.pack("<Iq", RPC_RESULT, 1) + gzipped(struct.pack("<Iiqq", VEC, 2, 5, 6))
    assert p.unpack(vector, result_type="Vector<long>")["result"] == [5, 6]
    assert p.unpack_from(vector, 0, None, result_type="Vector<long>")[0]["result"] == [5, 6]
    assert p.unpack(vector, result_type={1: "Vector<long>"})["result"] == [5, 6]
    with pytest.raises(ValueError):
        p.unpack(vector, result_type={2: "Vector<long>"})
    with pytest.raises(ValueError):
        p.unpack(vector, result_type="long")


@pytest.mark.plain_build_only
def test_the_service_paths_do_not_grow_memory():
    p = parser(inflate=True, inflate_limit=200)
    for _ in range(20):
        service_calls(p)
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for _ in range(300):
        service_calls(p)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    assert heap_in_use() - heap < 256 * 1024


def test_each_answer_read_as_the_type_of_its_request():
    p = parser(inflate=True)
    longs = struct.pack("<Iiqq", VEC, 2, 5, -6)
    ints = struct.pack("<IiII", VEC, 2, 7, 8)
    error = struct.pack("<Ii", ERROR, 400) + tl_bytes(b"BAD")
    bodies = [
        struct.pack("<Iq", RPC_RESULT, 11) + longs,
        struct.pack("<IQ", RPC_RESULT, 2**63 + 12) + gzipped(ints),
        struct.pack("<Iq", RPC_RESULT, 13) + error,
        ack_bytes(4),
    ]
    blob = struct.pack("<III", CONTAINER, VEC, len(bodies)) + b"".join(
        message_bytes(i, i, body) for i, body in enumerate(bodies)
    )
    types = {11: "Vector<long>", 2**63 + 12: "Vector<int>", 13: "Vector<long>", 99: None}
    results = [m["body"].get("result") for m in p.unpack(blob, result_type=types)["messages"]]
    assert results == [[5, 2**64 - 6], [7, 8], {"_": "rpc_error", "error_code": 400, "error_message": "BAD"}, None]
    # Signed ids are looked up as they are given.
    signed = parser(inflate=True, signed=True)
    got = signed.unpack(blob, result_type={11: "Vector<long>", 12 - 2**63: "Vector<int>"})["messages"]
    assert [m["body"].get("result") for m in got][:2] == [[5, -6], [7, 8]]
    # A request left out, or given None, reads as without a type; so does a vector outside an answer.
    for missing in ({11: None}, {}, {12: "Vector<long>"}):
        with pytest.raises(ValueError, match="Unknown constructor ID: 0x1cb5c415"):
            p.unpack(blob, result_type=missing)
    assert p.unpack_from(blob, 0, result_type=types)[0]["messages"][0]["body"]["result"] == [5, 2**64 - 6]
    with pytest.raises(ValueError, match="Unknown constructor ID: 0x1cb5c415"):
        p.unpack(message_bytes(1, 1, longs), result_type=types)


# ---- Both layers on one parser ----


def test_one_parser_for_both_layers():
    from Virel import schemas

    both = new_parser(schemas.merged(schemas.mtproto(), schemas.api()), inflate=True)
    user = {"_": "userEmpty", "id": 5}
    users = struct.pack("<Ii", VEC, 1) + struct.pack("<Iq", 0xD3BC4B7A, 5)
    api_message = {"_": "message", "id": 7, "peer_id": {"_": "peerUser", "user_id": 42}, "date": 1, "message": "hi"}
    api_bytes = both.pack(api_message)
    blob = struct.pack("<II", CONTAINER, 3) + b"".join(  # bare messages: no id of their own, and no vector id
        struct.pack("<qii", i, i, len(body)) + body
        for i, body in enumerate([api_bytes, struct.pack("<Iq", RPC_RESULT, 9) + gzipped(users), ack_bytes(3)])
    )
    got = both.unpack(blob, result_type={9: "Vector<User>"})
    assert [m["body"]["_"] for m in got["messages"]] == ["message", "rpc_result", "msgs_ack"]
    assert got["messages"][0]["body"]["message"] == "hi" and got["messages"][1]["body"]["result"] == [user]
    # The API's `message` packs and unpacks by name; the container's messages are the service's.
    assert both.unpack(api_bytes)["message"] == "hi"
    value = {"_": "msg_container", "messages": [dict(m, bytes=None) for m in got["messages"][:1]]}
    assert both.pack(value) == blob[: 8 - 4] + struct.pack("<I", 1) + blob[8 : 8 + 16 + len(api_bytes)]
    # The API layer has a record for the vector id: a vector answer is still read as the request says.
    assert both.unpack(struct.pack("<Iq", RPC_RESULT, 9) + users, result_type="Vector<User>")["result"] == [user]
