"""Hostile input: calls back into the same parser from inside a call, and threads sharing parsers."""

import gc
import re
import sys
import threading
import time

import pytest

from conftest import entry, make_parser, private_compiler
from hostile import (
    BUSY,
    MESSAGE,
    PLAIN,
    VALUES,
    VALUES_ENTRIES,
    api,
    api_text,  # noqa: F401  (fixtures)
    le32,
    values_parser,
    with_methods,
)
from support import same
from Virel.tl import TLParser

pytestmark = pytest.mark.usefixtures("direct_path")


# ---- Calls back into the same parser from inside a call ----


def reentering(parser, record, swallow=True):
    """A hook body: pack and unpack on `parser`, recording what each gave."""

    def call():
        for inner in (lambda: parser.pack(PLAIN), lambda: parser.unpack(VALUES.pack(PLAIN))):
            try:
                inner()
                record.append("ran")
            except RuntimeError as e:
                record.append(str(e))
                if not swallow:
                    raise

    return call


def hooked(field, call):
    """PLAIN with `field` replaced by a value that runs `call` while it is packed."""

    def run(result):
        def fn(*args):
            call()
            return result

        return fn

    value = PLAIN[field]
    if field == "i":
        return with_methods(__int__=run(value))
    if field == "l":
        return with_methods(__int__=run(value), __index__=run(value))  # whichever pack uses
    if field == "d":
        return with_methods(__float__=run(value))
    if field == "o":
        return with_methods(__bool__=run(value))
    if field == "v":

        def gen():
            yield value[0]
            call()
            yield from value[1:]

        return gen()
    if field == "b":
        return with_methods(__buffer__=run(memoryview(value)))
    raise AssertionError(field)


REENTRY_SITES = ["i", "l", "d", "o", "v", "b", "getitem", "get", "vector-iter"]


def reentry_value(site, call):
    if site in ("i", "l", "d", "o", "v", "b"):
        return dict(PLAIN, **{site: hooked(site, call)})
    if site == "getitem":

        class Calls(dict):
            def __getitem__(self, key):
                if key == "c":
                    call()
                return dict.__getitem__(self, key)

        return Calls(PLAIN)
    if site == "get":

        class Gets(dict):
            def get(self, key, default=None):
                call()
                return dict.get(self, key, default)

        return dict(PLAIN, sub=Gets(PLAIN["sub"]))
    if site == "vector-iter":

        class Iter:
            def __iter__(self):
                call()
                return iter(PLAIN["v"])

        return dict(PLAIN, v=Iter())
    raise AssertionError(site)


@pytest.mark.parametrize("site", REENTRY_SITES)
def test_reentry_is_refused_and_a_swallowed_refusal_leaves_the_result_right(site):
    p = values_parser()
    record = []
    out = p.pack(reentry_value(site, reentering(p, record)))
    assert out == VALUES.pack(PLAIN)
    assert record and set(record) == {BUSY}
    # Another parser of the same schema is independent: calls on it inside the hook work.
    other_record = []
    out = p.pack(reentry_value(site, reentering(VALUES, other_record)))
    assert out == VALUES.pack(PLAIN) and set(other_record) == {"ran"}


@pytest.mark.parametrize("site", REENTRY_SITES)
def test_reentry_refusal_propagates_and_the_parser_recovers(site):
    p = values_parser()
    with pytest.raises(RuntimeError, match=f"(?m)^{re.escape(BUSY)}$"):
        p.pack(reentry_value(site, reentering(p, [], swallow=False)))
    assert p.pack(PLAIN) == VALUES.pack(PLAIN)
    assert p.unpack(VALUES.pack(PLAIN)) == PLAIN


# Python code run during a pack may compile again on the parser's own compiler. The call goes on
# with the records it already found and looks later ones up in the new tables.
SUB_AS_LONG = [VALUES_ENTRIES[0], entry(2, "sub", ("x", "long"))]
RECOMPILES = {
    "same": (VALUES_ENTRIES, VALUES_ENTRIES),
    "changed": (SUB_AS_LONG, SUB_AS_LONG),
    # Fails after the first entry: "all" is then the new one, "sub" still the earlier one.
    "failing": ([VALUES_ENTRIES[0], {"params": [{"name": "x"}]}], VALUES_ENTRIES),
}


@pytest.mark.parametrize("site", REENTRY_SITES)
@pytest.mark.parametrize("recompile", list(RECOMPILES))
@pytest.mark.parametrize("kept_by", ["parser", "names"])
def test_recompile_during_a_pack(site, recompile, kept_by):
    new, after = RECOMPILES[recompile]
    p = values_parser()
    compiler = private_compiler(p)
    if kept_by == "names":
        # The parser moves on to a schema without "all" and "sub": their records are still found
        # by name, in tables that only those names keep, until the compile in the hook.
        compiler.compile({"constructors": [entry(99, "unrelated")]})
        assert p.pack({"_": "unrelated"}) == le32(99)
    errors = []

    def compile_again():
        try:
            compiler.compile({"constructors": new})
        except KeyError as e:
            errors.append(e)

    out = p.pack(reentry_value(site, compile_again))
    assert len(errors) == (recompile == "failing")
    # Every site runs before sub is looked up (a hook in sub's own get, when its name is read).
    now = make_parser(after)
    assert out == now.pack(PLAIN)
    assert p.pack(PLAIN) == now.pack(PLAIN)
    assert p.unpack(now.pack(PLAIN)) == PLAIN
    p = compiler = None
    gc.collect()


def test_a_pack_during_a_compile_leaves_no_stale_name_behind():
    p = make_parser([entry(1, "a", ("x", "int"))])
    seen = []

    class PacksWhileCompiling:
        def __int__(self):
            seen.append(p.pack({"_": "a", "x": 1}))  # "a" is still the earlier record here
            return 2

    private_compiler(p).compile(
        {"constructors": [{"id": PacksWhileCompiling(), "predicate": "b"}, entry(1, "a", ("x", "long"))]}
    )
    assert seen == [le32(1, 1)]
    assert p.pack({"_": "a", "x": 1}) == le32(1, 1, 0)


# ---- Threads ----


def slow_int(v):
    def index():
        time.sleep(0)
        return v

    return with_methods(__int__=index)


def slow_bool(v):
    def truth():
        time.sleep(0)
        return v

    return with_methods(__bool__=truth)


def slow_gen(items):
    for x in items:
        time.sleep(0)
        yield x


def thread_case(n):
    plain = dict(PLAIN, i=n, l=n * 3, o=bool(n & 1), v=[n, n + 1, n + 2], s=f"text {n}", sub={"_": "sub", "x": n})
    slow = dict(
        plain,
        i=slow_int(n),
        o=slow_bool(bool(n & 1)),
        v=slow_gen([n, slow_int(n + 1), n + 2]),
        sub={"_": "sub", "x": slow_int(n)},
    )
    return plain, slow


@pytest.fixture
def switch_often():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(work, count=4):
    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001  reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors[:3]


def test_one_parser_shared_by_threads(switch_often):
    shared = values_parser()
    outcomes = {"ok": 0, "busy": 0}

    def work(k):
        mine = values_parser()
        for i in range(150):
            plain, slow = thread_case(k * 1000 + i)
            wanted = mine.pack(plain)
            for call, expect in ((lambda: shared.pack(slow), wanted), (lambda: shared.unpack(wanted), plain)):
                try:
                    got = call()
                except RuntimeError as e:
                    assert str(e) == BUSY
                    outcomes["busy"] += 1
                    continue
                assert got == expect
                outcomes["ok"] += 1

    run_threads(work)
    assert outcomes["ok"] > 0 and outcomes["busy"] > 0, outcomes
    assert shared.pack(PLAIN) == VALUES.pack(PLAIN)


def test_separate_parsers_in_threads(switch_often, api_text, api):
    messages = [dict(MESSAGE, id=n) for n in range(100)]
    wanted = [api.pack(m) for m in messages]
    decoded = [api.unpack(w) for w in wanted]

    def work(k):
        own, layer, reference = TLParser(api_text), values_parser(), values_parser()
        for i in range(100):
            plain, slow = thread_case(k * 1000 + i)
            out = layer.pack(slow)
            assert out == reference.pack(plain)
            assert layer.unpack(out) == plain
            assert own.pack(messages[i]) == wanted[i]
            assert same(own.unpack(wanted[i]), decoded[i])

    run_threads(work)
