"""A pure-Python TL codec: the yardstick for what Python code without a native codec can do.

It reads the same schema JSON as ``Virel.tl.TLParser`` and produces the same bytes and the same
dicts, using the plainest technique on purpose: the writer appends one ``struct.pack`` result per
field to a ``bytearray``, and the reader is an object with one method call per field.  Nothing is
precompiled into closures or batched into wider ``struct`` formats; a faster pure-Python codec is
possible, but this is the honest "obvious code" baseline.

Wire rules, all little-endian:

* object: 4-byte constructor id, then the params in schema order;
* ``flags`` / ``flags2``: a 32-bit word built from which conditional params are present
  (``flags.N?T`` is bit N mod 32 of flags, ``flags2.N?T`` of flags2, ``?T`` bit 0 of flags);
* ``int`` / ``#``: 4 bytes; ``long``: 8 bytes (both read back as unsigned); ``double``: 8 bytes;
* ``string`` / ``bytes``: a length prefix (1 byte below 254, else 0xFE and 3 bytes), the data,
  zero padding to a multiple of 4;
* ``Bool`` / ``true``: 4-byte 1 or 0 when unconditional; as a conditional param only its bit;
* ``Vector...``: 0x1cb5c415, 4-byte count, the elements (element text: the type text with every
  ``Vector<`` and then every ``>`` removed);
* anything else: a nested boxed object, chosen by the ``_`` key of the nested dict.
"""

from __future__ import annotations

import json
import struct

__all__ = ["TLBaseline"]

VECTOR_ID = 0x1CB5C415

# Kinds of a type expression.
INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT = range(8)

_KIND_BY_TEXT = {
    "int": INT,
    "#": INT,
    "long": LONG,
    "double": DOUBLE,
    "string": STRING,
    "bytes": BYTES,
    "byte": BYTES,
    "Bool": BOOL,
    "true": BOOL,
}

# Value a missing unconditional key stands for, by kind.
_DEFAULTS = {INT: 0, LONG: 0, DOUBLE: 0.0, STRING: "", BYTES: b"", BOOL: False}


def kind_of(type_text: str) -> int:
    """Kind of a type text that carries no condition prefix."""
    kind = _KIND_BY_TEXT.get(type_text)
    if kind is not None:
        return kind
    if type_text.startswith("Vector"):
        return VECTOR
    return OBJECT


def element_text(type_text: str) -> str:
    """Type text of a vector's elements: every ``Vector<`` removed, then every ``>``."""
    return type_text.replace("Vector<", "").replace(">", "")


class Param:
    """One compiled parameter of a constructor."""

    __slots__ = ("name", "kind", "type_text", "flags_word", "condition_word", "bit")

    def __init__(self, name: str, type_expr: str):
        self.name = name
        self.flags_word = name if name in ("flags", "flags2") else None
        if "?" in type_expr:
            # "flags.3?Vector<long>": the word, the bit and the type proper. A condition without
            # a dot ("?long") is bit 0 of flags; any word but flags2 means flags.
            condition, self.type_text = type_expr.split("?")[0:2]
            word, dot, bit = condition.partition(".")
            self.condition_word = "flags2" if word == "flags2" else "flags"
            self.bit = int(bit) & 31 if dot else 0
        else:
            self.type_text = type_expr
            self.condition_word = None
            self.bit = 0
        self.kind = kind_of(self.type_text)


class Constructor:
    """One compiled schema entry (a constructor or a method)."""

    __slots__ = ("id", "name", "params")

    def __init__(self, entry: dict):
        self.id = int(entry.get("id", 0)) & 0xFFFFFFFF
        # The first of these keys present names the entry, up to its first NUL.
        name = next((entry[key] for key in ("predicate", "method", "type") if key in entry), "")
        self.name = name.split("\0", 1)[0]
        self.params = [Param(p["name"], p["type"]) for p in entry.get("params") or ()]


class Reader:
    """Reads TL values from a bytes object, one method call per field."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def read_int(self) -> int:
        (value,) = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        return value

    def read_long(self) -> int:
        (value,) = struct.unpack_from("<Q", self.data, self.pos)
        self.pos += 8
        return value

    def read_double(self) -> float:
        (value,) = struct.unpack_from("<d", self.data, self.pos)
        self.pos += 8
        return value

    def read_bytes(self) -> bytes:
        (first,) = struct.unpack_from("<B", self.data, self.pos)
        if first < 254:
            size = first
            head = 1
        else:
            (word,) = struct.unpack_from("<I", self.data, self.pos)
            size = word >> 8
            head = 4
        start = self.pos + head
        end = start + size
        if end > len(self.data):
            raise RuntimeError("truncated input: byte string runs past the end")
        padded = head + size + (-(head + size) % 4)
        if self.pos + padded > len(self.data):
            raise RuntimeError("truncated input: padding runs past the end")
        self.pos += padded
        return self.data[start:end]

    def read_string(self) -> str:
        return self.read_bytes().decode("utf-8")


class TLBaseline:
    """Packs dicts into TL bytes and back, from a schema JSON text."""

    def __init__(self, schema_text: str):
        schema = json.loads(schema_text)
        self.by_name: dict[str, Constructor] = {}
        self.by_id: dict[int, Constructor] = {}
        for key in ("constructors", "methods"):
            for entry in schema.get(key) or ():
                ctor = Constructor(entry)
                self.by_name[ctor.name] = ctor
                self.by_id[ctor.id] = ctor

    # ----------------------------------------------------------------------------- writing

    def pack(self, obj: dict) -> bytes:
        out = bytearray()
        self._write_object(out, obj)
        return bytes(out)

    def _write_object(self, out: bytearray, obj: dict) -> None:
        name = obj.get("_")
        ctor = self.by_name.get(name)
        if ctor is None:
            raise ValueError(f"unknown constructor: {name!r}")
        out += struct.pack("<I", ctor.id)
        for param in ctor.params:
            if param.flags_word is not None:
                out += struct.pack("<I", self._flags_value(ctor, param.flags_word, obj))
                continue
            if param.condition_word is not None:
                # A present conditional param writes its value; a Bool/true one lives in its bit.
                if param.kind == BOOL or obj.get(param.name) is None:
                    continue
                self._write_value(out, obj[param.name], param.kind, param.type_text)
                continue
            if param.name in obj:
                value = obj[param.name]
            elif param.kind == VECTOR:
                value = []
            elif param.kind == OBJECT:
                raise ValueError(f"{ctor.name}: missing object param {param.name!r}")
            else:
                value = _DEFAULTS[param.kind]
            self._write_value(out, value, param.kind, param.type_text)

    @staticmethod
    def _flags_value(ctor: Constructor, word: str, obj: dict) -> int:
        value = 0
        for param in ctor.params:
            if param.condition_word != word or param.flags_word is not None:
                continue
            current = obj.get(param.name)
            present = current is True if param.kind == BOOL else current is not None
            if present:
                value |= 1 << param.bit
        return value

    def _write_value(self, out: bytearray, value, kind: int, type_text: str) -> None:
        if kind == INT:
            out += struct.pack("<I", value & 0xFFFFFFFF)
        elif kind == LONG:
            out += struct.pack("<Q", value & 0xFFFFFFFFFFFFFFFF)
        elif kind == DOUBLE:
            out += struct.pack("<d", value)
        elif kind == STRING:
            self._write_bytes(out, value.encode("utf-8"))
        elif kind == BYTES:
            self._write_bytes(out, value)
        elif kind == BOOL:
            out += struct.pack("<I", 1 if value else 0)
        elif kind == VECTOR:
            inner = element_text(type_text)
            inner_kind = kind_of(inner)
            out += struct.pack("<I", VECTOR_ID)
            out += struct.pack("<I", len(value))
            for item in value:
                self._write_value(out, item, inner_kind, inner)
        else:
            self._write_object(out, value)

    @staticmethod
    def _write_bytes(out: bytearray, data: bytes) -> None:
        size = len(data)
        if size < 254:
            out += struct.pack("<B", size)
            head = 1
        else:
            out += struct.pack("<I", (size << 8) | 0xFE)
            head = 4
        out += data
        out += b"\0" * (-(head + size) % 4)

    # ----------------------------------------------------------------------------- reading

    def unpack(self, data: bytes) -> dict:
        reader = Reader(data)
        try:
            return self._read_object(reader)
        except struct.error as exc:
            raise RuntimeError(f"truncated input: {exc}") from None

    def _read_object(self, reader: Reader) -> dict:
        ident = reader.read_int()
        ctor = self.by_id.get(ident)
        if ctor is None:
            raise RuntimeError(f"unknown constructor id: {ident:#010x}")
        result = {"_": ctor.name}
        words = {}
        for param in ctor.params:
            if param.flags_word is not None:
                words[param.flags_word] = reader.read_int()
                continue
            if param.condition_word is not None:
                is_set = words.get(param.condition_word, 0) >> param.bit & 1
                if param.kind == BOOL:
                    result[param.name] = bool(is_set)
                    continue
                if not is_set:
                    result[param.name] = None
                    continue
            result[param.name] = self._read_value(reader, param.kind, param.type_text)
        return result

    def _read_value(self, reader: Reader, kind: int, type_text: str):
        if kind == INT:
            return reader.read_int()
        if kind == LONG:
            return reader.read_long()
        if kind == DOUBLE:
            return reader.read_double()
        if kind == STRING:
            return reader.read_string()
        if kind == BYTES:
            return reader.read_bytes()
        if kind == BOOL:
            return reader.read_int() != 0
        if kind == VECTOR:
            header = reader.read_int()
            if header != VECTOR_ID:
                raise RuntimeError(f"expected a vector, found id {header:#010x}")
            count = reader.read_int()
            inner = element_text(type_text)
            inner_kind = kind_of(inner)
            return [self._read_value(reader, inner_kind, inner) for _ in range(count)]
        return self._read_object(reader)
