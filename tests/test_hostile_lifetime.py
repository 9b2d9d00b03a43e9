"""Hostile input against what the module holds: dicts that change or raise while compile reads
them, allocations that fail, and records, traces and caches that must not outlive their schema."""

import gc
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Virel.tl import TLParser, TLSchemaCompiler

from conftest import entry, heap_in_use, new_parser, private_compiler


def fresh(text):
    """A str made at run time (never interned): it dies with the last reference to it."""
    return "".join(list(text))


class Clears:
    """A key that collides with `target` and empties the dict it is looked up in."""

    def __init__(self, target, victim):
        self.target, self.victim, self.armed = target, victim, False

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.armed:
            self.victim.clear()
        return False


class Boom(Exception):
    pass


class Raises:
    """A key that collides with `target` and raises when compared."""

    def __init__(self, target):
        self.target, self.armed = target, False

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.armed:
            raise Boom(self.target)
        return False


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - compared, not swallowed
        return type(e), str(e)


def hostile_schema(target, where, make):
    """A one-entry schema whose entry (or its one parameter's dict) holds the hostile key ahead
    of `target`, so that looking `target` up meets it first."""
    param = {}
    e = {}
    d = e if where == "entry" else param
    key = make(target, d)
    d[key] = 0
    e.update({"predicate": fresh("victimName"), "id": fresh("12"), "type": fresh("Victim"), "params": [param]})
    param.update({"name": fresh("victimParam"), "type": fresh("int")})
    key.armed = True
    return {"constructors": [e]}


READS = [("entry", k) for k in ("predicate", "id", "type", "params")] + [("param", k) for k in ("name", "type")]


@pytest.mark.parametrize("where, target", READS)
def test_a_key_that_empties_the_dict_read_is_survived(where, target):
    # The name read before the dict empties is still named in the refusal (it was freed, and
    # formatted, before).
    for strict in (True, False):
        got = outcome(lambda: TLSchemaCompiler().compile(hostile_schema(target, where, Clears), strict=strict))
        assert got[0] in ("ok", ValueError, KeyError, TypeError), got
        if strict and got[0] is ValueError and target != "predicate":
            assert "victimName" in got[1], got


@pytest.mark.parametrize("where, target", READS)
def test_a_key_that_raises_fails_the_strict_compile_as_the_lenient_one(where, target):
    def make(t, _):
        return Raises(t)

    lenient = outcome(lambda: TLSchemaCompiler().compile(hostile_schema(target, where, make)))
    strict = outcome(lambda: TLSchemaCompiler().compile(hostile_schema(target, where, make), strict=True))
    assert lenient[0] is Boom
    assert strict == lenient


def test_a_failed_allocation_in_a_strict_compile_is_a_memory_error():
    _testcapi = pytest.importorskip("_testcapi")
    schema = {
        "constructors": [
            entry(fresh("1"), "a", ("flags", "#"), ("x", "flags.0?int"), ("v", "Vector<long>")),
            entry(-5, "b", ("s", "string"), kind="U"),
        ],
        "methods": [entry(7, "m", ("q", "a"), kind="a")],
    }
    wrong = []
    for position in range(600):
        c = TLSchemaCompiler()
        _testcapi.set_nomemory(position, position + 1)
        try:
            c.compile(schema, strict=True)
        except MemoryError:
            pass
        except Exception as e:  # noqa: BLE001 - collected and reported
            wrong.append((position, type(e).__name__, str(e)))
        finally:
            _testcapi.remove_mem_hooks()
    assert not wrong


@pytest.mark.parametrize("table", ["default", "copy", "hooked", "recovering"])
def test_a_failed_allocation_in_a_call_is_its_error_or_a_memory_error(tlsub, table):
    """Native parsers sharing a compiler that compiled again, each call failing one allocation:
    every failure carries its exception (the call's own, or MemoryError). The method is called
    from this frame while allocations fail: CPython itself loses an exception in flight when a
    frame of Python code ends then, which would read as the module's fault."""
    _testcapi = pytest.importorskip("_testcapi")
    schema = outer_schema()
    c = TLSchemaCompiler()
    c.compile(schema)
    parsers = [tlsub.Parser(schema, table, strict=strict) for strict in (False, True)]
    for p in parsers:
        tlsub.share(p, c)
    c.compile(outer_schema())
    whole = parsers[0].pack({"_": "outer", "n": [{"_": "inner", "obj": {"_": "obj", "v": 5}}]})
    recovered = struct.pack("<IIII", 1, 0x1CB5C415, 1, 2) + struct.pack("<I", 0xDEAD)
    calls = []
    for p in parsers:
        calls += [
            (p.unpack, whole),
            (p.unpack, whole[:-3]),  # a shortage
            (p.unpack, struct.pack("<I", 9) + whole),  # an unknown identifier
            (p.unpack, recovered),  # a failure inside that the recovering table clears
            (p.unpack, whole + bytes(4)),  # left over (strict)
            (p.pack, {"_": "outer", "n": [{"_": "inner", "obj": {"_": "obj", "v": 5}}]}),
            (p.pack, {"_": "outr"}),
            (p.pack, {"_": "obj", "v": 5, "w": 1}),  # an unknown key (strict)
            (p.pack, {"_": "obj", "v": 5, "w" * 300: 1}),  # one shown cut (strict)
            (c.compile, outer_schema()),
        ]
    wrong = []
    for method, arg in calls:
        try:
            method(arg)
            expected = None
        except Exception as e:  # noqa: BLE001 - the outcome to compare with
            expected = type(e)
        for position in range(40):
            _testcapi.set_nomemory(position, position + 1)
            try:
                method(arg)
                got = None
            except Exception as e:  # noqa: BLE001 - collected and reported
                got = e
            finally:
                _testcapi.remove_mem_hooks()
            if got is not None and not isinstance(got, MemoryError) and type(got) is not expected:
                wrong.append((method.__name__, position, repr(got)))
    assert not wrong


# ---- Keys strict pack refuses: the suggestion's work is bounded, and every key gets the refusal ----
LONG_NAMES = {
    "constructors": [
        entry(1, "r", ("flags", "#"), ("user_id", "int"), ("x" * 60, "flags.0?int"), ("y" * 60 + "z", "flags.1?int"))
    ]
}


@pytest.mark.parametrize(
    "key, message",
    [
        ("userid", "'userid' is no parameter of 'r' (did you mean 'user_id'?)"),
        ("x" * 59 + "q", "(did you mean '" + "x" * 60 + "'?)"),
        ("y" * 60 + "q", "(did you mean '" + "y" * 60 + "z'?)"),
        ("user_id\ud800", "'user_id\\ud800' is no parameter of 'r'"),
        ("\udfff", "'\\udfff' is no parameter of 'r'"),
        ("u" * 2_000_000, "'" + "u" * 200 + "'... (2000000 characters) is no parameter of 'r'"),
        ("\u0101" * 4_000_000, "'" + "\u0101" * 200 + "'... (4000000 characters) is no parameter of 'r'"),
        ("\U0001f600" * 201, "'" + "\U0001f600" * 200 + "'... (201 characters) is no parameter of 'r'"),
        ("x" * 200, "'" + "x" * 200 + "' is no parameter of 'r'"),
    ],
)
def test_an_unknown_key_is_refused_with_a_near_name_only(key, message):
    p = TLParser(LONG_NAMES, strict=True)
    with pytest.raises(ValueError) as info:
        p.pack({"_": "r", "user_id": 1, key: 1})
    text = str(info.value)
    assert text.endswith(message)
    assert "did you mean" not in text or len(key) < 128


@settings(max_examples=200, deadline=None)
@given(st.text(st.characters(max_codepoint=0x1FF), max_size=40), st.integers(0, 255), st.integers(0, 17))
def test_an_unknown_key_is_named_by_its_repr(text, code, at):
    # Every Latin-1 character anywhere in a key, any text up to U+1FF; a key past 200 characters
    # is shown by its first 200 (D46).
    p = TLParser(LONG_NAMES, strict=True)
    for key in (text, ("k" * 17)[:at] + chr(code) + "k" * 9, "k" * 190 + text):
        if key in ("_", "user_id", "flags"):
            continue
        with pytest.raises(ValueError) as info:
            p.pack({"_": "r", key: 1})
        shown = repr(key) if len(key) <= 200 else f"{key[:200]!r}... ({len(key)} characters)"
        message = str(info.value)
        assert message == f"{shown} is no parameter of 'r'" or "(did you mean" in message


def _distance(a, b):
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1]))
    return row[-1]


NAMES = ["ab", "abcdef", "user_id", "q" * 20, "qr" * 30]


@settings(max_examples=300, deadline=None)
@given(st.text("abcdefqr_u", max_size=70))
def test_the_near_name_is_the_closest_by_the_full_edit_distance(key):
    p = TLParser({"constructors": [entry(1, "r", *[(n, "int") for n in NAMES])]}, strict=True)
    best = None
    for n in NAMES:
        d = _distance(key.encode(), n.encode())
        if d * 3 <= max(len(key), len(n)) and (best is None or d < best[0]):
            best = (d, n)
    if key in NAMES or key == "_":
        return
    with pytest.raises(ValueError) as info:
        p.pack({"_": "r", key: 1})
    assert str(info.value).endswith(f"(did you mean '{best[1]}'?)" if best else "is no parameter of 'r'")


# ---- Records, traces and caches never outlive their schema ----
def outer_schema(name="outer"):
    return {
        "constructors": [
            entry(1, name, ("n", "Vector<Inner>")),
            entry(2, "inner", ("obj", "Obj"), kind="Inner"),
            entry(3, "obj", ("v", "int"), kind="Obj"),
        ]
    }


def note_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


def test_a_recovered_failure_leaves_no_trace_for_the_next_call(tlsub):
    # n = [inner(obj=<unknown id>)]: the vector's ValueError is turned into [] by the override.
    recovered = struct.pack("<IIII", 1, 0x1CB5C415, 1, 2) + struct.pack("<I", 0xDEAD)
    fresh_parser = tlsub.Parser(outer_schema(), "recovering")
    short = struct.pack("<II", 1, 0x1CB5C415)  # the vector's count is missing
    expected = note_of(lambda: fresh_parser.unpack(short))
    p = tlsub.Parser(outer_schema(), "recovering")
    assert p.unpack(recovered) == {"_": "outer", "n": []}
    assert note_of(lambda: p.unpack(short)) == expected
    # Once a recompile has released that schema, nothing of it is read.
    assert p.unpack(recovered) == {"_": "outer", "n": []}
    private_compiler(p).compile(outer_schema("outer"))
    gc.collect()
    assert note_of(lambda: p.unpack(short)) == expected


def test_parsers_sharing_a_compiler_survive_its_compiles_in_their_calls(tlsub):
    c = TLSchemaCompiler()
    first = {"constructors": [entry(1, "a", ("v", "int")), entry(2, "b", ("v", "int"))]}
    c.compile(first)
    one, two = tlsub.Parser(first, "copy"), tlsub.Parser(first, "copy")
    tlsub.share(one, c)
    tlsub.share(two, c)
    packed = []

    class Id:
        def __init__(self, value, parser):
            self.value, self.parser = value, parser

        def __int__(self):
            packed.append(self.parser.pack({"_": "a", "v": 7}))
            return self.value

    for _ in range(3):
        c.compile(
            {
                "constructors": [
                    entry(Id(10, one), "x"),
                    entry(1, "a", ("v", "long")),
                    entry(Id(11, two), "y"),
                    entry(2, "b", ("v", "long")),
                ]
            }
        )
        gc.collect()
        assert one.pack({"_": "a", "v": 7}) == two.pack({"_": "a", "v": 7}) == struct.pack("<Iq", 1, 7)
    assert packed[0] == struct.pack("<Ii", 1, 7)
    assert packed[1] == struct.pack("<Iq", 1, 7)


# ---- Memory a process keeps: earlier layers, names ----
def compile_with_one_more(compiler, layer, times, start=0):
    for i in range(start, start + times):
        extra = {
            "id": 0x7000_0000 + i,
            "predicate": f"onlyHere{i}",
            "type": "Extra",
            "params": [{"name": "v", "type": "Vector<int>"}],
        }
        compiler.compile(dict(layer, constructors=layer["constructors"] + [extra]))


@pytest.mark.plain_build_only
@pytest.mark.parametrize("times", [40, pytest.param(1000, marks=pytest.mark.slow)])
def test_recompiling_a_layer_keeps_only_what_the_maps_still_reach(times):
    import Virel.schemas

    layer = Virel.schemas.api()
    p = TLParser(layer)
    compiler = private_compiler(p)
    compile_with_one_more(compiler, layer, 5)
    assert p.unpack(p.pack({"_": "onlyHere0", "v": [1]})) == {"_": "onlyHere0", "v": [1]}
    gc.collect()
    before = heap_in_use()
    compile_with_one_more(compiler, layer, times, start=5)
    gc.collect()
    assert heap_in_use() - before < (20 if times == 1000 else 4) * 2**20
    # Every name an earlier compile alone defined still packs and unpacks.
    for i in (0, 4, 5, times // 2, times + 4):
        value = {"_": f"onlyHere{i}", "v": [i]}
        assert p.unpack(p.pack(value)) == value
        assert p.unpack(struct.pack("<IIII", 0x7000_0000 + i, 0x1CB5C415, 1, i)) == value


@pytest.mark.plain_build_only
def test_names_of_parsers_gone_are_not_kept():
    def use_once(n):
        schema = {"constructors": [entry(i, f"rec{n}_{i}", (f"field{n}_{i}", "int")) for i in range(1, 101)]}
        p = TLParser(schema)
        for i in range(1, 101):
            p.unpack(p.pack({"_": f"rec{n}_{i}", f"field{n}_{i}": i}))

    use_once(0)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for n in range(1, 51):
        use_once(n)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 1000  # 10,000 names kept for good: 20,000 blocks


@pytest.mark.usefixtures("codec_path")
def test_decoded_objects_carry_the_callers_interned_names():
    """Pack meets a caller's interned keys (literals): from then on they are the plan's names,
    so later calls and the caller's lookups in decoded dicts match them by identity."""
    name, key, opt = fresh("idRecord"), fresh("id_key"), fresh("id_opt")  # the schema's own strs
    p = new_parser({"constructors": [entry(1, name, ("flags", "#"), (opt, "flags.0?int"), (key, "int"))]})
    # Out of order, an optional key absent: the keys are matched through the record's key table.
    data = p.pack({"id_key": 5, "_": "idRecord"})
    assert data == p.pack({"_": name, key: 5}) == struct.pack("<IIi", 1, 0, 5)
    value = p.unpack(data)
    assert value["_"] is sys.intern("idRecord") and list(value)[2] is sys.intern("id_key")
    value = p.unpack(p.pack({"_": "idRecord", "id_opt": 7, "id_key": 5}))
    assert all(k is literal for k, literal in zip(value, ("_", "id_opt", "id_key"), strict=True))
    assert p.unpack(p.pack(value)) == value == {"_": "idRecord", "id_opt": 7, "id_key": 5}
