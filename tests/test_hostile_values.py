"""Hostile input: values whose conversions misbehave, iterables that raise or call the parser, and
lists changed while they are packed."""

import struct
from decimal import Decimal
from fractions import Fraction

import pytest

from conftest import entry, make_parser
from hostile import BUSY, PLAIN, VALUES, VEC, Scripted, boom, le32, with_methods
from support import same

pytestmark = pytest.mark.usefixtures("direct_path")


# ---- Values whose conversions misbehave ----
@pytest.mark.parametrize(
    "field, value, exc, message",
    [
        ("i", with_methods(__int__=boom), ZeroDivisionError, "from a hook"),
        # Values with only __int__ are refused (TypeError) or converted: whatever __int__ does then shows.
        ("i", with_methods(__int__=boom), (ZeroDivisionError, TypeError), None),
        ("i", with_methods(__int__=lambda: "5"), TypeError, None),
        ("i", with_methods(__int__=lambda: 5.0), TypeError, None),
        ("i", with_methods(__int__=lambda: 2**100), OverflowError, None),
        ("i", with_methods(__int__=lambda: -(2**31) - 1), OverflowError, None),
        ("l", with_methods(__int__=lambda: 2**64), OverflowError, None),
        (
            "l",
            with_methods(__int__=lambda: -(2**63) - 1),
            OverflowError,
            "int value out of range for a TL long (accepted: -9223372036854775808 to 18446744073709551615)",
        ),
        ("l", with_methods(__int__=lambda: None), TypeError, None),
        ("c", with_methods(__int__=boom), ZeroDivisionError, "from a hook"),
        ("v", [1, with_methods(__int__=boom)], ZeroDivisionError, "from a hook"),
        ("v", [1, with_methods(__int__=lambda: 2**40)], OverflowError, None),
        ("d", with_methods(__float__=boom), ZeroDivisionError, "from a hook"),
        ("d", with_methods(__float__=lambda: "1.5"), TypeError, None),
        ("d", with_methods(__float__=lambda: 1), TypeError, None),
        ("d", with_methods(__index__=lambda: 2**2000), OverflowError, None),
        ("o", with_methods(__bool__=boom), ZeroDivisionError, "from a hook"),
        ("o", with_methods(__bool__=lambda: 2), TypeError, None),
        ("o", with_methods(__len__=boom), ZeroDivisionError, "from a hook"),
        ("o", with_methods(__len__=lambda: -1), ValueError, None),
        ("v", with_methods(__iter__=boom), ZeroDivisionError, "from a hook"),
        ("v", with_methods(__iter__=lambda: 5), TypeError, None),
        ("v", with_methods(__iter__=lambda: (x if x < 2 else 1 // 0 for x in range(5))), ZeroDivisionError, None),
        ("b", with_methods(__buffer__=boom), ZeroDivisionError, "from a hook"),
        ("b", with_methods(__buffer__=lambda flags: b"raw"), TypeError, None),
        ("b", memoryview(b"abcdef")[::2], BufferError, None),
        ("b", (lambda m: (m.release(), m)[1])(memoryview(b"abc")), ValueError, None),
        ("s", with_methods(__str__=lambda: "text"), TypeError, None),
        ("sub", Scripted({"_": "sub", "x": 1}, {"x": [ZeroDivisionError("from a hook")]}), ZeroDivisionError, None),
    ],
)
def test_values_whose_conversions_misbehave(field, value, exc, message):
    with pytest.raises(exc) as info:
        VALUES.pack(dict(PLAIN, **{field: value}))
    if message:
        assert str(info.value) == message
    assert VALUES.unpack(VALUES.pack(PLAIN)) == PLAIN


@pytest.mark.parametrize(
    "field, value, wanted",
    [
        ("i", with_methods(__int__=lambda: True), 1),
        ("i", with_methods(__int__=lambda: -(2**31)), 2**31),
        ("d", with_methods(__index__=lambda: 3), 3.0),
        ("d", float("nan"), float("nan")),
        ("o", with_methods(__len__=lambda: 0), False),
        ("b", with_methods(__buffer__=lambda flags: memoryview(b"via buffer")), b"via buffer"),
    ],
)
def test_values_with_odd_but_valid_conversions(field, value, wanted):
    d = VALUES.unpack(VALUES.pack(dict(PLAIN, **{field: value})))
    assert same(d, dict(PLAIN, **{field: wanted}))


@pytest.mark.parametrize("value", [3.7, Decimal("1.9"), Fraction(7, 2)], ids=["float", "decimal", "fraction"])
@pytest.mark.parametrize("field", ["i", "l"])
def test_non_integral_numbers_are_truncated_for_integers(field, value):
    # int and long take any value through its own integer conversion, as int() does.
    d = VALUES.unpack(VALUES.pack(dict(PLAIN, **{field: value})))
    assert d[field] == int(value)


# ---- Iterables that misbehave, lists changed while they are packed ----


def test_generators_that_raise_midway_or_call_the_parser():
    p = make_parser([entry(1, "e", ("v", "Vector<int>")), entry(2, "t", ("v", "Vector t"))])

    def raising():
        yield 1
        yield 2
        raise KeyError("midway")

    with pytest.raises(KeyError, match="midway"):
        p.pack({"_": "e", "v": raising()})
    with pytest.raises(KeyError, match="midway"):
        p.pack({"_": "t", "v": [[], raising()]})
    record = []

    def calling():
        yield 1
        try:
            p.pack({"_": "e", "v": [5]})
        except RuntimeError as e:
            record.append(str(e))
        yield 2

    assert p.pack({"_": "e", "v": calling()}) == le32(1) + VEC + le32(2, 1, 2)
    assert record == [BUSY]


class ListMeddler:
    def __init__(self, items, change, value=1):
        self.items, self.change, self.value = items, change, value

    def __int__(self):
        self.change(self.items)
        return self.value


ELEMENTS = {  # element type: (plain element, element whose conversion runs the hook, encoding of 4)
    "int": (lambda x: x, lambda m: m, le32(4)),
    "long": (lambda x: x, lambda m: m, struct.pack("<Q", 4)),
    "Sub": (lambda x: {"_": "sub", "x": x}, lambda m: {"_": "sub", "x": m}, le32(2, 4)),
}


@pytest.mark.parametrize("kind", sorted(ELEMENTS))
@pytest.mark.parametrize(
    "change",
    [
        lambda items: items.clear(),
        lambda items: items.append(9),
        lambda items: items.pop(),
        lambda items: items.extend(range(1000)),
        lambda items: (items.pop(), items.append(5)) and items.append(6),
    ],
    ids=["clear", "append", "pop", "grow-a-lot", "pop-then-two"],
)
def test_list_resized_by_an_element_is_an_error(kind, change):
    plain, hooked_element, four = ELEMENTS[kind]
    p = make_parser([entry(1, "e", ("v", f"Vector<{kind}>")), entry(2, "sub", ("x", "int"))])
    for at in (0, 1, 2):
        items = [plain(1), plain(2), plain(3)]
        items[at] = hooked_element(ListMeddler(items, change))
        with pytest.raises(RuntimeError, match="(?m)^list changed size during pack$"):
            p.pack({"_": "e", "v": items})
    assert p.pack({"_": "e", "v": [plain(4)]}) == le32(1) + VEC + le32(1) + four


@pytest.mark.parametrize("kind", ["int", "long"])
def test_list_rewritten_in_place_by_an_element_packs_consistently(kind):
    p = make_parser([entry(1, "e", ("v", f"Vector<{kind}>"))])
    items = [1, 2, 3, 4]
    items[1] = ListMeddler(items, lambda it: it.__setitem__(slice(None), [10, 20, 30, 40]), 2)
    got = p.unpack(p.pack({"_": "e", "v": items}))["v"]
    assert len(got) == 4 and got[0] == 1 and got[1] == 2 and got[2:] == [30, 40]


def test_outer_list_cleared_while_an_inner_one_is_packed():
    p = make_parser([entry(2, "t", ("v", "Vector t"))])
    outer = []

    class Clears:
        def __iter__(self):
            outer.clear()
            return iter([[]])

    outer.extend([[], Clears(), []])
    with pytest.raises(RuntimeError, match="(?m)^list changed size during pack$"):
        p.pack({"_": "t", "v": outer})
    assert p.pack({"_": "t", "v": []}) == le32(2) + VEC + le32(0)
