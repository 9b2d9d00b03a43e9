"""The TL text converter: its rules on small texts, then the real layers."""

import json
import os
import re
from pathlib import Path

import pytest

from Virel import tl_text
from Virel.tl_text import TLTextError, compute_id, convert, normalise, parse, to_json

REPO = Path(__file__).resolve().parents[1]
DATA = Path(os.environ.get("VIREL_DATA") or REPO.parent / "shared" / "data")
EXAMPLE = REPO / "src" / "Virel" / "example_schema.json"


def data_file(name: str) -> Path:
    path = DATA / name
    if not path.is_file():
        pytest.skip(f"{path} not found (set VIREL_DATA to the data folder)")
    return path


# ----------------------------------------------------------------- ids


@pytest.mark.parametrize(
    "decl",
    [
        "boolFalse#bc799737 = Bool;",
        "true#3fedd339 = True;",
        "vector#1cb5c415 {t:Type} # [ t ] = Vector t;",
        "error#c4b9f9bb code:int text:string = Error;",
        # flags.N?true arguments are left out, other flags.N? ones stay
        "messageMediaVideoStream#ca5cab89 flags:# rtmp_stream:flags.0?true call:InputGroupCall = MessageMedia;",
        "inputMediaPhoto#e3af4434 flags:# spoiler:flags.1?true live_photo:flags.2?true id:InputPhoto"
        " ttl_seconds:flags.0?int video:flags.2?InputDocument = InputMedia;",
        # bytes counts as string as a whole argument type, also behind flags.N?
        "userProfilePhoto#82d1f706 flags:# has_video:flags.0?true personal:flags.2?true photo_id:long"
        " stripped_thumb:flags.1?bytes dc_id:int = UserProfilePhoto;",
        # ... but not as a vector element
        "updateMessagePollVote#7699f014 poll_id:long peer:Peer options:Vector<bytes> positions:Vector<int>"
        " qts:int = Update;",
        "inputMediaPoll#f94e5f1 flags:# poll:Poll correct_answers:flags.0?Vector<bytes> solution:flags.1?string"
        " solution_entities:flags.1?Vector<MessageEntity> = InputMedia;",
        # generic argument and a Vector result type
        "invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;",
        "photos.deletePhotos#87cf7f2f id:Vector<InputPhoto> = Vector<long>;",
    ],
)
def test_compute_id_reproduces_explicit_id(decl):
    explicit = int(re.match(r"[\w.]+#([0-9a-f]+)", decl).group(1), 16)
    assert compute_id(decl) == explicit
    # the same with the id removed and without the semicolon
    assert compute_id(re.sub(r"#[0-9a-f]+", "", decl, count=1).rstrip(";")) == explicit


@pytest.mark.parametrize(
    "decl, text",
    [
        ("x#1 flags:# flags2:# a:flags2.3?true b:flags2.4?int = X", "x flags:# flags2:# b:flags2.4?int = X"),
        ("x  a:bytes   b:Vector<bytes> c:f.1?bytes = Vector<X>", "x a:string b:Vector bytes c:f.1?string = Vector X"),
        ("x {X:Type} q:!X = X", "x X:Type q:!X = X"),
        ("x a:Vector<Vector<int>> = X;", "x a:Vector Vector int = X"),
    ],
)
def test_normalise(decl, text):
    assert normalise(decl) == text


# -------------------------------------------------------------- parsing


def test_sections_comments_and_params():
    text = """
// a header comment
int ? = Int;
bytes = Bytes;
vector {t:Type} # [ t ] = Vector t;
int128 4*[ int ] = Int128;
vector#1cb5c415 {t:Type} # [ t ] = Vector t;
peer#11223344 id:long = Peer; // trailing comment
  user#aabbccdd flags:# bot:flags.0?true
     name:flags.1?string
     tags:flags.2?Vector<long> = User;
---functions---
// LAYER 7
invoke#80000000 {X:Type} query:!X = X;
a.get#1 = Peer; a.put#2 peer:Peer = Bool;
---types---
later#ffffffff = Later;
"""
    conv = parse(text)
    assert conv.layer == 7
    assert conv.computed_ids == []
    assert conv.schema == {
        "constructors": [
            {"id": "481674261", "predicate": "vector", "params": [], "type": "Vector t"},
            {"id": "287454020", "predicate": "peer", "params": [{"name": "id", "type": "long"}], "type": "Peer"},
            {"id": str(0xAABBCCDD - 2**32), "predicate": "user", "params": [
                {"name": "flags", "type": "#"},
                {"name": "bot", "type": "flags.0?true"},
                {"name": "name", "type": "flags.1?string"},
                {"name": "tags", "type": "flags.2?Vector<long>"},
            ], "type": "User"},
            {"id": "-1", "predicate": "later", "params": [], "type": "Later"},
        ],
        "methods": [
            {"id": "-2147483648", "method": "invoke", "params": [{"name": "query", "type": "!X"}], "type": "X"},
            {"id": "1", "method": "a.get", "params": [], "type": "Peer"},
            {"id": "2", "method": "a.put", "params": [{"name": "peer", "type": "Peer"}], "type": "Bool"},
        ],
    }


def test_missing_id_is_computed_and_reported():
    conv = parse("\nmessage id:int text:string = Message;\n---functions---\nping = Pong;\n")
    assert [(c.line, c.name, c.id) for c in conv.computed_ids] == [
        (2, "message", compute_id("message id:int text:string = Message")),
        (4, "ping", compute_id("ping = Pong")),
    ]
    assert conv.schema["constructors"][0]["id"] == str(
        tl_text._signed(compute_id("message id:int text:string = Message"))
    )


@pytest.mark.parametrize(
    "text, line, words",
    [
        ("a#1 = A;\nb#2 x:int B;\n", 2, "no '='"),
        ("a#1 x:int =  ;", 1, "no result type"),
        ("a#1 = A;\n\nb#2 x:int\n  y:int = B\n", 3, "not ended"),
        ("b#2 x:int\n---functions---\nc = C;", 1, "not ended"),
        ("---methods---\n", 1, "unknown section"),
        ("9abc#1 = A;", 1, "bad combinator name"),
        ("a#123456789 = A;", 1, "longer than 32 bits"),
        ("a#1 {X:Type = A;", 1, "bad type variable"),
        ("a#1 :int = A;", 1, "bad parameter"),
        ("a#1 = A;;", 1, "empty declaration"),
    ],
)
def test_errors_name_the_line(text, line, words):
    with pytest.raises(TLTextError) as info:
        parse(text)
    assert info.value.line == line
    assert words in str(info.value)
    assert str(info.value).startswith(f"line {line}: ")


def test_to_json_forms():
    schema = convert("a#1 x:int = A;\nb#2 s:string = A;\n---functions---\nf#3 = A;")
    assert json.loads(to_json(schema)) == schema
    lines = to_json(schema).splitlines()
    assert [json.loads(x.strip().rstrip(",")) for x in lines if x.startswith("    {")] == [
        *schema["constructors"], *schema["methods"]]  # one entry per line
    assert to_json(schema, compact=True) == json.dumps(schema, separators=(",", ":"))
    assert json.loads(to_json({"constructors": [], "methods": []})) == {"constructors": [], "methods": []}


def test_example_schema_ids_are_the_crc_of_its_declarations():
    schema = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    types = set()
    for key, name_key in (("constructors", "predicate"), ("methods", "method")):
        for e in schema[key]:
            decl = " ".join([e[name_key]] + [f"{p['name']}:{p['type']}" for p in e["params"]]) + f" = {e['type']}"
            assert int(e["id"]) & 0xFFFFFFFF == compute_id(decl), e[name_key]
            types.update(p["type"] for p in e["params"])
    # the demo and the tests rely on these kinds being present
    assert {"#", "long", "double", "bytes", "Bool", "string", "int"} <= types
    assert any(t.endswith("?true") for t in types)
    assert any(t.startswith("flags.") and "Vector<" in t for t in types)
    assert schema["methods"]


# ----------------------------------------------------------- real layers

LAYERS = [
    # TL text, JSON beside it, id-carrying lines, lines whose id is not the CRC,
    # computed ids, layer comment
    ("telegram_api.tl", "api.json", 2460, [
        "ipPortSecret", "accessPointRule", "help.configSimple", "inputPeerPhotoFileLocationLegacy",
        "inputStickerSetThumbLegacy", "invokeWithBusinessConnectionPrefix",
        "invokeWithGooglePlayIntegrityPrefix", "invokeWithApnsSecretPrefix", "invokeWithReCaptchaPrefix",
    ], {"test.useConfigSimple": 0xF9B7B23D, "test.parseInputAppEvent": 0xBB0D87F1}, None),
    ("mtproto_api.tl", "mtproto.json", 39, ["gzip_packed"],
     {"dummyHttpWait": 0xC937CA2E, "rsa_public_key": 0x7A19CB76}, None),
    ("api_layer144.tl", "api_layer144.json", 1460, [], {}, 144),
]


@pytest.mark.parametrize("tl, js, _n, _bad, computed, layer", LAYERS, ids=[x[0] for x in LAYERS])
def test_real_layer_converts_to_the_json_beside_it(tl, js, _n, _bad, computed, layer):
    text = data_file(tl).read_text(encoding="utf-8")
    expected = data_file(js).read_text(encoding="utf-8")
    conv = parse(text)
    assert conv.schema == json.loads(expected)
    assert to_json(conv.schema, compact=True) == expected.rstrip("\n")
    assert {c.name: c.id for c in conv.computed_ids} == computed
    assert conv.layer == layer


@pytest.mark.parametrize("tl, _js, n_ids, bad, _computed, _layer", LAYERS, ids=[x[0] for x in LAYERS])
def test_real_layer_explicit_ids_are_the_crc(tl, _js, n_ids, bad, _computed, _layer):
    seen, mismatched = 0, []
    for line in data_file(tl).read_text(encoding="utf-8").splitlines():
        code = line.split("//", 1)[0].strip()
        m = re.match(r"([\w.]+)#([0-9a-f]+) ", code)
        if not m:
            continue
        seen += 1
        if compute_id(code) != int(m.group(2), 16):
            mismatched.append(m.group(1))
    assert seen == n_ids
    assert mismatched == bad


def test_real_layer_counts():
    schema = convert(data_file("telegram_api.tl").read_text(encoding="utf-8"))
    entries = schema["constructors"] + schema["methods"]
    assert (len(schema["constructors"]), len(schema["methods"])) == (1649, 813)
    assert sum(len(e["params"]) for e in entries) == 7867
