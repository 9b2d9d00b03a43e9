"""The network side of a client on the real layer, with Virel.tl.

    python examples/client_guide.py [SCHEMA_DIR]

The schemas are the ones bundled with Virel (Virel.schemas: the API layer and the core protocol),
unless SCHEMA_DIR holds others: the layer as api.json or telegram_api.tl and the core protocol as
mtproto.json or mtproto_api.tl (TL text is converted with Virel's own converter). The script
plays both sides: it builds what a server sends (a container of messages: results behind their
headers, one of them gzip-packed) and then reads it back as a client does, checking every step.
It exits with status 3 when SCHEMA_DIR lacks a schema.
"""

from __future__ import annotations

import gzip
import json
import struct
import sys
from pathlib import Path
from typing import Any

from Virel import schemas
from Virel.tl import TLParser
from Virel.tl_text import convert

# The core protocol's framing, which the schemas leave out (its fields are bare or untyped):
MSG_CONTAINER = 0x73F1F8DC  # msg_container messages:vector<%Message>, each message being
#                             msg_id:long seqno:int bytes:int body:Object (no identifier)
RPC_RESULT = 0xF35C6D01  # rpc_result req_msg_id:long result:Object
GZIP_PACKED = 0x3072CFA1  # gzip_packed packed_data:string, the string holding gzip bytes
RES_PQ = 0x05162463  # resPQ nonce:int128 server_nonce:int128 pq:string fingerprints:Vector<long>
REQ_PQ_MULTI = 0xBE7E8EF1  # req_pq_multi nonce:int128 = ResPQ


# ---- Schemas ----

def load_schema(folder: Path, json_name: str, tl_name: str) -> dict[str, Any] | None:
    if (folder / json_name).exists():
        schema: dict[str, Any] = json.loads((folder / json_name).read_text(encoding="utf-8"))
        return schema
    if (folder / tl_name).exists():
        return convert((folder / tl_name).read_text(encoding="utf-8"))
    return None


# ---- TL byte strings by hand, for the fields the type rules do not cover ----

def tl_bytes(data: bytes) -> bytes:
    """A TL byte string: length prefix, bytes, zero padding to a multiple of 4."""
    head = bytes([len(data)]) if len(data) < 254 else b"\xfe" + len(data).to_bytes(3, "little")
    out = head + data
    return out + bytes(-len(out) % 4)


def read_tl_bytes(buf: bytes | bytearray | memoryview, at: int) -> tuple[bytes, int]:
    """The byte string at `at` of `buf` and the offset just past it (padding included)."""
    n, start = buf[at], at + 1
    if n == 254:
        n, start = int.from_bytes(buf[at + 1:at + 4], "little"), at + 4
    end = start + n
    if end > len(buf):
        raise ValueError(f"byte string at {at} runs past the end")
    return bytes(buf[start:end]), end + (-(end - at) % 4)


# ---- Results ----

def result_type(method: dict[str, Any]) -> str | None:
    """The type text that reads a method's answer with unpack_from. A vector is read as its type
    says; anything else is a boxed object (a Bool answer too: on the wire it is boolTrue or
    boolFalse, which type=None reads, while the type text "Bool" would read a bare 32-bit word)."""
    t: str = method["type"]
    return t if t.startswith("Vector<") else None


def read_result(parser: TLParser, buf: bytes | bytearray | memoryview, at: int, end: int, type_text: str | None) -> Any:
    """The result of one call, which fills buf[at:end]; a gzip_packed result is unpacked first."""
    (ident,) = struct.unpack_from("<I", buf, at)
    if ident == GZIP_PACKED:
        packed, stop = read_tl_bytes(buf, at + 4)
        inner = gzip.decompress(packed)
        value, inner_end = parser.unpack_from(inner, type=type_text)
        assert inner_end == len(inner), "trailing bytes inside gzip_packed"
    else:
        value, stop = parser.unpack_from(buf, at, type_text)
    assert stop == end, f"the result ends at {stop}, its message at {end}"
    return value


def read_container(parser: TLParser, buf: bytes | bytearray | memoryview,
                   expected: dict[int, str | None]) -> list[tuple[int, Any]]:
    """(msg_id, body) of every message of a container; an rpc_result body becomes
    ("rpc_result", req_msg_id, result), its result read with the type of the call it answers."""
    ident, count = struct.unpack_from("<Ii", buf, 0)
    assert ident == MSG_CONTAINER
    at, out = 8, []
    for _ in range(count):
        msg_id, _seqno, length = struct.unpack_from("<qii", buf, at)
        at += 16
        end = at + length
        (body_id,) = struct.unpack_from("<I", buf, at)
        if body_id == RPC_RESULT:
            (req_msg_id,) = struct.unpack_from("<q", buf, at + 4)
            body: Any = ("rpc_result", req_msg_id, read_result(parser, buf, at + 12, end, expected[req_msg_id]))
        else:
            body, stop = parser.unpack_from(buf, at)
            assert stop == end
        out.append((msg_id, body))
        at = end
    assert at == len(buf), "bytes after the last message"
    return out


# ---- What a server sends (a test server or a proxy builds it the same way) ----

def message(buf: bytearray, msg_id: int, body: bytes) -> None:
    buf += struct.pack("<qii", msg_id, 1, len(body)) + body


def rpc_result(req_msg_id: int, result: bytes) -> bytes:
    return struct.pack("<Iq", RPC_RESULT, req_msg_id) + result


def main(argv: list[str]) -> int:
    if argv:
        layer = load_schema(Path(argv[0]), "api.json", "telegram_api.tl")
        core = load_schema(Path(argv[0]), "mtproto.json", "mtproto_api.tl")
        if layer is None or core is None:
            print(f"no schema found in {argv[0]}", file=sys.stderr)
            return 3
    else:
        layer, core = schemas.api(), schemas.mtproto()
    # One parser for both: their identifiers do not collide. strict: pack refuses a misspelled key,
    # a missing value, a value of the wrong type or a record of the wrong type instead of guessing,
    # and unpack refuses bytes after the object. signed: ids and access hashes read as the signed
    # 64-bit numbers a client stores (pack takes both readings in every mode).
    parser = TLParser(schemas.merged(core, layer), strict=True, signed=True)
    methods = {m["method"]: m for m in layer["methods"]}

    users = [{"_": "userEmpty", "id": 1001}, {"_": "userEmpty", "id": 1002}]
    contact_ids = list(range(1, 400))
    get_users, get_ids = methods["users.getUsers"], methods["contacts.getContactIDs"]

    # Server: a container with two answers and a pong.
    container = bytearray(struct.pack("<Ii", MSG_CONTAINER, 3))
    message(container, 11, rpc_result(501, parser.pack_as(users, get_users["type"])))
    zipped = gzip.compress(parser.pack_as(contact_ids, get_ids["type"]))
    message(container, 12, rpc_result(502, struct.pack("<I", GZIP_PACKED) + tl_bytes(zipped)))
    body = bytearray()
    parser.pack_into(body, {"_": "pong", "msg_id": 7, "ping_id": 8})
    message(container, 13, bytes(body))

    # Client: each answer is read with the type of the call it answers.
    expected = {501: result_type(get_users), 502: result_type(get_ids)}
    got = read_container(parser, memoryview(container), expected)
    assert got[0] == (11, ("rpc_result", 501, users)), got[0]
    assert got[1] == (12, ("rpc_result", 502, contact_ids))
    assert got[2] == (13, {"_": "pong", "msg_id": 7, "ping_id": 8})
    print(f"container: {len(got)} messages, {len(users)} users, {len(contact_ids)} contact ids (gzip-packed)")

    # A call as a client sends it: signed ids and hashes pack, and read back, as they are.
    send: dict[str, Any] = {"_": "messages.sendMessage",
                            "peer": {"_": "inputPeerUser", "user_id": 42, "access_hash": -4107239816343178163},
                            "message": "hi", "random_id": -5}
    sent = parser.unpack(parser.pack(send))
    assert sent["random_id"] == -5 and sent["peer"]["access_hash"] == send["peer"]["access_hash"]
    try:
        parser.pack({**send, "mesage": "hi", "message": None})
    except ValueError as exc:
        print(f"misspelled: {exc}")
    else:
        raise AssertionError("a misspelled key packed")

    # Where a broken answer breaks: the note names the value and the byte.
    try:
        parser.unpack_from(container[:60], 36, "Vector<User>")
    except RuntimeError as exc:
        print(f"cut answer: {exc} [{'; '.join(getattr(exc, '__notes__', []))}]")
    else:
        raise AssertionError("a cut answer decoded")

    # Limits: int128 and int256 fields, and string fields that hold binary data (the core
    # key-exchange messages), are not plain values under the type rules. Build and read those
    # few messages with struct, and hand the rest to unpack_from.
    nonce, server_nonce = bytes(range(16)), bytes(range(16, 32))
    request = struct.pack("<I", REQ_PQ_MULTI) + nonce
    answer = (struct.pack("<I", RES_PQ) + nonce + server_nonce + tl_bytes(b"\x17\xed\x48\x94\x1a\x08\xf9\x81")
              + parser.pack_as([0xC3B42B026CE86B21], "Vector<long>"))
    (ident,) = struct.unpack_from("<I", answer, 0)
    assert ident == RES_PQ and answer[4:20] == request[4:20]
    pq, at = read_tl_bytes(answer, 36)
    fingerprints, end = parser.unpack_from(answer, at, "Vector<long>")
    assert end == len(answer) and fingerprints == [0xC3B42B026CE86B21 - 2**64]  # read signed
    print(f"resPQ: pq {pq.hex()}, fingerprints {[hex(f % 2**64) for f in fingerprints]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
