"""Repeating every success and failure path must not grow memory."""

import gc
import json
import os
import sys

import pytest

from Virel.tl import TLParser, TLSchemaCompiler

from _data import find
from conftest import SCHEMA, SCHEMA_TEXT, entry, heap_in_use, private_compiler

pytestmark = pytest.mark.plain_build_only

BAD_SCHEMAS = [
    "[]",
    "null",
    "{bad",
    {"constructors": [entry(1, "a", ("x", "int")), {"params": [{"name": "b"}]}]},
    {"constructors": [entry(1, "a", ("x", "x.y.z?int"))]},
    {"constructors": [{"id": "0x1"}]},
    {"constructors": [entry(1, "a", ("x", "flags.q?int"))]},
    {"methods": 5},
]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def workload(parser):
    for bad in BAD_SCHEMAS:
        try:
            TLParser(bad)
        except Exception:
            pass
    c = TLSchemaCompiler()
    c.compile(SCHEMA)
    c.compile(SCHEMA_TEXT)  # a second compile releases the first tables: it redefines every name
    assert len(c.entries()) == len(SCHEMA["constructors"]) + len(SCHEMA["methods"])
    try:
        c.entries(1)
    except TypeError:
        pass
    user = {"_": "user", "id": 7, "name": "é" * 300, "photo": b"x" * 300, "bot": True}
    d = {
        "_": "holder",
        "owner": user,
        "where": {"_": "point", "x": 1.0, "y": 2.0},
        "ints": [1, 2],
        "users": [user] * 3,
        "late": 1,
        "late_flag": True,
    }
    data = parser.pack(d)
    assert parser.unpack(data)["owner"]["name"] == user["name"]
    for bad in (data[:-3], b"\xab\0\0\0", data[:13], b""):
        try:
            parser.unpack(bad)
        except (RuntimeError, ValueError):
            pass
    for bad in (
        {"_": "nobody"},
        {"_": "user", "id": -1},
        {"_": "holder", "users": 5},
        {},
        {"_": "user", "name": None},
        {"_": "obj", "size": "x"},
    ):
        try:
            parser.pack(bad)
        except (ValueError, TypeError, OverflowError, AttributeError):
            pass
    buf = bytearray(b"x")
    parser.pack_into(buf, [user, user], "Vector<User>")
    assert parser.unpack_from(memoryview(buf), 1, "Vector<User>")[1] == len(buf)
    for args in ((buf, 2, "Vector<User>"), (buf, 0, "Vector<"), (buf, 99), (b"\x01\xff\0\0", 0, "string")):
        try:
            parser.unpack_from(*args)
        except (RuntimeError, ValueError):
            pass
    try:
        parser.pack_as([user, {"_": "user", "id": "x"}], "Vector<User>")
    except TypeError:
        pass
    big = dict(user, photo=b"y" * 50_000)  # past 64 KiB, pack moves its output into the bytes it returns
    assert parser.unpack(parser.pack_as([big] * 2, "Vector<User>")[8:]) == big
    for bad in ([big, big, {"_": "user", "id": "x"}], [big] * 40 + [{"_": "user", "name": "\ud800"}]):
        try:
            parser.pack({"_": "holder", "owner": user, "users": bad})
        except (TypeError, UnicodeEncodeError):
            pass


def test_no_growth_over_many_calls():
    parser = TLParser(SCHEMA_TEXT)
    real = find("mtproto.json").read_text()
    for _ in range(50):
        workload(parser)
        TLParser(real)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_kib()
    for _ in range(1000):
        workload(parser)
        TLParser(real)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    assert rss_kib() - rss < 4096


# The tables of the real layer take about a megabyte; a compile again on the same compiler
# releases the earlier ones, which it redefines entirely.
def recompile(compiler, layer, times, parser=None):
    broken = dict(layer, methods=layer["methods"] + [{"params": [{"name": "x"}]}])
    for i in range(times):
        try:
            compiler.compile(broken if i % 10 == 9 else layer)  # or one that fails at its last entry
        except KeyError:
            pass
        if parser:
            assert parser.unpack(parser.pack({"_": "messageRange", "min_id": i, "max_id": 2}))["min_id"] == i


@pytest.mark.parametrize("with_parser", [False, True])
def test_compiling_again_releases_the_earlier_tables(with_parser):
    layer = json.loads(find("api.json").read_text())
    parser = TLParser(layer) if with_parser else None
    compiler = private_compiler(parser) if parser else TLSchemaCompiler()
    recompile(compiler, layer, 10, parser)
    gc.collect()
    before = heap_in_use()
    recompile(compiler, layer, 40, parser)
    gc.collect()
    assert heap_in_use() - before < 20 * 2**20


@pytest.mark.slow
def test_a_thousand_compiles_on_one_compiler():
    layer = json.loads(find("api.json").read_text())
    compiler = TLSchemaCompiler()
    recompile(compiler, layer, 10)
    gc.collect()
    before, rss = heap_in_use(), rss_kib()
    recompile(compiler, layer, 1000)
    gc.collect()
    assert heap_in_use() - before < 20 * 2**20
    assert rss_kib() - rss < 20 * 1024
