"""Hostile input: realistic messages of the real layer cut at every offset and with bits flipped."""

import random
import re

import pytest
from hypothesis import given, strategies as st

from conftest import examples, make_parser
from hostile import REAL, SIZES, VEC, api, api_text, api_values, parse_error_position  # noqa: F401  (fixtures)
from support import decode_is_sound, same

pytestmark = pytest.mark.usefixtures("direct_path")


def packed(api, name):
    blob = api.pack(REAL[name])
    assert api.pack(api.unpack(blob)) == blob  # the object is well formed for the layer
    return blob


DOCUMENTED_VALUE_ERROR = re.compile(r"(Unknown constructor ID|Invalid vector ID): 0x[0-9a-f]{8}")


def check_cuts(parser, blob, strict=True):
    """unpack of every proper prefix of `blob` raises, and (strict) it is reported as a parse error
    at a plausible position, or as the invalid vector header that a header read past the end gives.
    The one prefix that may decode is the whole object less its final padding (see
    test_a_cut_in_the_final_padding_is_a_parse_error)."""
    whole = parser.unpack(blob)
    for cut in range(len(blob)):
        try:
            d = parser.unpack(blob[:cut])
        except RuntimeError as e:
            assert 0 <= parse_error_position(e) <= cut + 3, (cut, str(e))
            continue
        except UnicodeDecodeError:
            assert not strict, cut
            continue
        except ValueError as e:
            if not strict:
                assert DOCUMENTED_VALUE_ERROR.fullmatch(str(e)), (cut, str(e))
                continue
            assert str(e) == "Invalid vector ID: 0x00000000", (cut, str(e))
            # the header is at most 3 bytes of padding past the end
            assert any(blob[i : i + 4] == VEC for i in range(max(cut - 3, 0), cut + 4)), cut
            continue
        assert len(blob) - cut <= 3 and not any(blob[cut:]) and same(d, whole), cut


def flipped(blob, bit):
    b = bytearray(blob)
    b[bit >> 3] ^= 1 << (bit & 7)
    return bytes(b)


@pytest.mark.parametrize("name", sorted(REAL))
def test_real_messages_cut_at_every_offset_never_decode(api, name):
    check_cuts(api, packed(api, name), strict=False)


# A vector reads on after a string or bytes read came up short inside one of its elements (the
# read moved the cursor past the length prefix), so the next element is read from the middle of
# the data: the call still fails, but with whichever error that read meets first.
CUT_INSIDE = (RuntimeError, ValueError, UnicodeDecodeError)


@pytest.mark.parametrize("name", sorted(set(REAL) - {"message", "messages"}))
def test_real_messages_cut_at_every_offset_report_a_parse_error(api, name):
    check_cuts(api, packed(api, name))


@pytest.mark.parametrize("cut", [100, 200, 300])
def test_cut_inside_a_string_of_an_object_in_a_vector_never_decodes(api, cut):
    users = [{"_": "user", "id": 1, "first_name": "x" * 300}, {"_": "user", "id": 2}]
    blob = api.pack({"_": "messages.messages", "messages": [], "topics": [], "chats": [], "users": users})
    with pytest.raises(CUT_INSIDE):
        api.unpack(blob[:cut])


def test_cut_inside_a_string_of_a_vector_of_strings_never_decodes():
    p = make_parser(SIZES)
    blob = p.pack({"_": "s", "v": ["\x02aé" + "z" * 200, "next"]})
    with pytest.raises(CUT_INSIDE):
        p.unpack(blob[:60])


@pytest.mark.parametrize("name, cut", [("data_json", 1), ("text_message", 1), ("text_message", 2)])  # 'hi', 'hello'
def test_a_cut_in_the_final_padding_still_decodes_the_whole_object(api, name, cut):
    # The padding after the last string is skipped unread: the object itself is complete.
    blob = packed(api, name)
    assert same(api.unpack(blob[:-cut]), api.unpack(blob))


def check_flips(parser, blob, bits):
    decoded = sum(decode_is_sound(parser, flipped(blob, b)) for b in bits)
    assert decoded > len(bits) // 4  # most flips land in numbers and text and still decode


@pytest.mark.parametrize("name", sorted(REAL))
def test_real_messages_with_bits_flipped(api, name):
    blob = packed(api, name)
    bits = range(len(blob) * 8)
    if len(bits) > 2000:  # a fixed sample of big ones; every bit in the slow run
        bits = sorted(random.Random(name).sample(bits, 2000))
    check_flips(api, blob, bits)


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(REAL))
def test_real_messages_with_every_bit_flipped(api, name):
    blob = packed(api, name)
    check_flips(api, blob, range(len(blob) * 8))


FEW = examples(15)
MANY = examples(200)


def drawn_blob(api, api_values, data):
    e = data.draw(st.sampled_from(api_values.entries))
    return api.pack(data.draw(api_values.obj(e), label=api_values.name(e)))


@FEW
@given(data=st.data())
def test_drawn_messages_cut_and_flipped(api, api_values, data):
    blob = drawn_blob(api, api_values, data)
    check_cuts(api, blob, strict=False)
    for bit in data.draw(st.lists(st.integers(0, len(blob) * 8 - 1), max_size=64)):
        decode_is_sound(api, flipped(blob, bit))


@pytest.mark.slow
@MANY
@given(data=st.data())
def test_drawn_messages_cut_and_flipped_long(api, api_values, data):
    blob = drawn_blob(api, api_values, data)
    check_cuts(api, blob, strict=False)
    for bit in range(len(blob) * 8):
        decode_is_sound(api, flipped(blob, bit))
