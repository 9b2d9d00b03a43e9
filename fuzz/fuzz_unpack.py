"""Fuzzes TLParser.unpack with arbitrary bytes.

The first input byte picks the schema, the rest is what gets unpacked:
  0 (mod 4): the real schema (api.json as the tests find it; the kitchen sink when it is absent),
  1: the kitchen-sink schema of common.py, also unpacked on a parser whose buffer holds a
     pattern past the input (the result must not change); and the service schema of common.py
     on an inflating parser, the input as it is and gzip-compressed inside a gzip_packed,
  2: a schema built from the input itself (the rest is split between schema and data),
  3: the kitchen sink, unpacked through a fresh parser and with bytearray/memoryview/None tries.

Besides crashes and sanitizer reports, a finding is: an exception the module does not document,
or, for a schema with unique names and identifiers whose flags fields come before the fields they
govern, a successful unpack whose dict does not pack back into bytes that unpack and pack to the
same bytes again; a result that depends on what the parser's buffer holds past the input.
"""

import gzip
import struct
import sys

import atheris

import common
from common import Finding, check


REAL_TEXT = common.real_schema_text()
REAL = common.new_parser(REAL_TEXT) if REAL_TEXT is not None else None
SINK = common.new_parser(common.KITCHEN_SINK)
DIRTY = common.new_parser(common.KITCHEN_SINK)  # its buffer is filled with a pattern before each unpack
SERVICE = common.new_parser(common.SERVICE, inflate=True, inflate_limit=1 << 20)


def round_trip(parser, decoded):
    """unpack gave `decoded`: packing it must work, and its bytes must be a fixed point."""
    try:
        packed = parser.pack(decoded)
    except Exception as exc:
        raise Finding(f"unpack gave a dict that pack refuses: {exc!r}\n{decoded!r}") from exc
    again = parser.pack(parser.unpack(packed))
    if again != packed:
        raise Finding(f"pack(unpack(x)) is not a fixed point:\n{packed.hex()}\n{again.hex()}")


def unpack(parser, body, stable):
    try:
        decoded = parser.unpack(body)
    except Exception as exc:
        check(exc)
        return
    if not isinstance(decoded, dict) or "_" not in decoded:
        raise Finding(f"unpack returned {type(decoded).__name__}: {decoded!r}")
    if stable:
        round_trip(parser, decoded)


def service(body):
    """The input on the inflating service parser: as it is, as a vector result, and inflated from
    a gzip_packed made of it (what a server sends; the result is an object or a clean error)."""
    unpack(SERVICE, body, stable=False)
    try:
        SERVICE.unpack(body, result_type="Vector<long>")
    except Exception as exc:
        check(exc)
    packed = gzip.compress(body, compresslevel=1, mtime=0)
    unpack(
        SERVICE,
        SERVICE.pack({"_": "rpc_result", "req_msg_id": 1, "result": {"_": "gzip_packed", "packed_data": packed}}),
        stable=False,
    )
    unpack(SERVICE, struct.pack("<I", 0x3072CFA1) + SERVICE.pack_as(body, "bytes"), stable=False)


def outcome(parser, body):
    try:
        return ("ok", repr(parser.unpack(body)))
    except Exception as exc:
        check(exc)
        return (type(exc).__name__, str(exc))


def same_on_a_dirty_buffer(body):
    """A parser reuses its buffer, and bytes past the input are left from earlier calls, out of
    the sanitizer's sight. The result must not depend on them: unpack again on a parser whose
    buffer was just filled with a pattern, and compare."""
    clean = outcome(SINK, body)
    DIRTY.pack({"_": "texts", "b": b"\xa5" * (len(body) + 64), "s": "\u2603" * 40})
    dirty = outcome(DIRTY, body)
    if clean != dirty:
        raise Finding(f"unpack depends on bytes past the input:\n{clean}\n{dirty}")


def odd_arguments(parser, body):
    """unpack takes exact bytes only; everything else is a TypeError."""
    for arg in (bytearray(body), memoryview(body), None, body.decode("latin-1")):
        try:
            parser.unpack(arg)
        except TypeError:
            continue
        except Exception as exc:
            check(exc)
        raise Finding(f"unpack accepted {type(arg).__name__}")


def TestOneInput(data):
    if not data:
        return
    mode, body = data[0] % 4, data[1:]
    if mode == 0:
        unpack(REAL or SINK, body, stable=True)
    elif mode == 1:
        unpack(SINK, body, stable=True)
        same_on_a_dirty_buffer(body)
        service(body)
    elif mode == 2:
        fdp = atheris.FuzzedDataProvider(body)
        schema, parser = common.parser_from(fdp)
        if parser is None:
            return
        unpack(parser, fdp.ConsumeBytes(fdp.remaining_bytes()), stable=common.well_formed(schema))
    else:
        parser = common.new_parser(common.KITCHEN_SINK)
        unpack(parser, body, stable=True)
        odd_arguments(parser, body[:64])


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
