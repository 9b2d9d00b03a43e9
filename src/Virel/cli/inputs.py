"""Reading what the commands take: TL bytes as hex, raw files or standard input; JSON text."""

from __future__ import annotations

import sys
from pathlib import Path

from .errors import Failure, UsageError
from .jsonform import from_json

HEX_DIGITS = frozenset("0123456789abcdefABCDEF")

HELP = """\
INPUT:
  HEX       hex digits on the command line; whitespace anywhere is ignored
  @FILE     the raw bytes of FILE
  -         standard input (the default): read as hex text when it holds
            only hex digits and whitespace, otherwise as raw bytes;
            @/dev/stdin always reads raw bytes
"""


def parse_hex(text: str) -> bytes:
    digits = "".join(text.split())
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


def read_tl_input(arg: str) -> bytes:
    """HEX | @FILE (raw) | - (stdin: hex text if it is all hex, else raw)."""
    if arg.startswith("@"):
        data = read_file(arg[1:], "input file")
    elif arg == "-":
        data = stdin_bytes()
        try:
            text = data.decode("ascii")
        except UnicodeDecodeError:
            text = None
        if text is not None and text.strip() and all(c in HEX_DIGITS or c.isspace() for c in text):
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
    if arg.startswith("@"):
        raw = read_file(arg[1:], "input file")
    elif arg == "-":
        raw = stdin_bytes()
    else:
        try:
            return from_json(arg)
        except Failure as exc:
            raise Failure(f"{exc}{_file_hint(arg)}") from None
    try:
        return from_json(raw.decode("utf-8-sig"))
    except UnicodeDecodeError:
        raise Failure("bad JSON input: not UTF-8 text") from None
