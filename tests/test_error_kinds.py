"""Errors by kind: a failure of unpack caused by the bytes is a DecodeError (TruncatedError when the
input ended too early, MalformedError otherwise), one of pack caused by the value an EncodeError;
each is still an instance of the built-in class it was raised with, with the same message.
Departure D34: type(e) is a class of the module deriving from that built-in class."""

import pickle

import pytest
from hypothesis import given, strategies as st

import Virel.tl as tl
from conftest import entry, examples, make_parser, new_parser
from hostile import REAL, SIZES, VEC, api, api_text, api_values, le32  # noqa: F401  (fixtures)

pytestmark = pytest.mark.usefixtures("codec_path")

DECODE_BUILTINS = (RuntimeError, ValueError, UnicodeDecodeError, RecursionError)
ENCODE_BUILTINS = (
    TypeError,
    ValueError,
    OverflowError,
    AttributeError,
    RuntimeError,
    UnicodeEncodeError,
    RecursionError,
    KeyError,
    IndexError,
)


def short_name(builtin):
    return "UnicodeError" if builtin.__name__.startswith("Unicode") else builtin.__name__


@pytest.mark.parametrize(
    "kind, family, builtins",
    [
        ("Truncated", tl.TruncatedError, DECODE_BUILTINS),
        ("Malformed", tl.MalformedError, DECODE_BUILTINS),
        ("Encode", tl.EncodeError, ENCODE_BUILTINS),
    ],
)
def test_one_class_per_kind_and_builtin(kind, family, builtins):
    assert issubclass(tl.TruncatedError, tl.DecodeError) and issubclass(tl.MalformedError, tl.DecodeError)
    assert not issubclass(tl.DecodeError, tuple(ENCODE_BUILTINS)) and not issubclass(tl.EncodeError, tl.DecodeError)
    for builtin in builtins:
        cls = getattr(tl, kind + short_name(builtin))
        assert cls.__bases__ == (family, builtin) and cls.__module__ == "Virel.tl"
        # no built-in class is added to what catches it but its own (and its own bases)
        assert [b for b in cls.__mro__ if b.__module__ == "builtins"] == list(builtin.__mro__)
        assert cls.__basicsize__ == builtin.__basicsize__


def raised(call, *args):
    with pytest.raises(Exception) as info:
        call(*args)
    return info.value


def builtin_of(exc):
    return next(c for c in type(exc).__mro__ if c.__module__ == "builtins")


# ---- Truncation: every cut of the real layer's messages ----


def check_every_cut(parser, blob, read=None, offset=0):
    """Every proper prefix of `blob` that fails is a TruncatedError; what it says it needs at least
    never passes the whole blob, and with fewer bytes than that the value still fails."""
    read = read or parser.unpack
    for cut in range(len(blob)):
        try:
            read(blob[:cut])
        except tl.TruncatedError as e:
            assert isinstance(e, DECODE_BUILTINS) and type(e) is getattr(tl, "Truncated" + short_name(builtin_of(e)))
            assert offset <= e.position <= offset + cut + 3 and 1 <= e.needed <= len(blob) - cut, (cut, e, e.needed)
            if e.needed > 1:
                with pytest.raises(tl.TruncatedError):
                    read(blob[: cut + e.needed - 1])
        else:
            assert len(blob) - cut <= 3, cut  # only the final padding may be cut


@pytest.mark.parametrize("name", sorted(REAL))
def test_every_cut_of_a_real_message_is_truncated(api, name):
    check_every_cut(api, api.pack(REAL[name]))


@pytest.mark.parametrize("name", ["user", "text_message", "data_json"])
def test_every_cut_is_truncated_in_unpack_from(api, name):
    blob = api.pack(REAL[name])
    check_every_cut(api, blob, lambda data: api.unpack_from(b"\0" * 5 + data, 5), offset=5)
    e = raised(api.unpack_from, blob[:-1])  # the final padding, cut: only unpack_from refuses it
    assert isinstance(e, tl.TruncatedRuntimeError) and e.needed == 1 and str(e).startswith("Parse error")


@examples(15)
@given(data=st.data())
def test_every_cut_of_drawn_messages_is_truncated(api, api_values, data):
    e = data.draw(st.sampled_from(api_values.entries))
    check_every_cut(api, api.pack(data.draw(api_values.obj(e), label=api_values.name(e))))


def test_needed_is_exact_for_a_cut_number_and_string():
    p = make_parser([entry(6, "str", ("x", "int"), ("s", "string"))])
    blob = p.pack({"_": "str", "x": 1, "s": "y" * 300})  # id, int, 254 + 3 bytes, 300 bytes, pad
    assert [(e.position, e.needed) for e in (raised(p.unpack, blob[:k]) for k in (0, 6, 9, 10, 12, 100))] == [
        (0, 4),
        (4, 2),
        (8, 3),
        (8, 2),
        (8, 300),
        (8, 212),
    ]


# ---- Corruption ----


@pytest.mark.parametrize(
    "blob, cls, message, position",
    [
        (le32(0xDEAD), tl.MalformedValueError, "Unknown constructor ID: 0x0000dead", 0),
        (le32(4, 0, 1), tl.MalformedValueError, "Invalid vector ID: 0x00000001", 8),
        (le32(1) + VEC + le32(0xFFFFFFFF), tl.MalformedRuntimeError, "Parse error at position 12", 8),
        (le32(3) + b"\x02\xff\xfe\0", tl.MalformedUnicodeError, None, 4),
        (le32(1) + VEC + le32(1, 0xBAD), tl.MalformedValueError, "Unknown constructor ID: 0x00000bad", 12),
    ],
)
def test_corrupt_input_is_malformed(blob, cls, message, position):
    p = make_parser(
        [
            entry(1, "o", ("v", "Vector<E>")),
            entry(3, "s", ("v", "string")),
            entry(4, "w", ("x", "int"), ("v", "Vector<int>")),
        ]
    )
    e = raised(p.unpack, blob)
    assert type(e) is cls and e.position == position and not isinstance(e, tl.TruncatedError)
    assert message is None or str(e) == message
    assert e.__notes__ and "failing read began at byte" in e.__notes__[0]


def test_bytes_left_after_the_object_are_malformed():
    e = raised(new_parser({"constructors": [entry(1, "e")], "methods": []}, strict=True).unpack, le32(1, 2))
    assert type(e) is tl.MalformedValueError and e.position == 4
    assert str(e) == "4 bytes left after the object, at position 4"


def test_deep_bytes_are_malformed():
    p = make_parser([entry(3, "n", ("o", "N")), entry(4, "z")])
    e = raised(p.unpack, le32(3) * 100_000 + le32(4))
    assert type(e) is tl.MalformedRecursionError and isinstance(e, RecursionError)


@examples(30)
@given(data=st.data())
def test_flipped_bits_fail_as_a_decode_error(api, api_values, data):
    e = data.draw(st.sampled_from(api_values.entries))
    blob = bytearray(api.pack(data.draw(api_values.obj(e), label=api_values.name(e))))
    for bit in data.draw(st.lists(st.integers(0, len(blob) * 8 - 1), min_size=1, max_size=3)):
        blob[bit >> 3] ^= 1 << (bit & 7)
    try:
        api.unpack(bytes(blob))
    except Exception as exc:  # noqa: BLE001 - the class is the point
        assert isinstance(exc, tl.DecodeError) and isinstance(exc, DECODE_BUILTINS), repr(exc)
        assert type(exc).__bases__[1] is builtin_of(exc)


# ---- Encoding ----


class Hook:
    def __init__(self, exc):
        self.exc = exc

    def __int__(self):
        raise self.exc


ALL = [
    entry(1, "all", ("i", "int"), ("s", "string"), ("b", "bytes"), ("v", "Vector<int>"), ("o", "Sub")),
    entry(2, "sub", ("x", "int")),
]


@pytest.mark.parametrize(
    "value, cls, message",
    [
        ({"_": "nope"}, tl.EncodeValueError, "Unknown constructor: nope"),
        ({"_": 5}, tl.EncodeTypeError, "Expected str, got int"),
        ({"_": "all", "i": 2**40}, tl.EncodeOverflowError, "int value out of range for a TL int"),
        ({"_": "all", "i": "x"}, tl.EncodeTypeError, "an integer is required"),
        ({"_": "all", "s": "\ud800"}, tl.EncodeUnicodeError, "'utf-8' codec can't encode"),
        ({"_": "all", "b": b"x" * 2**24}, tl.EncodeValueError, "Byte string too long: 16777216 bytes"),
        ({"_": "all", "o": 5}, tl.EncodeAttributeError, "'int' object has no attribute 'get'"),
        ({"_": "all", "i": Hook(KeyError("k"))}, tl.EncodeKeyError, "'k'"),
        ({"_": "all", "v": [Hook(IndexError("i"))]}, tl.EncodeIndexError, "i"),
    ],
)
def test_pack_failures_caused_by_the_value_are_encode_errors(value, cls, message):
    e = raised(make_parser(ALL).pack, value)
    assert type(e) is cls and type(e).__bases__[1] is builtin_of(e)
    assert str(e).startswith(message) and e.__notes__


def test_self_referential_value_is_an_encode_recursion_error():
    loop = {"_": "all"}
    loop["o"] = loop
    assert type(raised(make_parser(ALL).pack, loop)) is tl.EncodeRecursionError


@pytest.mark.parametrize(
    "call, cls",
    [
        (lambda p: p.pack({"_": "all", "i": Hook(ZeroDivisionError("own"))}), ZeroDivisionError),  # a hook's own
        (lambda p: p.pack({"_": "all", "i": Hook(type("Own", (ValueError,), {})())}), None),  # a subclass
        (lambda p: p.unpack(bytearray(4)), TypeError),  # the arguments: no kind
        (lambda p: p.unpack_from(b"", 3), ValueError),
        (lambda p: p.pack_as(1, "Vector<"), ValueError),
        (lambda p: p.unpack(None), TypeError),
    ],
)
def test_failures_not_caused_by_the_data_keep_their_class(call, cls):
    e = raised(call, make_parser(ALL))
    assert not isinstance(e, (tl.DecodeError, tl.EncodeError))
    assert cls is None or type(e) is cls


def test_the_kind_survives_pickling():
    e = raised(make_parser(ALL).unpack, le32(1, 0))
    back = pickle.loads(pickle.dumps(e))
    assert (type(back), str(back), back.position, back.needed, back.__notes__) == (
        type(e),
        str(e),
        e.position,
        e.needed,
        e.__notes__,
    )


def test_the_classes_can_be_raised_and_caught_by_hand():
    e = tl.TruncatedRuntimeError("Parse error at position 3")
    assert (e.position, e.needed, str(e)) == (None, None, "Parse error at position 3")
    with pytest.raises(RuntimeError):
        raise e


# ---- Friendlier failures: hints in notes, the messages unchanged ----


@pytest.mark.parametrize(
    "name, hint",
    [
        ("mesage", "did you mean 'message'?"),
        ("messages.sendMesage", "did you mean 'messages.sendMessage'?"),
        ("usr", "did you mean 'user'?"),
        ("zzzzzzzzzz", None),
        ("m" * 65, None),
    ],
)
def test_an_unknown_record_name_gets_a_suggestion(api, name, hint):
    for _ in range(2):  # the second time from the parser's cache
        e = raised(api.pack, {"_": name})
        assert type(e) is tl.EncodeValueError and str(e) == f"Unknown constructor: {name}"
        assert [n for n in e.__notes__ if n.startswith("did you mean")] == ([hint] if hint else [])


@pytest.mark.parametrize(
    "text, hint",
    [
        ("schema.json", "Virel.schemas.load(path)"),
        ("  /tmp/x  ", "Virel.schemas.load(path)"),
        ("user#12345678 id:long = User;", "Virel.tl_text.convert(text)"),
        ("nonsense", None),
        ("{", None),
    ],
)
def test_a_schema_given_as_a_file_name_or_tl_text_gets_a_note(text, hint):
    import json

    e = raised(new_parser, text)
    assert type(e) is json.JSONDecodeError
    notes = getattr(e, "__notes__", [])
    assert (hint is None and not notes) or (len(notes) == 1 and hint in notes[0]), notes


def test_schemas_load_reads_json_and_tl(tmp_path):
    import json
    from Virel import schemas

    text = "user#12345678 id:long name:string = User;\n---functions---\nping#1 = Pong;\n"
    (tmp_path / "s.tl").write_text(text)
    (tmp_path / "s.json").write_text(json.dumps(schemas.load(tmp_path / "s.tl")))
    assert schemas.load(tmp_path / "s.json") == schemas.load(str(tmp_path / "s.tl"))
    assert new_parser(schemas.load(tmp_path / "s.json")).pack({"_": "user", "id": 1, "name": ""})
    (tmp_path / "bad.json").write_text("[]")
    with pytest.raises(ValueError, match="must be an object"):
        schemas.load(tmp_path / "bad.json")


def test_a_deep_failure_has_a_short_note():
    p = make_parser([entry(3, "n", ("o", "N")), entry(4, "z"), entry(5, "w", ("v", "Vector<W>"))])
    for call, blob in ((p.unpack, le32(3) * 100_000), (p.unpack, le32(5) + (VEC + le32(1, 5)) * 3000)):
        (note,) = raised(call, blob).__notes__
        assert len(note) < 1100 and "levels) ..." in note and "records) ..." in note, note[:300]
    deep = {"_": "n", "o": {"_": "z"}}
    for _ in range(12):
        deep = {"_": "n", "o": deep}
    deep_bad = deep
    while deep_bad["o"]["_"] != "z":
        deep_bad = deep_bad["o"]
    deep_bad["o"] = 5
    (note,) = raised(p.pack, deep).__notes__  # 13 levels: shown whole
    assert "..." not in note and note.count(".o") == 13


def test_the_kinds_survive_a_reimport():
    import importlib
    import sys

    before = sys.modules.pop("Virel.tl")
    try:
        again = importlib.import_module("Virel.tl")
        assert again is before and again.TruncatedError is tl.TruncatedError
        e = raised(again.TLParser('{"constructors": [], "methods": []}').unpack, b"")
        assert type(e) is tl.TruncatedRuntimeError and e.__notes__  # the state is back
    finally:
        sys.modules["Virel.tl"] = before


def test_an_isolated_interpreter_is_refused_by_the_declared_slot():
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import sys
        import Virel.tl
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            e = interpreters.run_string(interpreters.create("isolated"), "import Virel.tl")
            print(e.type.__name__, e.msg)
        else:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(isolated=True), "import Virel.tl")
            except Exception as e:
                print(type(e).__name__, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if "No module named" in out.stderr:
        pytest.skip("no subinterpreter module")
    assert "ImportError" in out.stdout and "does not support loading in subinterpreters" in out.stdout, out
