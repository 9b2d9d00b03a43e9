"""What the hostile-input tests share: byte helpers, the real layer's messages and parsers, the
schema of announced sizes, a scripted mapping, and a record with a field of every kind."""

import json
import re
import struct
import sys

import pytest

from conftest import ROOT, data_file, entry, make_parser
from tlgen import SchemaValues
from Virel.tl import TLParser

ID = struct.pack("<I", 1)
VEC = struct.pack("<I", 0x1CB5C415)
BUSY = "TLParser is already in use by another pack or unpack call"
PY = sys.executable
TESTS = str(ROOT / "tests")


def le32(*words):
    return b"".join(struct.pack("<I", w & 0xFFFFFFFF) for w in words)


def parse_error_position(exc):
    m = re.fullmatch(r"Parse error at position (\d+)", str(exc))
    assert m, str(exc)
    return int(m[1])


# ---- Realistic messages of the real layer ----


@pytest.fixture(scope="module")
def api_text():
    return data_file("api.json").read_text()


@pytest.fixture(scope="module")
def api(api_text):
    return TLParser(api_text)


@pytest.fixture(scope="module")
def api_values(api_text):
    return SchemaValues(json.loads(api_text))


PEER = {"_": "peerUser", "user_id": 777000}
ENTITIES = [
    {"_": "messageEntityBold", "offset": 0, "length": 5},
    {"_": "messageEntityTextUrl", "offset": 7, "length": 5, "url": "https://example.org/päge"},
]
MESSAGE = {
    "_": "message",
    "out": True,
    "pinned": True,
    "silent": True,
    "offline": True,
    "id": 123456,
    "from_id": PEER,
    "peer_id": {"_": "peerChannel", "channel_id": 1049 + 2**40},
    "fwd_from": {
        "_": "messageFwdHeader",
        "imported": True,
        "from_id": PEER,
        "from_name": "Zoë",
        "date": 1600000000,
        "saved_from_peer": PEER,
        "saved_from_msg_id": 99,
    },
    "reply_to": {
        "_": "messageReplyHeader",
        "quote": True,
        "reply_to_msg_id": 123400,
        "quote_text": "quoted ✓",
        "quote_entities": [{"_": "messageEntityItalic", "offset": 0, "length": 6}],
        "quote_offset": 3,
    },
    "date": 1700000000,
    "message": "Hello, wörld 👋 " * 5,
    "entities": ENTITIES,
    "media": {
        "_": "messageMediaPhoto",
        "spoiler": True,
        "ttl_seconds": 30,
        "photo": {
            "_": "photo",
            "has_stickers": True,
            "id": 2**63 + 1,
            "access_hash": 2**64 - 1,
            "file_reference": bytes(range(37)),
            "date": 1700000001,
            "sizes": [
                {"_": "photoStrippedSize", "type": "i", "bytes": b"\xff" * 300},
                {"_": "photoSize", "type": "x", "w": 800, "h": 600, "size": 54321},
            ],
            "dc_id": 2,
        },
    },
    "views": 42,
    "forwards": 3,
    "replies": {
        "_": "messageReplies",
        "comments": True,
        "replies": 7,
        "replies_pts": 8,
        "recent_repliers": [PEER],
        "channel_id": 5,
    },
    "edit_date": 1700000100,
    "post_author": "Ann",
    "grouped_id": 2**62 + 5,
    "reactions": {
        "_": "messageReactions",
        "results": [
            {"_": "reactionCount", "chosen_order": 1, "reaction": {"_": "reactionEmoji", "emoticon": "👍"}, "count": 12}
        ],
    },
    "restriction_reason": [
        {"_": "restrictionReason", "platform": "ios", "reason": "copyright", "text": "Unavailable."}
    ],
    "ttl_period": 86400,
    "effect": 5,
}
TEXT_MESSAGE = {
    "_": "message",
    "id": 5,
    "peer_id": PEER,
    "date": 1700000000,
    "message": "hello",
}  # 2 bytes of padding last
USER = {
    "_": "user",
    "self": True,
    "verified": True,
    "premium": True,
    "close_friend": True,
    "id": 123456789,
    "access_hash": 0xDEADBEEFCAFEBABE,
    "first_name": "Ada",
    "last_name": "Łovelace",
    "username": "ada",
    "phone": "15550100",
    "photo": {
        "_": "userProfilePhoto",
        "has_video": True,
        "photo_id": 77,
        "stripped_thumb": b"\x01\x28\x28" + bytes(250),
        "dc_id": 4,
    },
    "status": {"_": "userStatusOnline", "expires": 1700000500},
    "restriction_reason": [],
    "lang_code": "en",
    "usernames": [
        {"_": "username", "editable": True, "active": True, "username": "ada"},
        {"_": "username", "active": True, "username": "countess"},
    ],
    "color": {"_": "peerColor", "color": 5, "background_emoji_id": 2**50},
    "bot_verification_icon": 1,
}
CHAT = {
    "_": "chat",
    "creator": True,
    "id": 42,
    "title": "Analytical engines",
    "photo": {"_": "chatPhotoEmpty"},
    "participants_count": 3,
    "date": 1500000000,
    "version": 2,
}
MESSAGES = {
    "_": "messages.messages",
    "messages": [MESSAGE, TEXT_MESSAGE, dict(MESSAGE, id=7, media=None)],
    "topics": [],
    "chats": [CHAT],
    "users": [USER, dict(USER, id=1, photo=None, usernames=None)],
}
RICH = {
    "_": "textConcat",
    "texts": [
        {"_": "textBold", "text": {"_": "textPlain", "text": "bold"}},
        {"_": "textEmpty"},
        {"_": "textPlain", "text": "x" * 253},
    ],
}
DATA_JSON = {"_": "dataJSON", "data": "hi"}
REAL = {
    "message": MESSAGE,
    "text_message": TEXT_MESSAGE,
    "user": USER,
    "chat": CHAT,
    "messages": MESSAGES,
    "rich_text": RICH,
    "data_json": DATA_JSON,
}


# ---- Sizes announced by the input ----

SIZES = [
    entry(1, "e", ("v", "Vector<int>")),
    entry(2, "l", ("v", "Vector<long>")),
    entry(3, "s", ("v", "Vector<string>")),
    entry(4, "o", ("v", "Vector<E>")),
    entry(5, "t", ("v", "Vector t")),
    entry(6, "str", ("x", "int"), ("s", "string")),
    entry(7, "b", ("b", "bytes")),
    entry(8, "vb", ("v", "Vector<bytes>")),
]


# ---- Mappings that answer as a script says ----


class Scripted(dict):
    """A dict subclass whose n-th item access of a key answers script[key][n] (the last answer
    repeats; an exception instance is raised); `get` answers from script['get'] the same way."""

    def __init__(self, items, script):
        super().__init__(items)
        self.script = script
        self.calls = {}

    def _answer(self, key, fallback):
        answers = self.script.get(key)
        if answers is None:
            return fallback()
        n = self.calls.get(key, 0)
        self.calls[key] = n + 1
        answer = answers[min(n, len(answers) - 1)]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def __getitem__(self, key):
        return self._answer(key, lambda: dict.__getitem__(self, key))

    def get(self, key, default=None):
        return self._answer("get", lambda: dict.get(self, key, default))


# ---- A record with a field of every kind ----


def with_methods(**methods):
    return type("Val", (), {k: (lambda f: lambda self, *a: f(*a))(f) for k, f in methods.items()})()


def boom(*args):
    raise ZeroDivisionError("from a hook")


VALUES_ENTRIES = [
    entry(
        1,
        "all",
        ("flags", "#"),
        ("i", "int"),
        ("l", "long"),
        ("d", "double"),
        ("o", "Bool"),
        ("v", "Vector<int>"),
        ("b", "bytes"),
        ("s", "string"),
        ("c", "flags.0?long"),
        ("sub", "Sub"),
    ),
    entry(2, "sub", ("x", "int")),
]


def values_parser():
    return make_parser(VALUES_ENTRIES)


VALUES = values_parser()
PLAIN = {
    "_": "all",
    "i": 7,
    "l": 8,
    "d": 0.5,
    "o": True,
    "v": [1, 2, 3],
    "b": b"raw",
    "s": "text",
    "c": 9,
    "sub": {"_": "sub", "x": 10},
}
