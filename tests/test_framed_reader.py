"""A container's messages are read in one piece on the direct path (codec/service.hpp, "A framed
record read in one piece"); the general path reads them field by field. The two must agree on every
input: here every cut and many corruptions of a few containers, in every mode, compared outcome for
outcome (value, or exception type, message, note and traceback; the end position too). The general
path runs on the table path (a native subclass: values and errors alike), and on the direct path
for a schema whose `message` takes its first field as a double (same wire, so the same errors).
"""

import gzip
import struct

import pytest

from conftest import load_tlsub
from support import norm
from Virel import schemas
from Virel.tl import TLParser

pytestmark = pytest.mark.usefixtures("direct_path")

CONTAINER, MESSAGE, ACK, RPC_RESULT, RPC_ERROR, PONG, GZIP, COPY, VEC = (
    0x73F1F8DC,
    0x5BB8E511,
    0x62D6B459,
    0xF35C6D01,
    0x2144CA19,
    0x347773C5,
    0x3072CFA1,
    0xE06046B2,
    0x1CB5C415,
)
SCHEMA = schemas.mtproto()
# The same wire, but a record that the one-piece reader does not take: a double is no int or long.
GENERAL = {
    "constructors": [
        dict(c, params=[dict(c["params"][0], type="double"), *c["params"][1:]]) if c["predicate"] == "message" else c
        for c in SCHEMA["constructors"]
    ],
    "methods": SCHEMA["methods"],
}


def tl_bytes(data):
    head = bytes([len(data)]) if len(data) < 254 else b"\xfe" + len(data).to_bytes(3, "little")
    return head + data + bytes(-(len(head) + len(data)) % 4)


def message(msg_id, seqno, body, slack=b""):
    return struct.pack("<qii", msg_id, seqno, len(body + slack)) + body + slack


def container(*messages):
    return struct.pack("<Ii", CONTAINER, len(messages)) + b"".join(messages)


def longs(*values, head=VEC):
    return struct.pack(f"<Ii{len(values)}q", head, len(values), *values)


ACK = struct.pack("<I", ACK) + longs(1, -2)
ERROR = struct.pack("<Ii", RPC_ERROR, 420) + tl_bytes(b"FLOOD_WAIT_3")
GZIPPED = struct.pack("<I", GZIP) + tl_bytes(gzip.compress(ACK, mtime=0))
BLOBS = {
    # negative ids and seqnos (signed mode), slack after a body, an rpc_result, a nested container,
    # a boxed message (msg_copy: the framed record read alone, not as an element)
    "mixed": container(
        message(-8, 1, ACK, slack=b"\xee" * 4),
        message(2**62, -3, struct.pack("<Iq", RPC_RESULT, 77) + ERROR),
        message(3, 5, container(message(4, 6, struct.pack("<Iqq", PONG, 9, -9)))),
        message(5, 7, struct.pack("<II", COPY, MESSAGE) + message(6, 8, ACK)),
    ),
    # a gzip_packed body (inflate mode) and a vector as an rpc_result's result (result_type)
    "service": container(
        message(1, 1, GZIPPED),
        message(2, 3, struct.pack("<Iq", RPC_RESULT, 77) + longs(3, -4)),
    ),
}
MODES = [
    ({}, {}),
    ({"signed": True}, {}),
    ({"strict": True}, {}),
    ({"inflate": True}, {"result_type": {77: "Vector<long>"}}),
    ({"inflate": True, "signed": True, "strict": True}, {"result_type": "Vector<long>"}),
]


def outcome(call, values=True):
    """What a call gives: its value (or only that it gives one), or everything about the exception
    it raises."""
    try:
        value = call()
        return "value", norm(value) if values else None
    except Exception as e:  # every kind: the two paths must raise the same
        frames, tb = [], e.__traceback__.tb_next
        while tb:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return type(e).__qualname__, str(e), getattr(e, "__notes__", None), frames


def variants(blob):
    """Every cut of `blob`, and every byte of it set to 0, 0x7f and 0xff and moved by 4."""
    yield from (blob[:n] for n in range(len(blob)))
    for i, b in enumerate(blob):
        for v in {0, 0x7F, 0xFF, b ^ 4} - {b}:
            yield blob[:i] + bytes([v]) + blob[i + 1 :]


@pytest.mark.parametrize("modes, call_modes", MODES)
def test_the_one_piece_reader_agrees_with_the_general_one(modes, call_modes):
    fast = TLParser(SCHEMA, **modes)
    table, general = load_tlsub().Parser(SCHEMA, "copy", **modes), TLParser(GENERAL, **modes)
    values = 0
    for blob in BLOBS.values():
        for data in variants(blob):
            calls = [
                lambda p: p.unpack(data, **call_modes),
                # the first message alone, as a bare record read at an offset: its end position too
                lambda p: p.unpack_from(data, 8, "%Message", **call_modes),
            ]
            for call in calls:
                got = outcome(lambda: call(fast))
                assert got == outcome(lambda: call(table)), data.hex()
                assert outcome(lambda: call(fast), False) == outcome(lambda: call(general), False), data.hex()
                values += got[0] == "value"
    assert values > 300  # the sweep reaches whole containers, not only errors


@pytest.mark.parametrize("inner, siblings", [(ACK, 0), (container(), 0), (ACK, 1)], ids=["ack", "empty", "ack-sibling"])
@pytest.mark.parametrize("wrappers", [0, 1, 2])
def test_nested_containers_stop_at_the_same_depth(wrappers, inner, siblings):
    """A container in a container ... stops with the same RecursionError at the same place,
    whichever of the three levels of a nesting meets the limit first (an empty one enters none),
    and whether or not each level's nested message is followed by another whose body is read at
    the same level."""
    fast, general = TLParser(SCHEMA), TLParser(GENERAL)

    def nest(depth):
        blob = inner
        for i in range(depth):
            blob = container(message(i, i, blob), *[message(i, i, ACK)] * siblings)
        for _ in range(wrappers):  # one level each: moves where the limit falls
            blob = struct.pack("<Iq", RPC_RESULT, 1) + blob
        return blob

    low, high = 1, 20000  # the deepest nesting that decodes
    while low < high:
        middle = (low + high + 1) // 2
        try:
            fast.unpack(nest(middle))
            low = middle
        except RecursionError:
            high = middle - 1
    for depth in (low, low + 1):
        data = nest(depth)
        assert outcome(lambda: fast.unpack(data), False) == outcome(lambda: general.unpack(data), False)


@pytest.mark.parametrize("modes, call_modes", MODES[::2])
def test_a_failed_allocation_in_the_one_piece_reader_is_a_memory_error(modes, call_modes):
    """Each allocation of an unpack failed in turn (the message dicts and their numbers are made
    straight into the table there): the call fails with MemoryError or its own error, and the
    parser reads on."""
    _testcapi = pytest.importorskip("_testcapi")
    p = TLParser(SCHEMA, **modes)
    wrong = []
    for name, blob in BLOBS.items():
        whole = outcome(lambda: p.unpack(blob, **call_modes))
        for position in range(120):
            _testcapi.set_nomemory(position, position + 1)
            try:
                p.unpack(blob, **call_modes)
                got = None
            except Exception as e:  # noqa: BLE001 - collected and reported
                got = e
            finally:
                _testcapi.remove_mem_hooks()
            if got is not None and not isinstance(got, MemoryError) and type(got).__qualname__ != whole[0]:
                wrong.append((name, position, repr(got)))
        assert outcome(lambda: p.unpack(blob, **call_modes)) == whole
    assert not wrong
