"""Reading what the commands take: TL bytes as hex, raw files or standard input; JSON text.

TL input is read as a stream (``TLInput``): a regular file is mapped and read where it lies, a
pipe is read as it arrives, so that a value can be decoded and printed before the rest of the
input exists, and the memory a long capture needs stays that of the values in flight.
"""

from __future__ import annotations

import binascii
import io
import mmap
import os
import re
import select
import stat
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
            only hex digits, 0x and whitespace, otherwise as raw bytes
            (a pipe is judged by its first read, and decoded as it arrives);
            @/dev/stdin always reads raw bytes
  --base64  the input (HEX's place, @FILE or standard input) is base64
            text, standard or URL-safe, padded or not; whitespace is ignored
            (a pipe is decoded as it arrives)
An empty input prints nothing and is no error.
"""

_HEX_PREFIX = re.compile(r"(?:(?<=\s)|^)0[xX]")
_SPACED_PREFIX = re.compile(rb" 0[xX]")
_HEX_BYTES = b"0123456789abcdefABCDEF"
# What str.split() takes for whitespace among the ASCII characters, and what bytes.split() takes.
_SPACE = b" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f"
_BYTES_SPACE = b" \t\n\r\x0b\x0c"
_ONE_SPACE = bytes.maketrans(_SPACE, b" " * len(_SPACE))
_BASE64_BYTES = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="
_URL_SAFE = bytes.maketrans(b"-_", b"+/")


def _hex_digits(text: bytes) -> bytes:
    """ASCII hex text without its whitespace and the 0x in front of any group, in bulk: a 0x
    counts at the start and after whitespace only, as _HEX_PREFIX says."""
    if b"x" in text or b"X" in text:
        text = b" " + text.translate(_ONE_SPACE)
        # One pass, left to right: " 0x0X" keeps its second 0X, as the regex does.
        if b"X" not in text:
            text = text.replace(b" 0x", b" ")
        elif b"x" not in text:
            text = text.replace(b" 0X", b" ")
        else:
            text = _SPACED_PREFIX.sub(b" ", text)
    return text.translate(None, _SPACE)


def _first_outside(data: bytes, allowed: bytes) -> int | None:
    """The index of the first byte of data that is not in allowed, or None."""
    rest = data.translate(None, allowed)
    return data.index(rest[:1]) if rest else None


def _hex_failure(digits: bytes, counted: int = 0) -> Failure:
    """What is wrong with squeezed hex digits that do not convert (counted digits came before)."""
    bad = _first_outside(digits, _HEX_BYTES)
    if bad is not None:
        return Failure(f"bad hex input: {chr(digits[bad])!r} (digit {counted + bad + 1}) is not a hex digit")
    return Failure(f"bad hex input: odd number of hex digits ({counted + len(digits)})")


def parse_hex(text: str | bytes) -> bytes:
    if isinstance(text, str):
        if not text.isascii():  # other whitespace than ASCII's, or a character that is no digit
            squeezed = "".join(_HEX_PREFIX.sub("", text).split())
            if not squeezed.isascii():
                bad = next(i for i, ch in enumerate(squeezed) if ch not in HEX_DIGITS)
                raise Failure(f"bad hex input: {squeezed[bad]!r} (digit {bad + 1}) is not a hex digit")
            digits = squeezed.encode("ascii")
        else:
            digits = _hex_digits(text.encode("ascii"))
    else:
        digits = _hex_digits(text)
    try:
        return binascii.unhexlify(digits)
    except binascii.Error:
        raise _hex_failure(digits) from None


def read_file(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise Failure(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def _stdin():
    """Standard input as a binary stream; a usage error on a terminal."""
    if sys.stdin is None or sys.stdin.isatty():
        raise UsageError("no input given: pass it as an argument, @FILE, or pipe it into stdin")
    return getattr(sys.stdin, "buffer", None) or sys.stdin


def stdin_is_file() -> bool:
    """Whether standard input is a regular file (read whole at once) rather than a pipe or a terminal."""
    fd = _fileno(getattr(sys.stdin, "buffer", sys.stdin))
    try:
        return fd is not None and stat.S_ISREG(os.fstat(fd).st_mode)
    except OSError:
        return False


def stdin_bytes() -> bytes:
    data = _stdin().read()
    return data.encode("utf-8") if isinstance(data, str) else data


def _file_hint(arg: str) -> str:
    try:
        return f" (to read the file {arg}, write @{arg})" if len(arg) < 4096 and Path(arg).is_file() else ""
    except (OSError, ValueError):  # a name too long, or with a NUL
        return ""


def parse_base64(text: bytes, counted: int = 0) -> bytes:
    """Standard or URL-safe base64, padding optional, whitespace ignored. `counted` is how many
    characters of the same text came before `text` (the messages count from the text's start)."""
    squeezed = text.translate(None, _BYTES_SPACE)
    end = len(squeezed)
    while end and squeezed[end - 1] == 0x3D:  # "="
        end -= 1
    if (counted + end) % 4 == 1:
        raise Failure(f"bad base64 input: {counted + end} characters cannot be base64 (one too many or too few)")
    squeezed = squeezed.translate(_URL_SAFE)  # the identity where there is no - or _
    if len(squeezed) - end != -end % 4:  # padding missing, or too much of it
        squeezed = squeezed[:end] + b"=" * (-end % 4)
    return _decode_base64(squeezed, counted)


def _decode_base64(squeezed, counted: int) -> bytes:
    try:
        return binascii.a2b_base64(squeezed, strict_mode=True)
    except binascii.Error:
        squeezed = bytes(squeezed)
        bad = _first_outside(squeezed, _BASE64_BYTES)
        where = f": {chr(squeezed[bad])!r} (character {counted + bad + 1}) is not base64" if bad is not None else ""
        raise Failure(f"bad base64 input{where}") from None


def looks_like_base64(data) -> bool:
    """Whether raw input read from a file or standard input could have been meant as base64."""
    return len(data) >= 8 and BASE64_TEXT.fullmatch(data) is not None


def looks_like_hex(data) -> bool:
    """Whether raw input holds hex text (what standard input would have read as hex)."""
    data = bytes(data)
    return bool(data.strip()) and _first_outside(_hex_digits(data), _HEX_BYTES) is None


def _is_hex_text(data: bytes) -> bool:
    # Hex digits, 0x and whitespace, and not only whitespace. Departure D24: see ARCHITECTURE.md.
    return bool(data.strip(_SPACE)) and _first_outside(_hex_digits(data), _HEX_BYTES) is None


def _file_or_stdin(arg: str) -> bytes | None:
    """The bytes of @FILE or of - (stdin); None when `arg` is the input itself."""
    if arg.startswith("@"):
        return read_file(arg[1:], "input file")
    if arg == "-":
        return stdin_bytes()
    return None


CHUNK = 1 << 20  # bytes read from a pipe at most at once
IDLE = 0.05  # seconds without new input after which a pipe's pending bytes are decoded
DROP = 1 << 22  # consumed bytes of a mapped file given back at once


class TLInput:
    """TL bytes as they become available: ``data`` holds them from absolute offset ``base`` on,
    ``eof`` says whether more may come.  ``more()`` reads on (False at the end of the input),
    ``consumed(pos)`` says the bytes before data[pos] are done with, ``size`` is the input's
    total when known (for progress)."""

    def __init__(self, data, *, stream=None, size=None):
        self.data = data
        self.base = 0
        self.stream = stream
        self.eof = stream is None
        self.size = len(data) if size is None and stream is None else size
        self._hex = False  # whether the stream is hex text (see read_as_hex)
        self._text = b""  # hex text not converted yet: a "0" that may begin a 0x
        self._mid_word = False  # whether the text converted so far ends within a group of digits
        self._digits = 0  # hex digits converted so far
        self._carry = b""  # a digit left over from an odd number of them
        self._base64 = False  # whether the stream is base64 text (see read_as_base64)
        self._squeezed = 0  # base64 characters converted so far
        self._fd = _fileno(stream)
        self._mapped = isinstance(data, mmap.mmap)
        self._dropped = 0

    def ready(self) -> bool:
        """Whether more input is on its way right now (read it before decoding what is pending)."""
        if self.eof or self._fd is None:
            return not self.eof
        try:
            return bool(select.select([self._fd], [], [], IDLE)[0])
        except (OSError, ValueError):
            return True

    def more(self) -> bool:
        """Read what arrived (waiting for it); False once the input has ended."""
        if self.eof:
            return False
        read = getattr(self.stream, "read1", None) or self.stream.read
        try:
            chunk = read(CHUNK)
        except OSError as exc:
            raise Failure(f"cannot read the input: {exc.strerror or exc}") from None
        if isinstance(chunk, str):
            chunk = chunk.encode("utf-8")
        if not chunk:
            self.eof = True
            if self._hex:
                self._hex_text(b"", final=True)
            elif self._base64:
                self._base64_text(b"", final=True)
            return self._hex or self._base64
        if self._hex:
            self._hex_text(chunk, final=False)
        elif self._base64:
            self._base64_text(chunk, final=False)
        else:
            self.data += chunk
        return True

    def read_as_hex(self) -> None:
        """Take what was read, and all that follows, as hex text."""
        text, self.data, self._hex = bytes(self.data), bytearray(), True
        self._hex_text(text, final=self.eof)

    def _hex_text(self, chunk: bytes, final: bool) -> None:
        """Convert hex text as it arrives: all of it but a final "0" that may begin a 0x."""
        text = self._text + chunk
        cut = len(text)
        if not final and text.endswith(b"0") and (text[-2] in _SPACE if len(text) > 1 else not self._mid_word):
            cut -= 1
        piece, self._text = text[:cut], text[cut:]
        if not piece and not final:
            return
        # A piece that begins within a group has no 0x to drop at its start: a digit in front says so.
        digits = self._carry + (_hex_digits(b"1" + piece)[1:] if self._mid_word else _hex_digits(piece))
        if piece:
            self._mid_word = piece[-1] not in _SPACE
        self._carry = b""
        if len(digits) % 2 and not final:
            digits, self._carry = digits[:-1], digits[-1:]
        try:
            self.data += binascii.unhexlify(digits)
        except binascii.Error:
            raise _hex_failure(digits, self._digits) from None
        self._digits += len(digits)

    def read_as_base64(self) -> None:
        """Take all that follows as base64 text."""
        self._base64 = True

    def _base64_text(self, chunk: bytes, final: bool) -> None:
        """Convert base64 text as it arrives, in whole groups of four characters; a group with
        padding, and all after it, waits for the end (padding may only end the text).  Departure
        D40: see ARCHITECTURE.md, "Departures"."""
        text = self._text + chunk.translate(_URL_SAFE, _BYTES_SPACE)
        if final:
            self._text = b""
            self.data += parse_base64(text, self._squeezed)
            return
        pad = text.find(b"=")
        whole = len(text) if pad < 0 else pad
        whole -= whole % 4
        self._text = text[whole:]
        if whole:
            self.data += _decode_base64(memoryview(text)[:whole], self._squeezed)
            self._squeezed += whole

    def consumed(self, pos: int) -> int:
        """Forget the bytes before data[pos] when that pays; returns the position in data that
        pos becomes."""
        if self._mapped:
            start = pos - pos % mmap.PAGESIZE
            if start - self._dropped >= DROP and hasattr(self.data, "madvise"):
                self.data.madvise(mmap.MADV_DONTNEED, self._dropped, start - self._dropped)
                self._dropped = start
            return pos
        if isinstance(self.data, bytearray) and pos >= CHUNK and pos * 2 >= len(self.data):
            del self.data[:pos]
            self.base += pos
            return 0
        return pos

    def close(self) -> None:
        if self._mapped:
            try:
                self.data.close()
            except BufferError:  # a value still points into it; the collector closes it
                pass


def _fileno(stream):
    try:
        return stream.fileno() if stream is not None else None
    except (OSError, ValueError, AttributeError):
        return None


def _is_regular(fd) -> bool:
    try:
        return fd is not None and stat.S_ISREG(os.fstat(fd).st_mode)
    except OSError:
        return False


def _mapped(fd: int):
    """A regular file's bytes, mapped (b"" when empty); None for anything else."""
    try:
        info = os.fstat(fd)
    except OSError:
        return None
    if not stat.S_ISREG(info.st_mode):
        return None
    if info.st_size == 0:
        return b""
    try:
        return mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return None


def _open_file(path: str):
    try:
        fh = open(path, "rb", buffering=0)
    except OSError as exc:
        raise Failure(f"cannot read input file {path}: {exc.strerror or exc}") from None
    return fh


def _raw_input(stream) -> TLInput:
    fd = _fileno(stream)
    whole = _mapped(fd) if fd is not None else None
    if whole is not None:
        stream.close()  # the mapping keeps a descriptor of its own
        return TLInput(whole)
    try:
        size = os.fstat(fd).st_size if fd is not None else None
    except OSError:
        size = None
    return TLInput(bytearray(), stream=stream, size=size or None)


def open_tl_input(arg: str, base64_text: bool = False) -> TLInput:
    """HEX | @FILE (raw) | - (stdin: hex text if it is all hex, else raw); with base64_text, each
    of them is base64 text instead (a pipe decoded as it arrives, the others read whole)."""
    if base64_text:
        if arg == "-":
            stream = _stdin()
            fd = _fileno(stream)
            if not _is_regular(fd):  # a pipe or a terminal: decoded as it arrives
                source = TLInput(bytearray(), stream=stream)
                source.read_as_base64()
                return source
        given = _file_or_stdin(arg)
        return TLInput(parse_base64(arg.encode("utf-8", "replace") if given is None else given))
    if arg.startswith("@"):
        path = arg[1:]
        fh = _open_file(path)
        try:
            return _raw_input(fh)
        except OSError as exc:
            raise Failure(f"cannot read input file {path}: {exc.strerror or exc}") from None
    if arg == "-":
        stream = _stdin()
        fd = _fileno(stream)
        whole = _mapped(fd) if fd is not None else None
        if whole is not None:
            # 0x and whitespace too. Departure D24: see ARCHITECTURE.md, "Departures".  The start
            # rules most raw input out without a copy of the whole.
            if _first_outside(whole[:4096], _HEX_BYTES + _SPACE + b"xX") is None and _is_hex_text(bytes(whole)):
                return TLInput(parse_hex(bytes(whole)))
            return TLInput(whole)
        source = TLInput(bytearray(), stream=stream)
        # A pipe: hex or raw is judged by what the first read brings (departure D38: see
        # ARCHITECTURE.md, "Departures").
        while source.more() and not source.data:
            pass
        if _is_hex_text(bytes(source.data)):
            source.read_as_hex()
        return source
    try:
        return TLInput(parse_hex(arg))
    except Failure as exc:
        raise Failure(f"{exc}{_file_hint(arg)}") from None


def read_tl_input(arg: str, base64_text: bool = False) -> bytes:
    """The whole of a TL input (see open_tl_input)."""
    source = open_tl_input(arg, base64_text)
    while source.more():
        pass
    return bytes(source.data)


def _json_failure(exc: Failure, arg: str) -> Failure:
    return Failure(f"{exc}{_file_hint(arg)}")


def read_json_input(arg: str):
    """JSON text | @FILE | - (stdin), in the JSON form of jsonform.py; None when it is empty."""
    raw = _file_or_stdin(arg)
    if raw is None:
        if not arg.strip():
            return None
        try:
            return from_json(arg)
        except Failure as exc:
            raise _json_failure(exc, arg) from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise Failure("bad JSON input: not UTF-8 text") from None
    return from_json(text) if text.strip() else None


class JSONLines:
    """(line number, value) of every non-blank line of JSON text | @FILE | - (stdin), each as soon
    as its line has arrived; ``done`` counts the bytes read so far and ``size`` is the input's
    total when known (for progress)."""

    def __init__(self, arg: str):
        self.arg = arg
        self.done = 0
        self.size = None
        if arg.startswith("@"):
            raw = _open_file(arg[1:])
            self.stream = io.BufferedReader(raw, CHUNK)  # lines are read from a buffer, not a byte at a time
        elif arg == "-":
            self.stream = _stdin()
        else:
            self.stream = None
        fd = _fileno(self.stream)
        if _is_regular(fd):
            self.size = os.fstat(fd).st_size or None

    def __iter__(self):
        arg, stream = self.arg, self.stream
        try:
            texts = arg.removeprefix("\ufeff").splitlines() if stream is None else self._text_lines(stream)
            for number, text in enumerate(texts, 1):
                if text.strip():
                    try:
                        yield number, from_json(text)
                    except Failure as exc:
                        raise Failure(f"line {number}: {exc}") from None
        finally:
            if stream is not None and arg.startswith("@"):
                stream.close()

    def _text_lines(self, stream):
        """The lines of a UTF-8 stream as they arrive, split as str.splitlines() splits the whole
        text (a line read up to its \\n holds every other line end whole)."""
        first = True
        while line := stream.readline():
            if isinstance(line, str):
                line = line.encode("utf-8")
            self.done += len(line)
            try:
                text = line.decode("utf-8-sig" if first else "utf-8")
            except UnicodeDecodeError:
                raise Failure("bad JSON input: not UTF-8 text") from None
            first = False
            yield from text.splitlines()
