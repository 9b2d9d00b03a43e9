"""The commands: unpack, pack, schema, stubs and convert (the demo has a module of its own)."""

from __future__ import annotations

import difflib
import os
import sys

from .. import tl_text
from . import stubs
from .errors import Failure, UsageError, describe, note, out, shown
from .inputs import (
    TLInput,
    looks_like_base64,
    looks_like_hex,
    open_tl_input,
    read_file,
    read_json_input,
    JSONLines,
    stdin_bytes,
    stdin_is_file,
)
from .jsonform import LARGE, compact_bytes, write
from .progress import Progress
from .schema_view import Schema, format_entry, parse_id


class _Output:
    """Standard output as UTF-8 bytes, written in pieces."""

    def __init__(self):
        sys.stdout.flush()
        self.stream = sys.stdout.buffer

    def __call__(self, text: str) -> None:
        # UTF-8 whatever the locale. Departure D24: see ARCHITECTURE.md, "Departures".
        self.stream.write(text.encode("utf-8"))

    def line(self, text: str = "") -> None:
        self(text + "\n")


def schema_of(args) -> Schema:
    """The schemas a command was given (--schema, in order), or the bundled ones."""
    return Schema(args.schema, warn=note)


def parser_of(args, schema: Schema):
    """The parser a command works with, in the modes given on the command line: pack is strict
    unless told --lenient (departure D37: see ARCHITECTURE.md, "Departures")."""
    strict = not args.lenient if hasattr(args, "lenient") else getattr(args, "strict", False)
    return schema.parser(strict=strict, signed=getattr(args, "signed", False))


def _count(n: int) -> str:
    return f"{n} byte{'s' * (n != 1)}"


def cmd_unpack(args) -> int:
    schema = schema_of(args)
    source = open_tl_input(args.input, base64_text=args.base64)
    parser = parser_of(args, schema)
    progress = Progress(source.size, args.progress)
    try:
        return _unpack(args, parser, source, _Output(), progress)
    finally:
        progress.close()
        source.close()


def _unpack(args, parser, source: TLInput, out, progress: Progress) -> int:
    """Decode the values of source as they arrive, and write each as soon as it is decoded
    (departure D38; empty input writes nothing and is no error, departure D39: see
    ARCHITECTURE.md, "Departures")."""
    pretty = not (args.compact or args.all)
    pos, index, want = 0, 0, 0
    while True:
        data = source.data
        avail = len(data) - pos
        if not source.eof and (avail == 0 or (avail < want and source.ready())):
            # More is on its way: read it, first letting what was decoded out (a value sent
            # alone appears alone).  A value that failed waits for twice its bytes, or for a
            # pause in the input, before it is tried again.
            out.stream.flush()
            source.more()
            continue
        if avail == 0:
            break
        try:
            # Departure D23: see ARCHITECTURE.md, "Departures".
            value, end = parser.unpack_from(data, pos, args.type)
        except DECODE_ERRORS as exc:
            if not source.eof:
                want = max(2 * avail, avail + 1)
                continue
            progress.close()
            out.stream.flush()  # the values before this one are printed first
            offset = source.base + pos
            where = "" if not args.all else f"value {index} at byte {offset}: "
            raise Failure(
                f"{where}cannot unpack {_count(avail)}: {describe(exc)}{_input_hint(args, data) if offset == 0 else ''}"
            ) from exc
        large = end - pos >= LARGE
        text = None if pretty or large else compact_bytes(value)
        if text is not None:
            out.stream.write(text + b"\n")
        else:
            write(value, out, pretty, large=large)
            out.line()
        del value
        index += 1
        pos, want = end, 0
        progress.update(source.base + pos, index)
        if not args.all:
            break
        pos = source.consumed(pos)
    out.stream.flush()
    if not args.all:
        while source.more():  # what follows the value, to say how much of it there is
            pass
    offset, total = source.base + pos, source.base + len(source.data)
    if offset < total and args.strict and not args.all:
        # As TLParser.unpack refuses them in strict mode.
        extra = total - offset
        raise Failure(
            f"cannot unpack {_count(total)}: "
            f"{describe(ValueError(f'{_count(extra)} left after the object, at position {offset}'))}"
        )
    if offset < total:
        extra = total - offset
        # Departure D24: see ARCHITECTURE.md, "Departures".
        note(
            f"warning: the {'object' if args.type is None else 'value'} is {_count(offset)}; the "
            f"{_count(extra)} after it {'were' if extra > 1 else 'was'} not read (--all reads every value)"
        )
    return 0


def _input_hint(args, data) -> str:
    """What a failure at the first byte may be owed to: text given where raw bytes are read."""
    if args.base64 or not args.input.startswith(("@", "-")):
        return ""
    if args.input.startswith("@") and looks_like_hex(data):
        return " (the input looks like hex text: give it on standard input, as in 'virel unpack < FILE')"
    if looks_like_base64(data):
        return " (the input looks like base64 text: add --base64)"
    return ""


PACK_ERRORS = (ValueError, TypeError, OverflowError, KeyError, AttributeError, RuntimeError)
DECODE_ERRORS = (ValueError, RuntimeError, TypeError, OverflowError, UnicodeDecodeError)


def _pack_one(parser, value, type_text, where: str = "") -> bytes:
    if type_text is None and (not isinstance(value, dict) or "_" not in value):
        # Departure D24: see ARCHITECTURE.md, "Departures".
        raise Failure(
            f'{where}the JSON must be an object whose "_" names the constructor, '
            'e.g. {"_": "peerUser", "user_id": 42} (or give --type)'
        )
    try:
        return parser.pack_as(value, type_text)
    except PACK_ERRORS as exc:
        what = repr(value.get("_")) if type_text is None else f"a value of type {type_text}"
        raise Failure(f"{where}cannot pack {what}: {describe(exc)}") from exc


def cmd_pack(args) -> int:
    schema = schema_of(args)
    if args.raw and sys.stdout.isatty():
        raise UsageError("refusing to write raw bytes to a terminal: redirect stdout, or drop --raw")
    if not args.all:
        value = read_json_input(args.input)
        values = [] if value is None else [("", value)]  # empty input: nothing to pack (D39)
    parser = parser_of(args, schema)
    lines = JSONLines(args.input) if args.all else None
    if lines is not None:
        values = ((f"line {n}: ", v) for n, v in lines)
    out = _Output()
    progress = Progress(lines.size, args.progress) if lines is not None else Progress(None, False)
    # Each value goes out as soon as it is packed when its line may have been typed or sent alone
    # (departure D38: see ARCHITECTURE.md, "Departures").
    eager = args.input == "-" and not stdin_is_file()
    try:
        for count, (where, value) in enumerate(values, 1):
            data = _pack_one(parser, value, args.type, where)
            if args.raw:
                out.stream.write(data)
            else:
                out.line(data.hex())
            if eager:
                out.stream.flush()
            if lines is not None:
                progress.update(lines.done, count)
    finally:
        progress.close()
        out.stream.flush()  # the values before a failure are printed first
    return 0


def cmd_schema(args) -> int:
    if args.entry is None and args.file is not None and (args.schema or not _names_a_schema(args.file)):
        # `virel schema message`: an entry of the bundled layer, or of the --schema files
        args.file, args.entry = None, args.file
    ident = None if args.entry is None else parse_id(args.entry)
    schema = Schema(([args.file] if args.file is not None else []) + (args.schema or []), warn=note)
    view = schema.view()
    entries = view.entries
    if args.entry is None:
        cons = [e for e in entries if e.kind == "constructor"]
        hidden = sum(bool(view.shadowed(e)) for e in entries)
        if schema.bundled:
            what = "the bundled API layer and MTProto service schema"
        else:
            what = ", ".join(f"{s.label} ({'TL text' if s.is_tl else 'JSON'})" for s in schema.sources)
        out(f"schema:       {shown(what)}")
        out(f"layer:        {', '.join(map(str, dict.fromkeys(schema.layers))) or 'unknown'}")
        out(f"constructors: {len(cons)} (of {len({e.result for e in cons})} result types)")
        out(f"methods:      {len(entries) - len(cons)}")
        out(f"params:       {sum(len(e.params) for e in entries)}")
        if hidden:
            out(f"shadowed:     {hidden} (a later entry takes over their id or name)")
        return 0
    if ident is not None:
        found = [e for e in entries if e.id == ident]
        what = f"id 0x{ident:08x}"
    else:
        found = [e for e in entries if e.name == args.entry]
        what = f"name {args.entry!r}"
    if not found:
        hint = ""
        if ident is None:
            close = difflib.get_close_matches(args.entry, list(view.by_name), n=3)
            hint = f" (did you mean: {', '.join(close)}?)" if close else ""
        raise Failure(f"no constructor or method with {what} in {schema.label}{hint}")
    blocks = [format_entry(view, e) for e in found]
    if len(found) > 1:
        blocks.insert(0, f"{len(found)} entries have {what}:")
    out("\n\n".join(blocks))
    return 0


def cmd_stubs(args) -> int:
    schema = schema_of(args)
    what = f"the bundled API layer {schema.layer} and MTProto service schema" if schema.bundled else schema.label
    text = stubs.generate(schema.data(), what)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as fh:
                fh.write(text)
        except OSError as exc:
            raise Failure(f"cannot write {args.output}: {exc.strerror or exc}") from None
    else:
        sys.stdout.write(text)
    return 0


def _names_a_schema(text: str) -> bool:
    """Whether the one argument of `schema` is a schema file rather than an entry's name or id."""
    return text.lower().endswith((".json", ".tl")) or os.path.isfile(text) or os.sep in text


def cmd_convert(args) -> int:
    if args.file == "-":
        text = stdin_bytes()
        name = "<stdin>"
    else:
        text = read_file(args.file, "TL file")
        name = args.file
    try:
        conv = tl_text.parse(text.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise Failure(f"bad TL file {name}: not UTF-8 text (byte {exc.start})") from None
    except tl_text.TLTextError as exc:
        raise Failure(f"bad TL file {name}: {exc}") from None
    for c in conv.computed_ids:
        note(f"note: {name}:{c.line}: {c.name} has no #id; using the CRC32 of its normalised text: #{c.id:08x}")
    text_out = tl_text.to_json(conv.schema, compact=args.compact)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as fh:
                fh.write(text_out + "\n")
        except OSError as exc:
            raise Failure(f"cannot write {args.output}: {exc.strerror or exc}") from None
        note(
            f"wrote {len(conv.schema['constructors'])} constructors and "
            f"{len(conv.schema['methods'])} methods to {args.output}"
        )
    else:
        out(text_out)
    return 0
