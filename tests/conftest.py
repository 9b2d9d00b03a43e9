import ctypes
import functools
import gc
import json
import os
import pathlib

import pytest
from hypothesis import HealthCheck, settings

from Virel.tl import TLParser
from _data import data_file  # noqa: F401  (the data-folder lookup, for the test modules)

ROOT = pathlib.Path(__file__).resolve().parent.parent

# A small schema with a flags word, conditional fields, a vector, a nested object and a method.
SCHEMA = {
    "constructors": [
        {
            "id": 1,
            "predicate": "obj",
            "type": "Obj",
            "params": [
                {"name": "flags", "type": "#"},
                {"name": "urgent", "type": "flags.0?true"},
                {"name": "note", "type": "flags.1?string"},
                {"name": "size", "type": "int"},
                {"name": "tags", "type": "Vector<long>"},
            ],
        },
        {"id": "-1132882121", "predicate": "boolFalse", "type": "Bool"},
        {
            "id": 0x2A,
            "predicate": "point",
            "type": "Point",
            "params": [{"name": "x", "type": "double"}, {"name": "y", "type": "double"}],
        },
        {
            "id": 0x10,
            "predicate": "user",
            "type": "User",
            "params": [
                {"name": "id", "type": "long"},
                {"name": "name", "type": "string"},
                {"name": "photo", "type": "bytes"},
                {"name": "bot", "type": "Bool"},
            ],
        },
        {
            "id": 0x11,
            "predicate": "holder",
            "type": "Holder",
            "params": [
                {"name": "flags", "type": "#"},
                {"name": "flags2", "type": "#"},
                {"name": "owner", "type": "User"},
                {"name": "where", "type": "flags.3?Point"},
                {"name": "ints", "type": "Vector<int>"},
                {"name": "users", "type": "Vector<User>"},
                {"name": "late", "type": "flags2.0?int"},
                {"name": "late_flag", "type": "flags2.35?true"},
            ],
        },
        {"id": 0x12, "predicate": "empty", "type": "Empty"},
    ],
    "methods": [
        {"id": 0x20, "method": "getUser", "type": "User", "params": [{"name": "id", "type": "long"}]},
    ],
}

SCHEMA_TEXT = json.dumps(SCHEMA)


# Hypothesis profiles. "full" is the default; CI sets VIREL_HYPOTHESIS_PROFILE=ci for the slow set,
# which then runs the same properties, each on a fraction of its examples (never fewer than one),
# with no example database. A property states its size through examples(), which scales it.
PROFILES = {"full": 1.0, "ci": 0.2}  # name: share of each property's examples
PROFILE = os.environ.get("VIREL_HYPOTHESIS_PROFILE", "full")
if PROFILE not in PROFILES:
    raise pytest.UsageError(f"VIREL_HYPOTHESIS_PROFILE={PROFILE!r}: not one of {', '.join(PROFILES)}")
settings.register_profile("full")
settings.register_profile("ci", database=None, max_examples=max(1, round(100 * PROFILES["ci"])))
settings.load_profile(PROFILE)


def examples(n):
    """Settings for a property of `n` examples in the full profile, scaled to the loaded one."""
    return settings(
        max_examples=max(1, round(n * PROFILES[PROFILE])), deadline=None, suppress_health_check=list(HealthCheck)
    )


# The codec's two paths. A parser whose table of operations is the default one (TLParser itself)
# runs the direct path; any other table runs the table path, every operation called through the
# table: here the native subclass of tests/native with a copy of the default table.
#
# Every test that makes a parser through new_parser, make_parser or the parser fixture says which
# path it runs: it takes `codec_path` (the test runs once on each path) or `direct_path` (the direct
# path only), usually for its whole module through `pytestmark = pytest.mark.usefixtures(...)`.
# A test that takes neither fails, so a module cannot run one path by forgetting the other.
# Parsers made outside any test (module constants) and by module-scoped fixtures run the direct
# path; so does every parser of a test on direct_path.
PATHS = ("direct", "table")
_path = None  # set by the running test's codec_path fixture
_test = None  # the running test


def new_parser(schema_json, **modes):
    """A parser on the current codec path; `modes` are TLParser's keywords (strict, signed)."""
    if _test is not None and not {"codec_path", "direct_path"} & set(_test.fixturenames):
        pytest.fail(
            f"{_test.nodeid} makes a parser but chose no codec path: take the codec_path fixture "
            "(both paths) or direct_path",
            pytrace=False,
        )
    path = _path or "direct"
    return TLParser(schema_json, **modes) if path == "direct" else load_tlsub().Parser(schema_json, "copy", **modes)


@pytest.fixture(params=PATHS)
def codec_path(request):
    """The codec path of this run of the test: each in turn."""
    global _path
    _path = request.param
    yield request.param
    _path = None


@pytest.fixture
def direct_path():
    """The test runs on the direct path only."""
    return "direct"


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    global _test
    _test = item
    try:
        return (yield)
    finally:
        _test = None


@pytest.fixture
def parser(request):
    if "codec_path" in request.fixturenames:
        request.getfixturevalue("codec_path")
    return new_parser(SCHEMA_TEXT)


def make_parser(constructors=(), methods=()):
    return new_parser({"constructors": list(constructors), "methods": list(methods)})


def heap_in_use():
    """Bytes taken from the C allocator and not given back (malloc's own count)."""
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("the C library has no mallinfo2")

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (n, ctypes.c_size_t)
            for n in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def private_compiler(parser):
    """The compiler a parser made for itself (Python code can reach it this way only)."""
    from Virel.tl import TLSchemaCompiler

    return next(o for o in gc.get_referents(parser) if isinstance(o, TLSchemaCompiler))


def entry(ident, name, *params, kind="T"):
    """One schema entry; params are (name, type) pairs."""
    return {"id": ident, "predicate": name, "type": kind, "params": [{"name": n, "type": t} for n, t in params]}


@functools.cache
def load_tlsub():
    """The test-only native subclass extension (tests/native), built on first use."""
    import importlib.util

    found = importlib.util.spec_from_file_location("tlsub_build", ROOT / "tests" / "native" / "tlsub_build.py")
    builder = importlib.util.module_from_spec(found)
    found.loader.exec_module(builder)
    return builder.load()


@pytest.fixture(scope="session")
def tlsub():
    return load_tlsub()


_path_of_test = {}
_passed_on = dict.fromkeys(PATHS, 0)


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VIREL_SANITIZED"):
        skip = pytest.mark.skip(reason="memory figures mean nothing under the sanitizers")
        for item in items:
            if "plain_build_only" in item.keywords:
                item.add_marker(skip)
    for item in items:
        callspec = getattr(item, "callspec", None)
        if callspec and "codec_path" in callspec.params:
            _path_of_test[item.nodeid] = callspec.params["codec_path"]


def pytest_runtest_logreport(report):
    if report.when == "call" and report.passed and report.nodeid in _path_of_test:
        _passed_on[_path_of_test[report.nodeid]] += 1


def pytest_terminal_summary(terminalreporter):
    if any(_passed_on.values()):
        terminalreporter.write_line("codec paths: " + ", ".join(f"{n} passed {path}" for path, n in _passed_on.items()))
