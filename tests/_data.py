"""Where the tests, the benchmark, the fuzz seeds and the tools find the real TL schemas.

A name is looked up in these folders, first match wins:
  1. $VIREL_DATA, when set;
  2. tests/data, when it exists (files kept for the tests only);
  3. the schemas bundled with the package, Virel/schemas (see its README.md);
  4. ../shared/data beside the repository, the team's folder that also holds the older layer.
A schema JSON (api.json, mtproto.json, api_layer144.json) found nowhere as a file is made from
its TL text in the same folder by the project's own converter, once per process, into a
temporary folder removed at exit.
"""

import atexit
import hashlib
import os
import pathlib
import re
import shutil
import tempfile

import Virel.schemas

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"
BUNDLED = pathlib.Path(Virel.schemas.__file__).resolve().parent
SHARED = HERE.parent.parent / "shared" / "data"

# The JSON each TL text converts into.
SOURCES = {"api.json": "telegram_api.tl", "mtproto.json": "mtproto_api.tl", "api_layer144.json": "api_layer144.tl"}

# SHA-256 of the bundled schemas and of the JSON converted from them, as listed in the README.md
# beside them.
CHECKSUMS = {
    name: digest
    for digest, name in re.findall(
        r"^([0-9a-f]{64})  (\S+)$", (BUNDLED / "README.md").read_text(encoding="utf-8"), re.M
    )
}

_converted = {}


def folders():
    configured = os.environ.get("VIREL_DATA")
    return ([pathlib.Path(configured)] if configured else []) + [DATA, BUNDLED, SHARED]


def find(name):
    """The path of data file `name`, or None when no folder has it (nor its TL text)."""
    for folder in folders():
        path = folder / name
        if path.is_file():
            return path
        source = folder / SOURCES.get(name, "-")
        if source.is_file():
            return converted(source, name)
    return None


def converted(source, name):
    """`source` converted into the JSON file `name` (once per process)."""
    if source not in _converted:
        from Virel.tl_text import parse, to_json

        out = pathlib.Path(tempfile.mkdtemp(prefix="virel-data-"))
        atexit.register(shutil.rmtree, out, True)
        path = out / name
        text = to_json(parse(source.read_text(encoding="utf-8")).schema, compact=True)
        path.write_text(text, encoding="utf-8")
        _converted[source] = path
    return _converted[source]


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def data_file(name):
    """The path of data file `name`; skips the calling test when it is absent."""
    path = find(name)
    if path is None:
        import pytest

        pytest.skip(f"{name} is in none of {', '.join(map(str, folders()))}")
    return path
