import gc
import json
import struct

import pytest

from Virel.tl import (
    TL_BARE_OBJECT,
    TL_BOOL,
    TL_INT,
    TL_LONG,
    TL_OBJECT,
    TL_VECTOR,
    TLConstructor,
    TLParam,
    TLParser,
    TLSchemaCompiler,
)

from conftest import data_file, entry, make_parser

pytestmark = pytest.mark.usefixtures("direct_path")

PROBE = bytes.fromhex("ffffffff ffffffff 03616263 15c4b51c 00000000")


def kind(expr):
    """The kind the compiler gave `expr`, judged by how the decoder reads it."""
    p = make_parser([entry(1, "e", ("flags", "#"), ("flags2", "#"), ("v", expr), ("after", "int"))])
    try:
        v = p.unpack(struct.pack("<I", 1) + PROBE)["v"]
    except ValueError as e:
        return "vector" if "vector" in str(e) else "object"
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, int):
        return "long" if v > 2**32 else "int"
    return {str: "string", bytes: "bytes", float: "double"}[type(v)]


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("int", "int"),
        ("#", "int"),
        ("long", "long"),
        ("double", "double"),
        ("string", "string"),
        ("bytes", "bytes"),
        ("byte", "bytes"),
        ("Bool", "bool"),
        ("true", "bool"),
        ("Vector<int>", "vector"),
        ("Vector t", "vector"),
        ("VectorX", "vector"),
        # vector<int> and int128 are kinds of their own now (D26, D27): see test_kinds.py.
        ("bool", "object"),
        ("Int", "object"),
        ("", "object"),
        ("flags.0?", "object"),
        ("!X", "object"),
        ("flags.0?true", "bool"),
        ("flags2.7?Vector<Shape>", "vector"),
        ("?long", "long"),
        ("a?b?c", "object"),
        ("a?long?c", "long"),
        ("flags.1?double", "double"),
    ],
)
def test_type_expression_kinds(expr, expected):
    assert kind(expr) == expected


def flag_words(expr, value):
    p = make_parser([entry(1, "e", ("flags", "#"), ("flags2", "#"), ("v", expr))])
    return struct.unpack_from("<II", p.pack({"_": "e", "v": value}), 4)


@pytest.mark.parametrize(
    "expr, value, words",
    [
        ("flags.0?true", True, (1, 0)),
        ("flags.5?int", 0, (32, 0)),
        ("flags2.7?Vector<int>", [], (0, 128)),
        ("myflags.2?int", 1, (4, 0)),  # any field other than flags2 counts as flags
        ("?long", 1, (1, 0)),  # no field named: bit 0 of flags
        ("flags.40?int", 1, (1 << 8, 0)),  # only the low five bits select the bit
        ("flags2.35?true", True, (0, 1 << 3)),
        ("flags. 3 ?int", 1, (8, 0)),  # the bit text goes through int()
        ("flags.-1?int", 1, (1 << 31, 0)),
    ],
)
def test_condition_prefix(expr, value, words):
    assert flag_words(expr, value) == words


@pytest.mark.parametrize(
    "expr, exc, message",
    [
        ("x.y.z?int", ValueError, r"^too many values to unpack \(expected 2\)$"),
        ("flags.x?int", ValueError, "invalid literal for int"),
        ("flags.99999999999?int", OverflowError, "too large"),
    ],
)
def test_bad_condition_prefix(expr, exc, message):
    with pytest.raises(exc, match=message):
        make_parser([entry(1, "e", ("v", expr))])


@pytest.mark.parametrize("text", ["{}", '{"constructors": [], "methods": []}', '{"other": 1}'])
def test_empty_schemas_compile(text):
    TLSchemaCompiler().compile(text)
    with pytest.raises(ValueError, match="(?m)^Unknown constructor ID: 0x00000001$"):
        TLParser(text).unpack(b"\x01\x00\x00\x00")


def test_str_subclass_is_text_and_dict_is_not_modified():
    class Text(str):
        pass

    schema = {"constructors": [entry(1, "a")], "methods": [entry(2, "b")]}
    snapshot = json.dumps(schema)
    p = TLParser(Text(snapshot))
    assert p.unpack(b"\x02\x00\x00\x00") == {"_": "b"}
    TLParser(schema)
    assert json.dumps(schema) == snapshot


@pytest.mark.parametrize(
    "ident, expected",
    [
        (481674261, 481674261),
        ("481674261", 481674261),
        (-1, 0xFFFFFFFF),
        ("-1", 0xFFFFFFFF),
        (" 12 ", 12),
        (3.9, 3),
        (True, 1),
        (-(2**40) - 5, (-(2**40) - 5) & 0xFFFFFFFF),
        (0xFFFFFFFF, 0xFFFFFFFF),
        (-(2**70) + 5, 5),
        (-(2**63) - 1, 0xFFFFFFFF),
        (str(-(2**70) + 5), 5),  # below the long range: the low 32 bits
    ],
)
def test_identifiers(ident, expected):
    p = make_parser([entry(ident, "e")])
    assert p.pack({"_": "e"}) == struct.pack("<I", expected)


@pytest.mark.parametrize(
    "ident, exc", [(4294967296, OverflowError), ("0x1cb5c415", ValueError), ("abc", ValueError), ([], TypeError)]
)
def test_bad_identifiers(ident, exc):
    with pytest.raises(exc):
        make_parser([entry(ident, "e")])


def test_missing_id_and_params():
    p = TLParser({"constructors": [{"predicate": "bare"}]})
    assert p.pack({"_": "bare"}) == b"\0\0\0\0"


@pytest.mark.parametrize(
    "fields, name",
    [
        ({"type": "Only"}, "Only"),
        ({}, ""),
        ({"predicate": "p", "method": "m", "type": "T"}, "p"),
        ({"method": "m", "type": "T"}, "m"),
        ({"predicate": "p", "type": ""}, "p"),
    ],
)
def test_entry_names(fields, name):
    p = TLParser({"constructors": [dict(fields, id=5)]})
    assert p.unpack(b"\x05\0\0\0") == {"_": name}


def test_shared_identifier_and_shared_name():
    p = make_parser(
        [entry(7, "first"), entry(7, "second"), entry(8, "twin", ("a", "int")), entry(9, "twin", ("b", "long"))]
    )
    assert p.unpack(b"\x07\0\0\0") == {"_": "second"}
    assert p.pack({"_": "first"}) == b"\x07\0\0\0"
    assert p.pack({"_": "twin", "b": 1}) == b"\x09\0\0\0" + struct.pack("<Q", 1)
    assert p.unpack(b"\x08\0\0\0\x05\0\0\0") == {"_": "twin", "a": 5}


def test_method_after_constructor_wins_the_identifier():
    p = make_parser([entry(3, "ctor")], [{"id": 3, "method": "meth", "type": "T"}])
    assert p.unpack(b"\x03\0\0\0") == {"_": "meth"}
    assert p.pack({"_": "ctor"}) == b"\x03\0\0\0"


def test_name_with_nul_is_used_up_to_the_nul():
    p = make_parser([entry(3, "ab\0cd")])
    assert p.unpack(b"\x03\0\0\0") == {"_": "ab"}
    assert p.pack({"_": "ab\0zz"}) == b"\x03\0\0\0"


E = {"id": 1, "predicate": "e"}


@pytest.mark.parametrize(
    "schema, exc, message",
    [
        (b"{}", TypeError, "Expected dict, got bytes"),
        ("[]", TypeError, "Expected dict, got list"),
        ("null", AttributeError, "'NoneType' object has no attribute 'get'"),
        ({"constructors": {}}, TypeError, "Expected list, got dict"),
        ({"constructors": None}, AttributeError, "'NoneType' object has no attribute 'extend'"),
        ({"methods": 5}, TypeError, "'int' object is not iterable"),
        ({"constructors": [[1]]}, TypeError, "Expected dict, got list"),
        ({"constructors": [None]}, AttributeError, "'NoneType' object has no attribute 'get'"),
        ({"constructors": [{"predicate": 5}]}, TypeError, "Expected str, got int"),
        ({"constructors": [{"type": 5}]}, TypeError, "Expected str, got int"),
        ({"constructors": [{"predicate": "a", "type": 5}]}, TypeError, "Expected str, got int"),
        ({"constructors": [{"predicate": None}]}, AttributeError, "'NoneType' object has no attribute 'encode'"),
        ({"constructors": [{"params": {}}]}, TypeError, "Expected list, got dict"),
        ({"constructors": [{"params": None}]}, TypeError, "object of type 'NoneType' has no len()"),
        ({"constructors": [{"params": [None]}]}, TypeError, "'NoneType' object is not subscriptable"),
        ({"constructors": [{"params": [[]]}]}, TypeError, "Expected dict, got list"),
        ({"constructors": [{"params": [{"type": "int"}]}]}, KeyError, "'name'"),
        ({"constructors": [{"params": [{"name": "a"}]}]}, KeyError, "'type'"),
        ({"constructors": [{"params": [{"name": 1, "type": "int"}]}]}, TypeError, "Expected str, got int"),
        (
            {"constructors": [{"params": [{"name": None, "type": "int"}]}]},
            AttributeError,
            "'NoneType' object has no attribute 'encode'",
        ),
        ({"constructors": [{"params": [{"name": "a", "type": None}]}]}, TypeError, "'NoneType' object is not iterable"),
        ({"constructors": [{"predicate": "\ud800"}]}, UnicodeEncodeError, "surrogates not allowed"),
        ("{not json", json.JSONDecodeError, "Expecting property name"),
    ],
)
def test_compile_failures(schema, exc, message):
    class DictSub(dict):
        pass

    for compile_ in (lambda s: TLSchemaCompiler().compile(s), TLParser):
        with pytest.raises(exc) as info:
            compile_(schema)
        assert type(info.value) is exc
        text = str(info.value)
        assert (text == message) if exc not in (json.JSONDecodeError, UnicodeEncodeError) else message in text
    with pytest.raises(TypeError, match="^Expected dict, got DictSub$"):
        TLSchemaCompiler().compile(DictSub())


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("text, position", [("int\ud800", 3), ("Vector<int\ud800>", 10)])
def test_a_lone_surrogate_in_a_parameter_type_fails_the_compile(text, position, strict):
    # The type's kind is worked out all the same; keeping its text for the codec then fails, with
    # the codec's error and nothing naming the entry, strict or not.
    schema = {"constructors": [entry(1, "a", ("x", text))]}
    with pytest.raises(UnicodeEncodeError) as info:
        TLSchemaCompiler().compile(schema, strict=strict)
    assert (
        str(info.value)
        == f"'utf-8' codec can't encode character '\\ud800' in position {position}: surrogates not allowed"
    )
    assert (info.value.start, info.value.object) == (position, text)
    assert getattr(info.value, "__notes__", None) is None and info.value.__context__ is None


@pytest.mark.parametrize("call", [lambda c: c.compile({"constructors": [entry(1, "a")]}), lambda c: c.entries()])
def test_a_compiler_not_made_by_its_own_new_refuses_work(call):
    import ctypes

    alloc = ctypes.pythonapi.PyType_GenericAlloc  # memory of the type's size, zero-filled, nothing set up
    alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    bare = alloc(TLSchemaCompiler, 0)
    with pytest.raises(
        RuntimeError,
        match=r"^TLSchemaCompiler is not initialised: it was not made by its own "
        r"__new__$",
    ):
        call(bare)
    del bare
    gc.collect()


def test_failed_compile_keeps_earlier_entries_and_releases_cleanly():
    c = TLSchemaCompiler()
    schema = {"constructors": [entry(1, "a", ("x", "int")), {"params": [{"name": "b"}]}, entry(3, "c")]}
    for _ in range(3):
        with pytest.raises(KeyError):
            c.compile(schema)
    c.compile({"constructors": [entry(1, "a")]})  # a later compile on the same compiler
    del c
    gc.collect()


def test_nested_compile_is_refused():
    c = TLSchemaCompiler()
    seen = []

    class Sneaky:
        def __int__(self):
            try:
                c.compile({"constructors": [entry(9, "inner")]})
            except RuntimeError as e:
                seen.append(str(e))
            return 5

    c.compile({"constructors": [entry(1, "a"), {"id": Sneaky(), "predicate": "b"}, entry(3, "c")]})
    assert seen == ["TLSchemaCompiler.compile is already running on this compiler"]


def test_id_conversion_may_change_the_entry_safely():
    params = [{"name": "x", "type": "int"}]

    class Mutator:
        def __int__(self):
            params.clear()
            ent.clear()
            return 4

    ent = {"id": Mutator(), "predicate": "m", "params": params}
    p = TLParser({"constructors": [ent]})
    # The parameter list is read after the identifier: here it has been emptied by then.
    assert p.pack({"_": "m", "x": 3}) == b"\x04\0\0\0"


@pytest.mark.parametrize("name", ["api.json", "api_layer144.json", "mtproto.json"])
def test_real_layers_compile(name):
    text = data_file(name).read_text()
    TLSchemaCompiler().compile(text)
    TLSchemaCompiler().compile(json.loads(text))
    p = TLParser(text)
    first = json.loads(text)["constructors"][0]
    # Zeros, then an empty vector where the service schema's first record (resPQ) has one.
    blob = struct.pack("<i", int(first["id"])) + bytes(36) + struct.pack("<II", 0x1CB5C415, 0)
    assert p.unpack(blob)["_"] == first["predicate"]


def test_compile_memory_is_linear_in_long_type_texts():
    # "Vector" * k + "<" * k nests k vector levels; each level's text used to be kept whole.
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import json, resource
        from Virel.tl import TLParser
        k = 16000
        s = json.dumps({"constructors": [{"id": 1, "predicate": "d",
                        "params": [{"name": "v", "type": "Vector" * k + "<" * k}]}]})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        p = TLParser(s)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
        nested = bytes.fromhex("01000000") + bytes.fromhex("15c4b51c01000000") * 40 + bytes.fromhex("15c4b51c00000000")
        assert p.pack(p.unpack(nested)) == nested
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 50  # MiB; quadratic growth took over a gigabyte


# ---- entries(): what the latest compile made ----


def params_of(*types):
    """The compiled parameters p0, p1, ... of the given type texts, as tuples."""
    c = TLSchemaCompiler()
    c.compile({"constructors": [entry(1, "e", *((f"p{i}", t) for i, t in enumerate(types)))]})
    return [tuple(p) for p in c.entries()[0].params]


VEC, OBJ, INT, LONG, BOOL = TL_VECTOR, TL_OBJECT, TL_INT, TL_LONG, TL_BOOL


@pytest.mark.parametrize(
    "expr, kind, conditional, field, bit, element",
    [
        ("#", INT, False, 0, 0, ()),
        ("?long", LONG, True, 0, 0, ()),  # no field named: bit 0 of flags
        ("x.33?int", INT, True, 0, 33, ()),  # the bit as written
        ("flags2.7?true", BOOL, True, 1, 7, ()),
        ("flags.-1?Bool", BOOL, True, 0, -1, ()),
        ("Vector<Vector<int>>", VEC, False, 0, 0, ((INT, "int", False),)),  # the inner vectors collapse
        ("flags.3?Vector<User>", VEC, True, 0, 3, ((OBJ, "flags.3?User", False),)),
        ("VectorVector<<long>>", VEC, False, 0, 0, ((VEC, "Vector<long", False), (LONG, "long", False))),
        ("Vector t", VEC, False, 0, 0, ((VEC, "Vector t", True),)),  # strips to itself: vectors to any depth
        ("a?b?c", TL_BARE_OBJECT, True, 0, 0, ()),  # D27: a lower-case name is bare
        ("a?B?c", OBJ, True, 0, 0, ()),
    ],
)
def test_entries_show_each_parameter_as_compiled(expr, kind, conditional, field, bit, element):
    assert params_of(expr) == [("p0", kind, expr, conditional, field, bit, 0, element)]


def test_entries_show_each_record_as_compiled():
    c = TLSchemaCompiler()
    c.compile(
        {
            "constructors": [
                {
                    "id": -1,
                    "predicate": "a\0tail",
                    "type": "",
                    "params": [{"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"}],
                },
                {"id": "7", "type": "OnlyType"},
            ],
            "methods": [{"id": 2**32 - 1, "method": "m", "type": "Vector<A>"}],
        }
    )
    rows = [(e.id, e.name, e.result_type, [(p.name, p.flags_word) for p in e.params]) for e in c.entries()]
    assert rows == [
        (2**32 - 1, "a", "a", [("flags", 1), ("flags2", 2)]),
        (7, "OnlyType", "OnlyType", []),
        (2**32 - 1, "m", "Vector<A>", []),
    ]
    e = c.entries()[0]
    assert isinstance(e, TLConstructor) and isinstance(e.params[0], TLParam) and e == tuple(e)
    with pytest.raises(AttributeError):
        e.name = "b"  # read-only


def test_entries_deep_vector_gives_every_level():
    # Each level takes one "Vector<" out where the two halves meet: n levels, the last one int. The
    # compiler keeps the texts of the first few; the view reads the rest in one pass over the text.
    n = 20_000
    (param,) = params_of("Vector" * n + "<" * n + "int")
    levels = param[-1]
    assert [kind for kind, _, _ in levels] == [VEC] * (n - 1) + [INT]
    kept = [text for _, text, _ in levels[:-1] if text is not None]
    assert 1 < len(kept) < 100 and all(text is None for _, text, _ in levels[len(kept) : -1])
    assert kept == ["Vector" * (n - k) + "<" * (n - k) + "int" for k in range(1, len(kept) + 1)]
    assert levels[-1][1:] == ("int", False)


def test_entries_follow_the_latest_compile():
    c = TLSchemaCompiler()
    assert c.entries() == ()
    c.compile({"constructors": [entry(1, "a"), entry(2, "b")]})
    assert [e.name for e in c.entries()] == ["a", "b"]
    c.compile({"constructors": [entry(3, "c")]})  # "a" and "b" still decode, but are not this schema's
    assert [e.name for e in c.entries()] == ["c"]
    c.compile("{}")
    assert c.entries() == ()


@pytest.mark.parametrize(
    "entries, names",
    [
        ([entry(1, "a"), {"id": "x", "predicate": "b"}], ["a"]),  # fails inside b, named
        ([entry(1, "a"), entry(1, "b", ("x", "flags.y?int"))], ["a"]),  # ... in its last parameter
        ([entry(1, "a"), entry(1, "b"), 5], ["a", "b"]),  # fails before a name
        ([{"predicate": "a", "params": None}], []),
    ],
)
def test_entries_after_a_failed_compile_are_the_complete_records(entries, names):
    c = TLSchemaCompiler()
    c.compile({"constructors": [entry(9, "earlier")]})
    with pytest.raises((TypeError, ValueError)):
        c.compile({"constructors": entries})
    assert [e.name for e in c.entries()] == names


def test_entries_during_a_compile_show_the_records_made_so_far():
    c = TLSchemaCompiler()
    seen = []

    class Sneaky:
        def __int__(self):
            seen.append([e.name for e in c.entries()])
            return 5

    c.compile({"constructors": [entry(1, "a"), {"id": Sneaky(), "predicate": "b"}, entry(3, "c")]})
    assert seen == [["a"]] and [e.name for e in c.entries()] == ["a", "b", "c"]


def test_entries_of_the_real_layer():
    from Virel import schemas

    data = schemas.api()
    c = TLSchemaCompiler()
    c.compile(data)
    raw = data["constructors"] + data["methods"]
    got = c.entries()
    assert [(e.id, e.name, e.result_type) for e in got] == [
        (int(r["id"]) & 0xFFFFFFFF, r.get("predicate", r.get("method")), r["type"]) for r in raw
    ]
    assert [[(p.name, p.type_name) for p in e.params] for e in got] == [
        [(p["name"], p["type"]) for p in r["params"]] for r in raw
    ]
    send = next(e for e in got if e.name == "messages.sendMessage")
    by_name = {p.name: p for p in send.params}
    assert by_name["entities"][1:] == (
        VEC,
        "flags.3?Vector<MessageEntity>",
        True,
        0,
        3,
        0,
        ((OBJ, "flags.3?MessageEntity", False),),
    )
    assert by_name["random_id"][1:] == (LONG, "long", False, 0, 0, 0, ())


@pytest.mark.parametrize("width", [1, 1500, 5000])
def test_records_around_a_wide_one_keep_their_tables(width):
    # A record's parameter array is carved from the schema's blocks like its texts; a wide one
    # takes a block of its own, and the entries around it keep theirs intact.
    wide = [(f"field_{i}_" + "x" * (i % 7), "int" if i % 3 else "string") for i in range(width)]
    schema = [
        entry(1, "before", ("a", "int"), ("s", "string")),
        entry(2, "wide", *wide),
        entry(3, "after", ("flags", "#"), ("b", "flags.0?long"), ("t", "string")),
    ]
    p = make_parser(schema)
    value = {"_": "wide", **{name: (i if kind == "int" else f"v{i}") for i, (name, kind) in enumerate(wide)}}
    assert p.unpack(p.pack(value)) == value
    for other in [{"_": "before", "a": 7, "s": "x"}, {"_": "after", "b": 2**40, "t": "y"}]:
        assert p.unpack(p.pack(other)) == other
    assert list(p.unpack(p.pack(value))) == ["_", *(name for name, _ in wide)]
