"""MTProto's service layer through Virel.tl, both sides at the codec level.

    python examples/mtproto_walkthrough.py

Part 1 plays the plaintext key exchange: the client asks for a key (`req_pq_multi`), a stand-in
server answers (`resPQ`), the client sends its DH parameters and the server answers them. No real
cryptography is done: random bytes stand in for every encrypted field, and the records a real
client would encrypt (`p_q_inner_data_dc`, `server_DH_inner_data`) are packed and read back to
show their form. Part 2 decodes, in one call, what a server sends once the session runs: a
container holding an rpc_result whose answer is a gzip-packed `Vector<User>`, an acknowledgement
and a new-session notice. Every step is checked; the script prints one line per step.
"""

from __future__ import annotations

import gzip
import os
import secrets
from typing import Any

from Virel import schemas
from Virel.tl import TLParser


def nonce(bits: int) -> bytes:
    return os.urandom(bits // 8)


def as_int(wire: bytes) -> int:
    """The int that unpack gives for an int128/int256 sent as these bytes (little-endian)."""
    return int.from_bytes(wire, "little")


def key_exchange(core: TLParser) -> None:
    # Client: req_pq_multi. An int128 packs from an int or from its 16 wire bytes.
    client_nonce = nonce(128)
    request = core.pack({"_": "req_pq_multi", "nonce": client_nonce})
    assert len(request) == 4 + 16

    # Server: reads the request, answers resPQ.
    asked = core.unpack(request)
    assert asked == {"_": "req_pq_multi", "nonce": as_int(client_nonce)}
    server_nonce = nonce(128)
    answer = core.pack(
        {
            "_": "resPQ",
            "nonce": asked["nonce"],
            "server_nonce": server_nonce,
            "pq": bytes.fromhex("17ED48941A08F981"),
            "server_public_key_fingerprints": [0xC3B42B026CE86B21],
        }
    )

    # Client: reads resPQ (binary fields come back as bytes, int128 as int).
    res_pq = core.unpack(answer)
    assert res_pq["_"] == "resPQ" and res_pq["nonce"] == as_int(client_nonce)
    assert res_pq["pq"] == bytes.fromhex("17ED48941A08F981")
    print(f"resPQ: pq {res_pq['pq'].hex()}, fingerprints {res_pq['server_public_key_fingerprints']}")

    # Client: the inner data it would encrypt with the server's RSA key, and req_DH_params.
    new_nonce = nonce(256)
    inner = core.pack(
        {
            "_": "p_q_inner_data_dc",
            "pq": res_pq["pq"],
            "p": bytes.fromhex("494C553B"),
            "q": bytes.fromhex("53911073"),
            "nonce": res_pq["nonce"],
            "server_nonce": res_pq["server_nonce"],
            "new_nonce": new_nonce,
            "dc": 2,
        }
    )
    assert core.unpack(inner)["new_nonce"] == as_int(new_nonce)  # an int256
    req_dh = core.pack(
        {
            "_": "req_DH_params",
            "nonce": res_pq["nonce"],
            "server_nonce": res_pq["server_nonce"],
            "p": bytes.fromhex("494C553B"),
            "q": bytes.fromhex("53911073"),
            "public_key_fingerprint": res_pq["server_public_key_fingerprints"][0],
            "encrypted_data": os.urandom(256),
        }
    )  # stands in for RSA(inner)

    # Server: reads req_DH_params and answers with its (stand-in) encrypted DH parameters.
    got = core.unpack(req_dh)
    assert got["nonce"] == as_int(client_nonce) and len(got["encrypted_data"]) == 256
    server_inner = core.pack(
        {
            "_": "server_DH_inner_data",
            "nonce": got["nonce"],
            "server_nonce": got["server_nonce"],
            "g": 3,
            "dh_prime": os.urandom(256),
            "g_a": os.urandom(256),
            "server_time": 1_700_000_000,
        }
    )
    dh_answer = core.pack(
        {
            "_": "server_DH_params_ok",
            "nonce": got["nonce"],
            "server_nonce": got["server_nonce"],
            "encrypted_answer": os.urandom(len(server_inner) + 20),
        }
    )

    # Client: reads the answer; once decrypted, its inner data reads the same way.
    params = core.unpack(dh_answer)
    assert params["_"] == "server_DH_params_ok" and params["server_nonce"] == as_int(server_nonce)
    assert core.unpack(server_inner)["g"] == 3
    done = core.pack(
        {"_": "dh_gen_ok", "nonce": client_nonce, "server_nonce": server_nonce, "new_nonce_hash1": nonce(128)}
    )
    assert core.unpack(done)["_"] == "dh_gen_ok"
    print(
        f"key exchange: {len(request) + len(answer) + len(req_dh) + len(dh_answer)} bytes "
        "through req_pq_multi, resPQ, req_DH_params, server_DH_params_ok"
    )


def server_container(both: TLParser, request_id: int, users: list[dict[str, Any]]) -> bytes:
    """What a server sends: the answer to users.getUsers (gzip-packed), an acknowledgement and a
    new-session notice, in one container. Each message's `bytes` is worked out by pack."""
    answer = gzip.compress(both.pack_as(users, "Vector<User>"))
    return both.pack(
        {
            "_": "msg_container",
            "messages": [
                {
                    "_": "message",
                    "msg_id": request_id + 1,
                    "seqno": 1,
                    "body": {
                        "_": "rpc_result",
                        "req_msg_id": request_id,
                        "result": {"_": "gzip_packed", "packed_data": answer},
                    },
                },
                {
                    "_": "message",
                    "msg_id": request_id + 5,
                    "seqno": 2,
                    "body": {"_": "msgs_ack", "msg_ids": [request_id]},
                },
                {
                    "_": "message",
                    "msg_id": request_id + 9,
                    "seqno": 3,
                    "body": {
                        "_": "new_session_created",
                        "first_msg_id": request_id,
                        "unique_id": secrets.randbits(64),
                        "server_salt": secrets.randbits(64),
                    },
                },
            ],
        }
    )


def session(schema: dict[str, Any]) -> None:
    # One parser for both layers; inflate=True opens gzip_packed where it stands, and signed=True
    # gives 64-bit ids and salts as the signed values clients store.
    client = TLParser(schema, inflate=True, signed=True)
    server = TLParser(schema)
    request_id = (1_700_000_000 << 32) + 4
    users = [{"_": "userEmpty", "id": 1000 + i} for i in range(50)]
    data = server_container(server, request_id, users)

    # The request was users.getUsers, whose answer is Vector<User>: result_type says so.
    container = client.unpack(data, result_type="Vector<User>")
    kinds = [m["body"]["_"] for m in container["messages"]]
    assert kinds == ["rpc_result", "msgs_ack", "new_session_created"], kinds
    result = container["messages"][0]["body"]
    assert result["req_msg_id"] == request_id and result["result"] == users
    assert all(m["bytes"] > 0 for m in container["messages"])
    salt = container["messages"][2]["body"]["server_salt"]
    assert -(2**63) <= salt < 2**63
    print(f"container: {len(data)} bytes, {kinds}, {len(result['result'])} users inflated in place, server salt {salt}")

    # Without inflate, the gzip_packed stays as it came.
    packed = TLParser(schema).unpack(data, result_type="Vector<User>")["messages"][0]["body"]["result"]
    assert packed["_"] == "gzip_packed" and gzip.decompress(packed["packed_data"])[:4] == bytes.fromhex("15c4b51c")
    # The API's own `message` record still packs and unpacks by name on the same parser.
    api_message = {"_": "message", "id": 7, "peer_id": {"_": "peerUser", "user_id": 42}, "date": 1, "message": "hi"}
    assert client.unpack(client.pack(api_message))["message"] == "hi"


def main() -> int:
    key_exchange(TLParser(schemas.mtproto()))
    session(schemas.merged(schemas.mtproto(), schemas.api()))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
