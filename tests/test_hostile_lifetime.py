"""Hostile input against what the module holds: dicts that change or raise while compile reads
them, allocations that fail, and records, traces and caches that must not outlive their schema."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Virel.tl import TLSchemaCompiler

from conftest import entry


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
    e.update({"predicate": fresh("victimName"), "id": fresh("12"), "type": fresh("Victim"),
              "params": [param]})
    param.update({"name": fresh("victimParam"), "type": fresh("int")})
    key.armed = True
    return {"constructors": [e]}


READS = [("entry", k) for k in ("predicate", "id", "type", "params")] + \
        [("param", k) for k in ("name", "type")]


@pytest.mark.parametrize("where, target", READS)
def test_a_key_that_empties_the_dict_read_is_survived(where, target):
    # The name read before the dict empties is still named in the refusal (it was freed, and
    # formatted, before).
    for strict in (True, False):
        got = outcome(lambda: TLSchemaCompiler().compile(
            hostile_schema(target, where, Clears), strict=strict))
        assert got[0] in ("ok", ValueError, KeyError, TypeError), got
        if strict and got[0] is ValueError and target != "predicate":
            assert "victimName" in got[1], got


@pytest.mark.parametrize("where, target", READS)
def test_a_key_that_raises_fails_the_strict_compile_as_the_lenient_one(where, target):
    def make(t, _):
        return Raises(t)
    lenient = outcome(lambda: TLSchemaCompiler().compile(hostile_schema(target, where, make)))
    strict = outcome(lambda: TLSchemaCompiler().compile(hostile_schema(target, where, make),
                                                        strict=True))
    assert lenient[0] is Boom
    assert strict == lenient


def test_a_failed_allocation_in_a_strict_compile_is_a_memory_error():
    _testcapi = pytest.importorskip("_testcapi")
    schema = {"constructors": [entry(fresh("1"), "a", ("flags", "#"), ("x", "flags.0?int"),
                                     ("v", "Vector<long>")),
                               entry(-5, "b", ("s", "string"), kind="U")],
              "methods": [entry(7, "m", ("q", "a"), kind="a")]}
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


# ---- Keys strict pack refuses: the suggestion's work is bounded, and every key gets the refusal ----
LONG_NAMES = {"constructors": [entry(1, "r", ("flags", "#"), ("user_id", "int"),
                                     ("x" * 60, "flags.0?int"), ("y" * 60 + "z", "flags.1?int"))]}


@pytest.mark.parametrize("key, message", [
    ("userid", "'userid' is no parameter of 'r' (did you mean 'user_id'?)"),
    ("x" * 59 + "q", "(did you mean '" + "x" * 60 + "'?)"),
    ("y" * 60 + "q", "(did you mean '" + "y" * 60 + "z'?)"),
    ("user_id\ud800", "'user_id\\ud800' is no parameter of 'r'"),
    ("\udfff", "'\\udfff' is no parameter of 'r'"),
    ("u" * 2_000_000, "'" + "u" * 2_000_000 + "' is no parameter of 'r'"),
    ("\u0101" * 4_000_000, None),
    ("x" * 200, "'" + "x" * 200 + "' is no parameter of 'r'"),
])
def test_an_unknown_key_is_refused_with_a_near_name_only(key, message):
    from Virel.tl import TLParser
    p = TLParser(LONG_NAMES, strict=True)
    with pytest.raises(ValueError) as info:
        p.pack({"_": "r", "user_id": 1, key: 1})
    text = str(info.value)
    assert text.endswith(message or "is no parameter of 'r'")
    assert "did you mean" not in text or len(key) < 128


def _distance(a, b):
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1,
                                           diagonal + (a[i - 1] != b[j - 1]))
    return row[-1]


NAMES = ["ab", "abcdef", "user_id", "q" * 20, "qr" * 30]


@settings(max_examples=300, deadline=None)
@given(st.text("abcdefqr_u", max_size=70))
def test_the_near_name_is_the_closest_by_the_full_edit_distance(key):
    from Virel.tl import TLParser
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
