"""The command-line tool, run in-process through cli.main(argv)."""

import io
import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import Virel
from Virel.cli import demo, inputs, jsonform, main, schema_view
from Virel.cli.errors import Failure

import _data
from support import framed_body

EXAMPLE = str(Path(Virel.__file__).with_name("example_schema.json"))
IDS = {
    e.get("predicate") or e.get("method"): int(e["id"]) & 0xFFFFFFFF
    for k in ("constructors", "methods")
    for e in json.loads(Path(EXAMPLE).read_text())[k]
}


def data_file(name: str) -> str:
    return str(_data.data_file(name))


@pytest.fixture
def tl():
    return pytest.importorskip("Virel.tl")


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    return (code, *capsys.readouterr())


def assert_one_line_error(err: str, *words: str):
    assert err.startswith("virel: error: ") and err.count("\n") == 1, err
    assert all(w in err for w in words), err


def feed_stdin(monkeypatch, data: bytes):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))


# wire helpers written from the wire rules, independent of the encoder
def u32(n):
    return struct.pack("<I", n)


def i64(n):
    return struct.pack("<q", n)


def tlstr(b: bytes):
    body = (bytes([len(b)]) if len(b) < 254 else b"\xfe" + len(b).to_bytes(3, "little")) + b
    return body + b"\0" * (-len(body) % 4)


def example_message_bytes() -> bytes:
    return b"".join(
        [
            u32(IDS["message"]),
            u32((1 << 1) | (1 << 7) | (1 << 8) | (1 << 9) | (1 << 10)),
            u32(4021),
            u32(IDS["peerUser"]),
            i64(2**53 + 1),
            u32(IDS["peerChat"]),
            i64(5),
            u32(1_767_225_600),
            tlstr("Grüße, 世界 ".encode() * 30),  # over 254 bytes: long length form
            u32(IDS["messageMediaPhoto"]),
            i64(1),
            tlstr(bytes(range(7))),
            u32(0x1CB5C415),
            u32(2),
            u32(IDS["messageEntityBold"]),
            u32(0),
            u32(5),
            u32(IDS["messageEntityTextUrl"]),
            u32(7),
            u32(2),
            tlstr(b"https://example.org"),
            u32(0xFFFFFFFF),
            u32(1),  # views, pinned
        ]
    )


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def exact(value):
    """A value's repr with every float's bits, so that NaNs of other signs and payloads differ."""
    if isinstance(value, float):
        return f"float:{struct.pack('<d', value).hex()}"
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, list):
        return [exact(v) for v in value]
    return repr(value)


@pytest.mark.parametrize(
    "value, shown",
    [
        (b"\x00\xff", {"$bytes": "00ff"}),
        (2**53 + 1, {"$int": str(2**53 + 1)}),
        (2**255 - 1, {"$int": str(2**255 - 1)}),
        (float("-inf"), {"$float": "-inf"}),
        (float("nan"), {"$float": "nan"}),
        (from_bits(0xFFF8000000000001), {"$float": "nan:fff8000000000001"}),  # sign and payload
        (-float("nan"), {"$float": "nan:fff8000000000000"}),
        (from_bits(0x7FF0000000000001), {"$float": "nan:7ff0000000000001"}),  # signalling
        ({"_": "x", "v": [b"", 1.5, -0.0]}, {"_": "x", "v": [{"$bytes": ""}, 1.5, -0.0]}),
    ],
)
def test_json_forms_are_reversible(value, shown):
    assert json.dumps(jsonform.to_jsonable(value)) == json.dumps(shown)
    back = jsonform.from_json(jsonform.dumps(value))
    assert exact(back) == exact(value)  # same types and float bits: -0.0 and every NaN included


@pytest.mark.parametrize(
    "text, words",
    [
        ('{"b": {"$bytes": "0g"}}', r"bad \$bytes"),
        ('{"n": {"$int": 15}}', "takes a string"),
        ('{"f": {"$float": "one"}}', r"bad \$float"),
        ('{"f": {"$float": "nan:3ff0000000000000"}}', r"bad \$float"),
        ('{"f": {"$float": "nan:7ff8"}}', r"bad \$float"),
        ('{"_": "x",}', "bad JSON input"),
    ],
)
def test_bad_json_forms(text, words):
    with pytest.raises(Failure, match=words):
        jsonform.from_json(text)
    assert jsonform.from_json('{"$bytes": "00", "x": 1}') == {"$bytes": "00", "x": 1}  # only alone


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"22175159 2a000000\n00000000\n", bytes.fromhex("221751592a00000000000000")),
        (b"\x22\x17\x51\x59", b"\x22\x17\x51\x59"),
    ],  # not all hex: raw
)
def test_stdin_is_hex_when_it_is_all_hex(monkeypatch, data, expected):
    feed_stdin(monkeypatch, data)
    assert inputs.read_tl_input("-") == expected


@pytest.mark.parametrize("text, words", [("abc", "odd number"), ("12 3x", "'x' (digit 4)")])
def test_bad_hex(capsys, text, words):
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, text)
    assert code == 1 and out == ""
    assert_one_line_error(err, words)


def compiled_param(name, ptype):
    """How the command shows a parameter of the given name and type text, as the compiler made it."""
    from Virel.tl import TLSchemaCompiler

    compiler = TLSchemaCompiler()
    compiler.compile({"constructors": [{"id": 1, "predicate": "e", "params": [{"name": name, "type": ptype}]}]})
    return schema_view.carried(compiler.entries()[0].params[0])


@pytest.mark.parametrize(
    "name, ptype, words",
    [
        ("a", "flags2.3?true", "bit 3 of flags2, no data"),
        ("a", "flags.2?Vector<long>", "if bit 2 of flags: vector of long"),
        ("a", "Vector<Vector<int>>", "vector of int"),
        ("a", "Vector t", "vector of vectors, to any depth"),
        ("a", "flags.0?bytes", "if bit 0 of flags: bytes"),
        ("a", "x.33?int", "if bit 1 of flags: int, 4 bytes"),
        ("a", "?Bool", "bit 0 of flags, no data"),
        ("a", "int128", "int128, 16 bytes"),
        ("a", "vector<%E>", "bare vector of bare object"),
        ("flags2", "int", "flags word"),
        ("flags\0x", "int", "flags word"),
        ("a", "int\0x", "object"),
    ],  # names and texts up to a NUL, as compiled
)
def test_carried(name, ptype, words):
    assert compiled_param(name, ptype).startswith(words)


# Texts whose levels strip one "Vector<" (or more) at a time, as the command has always shown them.
@pytest.mark.parametrize(
    "ptype, words",
    [
        ("VectorVector<<int>>", "vector of vector of int"),
        ("VectorVectorVector<<<long>>>", "vector of vector of vector of long"),
        ("Vector<VecVector<tor<<string>", "vector of vector of object"),
        ("flags.1?VectorVector<<Bool>>", "if bit 1 of flags: vector of vector of bool"),
        ("VectorVector<<Vector t>>", "vector of vector of vectors, to any depth"),
        # The text stops changing only when no part of it does, the type proper or not.
        (
            "x?VectorVector<<Vector t?VectorVectorVector<<<",
            "if bit 0 of flags: vector of vector of vector of vectors, to any depth",
        ),
        ("x?VectorVector<<int?VectorVectorVector<<<", "if bit 0 of flags: vector of vector of int"),
        ("Vector<VVector<Vector<ector<VectorVector<<double", "vector of vector of double"),
        ("VectorVecVector<tor<<int", "vector of vector of vector of int"),
        ("VectorVec>tor<<bytes", "vector of vector of vector of bytes"),
        ("Vector<>Vector<<int128", "vector of object"),
        ("VectorVVector<ector<<true", "vector of vector of vector of bool"),
        ("VectorVector", "vector of vectors, to any depth"),
    ],
)
def test_nested_vectors(ptype, words):
    assert compiled_param("a", ptype) == words


@pytest.mark.parametrize(
    "ptype, words",
    [
        ("{v}int{c}", "{e}int"),
        ("x?{v}Vector t", "if bit 0 of flags: {e}vectors, to any depth"),
        ("x?Vector t?{v}", "if bit 0 of flags: {e}vectors, to any depth"),
    ],
    ids=["nested", "to any depth", "deeper outside the type proper"],
)
def test_deep_nesting_takes_one_scan(ptype, words):
    # 100,000 levels: a scan of the text for each level would take minutes.
    n = 100_000
    expr = ptype.format(v="Vector" * n + "<" * n, c=">" * n)
    assert compiled_param("a", expr) == words.format(e="vector of " * n)


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["bogus"],
        ["unpack", "--type"],
        ["schema", EXAMPLE, "a", "b"],
        ["demo", "--seconds", "x"],
        ["unpack", "--schema", EXAMPLE, "0", "1"],
        ["schema", EXAMPLE, "4294967296"],
        ["schema", EXAMPLE, "-2147483649"],
        ["schema", EXAMPLE, "0xzz"],
    ],
)
def test_usage_errors_exit_2(capsys, argv):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == ""
    assert_one_line_error(err)


@pytest.mark.parametrize("command", [[], ["unpack"], ["pack"], ["schema"], ["stubs"], ["convert"], ["demo"]])
def test_help_teaches_with_examples(capsys, command):
    code, out, _ = run(capsys, *command, "--help")
    assert code == 0 and "examples:" in out and out.startswith(f"usage: {' '.join(['virel', *command])}")
    # the JSON form is stated once, in the main help; the commands that use it point there
    assert out.count('{"$bytes": ') == (command == [])
    assert command not in (["unpack"], ["pack"]) or "'virel --help'" in out


def test_convert(capsys, tmp_path):
    src = tmp_path / "small.tl"
    src.write_text("ping#7abe77ec ping_id:long = Pong;\npong msg_id:long = Pong;\n")
    assert run(capsys, "convert", tmp_path / "x.tl")[0] == 1
    code, out, err = run(capsys, "convert", src)
    assert code == 0 and [e["predicate"] for e in json.loads(out)["constructors"]] == ["ping", "pong"]
    assert err.count("\n") == 1 and "small.tl:2: pong has no #id" in err
    code, out, err = run(capsys, "convert", "--compact", src, "-o", tmp_path / "out.json")
    assert code == 0 and out == "" and "wrote 2 constructors and 0 methods" in err
    assert (tmp_path / "out.json").read_text().count("\n") == 1


@pytest.mark.parametrize("content, words", [(b"\xff\xfe", "not UTF-8"), (None, "No such file")])
def test_convert_bad_file(capsys, tmp_path, content, words):
    if content is not None:
        (tmp_path / "bad.tl").write_bytes(content)
    code, out, err = run(capsys, "convert", tmp_path / "bad.tl")
    assert code == 1 and out == ""
    assert_one_line_error(err, words, "bad.tl")


# ------------------------------------------------------------- with the codec


def test_pack_and_unpack(capsys, tl):
    assert run(capsys, "pack", "--schema", EXAMPLE, '{"_": "peerUser", "user_id": 42}') == (
        0,
        "221751592a00000000000000\n",
        "",
    )
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, "22175159 2a000000 00000000 0000")
    assert code == 0 and json.loads(out) == {"_": "peerUser", "user_id": 42}
    assert (
        err == "virel: warning: the object is 12 bytes; the 2 bytes after it were not read (--all reads every value)\n"
    )


def write_schema(tmp_path, *entries):
    path = tmp_path / "s.json"
    path.write_text(json.dumps({"constructors": list(entries)}))
    return path


@pytest.mark.parametrize(
    "word",
    [
        "000000000000f87f",
        "010000000000f8ff",
        "000000000000f8ff",
        "010000000000f07f",
        "ffffffffffffffff",
        "000000000000f0ff",
        "0000000000000080",
    ],
)
def test_doubles_keep_their_bits_through_unpack_and_pack(capsys, tl, tmp_path, word):
    schema = write_schema(
        tmp_path, {"id": 1, "predicate": "d", "type": "D", "params": [{"name": "x", "type": "double"}]}
    )
    code, out, err = run(capsys, "unpack", "--schema", schema, "01000000" + word)
    assert code == 0, err
    assert run(capsys, "pack", "--schema", schema, out) == (0, "01000000" + word + "\n", "")


def test_deep_data_prints_in_proportion_to_its_size(capsys, tl, tmp_path):
    # 1,200 nested objects over a vector of 10,000 ints: indenting every level would print
    # about 24 MB, mostly spaces (and a printer that recursed would give up first).
    schema = write_schema(
        tmp_path,
        {"id": 1, "predicate": "n", "type": "N", "params": [{"name": "o", "type": "N"}]},
        {"id": 2, "predicate": "v", "type": "N", "params": [{"name": "v", "type": "Vector<int>"}]},
    )
    data = u32(1) * 1200 + u32(2) + u32(0x1CB5C415) + u32(10_000) + b"".join(u32(i % 10) for i in range(10_000))
    (tmp_path / "deep.bin").write_bytes(data)
    code, out, err = run(capsys, "unpack", "--schema", schema, f"@{tmp_path / 'deep.bin'}")
    assert code == 0, err
    assert len(out) < 2 * len(data)
    assert out.splitlines()[1] == '  "_": "n",'  # shallow levels are still indented
    assert run(capsys, "pack", "--schema", schema, out) == (0, data.hex() + "\n", "")


def test_hand_built_message_round_trips(capsys, tl, tmp_path):
    data = example_message_bytes()
    (tmp_path / "m.bin").write_bytes(data)
    code, out, _ = run(capsys, "unpack", "--schema", EXAMPLE, f"@{tmp_path / 'm.bin'}")
    obj = json.loads(out)
    assert obj["from_id"] == {"_": "peerUser", "user_id": {"$int": "9007199254740993"}}
    assert obj["media"]["thumb"] == {"$bytes": "00010203040506"}
    assert (obj["views"], obj["pinned"], obj["out"], obj["silent"], obj["edit_date"]) == (
        2**32 - 1,
        True,
        True,
        False,
        None,
    )
    assert "flags" not in obj
    code, again, _ = run(capsys, "pack", "--schema", EXAMPLE, out)
    assert code == 0 and again.strip() == data.hex()


REAL_OBJECTS = {
    "message": {
        "_": "message",
        "out": True,
        "pinned": True,
        "offline": True,
        "id": 883,
        "from_id": {"_": "peerUser", "user_id": 7_123_456_789},
        "peer_id": {"_": "peerChannel", "channel_id": 1_987_654_321_012},
        "reply_to": {
            "_": "messageReplyHeader",
            "quote": True,
            "reply_to_msg_id": 880,
            "quote_text": "ça va",
            "poll_option": b"\x01\x02",
        },
        "date": 1_767_225_600,
        "message": "Meet at 📍 ça va?",
        "media": {
            "_": "messageMediaGeo",
            "geo": {
                "_": "geoPoint",
                "long": 2.2945,
                "lat": 48.8584,
                "access_hash": 18_070_450_532_247_928_832,
                "accuracy_radius": 25,
            },
        },
        "entities": [
            {"_": "messageEntityBold", "offset": 0, "length": 4},
            {"_": "messageEntityMentionName", "offset": 8, "length": 2, "user_id": 7_123_456_789},
        ],
        "views": 15,
        "forwards": 2,
        "grouped_id": 13_835_058_055_282_163_712,
        "effect": 5_159_385_139_981_059_251,
    },
    "user": {
        "_": "user",
        "verified": True,
        "id": 777000,
        "access_hash": 1 << 62,
        "first_name": "Zoë",
        "username": "zoe",
        "photo": {
            "_": "userProfilePhoto",
            "photo_id": 6_000_000_000_000_000_123,
            "stripped_thumb": bytes(range(256)) * 2,
            "dc_id": 4,
        },
        "bot_active_users": 12,
    },
}


@pytest.mark.parametrize("name", REAL_OBJECTS)
def test_real_objects_round_trip_through_the_cli(capsys, tl, name):
    schema = data_file("api.json")
    data = tl.TLParser(Path(schema).read_text(encoding="utf-8")).pack(REAL_OBJECTS[name])
    code, out, err = run(capsys, "unpack", "--schema", schema, data.hex(" "))
    assert code == 0, err
    assert run(capsys, "pack", "--schema", schema, out) == (0, data.hex() + "\n", "")


def test_tl_schema_and_stdin_and_raw(capsysbinary, monkeypatch, tl):
    schema = data_file("mtproto_api.tl")
    feed_stdin(monkeypatch, b'{"_": "msgs_ack", "msg_ids": [1, {"$int": "9007199254740993"}]}')
    assert main(["pack", "--schema", schema, "--raw"]) == 0
    raw = capsysbinary.readouterr()[0]
    assert raw == u32(0x62D6B459) + u32(0x1CB5C415) + u32(2) + i64(1) + i64(2**53 + 1)
    feed_stdin(monkeypatch, raw)
    assert main(["unpack", "--schema", schema]) == 0
    assert json.loads(capsysbinary.readouterr()[0]) == {"_": "msgs_ack", "msg_ids": [1, {"$int": "9007199254740993"}]}


@pytest.mark.parametrize(
    "argv, words",
    [
        (["pack", '{"_": "nosuch"}'], ["cannot pack", "nosuch"]),
        (["pack", '{"_": "peerUser", "user_id": null}'], ["cannot pack 'peerUser'"]),
        (["pack", '{"_": "peerUser", "user_id": 1'], ["bad JSON input"]),
        (["pack", "[1, 2]"], ['"_" names the constructor']),
        (["unpack", "deadbeef"], ["cannot unpack 4 bytes", "0xefbeadde"]),
        (["unpack", "22175159 2a000000"], ["cannot unpack 8 bytes", "position"]),
    ],
)
def test_bad_data_is_one_line_and_exit_1(capsys, tl, argv, words):
    code, out, err = run(capsys, argv[0], "--schema", EXAMPLE, *argv[1:])
    assert code == 1 and out == ""
    assert_one_line_error(err, *words)


@pytest.mark.parametrize(
    "content",
    [
        b"not json",
        b"[]",
        b'{"constructors": 5, "methods": []}',
        b"\xff\xfe",
        b'{"constructors": [{"id": "1", "predicate": "a", "params": [{"name": "x"}], "type": "A"}], "methods": []}',
    ],
)
def test_bad_schema_is_one_line_and_exit_1(capsys, tl, tmp_path, content):
    bad = tmp_path / "bad.json"
    bad.write_bytes(content)
    for argv in (["unpack", "--schema", bad, "00000000"], ["pack", "--schema", bad, '{"_": "a"}'], ["schema", bad]):
        code, out, err = run(capsys, *argv)
        assert code == 1 and out == ""
        assert_one_line_error(err, "bad schema", "bad.json")
    code, _, err = run(capsys, "--debug", "schema", bad)
    assert code == 1 and "Traceback" in err


def test_schema_summary(capsys, tl):
    code, out, _ = run(capsys, "schema", data_file("api_layer144.tl"))
    assert code == 0 and "layer:        144" in out and "constructors: 1012" in out and "methods:      448" in out
    code, out, _ = run(capsys, "schema", data_file("api.json"))
    assert "layer:        unknown" in out and "params:       7867" in out


@pytest.mark.parametrize("entry", ["message", "0x96fc15e6", "#96fc15e6", "-1761864218", "2533103078"])
def test_schema_entry_by_name_or_id(capsys, tl, entry):
    lines = run(capsys, "schema", EXAMPLE, entry)[1].splitlines()
    assert lines[0] == "message#96fc15e6  (constructor)" and "  result: Message" in lines
    row = next(x for x in lines if x.split()[:2] == ["entities", "flags.7?Vector<MessageEntity>"])
    assert row.endswith("if bit 7 of flags: vector of object")


def test_schema_entry_shared_id_and_not_found(capsys, tl):
    code, out, _ = run(capsys, "schema", data_file("api.json"), "0xdd289f8e")
    assert code == 0 and out.startswith("2 entries have id 0xdd289f8e")
    assert "invokeWithBusinessConnectionPrefix#dd289f8e" in out and "invokeWithBusinessConnection#dd289f8e" in out
    for entry, words in [("mesage", "did you mean: message"), ("0x12345678", "id 0x12345678")]:
        code, out, err = run(capsys, "schema", EXAMPLE, entry)
        assert code == 1 and out == ""
        assert_one_line_error(err, words)


# What the compiler makes of odd entries; the comments say what the schema command must show.
ODD_ENTRIES = {
    "constructors": [
        {"id": 7, "predicate": "leaf", "type": "L"},
        {"id": "-1", "type": "OnlyType"},  # named by its type
        {"id": " 12 ", "predicate": "p", "method": "m", "type": ""},  # predicate first; result falls back to the name
        {
            "id": 3.9,
            "method": "asConstructor",
            "type": None,  # id 3
            "params": [
                {"name": "flags", "type": "#"},
                {"name": "x", "type": "x.33?long"},
                {"name": "t", "type": "?true"},
                {"name": "v", "type": "Vector<Vector<int>>"},
                {"name": "c", "type": "byte"},
            ],
        },
        {
            "predicate": "noId\x00tail",
            "params": [{"name": "o", "type": "!X"}, {"name": "big", "type": "int128"}],
        },  # id 0
        {"id": 3, "predicate": "again", "type": "L"},  # unpack reads id 3 as this one
        {
            "id": 8,
            "predicate": "p",
            "type": "P",
            "params": [{"name": "d", "type": "double"}],
        },  # pack writes p as this one
    ],
    "methods": [{"id": -2, "method": "call", "type": "X", "params": [{"name": "q", "type": "!X"}]}],
}

ZERO = {
    "int": 0,
    "long": 0,
    "double": 0.0,
    "string": "",
    "bytes": b"",
    "vector": [],
    "bool": False,
    "int128": 0,
    "int256": 0,
}
ZERO_SIZE = {"int": 4, "long": 8, "double": 8, "string": 4, "bytes": 4, "bool": 4, "int128": 16, "int256": 32}


def filled(view, e, leaf, present):
    """Entry e as a dict with every field at a zero value (optional ones present or absent, objects
    the given leaf), and the bytes the view says the codec writes for it."""
    words = {0: 0, 1: 0}  # flags, flags2
    for p in e.params:
        if p.is_conditional:
            words[p.flag_field] |= present << (p.flag_bit & 31)
    obj, wire = {"_": e.name}, [u32(e.id)]
    framed = framed_body(e)
    kinds = schema_view.kind_words()
    for p in e.params:
        name, kind = p.name, kinds[p.kind]
        if framed and name == framed[0]:  # the length of the framed body that follows
            obj[name] = len(leaf[1])
            wire.append(u32(obj[name]))
        elif p.flags_word:
            wire.append(u32(words[p.flags_word - 1]))
        elif p.is_conditional and kind == "bool":
            obj[name] = present
        elif not p.is_conditional or present:
            if kind == "object":
                obj[name], part = leaf
            else:
                obj[name], part = ZERO[kind], u32(0x1CB5C415) + u32(0) if kind == "vector" else bytes(ZERO_SIZE[kind])
            wire.append(part)
    return obj, b"".join(wire)


@pytest.mark.parametrize("name", ["odd", "example", "api.json", "mtproto.json", "api_layer144.json"])
def test_schema_view_is_what_the_compiler_compiled(tl, tmp_path, name):
    # The view (the compiler's own records, which stubs and the fuzz harnesses read too) is
    # checked through what pack and unpack do with every entry: its id, name, parameters, their
    # kinds and conditions.
    if name == "odd":
        path = write_schema(tmp_path)
        path.write_text(json.dumps(ODD_ENTRIES))
    else:
        path = EXAMPLE if name == "example" else data_file(name)
    schema = schema_view.Schema([str(path)])
    parser, view = schema.parser(), schema.view()
    nested = (tl.TL_OBJECT, tl.TL_BARE_OBJECT, tl.TL_BARE_VECTOR)
    leaf = next(
        filled(view, e, None, False)
        for e in view.entries
        if view.by_id[e.id] is view.by_name[e.name] is e and all(p.kind not in nested for p in e.params)
    )
    for e in view.entries:
        if any(p.kind in (tl.TL_BARE_OBJECT, tl.TL_BARE_VECTOR) for p in e.params):
            continue  # bare types: test_kinds checks them against entries()
        for present in (False, True):
            obj, wire = filled(view, e, leaf, present)
            if view.by_name[e.name] is e:
                assert parser.pack(obj) == wire, (e, present)
            if view.by_id[e.id] is e:
                back = parser.unpack(wire)
                assert list(back) == ["_"] + list(dict.fromkeys(p.name for p in e.params if not p.flags_word))
                assert back["_"] == e.name, (e, present)
    if name == "odd":
        assert [(e.kind, e.name, e.id, e.result) for e in view.entries] == [
            ("constructor", "leaf", 7, "L"),
            ("constructor", "OnlyType", 2**32 - 1, "OnlyType"),
            ("constructor", "p", 12, "p"),
            ("constructor", "asConstructor", 3, "asConstructor"),
            ("constructor", "noId", 0, "noId"),
            ("constructor", "again", 3, "L"),
            ("constructor", "p", 8, "P"),
            ("method", "call", 2**32 - 2, "X"),
        ]


def test_schema_command_shows_the_compiled_entry(capsys, tl, tmp_path):
    path = write_schema(tmp_path)
    path.write_text(json.dumps(ODD_ENTRIES))
    assert run(capsys, "schema", path, "OnlyType")[1].splitlines()[:3] == [
        "OnlyType#ffffffff  (constructor)",
        "  id:     0xffffffff  (-1)",
        "  result: OnlyType",
    ]
    out = run(capsys, "schema", path, "3")[1]
    assert out.startswith("2 entries have id 0x00000003")
    assert "  note:   unpack reads id 0x00000003 as the later constructor again" in out
    assert "    x      x.33?long            if bit 1 of flags: long, 8 bytes" in out
    out = run(capsys, "schema", path)[1]
    assert "constructors: 7 (of 6 result types)" in out and "shadowed:     2" in out


def test_demo_is_short_and_times(capsys, tl):
    code, out, _ = run(capsys, "demo", "--seconds", "0.05")
    assert code == 0 and len(out.splitlines()) < 60
    assert "DIFFER" not in out and out.count("unpack gives the same fields back") == len(demo.DEMO_OBJECTS)
    assert "ns per round trip" in out.splitlines()[-1]


def test_module_entry_point_pipes(tl):
    data = example_message_bytes()
    cmd = [sys.executable, "-m", "Virel"]
    unpacked = subprocess.run(
        [*cmd, "unpack", "--schema", EXAMPLE, "@/dev/stdin"], input=data, capture_output=True, check=True
    )
    packed = subprocess.run(
        [*cmd, "pack", "--schema", EXAMPLE, "--raw"], input=unpacked.stdout, capture_output=True, check=True
    )
    assert packed.stdout == data
    bad = subprocess.run([*cmd, "unpack", "--type"], capture_output=True, text=True)
    assert bad.returncode == 2 and bad.stderr.startswith("virel: error:")


# ------------------------------------------------------------- the bundled schemas and capture reading


@pytest.fixture(scope="module")
def bundled():
    from Virel import schemas

    tl = pytest.importorskip("Virel.tl")
    return tl.TLParser(schemas.merged(schemas.mtproto(), schemas.api()))


def test_schema_without_a_file_is_the_bundled_layer(capsys, tl):
    from Virel import schemas

    code, out, _ = run(capsys, "schema")
    assert code == 0 and f"layer:        {schemas.LAYER}\n" in out
    assert "constructors: 1690 " in out and "methods:      823\n" in out  # 1649 + 41, 813 + 10
    code, out, _ = run(capsys, "schema", "messages.sendMessage")
    assert code == 0 and out.startswith("messages.sendMessage#") and "(method)" in out.splitlines()[0]
    assert run(capsys, "schema", "msgs_ack")[1].startswith("msgs_ack#62d6b459")  # the MTProto side


@pytest.mark.parametrize("name", REAL_OBJECTS)
def test_bundled_layer_is_the_default_schema(capsys, bundled, name):
    data = bundled.pack(REAL_OBJECTS[name])
    code, out, err = run(capsys, "unpack", data.hex())
    assert code == 0 and err == ""
    assert run(capsys, "pack", out) == (0, data.hex() + "\n", "")


PEER = bytes.fromhex("221751592a00000000000000")  # peerUser user_id:42 of the example schema


@pytest.mark.parametrize(
    "args, source",
    [
        (["0x22175159 0x2a000000\n00000000"], None),
        (["0X221751592A00000000000000"], None),
        ([], b"0x22175159 2a000000 00000000\n"),
        ([], PEER),
        (["@FILE"], PEER),
        (["--base64", "IhdRWSoAAAAAAAAA"], None),
        (["--base64", " IhdRWSoA\nAAAAAAAA== "], None),
        (["--base64"], b"IhdRWSoAAAAAAAAA\n"),
        (["--base64", "@FILE"], b"IhdRWSoAAAAAAAAA"),
        (["--base64", "IhdRWSoAAAAAAAAA_w"], None),  # URL-safe, unpadded, one byte more (ignored)
    ],
)
def test_input_forms(capsys, monkeypatch, tl, tmp_path, args, source):
    if "@FILE" in args:
        (tmp_path / "in").write_bytes(source)
        args = [a.replace("@FILE", f"@{tmp_path / 'in'}") for a in args]
    elif source is not None:
        feed_stdin(monkeypatch, source)
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, "--compact", *args)
    assert (code, out) == (0, '{"_":"peerUser","user_id":42}\n'), err
    assert err == "" or "the 1 byte after it was not read" in err


@pytest.mark.parametrize(
    "args, stdin, words",
    [
        (["--base64", "Ihd!RWSo"], None, ["bad base64", "'!' (character 4)"]),
        (["--base64", "IhdRW"], None, ["bad base64", "5 characters"]),
        ([], b"IhdRWSoAAAAAAAAA", ["Unknown constructor ID", "add --base64"]),  # raw, but looks like base64
        (["0x0x12"], None, ["bad hex", "'x'"]),
    ],
)
def test_bad_input_forms(capsys, monkeypatch, tl, args, stdin, words):
    if stdin is not None:
        feed_stdin(monkeypatch, stdin)
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, *args)
    assert code == 1 and out == ""
    assert_one_line_error(err, *words)


def test_type_reads_and_writes_a_vector_answer(capsys, tl, bundled):
    users = [REAL_OBJECTS["user"], {"_": "userEmpty", "id": 5}]
    data = bundled.pack_as(users, "Vector<User>")
    code, out, err = run(capsys, "unpack", "--type", "Vector<User>", "--compact", data.hex())
    assert code == 0 and err == "" and out.count("\n") == 1
    assert exact(jsonform.from_json(out)) == exact(bundled.unpack_from(data, 0, "Vector<User>")[0])
    assert run(capsys, "pack", "--type", "Vector<User>", out) == (0, data.hex() + "\n", "")
    assert run(capsys, "pack", "--type", "long", '{"$int": "18446744073709551615"}')[1] == "ff" * 8 + "\n"
    code, out, err = run(capsys, "pack", "--type", "Vector<int>", '["x"]')
    assert code == 1 and out == ""
    assert_one_line_error(err, "cannot pack a value of type Vector<int>")


def real_messages(count):
    """count real-layer objects, each of its own: messages, users and a vector-free peer."""
    base = [REAL_OBJECTS["message"], REAL_OBJECTS["user"], {"_": "peerChannel", "channel_id": 1}]
    return [{**base[i % 3], **({"id": i} if i % 3 < 2 else {"channel_id": i})} for i in range(count)]


def test_all_reads_every_value_of_a_capture(capsysbinary, bundled, tmp_path):
    capture = b"".join(bundled.pack(v) for v in real_messages(10_000))
    (tmp_path / "capture.bin").write_bytes(capture)
    assert main(["unpack", "--all", f"@{tmp_path / 'capture.bin'}"]) == 0
    out, err = capsysbinary.readouterr()
    lines = out.decode().splitlines()
    assert len(lines) == 10_000 and err == b""
    ends = []
    for line in lines:
        value, end = bundled.unpack_from(capture, ends[-1] if ends else 0)
        assert jsonform.from_json(line) == value  # no NaN in these: == is exact
        ends.append(end)
    assert ends[-1] == len(capture)
    # and back: pack --all gives the capture again, byte for byte (the first thousand values)
    (tmp_path / "capture.jsonl").write_text("\n".join(lines[:1000]), encoding="utf-8")
    assert main(["pack", "--all", "--raw", f"@{tmp_path / 'capture.jsonl'}"]) == 0
    assert capsysbinary.readouterr()[0] == capture[: ends[999]]


def test_all_stops_at_the_value_that_fails(capsys, tl):
    data = PEER * 2 + PEER[:6]
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, "--all", data.hex())
    assert code == 1 and out == '{"_":"peerUser","user_id":42}\n' * 2
    assert_one_line_error(err, "value 2 at byte 24: cannot unpack 6 bytes", "Parse error at position 28")
    code, out, err = run(capsys, "pack", "--schema", EXAMPLE, "--all", '{"_": "peerUser", "user_id": 0}\n\n[1]')
    assert code == 1 and out == "221751590000000000000000\n"
    assert_one_line_error(err, "line 3:", '"_" names the constructor')


def test_compact_and_pretty_print_the_same_value(capsys, tl):
    data = example_message_bytes()
    pretty = run(capsys, "unpack", "--schema", EXAMPLE, data.hex())[1]
    compact = run(capsys, "unpack", "--schema", EXAMPLE, "--compact", data.hex())[1]
    assert compact.count("\n") == 1 and pretty.count("\n") > 20
    assert json.loads(compact) == json.loads(pretty)
    assert compact == json.dumps(json.loads(pretty), separators=(",", ":"), ensure_ascii=False) + "\n"


def test_schemas_given_several_times_are_merged_in_order(capsys, tl, tmp_path):
    first = write_schema(tmp_path, {"id": 1, "predicate": "a", "type": "T"}, {"id": 2, "predicate": "b", "type": "T"})
    second = tmp_path / "second.json"
    second.write_text(
        json.dumps(
            {
                "constructors": [{"id": 1, "predicate": "c", "type": "T", "params": [{"name": "x", "type": "int"}]}],
                "methods": [],
            }
        )
    )
    code, out, err = run(capsys, "unpack", "--schema", first, "--schema", second, "--compact", "01000000 07000000")
    assert (code, out) == (0, '{"_":"c","x":7}\n')
    assert_one_line_error(
        err.replace("warning", "error"), f"{second} replaces 1 entry of {first} with the same id: a#00000001"
    )
    assert run(capsys, "unpack", "--schema", first, "--schema", second, "--compact", "02000000")[1] == '{"_":"b"}\n'
    code, out, err = run(capsys, "schema", "--schema", first, "--schema", second)
    assert "constructors: 2 " in out
    assert run(capsys, "schema", "--schema", first, "b")[1].startswith("b#00000002")
    bad = tmp_path / "bad.json"
    bad.write_text("[]")
    code, out, err = run(capsys, "pack", "--schema", first, "--schema", bad, '{"_": "a"}')
    assert code == 1 and out == ""
    assert_one_line_error(err, f"bad schema {bad}")


def test_a_value_without_its_final_padding_is_cut(capsys, tl, tmp_path):
    # The byte count comes from where unpack_from ends, padding included: the string's padding
    # missing at the end of the input is a cut value (a bare unpack let it pass).
    schema = write_schema(
        tmp_path, {"id": 1, "predicate": "s", "type": "S", "params": [{"name": "t", "type": "string"}]}
    )
    code, out, err = run(capsys, "unpack", "--schema", schema, "01000000 02414200")
    assert code == 0 and json.loads(out) == {"_": "s", "t": "AB"}
    code, out, err = run(capsys, "unpack", "--schema", schema, "01000000 024142")
    assert code == 1 and out == ""
    assert_one_line_error(err, "cannot unpack 7 bytes", "Parse error")


def nested_sample():
    """Values of every JSON form, in vectors and objects, 14 levels deep at the bottom."""
    leaf = {
        "_": "x",
        "b": b"\x00\xff",
        "big": 2**64 - 1,
        "nan": from_bits(0xFFF8000000000001),
        "t": 'é\n"',
        "v": [1, 2**60, None, True, -0.0, []],
        "e": {},
    }
    deep = leaf
    for i in range(13):
        deep = {"_": f"n{i}", "o": deep, "l": [deep] if i == 5 else []}
    return {"_": "top", "many": [dict(leaf, i=i) for i in range(600)], "deep": deep, "ints": list(range(300))}


@pytest.mark.parametrize("c_depth, batch", [(1000, 256), (2, 256), (1000, 7)])
def test_every_way_of_writing_gives_the_same_text(monkeypatch, c_depth, batch):
    # The C encoder, the walk (forced here past a depth of 2) and the batches of list items
    # (several per list here) must write the same text.
    want_pretty = jsonform.dumps(nested_sample())
    want_compact = json.dumps(jsonform.to_jsonable(nested_sample()), separators=(",", ":"), ensure_ascii=False)
    monkeypatch.setattr(jsonform, "C_DEPTH", c_depth)
    monkeypatch.setattr(jsonform, "BATCH", batch)
    for pretty, want in ((True, want_pretty), (False, want_compact)):
        pieces: list[str] = []
        jsonform.write(nested_sample(), pieces.append, pretty)
        assert "".join(pieces) == want
    assert json.loads(want_pretty) == json.loads(want_compact)
    lines = want_pretty.splitlines()
    assert '      "b": {"$bytes": "00ff"},' in lines  # the $ forms stay on one line
    assert max(len(x) - len(x.lstrip()) for x in lines) == 2 * 10  # ten levels indented, no more


# pack is strict by default, --lenient packs as the library's default does (departure D37).
@pytest.mark.parametrize(
    "argv, code, out, err_words",
    [
        (["pack", "--lenient", '{"_": "peerUser", "userid": 42}'], 0, "2217515900000000" + "00" * 4, ()),
        (["pack", "--lenient", '{"_": "peerUser", "user_id": 1.5}'], 0, "22175159" + "01" + "00" * 7, ()),
        (
            ["pack", '{"_": "peerUser", "userid": 42}'],
            1,
            "",
            ("'userid' is no parameter of 'peerUser' (did you mean 'user_id'?)",),
        ),
        (["pack", '{"_": "peerUser", "user_id": 1.5}'], 1, "", ("cannot pack 'peerUser'",)),
        (
            ["pack", "--strict", '{"_": "peerUser", "userid": 42}'],
            1,
            "",
            ("'userid' is no parameter of 'peerUser' (did you mean 'user_id'?)",),
        ),
        (["pack", "--strict", '{"_": "peerUser", "user_id": -5}'], 0, "22175159fbffffffffffffff", ()),
        (["unpack", "--signed", "22175159 fbffffff ffffffff"], 0, '"user_id": -5', ()),
        (["unpack", "22175159 fbffffff ffffffff"], 0, '"user_id": {"$int": "18446744073709551611"}', ()),
        (
            ["unpack", "--strict", "22175159 2a000000 00000000 00000000"],
            1,
            "",
            ("4 bytes left after the object, at position 12",),
        ),
    ],
)
def test_strict_and_signed_on_the_command_line(tl, capsys, argv, code, out, err_words):
    got, stdout, stderr = run(capsys, argv[0], "--schema", data_file("api.json"), *argv[1:])
    assert got == code, stderr
    assert out in stdout
    if err_words:
        assert_one_line_error(stderr, *err_words)


def test_error_lines_name_the_builtin_class_of_an_error_kind(tl):
    # An error kind of the codec (TruncatedRuntimeError) shows as the class the line always named.
    from Virel.cli.errors import kind_name

    with pytest.raises(RuntimeError) as caught:
        tl.TLParser({"constructors": []}).unpack(b"\0\0")
    assert type(caught.value).__name__ != "RuntimeError" and kind_name(caught.value) == "RuntimeError"
    assert kind_name(KeyError("x")) == "KeyError"
