"""A native subclass built on the capsule alone (tests/native/tlsub.cpp): its overrides run, and
everything it leaves alone behaves as the default."""

import ctypes
import gc
import gzip
import struct
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

import Virel.tl as tl
from Virel import schemas
from Virel.tl import TLParser

from conftest import ROOT, SCHEMA_TEXT, entry, private_compiler
from support import builtin_class

SCHEMA = {
    "constructors": [
        entry(
            1,
            "e",
            ("n", "int"),
            ("l", "long"),
            ("s", "string"),
            ("ls", "Vector<long>"),
            ("ss", "Vector<string>"),
            ("d", "date"),
            ("ds", "Vector<date>"),
        ),
        entry(2, "w", ("inner", "E"), ("more", "Vector<E>")),
    ]
}


def outcome(call):
    """A call's result, or its exception with the module's traceback entries."""
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - compared, not swallowed
        names = [f.name for f in traceback.extract_tb(e.__traceback__) if f.filename == "src/Virel/tl"]
        return builtin_class(e), str(e), names  # D34: the kind's class derives from it


def test_overrides_run(tlsub):
    p = tlsub.Parser(SCHEMA, "custom")
    e = {"_": "e", "n": 1, "l": 2, "s": "a", "ls": [3, 4], "ss": ["b", "c"], "d": 5, "ds": [6]}
    out = p.pack({"_": "w", "inner": e, "more": [e, e]})
    assert p.string_writes == 9  # every string, those in vectors included
    d = p.unpack(out)
    # _read_int64 is asked for every long, also in a vector of longs; "date" is an int.
    assert d["inner"] == dict(e, l=3, ls=[4, 5]) and d["more"] == [d["inner"]] * 2
    assert out[4:12] == struct.pack("<II", 1, 1) and out.count(struct.pack("<I", 5)) == 3


PACKED = [
    {"_": "obj", "urgent": True, "note": "hi", "size": 7, "tags": [1, 2]},
    {"_": "holder", "owner": {"_": "user", "name": "n"}, "users": [{"_": "user"}], "late": 1},
    {"_": "holder", "owner": {"_": "user"}, "users": [{"_": "nobody"}]},
    {"_": "user", "name": "\ud800"},
    {"_": "user", "photo": None},
    {"_": "obj", "tags": [-1]},
    {"_": "obj", "size": 2**32},
    {"_": "point", "x": "1.5"},
    {},
    None,
]
UNPACKED = [
    b"",
    b"\xab\0\0\0",
    bytes.fromhex("01000000 01000000 07000000 15c4b51c 05000000"),
    bytes.fromhex("01000000 03000000 02ff6800 07000000 15c4b51c 00000000"),
    bytes.fromhex("11000000 00000000 00000000 10000000") + bytes(8) + b"\xfe\xff\xff",
]


@pytest.mark.parametrize("table", ["custom", "copy"])
def test_what_is_not_overridden_is_the_default(tlsub, table):
    default, native = TLParser(SCHEMA_TEXT), tlsub.Parser(SCHEMA_TEXT, table)
    for value in PACKED:
        assert outcome(lambda: native.pack(value)) == outcome(lambda: default.pack(value)), value
    for data in UNPACKED:
        assert outcome(lambda: native.unpack(data)) == outcome(lambda: default.unpack(data)), data
    made, plain = outcome(lambda: tlsub.Parser("[]", table)), outcome(lambda: TLParser("[]"))
    assert made == plain if table == "copy" else made[:2] == plain[:2]  # custom compiles itself
    assert outcome(lambda: tlsub.Compiler().compile('{"constructors": [{"params": [1]}]}')) == outcome(
        lambda: tl.TLSchemaCompiler().compile('{"constructors": [{"params": [1]}]}')
    )


@pytest.mark.parametrize("table, counted", [("default", 0), ("copy", 1)])
def test_only_a_table_other_than_the_default_is_consulted(tlsub, table, counted):
    # A value's conversion installs the counting table in the middle of pack: the direct path (the
    # default table) never looks at the table again, the table path looks at it for every call.
    p = tlsub.Parser(SCHEMA_TEXT, table)

    class Switch:
        def __int__(self):
            tlsub.use_table(p, "custom")
            return 5

    assert p.pack({"_": "user", "id": Switch(), "name": "x"}) == TLParser(SCHEMA_TEXT).pack(
        {"_": "user", "id": 5, "name": "x"}
    )
    assert p.string_writes == counted


def gzipped(data):
    packed = gzip.compress(data)
    return struct.pack("<IB", 0x3072CFA1, 254) + len(packed).to_bytes(3, "little") + packed + bytes(-len(packed) % 4)


@pytest.mark.parametrize("mode", ["default", "strict", "signed", "inflate"])
def test_default_operations_run_outside_a_call(tlsub, mode):
    # An extension may run the default operations from code of its own, between the parser's calls:
    # there is no call's state then (no trace, no shortage noted, no result type), and they must give
    # what the methods give, leave nothing behind, and crash on nothing.
    kw = {} if mode == "default" else {mode: True}
    p, plain = tlsub.Parser(SCHEMA_TEXT, "copy", **kw), TLParser(SCHEMA_TEXT, **kw)
    for value in [*PACKED, {"_": "user", "name": "x" * 70_000}]:  # the last one grows the buffer
        assert outcome(lambda: tlsub.write_alone(p, value))[:2] == outcome(lambda: plain.pack(value))[:2]
    packed = TLParser(SCHEMA_TEXT).pack(PACKED[1])
    inputs = [*UNPACKED, packed, packed[:-3], gzipped(packed), gzipped(packed[:-3]), gzipped(packed)[:-9]]
    for data in inputs if mode != "strict" else []:  # strict: unpack refuses bytes left over too
        got, want = outcome(lambda: tlsub.read_alone(p, data)), outcome(lambda: plain.unpack(data))
        if got[0] == "ok" and got[1][2]:  # a shortage, which unpack reports where the cursor stopped
            assert want[:2] == (RuntimeError, f"Parse error at position {got[1][1]}"), data
        else:
            assert (got[0], got[1][0] if got[0] == "ok" else got[1]) == want[:2], data
    assert outcome(lambda: p.pack(PACKED[1])) == outcome(lambda: plain.pack(PACKED[1]))
    assert p.unpack(packed[:-3] + b"\0\0\0") == plain.unpack(packed[:-3] + b"\0\0\0")


TYPED = {
    "constructors": [
        entry(1, "e", ("n", "int"), kind="E"),
        entry(2, "w", ("inner", "E"), ("more", "Vector<E>")),
        entry(3, "x", ("n", "int"), kind="X"),
    ]
}
E, X = {"_": "e", "n": 1}, {"_": "x", "n": 1}
PONG = {"_": "pong", "msg_id": 1, "ping_id": 2}


@pytest.mark.parametrize(
    "schema, value, type_text",
    [
        (TYPED, {"_": "w", "inner": E, "more": [E, E]}, None),
        (TYPED, {"_": "w", "inner": X, "more": []}, None),  # a record of another type
        (TYPED, {"_": "w", "inner": E, "more": [E, X]}, None),
        (TYPED, {"_": "w", "inner": 5, "more": []}, None),  # no object at all
        (TYPED, X, "E"),  # the type given to the call
        (TYPED, E, "E"),
        (
            schemas.mtproto(),
            {"_": "msg_container", "messages": [{"_": "message", "msg_id": 1, "seqno": 1, "body": PONG}]},
            None,
        ),
        (schemas.mtproto(), {"_": "message", "msg_id": 1, "seqno": 1, "body": dict(PONG, msg_id="1")}, None),
    ],
)
def test_own_object_writers_keep_strict_encoding(tlsub, schema, value, type_text):
    """A subclass whose _write_value and _write_object are its own, handing on to the default ones:
    strict encoding's type for each object reaches the default _write_object through the parser
    (the call's state), and pack and pack_as give what the plain parser gives, error for error."""
    p, plain = tlsub.Parser(schema, "wrapping", strict=True), TLParser(schema, strict=True)
    for _ in range(2):  # the second time with the first's fits remembered
        for pack in (lambda q: q.pack(value), lambda q: q.pack_as(value, type_text or "Object")):
            got, want = outcome(lambda: pack(p)), outcome(lambda: pack(plain))
            assert got == want


CAPSULE_FIELDS = [0, 4] + [8 + 4 * i for i in range(9)]  # version, size, the struct sizes


@pytest.mark.parametrize("offset", CAPSULE_FIELDS)
def test_an_interface_of_another_header_is_refused(tlsub, offset):
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    name = ctypes.create_string_buffer(b"Virel.tl._C_API")
    at = api.PyCapsule_GetPointer(tl._C_API, name)
    version = ctypes.c_uint32.from_address(at).value
    fake = ctypes.create_string_buffer(ctypes.string_at(at, ctypes.c_uint32.from_address(at + 4).value))
    ctypes.c_uint32.from_buffer(fake, offset).value += 1
    real = tl._C_API
    tl._C_API = api.PyCapsule_New(ctypes.addressof(fake), name, None)
    try:
        with pytest.raises(
            ImportError,
            match=f"version {version + 1}, this extension was built for version {version}$"
            if offset == 0
            else "struct sizes differ",
        ):
            tlsub.import_api()
    finally:
        tl._C_API = real
    assert tlsub.import_api() is None


# What stands where the capsule should, and what TLCapi_Import says of it (None: it finds the interface).
CAPSULE_SWAPS = {
    "missing": ("del tl._C_API", "ImportError: Virel.tl._C_API is missing"),
    "an int": ("tl._C_API = 7", "ImportError: Virel.tl._C_API is not a capsule (found int)"),
    "another name": (
        "tl._C_API = capsule(b'x')",
        "ImportError: Virel.tl._C_API is a capsule named 'x', expected 'Virel.tl._C_API'",
    ),
    "no name": (
        "tl._C_API = capsule(None)",
        "ImportError: Virel.tl._C_API is a capsule without a name, expected 'Virel.tl._C_API'",
    ),
    # The module is found in sys.modules, not through the package's attribute.
    "package attribute": ("Virel.tl = None", "None"),
}


@pytest.mark.parametrize("swap", CAPSULE_SWAPS)
def test_a_missing_or_foreign_capsule_is_an_import_error(tlsub, swap):
    code, expected = CAPSULE_SWAPS[swap]
    script = textwrap.dedent(f"""
        import ctypes, importlib.util, sys
        import Virel, Virel.tl as tl
        found = importlib.util.spec_from_file_location("tlsub_build", sys.argv[1])
        builder = importlib.util.module_from_spec(found)
        found.loader.exec_module(builder)
        tlsub = builder.load()
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        target = ctypes.c_int()  # a capsule may not hold null
        capsule = lambda name: new(ctypes.addressof(target), name, None)
        {code}
        try:
            print(tlsub.import_api())
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
    """)
    # In a process of its own: the module of this one keeps its capsule.
    done = subprocess.run(
        [sys.executable, "-c", script, str(ROOT / "tests" / "native" / "tlsub_build.py")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == expected


def test_result_type_falls_back_to_the_name(tlsub):
    c = tl.TLSchemaCompiler()
    c.compile(
        {
            "constructors": [
                {"predicate": "a", "type": "T"},
                {"predicate": "b"},
                {"predicate": "c", "type": ""},
                {"predicate": "d", "type": None},
                {"type": "U"},
                {},
            ]
        }
    )
    assert tlsub.result_types(c) == [(b"a", b"T"), (b"b", b"b"), (b"c", b"c"), (b"d", b"d"), (b"U", b"U"), (b"", b"")]


VICTIM = {
    "constructors": [
        entry(7, "victim", ("ls", "Vector<long>"), ("s", "string"), ("t", "string"), ("n", "int"), ("u", "string"))
    ]
}


def victim_bytes(**changes):
    return TLParser(VICTIM).pack({"_": "victim", "ls": [1, 2], "s": "a", "t": "b", "n": 3, "u": "c", **changes})


def grow(d):
    d.update((f"k{i}", i) for i in range(100))


@pytest.mark.parametrize("change", [dict.clear, grow, lambda d: d.pop("n", None), lambda d: d.update(n=None)])
def test_python_code_run_by_an_operation_cannot_corrupt_the_dict_being_filled(tlsub, change):
    # The hooked string reader runs Python code in the middle of an object; whatever of the object it
    # finds through the collector and changes, nothing else may receive its values.
    p = tlsub.Parser(VICTIM, "hooked")
    data = victim_bytes()
    bystanders = []

    def hook():
        for o in gc.get_objects():
            if type(o) is dict and o.get("_") == "victim":
                change(o)
        bystanders.append({"x": 1, "y": 2, "z": 3, "w": 4, "v": 5, "q": 6})

    tlsub.set_hook(hook)
    try:
        p.unpack(data)
    finally:
        tlsub.set_hook(None)
    assert bystanders and all(b == {"x": 1, "y": 2, "z": 3, "w": 4, "v": 5, "q": 6} for b in bystanders)


class Box:
    pass


BOXES = {"constructors": [entry(8, "boxes", ("s", "string"), ("n", "int"), ("t", "string"))]}


@pytest.mark.parametrize("table", ["hooked", "copy"])
def test_a_decoded_dict_holding_any_container_is_tracked(tlsub, table):
    p = tlsub.Parser(BOXES, table)
    data = TLParser(BOXES).pack({"_": "boxes", "s": "a", "n": 1, "t": "b"})
    tlsub.set_hook(Box)  # every string read becomes a Box, an instance: a container of the collector
    try:
        d = p.unpack(data)
    finally:
        tlsub.set_hook(None)
    assert gc.is_tracked(d) == (table == "hooked")
    if table == "hooked":  # a cycle through the dict is collected
        box = d["s"]
        box.back = d
        alive = weakref.ref(box)
        del d, box
        gc.collect()
        assert alive() is None


def test_a_parser_that_replaced_its_compiler_goes_on_after_compiles_on_it(tlsub):
    # The custom parser swapped the compiler its base made for its own, and took that one's schema.
    p = tlsub.Parser(SCHEMA, "custom")
    compiler = private_compiler(p)
    assert type(compiler) is tlsub.Compiler
    e = {"_": "e", "n": 1, "l": 2, "s": "a", "ls": [3], "ss": [], "d": 5, "ds": []}
    x = {"_": "x", "n": 4}
    for schema in ({"constructors": [entry(3, "x", ("n", "date"))]}, SCHEMA, SCHEMA):
        compiler.compile(schema)
        assert p.unpack(p.pack(e)) == dict(e, l=3, ls=[4])  # first only the earlier tables have "e"
        assert p.unpack(p.pack(x)) == x  # then only the earlier tables have "x"
    del p, compiler
    gc.collect()


ODD = {"constructors": [entry(1, "e", ("x", "odd"), ("n", "int")), entry(2, "v", ("xs", "Vector<odd>"))]}
WRITE, READ = "Virel.tl.TLParser._write_value", "Virel.tl.TLParser._read_value"
OBJECT_WRITE, OBJECT_READ = ["Virel.tl.TLParser._write_object", WRITE], ["Virel.tl.TLParser._read_object", READ]


@pytest.mark.parametrize(
    "call, note, entries",
    [
        (
            lambda p: p.pack({"_": "e", "x": 1, "n": 2}),
            "at e.x (records: e)",
            ["Virel.tl.TLParser.pack", *OBJECT_WRITE],
        ),
        (
            lambda p: p.pack({"_": "v", "xs": [1]}),
            "at v.xs[0] (records: v)",
            ["Virel.tl.TLParser.pack", *OBJECT_WRITE, "Virel.tl.TLParser._write_vector", WRITE],
        ),
        (lambda p: p.pack_as(1, "odd"), "at odd", ["Virel.tl.TLParser.pack_as", WRITE]),
        (
            lambda p: p.unpack(b"\1\0\0\0\5\0\0\0"),
            "at e.x (records: e); the failing read began at byte 4, in e",
            ["Virel.tl.TLParser.unpack", *OBJECT_READ],
        ),
        (
            lambda p: p.unpack(b"\2\0\0\0\x15\xc4\xb5\x1c\1\0\0\0\5\0\0\0"),
            "at v.xs[0] (records: v); the failing read began at byte 12, in v",
            ["Virel.tl.TLParser.unpack", *OBJECT_READ, "Virel.tl.TLParser._read_vector", READ],
        ),
    ],
)
@pytest.mark.parametrize("modes", [{}, {"strict": True}, {"signed": True}], ids=["default", "strict", "signed"])
def test_a_kind_the_codec_does_not_know_is_refused_where_it_is_met(tlsub, modes, call, note, entries):
    # The compiler of a subclass may give a kind of its own: strict lets it through to the writer,
    # which refuses it as the reader does.
    p = tlsub.Parser(ODD, "custom", **modes)
    assert outcome(lambda: call(p)) == (ValueError, "Unknown type: 99", entries)
    with pytest.raises(ValueError) as caught:
        call(p)
    assert caught.value.__notes__ == [note]
    assert p.pack({"_": "v", "xs": []}) == struct.pack("<3I", 2, 0x1CB5C415, 0)  # no element, no kind asked


@pytest.mark.parametrize("type_text", ["refused", "Vector<refused>", "flags.0?Vector<Vector<refused>>"])
def test_a_failure_of_parse_type_fails_the_compile(tlsub, type_text):
    # Also where it is asked about a vector's element type.
    c = tlsub.Compiler()
    schema = {"constructors": [entry(1, "a"), entry(2, "e", ("flags", "#"), ("x", type_text))]}
    assert outcome(lambda: c.compile(schema)) == (
        LookupError,
        "no type refused",
        [
            "Virel.tl.TLSchemaCompiler.compile",
            "Virel.tl.TLSchemaCompiler._parse_json_schema",
            "Virel.tl.TLSchemaCompiler._create_constructor",
        ],
    )
    assert [e.name for e in c.entries()] == ["a"]
    c.compile({"constructors": [entry(2, "e", ("x", "Vector<date>"))]})  # the compiler goes on
    assert [e.name for e in c.entries()] == ["e"]
