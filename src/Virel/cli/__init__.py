"""Command-line tool: ``python -m Virel COMMAND ...`` (or ``virel COMMAND ...``).

The modules, by concern: ``commands`` (unpack, pack, schema, convert), ``jsonform`` (the JSON
form of decoded values), ``inputs`` (hex, files, standard input), ``schema_view`` (a schema as
the codec compiled it), ``demo``, and ``errors``.  This module holds the command line itself:
its help, its arguments and ``main``.

Exit status: 0 ok, 1 failure (bad data, bad schema, unreadable file), 2 usage error.  Errors
are one line on stderr beginning ``virel:``; ``--debug`` adds the traceback.
"""

from __future__ import annotations

import argparse
import traceback

from . import inputs
from .commands import cmd_convert, cmd_pack, cmd_schema, cmd_unpack
from .demo import cmd_demo
from .errors import Failure, UsageError, describe, note
from .jsonform import FORMS

__all__ = ["main", "build_parser"]

PROG = "python -m Virel"

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

{FORMS}
--schema takes a schema JSON file, or a .tl file (converted on the fly).
exit status: 0 ok, 1 failure (bad data, schema or file), 2 usage error.
Errors are one line on stderr; --debug adds the traceback.
'{PROG} COMMAND --help' shows each command's options and examples.
"""

SEE_FORMS = f"The JSON form (bytes, big integers, NaN, ...) is shown by '{PROG} --help'."

UNPACK_DESC = "Decode TL bytes and print them as indented JSON."
UNPACK_EPILOG = f"""\
{inputs.HELP}
int and long fields come back unsigned (0..4294967295, 0..2**64-1); with
--signed, signed (-2**31..2**31-1, -2**63..2**63-1).  --strict refuses bytes
left after the object.
{SEE_FORMS}

examples:
  {PROG} unpack --schema api.json '22175159 2a000000 00000000'
  {PROG} unpack --schema api.json @update.bin
  xxd -p update.bin | {PROG} unpack --schema api.json
"""

PACK_DESC = "Encode one object given as JSON and print its TL bytes as hex."
PACK_EPILOG = f"""\
INPUT: the JSON text, @FILE, or - for standard input (the default).
Takes exactly what 'unpack' prints.  {SEE_FORMS}
--strict refuses keys that name no parameter, missing or null values of
parameters that are not optional, values of the wrong type (1.5 for an int,
1 for a true flag) and objects of another type than their place declares.

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
how the codec carries it (flag bit and word, value kind, vector elements).
Entries are shown as the codec compiled them; an entry whose id or name a
later entry takes over says so.

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
    p.add_argument("--strict", action="store_true", help="refuse bytes left after the object")
    p.add_argument("--signed", action="store_true", help="read int and long fields as signed numbers")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="HEX, @FILE or - (default)")
    p.set_defaults(func=cmd_unpack)

    p = sub.add_parser("pack", parents=[debug], formatter_class=fmt, description=PACK_DESC, epilog=PACK_EPILOG,
                       help="JSON -> TL bytes (hex, or raw with --raw)")
    p.add_argument("--schema", required=True, metavar="SCHEMA", help="schema JSON or .tl file")
    p.add_argument("--raw", action="store_true", help="write the raw bytes instead of hex")
    p.add_argument("--strict", action="store_true",
                   help="refuse unknown keys, missing values, wrong types and wrong records")
    p.add_argument("--signed", action="store_true",
                   help="accepted for symmetry with unpack (pack takes both readings)")
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
        note(f"error: {exc}")
        return 2
    except Failure as exc:
        if debug:
            traceback.print_exc()
        note(f"error: {exc}")
        return 1
    except KeyboardInterrupt:
        note("interrupted")
        return 130
    except BrokenPipeError:
        return 1
    except Exception as exc:
        if debug:
            traceback.print_exc()
        note(f"error: {type(exc).__name__}: {describe(exc)}")
        return 1
