"""Notes on failing calls: attached by add_note's rules, and never a crash when memory runs out on
the way."""

import collections.abc
import os
import subprocess
import sys

import pytest

from conftest import ROOT, entry, make_parser, new_parser

pytestmark = pytest.mark.usefixtures("direct_path")

NOTE = "at obj.size (records: obj)"


class Interrupted(Exception):
    """Its __setattr__ is interrupted while __notes__ is set."""

    def __setattr__(self, name, value):
        if name == "__notes__":
            raise KeyboardInterrupt("while the note was set")
        super().__setattr__(name, value)


class NotesOnTheClass(Exception):
    __notes__ = ("a note of the class",)


class ListOnTheClass(Exception):
    __notes__ = []


class NotesUnreadable(Exception):
    """Reading its __notes__ raises."""

    @property
    def __notes__(self):
        raise RuntimeError("the notes cannot be read")


class NotesAlready(Exception):
    def __init__(self):
        super().__init__()
        self.add_note("the caller's own")


def failing_value(exc_type):
    class Value:
        def __index__(self):
            raise exc_type()

        __int__ = __index__

    return Value()


def by_add_note(exc_type, note):
    """What raising exc_type and then calling add_note(note) on it gives."""
    try:
        try:
            raise exc_type()
        except exc_type as e:
            e.add_note(note)
            raise
    except BaseException as final:  # noqa: BLE001 - compared
        return final


def shape(exc):
    return (type(exc), str(exc), exc.__dict__.get("__notes__"), getattr(exc, "__notes__", None), type(exc.__context__))


@pytest.mark.parametrize("exc_type", [Interrupted, ListOnTheClass, NotesAlready, NotesUnreadable])
def test_notes_are_attached_as_add_note_attaches_them(exc_type):
    ListOnTheClass.__notes__ = []
    p = make_parser([entry(1, "obj", ("size", "int"))])
    with pytest.raises(BaseException) as info:
        p.pack({"_": "obj", "size": failing_value(exc_type)})
    got = shape(info.value)
    ListOnTheClass.__notes__ = []
    assert got == shape(by_add_note(exc_type, NOTE))
    if exc_type is Interrupted:  # the interruption propagates, the caller's exception behind it
        assert isinstance(info.value, KeyboardInterrupt) and type(info.value.__context__) is Interrupted
    if exc_type is NotesUnreadable:  # so does the failure to read the notes
        assert type(info.value) is RuntimeError and type(info.value.__context__) is NotesUnreadable


class FailingLookup(collections.abc.Mapping):
    """An object of record obj whose `size` raises NotesUnreadable when read."""

    def __getitem__(self, key):
        if key == "size":
            raise NotesUnreadable("size")
        return {"_": "obj"}[key]

    def __iter__(self):
        return iter(["_", "size"])

    def __len__(self):
        return 2


@pytest.mark.parametrize("modes", [{}, {"strict": True}, {"signed": True}], ids=["default", "strict", "signed"])
def test_a_note_that_cannot_be_read_fails_in_place_of_the_callers_error(modes):
    p = new_parser({"constructors": [entry(1, "obj", ("size", "int"))]}, **modes)
    with pytest.raises(RuntimeError, match="^the notes cannot be read$") as info:
        p.pack(FailingLookup())
    caller = info.value.__context__
    assert type(caller) is NotesUnreadable and caller.args == ("size",) and "__notes__" not in caller.__dict__
    assert "__notes__" not in info.value.__dict__ and info.value.__cause__ is None


def test_notes_that_are_not_a_list_are_left_alone():
    # add_note would raise TypeError here; the caller's exception is kept, without a note.
    p = make_parser([entry(1, "obj", ("size", "int"))])
    with pytest.raises(NotesOnTheClass) as info:
        p.pack({"_": "obj", "size": failing_value(NotesOnTheClass)})
    assert "__notes__" not in info.value.__dict__ and info.value.__notes__ == ("a note of the class",)


# Forked from one child interpreter that has made no failing call yet: each fork fails one
# allocation of its first failing call, counted from the call's start.
CHILD = r"""
import os, sys
import _testcapi
from Virel.tl import TLParser
p = TLParser({"constructors": [{"id": 1, "predicate": "obj", "type": "Obj", "params": [
    {"name": "n", "type": "int"}, {"name": "s", "type": "string"}]}]})
whole = p.pack({"_": "obj", "n": 1, "s": "text"})
cut = whole[:9]
strict = TLParser({"constructors": [{"id": 1, "predicate": "obj", "type": "Obj", "params": [
    {"name": "n", "type": "int"}, {"name": "s", "type": "string"}]}]}, strict=True)
calls = {"pack": lambda: p.pack({"_": "nothing"}), "unpack": lambda: p.unpack(cut),
         "unpack_from": lambda: p.unpack_from(cut, 0), "pack_as": lambda: p.pack_as([1, "x"], "Vector<int>"),
         "pack_into": lambda: p.pack_into(bytearray(), {"_": "obj", "s": 5}),
         "strict_unpack": lambda: strict.unpack(whole + bytes(4))}
call = calls[sys.argv[1]]
crashed = []
for n in range(1, int(sys.argv[2]) + 1):
    pid = os.fork()
    if pid == 0:
        _testcapi.set_nomemory(n, n + 1)
        try:
            call()
            status = 3  # the call must fail, with its own error or a MemoryError
        except BaseException:
            status = 0
        _testcapi.remove_mem_hooks()
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    if status:
        crashed.append((n, status))
print(crashed)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("op", ["pack", "unpack", "unpack_from", "pack_as", "pack_into", "strict_unpack"])
def test_a_failed_allocation_on_an_error_path_never_crashes(op):
    pytest.importorskip("_testcapi")
    done = subprocess.run(
        [sys.executable, "-c", CHILD, op, "100"], capture_output=True, text=True, cwd=ROOT, timeout=300
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "[]"


# Forked from one child that has packed once: each fork fails one allocation of the pack, counted
# from its start, then packs again with memory back.
GROWTH_CHILD = r"""
import os, sys
import _testcapi
from Virel.tl import TLParser
p = TLParser({"constructors": [
    {"id": 1, "predicate": "e", "type": "T", "params": [{"name": "v", "type": "bytes"}, {"name": "after", "type": "long"}]},
    {"id": 2, "predicate": "box", "type": "T", "params": [{"name": "items", "type": "Vector<T>"}]}]})
box = {"_": "box", "items": [{"_": "e", "v": bytes([i]) * 40_000, "after": i} for i in range(7)]}
wire = p.pack(box)
seen = set()
for n in range(1, int(sys.argv[1]) + 1):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        _testcapi.set_nomemory(n, n + 1)
        try:
            status, said = (0 if p.pack(box) == wire else 4), "ok"
        except MemoryError as e:
            status, said = 0, str(e)
        except BaseException:
            status, said = 5, "other"
        _testcapi.remove_mem_hooks()
        if p.pack(box) != wire or p.pack({"_": "e", "v": b"a"}) != bytes.fromhex("01000000 01610000") + bytes(8):
            status = 6
        os.write(w, said.encode())
        os._exit(status)
    os.close(w)
    _, status = os.waitpid(pid, 0)
    seen.add(os.read(r, 100).decode())
    os.close(r)
    if status:
        print("allocation", n, "status", status)
print(sorted(seen))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_failed_allocation_of_the_output_leaves_the_parser_usable():
    pytest.importorskip("_testcapi")
    done = subprocess.run(
        [sys.executable, "-c", GROWTH_CHILD, "40"], capture_output=True, text=True, cwd=ROOT, timeout=300
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "['', 'Cannot reallocate buffer', 'ok']"
