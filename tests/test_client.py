"""What a client of the real layer does around pack and unpack: unpack_from, pack_as, pack_into,
and the notes that say where a failure happened."""

import array
import gc
import json
import mmap
import re
import struct
import subprocess
import sys

import pytest

from conftest import ROOT, data_file, entry, heap_in_use, make_parser, new_parser

BUSY = "TLParser is already in use by another pack or unpack call"
VEC = struct.pack("<I", 0x1CB5C415)
PLAIN = {"int", "#", "long", "double", "string", "bytes", "byte", "Bool", "true"}


@pytest.fixture(scope="module")
def layer():
    return json.loads(data_file("api.json").read_text())


_parsers = {}


@pytest.fixture
def api(layer, codec_path):  # every test that takes it runs on both codec paths
    if codec_path not in _parsers:
        _parsers[codec_path] = new_parser(layer)
    return _parsers[codec_path]


def smallest(layer, type_name, depth=0):
    """A value of a boxed type: its constructor with the fewest parameters that can be filled, with
    only the nested objects it must have (everything else packs as zero, empty or absent)."""
    if depth > 8:
        return None
    for c in sorted((c for c in layer["constructors"] if c["type"] == type_name), key=lambda c: len(c["params"])):
        value = {"_": c["predicate"]}
        for p in c["params"]:
            t = p["type"]
            if "?" not in t and t not in PLAIN and not t.startswith("Vector"):
                value[p["name"]] = smallest(layer, t, depth + 1)
                if value[p["name"]] is None:
                    break
        else:
            return value
    return None


SEND = {
    "_": "messages.sendMessage",
    "peer": {"_": "inputPeerSelf"},
    "message": "hi",
    "random_id": 5,
    "entities": [
        {"_": "messageEntityBold", "offset": 0, "length": 2},
        {"_": "messageEntityTextUrl", "offset": 1, "length": 1, "url": "u"},
    ],
}
IN_SEND = " (records: messages.sendMessage > messageEntityTextUrl)"


def vector_results(layer):
    return sorted({m["type"] for m in layer["methods"] if m["type"].startswith("Vector<")})


def test_every_vector_result_of_the_layer_decodes_through_unpack_from(layer, api):
    results = vector_results(layer)
    assert {"Vector<User>", "Vector<long>", "Vector<int>"} <= set(results)
    for result in results:
        element = result[len("Vector<") : -1]
        if element in ("long", "int"):
            items = [1, 2**63 + 5] if element == "long" else [1, 2**32 - 1]
            body = b"".join(struct.pack("<Q" if element == "long" else "<I", x) for x in items)
        else:
            items = [smallest(layer, element)] * 2
            body = b"".join(api.pack(x) for x in items)
            items = [api.unpack(api.pack(x)) for x in items]
        data = VEC + struct.pack("<I", 2) + body
        assert api.unpack_from(data, type=result) == (items, len(data)), result
        assert api.pack_as(items, result) == data, result


def as_kind(kind, buf):
    if kind == "mmap":
        m = mmap.mmap(-1, len(buf))
        m.write(buf)
        return m
    if kind == "array":
        return array.array("B", buf)
    return kind(buf)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, "mmap", "array"])
def test_values_read_back_to_back_end_where_the_next_begins(layer, api, kind):
    user = smallest(layer, "User")
    values = [
        (SEND, None),
        ([user], "Vector<User>"),
        ([5, 6], "Vector<long>"),
        ("é" * 3, "string"),
        (b"x" * 300, "bytes"),
        (7, "int"),
        (1.5, "double"),
        ({"_": "inputPeerSelf"}, "InputPeer"),
    ]
    expected = [api.unpack(api.pack(SEND)), [api.unpack(api.pack(user))], *(v for v, _ in values[2:])]
    buf = bytearray(b"\xff" * 3)  # nothing needs to start on a multiple of 4
    ends = [api.pack_into(buf, value, type=t) for value, t in values]
    data = as_kind(kind, buf)
    at = 3
    for (_, t), end, want in zip(values, ends, expected):
        got, at = api.unpack_from(data, at, t)
        assert (got, at) == (want, end)
    assert at == len(buf)


@pytest.mark.parametrize("what", ["message", "vector"])
def test_every_truncation_is_a_clean_error_counted_in_the_data(layer, api, what):
    if what == "message":
        value, t = (
            {
                "_": "messages.sendMessage",
                "peer": {"_": "inputPeerUser", "user_id": 1, "access_hash": 2},
                "message": "hi",
                "random_id": 3,
                "entities": [{"_": "messageEntityBold", "offset": 0, "length": 2}] * 2,
            },
            None,
        )
    else:
        value, t = [smallest(layer, "User"), {"_": "userEmpty", "id": 4}], "Vector<User>"
    blob = api.pack_as(value, t)
    data = bytes(5) + blob
    for cut in range(len(blob)):
        with pytest.raises((RuntimeError, ValueError)) as caught:
            api.unpack_from(data[: 5 + cut], 5, t)
        error = caught.value
        assert len(error.__notes__) == 1 and error.__notes__[0].startswith("at "), cut
        at = re.search(r"began at byte (\d+)", error.__notes__[0])
        assert at and 5 <= int(at.group(1)) <= 5 + cut + 3, (cut, error.__notes__)  # padding is skipped unread
        if isinstance(error, RuntimeError):
            assert 5 <= int(str(error).rsplit(" ", 1)[1]) <= 5 + cut + 3, cut


def changed(value, path, new):
    """A deep copy of `value` with the item at `path` replaced."""
    value = json.loads(json.dumps(value))
    *outer, last = path
    target = value
    for key in outer:
        target = target[key]
    target[last] = new
    return value


@pytest.mark.parametrize(
    "path, new, error, note",
    [
        (("entities", 1, "offset"), "x", TypeError, "at messages.sendMessage.entities[1].offset" + IN_SEND),
        (("entities", 1, "url"), None, AttributeError, "at messages.sendMessage.entities[1].url" + IN_SEND),
        (
            ("entities", 1, "_"),
            "nope",
            ValueError,
            "at messages.sendMessage.entities[1] (records: messages.sendMessage)",
        ),
        (
            ("peer",),
            {"_": "inputPeerUser", "user_id": -(2**63) - 1},
            OverflowError,
            "at messages.sendMessage.peer.user_id (records: messages.sendMessage > inputPeerUser)",
        ),
        (("_",), "nope", ValueError, "at the top-level object"),
    ],
)
def test_pack_notes_name_the_path(api, path, new, error, note):
    with pytest.raises(error) as caught:
        api.pack(changed(SEND, path, new))
    assert caught.value.__notes__ == [note]


def test_unpack_notes_name_the_path_and_the_byte(api):
    data = api.pack(SEND)
    at = data.index(b"\x01u\x00\x00")  # the url
    bad_text = data[:at] + b"\x01\xff" + data[at + 2 :]
    second = data.index(struct.pack("<I", 0x76A6D327))  # messageEntityTextUrl's identifier
    unknown = data[:second] + b"\xab\xcd\xef\x01" + data[second + 4 :]
    where = "; the failing read began at byte"
    cases = [
        (
            data[: at + 1],
            RuntimeError,
            f"at messages.sendMessage.entities[1].url{IN_SEND}{where} {at}, in messageEntityTextUrl",
        ),
        (
            bad_text,
            UnicodeDecodeError,
            f"at messages.sendMessage.entities[1].url{IN_SEND}{where} {at}, in messageEntityTextUrl",
        ),
        (
            unknown,
            ValueError,
            f"at messages.sendMessage.entities[1] (records: messages.sendMessage){where} {second}, in messages.sendMessage",
        ),
        (b"\xab\xcd\xef\x01", ValueError, f"at the top-level object{where} 0"),
    ]
    for blob, error, note in cases:
        with pytest.raises(error) as caught:
            api.unpack(blob)
        assert caught.value.__notes__ == [note]
        with pytest.raises(error) as caught:  # the same, seven bytes into a larger buffer
            api.unpack_from(bytearray(7) + blob, 7)
        assert caught.value.__notes__ == [re.sub(r"byte (\d+)", lambda m: f"byte {int(m.group(1)) + 7}", note)]
    with pytest.raises(TypeError) as caught:
        api.pack_as([{"_": "userEmpty", "id": 1}, {"_": "userEmpty", "id": "x"}], "Vector<User>")
    assert caught.value.__notes__ == ["at Vector<User>[1].id (records: userEmpty)"]


@pytest.mark.plain_build_only
@pytest.mark.parametrize("kind", [bytearray, memoryview])
def test_input_is_read_in_place(kind, codec_path):
    # A 512 KiB byte string: unpack_from and the direct path's unpack read it where it lies (the
    # value they return is the one copy); the table path's unpack copies it into the parser's buffer,
    # where a native subclass's operations find it.
    blob = make_parser([entry(1, "blob", ("data", "bytes"))]).pack({"_": "blob", "data": b"x" * 512 * 1024})
    data = kind(bytearray(blob))
    reader = make_parser([entry(1, "blob", ("data", "bytes"))])
    gc.collect()  # no collection of earlier garbage may hide a copy in the figures
    gc.disable()
    try:
        before = heap_in_use()
        value, end = reader.unpack_from(data)
        assert end == len(blob) and len(value["data"]) == 512 * 1024
        del value
        assert heap_in_use() - before < 64 * 1024
        reader.unpack(blob)
        copied = heap_in_use() - before >= 256 * 1024  # a copy shows as 512 KiB more, none as < 64 KiB
    finally:
        gc.enable()
    assert copied == (codec_path == "table")


def test_the_buffer_is_held_for_the_call_only(api):
    buf = bytearray(api.pack({"_": "inputPeerSelf"}))
    assert api.unpack_from(buf) == ({"_": "inputPeerSelf"}, 4)
    for bad in ({"type": "Vector<"}, {"offset": 9}):
        with pytest.raises(ValueError):
            api.unpack_from(buf, **bad)
    buf += b"more"  # no export is left behind


class Reenters:
    def __init__(self, parser):
        self.parser = parser

    def __int__(self):
        self.parser.unpack_from(b"\0\0\0\0")
        return 1


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: p.unpack_from(memoryview(bytes(8))[::2]), BufferError, "not C-contiguous"),
        (lambda p: p.unpack_from(5), TypeError, "bytes-like object is required"),
        (lambda p: p.unpack_from(b"1234", -1), ValueError, "^offset -1 is out of range for 4 bytes of data$"),
        (lambda p: p.unpack_from(b"1234", 5), ValueError, "^offset 5 is out of range for 4 bytes of data$"),
        (lambda p: p.unpack_from(b"1234", 2**70), ValueError, "out of range"),
        (lambda p: p.unpack_from(b"1234", "1"), TypeError, "integer"),
        (lambda p: p.unpack_from(b"1234", type=5), TypeError, "^Expected str, got int$"),
        (lambda p: p.unpack_from(b"1234", 0, "x", 1), TypeError, r"^unpack_from\(\) takes at most 3 positional"),
        (lambda p: p.unpack_from(offset=1), TypeError, r"^unpack_from\(\) missing required argument 'data'"),
        (lambda p: p.unpack_from(b"", dat=1), TypeError, "unexpected keyword argument 'dat'"),
        (lambda p: p.pack_as(1), TypeError, r"^pack_as\(\) missing required argument 'type'"),
        (lambda p: p.pack_into(b"", {}), TypeError, r"expected bytearray, got bytes"),
        (lambda p: p.pack_into(bytearray(), Reenters(p), "int"), RuntimeError, f"(?m)^{BUSY}$"),
    ]
    + [
        (lambda p, t=t: p.unpack_from(b"1234", type=t), ValueError, "^Malformed type expression: ")
        for t in ["", "Vector<", "Vector", "Vector<int>>", "vector<int", "flags.0?int", " int", "int ", "1x", "a-b"]
    ],
)
def test_argument_errors(api, call, error, message):
    with pytest.raises(error, match=message):
        call(api)


@pytest.mark.parametrize(
    "t, value, data",
    [
        ("long", 2**64 - 1, b"\xff" * 8),
        ("int", 2**32 - 1, b"\xff" * 4),
        ("#", 5, b"\5\0\0\0"),
        ("double", 1.5, struct.pack("<d", 1.5)),
        ("string", "hé", b"\3h\xc3\xa9"),
        ("bytes", b"\0", b"\1\0\0\0"),
        ("Bool", True, b"\1\0\0\0"),
        ("Vector<Vector<int>>", [1, 2], VEC + b"\2\0\0\0\1\0\0\0\2\0\0\0"),
        ("storage.FileType", {"_": "storage.filePng"}, struct.pack("<I", 0x0A4F63C0)),
    ],
)
def test_typed_values_as_a_parameter_of_that_type(api, t, value, data):
    assert api.pack_as(value, t) == data
    assert api.unpack_from(data, type=t) == (value, len(data))


def test_pack_into_appends_in_place(api):
    buf = bytearray(b"ab")
    assert api.pack_into(buf, {"_": "inputPeerSelf"}) == 6
    assert api.pack_into(buf, [1], "Vector<int>") == 18
    assert buf == b"ab" + api.pack({"_": "inputPeerSelf"}) + api.pack_as([1], "Vector<int>")
    assert api.pack_as(SEND, None) == api.pack(SEND)
    view = memoryview(buf)
    with pytest.raises(BufferError):
        api.pack_into(buf, {"_": "inputPeerSelf"})
    view.release()
    assert len(buf) == 18


def test_the_client_guide_runs_on_its_own(tmp_path):
    # copied out of the repository, as a user would take it: it runs on the bundled schemas
    guide = tmp_path / "client_guide.py"
    guide.write_bytes((ROOT / "examples" / "client_guide.py").read_bytes())
    out = subprocess.run([sys.executable, str(guide)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.startswith("container: 3 messages")


def test_the_mtproto_walkthrough_runs_on_its_own(tmp_path):
    walkthrough = tmp_path / "mtproto_walkthrough.py"
    walkthrough.write_bytes((ROOT / "examples" / "mtproto_walkthrough.py").read_bytes())
    out = subprocess.run([sys.executable, str(walkthrough)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["resPQ", "key exchange", "container"], out.stdout


def test_the_command_line_prints_the_note():
    schema = data_file("api.json")
    out = subprocess.run(
        [sys.executable, "-m", "Virel", "unpack", "--schema", str(schema), "22175159 2a000000 000000"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert out.returncode == 1
    assert out.stderr.strip().endswith(
        "Parse error at position 4 (at peerUser.user_id (records: peerUser); "
        "the failing read began at byte 4, in peerUser)"
    )


def test_a_bad_text_without_its_padding_is_located_inside_the_data(api):
    with pytest.raises(UnicodeDecodeError) as caught:
        api.unpack_from(bytearray(b"\0\1\xff"), 1, "string")
    assert caught.value.__notes__ == ["at string; the failing read began at byte 1"]


@pytest.mark.plain_build_only  # a memory figure: meaningless, and slow, under the sanitizers
def test_type_texts_given_at_calls_take_bounded_memory():
    code = """if True:
        import resource
        from Virel.tl import TLParser
        p = TLParser({"constructors": []})
        data = bytes.fromhex("15c4b51c 00000000")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for i in range(20000):
            assert p.unpack_from(data, 0, "Vector<" + "T%d_" % i + "x" * 1000 + ">") == ([], 8)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 10  # MiB; every text used to be kept, with records of its elements
