"""The JSON form of decoded objects: what ``unpack`` prints and ``pack`` reads back.

Plain JSON cannot carry every value the codec produces, so three kinds are written as an object
with a single ``$`` key holding a string (``FORMS`` below is the text the help shows).  Nothing
is lost on the way: ``from_json(dumps(v))`` gives ``v`` back, NaN bit patterns included.
"""

from __future__ import annotations

import json
import math
import struct
import sys

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
  indents {INDENT_LEVELS} levels deep and writes deeper values on one line;
  --compact writes each value on one line without spaces.
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
    """Decoder output -> plain JSON values, with the ``$`` forms, as a new value (for shallow data)."""
    if isinstance(value, dict):
        return {k: to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    return scalar_form(value)


_CONTAINERS = frozenset({dict, list})


class _Form(dict):
    """A ``$`` form made by prepare: a scalar to the writer, which keeps it on one line, and a
    dict to the C encoder."""

    __slots__ = ()


_PLAIN = frozenset({str, bool, type(None), _Form})  # what prepare leaves as it is, ints aside


def _form(value):
    """A value that is not a container nor a plain JSON one: its $ form (or a finite float)."""
    shown = scalar_form(value)
    return _Form(shown) if type(shown) is dict else shown


def prepare(value):
    """Decoder output -> the JSON form, converting the containers **in place** (the decoder's
    fresh output is the caller's to give up).  Returns the converted value and the depth of its
    deepest non-empty container (0 for the top one, -1 when there is none).

    The walk keeps a list of containers still to visit rather than recursing, so any depth the
    decoder produced is converted, and every container and value is looked at once.
    """
    if type(value) is not dict and type(value) is not list:
        if type(value) is not _Form and isinstance(value, (dict, list, tuple)):
            return prepare(_copied(value))  # subclasses and tuples: not the decoder's output
        if value is None or type(value) in (str, bool) or (type(value) is int and -SAFE_INT <= value <= SAFE_INT):
            return value, -1
        return _form(value), -1
    deepest = -1
    todo = [(value, 0)] if value else []
    pop, push = todo.pop, todo.append
    while todo:
        node, depth = pop()
        if depth > deepest:
            deepest = depth
        below = depth + 1
        if type(node) is dict:
            for key, v in node.items():  # replacing the value of a key during the walk is allowed
                t = type(v)
                if t is int:
                    if not -SAFE_INT <= v <= SAFE_INT:
                        node[key] = _Form({"$int": str(v)})
                elif t is str or t is bool or v is None:
                    continue
                elif t is dict or t is list:
                    if v:
                        push((v, below))
                elif t is not _Form:
                    node[key] = _form(v)
            continue
        types = set(map(type, node))
        if types <= _PLAIN:
            continue
        if types == {int} and -SAFE_INT <= min(node) and max(node) <= SAFE_INT:
            continue
        for i, v in enumerate(node):
            t = type(v)
            if t is dict or t is list:
                if v:
                    push((v, below))
            elif t is int:
                if not -SAFE_INT <= v <= SAFE_INT:
                    node[i] = _Form({"$int": str(v)})
            elif not (t is str or t is bool or v is None or t is _Form):
                node[i] = _form(v)
    return value, deepest


# The stdlib's C encoder does the bulk of the writing.  It cannot indent on CPython 3.12 (an
# indent makes json fall back to its pure-Python encoder) and would spread the $ forms over
# three lines on 3.13, so the indented levels are laid out here and the C encoder writes what
# lies within them: every container of scalars, and whatever is nested deeper than the indented
# levels.
_encode_str = json.encoder.encode_basestring
# Depth up to which a subtree is handed to the C encoder in one call: it recurses in C, which
# 3.12 allows for about 1,500 levels of containers.
C_DEPTH = 1000
# Levels laid out by the walk below even in compact output, so that the text of a large value is
# written in pieces (a 50 MB object holds its bulk in a vector one or two levels down).
CHUNK_LEVELS = 2
LARGE = 1 << 20  # bytes of TL input that make a value large
FLUSH_PARTS = 4096  # small pieces gathered before they are written
PIECE = 1 << 16  # characters from which a piece is written at once


def _encoder(item_sep: str, key_sep: str):
    """The text of a prepared value with these separators, by the C encoder."""
    encoder = json.JSONEncoder(
        ensure_ascii=False, check_circular=False, allow_nan=False, separators=(item_sep, key_sep)
    )
    make = json.encoder.c_make_encoder
    if make is None:  # an interpreter without the C encoder
        return encoder.encode
    # Made once here rather than by each encode() call (what the many small pieces of indented
    # output would pay for); the arguments are those JSONEncoder.iterencode passes.
    encode = make(None, encoder.default, json.encoder.encode_basestring, None, key_sep, item_sep, False, False, False)
    return lambda value: "".join(encode(value, 0))


_compact = _encoder(",", ":")
_flat = _encoder(", ", ": ")  # the one-line form of values nested deeper than INDENT_LEVELS
# A container of scalars only, at depth d, each item on a line of its own: the C encoder with
# the line break and the indentation in the item separator.
_leaf_at = [_encoder(",\n" + "  " * (d + 1), ": ") for d in range(INDENT_LEVELS)]


def _bytes_form(value):
    if type(value) is bytes:
        return {"$bytes": value.hex()}
    raise TypeError  # anything else takes the exact path


# The compact text of a value straight from the C encoder, its bytes written by the hook above,
# has only its integers beyond +-2**53 to be rewritten in their $ form, and those have 16 digits
# or more: text without such a run of digits is final.  The runs there are are found in a mask of
# the UTF-8 text (digits as "0", the rest as "."), and each that is a number (an integer's token:
# not within a string, not part of a float) is rewritten.
_DIGIT_MASK = bytes(0x30 if 0x30 <= b <= 0x39 else 0x2E for b in range(256))
_RUN = b"0" * 16
_fast_encode = None


def _outside_strings(text: bytes, unescaped: bytes, pos: int) -> bool:
    """Whether text[pos] lies outside every string of the encoded text; unescaped is text with
    its escaped backslashes blanked, so that each backslash left escapes the next character."""
    return (unescaped.count(b'"', 0, pos) - unescaped.count(b'\\"', 0, pos)) % 2 == 0


def _rewrite_big(text: bytes, mask: bytes, at: int) -> bytes:
    unescaped = text.replace(b"\\\\", b"__") if b"\\" in text else text
    parts, done = [], 0
    while at >= 0:
        end = mask.find(b".", at)
        end = len(text) if end < 0 else end
        start = at - 1 if at and text[at - 1] == 0x2D else at  # "-"
        if (
            (start == 0 or text[start - 1] in b":,[")
            and (end == len(text) or text[end] in b",]}")
            and not -SAFE_INT <= int(text[start:end]) <= SAFE_INT
            and _outside_strings(text, unescaped, start)
        ):
            parts += [text[done:start], b'{"$int":"', text[start:end], b'"}']
            done = end
        at = mask.find(_RUN, end)
    parts.append(text[done:])
    return b"".join(parts)


def compact_bytes(value) -> bytes | None:
    """The compact text of a decoded value in UTF-8, as write() gives it, without converting the
    value; None when it holds what only the exact path writes (a NaN or an infinity, a container
    nested deeper than the C encoder goes, a value that is not the decoder's)."""
    global _fast_encode
    if _fast_encode is None:
        make = json.encoder.c_make_encoder
        if make is None:
            return None
        encode = make(None, _bytes_form, json.encoder.encode_basestring, None, ":", ",", False, False, False)
        _fast_encode = lambda v: "".join(encode(v, 0))  # noqa: E731
    try:
        text = _fast_encode(value).encode("utf-8")
    except (ValueError, TypeError, RecursionError):
        return None
    mask = text.translate(_DIGIT_MASK)
    at = mask.find(_RUN)
    return text if at < 0 else _rewrite_big(text, mask, at)


def _scalar(v) -> str:
    """The text of a value that is not a container (after prepare, nor a $ form)."""
    t = type(v)
    if t is str:
        return _encode_str(v)
    if t is int:
        return int.__repr__(v)
    if v is None:
        return "null"
    if t is bool:
        return "true" if v else "false"
    if t is float:
        return float.__repr__(v)
    return "{}" if t is dict else "[]"  # the empty containers


def _is_leaf(v) -> bool:
    return _CONTAINERS.isdisjoint(map(type, v.values() if type(v) is dict else v))


class _Layout:
    """How the walk writes: containers at depth < levels are written item by item with
    seps[depth] = (after the opening bracket, between items, before the closing bracket, after
    a key); leaves(v, depth) is the text of a container of scalars (None: walk it), whole(v) that
    of a container at depth >= levels, and batch(items) that of a run of list items all at
    depth >= levels, without brackets (None: one at a time)."""

    def __init__(self, levels, seps, leaves, whole, batch=None):
        self.levels, self.seps, self.leaves, self.whole, self.batch = levels, seps, leaves, whole, batch


_PRETTY_SEPS = [("\n" + "  " * (d + 1), ",\n" + "  " * (d + 1), "\n" + "  " * d, ": ") for d in range(INDENT_LEVELS)]
_FLAT_SEPS = ("", ", ", "", ": ")
_COMPACT_SEPS = ("", ",", "", ":")
BATCH = 256  # list items written by one call of the C encoder in compact output


class _Seps:
    """Separators by depth: the first levels' own, then one set for every deeper level."""

    def __init__(self, first, rest):
        self.first, self.rest = first, rest

    def __getitem__(self, depth):
        return self.first[depth] if depth < len(self.first) else self.rest


def _pretty_leaf(v, depth):
    if not _is_leaf(v):
        return None
    if depth >= INDENT_LEVELS:
        return _flat(v)
    text = _leaf_at[depth](v)
    first, _, last, _ = _PRETTY_SEPS[depth]
    return text[0] + first + text[1:-1] + last + text[-1]


def _compact_leaf(v, depth):
    return _compact(v) if _is_leaf(v) else None


def _layout(pretty: bool, deepest: int) -> _Layout:
    if not pretty:
        if deepest <= C_DEPTH:
            return _Layout(
                CHUNK_LEVELS, _Seps([], _COMPACT_SEPS), _compact_leaf, _compact, lambda items: _compact(items)[1:-1]
            )
        return _Layout(deepest + 1, _Seps([], _COMPACT_SEPS), _compact_leaf, None)
    if deepest < INDENT_LEVELS + C_DEPTH:
        return _Layout(INDENT_LEVELS, _Seps(_PRETTY_SEPS, None), _pretty_leaf, _flat)
    return _Layout(deepest + 1, _Seps(_PRETTY_SEPS, _FLAT_SEPS), _pretty_leaf, None)


def write(value, sink, pretty: bool = True, large: bool = True) -> None:
    """Write a decoded value as JSON text through sink(str), in pieces; the containers of value
    are converted in place (see prepare).  A value that is not `large` (its text fits in memory
    twice over at no cost) may be written in one piece.

    Containers nested up to INDENT_LEVELS deep put each item on a line of its own, indented by
    two spaces a level; deeper ones are written on one line (``pretty``); or all on one line
    without spaces.  Any depth the decoder produced can be written.
    """
    if not pretty and not large:
        text = compact_bytes(value)
        if text is not None:
            sink(text.decode("utf-8"))
            return
    value, deepest = prepare(value)
    if deepest < 0:  # a scalar, a scalar's $ form or an empty container
        sink(_scalar(value) if type(value) is not _Form else _flat(value) if pretty else _compact(value))
        return
    if not pretty and not large and deepest <= C_DEPTH:
        sink(_compact(value))
        return
    lay = _layout(pretty, deepest)
    levels, seps, leaves, whole, batch = lay.levels, lay.seps, lay.leaves, lay.whole, lay.batch
    form_sep = ": " if pretty else ":"
    keys: dict[str, str] = {}  # a key's text with the separator after it, by key
    parts: list[str] = []
    emit = parts.append
    # One frame per open container: [its items, whether a dict, the text between two items,
    # the closing text, its depth, whether an item has been written].
    stack: list[list] = []

    def put(text: str) -> None:
        """A piece the C encoder wrote, which may be large: it goes out at once."""
        if len(text) < PIECE:
            emit(text)
        else:
            sink("".join(parts))
            parts.clear()
            sink(text)

    def enter(v, depth: int) -> None:
        """Write v, or open it: its frame goes on the stack."""
        if not v:
            emit("{}" if type(v) is dict else "[]")
        elif depth >= levels:
            put(whole(v))
        elif (text := leaves(v, depth)) is not None:
            put(text)
        elif type(v) is dict:
            first, between, last, key_sep = seps[depth]
            emit("{" + first)
            stack.append([iter(v.items()), True, between, last + "}", depth, False])
        elif batch is not None and depth + 1 >= levels:
            emit("[")
            for i in range(0, len(v), BATCH):
                if i:
                    emit(",")
                put(batch(v[i : i + BATCH]))
            emit("]")
        else:
            first, between, last, _ = seps[depth]
            emit("[" + first)
            stack.append([iter(v), False, between, last + "]", depth, False])

    def text_of(v, t) -> str:
        if t is _Form:
            ((name, text),) = v.items()
            return f"{{{_encode_str(name)}{form_sep}{_encode_str(text)}}}"
        return _scalar(v)

    enter(value, 0)
    while stack:
        frame = stack[-1]
        items, is_dict, between, closing, depth, started = frame
        height = len(stack)
        if is_dict:
            key_sep = seps[depth][3]
            for key, v in items:
                head = keys.get(key)
                if head is None:
                    head = keys[key] = _encode_str(key) + key_sep
                if started:
                    head = between + head
                started = True
                if v is None:
                    emit(head + "null")
                elif (t := type(v)) is str:
                    emit(head + _encode_str(v))
                elif t is bool:
                    emit(head + ("true" if v else "false"))
                elif t is int:
                    emit(head + int.__repr__(v))
                elif t is dict or t is list:
                    emit(head)
                    enter(v, depth + 1)
                    if len(stack) > height:
                        frame[5] = True
                        break
                else:
                    emit(head + text_of(v, t))
            else:
                stack.pop()
                emit(closing)
        else:
            for v in items:
                if started:
                    emit(between)
                started = True
                t = type(v)
                if t is dict or t is list:
                    enter(v, depth + 1)
                    if len(stack) > height:
                        frame[5] = True
                        break
                else:
                    emit(text_of(v, t))
            else:
                stack.pop()
                emit(closing)
        if len(parts) > FLUSH_PARTS:
            sink("".join(parts))
            parts.clear()
    sink("".join(parts))


def _plain(v):
    """A new dict or list of v's items if v is a container (tuples and subclasses included),
    else None."""
    t = type(v)
    if t is dict or (t is not _Form and isinstance(v, dict)):
        return dict(v)
    if t is list or isinstance(v, (list, tuple)):
        return list(v)
    return None


def _copied(value):
    """value with every container copied into a plain dict or list (without recursion), for
    prepare to change."""
    top = _plain(value)
    if top is None:
        return value
    todo = [top]
    while todo:
        node = todo.pop()
        for key, v in node.items() if type(node) is dict else enumerate(node):
            if (copy := _plain(v)) is not None:
                node[key] = copy
                todo.append(copy)
    return top


def dumps(value, pretty: bool = True) -> str:
    """JSON text of a decoded value, as unpack prints it (value itself is left as it was)."""
    parts: list[str] = []
    write(_copied(value), parts.append, pretty)
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
    except ValueError:  # an integer beyond the interpreter's limit on digits
        raise Failure(
            f"bad JSON input: an integer of more than {sys.get_int_max_str_digits()} digits "
            "(no TL value has more than 78)"
        ) from None
