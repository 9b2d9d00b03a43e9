"""The command line as a stream reader and a terminal tool: text parsed in bulk, input read as it
arrives, progress on a terminal, what reaches the terminal escaped, empty input."""

import json
import os
import pty
import re
import select
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import Virel
from Virel.cli import inputs, jsonform, main, progress
from Virel.cli.errors import Failure

EXAMPLE = str(Path(Virel.__file__).with_name("example_schema.json"))
PEER = bytes.fromhex("221751592a00000000000000")  # peerUser user_id:42 of the example schema


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    return (code, *capsys.readouterr())


# The rules the bulk parsers keep, a character at a time.
def hex_by_character(text: str) -> bytes:
    digits = "".join(re.sub(r"(?:(?<=\s)|^)0[xX]", "", text).split())
    for pos, ch in enumerate(digits):
        if ch not in "0123456789abcdefABCDEF":
            raise Failure(f"bad hex input: {ch!r} (digit {pos + 1}) is not a hex digit")
    if len(digits) % 2:
        raise Failure(f"bad hex input: odd number of hex digits ({len(digits)})")
    return bytes.fromhex(digits)


def base64_by_character(text: bytes) -> bytes:
    import base64
    import binascii

    squeezed = b"".join(text.split()).rstrip(b"=").translate(bytes.maketrans(b"-_", b"+/"))
    if len(squeezed) % 4 == 1:
        raise Failure(f"bad base64 input: {len(squeezed)} characters cannot be base64 (one too many or too few)")
    try:
        return base64.b64decode(squeezed + b"=" * (-len(squeezed) % 4), validate=True)
    except binascii.Error:
        bad = next((i for i, c in enumerate(squeezed) if not re.fullmatch(rb"[A-Za-z0-9+/_\-=\s]", bytes([c]))), None)
        where = f": {chr(squeezed[bad])!r} (character {bad + 1}) is not base64" if bad is not None else ""
        raise Failure(f"bad base64 input{where}") from None


def outcome(parse, text):
    try:
        return parse(text)
    except Failure as exc:
        return str(exc)


HEX_TEXT = st.lists(
    st.sampled_from(
        ["0", "7", "a", "F", " ", "\n", "\t", "\x0b", "\x1c", "\x1f", "0x", "0X", "x", "g", "é", " 0x", "\u2028"]
    ),
    max_size=30,
).map("".join)
BASE64_TEXT = st.lists(
    st.sampled_from(["Q", "U", "J", "D", "0", "+", "/", "-", "_", "=", " ", "\n", "!", "\x0b", "\x1c", "é"]),
    max_size=30,
).map(lambda parts: "".join(parts).encode())


@settings(max_examples=400, deadline=None)
@given(HEX_TEXT, BASE64_TEXT)
def test_bulk_parsers_keep_the_character_rules(hex_text, base64_text):
    want = outcome(hex_by_character, hex_text)
    assert outcome(inputs.parse_hex, hex_text) == want
    if hex_text.isascii():
        assert outcome(inputs.parse_hex, hex_text.encode()) == want
    assert outcome(inputs.parse_base64, base64_text) == outcome(base64_by_character, base64_text)


class Chunks:
    """A stream that gives its chunks one read at a time."""

    def __init__(self, chunks):
        self.chunks = list(chunks)

    def read1(self, size):
        return self.chunks.pop(0) if self.chunks else b""


def read_in_chunks(text: bytes, cuts, as_text) -> bytes:
    cuts = sorted({c for c in cuts if c < len(text)})
    pieces = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]
    source = inputs.TLInput(bytearray(), stream=Chunks(p for p in pieces if p))  # an empty read is the end
    as_text(source)
    while source.more():
        pass
    return bytes(source.data)


@settings(max_examples=400, deadline=None)
@given(
    HEX_TEXT.map(lambda t: t.replace("é", "").replace("\u2028", "").encode()),
    BASE64_TEXT,
    st.lists(st.integers(0, 30)),
)
def test_text_read_in_pieces_is_text_read_whole(hex_text, base64_text, cuts):
    # A pipe's text arrives cut anywhere: within a group, between a 0 and its x, between two digits of a byte.
    assert outcome(lambda t: read_in_chunks(t, cuts, inputs.TLInput.read_as_hex), hex_text) == outcome(
        inputs.parse_hex, hex_text
    )
    whole = outcome(inputs.parse_base64, base64_text)
    pieces = outcome(lambda t: read_in_chunks(t, cuts, inputs.TLInput.read_as_base64), base64_text)
    # Departure D40: read as it arrives, a bad character is met before the count of them is known.
    assert pieces == whole or ("characters cannot be base64" in whole and "is not base64" in pieces), (pieces, whole)


@pytest.mark.parametrize(
    "argv, words",
    [
        (["pack", r'{"_": "\u001b[2J"}'], ["cannot pack '\\x1b[2J'", "constructor: \\x1b[2J"]),
        (["pack", r'{"_": "peerUser", "user_id": 1, "a\u202eb": 2}'], ["'a\\u202eb' is no parameter"]),
        (["unpack", "1" * 500 + "g"], ["bad hex input: 'g' (digit 501)"]),  # not: File name too long
        (["pack", '{"_": "peerUser", "user_id": ' + "1" * 300], ["bad JSON input: Expecting"]),
        (
            ["pack", '{"_": "peerUser", "user_id": ' + "1" * 5000 + "}"],
            ["bad JSON input: an integer of more than 4300"],
        ),
    ],
)
def test_errors_say_what_is_wrong_and_escape_what_came_in(capsys, argv, words):
    pytest.importorskip("Virel.tl")
    code, out, err = run(capsys, argv[0], "--schema", EXAMPLE, *argv[1:])
    assert code == 1 and out == ""
    assert err.startswith("virel: error: ") and err.count("\n") == 1
    assert all(w in err for w in words), err
    assert err[:-1].isprintable(), err


def test_schema_listing_cannot_be_forged(capsys, tmp_path):
    pytest.importorskip("Virel.tl")
    path = tmp_path / "s.json"
    params = [{"name": "a\nforged  line", "type": "int"}, {"name": "b", "type": "Vector<\x1b[31mint>"}]
    path.write_text(json.dumps({"constructors": [{"id": 1, "predicate": "e\rx", "type": "T\u202e", "params": params}]}))
    code, out, err = run(capsys, "schema", path, "0x1")
    lines = out.splitlines()
    assert code == 0 and len(lines) == 6 and all(line.isprintable() for line in lines), out
    assert lines[0].startswith("e\\rx#00000001") and lines[2] == "  result: T\\u202e"
    assert lines[4].split()[:2] == ["a\\nforged", "line"] and "Vector<\\x1b[31mint>" in lines[5]


@pytest.mark.parametrize(
    "argv, stdin",
    [
        (["unpack"], b""),
        (["unpack", "--all"], b""),
        (["unpack", ""], None),
        (["unpack", "@EMPTY"], None),
        (["unpack", "--base64"], b"\n"),
        (["pack"], b""),
        (["pack"], b" \n"),
        (["pack", "--all"], b"\n\n"),
        (["pack", "--all", "@EMPTY"], None),
    ],
)
def test_empty_input_is_no_error(tmp_path, argv, stdin):  # departure D39
    (tmp_path / "empty").write_bytes(b"")
    argv = [a.replace("@EMPTY", f"@{tmp_path / 'empty'}") for a in argv]
    done = subprocess.run(
        [sys.executable, "-m", "Virel", argv[0], "--schema", EXAMPLE, *argv[1:]],
        input=stdin,
        stdin=None if stdin is not None else subprocess.DEVNULL,
        capture_output=True,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


@pytest.mark.parametrize("content", [PEER, PEER.hex(" ").encode() + b"\n", b"0x" + PEER.hex().encode()])
def test_standard_input_from_a_file(tmp_path, content):
    pytest.importorskip("Virel.tl")
    (tmp_path / "in").write_bytes(content)
    with open(tmp_path / "in", "rb") as stdin:
        done = subprocess.run(
            [sys.executable, "-m", "Virel", "unpack", "--compact", "--schema", EXAMPLE],
            stdin=stdin,
            capture_output=True,
        )
    assert (done.returncode, done.stdout, done.stderr) == (0, b'{"_":"peerUser","user_id":42}\n', b"")


def test_a_file_of_hex_text_gets_the_hex_hint(capsys, tmp_path):
    pytest.importorskip("Virel.tl")
    (tmp_path / "in.hex").write_text(PEER.hex(" ") + "\n")
    code, out, err = run(capsys, "unpack", "--schema", EXAMPLE, f"@{tmp_path / 'in.hex'}")
    assert code == 1 and "looks like hex text" in err and "base64" not in err


def read_line(stream, seconds=20.0) -> bytes:
    """One line of a child's output, which must come while its input is still open."""
    line = b""
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([stream], [], [], seconds)
        assert ready, f"no output in {seconds} s (got {line!r})"
        byte = os.read(stream.fileno(), 1)
        assert byte, "the output ended"
        line += byte
    return line


PEER_JSON = '{"_":"peerUser","user_id":42}'


# Each piece is sent, then the lines it completes must come out while the input stays open
# (departure D38).
@pytest.mark.parametrize(
    "argv, pieces",
    [
        (
            ["unpack", "--all", "--compact"],
            [(PEER, [PEER_JSON]), (PEER[:5], []), (PEER[5:] + PEER[:3], [PEER_JSON]), (PEER[3:], [PEER_JSON])],
        ),
        (
            ["unpack", "--all", "--compact"],
            [
                (PEER.hex(" ").encode() + b"\n", [PEER_JSON]),
                (b"0x" + PEER.hex().encode()[:7], []),
                (PEER.hex().encode()[7:] + b"\n", [PEER_JSON]),
            ],
        ),
        (
            ["pack", "--all"],
            [
                (b'{"_": "peerUser", "user_id": 42}\n', [PEER.hex()]),
                (b'{"_": "peerUser",', []),
                (b' "user_id": 42}\n', [PEER.hex()]),
            ],
        ),
        (
            ["unpack", "--all", "--compact", "--base64"],
            [(b"IhdRWSoAAAAAAAAA\n", [PEER_JSON]), (b"IhdRWS", []), (b"oAAAAAAAAA", [PEER_JSON])],
        ),
    ],
    ids=["raw", "hex", "pack", "base64"],
)
def test_values_come_out_as_their_input_comes_in(argv, pieces):
    pytest.importorskip("Virel.tl")
    child = subprocess.Popen(
        [sys.executable, "-m", "Virel", *argv, "--schema", EXAMPLE],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        for piece, lines in pieces:
            child.stdin.write(piece)
            child.stdin.flush()
            assert [read_line(child.stdout).decode().rstrip("\n") for _ in lines] == lines
        child.stdin.close()
        rest, err = child.stdout.read(), child.stderr.read()
        assert (child.wait(20), rest, err) == (0, b"", b"")
    finally:
        child.kill()
        child.wait()


PEER_LINE = b'{"_": "peerUser", "user_id": 42}\n'


@pytest.mark.parametrize("command", ["unpack", "pack"])
@pytest.mark.parametrize(
    "flag, terminal, shown",
    [([], True, True), (["--no-progress"], True, False), ([], False, False), (["--progress"], False, True)],
)
def test_progress_on_a_terminal_only(monkeypatch, capsysbinary, tmp_path, command, flag, terminal, shown):
    pytest.importorskip("Virel.tl")
    monkeypatch.setattr(progress, "DELAY", 0.0)
    monkeypatch.setattr(progress, "EVERY", 0.0)
    (tmp_path / "capture.bin").write_bytes(PEER * 50 if command == "unpack" else PEER_LINE * 50)
    size = (
        "600B/600B" if command == "unpack" else f"{len(PEER_LINE) * 50 / 1000:.1f}kB/{len(PEER_LINE) * 50 / 1000:.1f}kB"
    )
    master, slave = pty.openpty() if terminal else os.pipe()
    with capsysbinary.disabled(), open(slave, "w", encoding="utf-8", closefd=True) as err:
        monkeypatch.setattr(sys, "stderr", err)
        out = tmp_path / "out.jsonl"
        with open(out, "w") as sink:
            monkeypatch.setattr(sys, "stdout", sink)
            assert main([command, "--schema", EXAMPLE, "--all", *flag, f"@{tmp_path / 'capture.bin'}"]) == 0
        monkeypatch.undo()
    screen = b""
    while select.select([master], [], [], 0.5)[0]:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # the terminal's other side is closed
            break
        if not chunk:
            break
        screen += chunk
    os.close(master)
    assert out.read_text().count("\n") == 50
    text = screen.decode()
    assert ("100%|" in text and size in text and "50 values" in text) is shown, text
    assert text == "" or text.endswith("\r"), text  # the line is cleared at the end


def test_progress_line():
    assert progress.line(22_500_000, 50_000_000, 10.0, 812) == (
        " 45%|" + "█" * 9 + " " * 11 + "| 22.5MB/50.0MB [00:10<00:12, 2.2MB/s, 812 values]"
    )
    assert progress.line(1_500, None, 3.0, 1) == "1.5kB [00:03, 500B/s, 1 value]"


SCALARS = st.one_of(
    st.integers(-(2**64), 2**64),
    st.sampled_from([2**53, 2**53 + 1, -(2**53) - 1, 10**15, 1234567890123456]),
    st.floats(allow_nan=True),
    st.sampled_from([1.2345678901234567e16, 1234567890123456.0, -0.0]),
    # texts that hold what an integer's token looks like
    st.sampled_from(
        ["1,12345678901234567,2", "[12345678901234567]", '\\":-12345678901234567,', '\\\\",12345678901234567]']
    ),
    st.text(alphabet='0123456789",:[]{}\\\n\u2028aé'),
    st.binary(max_size=4),
    st.booleans(),
    st.none(),
)
JSON_VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.text(alphabet='0123456789":\\_a', max_size=20), inner, max_size=4),
    ),
    max_leaves=20,
)


@settings(max_examples=500, deadline=None)
@given(JSON_VALUES)
def test_compact_text_straight_from_the_encoder_is_the_exact_one(value):
    exact, fast = [], []
    jsonform.write(jsonform._copied(value), exact.append, pretty=False, large=True)
    jsonform.write(jsonform._copied(value), fast.append, pretty=False, large=False)
    assert "".join(fast) == "".join(exact)
