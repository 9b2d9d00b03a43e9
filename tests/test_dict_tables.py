"""Dicts that unpack fills and pack walks, against dicts built the ordinary way.

On the direct dict path the codec fills the entry table of a prototype's copy in place and reads the
tables of the dicts it packs; a layout that the module got wrong shows here as a dict that looks,
iterates, looks up, changes, is watched or collected differently from its twin built key by key.
Each test runs on both codec paths; CI runs the suite with the direct dict path and without it.
"""

import gc
import sys

import pytest

from conftest import entry, make_parser

pytestmark = pytest.mark.usefixtures("codec_path")

# Record sizes around the table's growth steps, up to one whose index array takes two bytes a slot.
SIZES = [0, 1, 4, 5, 10, 11, 21, 42, 85, 86, 130]
SCHEMA = [entry(100 + n, f"r{n}", *[(f"f{i}", "int") for i in range(n)]) for n in SIZES] + [
    entry(
        1,
        "mixed",
        ("flags", "#"),
        ("a", "flags.0?string"),
        ("b", "flags.1?true"),
        ("c", "Vector<long>"),
        ("d", "flags.2?Inner"),
        ("e", "double"),
        ("g", "bytes"),
    ),
    entry(2, "inner", ("x", "int"), ("s", "string")),
]


def values():
    out = [{"_": f"r{n}", **{f"f{i}": 1000 + i for i in range(n)}} for n in SIZES]
    out.append(
        {
            "_": "mixed",
            "a": "text",
            "b": True,
            "c": [1, 2],
            "d": {"_": "inner", "x": 7, "s": "in"},
            "e": 0.5,
            "g": b"bytes",
        }
    )
    out.append({"_": "mixed", "c": [], "e": 1.5, "g": b""})
    return out


@pytest.fixture(scope="module")
def blobs():
    p = make_parser(SCHEMA)
    return [p.pack(v) for v in values()]


def twin(d):
    """A dict equal to `d`, built key by key in its order."""
    built = {}
    for k, v in d.items():
        built[k] = v
    return built


def fresh(key):
    """An equal str that is not the same object."""
    return "".join(list(key))


def packed(p, d):
    try:
        return p.pack(d)
    except (TypeError, ValueError) as e:
        return str(e)


def look(d):
    return list(d.items()), repr(d), list(reversed(d)), len(d)


# Changes that keep the table, grow it, empty slots in it, and move keys to its end.
CHANGES = {
    "value-replaced": lambda d: d.__setitem__(next(reversed(d)), "new"),
    "first-deleted": lambda d: d.pop(next(iter(d))),
    "grown": lambda d: d.update((f"k{i}", i) for i in range(60)),
    "deleted-and-readded": lambda d: d.update([(k := next(iter(d)), d.pop(k))]),
    "popitem": lambda d: d.popitem(),
    "merged": lambda d: d.__ior__({"z": [1], "_": "other"}),
    "cleared-and-refilled": lambda d: (d.clear(), d.update(a=1, b=2)),
}


@pytest.mark.parametrize("index", range(len(values())))
def test_a_decoded_dict_looks_and_changes_as_one_built_key_by_key(blobs, index):
    p = make_parser(SCHEMA)
    d = p.unpack(blobs[index])
    built = twin(d)
    assert look(d) == look(built)
    assert all(d[fresh(k)] is v and fresh(k) in d for k, v in built.items())
    assert d.get(fresh("nope"), 5) == 5 and "nope" not in d
    assert gc.is_tracked(d) == gc.is_tracked(built)
    assert sorted(map(id, gc.get_referents(d))) == sorted(map(id, gc.get_referents(built)))
    assert sys.getsizeof(d) == sys.getsizeof(built)
    assert look(d.copy()) == look(built.copy()) and look(dict(d)) == look(built)
    assert p.pack(d) == p.pack(built) == blobs[index]
    for change in CHANGES.values():
        mine, theirs = p.unpack(blobs[index]), twin(built)
        change(mine)
        change(theirs)
        assert look(mine) == look(theirs)
        assert all(mine[fresh(k)] == v for k, v in theirs.items())
        assert packed(p, mine) == packed(p, theirs)
    # Nothing done to a decoded dict reaches the next one.
    assert look(p.unpack(blobs[index])) == look(built)


def test_decoded_dicts_are_watched_and_versioned_as_built_ones(blobs):
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "add_dict_watcher"):
        pytest.skip("this _testcapi has no dict watchers")
    p = make_parser(SCHEMA)
    watcher = capi.add_dict_watcher(0)  # records every event of the dicts it watches, in one list
    try:
        events = capi.get_dict_watcher_events()
        for blob in blobs:
            seen = []
            for make in (p.unpack, lambda b: twin(p.unpack(b))):
                earlier = capi.dict_get_version({} | {"a": 1})
                d = make(blob)
                assert capi.dict_get_version(d) > earlier  # a version of its own, newer than any before
                capi.watch_dict(watcher, d)
                p.pack(d)  # reading it tells the watcher nothing
                assert events == []
                for change in CHANGES.values():
                    change(d)
                seen.append(events[:])
                events.clear()
                capi.unwatch_dict(watcher, d)
            assert seen[0] == seen[1] and seen[0]
    finally:
        capi.clear_dict_watcher(watcher)


class ClearsTheDict:
    """An int whose conversion empties the dict being packed, dropping its values."""

    def __init__(self, target):
        self.target = target

    def __int__(self):
        self.target.clear()
        return 1


def test_the_walk_holds_the_values_that_an_earlier_field_drops_from_the_dict():
    # The fields after `n` have their only reference in the dict; clearing it while `n` is written
    # must not free what the walk took.
    p = make_parser([entry(3, "held", ("n", "int"), ("s", "string"), ("b", "bytes"), ("v", "Vector<string>"))])
    text, raw, items = "".join(["é"] * 300), bytes(range(256)) * 3, ["".join(["x"] * 50), "y" * 40]
    expected = p.pack({"_": "held", "n": 1, "s": text, "b": raw, "v": items})
    d = {"_": "held", "n": None, "s": text, "b": raw, "v": items}
    d["n"] = ClearsTheDict(d)
    del text, raw, items
    assert p.pack(d) == expected and d == {}
