"""The schema and the workloads of the benchmark, built deterministically.

The schema is ``api.json`` as the tests find it (``tests/_data.py``: ``$VIREL_DATA`` if set, else
converted from the bundled ``Virel/schemas/telegram_api.tl``).  When that is absent, a generated schema takes its place:
it declares the constructors the workloads use, with the params they fill, and enough filler
entries to be about as large as the real one, so that the schema workload stays comparable.

Every workload value is a plain dict in the form the codec decodes to: ``_`` first, then every
param of the constructor in schema order (flags words left out), with ``None`` (or ``False`` for
``true``/``Bool`` kinds) for absent conditional params.  That makes ``unpack(pack(x)) == x`` hold
for every contender, key order included.

Like real traffic, each message, user and chat gets its own text, ids and dates: no str or int
object is shared between two of them (serializers such as marshal and pickle can emit a back
reference for an object they have already written, which would flatter them).
"""

from __future__ import annotations

import json
import sys
import random
import zlib
from dataclasses import dataclass, field
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent
SEED = 20240607

# Preferred constructors of the workloads that only need a shape, and the shape to look for when
# the schema lacks the preferred name.
TINY_CONSTRUCTOR = "messageRange"  # two int params
IDS_CONSTRUCTOR = "messageActionChatAddUser"  # one Vector<long> param
BLOB_CONSTRUCTOR = "upload.cdnFile"  # one bytes param
UNKNOWN_CONSTRUCTOR = "benchNoSuchConstructor"

HISTORY_MESSAGES = 100
HISTORY_USERS = 20
HISTORY_CHATS = 5
IDS_COUNT = 10_000
BLOB_SIZE = 512 * 1024
TEXT_LENGTH = 200


# --------------------------------------------------------------------------------------- schema


def load_schema_text() -> tuple[str, str]:
    """The schema JSON text and a note saying where it came from."""
    if str(REPO_ROOT / "tests") not in sys.path:
        sys.path.insert(0, str(REPO_ROOT / "tests"))
    from _data import find

    path = find("api.json")
    if path is not None:
        return path.read_text(encoding="utf-8"), str(path)
    return generated_schema_text(), "generated (no api.json)"


# The generated schema: "name param:type ... = Type" per line, in the TL text notation.
_GENERATED_CONSTRUCTORS = """
boolFalse = Bool
boolTrue = Bool
true = True
messageRange min_id:int max_id:int = MessageRange
peerUser user_id:long = Peer
peerChat chat_id:long = Peer
peerChannel channel_id:long = Peer
messageEntityMention offset:int length:int = MessageEntity
messageEntityUrl offset:int length:int = MessageEntity
messageEntityBold offset:int length:int = MessageEntity
messageEntityItalic offset:int length:int = MessageEntity
messageEntityCode offset:int length:int = MessageEntity
messageEntityTextUrl offset:int length:int url:string = MessageEntity
messageReplyHeader flags:# reply_to_scheduled:flags.2?true forum_topic:flags.3?true quote:flags.9?true reply_to_msg_id:flags.4?int reply_to_peer_id:flags.0?Peer reply_to_top_id:flags.1?int quote_text:flags.6?string quote_entities:flags.7?Vector<MessageEntity> quote_offset:flags.10?int = MessageReplyHeader
message flags:# out:flags.1?true mentioned:flags.4?true media_unread:flags.5?true silent:flags.13?true post:flags.14?true pinned:flags.24?true noforwards:flags.26?true flags2:# offline:flags2.1?true id:int from_id:flags.8?Peer peer_id:Peer reply_to:flags.3?MessageReplyHeader via_bot_id:flags.11?long date:int message:string entities:flags.7?Vector<MessageEntity> views:flags.10?int forwards:flags.10?int edit_date:flags.15?int post_author:flags.16?string grouped_id:flags.17?long ttl_period:flags.25?int effect:flags2.2?long = Message
userProfilePhotoEmpty = UserProfilePhoto
userProfilePhoto flags:# has_video:flags.0?true personal:flags.2?true photo_id:long stripped_thumb:flags.1?bytes dc_id:int = UserProfilePhoto
userStatusOnline expires:int = UserStatus
userStatusOffline was_online:int = UserStatus
userStatusRecently flags:# by_me:flags.0?true = UserStatus
emojiStatus flags:# document_id:long until:flags.0?int = EmojiStatus
peerColor flags:# color:flags.0?int background_emoji_id:flags.1?long = PeerColor
user flags:# self:flags.10?true contact:flags.11?true mutual_contact:flags.12?true deleted:flags.13?true bot:flags.14?true verified:flags.17?true premium:flags.28?true flags2:# close_friend:flags2.2?true id:long access_hash:flags.0?long first_name:flags.1?string last_name:flags.2?string username:flags.3?string phone:flags.4?string photo:flags.5?UserProfilePhoto status:flags.6?UserStatus bot_info_version:flags.14?int lang_code:flags.22?string emoji_status:flags.30?EmojiStatus color:flags2.8?PeerColor = User
chatPhotoEmpty = ChatPhoto
chatPhoto flags:# has_video:flags.0?true photo_id:long stripped_thumb:flags.1?bytes dc_id:int = ChatPhoto
chatAdminRights flags:# change_info:flags.0?true post_messages:flags.1?true edit_messages:flags.2?true delete_messages:flags.3?true ban_users:flags.4?true invite_users:flags.5?true pin_messages:flags.7?true add_admins:flags.9?true = ChatAdminRights
chatBannedRights flags:# view_messages:flags.0?true send_messages:flags.1?true send_media:flags.2?true send_stickers:flags.3?true send_gifs:flags.4?true embed_links:flags.7?true until_date:int = ChatBannedRights
chat flags:# creator:flags.0?true left:flags.2?true deactivated:flags.5?true id:long title:string photo:ChatPhoto participants_count:int date:int version:int admin_rights:flags.14?ChatAdminRights default_banned_rights:flags.18?ChatBannedRights = Chat
messages.messages messages:Vector<Message> topics:Vector<ForumTopic> chats:Vector<Chat> users:Vector<User> = messages.Messages
messageActionChatAddUser users:Vector<long> = MessageAction
upload.cdnFile bytes:bytes = upload.CdnFile
"""

# Size of the real schema, which the generated one pads itself up to with filler entries.
_TARGET_CONSTRUCTORS = 1649
_TARGET_METHODS = 813
_FILLER_TYPES = [
    "int",
    "long",
    "string",
    "bytes",
    "double",
    "Bool",
    "Peer",
    "Vector<long>",
    "Vector<MessageEntity>",
    "flags.0?true",
    "flags.1?string",
    "flags.2?int",
    "flags.3?Peer",
    "flags.4?Vector<User>",
    "flags2.0?long",
]


def _signed_id(text: str, taken: set[int]) -> str:
    """A signed 32-bit decimal id from the CRC32 of `text`, distinct from those in `taken`."""
    value = zlib.crc32(text.encode())
    while value in taken or value == 0x1CB5C415:
        value = (value + 1) & 0xFFFFFFFF
    taken.add(value)
    return str(value - (1 << 32) if value >= 1 << 31 else value)


def generated_schema_text() -> str:
    """A schema JSON text of the real schema's shape, for machines without api.json."""
    rng = random.Random(SEED)
    taken: set[int] = set()
    constructors = []
    for line in _GENERATED_CONSTRUCTORS.strip().splitlines():
        head, result = line.split(" = ")
        name, *params = head.split()
        constructors.append(
            {
                "id": _signed_id(line, taken),
                "predicate": name,
                "params": [dict(zip(("name", "type"), p.split(":", 1))) for p in params],
                "type": result,
            }
        )

    def filler(kind: str, index: int) -> dict:
        count = rng.randint(0, 9)
        params = [{"name": f"field{i}", "type": rng.choice(_FILLER_TYPES)} for i in range(count)]
        if any("?" in p["type"] for p in params):
            params.insert(0, {"name": "flags", "type": "#"})
            if any(p["type"].startswith("flags2.") for p in params):
                params.insert(1, {"name": "flags2", "type": "#"})
        name = f"filler.{kind}{index}"
        return {"id": _signed_id(name, taken), kind: name, "params": params, "type": f"filler.Type{index % 97}"}

    constructors += [filler("predicate", i) for i in range(_TARGET_CONSTRUCTORS - len(constructors))]
    methods = [filler("method", i) for i in range(_TARGET_METHODS)]
    return json.dumps({"constructors": constructors, "methods": methods}, separators=(",", ":"))


class Schema:
    """The constructors of a schema JSON, for building workload values."""

    def __init__(self, text: str):
        data = json.loads(text)
        self.params = {c["predicate"]: c["params"] for c in data["constructors"]}

    def find(self, preferred: str, types: list[str]) -> str:
        """`preferred` if the schema has it, else the first constructor whose param types are `types`."""
        if preferred in self.params:
            return preferred
        for name, params in self.params.items():
            if [p["type"] for p in params] == types:
                return name
        raise LookupError(f"schema has no {preferred!r} nor a constructor with params {types}")

    def make(self, name: str, **values) -> dict:
        """The dict of constructor `name` as the codec decodes it.

        Params not given are filled as absent: None for conditional params, False for conditional
        ``true``/``Bool`` ones. Keys are interned, as the literal keys of a program's own dicts are.  Given values for params this schema lacks are dropped, so the
        workloads adapt to another layer of the schema.  Unconditional params must be given.
        """
        if name not in self.params:
            raise LookupError(f"schema has no constructor {name!r}")
        obj = {"_": name}
        for param in self.params[name]:
            key, type_expr = sys.intern(param["name"]), param["type"]
            if key in ("flags", "flags2"):
                continue
            if key in values:
                obj[key] = values[key]
            elif "?" in type_expr:
                obj[key] = False if type_expr.split("?")[1] in ("true", "Bool") else None
            else:
                raise KeyError(f"{name}: no value for unconditional param {key!r}")
        return obj


# -------------------------------------------------------------------------------- value helpers

_WORDS = (
    "the meeting moved to thursday please bring the slides and the budget numbers we discussed "
    "last week also check whether the server migration finished before the release window opens "
    "tomorrow morning thanks everyone for the quick review of the draft"
).split()
_FOREIGN_WORDS = [
    "привет",
    "спасибо",
    "завтра",
    "встреча",
    "café",
    "naïve",
    "über",
    "straße",
    "déjà",
    "日本語",
    "東京",
    "你好",
    "مرحبا",
    "γειά",
    "🙂",
    "🚀",
    "👍",
    "ещё",
]
_FIRST_NAMES = [
    "Anna",
    "Boris",
    "Chloé",
    "Dmitri",
    "Élodie",
    "Farid",
    "Greta",
    "Hiro",
    "Ines",
    "Jonas",
    "Katya",
    "Luis",
    "Mei",
    "Nikolai",
    "Olga",
    "Pavel",
    "Quentin",
    "Rosa",
    "Sven",
    "Tanya",
]
_LAST_NAMES = ["Ivanova", "Müller", "Dubois", "Tanaka", "García", "Kowalski", "Smirnov", "Rossi", "Nakamura", "Silva"]
_LANGS = ["en", "ru", "de", "fr", "es", "pt-br", "it", "uk"]
_TITLES = ["Release planning", "Семья", "Climbing club", "Infra on-call", "Book circle ☕"]


def fresh_str(text: str) -> str:
    """An equal str that is a new object, not the pooled literal."""
    return "".join(list(text))


def fresh_int(value: int) -> int:
    """An equal int that is a new object (values outside CPython's small-int cache)."""
    return int.from_bytes(value.to_bytes(16, "little", signed=True), "little", signed=True)


def make_text(rng: random.Random, length: int) -> str:
    """Chat text of exactly `length` characters, mostly ASCII with some non-ASCII words."""
    words: list[str] = []
    size = 0
    while size < length:
        word = rng.choice(_FOREIGN_WORDS) if rng.random() < 0.15 else rng.choice(_WORDS)
        if rng.random() < 0.1:
            word = word.capitalize() + rng.choice(",.!?")
        words.append(word)
        size += len(word) + 1
    return " ".join(words)[:length]


def int32(rng: random.Random, low: int = 0, high: int = 2**31 - 1) -> int:
    """An int param value: 0..2**31-1 by default, so it reads back unchanged."""
    return rng.randint(low, high)


def int64(rng: random.Random) -> int:
    """A long param value such as an id or an access hash."""
    return rng.getrandbits(63)


# ----------------------------------------------------------------------------------- workloads


class Builder:
    """Builds workload values from a schema, from one seeded random stream."""

    def __init__(self, schema: Schema, seed: int = SEED):
        self.schema = schema
        self.rng = random.Random(seed)
        self.now = 1_750_000_000

    def entities(self, text: str) -> list[dict]:
        rng, make = self.rng, self.schema.make
        count = rng.randint(3, 5)
        # Non-overlapping spans, in increasing order, as a client would send them.
        span = len(text) // count
        result = []
        for i in range(count):
            offset = i * span + rng.randint(0, span // 3)
            length = rng.randint(3, span // 2)
            kind = rng.choice(
                [
                    "messageEntityBold",
                    "messageEntityItalic",
                    "messageEntityCode",
                    "messageEntityUrl",
                    "messageEntityMention",
                    "messageEntityTextUrl",
                ]
            )
            if kind == "messageEntityTextUrl":
                url = f"https://example.org/{rng.getrandbits(40):x}/{rng.choice(_WORDS)}"
                result.append(make(kind, offset=offset, length=length, url=url))
            else:
                result.append(make(kind, offset=offset, length=length))
        return result

    def message(self, index: int, peer_chat_id: int, author_ids: list[int], full: bool) -> dict:
        """A message of a group chat; `full` forces every optional part the W2 object shows."""
        rng, make = self.rng, self.schema.make
        msg_id = 100_000 + index * 3 + rng.randint(0, 2)
        date = self.now - (HISTORY_MESSAGES - index) * 600 + rng.randint(0, 599)
        text = make_text(rng, TEXT_LENGTH)
        values = {
            "out": rng.random() < 0.3,
            "mentioned": rng.random() < 0.05,
            "id": msg_id,
            "from_id": make("peerUser", user_id=fresh_int(rng.choice(author_ids))),
            "peer_id": make("peerChat", chat_id=fresh_int(peer_chat_id)),
            "date": date,
            "message": text,
            "entities": self.entities(text),
        }
        if full or rng.random() < 0.4:
            values["reply_to"] = make(
                "messageReplyHeader", reply_to_msg_id=msg_id - rng.randint(1, 50), quote=full or rng.random() < 0.3
            )
        if full or rng.random() < 0.2:
            values["edit_date"] = date + rng.randint(30, 3000)
        if full or rng.random() < 0.1:
            values["views"] = rng.randint(300, 90_000)
            values["forwards"] = rng.randint(300, 5_000)
        return make("message", **values)

    def user(self) -> dict:
        rng, make = self.rng, self.schema.make
        user_id = rng.randint(10**8, 8 * 10**9)
        first = rng.choice(_FIRST_NAMES)
        last = rng.choice(_LAST_NAMES)
        premium = rng.random() < 0.3
        status = rng.choice(
            [
                make("userStatusOnline", expires=self.now + rng.randint(60, 300)),
                make("userStatusOffline", was_online=self.now - rng.randint(60, 86_400)),
                make("userStatusRecently"),
            ]
        )
        values = {
            "contact": rng.random() < 0.5,
            "premium": premium,
            "id": user_id,
            "access_hash": int64(rng),
            "first_name": fresh_str(first),
            "last_name": fresh_str(last),
            "username": f"{first.lower()}_{last.lower()}{rng.randint(10, 9999)}",
            "photo": make(
                "userProfilePhoto",
                photo_id=int64(rng),
                stripped_thumb=rng.randbytes(rng.randint(40, 90)),
                dc_id=rng.randint(1, 5),
            ),
            "status": status,
            "lang_code": fresh_str(rng.choice(_LANGS)),
            "color": make("peerColor", color=rng.randint(0, 6), background_emoji_id=int64(rng)),
        }
        values["mutual_contact"] = values["contact"] and rng.random() < 0.7
        if rng.random() < 0.5:
            values["phone"] = f"{rng.randint(1, 99)}{rng.randint(10**8, 10**10 - 1)}"
        if premium:
            values["emoji_status"] = make("emojiStatus", document_id=int64(rng))
        return make("user", **values)

    def chat(self, index: int) -> dict:
        rng, make = self.rng, self.schema.make
        creator = rng.random() < 0.4
        if rng.random() < 0.8:
            photo = make(
                "chatPhoto",
                photo_id=int64(rng),
                stripped_thumb=rng.randbytes(rng.randint(40, 90)),
                dc_id=rng.randint(1, 5),
            )
        else:
            photo = make("chatPhotoEmpty")
        values = {
            "creator": creator,
            "id": rng.randint(10**8, 4 * 10**9),
            "title": f"{_TITLES[index % len(_TITLES)]} {rng.randint(1, 999)}",
            "photo": photo,
            "participants_count": rng.randint(3, 200),
            "date": self.now - rng.randint(10**6, 10**8),
            "version": rng.randint(1, 40),
            "default_banned_rights": make(
                "chatBannedRights",
                send_stickers=rng.random() < 0.3,
                embed_links=rng.random() < 0.2,
                until_date=2**31 - 1,
            ),
        }
        if creator:
            values["admin_rights"] = make(
                "chatAdminRights",
                change_info=True,
                delete_messages=True,
                ban_users=True,
                invite_users=True,
                pin_messages=True,
            )
        return make("chat", **values)

    def history(self) -> dict:
        users = [self.user() for _ in range(HISTORY_USERS)]
        chats = [self.chat(i) for i in range(HISTORY_CHATS)]
        author_ids = [u["id"] for u in users]
        chat_id = chats[0]["id"]
        messages = [self.message(i, chat_id, author_ids, full=False) for i in range(HISTORY_MESSAGES)]
        return self.schema.make("messages.messages", messages=messages, topics=[], chats=chats, users=users)


@dataclass
class Workloads:
    """Every workload value, plus the schema text they were built from."""

    schema_text: str
    schema_source: str
    tiny: dict
    message: dict
    history: dict
    ids: dict
    ids_key: str
    blob: dict
    blob_key: str
    unknown: dict
    extra: dict = field(default_factory=dict)


def build(schema_text: str | None = None, schema_source: str | None = None) -> Workloads:
    """All workloads from the schema (loaded from the data directory unless given)."""
    if schema_text is None:
        schema_text, schema_source = load_schema_text()
    schema = Schema(schema_text)
    builder = Builder(schema)
    rng = builder.rng

    tiny_name = schema.find(TINY_CONSTRUCTOR, ["int", "int"])
    tiny_keys = [p["name"] for p in schema.params[tiny_name]]
    tiny = schema.make(tiny_name, **{k: int32(rng) for k in tiny_keys})

    message = builder.message(0, rng.randint(10**8, 4 * 10**9), [rng.randint(10**8, 8 * 10**9)], full=True)
    history = builder.history()

    ids_name = schema.find(IDS_CONSTRUCTOR, ["Vector<long>"])
    ids_key = schema.params[ids_name][0]["name"]
    ids = schema.make(ids_name, **{ids_key: [int64(rng) for _ in range(IDS_COUNT)]})

    blob_name = schema.find(BLOB_CONSTRUCTOR, ["bytes"])
    blob_key = schema.params[blob_name][0]["name"]
    blob = schema.make(blob_name, **{blob_key: rng.randbytes(BLOB_SIZE)})

    if UNKNOWN_CONSTRUCTOR in schema.params:
        raise LookupError(f"schema unexpectedly declares {UNKNOWN_CONSTRUCTOR!r}")
    unknown = {"_": UNKNOWN_CONSTRUCTOR, "id": int32(rng)}

    return Workloads(
        schema_text=schema_text,
        schema_source=schema_source or "given",
        tiny=tiny,
        message=message,
        history=history,
        ids=ids,
        ids_key=ids_key,
        blob=blob,
        blob_key=blob_key,
        unknown=unknown,
    )


SERVICE_MESSAGES = 20


@dataclass
class Service:
    """W8: the service layer over the API, on one parser of the merged schemas.

    `container` is a msg_container of SERVICE_MESSAGES API messages (its `bodies`, each `body_bytes`
    on its own); `result` is an rpc_result whose gzip_packed holds the W3 history (`packed`, the
    gzip data alone)."""

    schema: dict
    container: dict
    bodies: list
    body_bytes: list
    result: bytes
    packed: bytes
    history: dict


def service(w: Workloads, parser_class) -> Service:
    """The W8 values for the workloads' API schema, encoded with `parser_class`."""
    import gzip
    from Virel import schemas

    schema = schemas.merged(schemas.mtproto(), json.loads(w.schema_text))
    parser = parser_class(schema)
    bodies = w.history["messages"][:SERVICE_MESSAGES]
    body_bytes = [parser.pack(body) for body in bodies]
    container = {
        "_": "msg_container",
        "messages": [
            {"_": "message", "msg_id": (1 << 62) + 4 * i, "seqno": 2 * i + 1, "bytes": len(data), "body": body}
            for i, (body, data) in enumerate(zip(bodies, body_bytes))
        ],
    }
    packed = gzip.compress(parser.pack(w.history), mtime=0)
    result = parser.pack(
        {"_": "rpc_result", "req_msg_id": (1 << 62) + 8, "result": {"_": "gzip_packed", "packed_data": packed}}
    )
    return Service(
        schema=schema,
        container=container,
        bodies=bodies,
        body_bytes=body_bytes,
        result=result,
        packed=packed,
        history=w.history,
    )


def truncated(data: bytes) -> bytes:
    """The first half of an encoding: what a cut-off read delivers."""
    return data[: len(data) // 2]
