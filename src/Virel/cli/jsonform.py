"""The JSON form of decoded objects: what ``unpack`` prints and ``pack`` reads back.

Plain JSON cannot carry every value the codec produces, so three kinds are written as an object
with a single ``$`` key holding a string (``FORMS`` below is the text the help shows).  Nothing
is lost on the way: ``from_json(dumps(v))`` gives ``v`` back, NaN bit patterns included.
"""

from __future__ import annotations

import json
import math
import struct

from .errors import Failure

SAFE_INT = 2**53
# Levels of nesting that get a line and an indentation of their own; anything deeper is written
# on one line, so that the size of the output stays proportional to the data however deep it is.
INDENT_LEVELS = 10
QUIET_NAN = 0x7FF8000000000000  # the NaN that float("nan") gives

FORMS = f"""\
JSON form (unpack prints it, pack reads it back, so the two round-trip):
  "_" names the constructor or method; flags words are left out (pack computes
  them); an absent optional field is null (false for a true/Bool flag).
  bytes                    {{"$bytes": "0a1b2c"}}  (lower-case hex)
  integers beyond +-2**53  {{"$int": "7234567890123456789"}}
  infinite doubles         {{"$float": "inf"}}, {{"$float": "-inf"}}
  NaN                      {{"$float": "nan"}}; a NaN with another sign or payload
                           keeps its 64 bits: {{"$float": "nan:fff8000000000001"}}
  An object with any other key, or more than one, is plain data.  unpack
  indents {INDENT_LEVELS} levels deep and writes deeper values on one line.
"""


def _bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def scalar_form(value):
    """A value that is not a dict or list -> a plain JSON value or one of the ``$`` forms."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": bytes(value).hex()}
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        return {"$int": str(value)} if abs(value) > SAFE_INT else value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        if math.isinf(value):
            return {"$float": "inf" if value > 0 else "-inf"}
        bits = _bits(value)
        return {"$float": "nan" if bits == QUIET_NAN else f"nan:{bits:016x}"}
    raise Failure(f"cannot show a value of type {type(value).__name__} as JSON")


def to_jsonable(value):
    """Decoder output -> plain JSON values, with the ``$`` forms (for shallow data)."""
    if isinstance(value, dict):
        return {k: to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    return scalar_form(value)


def _scalar_text(value) -> str:
    return json.dumps(scalar_form(value), ensure_ascii=False)


_END = object()


def dumps(value) -> str:
    """JSON text of a decoded value, as unpack prints it.

    Containers nested up to INDENT_LEVELS deep put each item on a line of its own, indented by
    two spaces a level; deeper ones are written on one line.  The walk keeps its own stack, so
    any depth the decoder produced can be printed.
    """
    parts: list[str] = []
    emit = parts.append
    # One frame per open container: its items, its closing bracket, its depth, and whether an
    # item has been written yet.
    stack: list[list] = []

    def open_container(v, depth: int) -> bool:
        if isinstance(v, dict):
            items, opener, closer = iter(v.items()), "{", "}"
        elif isinstance(v, (list, tuple)):
            items, opener, closer = ((None, x) for x in v), "[", "]"
        else:
            return False
        if not v:
            emit(opener + closer)
        else:
            emit(opener)
            stack.append([items, closer, depth, False])
        return True

    if not open_container(value, 0):
        return _scalar_text(value)
    while stack:
        frame = stack[-1]
        items, closer, depth, started = frame
        item = next(items, _END)
        indented = depth < INDENT_LEVELS
        if item is _END:
            stack.pop()
            emit(f"\n{'  ' * depth}{closer}" if indented else closer)
            continue
        if started:
            emit(",")
        frame[3] = True
        if indented:
            emit(f"\n{'  ' * (depth + 1)}")
        elif started:
            emit(" ")
        key, v = item
        if key is not None:
            emit(json.dumps(key, ensure_ascii=False) + ": ")
        if not open_container(v, depth + 1):
            emit(_scalar_text(v))
    return "".join(parts)


def _from_form(obj: dict):
    if len(obj) != 1:
        return obj
    ((key, text),) = obj.items()
    if key not in ("$bytes", "$int", "$float"):
        return obj
    if not isinstance(text, str):
        raise Failure(f'{{"{key}": ...}} takes a string, not {json.dumps(text)}')
    try:
        if key == "$bytes":
            return bytes.fromhex(text)
        if key == "$int":
            return int(text.strip(), 10)
        word = text.strip().lower()
        if word.startswith("nan:"):
            digits = word[4:]
            if len(digits) != 16:
                raise ValueError
            value = struct.unpack(">d", bytes.fromhex(digits))[0]
            if not math.isnan(value):
                raise ValueError
            return value
        if word not in ("nan", "inf", "-inf", "+inf", "infinity", "-infinity", "+infinity"):
            raise ValueError
        return float(word)
    except ValueError:
        raise Failure(f"bad {key} value {text!r}") from None


def from_json(text: str):
    """JSON text (as printed by ``unpack``) -> the value ``pack`` takes."""
    try:
        return json.loads(text, object_hook=_from_form)
    except json.JSONDecodeError as exc:
        raise Failure(f"bad JSON input: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise Failure("bad JSON input: nested too deeply to read") from None
