"""The floor contender: the least work any codec must do for the same values (``floor.cpp``).

The extension is the CMake target floor of the repository (the codec's release optimisation and
warnings), built on demand for the running interpreter by ``tests/_cmake.py`` in its build folder
under ``build/extras/``; it is never part of the package.  ``load()`` returns the module, or None
and the reason it could not be built.

The plans are made here, in Python, once per value and outside any timing:

* ``Floor.pack_plan(value)``: for every constructor the value uses, its id and its fields in schema
  order as ``(key, kind, element kind, flags word or -1, bit)``, keys interned.
* ``Floor.unpack_plan(value)``: a walk over the decoded value giving, in order, what to create.
  Each dict starts as a copy of a prototype of its constructor holding the values of absent fields
  (None, or False for flags of kind true/Bool); only the other fields are then set.
"""

from __future__ import annotations

import array
import sys
from pathlib import Path
from typing import Any

from baseline import BOOL, TLBaseline, element_text, kind_of

TESTS = str(Path(__file__).resolve().parent.parent.parent / "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
import _cmake  # noqa: E402

FLAGS_KIND = 8
(MAKE_DICT, MAKE_LIST, MAKE_INT, MAKE_LONG, MAKE_DOUBLE, MAKE_STR, MAKE_BYTES, SHARED, MAKE_NUMBERS) = range(9)
SHARED_OBJECTS = (True, False, None)


def load(built: str | None = None) -> tuple[Any, str | None]:
    """The floor extension module, or None and the reason it is not available.  `built`: the file
    of a build made already, imported with no build run."""
    try:
        return _cmake.load("floor", built), None
    except (_cmake.BuildError, OSError, ImportError) as exc:
        return None, str(exc)


def constructor_names(value: Any, found: dict[str, None]) -> dict[str, None]:
    """Names of every constructor in `value`, in first-seen order."""
    if isinstance(value, dict):
        found[value["_"]] = None
        for item in value.values():
            constructor_names(item, found)
    elif isinstance(value, list):
        for item in value:
            constructor_names(item, found)
    return found


class Floor:
    """Plans for the floor extension from a schema, and its pack and unpack."""

    def __init__(self, module: Any, schema: TLBaseline):
        self.module = module
        self.schema = schema

    def pack_plan(self, value: dict) -> Any:
        plan = {}
        for name in constructor_names(value, {}):
            ctor = self.schema.by_name[name]
            fields = []
            for p in ctor.params:
                if p.flags_word is not None:
                    fields.append((None, FLAGS_KIND, 0, int(p.flags_word == "flags2"), 0))
                    continue
                word = -1 if p.condition_word is None else int(p.condition_word == "flags2")
                element = kind_of(element_text(p.type_text))
                fields.append((sys.intern(p.name), p.kind, element, word, p.bit))
            plan[name] = (ctor.id, tuple(fields))
        return self.module.pack_plan(plan)

    def unpack_plan(self, value: dict) -> Any:
        words = array.array("Q")
        data = bytearray()
        shapes: dict[str, tuple[int, dict, tuple]] = {}

        def shape_of(v: dict) -> tuple[int, dict, tuple]:
            name = v["_"]
            if name not in shapes:
                ctor = self.schema.by_name[name]
                keys = tuple(map(sys.intern, v))
                absent = {
                    p.name: False if p.kind == BOOL else None for p in ctor.params if p.condition_word is not None
                }
                prototype = {key: absent.get(key) for key in keys}
                prototype["_"] = sys.intern(name)
                shapes[name] = (len(shapes), prototype, keys)
            index, prototype, keys = shapes[name]
            if tuple(v) != keys:
                raise ValueError(f"two {name} dicts with different keys")
            return shapes[name]

        def walk(v: Any) -> None:
            if v is True or v is False or v is None:
                words.append(SHARED | SHARED_OBJECTS.index(v) << 8)
            elif isinstance(v, dict):
                index, prototype, keys = shape_of(v)
                differing = [k for k, key in enumerate(keys) if k and v[key] is not prototype[key]]
                words.append(MAKE_DICT | (index | len(differing) << 32) << 8)
                for k in differing:
                    words.append(k)
                    walk(v[keys[k]])
            elif isinstance(v, list) and v and all(type(i) is int and 0 <= i < 1 << 64 for i in v):
                words.append(MAKE_NUMBERS | len(v) << 8)
                words.extend(v)
            elif isinstance(v, list):
                words.append(MAKE_LIST | len(v) << 8)
                for item in v:
                    walk(item)
            elif isinstance(v, int):
                if not 0 <= v < 1 << 64:
                    raise ValueError(f"decoded ints are unsigned 64-bit: {v}")
                if v < 1 << 56:
                    words.append(MAKE_INT | v << 8)
                else:
                    words.extend((MAKE_LONG, v))
            elif isinstance(v, float):
                words.extend((MAKE_DOUBLE, array.array("Q", array.array("d", [v]).tobytes())[0]))
            elif isinstance(v, (str, bytes)):
                raw = v.encode() if isinstance(v, str) else v
                op = MAKE_STR if isinstance(v, str) else MAKE_BYTES
                words.extend((op | len(raw) << 8, len(data)))
                data.extend(raw)
            else:
                raise TypeError(f"no plan for {type(v).__name__}")

        walk(value)  # the words stay in native order, as the extension reads them
        return self.module.unpack_plan(
            words.tobytes(), bytes(data), tuple(shape[1:] for shape in shapes.values()), SHARED_OBJECTS
        )

    def pack(self, value: dict, plan: Any) -> bytes:
        return self.module.pack(value, plan)

    def unpack(self, plan: Any) -> Any:
        return self.module.unpack(plan)
