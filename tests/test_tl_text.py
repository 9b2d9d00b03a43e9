"""The TL text converter: its rules on small texts, then the real layers."""

import json
import re
from pathlib import Path

import pytest

import Virel
from Virel.tl_text import TLTextError, compute_id, convert, normalise, parse, to_json

from _data import data_file


@pytest.mark.parametrize(
    "decl",
    [
        "messageMediaVideoStream#ca5cab89 flags:# rtmp_stream:flags.0?true call:InputGroupCall = MessageMedia;",
        # bytes is string as a whole argument type, behind flags.N? too, but not as a vector element
        "userProfilePhoto#82d1f706 flags:# has_video:flags.0?true personal:flags.2?true photo_id:long"
        " stripped_thumb:flags.1?bytes dc_id:int = UserProfilePhoto;",
        "updateMessagePollVote#7699f014 poll_id:long peer:Peer options:Vector<bytes> positions:Vector<int>"
        " qts:int = Update;",
        "invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;",
    ],
)
def test_compute_id_reproduces_explicit_id(decl):
    explicit = int(re.match(r"[\w.]+#([0-9a-f]+)", decl).group(1), 16)
    assert compute_id(decl) == explicit
    assert compute_id(re.sub(r"#[0-9a-f]+", "", decl, count=1).rstrip(";")) == explicit


def test_normalise():
    assert normalise(
        "x#1 {X:Type} flags2:# a:flags2.3?true b:Vector<Vector<bytes>>   c:flags2.1?bytes = Vector<X>;"
    ) == ("x X:Type flags2:# b:Vector Vector bytes c:flags2.1?string = Vector X")


def test_sections_comments_builtins_and_params():
    conv = parse("""
// a header comment
int ? = Int;
bytes = Bytes;
int128 4*[ int ] = Int128;
vector#1cb5c415 {t:Type} # [ t ] = Vector t;
  user#aabbccdd flags:# bot:flags.0?true  // a trailing comment
     tags:flags.2?Vector<long> = User;
pong msg_id:long = Pong;
---functions---
// LAYER 7
invoke#80000000 {X:Type} query:!X = X;
a.get#1 = Pong; a.put#2 p:Pong = Bool;
---types---
later#ffffffff = Later;
""")
    pong_id = compute_id("pong msg_id:long = Pong")
    assert conv.layer == 7
    assert [(c.line, c.name, c.id) for c in conv.computed_ids] == [(9, "pong", pong_id)]
    assert conv.schema == {
        "constructors": [
            {"id": "481674261", "predicate": "vector", "params": [], "type": "Vector t"},
            {
                "id": str(0xAABBCCDD - 2**32),
                "predicate": "user",
                "params": [
                    {"name": "flags", "type": "#"},
                    {"name": "bot", "type": "flags.0?true"},
                    {"name": "tags", "type": "flags.2?Vector<long>"},
                ],
                "type": "User",
            },
            {
                "id": str(pong_id - (pong_id >= 2**31) * 2**32),
                "predicate": "pong",
                "params": [{"name": "msg_id", "type": "long"}],
                "type": "Pong",
            },
            {"id": "-1", "predicate": "later", "params": [], "type": "Later"},
        ],
        "methods": [
            {"id": "-2147483648", "method": "invoke", "params": [{"name": "query", "type": "!X"}], "type": "X"},
            {"id": "1", "method": "a.get", "params": [], "type": "Pong"},
            {"id": "2", "method": "a.put", "params": [{"name": "p", "type": "Pong"}], "type": "Bool"},
        ],
    }


@pytest.mark.parametrize(
    "text, line, words",
    [
        ("a#1 = A;\nb#2 x:int B;\n", 2, "no '='"),
        ("a#1 = A;\n\nb#2 x:int\n  y:int = B\n", 3, "not ended"),
        ("b#2 x:int\n---functions---\nc = C;", 1, "not ended"),
        ("---methods---\n", 1, "unknown section"),
        ("a#123456789 = A;", 1, "longer than 32 bits"),
        ("a#1 {X:Type = A;", 1, "bad type variable"),
    ],
)
def test_errors_name_the_line(text, line, words):
    with pytest.raises(TLTextError, match=f"^line {line}: .*{words}"):
        parse(text)


def test_many_declarations_on_one_line_cost_linear_work():
    # 12 MB on one line: a converter that copies the rest of the line per declaration moves
    # about 500 GB in all; walking the line once takes a fraction of a second.
    conv = parse(("a#1=B;" + " " * 300) * 40_000)
    assert len(conv.schema["constructors"]) == 40_000
    assert conv.schema["constructors"][-1] == {"id": "1", "predicate": "a", "params": [], "type": "B"}


def test_to_json_forms():
    schema = convert("a#1 x:int = A;\nb#2 s:string = A;\n---functions---\nf#3 = A;")
    lines = to_json(schema).splitlines()
    assert json.loads("\n".join(lines)) == schema
    assert [json.loads(x.strip().rstrip(",")) for x in lines if x.startswith("    {")] == [
        *schema["constructors"],
        *schema["methods"],
    ]  # one entry per line
    assert to_json(schema, compact=True) == json.dumps(schema, separators=(",", ":"))


def test_example_schema_ids_are_the_crc_of_its_declarations():
    schema = json.loads(Path(Virel.__file__).with_name("example_schema.json").read_text(encoding="utf-8"))
    for e in schema["constructors"] + schema["methods"]:
        name = e.get("predicate") or e["method"]
        decl = " ".join([name] + [f"{p['name']}:{p['type']}" for p in e["params"]]) + f" = {e['type']}"
        assert int(e["id"]) & 0xFFFFFFFF == compute_id(decl), name


LAYERS = [
    # TL text, JSON beside it, id-carrying lines, those whose id is not the CRC, computed ids, layer
    (
        "telegram_api.tl",
        "api.json",
        2460,
        [
            "ipPortSecret",
            "accessPointRule",
            "help.configSimple",
            "inputPeerPhotoFileLocationLegacy",
            "inputStickerSetThumbLegacy",
            "invokeWithBusinessConnectionPrefix",
            "invokeWithGooglePlayIntegrityPrefix",
            "invokeWithApnsSecretPrefix",
            "invokeWithReCaptchaPrefix",
        ],
        {"test.useConfigSimple": 0xF9B7B23D, "test.parseInputAppEvent": 0xBB0D87F1},
        None,
    ),
    # The service schema: msg_container's documented id is not the CRC of its bare-typed text.
    ("mtproto_api.tl", "mtproto.json", 50, ["msg_container"], {"message": 0x5BB8E511}, None),
    ("api_layer144.tl", "api_layer144.json", 1460, [], {}, 144),
]


@pytest.mark.parametrize("tl, js, _n, _bad, computed, layer", LAYERS, ids=[x[0] for x in LAYERS])
def test_real_layer_converts_to_the_json_beside_it(tl, js, _n, _bad, computed, layer):
    expected = data_file(js).read_text(encoding="utf-8")
    conv = parse(data_file(tl).read_text(encoding="utf-8"))
    assert to_json(conv.schema, compact=True) == expected.rstrip("\n")  # same entries, order, text
    assert {c.name: c.id for c in conv.computed_ids} == computed
    assert conv.layer == layer


@pytest.mark.parametrize("tl, _js, n_ids, bad, _computed, _layer", LAYERS, ids=[x[0] for x in LAYERS])
def test_real_layer_explicit_ids_are_the_crc(tl, _js, n_ids, bad, _computed, _layer):
    seen, mismatched = 0, []
    for line in data_file(tl).read_text(encoding="utf-8").splitlines():
        code = line.split("//", 1)[0].strip()
        m = re.match(r"([\w.]+)#([0-9a-f]+) ", code)
        if m:
            seen += 1
            if compute_id(code) != int(m.group(2), 16):
                mismatched.append(m.group(1))
    assert (seen, mismatched) == (n_ids, bad)
