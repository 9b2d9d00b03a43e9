"""Command-line tool: ``virel COMMAND ...`` (or ``python -m Virel COMMAND ...``).

The modules, by concern: ``commands`` (unpack, pack, schema, stubs, convert), ``jsonform`` (the
JSON form of decoded values and its writer), ``inputs`` (hex, base64, files, standard input, read
as a stream), ``progress`` (the progress line), ``schema_view`` (the schemas given, or the bundled
ones, as the codec compiled them), ``stubs`` (typed dictionaries), ``demo``, and ``errors``.  This
module holds the command line itself: its help, its arguments and ``main``.

Exit status: 0 ok, 1 failure (bad data, bad schema, unreadable file), 2 usage error.  Errors
are one line on stderr beginning ``virel:``; ``--debug`` adds the traceback.
"""

from __future__ import annotations

import argparse
import traceback

from . import inputs
from ..schemas import LAYER
from .commands import cmd_convert, cmd_pack, cmd_schema, cmd_stubs, cmd_unpack
from .demo import cmd_demo
from .errors import Failure, UsageError, describe, kind_name, note
from .jsonform import FORMS

__all__ = ["main", "build_parser"]

PROG = "virel"

MAIN_DESC = "Pack Python dicts into TL (Type Language) binary and back, driven by a schema."

MAIN_EPILOG = f"""\
examples:
  {PROG} demo                     a tour on the shipped example schema
  {PROG} schema                   the bundled schemas: layer, counts
  {PROG} schema message           one constructor (or by id: 0x7600b9d3)
  {PROG} pack '{{"_": "peerUser", "user_id": 42}}'
  {PROG} unpack '22175159 2a000000 00000000'
  {PROG} unpack --all @capture.bin > capture.jsonl
  {PROG} unpack --type 'Vector<User>' @answer.bin
  {PROG} pack --raw @message.json > again.bin
  {PROG} unpack --schema mine.json --schema extra.tl @message.bin
  {PROG} convert telegram_api.tl -o api.json

{FORMS}
SCHEMA: without --schema, the bundled API layer {LAYER} and the MTProto
service schema.  --schema takes a schema JSON file, or a .tl file
(converted on the fly); given several times, their entries are merged in
order, a later entry replacing an earlier one of the same id (with a
warning).
exit status: 0 ok, 1 failure (bad data, schema or file), 2 usage error.
Errors are one line on stderr; --debug adds the traceback.
'{PROG} COMMAND --help' shows each command's options and examples.
"""

SEE_FORMS = f"The JSON form (bytes, big integers, NaN, ...) is shown by '{PROG} --help'."

UNPACK_DESC = "Decode TL bytes and print them as JSON (indented, or one line with --compact)."
UNPACK_EPILOG = f"""\
{inputs.HELP}
Without --all, one value is read; a warning says how many bytes after it
were left.  Each value is printed as soon as it is decoded, and standard
input is read as it arrives; a run of more than a second shows a progress
line (done/total, rate, time left) on stderr when that is a terminal
(--progress, --no-progress).  With --all, every value back to back, one JSON document a line
(JSON Lines); a value that fails names its index and byte offset, after
the lines of the values before it.
int and long fields come back unsigned (0..4294967295, 0..2**64-1); with
--signed, signed (-2**31..2**31-1, -2**63..2**63-1).  --strict refuses bytes
left after the object.
{SEE_FORMS}

examples:
  {PROG} unpack '22175159 2a000000 00000000'
  {PROG} unpack 0x221751592a00000000000000
  {PROG} unpack --all @capture.bin
  {PROG} unpack --type 'Vector<User>' @answer.bin
  base64 update.bin | {PROG} unpack --base64 --compact
  xxd -p update.bin | {PROG} unpack
"""

PACK_DESC = """\
Encode a value given as JSON and print its TL bytes as hex.  Strict by
default: a misspelt key, a missing value or a value of the wrong type is
an error (--lenient packs as the library does by default)."""
PACK_EPILOG = f"""\
INPUT: the JSON text, @FILE, or - for standard input (the default).
Takes exactly what 'unpack' prints; with --all, one JSON document a line,
as 'unpack --all' prints them (hex out: a line each).  {SEE_FORMS}
pack is strict: it refuses keys that name no parameter, missing or null
values of parameters that are not optional, values of the wrong type (1.5
for an int, 1 for a true flag) and objects of another type than their place
declares.  --lenient packs as TLParser does by default: unknown keys are
ignored, a missing value packs as zero, 1.5 as 1.  Empty input packs
nothing (exit 0).

examples:
  {PROG} pack '{{"_": "peerUser", "user_id": 42}}'
  {PROG} pack --type 'Vector<long>' '[1, 2, 3]'
  {PROG} pack --raw @message.json > message.bin
  {PROG} unpack --all @a.bin | {PROG} pack --all --raw > b.bin
"""

SCHEMA_DESC = "Summarise a schema, or show its constructors/methods of one name or id."
SCHEMA_EPILOG = f"""\
SCHEMA: a schema JSON or .tl file (or --schema, several times); without
one, the bundled schemas (then a single argument is an ENTRY).
Without ENTRY: the number of constructors, methods and params, and the
layer when known (the bundled one's, or a '// LAYER N' comment in a .tl file).
With ENTRY, a name or an id (0x1cb5c415, #1cb5c415, 481674261 or
-1132882121): the id, result type, and every parameter with its type and
how the codec carries it (flag bit and word, value kind, vector elements).
Entries are shown as the codec compiled them; an entry whose id or name a
later entry takes over says so.

examples:
  {PROG} schema
  {PROG} schema messages.sendMessage
  {PROG} schema api.json message
  {PROG} schema telegram_api.tl 0x1cb5c415
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

STUBS_DESC = "Write a TypedDict for every constructor and method, for type checkers."
STUBS_EPILOG = f"""\
Each record's TypedDict is named after it (messages.sendMessage ->
messages_sendMessage); its "_" is the Literal of its name, its keys are
the parameters with their Python types (a conditional one NotRequired
and None-able), and each result type is the union of its constructors
(Peer, messages_Messages).  The text is both a stub file and a module.

examples:
  {PROG} stubs > tl_types.pyi
  {PROG} stubs --schema mine.tl -o tl_types.py

  from tl_types import messages_sendMessage
  send: messages_sendMessage = {{"_": "messages.sendMessage", ...}}
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
    debug.add_argument("--debug", action="store_true", default=argparse.SUPPRESS, help="show the traceback of an error")
    # What the commands that use a schema share: the schema itself and how the codec is set up.
    codec = argparse.ArgumentParser(add_help=False)
    codec.add_argument(
        "--schema",
        action="append",
        metavar="SCHEMA",
        help="schema JSON or .tl file; may be repeated (default: the bundled schemas)",
    )
    main = _Parser(prog=PROG, description=MAIN_DESC, epilog=MAIN_EPILOG, formatter_class=fmt)
    main.add_argument("--debug", action="store_true", help="show the traceback of an error")
    main.add_argument("--version", action="version", version=f"Virel {_version()}")
    sub = main.add_subparsers(dest="command", metavar="COMMAND", required=True, title="commands")

    def command(name: str, parents: list, summary: str, func) -> argparse.ArgumentParser:
        # Each command's texts are NAME_DESC and NAME_EPILOG above.
        upper = name.upper()
        p = sub.add_parser(
            name,
            parents=parents,
            formatter_class=fmt,
            description=globals()[f"{upper}_DESC"],
            epilog=globals()[f"{upper}_EPILOG"],
            help=summary,
        )
        p.set_defaults(func=func)
        return p

    def progress_option(p: argparse.ArgumentParser, text: str) -> None:
        p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help=text)

    p = command("demo", [debug], "pack and unpack a few example objects, with a timing", cmd_demo)
    p.add_argument(
        "--seconds",
        type=float,
        default=0.5,
        metavar="S",
        help="time spent on the speed measurement (default 0.5; 0 skips it)",
    )

    p = command("unpack", [debug, codec], "TL bytes -> JSON", cmd_unpack)
    p.add_argument("--type", metavar="TYPE", help="read a value of this type (e.g. 'Vector<User>'), not a boxed object")
    p.add_argument("--all", action="store_true", help="every value back to back, one JSON line each")
    p.add_argument("--compact", action="store_true", help="each value on one line")
    p.add_argument("--base64", action="store_true", help="the input is base64 text")
    p.add_argument("--strict", action="store_true", help="refuse bytes left after the object")
    p.add_argument("--signed", action="store_true", help="read int and long fields as signed numbers")
    progress_option(p, "a progress line on stderr (default: when stderr is a terminal)")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="HEX, @FILE or - (default)")

    p = command("pack", [debug, codec], "JSON -> TL bytes (hex, or raw with --raw)", cmd_pack)
    p.add_argument("--type", metavar="TYPE", help="write a value of this type (e.g. 'Vector<long>')")
    p.add_argument("--all", action="store_true", help="one JSON document a line, each packed")
    progress_option(p, "with --all, a progress line on stderr (default: when stderr is a terminal)")
    p.add_argument("--raw", action="store_true", help="write the raw bytes instead of hex")
    modes = p.add_mutually_exclusive_group()
    modes.add_argument(
        "--lenient",
        action="store_true",
        help="take what the library takes by default: ignore unknown keys, pack a missing "
        "value as zero, convert 1.5 to 1 (the default is strict)",
    )
    modes.add_argument(
        "--strict",
        action="store_true",
        help="refuse unknown keys, missing values, wrong types and wrong records (the default)",
    )
    p.add_argument("--signed", action="store_true", help="accepted for symmetry with unpack (pack takes both readings)")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="JSON, @FILE or - (default)")

    p = command("schema", [debug, codec], "summarise a schema, or show one constructor/method", cmd_schema)
    p.add_argument("file", nargs="?", metavar="SCHEMA", help="schema JSON or .tl file (default: the bundled ones)")
    p.add_argument("entry", nargs="?", metavar="ENTRY", help="a name, or an id (hex or decimal)")

    p = command("stubs", [debug, codec], "typed dictionaries (TypedDict) of a schema", cmd_stubs)
    p.add_argument("-o", "--output", metavar="OUT.pyi", help="write here instead of stdout")

    p = command("convert", [debug], "TL text -> schema JSON", cmd_convert)
    p.add_argument("file", metavar="FILE.tl", help="TL text file, or - for stdin")
    p.add_argument("-o", "--output", metavar="OUT.json", help="write here instead of stdout")
    p.add_argument("--compact", action="store_true", help="all on one line")
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
        note(f"error: {kind_name(exc)}: {describe(exc)}")
        return 1
