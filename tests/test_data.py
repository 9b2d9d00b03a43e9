"""The real schemas kept in tests/data: unchanged copies, and the converter turns them into the
reference JSON byte for byte."""

import pytest

from _data import CHECKSUMS, DATA, SOURCES, converted, sha256


@pytest.mark.parametrize("name", sorted(CHECKSUMS))
def test_data_matches_its_checksum(name):
    path = converted(DATA / SOURCES[name], name) if name in SOURCES else DATA / name
    assert sha256(path) == CHECKSUMS[name]
