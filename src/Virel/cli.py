"""Command-line tool: ``python -m Virel COMMAND ...``.

Commands
--------
demo      pack and unpack a few objects of the shipped example schema
unpack    TL bytes -> JSON
pack      JSON -> TL bytes (hex, or raw with --raw)
schema    summary of a schema, or one constructor/method by name or id
convert   TL text (.tl) -> schema JSON

``--schema`` (and the file of ``schema``) takes a schema JSON file, or a
``.tl`` file (by its suffix) that is converted on the fly.

JSON conventions
----------------
``unpack`` prints JSON and ``pack`` reads the same JSON back, so the two
round-trip.  Three kinds of value have no faithful plain JSON form; each is
written as an object with a single ``$`` key whose value is a string:

* bytes values:                        ``{"$bytes": "<lower-case hex>"}``
* integers with ``abs(n) > 2**53``:    ``{"$int": "<decimal>"}``
  (JSON tools that read numbers as doubles would round them)
* NaN and infinite doubles:            ``{"$float": "nan" | "inf" | "-inf"}``

``pack`` turns such objects back into bytes, int and float; it also takes
plain JSON numbers of any size.

Input
-----
``unpack`` takes HEX on the command line (whitespace allowed anywhere),
``@FILE`` (raw bytes of the file) or ``-`` (standard input, the default).
Standard input is read as hex text when it holds only hex digits and
whitespace, otherwise as raw bytes; ``@/dev/stdin`` always reads raw bytes.
``pack`` takes the JSON text, ``@FILE`` or ``-`` (the default).

Exit status: 0 ok, 1 failure (bad data, bad schema, unreadable file),
2 usage error.  Errors are one line on stderr (``virel: error: ...``);
``--debug`` adds the traceback.
"""

from __future__ import annotations

import argparse
import difflib
import json
import math
import re
import sys
import time
import traceback
from pathlib import Path

from . import tl_text

PROG = "python -m Virel"
EXAMPLE_SCHEMA = Path(__file__).with_name("example_schema.json")
SAFE_INT = 2**53
HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


class Failure(Exception):
    """A runtime failure: bad data, bad schema, unreadable file (exit 1)."""


class UsageError(Exception):
    """A command line that cannot be carried out as given (exit 2)."""


# ---------------------------------------------------------------- JSON forms


def to_jsonable(value):
    """Decoder output -> plain JSON values, with the ``$`` forms."""
    if isinstance(value, dict):
        return {k: to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": bytes(value).hex()}
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        return {"$int": str(value)} if abs(value) > SAFE_INT else value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    raise Failure(f"cannot show a value of type {type(value).__name__} as JSON")


def _from_marker(obj: dict):
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
        if text.strip().lower() not in ("nan", "inf", "-inf", "+inf", "infinity", "-infinity"):
            raise ValueError
        return float(text)
    except ValueError:
        raise Failure(f"bad {key} value {text!r}") from None


def from_json(text: str):
    """JSON text (as printed by ``unpack``) -> the value ``pack`` takes."""
    try:
        return json.loads(text, object_hook=_from_marker)
    except json.JSONDecodeError as exc:
        raise Failure(f"bad JSON input: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None


# An indented {"$int": "..."} spans three lines; keep these forms on one.
# Raw newlines occur only between tokens (strings escape theirs), so this
# pattern cannot match inside a string value.
_MARKER = re.compile(r'\{\n\s*("\$(?:bytes|int|float)": "[^"]*")\n\s*\}')


def dumps(value) -> str:
    """Indented JSON with the $ forms, as unpack prints it."""
    return _MARKER.sub(r"{\1}", json.dumps(to_jsonable(value), indent=2, ensure_ascii=False))


# -------------------------------------------------------------------- input


def parse_hex(text: str) -> bytes:
    digits = "".join(text.split())
    for pos, ch in enumerate(digits):
        if ch not in HEX_DIGITS:
            raise Failure(f"bad hex input: {ch!r} (digit {pos + 1}) is not a hex digit")
    if len(digits) % 2:
        raise Failure(f"bad hex input: odd number of hex digits ({len(digits)})")
    return bytes.fromhex(digits)


def _read_file(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise Failure(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def _stdin_bytes() -> bytes:
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
        data = _read_file(arg[1:], "input file")
    elif arg == "-":
        data = _stdin_bytes()
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
    if arg.startswith("@"):
        raw = _read_file(arg[1:], "input file")
    elif arg == "-":
        raw = _stdin_bytes()
    else:
        try:
            return from_json(arg)
        except Failure as exc:
            raise Failure(f"{exc}{_file_hint(arg)}") from None
    try:
        return from_json(raw.decode("utf-8-sig"))
    except UnicodeDecodeError:
        raise Failure("bad JSON input: not UTF-8 text") from None


# ------------------------------------------------------------------- schema


class Schema:
    """A schema file as text (for TLParser) and as a dict (for summaries)."""

    def __init__(self, path: str):
        self.path = path
        self.layer = None
        raw = _read_file(path, "schema")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise Failure(f"bad schema {path}: not UTF-8 text (byte {exc.start})") from None
        self.is_tl = path.lower().endswith(".tl")
        if self.is_tl:
            try:
                conv = tl_text.parse(text)
            except tl_text.TLTextError as exc:
                raise Failure(f"bad schema {path}: {exc}") from None
            self.data = conv.schema
            self.layer = conv.layer
            self.text = tl_text.to_json(conv.schema, compact=True)
        else:
            self.text = text
            self.data = None
        self._parser = None

    def parser(self):
        if self._parser is None:
            TLParser = _tl_module().TLParser
            try:
                self._parser = TLParser(self.text)
            except (TypeError, ValueError, KeyError, AttributeError, OverflowError) as exc:
                raise Failure(f"bad schema {self.path}: {_describe(exc)}") from exc
        return self._parser

    def entries(self):
        """(kind, entry) for every constructor and method; checks the shape."""
        self.parser()  # a bad schema is reported the way TLParser sees it
        if self.data is None:
            try:
                self.data = json.loads(self.text)
            except json.JSONDecodeError as exc:
                raise Failure(f"bad schema {self.path}: {exc}") from None
        data = self.data
        if not isinstance(data, dict):
            raise Failure(f"bad schema {self.path}: the top level is not a JSON object")
        out = []
        for kind, key in (("constructor", "constructors"), ("method", "methods")):
            for entry in data.get(key) or []:
                if not isinstance(entry, dict):
                    raise Failure(f"bad schema {self.path}: an entry of {key} is not an object")
                name = str(entry.get("predicate" if kind == "constructor" else "method"))
                try:
                    ident = int(entry["id"]) & 0xFFFFFFFF
                    params = [(p["name"], p["type"]) for p in entry.get("params", [])]
                except (KeyError, TypeError, ValueError) as exc:
                    raise Failure(f"bad schema {self.path}: entry {name!r}: {_describe(exc)}") from None
                out.append((kind, {"name": name, "id": ident, "params": params, "type": str(entry.get("type"))}))
        return out


def _tl_module():
    try:
        from . import tl
    except ImportError as exc:
        raise Failure(f"the native module Virel.tl cannot be loaded (is the package built?): {exc}") from exc
    return tl


def _describe(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        text = f"missing key {exc.args[0]!r}"
    else:
        text = str(exc) or type(exc).__name__
    notes = getattr(exc, "__notes__", None)  # where the codec failed, when it says
    if notes:
        text += f" ({'; '.join(map(str, notes))})"
    return " ".join(text.split())


# ------------------------------------------------------------ type display


def value_kind(t: str) -> str:
    """Kind of a (flag-free) type: int, long, double, string, bytes, bool,
    int128, int256, vector, any or object."""
    if t in ("int", "#"):
        return "int"
    if t in ("long", "double", "string", "int128", "int256"):
        return t
    if t in ("bytes", "byte"):
        return "bytes"
    if t in ("Bool", "true"):
        return "bool"
    if t.startswith("Vector"):
        return "vector"
    if t.startswith("!"):
        return "any"
    return "object"


_SIZES = {"int": ", 4 bytes", "long": ", 8 bytes", "double": ", 8 bytes", "bool": ", 4 bytes",
          "int128": ", 16 bytes", "int256": ", 32 bytes", "string": "", "bytes": ""}


def carried(ptype: str) -> str:
    """How a parameter travels on the wire, in words."""
    if ptype == "#":
        return "flags field (pack sets the bits)"
    prefix = ""
    body = ptype
    if "?" in ptype:
        cond, body = ptype.split("?", 1)
        field, _, bit = cond.partition(".")
        if body == "true":
            return f"bit {bit} of {field}, no data (true when set)"
        prefix = f"if bit {bit} of {field}: "
    kind = value_kind(body)
    if kind == "vector":
        depth = body.count("Vector<")
        elem = body.replace("Vector<", "").replace(">", "")
        ekind = value_kind(elem)
        nest = "vector of " * depth
        return f"{prefix}{nest}{ekind}" + ("" if ekind in (elem, "object") else f" ({elem})")
    if kind == "object":
        return f"{prefix}object"
    if kind == "any":
        return f"{prefix}object of any type ({body[1:]})"
    return f"{prefix}{kind}{_SIZES[kind]}"


def parse_id(text: str) -> int | None:
    """0x1cb5c415, #1cb5c415, decimal or negative decimal -> unsigned id."""
    t = text.strip()
    try:
        if t[:2].lower() == "0x" or t[:1] == "#":
            n = int(t[2:] if t[0] == "0" else t[1:], 16)
        elif t.lstrip("-").isdigit():
            n = int(t, 10)
        else:
            return None
    except ValueError:
        raise UsageError(f"bad id {text!r}: write it as 0x1cb5c415, 481674261 or -1132882121") from None
    if not -(2**31) <= n < 2**32:
        raise UsageError(f"id {text!r} does not fit in 32 bits")
    return n & 0xFFFFFFFF


def _signed(n: int) -> int:
    return n - 2**32 if n >= 2**31 else n


def format_entry(kind: str, e: dict) -> str:
    lines = [
        f"{e['name']}#{e['id']:08x}  ({kind})",
        f"  id:     0x{e['id']:08x}  ({_signed(e['id'])})",
        f"  result: {e['type']}",
    ]
    if not e["params"]:
        lines.append("  params: none")
        return "\n".join(lines)
    lines.append(f"  params: {len(e['params'])}")
    wn = max(len(n) for n, _ in e["params"])
    wt = max(len(t) for _, t in e["params"])
    for name, ptype in e["params"]:
        lines.append(f"    {name:<{wn}}  {ptype:<{wt}}  {carried(ptype)}")
    return "\n".join(lines)


# ----------------------------------------------------------------- commands


def _out(text: str) -> None:
    sys.stdout.write(text + "\n")


def _note(text: str) -> None:
    sys.stderr.write(f"virel: {text}\n")


def cmd_unpack(args) -> int:
    schema = Schema(args.schema)
    data = read_tl_input(args.input)
    parser = schema.parser()
    try:
        obj = parser.unpack(data)
    except (ValueError, RuntimeError, TypeError, OverflowError, UnicodeDecodeError) as exc:
        raise Failure(f"cannot unpack {len(data)} byte{'s' * (len(data) != 1)}: {_describe(exc)}") from exc
    _out(dumps(obj))
    _check_trailing(parser, obj, len(data))
    return 0


def _check_trailing(parser, obj, size: int) -> None:
    """Warn when the object packs to fewer bytes than were given: the decoder
    stops at the end of the object and does not look at what follows."""
    try:
        used = len(parser.pack(obj))
    except Exception:
        return
    if used < size:
        extra = size - used
        _note(f"warning: the object is {used} bytes; the {extra} byte{'s' * (extra > 1)} "
              f"after it {'were' if extra > 1 else 'was'} not read")


def cmd_pack(args) -> int:
    schema = Schema(args.schema)
    obj = read_json_input(args.input)
    if not isinstance(obj, dict) or "_" not in obj:
        raise Failure('the JSON must be an object whose "_" names the constructor, '
                      'e.g. {"_": "peerUser", "user_id": 42}')
    if args.raw and sys.stdout.isatty():
        raise UsageError("refusing to write raw bytes to a terminal: redirect stdout, or drop --raw")
    parser = schema.parser()
    try:
        data = parser.pack(obj)
    except (ValueError, TypeError, OverflowError, KeyError, AttributeError, RuntimeError) as exc:
        raise Failure(f"cannot pack {obj.get('_')!r}: {_describe(exc)}") from exc
    if args.raw:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        _out(data.hex())
    return 0


def cmd_schema(args) -> int:
    ident = None if args.entry is None else parse_id(args.entry)
    schema = Schema(args.file)
    entries = schema.entries()
    if args.entry is None:
        cons = [e for k, e in entries if k == "constructor"]
        meths = [e for k, e in entries if k == "method"]
        n_params = sum(len(e["params"]) for _, e in entries)
        n_types = len({e["type"] for e in cons})
        layer = schema.layer if schema.layer is not None else "unknown"
        _out(f"schema:       {args.file} ({'TL text' if schema.is_tl else 'JSON'})")
        _out(f"layer:        {layer}")
        _out(f"constructors: {len(cons)} (of {n_types} result types)")
        _out(f"methods:      {len(meths)}")
        _out(f"params:       {n_params}")
        return 0
    if ident is not None:
        found = [(k, e) for k, e in entries if e["id"] == ident]
        what = f"id 0x{ident:08x}"
    else:
        found = [(k, e) for k, e in entries if e["name"] == args.entry]
        what = f"name {args.entry!r}"
    if not found:
        hint = ""
        if ident is None:
            close = difflib.get_close_matches(args.entry, [e["name"] for _, e in entries], n=3)
            hint = f" (did you mean: {', '.join(close)}?)" if close else ""
        raise Failure(f"no constructor or method with {what} in {args.file}{hint}")
    blocks = [format_entry(k, e) for k, e in found]
    if len(found) > 1:
        blocks.insert(0, f"{len(found)} entries have {what}:")
    _out("\n\n".join(blocks))
    return 0


def cmd_convert(args) -> int:
    if args.file == "-":
        text = _stdin_bytes()
        name = "<stdin>"
    else:
        text = _read_file(args.file, "TL file")
        name = args.file
    try:
        conv = tl_text.parse(text.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise Failure(f"bad TL file {name}: not UTF-8 text (byte {exc.start})") from None
    except tl_text.TLTextError as exc:
        raise Failure(f"bad TL file {name}: {exc}") from None
    for c in conv.computed_ids:
        _note(f"note: {name}:{c.line}: {c.name} has no #id; "
              f"using the CRC32 of its normalised text: #{c.id:08x}")
    out = tl_text.to_json(conv.schema, compact=args.compact)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as fh:
                fh.write(out + "\n")
        except OSError as exc:
            raise Failure(f"cannot write {args.output}: {exc.strerror or exc}") from None
        _note(f"wrote {len(conv.schema['constructors'])} constructors and "
              f"{len(conv.schema['methods'])} methods to {args.output}")
    else:
        _out(out)
    return 0


# --- demo

DEMO_OBJECTS = [
    ("a peer", {"_": "peerUser", "user_id": 777000}),
    ("a user: flags, an optional true, a long beyond 2**53, bytes", {
        "_": "user", "bot": False, "verified": True, "id": 5_123_456_789,
        "access_hash": 7_234_567_890_123_456_789, "first_name": "Ada",
        "username": "ada", "photo_thumb": bytes.fromhex("ffd8ffe000104a46"),
    }),
    ("a message: nested objects, a vector, a double", {
        "_": "message", "out": True, "id": 4021, "from_id": {"_": "peerUser", "user_id": 5_123_456_789},
        "peer_id": {"_": "peerChat", "chat_id": 600_123}, "date": 1_767_225_600,
        "message": "Lunch at Café Tōkyō?",
        "media": {"_": "messageMediaGeo", "geo": {"_": "geoPoint", "lat": 35.66, "lon": 139.7}},
        "entities": [{"_": "messageEntityBold", "offset": 9, "length": 10}],
        "views": 12, "pinned": False,
    }),
]


def _fit(prefix: str, value, width: int, indent: str = "", last: bool = True) -> list[str]:
    """JSON of value after prefix: on one line if it fits, else broken up."""
    comma = "" if last else ","
    flat = json.dumps(value, ensure_ascii=False, separators=(", ", ": "))
    if (len(indent) + len(prefix) + len(flat) + len(comma) <= width
            or not isinstance(value, (dict, list)) or not value):
        return [indent + prefix + flat + comma]
    inner = indent + "  "
    if isinstance(value, dict):
        items, close = [(f"{json.dumps(k)}: ", v) for k, v in value.items()], "}"
    else:
        items, close = [("", v) for v in value], "]"
    lines = [indent + prefix + ("{" if close == "}" else "[")]
    for i, (pre, v) in enumerate(items):
        lines += _fit(pre, v, width, inner, i == len(items) - 1)
    lines.append(indent + close + comma)
    return lines


DEMO_WIDTH = 56


def _side_by_side(obj: dict, data: bytes) -> list[str]:
    left = []
    for key, value in obj.items():
        left += _fit(f"{key}: ", to_jsonable(value), DEMO_WIDTH)
    words = [data[i:i + 4].hex() for i in range(0, len(data), 4)]
    right = [" ".join(words[i:i + 2]) for i in range(0, len(words), 2)]
    rows = max(len(left), len(right))
    left += [""] * (rows - len(left))
    right += [""] * (rows - len(right))
    return [f"  {a:<{DEMO_WIDTH}} │ {b}".rstrip() for a, b in zip(left, right)]


def cmd_demo(args) -> int:
    schema = Schema(str(EXAMPLE_SCHEMA))
    p = schema.parser()
    entries = schema.entries()
    n_c = sum(k == "constructor" for k, _ in entries)
    _out(f"Virel demo on the example schema ({n_c} constructors, {len(entries) - n_c} methods)")
    _out(f"schema: {EXAMPLE_SCHEMA}")
    _out("")
    _out(f"  {'the dict (what pack takes)':<{DEMO_WIDTH}} │ its TL bytes")
    for title, obj in DEMO_OBJECTS:
        data = p.pack(obj)
        back = p.unpack(data)
        _out("")
        _out(f"{title}: {len(data)} bytes")
        for line in _side_by_side(obj, data):
            _out(line)
        same = all(back.get(k) == v for k, v in obj.items())
        msg = "unpack gives the same fields back" if same else "unpack gives DIFFERENT fields back"
        filled = [f"{k}={json.dumps(to_jsonable(back[k]))}" for k in back if k not in obj]
        if filled:
            msg += ", plus the absent ones:"
        _out(f"  {msg}")
        if filled:
            _out(f"    {', '.join(filled)}")
    message = DEMO_OBJECTS[-1][1]
    data = p.pack(message)
    try:
        p.unpack(data[:20])
    except Exception as exc:  # the decoder's own message is the point here
        _out("")
        _out(f"unpacking the first 20 bytes of the message: {type(exc).__name__}: {_describe(exc)}")
    if args.seconds > 0:
        _out("")
        _out(_speed_line(p, message, len(data), args.seconds))
    return 0


def _speed_line(p, obj, size: int, seconds: float) -> str:
    pack, unpack = p.pack, p.unpack
    loops = 64
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            unpack(pack(obj))
        spent = time.perf_counter() - t0
        if spent >= seconds / 4 or loops >= 1 << 24:
            break
        loops *= 4
    best = spent / loops
    rounds = max(1, int(seconds / 2 / max(spent, 1e-9)))
    for _ in range(min(rounds, 3)):
        t0 = time.perf_counter()
        for _ in range(loops):
            unpack(pack(obj))
        best = min(best, (time.perf_counter() - t0) / loops)
    return f"speed: pack+unpack of the message ({size} bytes): {best * 1e9:,.0f} ns per round trip"


# ------------------------------------------------------------------- parser

MAIN_DESC = "Pack Python dicts into TL (Type Language) binary and back, driven by a schema."

MAIN_EPILOG = f"""\
examples:
  {PROG} demo                     a tour on the shipped example schema
  {PROG} schema api.json          counts, layer
  {PROG} schema api.json message  one constructor (or by id: 0x7600b9d3)
  {PROG} pack --schema api.json '{{"_": "peerUser", "user_id": 42}}'
  {PROG} unpack --schema api.json '22175159 2a000000 00000000'
  {PROG} unpack --schema api.json @message.bin > message.json
  {PROG} pack --schema api.json --raw @message.json > again.bin
  {PROG} convert telegram_api.tl -o api.json

JSON conventions (unpack prints them, pack reads them back):
  bytes                    {{"$bytes": "0a1b2c"}}
  integers beyond +-2**53  {{"$int": "7234567890123456789"}}
  NaN / infinite doubles   {{"$float": "nan"}}, {{"$float": "inf"}}, {{"$float": "-inf"}}

--schema takes a schema JSON file, or a .tl file (converted on the fly).
exit status: 0 ok, 1 failure (bad data, schema or file), 2 usage error.
Errors are one line on stderr; --debug adds the traceback.
'{PROG} COMMAND --help' shows each command's options and examples.
"""

UNPACK_DESC = "Decode TL bytes and print them as indented JSON."
UNPACK_EPILOG = f"""\
INPUT:
  HEX       hex digits on the command line; whitespace anywhere is ignored
  @FILE     the raw bytes of FILE
  -         standard input (the default): read as hex text when it holds
            only hex digits and whitespace, otherwise as raw bytes;
            @/dev/stdin always reads raw bytes

output: bytes as {{"$bytes": "<hex>"}}, integers beyond +-2**53 as
{{"$int": "<decimal>"}}, NaN/infinity as {{"$float": "nan"}}; 'pack' reads
all of these back.  int fields come back unsigned (0..4294967295); absent
optional fields come back as null (false for true/Bool flags).

examples:
  {PROG} unpack --schema api.json '22175159 2a000000 00000000'
  {PROG} unpack --schema api.json @update.bin
  xxd -p update.bin | {PROG} unpack --schema api.json
"""

PACK_DESC = "Encode one object given as JSON and print its TL bytes as hex."
PACK_EPILOG = f"""\
INPUT: the JSON text, @FILE, or - for standard input (the default).
"_" names the constructor (or method); flags fields are computed from the
optional fields present, so leave them out.  Takes exactly what 'unpack'
prints, including {{"$bytes": "<hex>"}}, {{"$int": "<decimal>"}} and
{{"$float": "nan"}}.

examples:
  {PROG} pack --schema api.json '{{"_": "peerUser", "user_id": 42}}'
  {PROG} pack --schema api.json --raw @message.json > message.bin
  {PROG} unpack --schema api.json @a.bin | {PROG} pack --schema api.json --raw > b.bin
"""

SCHEMA_DESC = "Summarise a schema, or show its constructors/methods of one name or id."
SCHEMA_EPILOG = f"""\
Without ENTRY: the number of constructors, methods and params, and the
layer when known (a '// LAYER N' comment in a .tl file).
With ENTRY, a name or an id (0x1cb5c415, #1cb5c415, 481674261 or
-1132882121): the id, result type, and every parameter with its type and
how it is carried (flag bit and field, value kind, vector element kind).

examples:
  {PROG} schema telegram_api.tl
  {PROG} schema api.json message
  {PROG} schema api.json 0x1cb5c415
"""

CONVERT_DESC = "Convert a TL text file into schema JSON (what --schema and TLParser take)."
CONVERT_EPILOG = f"""\
A declaration without '#id' gets the CRC32 of its normalised text, and a
note on stderr says so.  Id-less declarations of the builtin types (int,
long, double, string, bytes, int128, int256, vector) are skipped.
Output: one entry per line (valid JSON), or with --compact a single line,
the form of the published API JSON files.

examples:
  {PROG} convert telegram_api.tl -o api.json
  {PROG} convert --compact mtproto_api.tl > mtproto.json
"""

DEMO_DESC = """\
Pack and unpack a few objects of the shipped example schema, show the bytes
and the dicts side by side, and time a pack+unpack round trip."""
DEMO_EPILOG = f"""\
examples:
  {PROG} demo
  {PROG} demo --seconds 0     skip the timing
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"virel: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    debug = argparse.ArgumentParser(add_help=False)
    debug.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                       help="show the traceback of an error")
    main = _Parser(prog=PROG, description=MAIN_DESC, epilog=MAIN_EPILOG, formatter_class=fmt)
    main.add_argument("--debug", action="store_true", help="show the traceback of an error")
    main.add_argument("--version", action="version", version=f"Virel {_version()}")
    sub = main.add_subparsers(dest="command", metavar="COMMAND", required=True, title="commands")

    p = sub.add_parser("demo", parents=[debug], formatter_class=fmt, description=DEMO_DESC, epilog=DEMO_EPILOG,
                       help="pack and unpack a few example objects, with a timing")
    p.add_argument("--seconds", type=float, default=0.5, metavar="S",
                   help="time spent on the speed measurement (default 0.5; 0 skips it)")
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser("unpack", parents=[debug], formatter_class=fmt, description=UNPACK_DESC, epilog=UNPACK_EPILOG,
                       help="TL bytes -> JSON")
    p.add_argument("--schema", required=True, metavar="SCHEMA", help="schema JSON or .tl file")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="HEX, @FILE or - (default)")
    p.set_defaults(func=cmd_unpack)

    p = sub.add_parser("pack", parents=[debug], formatter_class=fmt, description=PACK_DESC, epilog=PACK_EPILOG,
                       help="JSON -> TL bytes (hex, or raw with --raw)")
    p.add_argument("--schema", required=True, metavar="SCHEMA", help="schema JSON or .tl file")
    p.add_argument("--raw", action="store_true", help="write the raw bytes instead of hex")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="JSON, @FILE or - (default)")
    p.set_defaults(func=cmd_pack)

    p = sub.add_parser("schema", parents=[debug], formatter_class=fmt, description=SCHEMA_DESC, epilog=SCHEMA_EPILOG,
                       help="summarise a schema, or show one constructor/method")
    p.add_argument("file", metavar="SCHEMA", help="schema JSON or .tl file")
    p.add_argument("entry", nargs="?", metavar="ENTRY", help="a name, or an id (hex or decimal)")
    p.set_defaults(func=cmd_schema)

    p = sub.add_parser("convert", parents=[debug], formatter_class=fmt, description=CONVERT_DESC, epilog=CONVERT_EPILOG,
                       help="TL text -> schema JSON")
    p.add_argument("file", metavar="FILE.tl", help="TL text file, or - for stdin")
    p.add_argument("-o", "--output", metavar="OUT.json", help="write here instead of stdout")
    p.add_argument("--compact", action="store_true", help="all on one line")
    p.set_defaults(func=cmd_convert)
    return main


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("Virel")
    except Exception:
        return "(not installed)"


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    debug = getattr(args, "debug", False)
    try:
        return args.func(args)
    except UsageError as exc:
        if debug:
            traceback.print_exc()
        _note(f"error: {exc}")
        return 2
    except Failure as exc:
        if debug:
            traceback.print_exc()
        _note(f"error: {exc}")
        return 1
    except KeyboardInterrupt:
        _note("interrupted")
        return 130
    except BrokenPipeError:
        return 1
    except Exception as exc:
        if debug:
            traceback.print_exc()
        _note(f"error: {type(exc).__name__}: {_describe(exc)}")
        return 1
