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
    }
    hostile = by_name["q\"\"\"\n'''\\"][1]
    # The flags word is the compiler's (a name cut at its NUL), and no key of the dict.
    assert hostile.__required_keys__ == {"_", 'x"""; print("INJECTED"); """', "\x1b[2J\u2028"}
    assert hostile.__optional_keys__ == {"o"}
    assert namespace["a__Type"] is not None and namespace["class_"] is not None and namespace["T_b"] is not None
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
