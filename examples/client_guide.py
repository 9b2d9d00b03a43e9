"""The network side of a client on the real layer, with Virel.tl.

    python examples/client_guide.py [SCHEMA_DIR]

The schemas are the ones bundled with Virel (Virel.schemas: the API layer and the MTProto service
schema), unless SCHEMA_DIR holds others: the layer as api.json or telegram_api.tl and the service
schema as mtproto.json or mtproto_api.tl (TL text is converted with Virel's own converter). The
script plays both sides: it builds what a server sends (a container of messages: results, one of
them gzip-packed, and a pong) and then reads it back as a client does, in one call, checking every
step. It exits with status 3 when SCHEMA_DIR lacks a schema.
"""

from __future__ import annotations

import gzip
import json
import sys
from pathlib import Path
from typing import Any

from Virel import schemas
from Virel.tl import TLParser
from Virel.tl_text import convert


# ---- Schemas ----


def load_schema(folder: Path, json_name: str, tl_name: str) -> dict[str, Any] | None:
    if (folder / json_name).exists():
        schema: dict[str, Any] = json.loads((folder / json_name).read_text(encoding="utf-8"))
        return schema
    if (folder / tl_name).exists():
        return convert((folder / tl_name).read_text(encoding="utf-8"))
    return None


# ---- Results ----


def result_type(method: dict[str, Any]) -> str | None:
    """The type that reads a method's answer where rpc_result says Object: a vector's type (only
    the request knows its elements), or None for a boxed object (a Bool answer too: on the wire it
    is boolTrue or boolFalse)."""
    t: str = method["type"]
    return t if t.startswith("Vector<") else None


def message(msg_id: int, seqno: int, body: dict[str, Any]) -> dict[str, Any]:
    """One message of a container; pack works its `bytes` out from the body."""
    return {"_": "message", "msg_id": msg_id, "seqno": seqno, "body": body}


def main(argv: list[str]) -> int:
    if argv:
        layer = load_schema(Path(argv[0]), "api.json", "telegram_api.tl")
        core = load_schema(Path(argv[0]), "mtproto.json", "mtproto_api.tl")
        if layer is None or core is None:
            print(f"no schema found in {argv[0]}", file=sys.stderr)
            return 3
    else:
        layer, core = schemas.api(), schemas.mtproto()
    # One parser for both layers. strict: pack refuses a misspelled key, a missing value, a value
    # of the wrong type or a record of the wrong type instead of guessing, and unpack refuses bytes
    # after the object. signed: ids and access hashes read as the signed 64-bit numbers a client
    # stores (pack takes both readings in every mode). inflate: gzip_packed opens where it stands.
    both = schemas.merged(core, layer)
    parser = TLParser(both, strict=True, signed=True, inflate=True)
    server = TLParser(both)
    methods = {m["method"]: m for m in layer["methods"]}

    users = [{"_": "userEmpty", "id": 1001}, {"_": "userEmpty", "id": 1002}]
    contact_ids = list(range(1, 400))
    get_users, get_ids = methods["users.getUsers"], methods["contacts.getContactIDs"]

    # Server: a container with two answers (both gzip-packed, as servers send larger answers) and
    # a pong. Vector answers are written as their type says and packed into gzip_packed.
    def answer(req_msg_id: int, value: Any, type_text: str) -> dict[str, Any]:
        packed = gzip.compress(server.pack_as(value, type_text))
        return {"_": "rpc_result", "req_msg_id": req_msg_id, "result": {"_": "gzip_packed", "packed_data": packed}}

    container = server.pack(
        {
            "_": "msg_container",
            "messages": [
                message(11, 1, answer(501, users, get_users["type"])),
                message(12, 3, answer(502, contact_ids, get_ids["type"])),
                message(13, 5, {"_": "pong", "msg_id": 7, "ping_id": 8}),
            ],
        }
    )

    # Client: one call; each answer is read with the type of the call it answers.
    expected = {501: result_type(get_users), 502: result_type(get_ids)}
    got = parser.unpack(container, result_type=expected)["messages"]
    assert [(m["msg_id"], m["body"]["_"]) for m in got] == [(11, "rpc_result"), (12, "rpc_result"), (13, "pong")]
    assert got[0]["body"] == {"_": "rpc_result", "req_msg_id": 501, "result": users}, got[0]
    assert got[1]["body"]["result"] == contact_ids
    assert got[2]["body"] == {"_": "pong", "msg_id": 7, "ping_id": 8}
    print(f"container: {len(got)} messages, {len(users)} users, {len(contact_ids)} contact ids (gzip-packed)")

    # A call as a client sends it: signed ids and hashes pack, and read back, as they are.
    send: dict[str, Any] = {
        "_": "messages.sendMessage",
        "peer": {"_": "inputPeerUser", "user_id": 42, "access_hash": -4107239816343178163},
        "message": "hi",
        "random_id": -5,
    }
    sent = parser.unpack(parser.pack(send))
    assert sent["random_id"] == -5 and sent["peer"]["access_hash"] == send["peer"]["access_hash"]
    try:
        parser.pack({**send, "mesage": "hi", "message": None})
    except ValueError as exc:
        print(f"misspelled: {exc}")
    else:
        raise AssertionError("a misspelled key packed")

    # Where a broken answer breaks: the note names the message, the value and the byte.
    try:
        parser.unpack(container[:60], result_type=expected)
    except RuntimeError as exc:
        print(f"cut container: {exc} [{'; '.join(getattr(exc, '__notes__', []))}]")
    else:
        raise AssertionError("a cut container decoded")

    # The key exchange: int128 nonces (an int, or their 16 wire bytes) and binary fields.
    nonce, server_nonce = bytes(range(16)), bytes(range(16, 32))
    request = parser.pack({"_": "req_pq_multi", "nonce": nonce})
    answer_pq = server.pack(
        {
            "_": "resPQ",
            "nonce": nonce,
            "server_nonce": server_nonce,
            "pq": bytes.fromhex("17ED48941A08F981"),
            "server_public_key_fingerprints": [0xC3B42B026CE86B21],
        }
    )
    res_pq = parser.unpack(answer_pq)
    assert res_pq["nonce"] == parser.unpack(request)["nonce"] == int.from_bytes(nonce, "little")
    assert res_pq["server_public_key_fingerprints"] == [0xC3B42B026CE86B21 - 2**64]  # read signed
    print(
        f"resPQ: pq {res_pq['pq'].hex()}, "
        f"fingerprints {[hex(f % 2**64) for f in res_pq['server_public_key_fingerprints']]}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
