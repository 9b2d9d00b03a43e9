"""The one grammar of type texts as its readers see it: entries() (every vector level, however
deep), the command line's view and stubs (which read entries()), pack and unpack; and the note a
bare type naming no constructor gets."""

import struct

import pytest
from hypothesis import assume, example, given
from hypothesis import strategies as st

from Virel import tl
from Virel.cli import main, stubs

from conftest import entry, examples, new_parser

VECTOR_ID = 0x1CB5C415
LEAF = entry(1, "leaf", kind="Leaf")

# A value of each kind that ends a chain of vectors, and its bytes.
FINAL = {
    tl.TL_INT: (7, struct.pack("<I", 7)),
    tl.TL_LONG: (2**40, struct.pack("<Q", 2**40)),
    tl.TL_DOUBLE: (1.5, struct.pack("<d", 1.5)),
    tl.TL_STRING: ("ok", b"\x02ok\x00"),
    tl.TL_BYTES: (b"\x01", b"\x01\x01\x00\x00"),
    tl.TL_BOOL: (True, struct.pack("<I", 1)),  # in a vector, a truth value is a 4-byte 0 or 1
    tl.TL_INT128: (3, (3).to_bytes(16, "little")),
    tl.TL_INT256: (3, (3).to_bytes(32, "little")),
    tl.TL_OBJECT: ({"_": "leaf"}, struct.pack("<I", 1)),
}
TOKENS = ["Vector<", "vector<", "%Vector<", "Vector", "vector", "<", ">", "?", "%", "V", "ector<", "x", " "]
TOKENS += ["int", "long", "string", "Bool", "User", "int128", "flags.0?", "flags2.3?"]
words = st.lists(st.sampled_from(TOKENS), max_size=5).map("".join)


@st.composite
def vector_texts(draw):
    """Vector texts of every shape the grammar reads, some nesting hundreds of levels deep (one
    unit repeated), where each level is a few characters off the one above."""
    unit = draw(st.lists(st.sampled_from(TOKENS), min_size=1, max_size=3).map("".join))
    return (
        draw(st.sampled_from(["Vector<", "vector<", "%Vector<", ""]))
        + draw(words)
        + unit * draw(st.integers(1, 80))
        + draw(words)
    )


@examples(150)
@given(text=vector_texts())
@example(text="Vector" * 150 + "<" * 150 + "int")
@example(text="vector<" * 120 + "long" + ">" * 120)
@example(text="Vector<vector<" * 60 + "string" + ">>" * 60)
@example(text="flags.0?" + "VectorVector<<" * 70 + "Bool")
@example(text="Vector<" + "vectoVector<r<" * 50 + "int128?tail")
@example(text="%Vector<Vector t>")
def test_element_chain_is_what_pack_and_unpack_do(codec_path, text):
    # Whatever entries() says of a vector parameter's levels (each kind, boxed or bare, the kind
    # at the bottom, or vectors to any depth) is how pack writes and unpack reads a value nested
    # one element per level, however deep the compiler went in making its records.
    schema = {"constructors": [LEAF, entry(2, "a", ("flags", "#"), ("flags2", "#"), ("v", text), kind="A")]}
    try:
        compiler = tl.TLSchemaCompiler()
        compiler.compile(schema)
    except (ValueError, OverflowError):
        assume(False)  # a condition prefix whose bit is no number
    v = compiler.entries()[1].params[2]
    assume(v.kind in (tl.TL_VECTOR, tl.TL_BARE_VECTOR) and len(v.element) < 200)
    kinds = [v.kind] + [level.kind for level in v.element]
    head = {tl.TL_VECTOR: struct.pack("<I", VECTOR_ID), tl.TL_BARE_VECTOR: b""}
    if v.element[-1].endless:  # one level more than the chain, empty
        value, wire = [], head[kinds[-1]] + struct.pack("<I", 0)
    else:
        assume(kinds[-1] in FINAL)
        value, wire = FINAL[kinds.pop()]
    for kind in reversed(kinds):
        value, wire = [value], head[kind] + struct.pack("<I", 1) + wire
    words = [0, 0]
    if v.is_conditional:
        words[v.flag_field] |= 1 << (v.flag_bit & 31)
    obj = {"_": "a", "v": value}
    wire = struct.pack("<III", 2, *words) + wire
    p = new_parser(schema)
    assert p.pack(obj) == wire
    assert p.unpack(wire) == obj


FLAGS_NUL = {
    "constructors": [
        entry(5, "a", ("flags\0x", "#"), ("v", "flags.0?int"), ("w", "Vector<%a>"), kind="A"),
    ]
}


def test_a_flags_word_named_with_a_nul_is_one_to_every_reader(direct_path, capsys, tmp_path):
    # The compiler cuts names at a NUL, so "flags\0x" is the flags word: entries() says so, pack
    # computes it, virel schema shows it as such and virel stubs gives it no key.
    c = tl.TLSchemaCompiler()
    c.compile(FLAGS_NUL)
    word, v, _ = c.entries()[0].params
    assert (word.name, word.flags_word, v.is_conditional, v.flag_bit) == ("flags\0x", 1, True, 0)
    p = new_parser(FLAGS_NUL)
    assert p.pack({"_": "a", "v": 9, "w": []}) == struct.pack("<IIIIII", 5, 1, 9, VECTOR_ID, 0, 0)[:-4]
    text = stubs.generate(FLAGS_NUL)
    assert "flags" not in text and "'v': _t.NotRequired[_b.int | None]" in text
    path = tmp_path / "s.json"
    path.write_text(__import__("json").dumps(FLAGS_NUL))
    assert main(["schema", str(path), "a"]) == 0
    assert "flags word, 4 bytes (pack computes it)" in capsys.readouterr().out


def test_stubs_type_a_bare_constructor_as_the_codec_reads_it():
    # Departure D42: "%leaf" (a '%' before a constructor's name) is that constructor, to
    # the codec and now to the stubs (they took it for a type named "leaf", and gave a mapping).
    schema = {"constructors": [LEAF, entry(2, "a", ("b", "%leaf"), ("c", "vector<%Leaf>"), kind="A")]}
    text = stubs.generate(schema)
    assert "'b': 'leaf', 'c': '_b.list[Leaf]'" in text


SCHEMA = {
    "constructors": [
        entry(1, "user", ("id", "long"), kind="User"),
        entry(2, "userEmpty", kind="User"),
        entry(3, "future_salt", ("salt", "long"), kind="FutureSalt"),
        entry(4, "pong", ("id", "long"), kind="Pong"),
    ]
}


@pytest.mark.parametrize(
    "text, note",
    [
        ("%Pongg", "did you mean '%Pong'?"),
        ("futur_salt", "did you mean 'future_salt'?"),
        ("%futur_salt", "did you mean '%future_salt'?"),
        ("vector<%FutureSal>", "did you mean '%FutureSalt'?"),
        ("%Usr", None),  # User has two constructors: no bare type
        ("%Zzzzzz", None),
        ("%" + "Pong" * 40, None),  # too long to be near anything
    ],
)
def test_a_bare_type_naming_no_constructor_gets_a_note(codec_path, text, note):
    # Departure D41: the message stays; a near constructor name, or a type of exactly one
    # constructor, is suggested as pack suggests a near record name.
    p = new_parser(SCHEMA)
    bare = text.split("<")[-1].rstrip(">")
    for attempt in (
        lambda: p.pack_as([{}] if "<" in text else {}, text),
        lambda: p.unpack_from(b"\1\0\0\0" * 4, 0, text),
    ):
        for _ in range(2):  # the second time from the parser's cache
            with pytest.raises(ValueError) as info:
                attempt()
            assert str(info.value) == f"Bare type '{bare}' names no constructor"
            notes = [n for n in getattr(info.value, "__notes__", []) if n.startswith("did you mean")]
            assert notes == ([note] if note else [])
