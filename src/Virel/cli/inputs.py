"""Reading what the commands take: TL bytes as hex, raw files or standard input; JSON text."""

from __future__ import annotations

import base64
import binascii
import re
import sys
from pathlib import Path

from .errors import Failure, UsageError
from .jsonform import from_json

HEX_DIGITS = frozenset("0123456789abcdefABCDEF")
BASE64_TEXT = re.compile(rb"[A-Za-z0-9+/_\-=\s]+")

HELP = """\
INPUT:
  HEX       hex digits on the command line; whitespace anywhere is ignored,
            and so is a 0x in front of any group of digits
  @FILE     the raw bytes of FILE
  -         standard input (the default): read as hex text when it holds
            only hex digits, 0x and whitespace, otherwise as raw bytes;
            @/dev/stdin always reads raw bytes
  --base64  the input (HEX's place, @FILE or standard input) is base64
            text, standard or URL-safe, padded or not; whitespace is ignored
"""

_HEX_PREFIX = re.compile(r"(?:(?<=\s)|^)0[xX]")


def parse_hex(text: str) -> bytes:
    digits = "".join(_HEX_PREFIX.sub("", text).split())
    for pos, ch in enumerate(digits):
        if ch not in HEX_DIGITS:
            raise Failure(f"bad hex input: {ch!r} (digit {pos + 1}) is not a hex digit")
    if len(digits) % 2:
        raise Failure(f"bad hex input: odd number of hex digits ({len(digits)})")
    return bytes.fromhex(digits)


def read_file(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise Failure(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def stdin_bytes() -> bytes:
    if sys.stdin is None or sys.stdin.isatty():
        raise UsageError("no input given: pass it as an argument, @FILE, or pipe it into stdin")
    stream = getattr(sys.stdin, "buffer", None)
    data = stream.read() if stream is not None else sys.stdin.read()
    return data.encode("utf-8") if isinstance(data, str) else data


def _file_hint(arg: str) -> str:
    return f" (to read the file {arg}, write @{arg})" if Path(arg).is_file() else ""


def parse_base64(text: bytes) -> bytes:
    """Standard or URL-safe base64, padding optional, whitespace ignored."""
    squeezed = b"".join(text.split()).rstrip(b"=").translate(bytes.maketrans(b"-_", b"+/"))
    if len(squeezed) % 4 == 1:
        raise Failure(f"bad base64 input: {len(squeezed)} characters cannot be base64 (one too many or too few)")
    try:
        return base64.b64decode(squeezed + b"=" * (-len(squeezed) % 4), validate=True)
    except binascii.Error:
        bad = next((i for i, c in enumerate(squeezed) if not BASE64_TEXT.fullmatch(bytes([c]))), None)
        where = f": {chr(squeezed[bad])!r} (character {bad + 1}) is not base64" if bad is not None else ""
        raise Failure(f"bad base64 input{where}") from None


def looks_like_base64(data: bytes) -> bool:
    """Whether raw input read from a file or standard input could have been meant as base64."""
    return len(data) >= 8 and BASE64_TEXT.fullmatch(data) is not None


def _is_hex_text(text: str) -> bool:
    return bool(text.strip()) and all(c in HEX_DIGITS or c.isspace() for c in _HEX_PREFIX.sub("", text))


def _file_or_stdin(arg: str) -> bytes | None:
    """The bytes of @FILE or of - (stdin); None when `arg` is the input itself."""
    if arg.startswith("@"):
        return read_file(arg[1:], "input file")
    if arg == "-":
        return stdin_bytes()
    return None


def read_tl_input(arg: str, base64_text: bool = False) -> bytes:
    """HEX | @FILE (raw) | - (stdin: hex text if it is all hex, else raw); with base64_text, each
    of them is base64 text instead."""
    if base64_text:
        given = _file_or_stdin(arg)
        data = parse_base64(arg.encode("utf-8", "replace") if given is None else given)
    elif arg.startswith("@"):
        data = read_file(arg[1:], "input file")
    elif arg == "-":
        data = stdin_bytes()
        try:
            text = data.decode("ascii")
        except UnicodeDecodeError:
            text = None
        # 0x and whitespace too. Departure D24: see ARCHITECTURE.md, "Departures".
        if text is not None and _is_hex_text(text):
            data = parse_hex(text)
    else:
        try:
            data = parse_hex(arg)
        except Failure as exc:
            raise Failure(f"{exc}{_file_hint(arg)}") from None
    if not data:
        raise Failure("nothing to unpack: the input is empty")
    return data


def read_json_input(arg: str):
    """JSON text | @FILE | - (stdin), in the JSON form of jsonform.py."""
    raw = _file_or_stdin(arg)
    if raw is None:
        try:
            return from_json(arg)
        except Failure as exc:
            raise Failure(f"{exc}{_file_hint(arg)}") from None
    try:
        return from_json(raw.decode("utf-8-sig"))
    except UnicodeDecodeError:
        raise Failure("bad JSON input: not UTF-8 text") from None


def read_json_lines(arg: str):
    """(line number, value) of every non-blank line of JSON text | @FILE | - (stdin)."""
    raw = _file_or_stdin(arg)
    if raw is None:
        raw = arg.encode("utf-8")
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise Failure("bad JSON input: not UTF-8 text") from None
    values = []
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip():
            try:
                values.append((number, from_json(line)))
            except Failure as exc:
                raise Failure(f"line {number}: {exc}") from None
    if not values:
        raise Failure("nothing to pack: the input has no JSON line")
    return values
