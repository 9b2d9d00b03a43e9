"""Writes the seed corpora of the harnesses (fuzz/corpus-NAME/seed-*).

unpack: pack output of valid objects drawn with the test suite's hypothesis strategies
(tests/tlgen.py) over the real schema (api.json as the tests find it, first byte 0) and over the
kitchen-sink schema of common.py (first byte 1, and 3 for a few). Without the real schema only
the kitchen-sink seeds are written.
compile: the kitchen-sink and other fixed schemas and a slice of the real one, as JSON text.
pack, hostile: a few fixed random byte strings (their input only steers the builders).

    python fuzz/make_seeds.py [--count N]     # N real-schema objects, default 300
"""

import argparse
import hashlib
import json
import os
import pathlib
import random
import sys
import warnings

# The strategies iterate over sets of str: the same seeds on every run need a fixed str hash.
if os.environ.get("PYTHONHASHSEED") != "0":
    os.execve(sys.executable, [sys.executable] + sys.argv, {**os.environ, "PYTHONHASHSEED": "0"})

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import common  # noqa: E402
from hypothesis import HealthCheck, Phase, given, settings, strategies as st  # noqa: E402
from tlgen import SchemaValues  # noqa: E402

from Virel.tl import TLParser  # noqa: E402


def packed_objects(schema, count):
    """`count` pack outputs of valid objects of `schema`, the same on every run."""
    parser = TLParser(schema)
    values = SchemaValues(schema)
    out = []

    @settings(
        max_examples=count,
        database=None,
        derandomize=True,
        deadline=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def draw(data):
        e = data.draw(st.sampled_from(values.entries))
        out.append(parser.pack(data.draw(values.obj(e))))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        draw()
    return out


def write(folder, seeds):
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / f"seed-{hashlib.sha1(seed).hexdigest()[:16]}").write_bytes(seed)
    return len(set(seeds))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=300)
    args = ap.parse_args()

    unpack = []
    real = common.real_schema_text()
    if real is None:
        print("make_seeds: api.json is absent: kitchen-sink seeds only", file=sys.stderr)
    else:
        unpack += [b"\x00" + b for b in packed_objects(json.loads(real), args.count)]
    sink = packed_objects(common.KITCHEN_SINK, max(args.count // 3, 20))
    unpack += [b"\x01" + b for b in sink] + [b"\x03" + b for b in sink[:20]]
    n = write(HERE / "corpus-unpack", unpack)

    texts = [common.KITCHEN_SINK, common.OTHER, {"constructors": [], "methods": []}]
    if real is not None:
        parsed = json.loads(real)
        texts.append({"constructors": parsed["constructors"][:40], "methods": parsed["methods"][:10]})
    m = write(HERE / "corpus-compile", [json.dumps(t).encode() for t in texts])

    rng = random.Random(20240601)
    k = write(HERE / "corpus-pack", [rng.randbytes(rng.randrange(4, 400)) for _ in range(64)])
    h = write(HERE / "corpus-hostile", [rng.randbytes(rng.randrange(64, 1024)) for _ in range(64)])
    print(f"make_seeds: unpack {n}, compile {m}, pack {k}, hostile {h} seeds in {HERE}/corpus-*")


if __name__ == "__main__":
    main()
