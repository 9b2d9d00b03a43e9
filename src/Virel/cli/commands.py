"""The commands: unpack, pack, schema and convert (the demo has a module of its own)."""

from __future__ import annotations

import difflib
import sys

from .. import tl_text
from .errors import Failure, UsageError, describe, note, out
from .inputs import read_file, read_json_input, read_tl_input, stdin_bytes
from .jsonform import dumps
from .schema_view import Schema, format_entry, parse_id


def cmd_unpack(args) -> int:
    schema = Schema(args.schema)
    data = read_tl_input(args.input)
    parser = schema.parser(strict=args.strict, signed=args.signed)
    try:
        obj = parser.unpack(data)
    except (ValueError, RuntimeError, TypeError, OverflowError, UnicodeDecodeError) as exc:
        raise Failure(f"cannot unpack {len(data)} byte{'s' * (len(data) != 1)}: {describe(exc)}") from exc
    out(dumps(obj))
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
        note(f"warning: the object is {used} bytes; the {extra} byte{'s' * (extra > 1)} "
             f"after it {'were' if extra > 1 else 'was'} not read")


def cmd_pack(args) -> int:
    schema = Schema(args.schema)
    obj = read_json_input(args.input)
    if not isinstance(obj, dict) or "_" not in obj:
        raise Failure('the JSON must be an object whose "_" names the constructor, '
                      'e.g. {"_": "peerUser", "user_id": 42}')
    if args.raw and sys.stdout.isatty():
        raise UsageError("refusing to write raw bytes to a terminal: redirect stdout, or drop --raw")
    parser = schema.parser(strict=args.strict)
    try:
        data = parser.pack(obj)
    except (ValueError, TypeError, OverflowError, KeyError, AttributeError, RuntimeError) as exc:
        raise Failure(f"cannot pack {obj.get('_')!r}: {describe(exc)}") from exc
    if args.raw:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        out(data.hex())
    return 0


def cmd_schema(args) -> int:
    ident = None if args.entry is None else parse_id(args.entry)
    schema = Schema(args.file)
    view = schema.view()
    entries = view.entries
    if args.entry is None:
        cons = [e for e in entries if e.kind == "constructor"]
        hidden = sum(bool(view.shadowed(e)) for e in entries)
        out(f"schema:       {args.file} ({'TL text' if schema.is_tl else 'JSON'})")
        out(f"layer:        {schema.layer if schema.layer is not None else 'unknown'}")
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
        raise Failure(f"no constructor or method with {what} in {args.file}{hint}")
    blocks = [format_entry(view, e) for e in found]
    if len(found) > 1:
        blocks.insert(0, f"{len(found)} entries have {what}:")
    out("\n\n".join(blocks))
    return 0


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
        note(f"note: {name}:{c.line}: {c.name} has no #id; "
             f"using the CRC32 of its normalised text: #{c.id:08x}")
    text_out = tl_text.to_json(conv.schema, compact=args.compact)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8") as fh:
                fh.write(text_out + "\n")
        except OSError as exc:
            raise Failure(f"cannot write {args.output}: {exc.strerror or exc}") from None
        note(f"wrote {len(conv.schema['constructors'])} constructors and "
             f"{len(conv.schema['methods'])} methods to {args.output}")
    else:
        out(text_out)
    return 0
