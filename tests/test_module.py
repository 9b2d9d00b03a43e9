import copy
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import Virel.tl as tl
from Virel.tl import TLParser, TLSchemaCompiler

from conftest import SCHEMA_TEXT


def test_namespace_holds_the_two_classes_json_and_the_capsule():
    import json

    public = {n for n in dir(tl) if not n.startswith("__")}
    kinds = {
        "TL_INT",
        "TL_LONG",
        "TL_DOUBLE",
        "TL_STRING",
        "TL_BYTES",
        "TL_BOOL",
        "TL_VECTOR",
        "TL_OBJECT",
        "TL_INT128",
        "TL_INT256",
        "TL_BARE_OBJECT",
        "TL_BARE_VECTOR",
    }  # D26, D27
    views = {"TLConstructor", "TLParam", "TLElementType"}  # what TLSchemaCompiler.entries() returns
    errors = {"DecodeError", "TruncatedError", "MalformedError", "EncodeError"} | {  # D34
        n for n in public if n.startswith(("Truncated", "Malformed", "Encode")) and n.endswith("Error")
    }
    assert len(errors) == 4 + 4 + 4 + 9
    assert public == {"TLParser", "TLSchemaCompiler", "json", "_C_API", "_direct_dict_path"} | kinds | views | errors
    assert [
        tl.TL_INT,
        tl.TL_LONG,
        tl.TL_DOUBLE,
        tl.TL_STRING,
        tl.TL_BYTES,
        tl.TL_BOOL,
        tl.TL_VECTOR,
        tl.TL_OBJECT,
        tl.TL_INT128,
        tl.TL_INT256,
        tl.TL_BARE_OBJECT,
        tl.TL_BARE_VECTOR,
    ] == list(range(12))
    assert type(tl._C_API).__name__ == "PyCapsule" and '"Virel.tl._C_API"' in repr(tl._C_API)
    assert tl.json is json
    assert TLParser.__module__ == "Virel.tl" and TLParser.__qualname__ == "TLParser"


def test_reimport_returns_the_same_module_object():
    before = sys.modules.pop("Virel.tl")
    try:
        import importlib

        again = importlib.import_module("Virel.tl")
        assert again is before
        assert again.TLParser is TLParser
    finally:
        sys.modules["Virel.tl"] = before


def test_the_state_is_reached_through_a_reimport():
    # Re-imported, the one module object gets a fresh state block at its creation and the state
    # back at its execution; Python code runs in between. Compile (its keys, json), entries() (its
    # shapes) and the calls in flight (its ledger) reach the state in between and after.
    import importlib.machinery
    import importlib.util

    schema = '{"constructors": [{"id": 1, "predicate": "a", "params": [{"name": "x", "type": "int"}], "type": "A"}]}'

    def use():
        p = TLParser(schema)
        c = TLSchemaCompiler()
        c.compile(schema, strict=True)
        assert [(e.name, [q.name for q in e.params]) for e in c.entries()] == [("a", ["x"])]
        assert p.unpack(p.pack({"_": "a", "x": 7})) == {"_": "a", "x": 7}
        return type(c.entries()[0]) is tl.TLConstructor

    seen = []

    class Loader(importlib.machinery.ExtensionFileLoader):
        def create_module(self, found):
            module = super().create_module(found)
            seen.append(use())
            return module

    class Finder:
        def find_spec(self, name, path=None, target=None):
            if name != "Virel.tl":
                return None
            return importlib.util.spec_from_loader(name, Loader(name, before.__file__), origin=before.__file__)

    before = sys.modules.pop("Virel.tl")
    sys.meta_path.insert(0, Finder())
    try:
        again = importlib.import_module("Virel.tl")
        assert again is before and seen == [True] and use()
    finally:
        sys.meta_path.remove(sys.meta_path[0])
        sys.modules["Virel.tl"] = before


def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import sys
        import Virel.tl
        if sys.version_info >= (3, 13):  # the module was renamed; run_string returns the failure
            import _interpreters as interpreters
            e = interpreters.run_string(interpreters.create("legacy"), "import Virel.tl")
            print(e.type.__name__, e.msg)
        else:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(isolated=False), "import Virel.tl")
            except Exception as e:
                print(type(e).__name__, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process." in out.stdout
    ), out


def test_compiler_constructor_ignores_arguments():
    c = TLSchemaCompiler(1, 2, x=3)
    assert c.compile("{}") is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: TLParser(), "__cinit__() takes exactly 1 positional argument (0 given)"),
        (lambda: TLParser(SCHEMA_TEXT, 1), "__cinit__() takes exactly 1 positional argument (2 given)"),
        (
            lambda: TLParser(SCHEMA_TEXT, schema_json=1),
            "__cinit__() got multiple values for keyword argument 'schema_json'",
        ),
        (lambda: TLParser(schema=SCHEMA_TEXT), "__cinit__() got an unexpected keyword argument 'schema'"),
        (lambda: TLParser(SCHEMA_TEXT).pack({}, {}), "pack() takes exactly 1 positional argument (2 given)"),
        (lambda: TLParser(SCHEMA_TEXT).pack(), "pack() takes exactly 1 positional argument (0 given)"),
        (lambda: TLParser(SCHEMA_TEXT).unpack(), "unpack() takes exactly 1 positional argument (0 given)"),
        (
            lambda: TLParser(SCHEMA_TEXT).unpack(b"", data=b""),
            "unpack() got multiple values for keyword argument 'data'",
        ),
        (
            lambda: TLSchemaCompiler().compile(schema_json="{}"),
            "compile() got an unexpected keyword argument 'schema_json'",
        ),
        (lambda: TLSchemaCompiler().compile(), "compile() takes exactly 1 positional argument (0 given)"),
        (lambda: TLParser(SCHEMA_TEXT).__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
        (lambda: TLParser(SCHEMA_TEXT).__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'"),
        (lambda: TLSchemaCompiler().entries(1), "entries() takes exactly 0 positional arguments (1 given)"),
        (lambda: TLSchemaCompiler().entries(x=1), "entries() got an unexpected keyword argument 'x'"),
        (lambda: TLSchemaCompiler().__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
        (
            lambda: TLParser(SCHEMA_TEXT).unpack(bytearray(b"x")),
            "Argument 'data' has incorrect type (expected bytes, got bytearray)",
        ),
        (
            lambda: TLParser(SCHEMA_TEXT).unpack(memoryview(b"x")),
            "Argument 'data' has incorrect type (expected bytes, got memoryview)",
        ),
        (lambda: TLParser(SCHEMA_TEXT).unpack(None), "object of type 'NoneType' has no len()"),
    ],
)
def test_argument_rules(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_bytes_subclass_is_refused_with_its_name():
    class Blob(bytes):
        pass

    with pytest.raises(TypeError, match=r"expected bytes, got Blob\)"):
        TLParser(SCHEMA_TEXT).unpack(Blob(b"\x01\x00\x00\x00"))


@pytest.mark.usefixtures("direct_path")
def test_keyword_arguments_are_accepted(parser):
    data = parser.pack(value={"_": "empty"})
    assert parser.unpack(data=data) == {"_": "empty"}
    assert TLParser(schema_json=SCHEMA_TEXT).unpack(data) == {"_": "empty"}
    assert TLSchemaCompiler().compile(json_data="{}") is None


@pytest.mark.parametrize("make", [lambda: TLParser(SCHEMA_TEXT), TLSchemaCompiler])
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__(None)])
def test_pickling_and_copying_are_refused(make, how):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        how(make())


@pytest.mark.parametrize("make", [lambda cls: cls(SCHEMA_TEXT) if issubclass(cls, TLParser) else cls()])
@pytest.mark.parametrize("cls", [TLParser, TLSchemaCompiler])
def test_no_new_attributes_but_subclasses_get_a_dict(make, cls):
    with pytest.raises(AttributeError):
        make(cls).extra = 1
    sub = type("Sub", (cls,), {})
    obj = make(sub)
    obj.extra = 1
    assert obj.extra == 1


def test_traceback_entries_name_the_operations():
    import traceback

    p = TLParser(SCHEMA_TEXT)
    with pytest.raises(ValueError) as info:
        p.pack({"_": "holder", "owner": {"_": "user"}, "users": [{"_": "nobody"}]})
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    names = [n for f, n in frames if f == "src/Virel/tl"]
    assert names == [
        "Virel.tl.TLParser.pack",
        "Virel.tl.TLParser._write_object",
        "Virel.tl.TLParser._write_value",
        "Virel.tl.TLParser._write_vector",
        "Virel.tl.TLParser._write_value",
        "Virel.tl.TLParser._write_object",
    ]


def test_compile_failure_traceback_and_cinit_entry():
    import traceback

    bad = '{"constructors": [{"params": [{"name": "a", "type": "x.y.z?int"}]}]}'
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$") as info:
        TLParser(bad)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__) if f.filename == "src/Virel/tl"]
    assert names == [
        "Virel.tl.TLParser.__cinit__",
        "Virel.tl.TLSchemaCompiler.compile",
        "Virel.tl.TLSchemaCompiler._parse_json_schema",
        "Virel.tl.TLSchemaCompiler._create_constructor",
    ]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "patch",
    [
        "TLSchemaCompiler.__new__ = staticmethod(lambda cls, *a, **k: Fake())",
        "TLSchemaCompiler.__new__ = lambda cls, *a, **k: object.__new__(cls)",
        "TLParser.__new__ = lambda cls, *a, **k: object.__new__(cls)",
        "TLParser.compile = 1",
    ],
)
def test_classes_are_immutable_and_subclasses_are_not(patch):
    out = run_python(f"""
        import gc
        from Virel.tl import TLParser, TLSchemaCompiler
        class Fake:
            def compile(self, s): pass
        try:
            {patch}
        except TypeError as e:
            print("refused:", e)
        class P(TLParser):
            pass
        P.anything = 1
        p = P('{{"constructors": []}}')
        p.me = p
        del p
        gc.collect()
        TLSchemaCompiler().compile("{{}}")
    """)
    assert out.returncode == 0, out.stderr
    assert "refused: cannot set" in out.stdout


def test_failed_import_leaves_no_class_behind():
    out = run_python("""
        import sys
        sys.modules.pop("json", None)
        grabbed = []
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "json":
                    grabbed.extend(getattr(sys.modules.get("Virel.tl"), n, None)
                                   for n in ("TLParser", "TLSchemaCompiler"))
                    raise ImportError("no json today")
        sys.meta_path.insert(0, Finder())
        try:
            import Virel.tl
        except ImportError as e:
            print("failed:", e)
        sys.meta_path.pop(0)
        print("grabbed:", grabbed)
        import Virel.tl
        print(Virel.tl.TLParser('{"constructors": []}').pack is not None)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == ["failed: no json today", "grabbed: [None, None]", "True"]


def test_the_dict_path_is_the_one_the_run_claims():
    # A CI run that claims a dict path sets VIREL_EXPECT_PATH: "direct" (the dict tables read and
    # filled in place, on CPython 3.12 and 3.13) or "public" (through the public C API only). A run
    # that claims none expects the path its environment asks for: public with VIREL_PUBLIC_API set
    # (to anything but 0), else direct. The module tells which it took.
    expected = os.environ.get("VIREL_EXPECT_PATH")
    if not expected:
        expected = "public" if os.environ.get("VIREL_PUBLIC_API", "0") not in ("", "0") else "direct"
    assert expected in ("direct", "public"), expected
    assert tl._direct_dict_path is (expected == "direct")
