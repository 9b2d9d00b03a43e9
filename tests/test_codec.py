"""unpack and pack: objects, flags, defaults, vectors, and their failures."""

import struct

import pytest

from Virel.tl import TLParser

from conftest import SCHEMA_TEXT, entry, make_parser, new_parser, private_compiler
from support import builtin_class

pytestmark = pytest.mark.usefixtures("codec_path")

ID = struct.pack("<I", 1)
VEC = struct.pack("<I", 0x1CB5C415)
WORKED = bytes.fromhex("01000000 01000000 07000000 15c4b51c 01000000 0100000000000000")


def test_worked_example_both_ways(parser):
    d = {"_": "obj", "urgent": True, "note": None, "size": 7, "tags": [1]}
    assert parser.pack(d) == WORKED
    assert parser.unpack(WORKED) == d
    assert list(parser.unpack(WORKED)) == ["_", "urgent", "note", "size", "tags"]
    with_note = bytes.fromhex("01000000 03000000 02686900 07000000 15c4b51c 01000000 0100000000000000")
    assert parser.pack(dict(d, note="hi")) == with_note
    assert parser.unpack(with_note)["note"] == "hi"


TOP = "at the top-level object; the failing read began at byte 0"
USER_BYTES = bytes.fromhex("10000000") + bytes(20)  # a user of zeros
HOLDER_HEAD = bytes.fromhex("11000000 00000000 00000000") + USER_BYTES + VEC + bytes(4) + VEC  # up to users' count


def in_record(at, byte, record):
    return f"at {at} (records: {record}); the failing read began at byte {byte}, in {record.split(' > ')[-1]}"


UNPACK_FAILURES = [
    (b"", RuntimeError, "Parse error at position 0", TOP),
    (b"\x01\x00\x00", RuntimeError, "Parse error at position 0", TOP),
    (b"\xab\0\0\0", ValueError, "Unknown constructor ID: 0x000000ab", TOP),
    (WORKED[:10], RuntimeError, "Parse error at position 8", in_record("obj.size", 8, "obj")),
    (WORKED[:-1], RuntimeError, "Parse error at position 20", in_record("obj.tags[0]", 20, "obj")),
    (
        WORKED[:12],
        ValueError,
        "Invalid vector ID: 0x00000000",
        in_record("obj.tags", 12, "obj"),
    ),  # the header read yields 0
    (WORKED[:12] + b"\1\2\3\4", ValueError, "Invalid vector ID: 0x04030201", in_record("obj.tags", 12, "obj")),
    (WORKED[:16], RuntimeError, "Parse error at position 16", in_record("obj.tags", 16, "obj")),
    # A count the bytes left cannot back fails at once, the cursor past the count.
    (
        WORKED[:16] + struct.pack("<I", 5) + bytes(4),
        RuntimeError,
        "Parse error at position 20",
        in_record("obj.tags", 16, "obj"),
    ),
    (
        WORKED[:16] + struct.pack("<I", 2**31),
        RuntimeError,
        "Parse error at position 20",
        in_record("obj.tags", 16, "obj"),
    ),
    (
        HOLDER_HEAD + struct.pack("<I", 1),
        RuntimeError,
        "Parse error at position 52",
        in_record("holder.users", 48, "holder"),
    ),
    # An element that fails, and an object that cannot begin for want of bytes.
    (
        HOLDER_HEAD + struct.pack("<I", 1) + b"\xab\0\0\0",
        ValueError,
        "Unknown constructor ID: 0x000000ab",
        in_record("holder.users[0]", 52, "holder"),
    ),
    (
        HOLDER_HEAD + struct.pack("<I", 2) + USER_BYTES + b"\x10\0\0\0",
        RuntimeError,
        "Parse error at position 80",
        in_record("holder.users[1].id", 80, "holder > user"),
    ),
    (HOLDER_HEAD[:12], RuntimeError, "Parse error at position 12", in_record("holder.owner", 12, "holder")),
    (
        HOLDER_HEAD[:12] + b"\xab\0\0\0",
        ValueError,
        "Unknown constructor ID: 0x000000ab",
        in_record("holder.owner", 12, "holder"),
    ),
]


@pytest.mark.parametrize("data, exc, message, note", UNPACK_FAILURES)
@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_unpack_failures(signed, data, exc, message, note):
    # A signed parser reads numbers otherwise, and fails exactly as the unsigned one.
    p = new_parser(SCHEMA_TEXT, signed=signed)
    with pytest.raises(exc) as info:
        p.unpack(data)
    assert builtin_class(info.value) is exc and str(info.value) == message  # D34
    assert info.value.__notes__ == [note]


def test_a_failure_note_owes_nothing_to_the_calls_before():
    """The parser keeps its trace's storage from one call to the next: each failure's note is its
    own call's, whatever failed before it (deeper or shallower, a shortage or an exception)."""
    p = new_parser(SCHEMA_TEXT)
    for cases in (UNPACK_FAILURES, UNPACK_FAILURES[::-1]):
        for data, exc, _, note in cases:
            with pytest.raises(exc) as info:
                p.unpack(data)
            assert info.value.__notes__ == [note]


def test_parser_stays_usable_after_failures(parser):
    for bad in (b"", b"\xab\0\0\0", WORKED[:10]):
        with pytest.raises((RuntimeError, ValueError)):
            parser.unpack(bad)
        assert parser.unpack(WORKED)["size"] == 7


def test_extra_bytes_and_empty_entry(parser):
    assert parser.unpack(WORKED + b"junk") == parser.unpack(WORKED)
    assert parser.unpack(b"\x12\0\0\0") == {"_": "empty"}
    assert parser.pack({"_": "empty"}) == b"\x12\0\0\0"


def test_invalid_utf8_is_a_unicode_error(parser):
    data = bytes.fromhex("01000000 03000000 02ff6800 07000000") + VEC + bytes(4)
    with pytest.raises(UnicodeDecodeError):
        parser.unpack(data)


def test_flags2_bits_and_bits_above_31(parser):
    user = {"_": "user", "id": 5, "name": "n", "photo": b"", "bot": False}
    d = {"_": "holder", "owner": user, "where": None, "ints": [1, 2], "users": [user], "late": 9, "late_flag": True}
    out = parser.pack(d)
    flags, flags2 = struct.unpack_from("<II", out, 4)
    assert (flags, flags2) == (0, 1 | 8)  # late: bit 0; late_flag: bit 35 & 31 == 3
    assert parser.unpack(out) == d


def test_field_on_flags2_that_comes_later_reads_clear():
    p = make_parser([entry(1, "e", ("a", "flags2.0?int"), ("flags2", "#"), ("b", "int"))])
    assert p.unpack(ID + bytes.fromhex("ffffffff 05000000")) == {"_": "e", "a": None, "b": 5}


def test_conditional_without_its_flags_field():
    p = make_parser([entry(1, "e", ("a", "flags.0?int"), ("t", "flags.1?true"))])
    assert p.pack({"_": "e", "a": 5, "t": True}) == ID + bytes.fromhex("05000000")
    assert p.unpack(ID) == {"_": "e", "a": None, "t": False}


@pytest.mark.parametrize("value, bit_set", [(True, True), (1, False), ("yes", False), (False, False), (None, False)])
@pytest.mark.parametrize("kind", ["true", "Bool"])
def test_conditional_bool_is_its_bit(value, bit_set, kind):
    p = make_parser([entry(1, "e", ("flags", "#"), ("t", f"flags.4?{kind}"))])
    assert p.pack({"_": "e", "t": value}) == ID + struct.pack("<I", 16 if bit_set else 0)


@pytest.mark.parametrize(
    "value, wire",
    [
        (None, "00000000"),
        (0, "01000000 00000000"),
        ("", "02000000 00000000"),
        ([], "04000000 15c4b51c 00000000"),
    ],
)
def test_present_means_not_none(value, wire):
    kind = {type(None): "int", int: "int", str: "string", list: "Vector<int>"}[type(value)]
    bit = {int: 0, str: 1, list: 2}.get(type(value), 0)
    p = make_parser([entry(1, "e", ("flags", "#"), ("v", f"flags.{bit}?{kind}"))])
    assert p.pack({"_": "e", "v": value}) == ID + bytes.fromhex(wire)
    assert p.pack({"_": "e"}) == ID + bytes(4)


def test_flags_keys_are_ignored_and_flags_params_always_computed():
    p = make_parser(
        [entry(1, "e", ("flags", "flags.3?string"), ("flags2", "long"), ("flags3", "int"), ("v", "flags.1?int"))]
    )
    out = p.pack({"_": "e", "flags": "junk", "flags2": object(), "flags3": 3, "v": 7})
    assert out == ID + bytes.fromhex("02000000 00000000 03000000 07000000")
    assert p.unpack(out) == {"_": "e", "flags3": 3, "v": 7}


@pytest.mark.parametrize("b", [None, "missing"])
def test_shared_bit_needs_every_field_that_shares_it(b):
    # Writing `a` alone would set the bit that makes a reader take the next bytes for `b`.
    p = make_parser(
        [entry(1, "e", ("flags", "#"), ("a", "flags.0?int"), ("b", "flags.0?int"), ("t", "flags.0?true"), ("c", "int"))]
    )
    d = {"_": "e", "a": 1, "c": 9}
    if b is None:
        d["b"] = None
    with pytest.raises(ValueError, match="^Missing value for 'b' of 'e': it shares bit 0 of flags with a field"):
        p.pack(d)
    out = p.pack(dict(d, b=2))
    assert out == ID + bytes.fromhex("01000000 01000000 02000000 09000000")
    assert p.unpack(out) == {"_": "e", "a": 1, "b": 2, "t": True, "c": 9}
    assert p.pack({"_": "e", "c": 9}) == ID + bytes.fromhex("00000000 09000000")


class DictLike(dict):
    """Read key by key (a dict subclass is never walked), for comparing with the walk."""


@pytest.mark.parametrize("count", [3, 63, 64, 65, 130])
def test_only_present_fields_are_written_at_any_width(count):
    # p{i} is plain when i % 3 == 0, else optional on bit i % 32: bits repeat across wide records.
    names = [f"p{i}" for i in range(count - 1)]
    types = ["int" if i % 3 == 0 else f"flags.{i % 32}?int" for i in range(count - 1)]
    p = make_parser([entry(1, "e", ("flags", "#"), *zip(names, types))])
    chosen = {1, 5, 30}
    value = {"_": "e"}
    flags, body = 0, b""
    for i, (name, type_) in enumerate(zip(names, types)):
        if type_ == "int" or i % 32 in chosen:
            value[name] = i
            body += struct.pack("<I", i)
            flags |= 0 if type_ == "int" else 1 << (i % 32)
        else:
            value[name] = None
    want = ID + struct.pack("<I", flags) + body
    assert p.pack(value) == want
    assert p.pack(DictLike(value)) == want
    if count > 38:  # p5 and p37 share bit 5: a present p5 with an absent p37 is refused
        for form in (dict, DictLike):
            with pytest.raises(ValueError, match="^Missing value for 'p37' of 'e': it shares bit 5 "):
                p.pack(form(value, p37=None))


def test_shared_bit_before_its_flags_word_reads_as_absent():
    # A reader meets `a` before the flags word, so `a` always decodes as absent: leaving it out
    # agrees with that.
    p = make_parser([entry(1, "e", ("a", "flags.0?int"), ("flags", "#"), ("b", "flags.0?int"))])
    out = p.pack({"_": "e", "b": 5})
    assert out == ID + bytes.fromhex("01000000 05000000")
    assert p.unpack(out) == {"_": "e", "a": None, "b": 5}


def test_defaults_for_missing_fields():
    p = make_parser(
        [
            entry(
                1,
                "e",
                ("i", "int"),
                ("l", "long"),
                ("d", "double"),
                ("s", "string"),
                ("b", "bytes"),
                ("o", "Bool"),
                ("v", "Vector<int>"),
            )
        ]
    )
    assert p.pack({"_": "e"}) == ID + bytes(4 + 8 + 8 + 4 + 4 + 4) + VEC + bytes(4)
    with pytest.raises(ValueError, match="(?m)^Object must have '_' field$"):
        make_parser([entry(1, "e", ("o", "Other"))]).pack({"_": "e"})


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ({}, ValueError, "Object must have '_' field"),
        ({"_": None}, ValueError, "Object must have '_' field"),
        ({"_": ""}, ValueError, "Object must have '_' field"),
        ({"_": 5}, TypeError, "Expected str, got int"),
        ({"_": b"obj"}, TypeError, "Expected str, got bytes"),
        ({"_": "nobody"}, ValueError, "Unknown constructor: nobody"),
        ({"_": "Obj"}, ValueError, "Unknown constructor: Obj"),
        (None, AttributeError, "'NoneType' object has no attribute 'get'"),
        ([1], AttributeError, "'list' object has no attribute 'get'"),
        ({"_": "obj", "size": 2**32}, OverflowError, None),
        ({"_": "obj", "size": -(2**31) - 1}, OverflowError, None),
        ({"_": "obj", "size": "5"}, TypeError, "an integer is required"),
        ({"_": "obj", "size": None}, TypeError, "an integer is required"),
        (
            {"_": "obj", "tags": [-(2**63) - 1]},
            OverflowError,
            "int value out of range for a TL long (accepted: -9223372036854775808 to 18446744073709551615)",
        ),
        ({"_": "obj", "tags": [2**64]}, OverflowError, None),
        ({"_": "obj", "tags": 5}, TypeError, "'int' object is not iterable"),
        ({"_": "obj", "note": b"x"}, TypeError, None),
        ({"_": "user", "name": None}, AttributeError, "'NoneType' object has no attribute 'encode'"),
        ({"_": "user", "photo": None}, TypeError, "object of type 'NoneType' has no len()"),
        ({"_": "user", "photo": "text"}, TypeError, "Expected bytes, got str"),
        ({"_": "user", "name": "\ud800"}, UnicodeEncodeError, None),
        ({"_": "point", "x": "1.5"}, TypeError, None),
    ],
)
def test_pack_failures(parser, value, exc, message):
    with pytest.raises(exc) as info:
        parser.pack(value)
    assert builtin_class(info.value) is exc  # D34
    if message:
        assert str(info.value) == message
    assert parser.pack({"_": "empty"}) == b"\x12\0\0\0"


def test_tl_int_range_message_names_the_range(parser):
    with pytest.raises(OverflowError, match="-2147483648 to 4294967295"):
        parser.pack({"_": "obj", "size": 2**32})


def test_unsigned_words_pack_back_to_the_same_bytes(parser):
    data = bytes.fromhex("01000000 00000000 feffffff") + VEC + bytes.fromhex("01000000") + b"\xff" * 8
    d = parser.unpack(data)
    assert d["size"] == 0xFFFFFFFE and d["tags"] == [2**64 - 1]
    assert parser.pack(d) == data


def test_vectors_of_every_kind():
    kinds = ["int", "long", "double", "string", "bytes", "Bool", "Obj"]
    p = make_parser(
        [
            entry(
                1,
                "obj",
                ("flags", "#"),
                *[(k.lower(), f"Vector<{k}>") for k in kinds],
                ("nested", "Vector<Vector<int>>"),
                ("cond", "flags.0?Vector<long>"),
            )
        ]
    )
    d = {
        "_": "obj",
        "int": [1, 2**32 - 1],
        "long": [2**63],
        "double": [0.5],
        "string": ["a", "é"],
        "bytes": [b"", b"xyz"],
        "bool": [True, False],
        "obj": [
            {
                "_": "obj",
                "int": [],
                "long": [],
                "double": [],
                "string": [],
                "bytes": [],
                "bool": [],
                "obj": [],
                "nested": [],
                "cond": None,
            }
        ],
        "nested": [1, 2, 3],
        "cond": [4],
    }
    out = p.pack(d)
    assert p.unpack(out) == d
    nested_at = out.index(struct.pack("<III", 0x1CB5C415, 3, 1))  # one flat vector of ints
    assert nested_at > 0


@pytest.mark.parametrize(
    "value", [lambda: (1, 2), lambda: iter([1, 2]), lambda: (x for x in [1, 2]), lambda: {1: "a", 2: "b"}]
)
def test_vector_takes_any_iterable_but_list_subclasses(value):
    p = make_parser([entry(1, "e", ("v", "Vector<int>"))])
    assert p.pack({"_": "e", "v": value()}) == ID + VEC + bytes.fromhex("02000000 01000000 02000000")


def test_vector_refusals():
    p = make_parser([entry(1, "e", ("v", "Vector<int>")), entry(2, "f", ("v", "Vector<Vector<int>>"))])

    class L(list):
        pass

    with pytest.raises(TypeError, match="(?m)^Expected list, got L$"):
        p.pack({"_": "e", "v": L([1])})
    with pytest.raises(TypeError, match="(?m)^an integer is required$"):
        p.pack({"_": "f", "v": [[1]]})


def test_nested_vector_chain_stays_small():
    import resource

    # A vector of objects whose first element holds a vector of objects, and so on, each
    # announcing as many elements as there are bytes left.
    p = make_parser([entry(1, "w", ("v", "Vector<W>"))])
    levels = 6000
    chunks = []
    for i in range(levels):
        left = (levels - i) * 12
        chunks.append(ID + VEC + struct.pack("<I", left - 12))
    data = b"".join(chunks)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises((RuntimeError, RecursionError)):
        p.unpack(data)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 200_000  # KiB


def test_vector_t_nests_as_deep_as_the_data():
    p = make_parser([entry(2, "t", ("v", "Vector t"))])
    d = {"_": "t", "v": [[[], [[]]]]}
    assert p.unpack(p.pack(d)) == d


def test_dict_subclass_and_mappings():
    p = new_parser(SCHEMA_TEXT)

    class Odd(dict):
        def get(self, key, default=None):
            return "empty" if key == "_" else default

    assert p.pack(Odd()) == b"\x12\0\0\0"

    class Doubling(dict):
        def __getitem__(self, key):
            return dict.__getitem__(self, key) * 2

        def __contains__(self, key):
            raise AssertionError("the key table is consulted directly")

    assert p.pack(Doubling({"_": "obj", "size": 4}))[8:12] == b"\x08\0\0\0"
    import types

    proxy = types.MappingProxyType({"_": "obj", "size": 3, "note": "x"})
    assert p.unpack(p.pack(proxy))["note"] == "x"


def test_bytes_like_values_are_written_as_bytes(parser):
    for value in (bytearray(b"abc"), memoryview(b"abc")):
        out = parser.pack({"_": "user", "photo": value})
        assert parser.unpack(out)["photo"] == b"abc"


def test_cleared_parser_refuses_work():
    import ctypes

    class Sub(TLParser):
        pass

    p = Sub(SCHEMA_TEXT)
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(TLParser, 51))  # Py_tp_clear
    clear(p)
    for call in (lambda: p.pack({"_": "empty"}), lambda: p.unpack(b"\x12\0\0\0")):
        with pytest.raises(RuntimeError, match="^TLParser has no schema: it was cleared$"):
            call()


@pytest.mark.parametrize("call", [lambda p: p.pack({"_": "empty"}), lambda p: p.unpack(b"\x12\0\0\0")])
def test_a_parser_not_made_by_its_own_new_refuses_work(call):
    import ctypes

    alloc = ctypes.pythonapi.PyType_GenericAlloc  # memory of the type's size, zero-filled, nothing set up
    alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    bare = alloc(TLParser, 0)
    with pytest.raises(RuntimeError, match="^TLParser is not initialised: it was not made by its own __new__$"):
        call(bare)


@pytest.fixture(scope="module")
def real():
    from conftest import data_file

    return TLParser(data_file("api.json").read_text())


@pytest.mark.parametrize(
    "obj, flag, partner",
    [
        ({"_": "user", "id": 1, "bot_info_version": 5}, "bot", "bot_info_version"),
        ({"_": "user", "id": 1, "restriction_reason": []}, "restricted", "restriction_reason"),
        (
            {
                "_": "channel",
                "id": 1,
                "title": "t",
                "photo": {"_": "chatPhotoEmpty"},
                "date": 0,
                "restriction_reason": [],
            },
            "restricted",
            "restriction_reason",
        ),
        ({"_": "codeSettings", "token": "t"}, "app_sandbox", "token"),
    ],
)
def test_flag_given_false_while_a_field_sets_its_bit_is_refused(real, obj, flag, partner):
    # Missing (or None) next to a present partner carries no claim: the bit makes it True.
    for absent in ({}, {flag: None}):
        assert real.unpack(real.pack({**obj, **absent}))[flag] is True
    with pytest.raises(ValueError, match=f"'{flag}' of '{obj['_']}' is false, but '{partner}' is present"):
        real.pack({**obj, flag: False})


def test_field_before_its_flags_word_is_refused_when_present():
    p = make_parser([entry(1, "d", ("u", "flags.1?int"), ("flags", "#"), ("s", "string"))])
    with pytest.raises(ValueError, match="'u' of 'd': it comes before flags"):
        p.pack({"_": "d", "u": 5, "s": "hi"})
    assert p.unpack(p.pack({"_": "d", "s": "hi"})) == {"_": "d", "u": None, "s": "hi"}


@pytest.mark.parametrize("second, absent", [("flags.0?int", None), ("flags.0?true", False)])
def test_repeated_name_absent_later_decodes_as_absent(second, absent):
    p = make_parser([entry(1, "d", ("a", "int"), ("flags", "#"), ("a", second))])
    assert p.unpack(bytes.fromhex("01000000 07000000 00000000")) == {"_": "d", "a": absent}


REPEATED = [entry(2, "r", ("x", "int"), ("y", "Vector<long>"), ("x", "long"))]
REPEATED_DATA = bytes.fromhex("02000000 ffffffff") + VEC + struct.pack("<I", 1) + b"\xff" * 8 + b"\xfe" + b"\xff" * 7


@pytest.mark.parametrize(
    "signed, decoded", [(False, {"_": "r", "x": 2**64 - 2, "y": [2**64 - 1]}), (True, {"_": "r", "x": -2, "y": [-1]})]
)
def test_repeated_name_takes_the_later_value_in_either_reading(signed, decoded):
    p = new_parser({"constructors": REPEATED}, signed=signed)
    assert p.unpack(REPEATED_DATA) == decoded
    for cut, exc, message, note in [
        (
            REPEATED_DATA[:-7],
            RuntimeError,
            "Parse error at position 24",
            "at r.x (records: r); the failing read began at byte 24, in r",
        ),
        (
            REPEATED_DATA[:8] + b"\1\2\3\4",
            ValueError,
            "Invalid vector ID: 0x04030201",
            "at r.y (records: r); the failing read began at byte 8, in r",
        ),
    ]:
        with pytest.raises(exc) as info:
            p.unpack(cut)
        assert str(info.value) == message and info.value.__notes__ == [note]


class OnlyIndex:
    def __index__(self):
        return 3


@pytest.mark.parametrize("kind", ["int", "long"])
def test_index_alone_is_not_an_integer(kind):
    p = make_parser([entry(1, "d", ("a", kind), ("b", "double"))])
    with pytest.raises(TypeError, match="an integer is required"):
        p.pack({"_": "d", "a": OnlyIndex()})
    assert p.unpack(p.pack({"_": "d", "b": OnlyIndex()}))["b"] == 3.0


@pytest.mark.parametrize(
    "value",
    [
        {"_": "point", "x": 1.0, "y": 2.0},
        {
            "_": "holder",
            "owner": {"_": "user", "id": 1, "name": "a", "photo": b"", "bot": True},
            "ints": [],
            "users": [],
            "where": None,
            "late": None,
            "late_flag": False,
        },
    ],
)
def test_decoded_dicts_are_tracked_by_the_collector_as_built_ones_are(parser, value):
    import gc

    d = parser.unpack(parser.pack(value))
    built = {k: v for k, v in d.items()}
    assert gc.is_tracked(d) == gc.is_tracked(built)


def test_public_dict_path_gives_the_same_results(parser):
    # VIREL_PUBLIC_API=1 turns off reading and filling dict tables directly; CI runs the whole
    # suite that way too. Here: one object of every shape, both ways, compared.
    import subprocess
    import sys

    tests = __import__("os").path.dirname(__file__)
    code = (
        f"import sys; sys.path.insert(0, {tests!r}); from conftest import SCHEMA_TEXT; "
        "from Virel.tl import TLParser; p = TLParser(SCHEMA_TEXT); "
        "v = {'_': 'holder', 'owner': {'_': 'user', 'id': 1, 'name': 'é' * 300, 'photo': b'x', "
        "'bot': True}, 'where': {'_': 'point', 'x': 1.0, 'y': 2.0}, 'ints': [1, 2], "
        "'users': [], 'late': 5, 'late_flag': True}; b = p.pack(v); "
        "print(b.hex(), p.unpack(b) == v)"
    )
    outs = {
        subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            check=True,
            env={**__import__("os").environ, "VIREL_PUBLIC_API": flag},
        ).stdout
        for flag in ("0", "1")
    }
    assert len(outs) == 1 and outs.pop().endswith("True\n")


SHORT_FLAGS = [
    entry(1, "f", ("flags", "#"), ("s", "string"), ("n", "int")),
    entry(2, "g", ("flags", "#"), ("v", "Vector<int>")),
    entry(3, "h", ("flags", "#"), ("c", "flags.0?int"), ("t", "flags.1?true")),
    entry(4, "k", ("flags", "#"), ("flags2", "#"), ("o", "K")),
]


@pytest.mark.parametrize(
    "data, exc, message, at",
    [
        # The short flags word reads as 0 and decoding goes on: the string after it is read from the
        # bytes that are there, and the int after that falls short, with the cursor past the padding.
        (
            ID + b"\x02ab",
            RuntimeError,
            "Parse error at position 8",
            "f.flags (records: f); the failing read began at byte 4",
        ),
        # A vector header read as 0 after it: the ValueError, not the shortage.
        (
            struct.pack("<I", 2) + b"\x01\x02",
            ValueError,
            "Invalid vector ID: 0x00000000",
            "g.v (records: g); the failing read began at byte 4",
        ),
        # Nothing but conditional fields after it: the object ends as it stands, in the parse error.
        (
            struct.pack("<I", 3) + b"\x01",
            RuntimeError,
            "Parse error at position 4",
            "h.flags (records: h); the failing read began at byte 4",
        ),
        # Both words short, then a nested object that cannot begin.
        (
            struct.pack("<I", 4) + b"\x01\x02\x03",
            RuntimeError,
            "Parse error at position 4",
            "k.flags (records: k); the failing read began at byte 4",
        ),
    ],
)
def test_a_short_flags_word_reads_as_zero_and_decoding_goes_on(data, exc, message, at):
    p = make_parser(SHORT_FLAGS)
    with pytest.raises(exc) as info:
        p.unpack(data)
    assert str(info.value) == message and info.value.__notes__ == [f"at {at}, in {at[0]}"]
    with pytest.raises(exc) as info:
        p.unpack_from(b"pad" + data, 3)
    assert str(info.value) == (
        message if exc is ValueError else f"Parse error at position {3 + int(message.split()[-1])}"
    )


# A compile on the parser's own compiler inserts its entries over the earlier ones; the names and
# identifiers it leaves out still lead to the earlier records.
PAIR = [entry(1, "pair2", ("a", "Inner"), ("b", "int")), entry(2, "inner", ("x", "int"), ("s", "string"))]
OTHER = [entry(3, "other", ("y", "int"))]


@pytest.mark.parametrize("second", [PAIR + OTHER, OTHER], ids=["redefined", "left-to-the-first"])
def test_failure_notes_name_the_path_after_a_second_compile(second):
    p = make_parser(PAIR)
    private_compiler(p).compile({"constructors": second})
    data = p.pack({"_": "pair2", "a": {"_": "inner", "x": 1, "s": "text"}, "b": 2})
    assert p.unpack(data)["a"]["s"] == "text" and p.unpack(p.pack({"_": "other", "y": 5}))["y"] == 5
    in_inner = "at pair2.a.s (records: pair2 > inner); the failing read began at byte {}, in inner"
    unknown = data[:4] + b"\x01\xef\xcd\xab" + data[8:]
    in_pair = "at pair2.a (records: pair2); the failing read began at byte {}, in pair2"
    for blob, error, note, at in [(data[:13], RuntimeError, in_inner, 12), (unknown, ValueError, in_pair, 4)]:
        with pytest.raises(error) as caught:
            p.unpack(blob)
        assert caught.value.__notes__ == [note.format(at)]
        with pytest.raises(error) as caught:
            p.unpack_from(b"..." + blob, 3)
        assert caught.value.__notes__ == [note.format(at + 3)]
    with pytest.raises(TypeError) as caught:
        p.pack({"_": "pair2", "a": {"_": "inner", "x": "no"}})
    assert caught.value.__notes__ == ["at pair2.a.x (records: pair2 > inner)"]
