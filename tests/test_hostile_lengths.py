"""Hostile input: lengths announced beyond what the input holds, and byte strings too long for
the wire."""

import subprocess
import textwrap

import pytest

from conftest import entry, make_parser
from hostile import (
    PY,
    SIZES,
    TESTS,
    VEC,
    api,
    api_text,
    le32,  # noqa: F401  (fixtures)
    parse_error_position,
)

pytestmark = pytest.mark.usefixtures("direct_path")


# ---- Announced lengths the input cannot back ----
HUGE_STRING = b"\xfe\xff\xff\xff"

# (input, position of the parse error)
SHORT = [
    (le32(1) + VEC + le32(2**31 - 1), 12),
    (le32(1) + VEC + le32(2**31 - 1) + bytes(64), 12),
    (le32(1) + VEC + le32(2**31), 12),
    (le32(1) + VEC + le32(2**32 - 1) + bytes(8), 12),
    (le32(2) + VEC + le32(2**31 - 1) + bytes(100), 12),
    (le32(2) + VEC + le32(13) + bytes(100), 108),  # 13 longs announced, 12 and a half there
    (le32(3) + VEC + le32(2**31 - 1) + bytes(16), 12),
    (le32(3) + VEC + le32(2) + HUGE_STRING, 16),
    (le32(3) + VEC + le32(3) + HUGE_STRING * 3, 24),  # the position the last read left
    (le32(4) + VEC + le32(2**31 - 1) + le32(1) * 8, 12),
    (le32(5) + VEC + le32(2**31 - 1) + VEC * 4, 12),
    (le32(5) + (VEC + le32(1)) * 1000 + VEC + le32(2**31 - 1), 8012),
    (le32(6, 5) + HUGE_STRING, 12),
    (le32(6, 5) + HUGE_STRING + bytes(2**20), 12),
    (le32(6, 5) + b"\xfe\xff\xff", 9),
    (le32(6, 5) + b"\xfd" + bytes(252), 9),
    (le32(7) + HUGE_STRING, 8),
    (le32(8) + VEC + le32(4) + HUGE_STRING * 4, 28),
    (le32(8) + VEC + le32(10000) + b"\x00\x00\x00\x00" * 9999, 40008),
]


@pytest.mark.parametrize("blob, position", SHORT, ids=range(len(SHORT)))
def test_announced_lengths_beyond_the_input(blob, position):
    p = make_parser(SIZES)
    with pytest.raises(RuntimeError) as info:
        p.unpack(blob)
    assert parse_error_position(info.value) == position


def test_real_layer_announcing_too_much(api_text, api):
    user = api.pack({"_": "user", "id": 5, "first_name": "x"})
    at = user.index(b"\x01x")
    for tail in (b"", bytes(40)):
        with pytest.raises(RuntimeError, match=f"(?m)^Parse error at position {at + 4}$"):
            api.unpack(user[:at] + HUGE_STRING + tail)
    many = api.pack({"_": "messages.messages", "messages": [], "topics": [], "chats": [], "users": []})
    for index in range(4):  # each of the four vectors announcing 2**31-1 elements
        count_at = 8 + 8 * index
        blob = many[:count_at] + le32(2**31 - 1) + many[count_at + 4 :]
        with pytest.raises(RuntimeError, match=f"(?m)^Parse error at position {count_at + 4}$"):
            api.unpack(blob)


MEMORY_PROBE = textwrap.dedent("""
    import resource, sys, time
    sys.path.insert(0, {tests!r})
    from test_hostile_lengths import SHORT, SIZES, make_parser
    p = make_parser(SIZES)
    blobs = [getattr(case, "values", case)[0] for case in SHORT]
    for b in blobs:  # warm up: the parser's buffer and the interpreter's caches
        try:
            p.unpack(b)
        except RuntimeError:
            pass
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    for _ in range(20):
        for b in blobs:
            try:
                p.unpack(b)
            except RuntimeError:
                pass
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, time.perf_counter() - started)
""")


@pytest.mark.plain_build_only
def test_announced_lengths_allocate_nothing_big():
    out = subprocess.run(
        [PY, "-c", MEMORY_PROBE.format(tests=TESTS)], capture_output=True, text=True, timeout=60, check=True
    ).stdout.split()
    grown_kib, seconds = int(out[0]), float(out[1])
    assert grown_kib < 8 * 1024
    assert seconds < 2


# ---- Byte strings the wire cannot carry ----


@pytest.fixture(scope="module")
def big():
    return make_parser(
        [
            entry(1, "b", ("b", "bytes")),
            entry(2, "s", ("s", "string")),
            entry(3, "v", ("v", "Vector<bytes>")),
            entry(4, "o", ("x", "int"), ("o", "B")),
        ]
    )


MIB16 = 1 << 24


# Values are made by each test (lambdas), not held by the collected parameters.
@pytest.mark.parametrize(
    "make, n",
    [
        (lambda: {"_": "b", "b": bytes(MIB16)}, MIB16),
        (lambda: {"_": "b", "b": bytearray(MIB16 + 5)}, MIB16 + 5),
        (lambda: {"_": "b", "b": memoryview(bytes(2 * MIB16))[MIB16:]}, MIB16),
        (lambda: {"_": "s", "s": "a" * MIB16}, MIB16),
        (lambda: {"_": "s", "s": "é" * (MIB16 // 2)}, MIB16),  # 2**23 characters, 2**24 bytes of UTF-8
        (lambda: {"_": "s", "s": "€" * (MIB16 // 3 + 1)}, 3 * (MIB16 // 3 + 1)),
        (lambda: {"_": "v", "v": [b"ok", bytes(MIB16)]}, MIB16),
        (lambda: {"_": "o", "x": 1, "o": {"_": "v", "v": [bytes(MIB16 + 1)]}}, MIB16 + 1),
    ],
    ids=["bytes", "bytearray", "memoryview", "ascii", "two-byte-utf8", "three-byte-utf8", "in-vector", "nested"],
)
def test_byte_strings_of_16_mib_are_refused(big, make, n):
    with pytest.raises(ValueError, match=f"(?m)^Byte string too long: {n} bytes$"):
        big.pack(make())
    assert big.pack({"_": "b", "b": b"x"}) == le32(1) + b"\x01x\0\0"


@pytest.mark.parametrize(
    "make",
    [
        lambda: {"_": "b", "b": b"\x07" * (MIB16 - 1)},
        lambda: {"_": "s", "s": "é" * (MIB16 // 2 - 1) + "a"},
        lambda: {"_": "o", "x": 3, "o": {"_": "v", "v": [b"", bytes(MIB16 - 1), b"z"]}},
    ],
    ids=["bytes", "string", "nested"],
)
def test_byte_strings_just_below_16_mib_round_trip(big, make):
    value = make()
    out = big.pack(value)
    assert big.unpack(out) == value
    with pytest.raises(RuntimeError, match="^Parse error at position"):
        big.unpack(out[: len(out) // 2])


def test_real_method_with_16_mib_of_bytes(api):
    with pytest.raises(ValueError, match=f"(?m)^Byte string too long: {MIB16} bytes$"):
        api.pack({"_": "upload.saveFilePart", "file_id": 1, "file_part": 0, "bytes": bytes(MIB16)})
    part = {"_": "upload.saveFilePart", "file_id": 1, "file_part": 0, "bytes": b"\x01" * (MIB16 - 1)}
    assert api.unpack(api.pack(part)) == part
