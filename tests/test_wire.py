"""Byte-level encoding of the primitives, through pack and unpack."""

import struct
import traceback

import pytest

from conftest import entry, heap_in_use, make_parser
from support import builtin_class

pytestmark = pytest.mark.usefixtures("codec_path")

ID = struct.pack("<I", 1)


def one(kind):
    return make_parser([entry(1, "e", ("v", kind), ("after", "int"))])


@pytest.mark.parametrize(
    "n, prefix, total",
    [
        (0, "00", 4),
        (1, "01", 4),
        (3, "03", 4),
        (4, "04", 8),
        (253, "fd", 256),
        (254, "fefe0000", 260),
        (255, "feff0000", 260),
        (256, "fe000100", 260),
        (65536, "fe000001", 65540),
    ],
)
def test_byte_string_lengths(n, prefix, total):
    p = make_parser([entry(1, "e", ("v", "bytes"))])
    data = bytes(range(256)) * (n // 256) + bytes(range(n % 256))
    out = p.pack({"_": "e", "v": data})[4:]
    assert out.startswith(bytes.fromhex(prefix)) and len(out) == total
    assert out[len(prefix) // 2 :][:n] == data and out[len(prefix) // 2 + n :] == bytes(total - n - len(prefix) // 2)
    assert p.unpack(ID + out) == {"_": "e", "v": data}


def test_text_is_utf8():
    p = one("string")
    assert p.pack({"_": "e", "v": "é"}) == ID + bytes.fromhex("02c3a900") + bytes(4)
    assert p.unpack(ID + bytes.fromhex("02c3a900 07000000")) == {"_": "e", "v": "é", "after": 7}


@pytest.mark.parametrize(
    "text",
    [
        "é",
        "ÿ" * 126,
        "ÿ" * 127,
        "ÿ" * 200,
        "€" * 84,
        "€" * 85,
        "a€" * 60,
        "😀" * 63,
        "😀" * 64,
        "x😀é€" * 30,
        "€" * 6000,
    ],
)
def test_text_of_every_width_and_prefix_is_its_utf8(text):
    p = one("string")
    utf8 = text.encode()
    prefix = bytes([len(utf8)]) if len(utf8) < 254 else b"\xfe" + len(utf8).to_bytes(3, "little")
    wire = prefix + utf8
    assert p.pack({"_": "e", "v": text, "after": 7}) == ID + wire + bytes(-len(wire) % 4) + struct.pack("<I", 7)


def framed(utf8):
    wire = (bytes([len(utf8)]) if len(utf8) < 254 else b"\xfe" + len(utf8).to_bytes(3, "little")) + utf8
    return wire + bytes(-len(wire) % 4)


# Text goes a word of characters at a time while it is ASCII: a character that is not, at every
# offset within a word and past a few words, next to ASCII or to others of its own width, in each
# of the three widths a str may have (and at the edges of each UTF-8 length).
@pytest.mark.parametrize(
    "odd", ["\x80", "é", "\xff", "\u07ff", "\u0800", "ж", "\uffff", "\U00010000", "🙂", "\U0010ffff"]
)
@pytest.mark.parametrize("tail", ["", "abc", "abcdefgh" * 2, "y" * 300, "\xe9t\xe9", "жжж", "🙂a🙂"])
def test_text_with_other_characters_anywhere_is_its_utf8(odd, tail):
    p = one("string")
    for at in range(19):
        for text in ("x" * at + odd + tail, odd * at + tail, ("ab" + odd) * at + tail):
            assert p.pack({"_": "e", "v": text, "after": 7}) == ID + framed(text.encode()) + struct.pack("<I", 7)


@pytest.mark.parametrize("lead", ["", "é", "ж", "🙂"])
@pytest.mark.parametrize("surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"])
def test_surrogate_anywhere_raises_the_hosts_error(lead, surrogate):
    p = one("string")
    for at in range(19):
        text = lead + "x" * at + surrogate + "yz"
        with pytest.raises(UnicodeEncodeError) as host:
            text.encode()
        with pytest.raises(UnicodeEncodeError) as ours:
            p.pack({"_": "e", "v": text})
        assert str(ours.value) == str(host.value)


@pytest.mark.parametrize("text", ["é\ud800", "😀" * 90 + "\udfff"])
def test_lone_surrogate_after_other_text_is_refused(text):
    with pytest.raises(UnicodeEncodeError):
        one("string").pack({"_": "e", "v": text})


def test_first_byte_255_is_a_length():
    p = one("bytes")
    assert p.unpack(ID + b"\xff" + bytes(range(255)) + bytes(4))["v"] == bytes(range(255))


@pytest.mark.parametrize(
    "kind, payload, position",
    [
        ("int", "", 4),
        ("int", "010203", 4),  # int short: nothing moves
        ("bytes", "", 4),
        ("bytes", "05616263", 5),  # announces 5, 3 left: position after the prefix
        ("bytes", "fe", 5),
        ("string", "fe0100", 5),  # long prefix incomplete: one past the 0xFE
        ("bytes", "fe000100 6161", 8),  # long prefix complete, data short
    ],
)
def test_short_input_positions(kind, payload, position):
    p = make_parser([entry(1, "e", ("v", kind))])
    with pytest.raises(RuntimeError, match=f"(?m)^Parse error at position {position}$"):
        p.unpack(ID + bytes.fromhex(payload))


def test_missing_padding_at_the_end_is_fine_but_not_before_a_field():
    p = make_parser([entry(1, "e", ("v", "string"))])
    assert p.unpack(ID + bytes.fromhex("026869")) == {"_": "e", "v": "hi"}
    with pytest.raises(RuntimeError, match="(?m)^Parse error at position 8$"):
        one("string").unpack(ID + bytes.fromhex("026869"))


def test_largest_byte_string_round_trips():
    p = make_parser([entry(1, "e", ("v", "bytes"))])
    blob = bytes([7]) * 16_777_215
    out = p.pack({"_": "e", "v": blob})
    assert out[4:8] == b"\xfe\xff\xff\xff"
    assert p.unpack(out)["v"] == blob


@pytest.mark.parametrize("count", [0, 1, 126, 127, 128, 129, 255, 256, 1000, 5000])
def test_buffer_growth_keeps_every_byte(count):
    p = make_parser([entry(1, "e", ("v", "Vector<long>"))])
    values = [i * 0x0101010101 for i in range(count)]
    out = p.pack({"_": "e", "v": values})
    assert out == ID + struct.pack(f"<II{count}Q", 0x1CB5C415, count, *values)
    assert p.unpack(out)["v"] == values
    assert p.pack({"_": "e", "v": [1]}) == ID + struct.pack("<IIQ", 0x1CB5C415, 1, 1)


def test_pack_after_a_big_unpack():
    p = one("bytes")
    big = ID + b"\xfe" + (10_000).to_bytes(3, "little") + bytes(10_000) + bytes(4)
    assert p.unpack(big)["v"] == bytes(10_000)
    assert p.pack({"_": "e", "v": b"ab", "after": 3}) == ID + bytes.fromhex("02616200 03000000")


@pytest.mark.parametrize(
    "kind, value, wire",
    [
        ("int", -1, "ffffffff"),
        ("int", True, "01000000"),
        ("int", 3.9, "03000000"),
        ("int", 2147483648, "00000080"),
        ("int", 4294967295, "ffffffff"),
        ("int", -2147483648, "00000080"),
        ("long", 2**64 - 1, "ff" * 8),
        ("long", 1, "0100000000000000"),
        ("double", 1.5, struct.pack("<d", 1.5).hex()),
        ("double", 2, struct.pack("<d", 2.0).hex()),
        ("Bool", "false", "01000000"),
        ("Bool", 0, "00000000"),
        ("Bool", None, "00000000"),
    ],
)
def test_number_encodings(kind, value, wire):
    p = make_parser([entry(1, "e", ("v", kind))])
    assert p.pack({"_": "e", "v": value}) == ID + bytes.fromhex(wire)


@pytest.mark.parametrize(
    "kind, wire, value",
    [
        ("int", "ffffffff", 4294967295),
        ("long", "ff" * 8, 2**64 - 1),
        ("Bool", "00000000", False),
        ("Bool", "01000000", True),
        ("Bool", "07000000", True),
        ("double", struct.pack("<d", -0.25).hex(), -0.25),
    ],
)
def test_number_decodings(kind, wire, value):
    p = make_parser([entry(1, "e", ("v", kind))])
    out = p.unpack(ID + bytes.fromhex(wire))["v"]
    assert out == value and type(out) is type(value)


# Past 64 KiB, pack and pack_as on the direct path move their output from the parser's buffer into
# the bytes object they return; the table path and pack_into stay in the parser's buffer. The
# sizes below leave the output just within 64 KiB, move it at the long after the byte string, and
# move it at the byte string itself (`framed` above writes the byte string's own form).


@pytest.mark.parametrize("n", [65_519, 65_524, 65_525, 65_528, 131_072, 300_001])
def test_output_around_the_move_into_bytes(n):
    p = make_parser([entry(1, "e", ("v", "bytes"), ("after", "long"))])
    value = {"_": "e", "v": bytes(range(256)) * (n // 256) + bytes(n % 256), "after": 2**64 - 1}
    wire = ID + framed(value["v"]) + b"\xff" * 8
    small = {"_": "e", "v": b"ab", "after": 3}
    for _ in range(2):  # the parser's own buffer is back after each call
        assert p.pack(value) == wire and p.pack_as(value, "T") == wire
        into = bytearray(b"xyz")
        assert p.pack_into(into, value) == 3 + len(wire) and into == b"xyz" + wire
        assert p.pack(small) == ID + framed(b"ab") + struct.pack("<Q", 3)
        assert p.unpack(wire) == value


@pytest.mark.plain_build_only
def test_only_the_table_path_keeps_a_large_output(codec_path):
    p = make_parser([entry(1, "e", ("v", "bytes"), ("after", "long"))])
    value = {"_": "e", "v": bytes(1 << 20), "after": 1}
    p.pack({"_": "e", "v": bytes(60_000)})  # the parser's buffer at its 64 KiB
    before = heap_in_use()
    p.pack(value)
    p.pack_as(value, "T")
    kept = heap_in_use() - before
    assert (kept >= 1 << 20) == (codec_path == "table")


BOX = [entry(1, "e", ("v", "bytes"), ("after", "long")), entry(2, "box", ("items", "Vector<T>"), ("tail", "string"))]


def test_output_moves_inside_nested_objects():
    p = make_parser(BOX)
    items = [{"_": "e", "v": bytes([i]) * 40_000, "after": i} for i in range(7)]  # moves at the 2nd, grows at the 4th
    box = {"_": "box", "items": items, "tail": "é" * 300}
    wire = p.pack(box)
    assert wire == (
        struct.pack("<III", 2, 0x1CB5C415, 7) + b"".join(p.pack(item) for item in items) + framed("é".encode() * 300)
    )
    assert p.unpack(wire) == box


def failure(call):
    with pytest.raises(Exception) as caught:
        call()
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    return builtin_class(caught.value), str(caught.value), caught.value.__notes__, frames  # D34


@pytest.mark.parametrize("size", [40_000, 2_000_000])
def test_failure_after_the_move(size):
    p = make_parser(BOX)
    good = {"_": "e", "v": b"x" * size, "after": 1}
    bad = {"_": "box", "items": [good, good, {"_": "e", "v": b"", "after": "x"}]}
    small = {"_": "box", "items": [{"_": "e"}, {"_": "e"}, bad["items"][2]]}  # fails before 64 KiB
    expected = failure(lambda: make_parser(BOX).pack(small))
    assert expected[:3] == (TypeError, "an integer is required", ["at box.items[2].after (records: box > e)"])
    assert failure(lambda: p.pack(bad)) == expected
    assert failure(lambda: p.pack_as(bad, "T"))[:3] == expected[:3]
    bad["items"][2] = {"_": "e", "v": "text"}  # a failure at a byte string, past the move
    assert failure(lambda: p.pack(bad))[:2] == (TypeError, "Expected bytes, got str")
    ok = {"_": "box", "items": [good, good], "tail": "t"}
    assert p.pack(ok) == struct.pack("<III", 2, 0x1CB5C415, 2) + p.pack(good) * 2 + framed(b"t")
