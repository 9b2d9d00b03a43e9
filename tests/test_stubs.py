"""`virel stubs`: the typed dictionaries of a schema, as code that is safe to import and right to a type checker."""

import json
import subprocess
import sys

import pytest

from Virel.cli import main, stubs

# Records whose names are builtins the annotations use, names that are no identifiers or come out
# the same, keywords, a name the module binds itself, and texts that would close a string.
HOSTILE = {
    "constructors": [
        {"id": 1, "predicate": "int", "type": "X", "params": [{"name": "v", "type": "int"}]},
        {"id": 2, "predicate": "bytes", "type": "X", "params": [{"name": "b", "type": "bytes"}]},
        {"id": 3, "predicate": "str", "type": "X", "params": [{"name": "s", "type": "string"}]},
        {"id": 4, "predicate": "list", "type": "X", "params": [{"name": "l", "type": "Vector<int>"}]},
        {"id": 5, "predicate": "float", "type": "X", "params": [{"name": "d", "type": "double"}]},
        {
            "id": 6,
            "predicate": "bool",
            "type": "bool",
            "params": [{"name": "t", "type": "Bool"}, {"name": "x", "type": "X"}],
        },
        {"id": 7, "predicate": "a\u00bd", "type": "a_", "params": []},
        {"id": 8, "predicate": "a_", "type": "a_", "params": []},
        {"id": 9, "predicate": "a_a", "type": "a_", "params": []},
        {"id": 10, "predicate": "typed", "type": "class", "params": []},
        {
            "id": 11,
            "predicate": "q\"\"\"\n'''\\",
            "type": "Y'\n",
            "params": [
                {"name": 'x"""; print("INJECTED"); """', "type": "int"},
                {"name": "flags\0x", "type": "#"},
                {"name": "o", "type": "flags\0x.0?string"},
                {"name": "\x1b[2J\u2028", "type": "long"},
            ],
        },
        {"id": 12, "predicate": "_t", "type": "_b", "params": [{"name": "_b", "type": "Y'\n"}]},
        {"id": 13, "predicate": "TypedParser", "type": "AnyConstructor", "params": []},  # D43
    ]
}

USE_HOSTILE = '''\
import tl_types as T
a: T.int = {"_": "int", "v": 1}
b: T.bytes = {"_": "bytes", "b": b"x"}
c: T.list = {"_": "list", "l": [1, 2]}
d: T.bool = {"_": "bool", "t": True, "x": {"_": "str", "s": "x"}}
e: T.float = {"_": "float", "d": 1.5}
f: T.T_b = {"_": "_t", "_b": {"_": 'q"""\\n\\'\\'\\'\\\\', 'x"""; print("INJECTED"); """': 1, "o": None, "\\x1b[2J\\u2028": 2}}
bad_b: T.bytes = {"_": "bytes", "b": "x"}
bad_l: T.list = {"_": "list", "l": ["x"]}
bad_x: T.bool = {"_": "bool", "t": True, "x": {"_": "typed"}}
bad_s: T.str = {"_": "str", "s": b"x"}
'''


def test_hostile_names_give_code_that_imports_and_injects_nothing(capsys, tmp_path):
    path = tmp_path / 'x""";print("INJECTED");""".json'
    path.write_text(json.dumps(HOSTILE))
    assert main(["stubs", "--schema", str(path), "-o", str(tmp_path / "tl_types.py")]) == 0
    text = (tmp_path / "tl_types.py").read_text(encoding="utf-8")
    namespace: dict = {}
    exec(compile(text, "tl_types.py", "exec"), namespace)
    assert "INJECTED" not in capsys.readouterr().out
    assert str(path) in namespace["__doc__"]
    by_name = {
        td.__annotations__["_"].__args__[0]: (py, td)
        for py, td in namespace.items()
        if isinstance(td, type) and "_" in getattr(td, "__annotations__", {})
        if py not in stubs.typed_view.NAMES and not py.startswith("_")  # the records, not the view's
    }
    # Every record has its own identifier; none starts with "_" or is one the module binds.
    assert {name: py for name, (py, _) in by_name.items()} == {
        "int": "int",
        "bytes": "bytes",
        "str": "str",
        "list": "list",
        "float": "float",
        "bool": "bool",
        "a\u00bd": "a_",
        "a_": f"a__{stubs.zlib.crc32(b'a_'):08x}",
        "a_a": "a_a",
        "typed": "typed_",
        "q\"\"\"\n'''\\": "q________",
        "_t": "T_t",
        "TypedParser": "TypedParser_",
    }
    hostile = by_name["q\"\"\"\n'''\\"][1]
    # The flags word is the compiler's (a name cut at its NUL), and no key of the dict.
    assert hostile.__required_keys__ == {"_", 'x"""; print("INJECTED"); """', "\x1b[2J\u2028"}
    assert hostile.__optional_keys__ == {"o"}
    assert namespace["a__Type"] is not None and namespace["class_"] is not None and namespace["T_b"] is not None
    assert namespace["AnyConstructor_"] is not None  # the type, beside the view's own name
    # The types are the builtins, not the records named after them.
    assert namespace["bytes"].__annotations__["b"] is bytes
    assert namespace["list"].__annotations__["l"] == list[int]


def test_mypy_checks_the_hostile_stubs(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "s.json").write_text(json.dumps(HOSTILE))
    assert main(["stubs", "--schema", str(tmp_path / "s.json"), "-o", str(tmp_path / "tl_types.pyi")]) == 0
    (tmp_path / "use.py").write_text(USE_HOSTILE)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py", "tl_types.pyi"],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=tmp_path,
    )
    lines = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert all(line.startswith("use.py:") for line in lines), out.stdout  # nothing in the stubs
    assert sorted({int(line.split(":")[1]) for line in lines}) == [8, 9, 10, 11], out.stdout


STUB_SCHEMA = {
    "constructors": [
        {
            "id": 1,
            "predicate": "a.b",
            "type": "X",
            "params": [
                {"name": "flags", "type": "#"},
                {"name": "from", "type": "flags.0?Vector<X>"},
                {"name": "n", "type": "#"},
                {"name": "t", "type": "flags.1?true"},
                {"name": "q", "type": "!X"},
                {"name": "v", "type": "Vector<Vector<long>>"},
                {"name": "d", "type": "double"},
                {"name": "s", "type": "bytes"},
                {"name": "e", "type": "Vector t"},
            ],
        },
        {"id": 2, "predicate": "True", "type": "a.b"},  # a keyword; a type named like a constructor
        {"id": 3, "predicate": "a_b", "type": "X"},  # the same identifier as a.b
    ],
    "methods": [{"id": 4, "method": "get", "type": "Vector<X>", "params": [{"name": "id", "type": "int"}]}],
}


def test_stubs_name_and_type_every_record(capsys, tmp_path):
    path = tmp_path / "s.json"
    path.write_text(json.dumps(STUB_SCHEMA))
    assert main(["stubs", "--schema", str(path)]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    namespace: dict = {}
    exec(compile(out, "tl_types.py", "exec"), namespace)  # also a module that imports at run time
    a_b = namespace["a_b"]
    assert a_b.__required_keys__ == {"_", "n", "q", "v", "d", "s", "e"}
    assert a_b.__optional_keys__ == {"from", "t"}
    assert "'from': _t.NotRequired['_b.list[X] | None']" in out and "'t': _t.NotRequired[_b.bool | None]" in out
    assert "'q': _Mapping[_b.str, _t.Any]" in out and "'v': _b.list[_b.int]" in out and "'s': _b.bytes" in out
    assert "'e': _b.list[_t.Any]" in out and "'d': _b.float" in out
    assert "True_ = _t.TypedDict('True_', {'_': _t.Literal['True']})" in out
    assert "a_b_Type: _t.TypeAlias = 'True_'" in out  # the type a.b, beside the record a.b
    assert f"a_b_{stubs.zlib.crc32(b'a_b'):08x} = _t.TypedDict" in out
    assert "X: _t.TypeAlias = 'a_b | a_b_" in out
    assert "get = _t.TypedDict('get', {'_': _t.Literal['get'], 'id': _b.int})" in out


VIEW_SCHEMA = """
inputPeerSelf#7da07ec9 = InputPeer;
inputPeerUser#dde8a54c user_id:long access_hash:long = InputPeer;
userEmpty#d3bc4b7a id:long = User;
user#83314fca flags:# id:long access_hash:flags.0?long first_name:flags.1?string = User;
---functions---
messages.sendMessage#fa88427a peer:InputPeer message:string random_id:long = Vector<User>;
"""

# One program holding every call the view must type: the right ones first, then one wrong call a
# line, each of which mypy must report on its own line, naming the key where there is one.
VIEW_PROGRAM = """\
from Virel.tl import TLParser
import tl_types
p = tl_types.typed(TLParser(""))
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": 7})
u = p.unpack(b"")
if u["_"] == "user":
    h: int | None = u["access_hash"]
users, end = p.unpack_from(b"", 0, "Vector<User>")
for v in users:
    if v["_"] == "user":
        h = v.get("access_hash")
one, _ = p.unpack_from(b"", type="User")
p.pack_as([{"_": "userEmpty", "id": 1}], "Vector<User>")
p.pack_into(bytearray(), {"_": "inputPeerSelf"})
p.pack_into(bytearray(), [1, 2], "Vector<long>")
any_value, _ = p.unpack_from(b"", 0, "%User")
any_value.whatever
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "mesage": "hi", "random_id": 7})
p.pack({"_": "messages.sendMessage", "peer": {"_": "userEmpty", "id": 1}, "message": "hi", "random_id": 7})
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": "7"})
p.pack({"_": "messages.sendMesage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": 7})
p.pack({"message": "hi"})
if u["_"] == "user":
    u["acess_hash"]
if v["_"] == "userEmpty":
    v["access_hash"]
p.pack_as([{"_": "userEmpty", "idd": 1}], "Vector<User>")
p.pack_into(bytearray(), {"_": "inputPeerSelff"})
p.pack_into(bytearray(), ["x"], "Vector<long>")
s: str = one["id"]
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerUser", "user_id": 1, "acess_hash": 2}, "message": "", "random_id": 7})
p.pack_as({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf", "x": 1}, "message": "", "random_id": 7}, "Vector<User>")
"""
VIEW_ERRORS = {
    18: ['Extra key "mesage"', 'Missing key "message"'],
    19: ['TypedDict item "peer" has type'],
    20: ['TypedDict item "random_id" has type "int"'],
    21: ['No record named "messages.sendMesage" in the schema (did you mean: messages.sendMessage?)'],
    22: ['A record needs "_"'],
    24: ['"AnyConstructor" has no key "acess_hash"'],
    26: ['TypedDict "userEmpty" has no key "access_hash"'],
    27: ['Extra key "idd" for TypedDict "userEmpty"', 'Missing key "id"'],
    28: ['No record named "inputPeerSelff"'],
    29: ['List item 0 has incompatible type "str"'],
    30: ['Incompatible types in assignment (expression has type "int", variable has type "str")'],
    31: ['Extra key "acess_hash" for TypedDict "inputPeerUser"', 'Missing key "access_hash"', 'TypedDict item "peer"'],
    32: ['Argument 1 to "pack_as"'],  # a record where a vector goes
}


def _mypy(cwd, *files, plugin=True):
    config = cwd / "mypy.ini"
    config.write_text("[mypy]\nplugins = Virel.mypy_plugin\n" if plugin else "[mypy]\n")
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--config-file", str(config), *files],
        capture_output=True,
        text=True,
        timeout=900,
        cwd=cwd,
    )
    errors: dict[int, list[str]] = {}
    for line in out.stdout.splitlines():
        if ": error:" in line:
            assert line.startswith(files[0] + ":"), out.stdout[:3000]  # nothing in the stubs themselves
            errors.setdefault(int(line.split(":")[1]), []).append(line)
    return errors, out.stdout[:3000]


def test_the_typed_view_types_every_method_for_the_schema(tmp_path):
    pytest.importorskip("mypy")
    from Virel.tl import TLParser
    from Virel.tl_text import convert

    schema = convert(VIEW_SCHEMA)
    (tmp_path / "s.json").write_text(json.dumps(schema))
    assert main(["stubs", "--schema", str(tmp_path / "s.json"), "-o", str(tmp_path / "tl_types.py")]) == 0
    namespace: dict = {}
    exec(compile((tmp_path / "tl_types.py").read_text(), "tl_types.py", "exec"), namespace)
    parser = TLParser(schema)
    assert namespace["typed"](parser) is parser  # the parser itself at run time
    (tmp_path / "prog.py").write_text(VIEW_PROGRAM)
    errors, out = _mypy(tmp_path, "prog.py", "tl_types.py")
    assert sorted(errors) == sorted(VIEW_ERRORS), out
    for line, expected in VIEW_ERRORS.items():
        assert all(any(text in e for e in errors[line]) for text in expected), out


BUNDLED_PROGRAM = """\
from Virel import schemas
from Virel.tl import TLParser
import tl_types
p = tl_types.typed(TLParser(schemas.api()))
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": 7})
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "mesage": "hi", "random_id": 7})
p.pack({"_": "messages.sendMessage", "peer": {"_": "userEmpty", "id": 1}, "message": "hi", "random_id": 7})
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerSelf"}, "message": "hi", "random_id": "7"})
u = p.unpack(b"")
if u["_"] == "user":
    u["acess_hash"]
users, _ = p.unpack_from(b"", 0, "Vector<User>")
if users[0]["_"] == "user":
    users[0]["acess_hash"]
p.pack({"_": "messages.sendMessage", "peer": {"_": "inputPeerUser", "user_id": 1, "acess_hash": 2}, "message": "", "random_id": 7})
"""


@pytest.mark.slow
def test_mypy_checks_the_typed_view_of_the_bundled_layer(tmp_path):
    # 2,500 records: what a union of them all would cost mypy minutes, the plugin does in seconds.
    pytest.importorskip("mypy")
    assert main(["stubs", "-o", str(tmp_path / "tl_types.pyi")]) == 0
    (tmp_path / "prog.py").write_text(BUNDLED_PROGRAM)
    errors, out = _mypy(tmp_path, "prog.py", "tl_types.pyi")
    assert sorted(errors) == [6, 7, 8, 11, 14, 15], out
    assert 'Extra key "mesage"' in out and 'TypedDict item "peer"' in out and 'TypedDict item "random_id"' in out
    assert 'TypedDict "user" has no key "acess_hash"' in out and '"AnyConstructor" has no key "acess_hash"' in out
    assert 'Extra key "acess_hash" for TypedDict "inputPeerUser"' in out
