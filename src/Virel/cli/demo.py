"""The demo: a few objects of the shipped example schema packed and unpacked side by side."""

from __future__ import annotations

import json
import time
from pathlib import Path

from .errors import describe, kind_name, out
from .jsonform import to_jsonable
from .schema_view import Schema

EXAMPLE_SCHEMA = Path(__file__).resolve().parent.parent / "example_schema.json"

DEMO_OBJECTS = [
    ("a peer", {"_": "peerUser", "user_id": 777000}),
    (
        "a user: flags, an optional true, a long beyond 2**53, bytes",
        {
            "_": "user",
            "bot": False,
            "verified": True,
            "id": 5_123_456_789,
            "access_hash": 7_234_567_890_123_456_789,
            "first_name": "Ada",
            "username": "ada",
            "photo_thumb": bytes.fromhex("ffd8ffe000104a46"),
        },
    ),
    (
        "a message: nested objects, a vector, a double",
        {
            "_": "message",
            "out": True,
            "id": 4021,
            "from_id": {"_": "peerUser", "user_id": 5_123_456_789},
            "peer_id": {"_": "peerChat", "chat_id": 600_123},
            "date": 1_767_225_600,
            "message": "Lunch at Café Tōkyō?",
            "media": {"_": "messageMediaGeo", "geo": {"_": "geoPoint", "lat": 35.66, "lon": 139.7}},
            "entities": [{"_": "messageEntityBold", "offset": 9, "length": 10}],
            "views": 12,
            "pinned": False,
        },
    ),
]


def _fit(prefix: str, value, width: int, indent: str = "", last: bool = True) -> list[str]:
    """JSON of value after prefix: on one line if it fits, else broken up."""
    comma = "" if last else ","
    flat = json.dumps(value, ensure_ascii=False, separators=(", ", ": "))
    if len(indent) + len(prefix) + len(flat) + len(comma) <= width or not isinstance(value, (dict, list)) or not value:
        return [indent + prefix + flat + comma]
    inner = indent + "  "
    if isinstance(value, dict):
        items, close = [(f"{json.dumps(k)}: ", v) for k, v in value.items()], "}"
    else:
        items, close = [("", v) for v in value], "]"
    lines = [indent + prefix + ("{" if close == "}" else "[")]
    for i, (pre, v) in enumerate(items):
        lines += _fit(pre, v, width, inner, i == len(items) - 1)
    lines.append(indent + close + comma)
    return lines


DEMO_WIDTH = 56


def _side_by_side(obj: dict, data: bytes) -> list[str]:
    left = []
    for key, value in obj.items():
        left += _fit(f"{key}: ", to_jsonable(value), DEMO_WIDTH)
    words = [data[i : i + 4].hex() for i in range(0, len(data), 4)]
    right = [" ".join(words[i : i + 2]) for i in range(0, len(words), 2)]
    rows = max(len(left), len(right))
    left += [""] * (rows - len(left))
    right += [""] * (rows - len(right))
    return [f"  {a:<{DEMO_WIDTH}} │ {b}".rstrip() for a, b in zip(left, right)]


def cmd_demo(args) -> int:
    schema = Schema([str(EXAMPLE_SCHEMA)])
    p = schema.parser()
    entries = schema.view().entries
    n_c = sum(e.kind == "constructor" for e in entries)
    out(f"Virel demo on the example schema ({n_c} constructors, {len(entries) - n_c} methods)")
    out(f"schema: {EXAMPLE_SCHEMA}")
    out("")
    out(f"  {'the dict (what pack takes)':<{DEMO_WIDTH}} │ its TL bytes")
    for title, obj in DEMO_OBJECTS:
        data = p.pack(obj)
        back = p.unpack(data)
        out("")
        out(f"{title}: {len(data)} bytes")
        for line in _side_by_side(obj, data):
            out(line)
        same = all(back.get(k) == v for k, v in obj.items())
        msg = "unpack gives the same fields back" if same else "unpack gives DIFFERENT fields back"
        filled = [f"{k}={json.dumps(to_jsonable(back[k]))}" for k in back if k not in obj]
        if filled:
            msg += ", plus the absent ones:"
        out(f"  {msg}")
        if filled:
            out(f"    {', '.join(filled)}")
    message = DEMO_OBJECTS[-1][1]
    data = p.pack(message)
    try:
        p.unpack(data[:20])
    except Exception as exc:  # the decoder's own message is the point here
        out("")
        out(f"unpacking the first 20 bytes of the message: {kind_name(exc)}: {describe(exc)}")
    if args.seconds > 0:
        out("")
        out(_speed_line(p, message, len(data), args.seconds))
    return 0


def _speed_line(p, obj, size: int, seconds: float) -> str:
    pack, unpack = p.pack, p.unpack
    loops = 64
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            unpack(pack(obj))
        spent = time.perf_counter() - t0
        if spent >= seconds / 4 or loops >= 1 << 24:
            break
        loops *= 4
    best = spent / loops
    rounds = max(1, int(seconds / 2 / max(spent, 1e-9)))
    for _ in range(min(rounds, 3)):
        t0 = time.perf_counter()
        for _ in range(loops):
            unpack(pack(obj))
        best = min(best, (time.perf_counter() - t0) / loops)
    return f"speed: pack+unpack of the message ({size} bytes): {best * 1e9:,.0f} ns per round trip"
