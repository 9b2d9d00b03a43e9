"""The command line's JSON output on one large object of the bundled layer: time and peak memory.

    python bench/cli_output.py [--mb 50] [--keep DIR]

Builds a messages.messages object of about --mb MB of TL (the history of the benchmark's W3
workload, its messages, users and chats repeated), writes it to a file, and runs, each in a
process of its own (wall time and peak resident memory of that process):

  reference   unpack, the JSON form's conversions and json.dumps(separators=(",", ":"),
              ensure_ascii=False), written to /dev/null; the conversions as the command line
              makes them (jsonform.prepare, in place)
  copying     the same with the conversions made by a plain recursive copy (to_jsonable)
  compact     virel unpack --compact @FILE > /dev/null
  pretty      virel unpack @FILE > /dev/null

and prints the ratios compact/reference and pretty/reference with the figures. The command line
is held to at most 2x (compact) and 3x (pretty) the reference, and under 3 GB of memory; the
run never fails on a figure, it reports them.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

REFERENCE = """
import json, os, sys
from Virel import schemas
from Virel.tl import TLParser
from Virel.cli.jsonform import prepare, to_jsonable
parser = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))
data = open(sys.argv[1], "rb").read()
value = parser.unpack(data)
value = prepare(value)[0] if sys.argv[2] == "prepare" else to_jsonable(value)
text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
with open(os.devnull, "w", encoding="utf-8") as out:
    out.write(text + "\\n")
"""


def build(mb: float) -> bytes:
    import workloads
    from Virel import schemas
    from Virel.tl import TLParser

    parser = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))
    w = workloads.build(json_text(schemas.api()), "the bundled layer")
    history = w.history
    unit = len(parser.pack(history))
    times = max(1, int(mb * 1e6 / unit))
    big = dict(history, messages=history["messages"] * times, chats=history["chats"] * times,
               users=history["users"] * times)
    return parser.pack(big)


def json_text(schema: dict) -> str:
    import json
    return json.dumps(schema)


def measure(argv: list[str], stdout) -> tuple[float, float]:
    """Wall seconds and peak resident MB of one process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{argv} failed with status {proc.returncode}")
    return elapsed, usage.ru_maxrss / 1024


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=50.0, help="size of the object in MB of TL (default 50)")
    ap.add_argument("--keep", metavar="DIR", help="write the object and the outputs' sizes here")
    args = ap.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="virel-cli-output-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "object.bin")
    data = build(args.mb)
    with open(path, "wb") as fh:
        fh.write(data)
    print(f"object: messages.messages, {len(data) / 1e6:.1f} MB of TL; Python {sys.version.split()[0]}")
    virel = [sys.executable, "-m", "Virel", "unpack"]
    runs = {
        "reference": [sys.executable, "-c", REFERENCE, path, "prepare"],
        "copying": [sys.executable, "-c", REFERENCE, path, "copy"],
        "compact": [*virel, "--compact", f"@{path}"],
        "pretty": [*virel, f"@{path}"],
    }
    sizes = {}
    for name in ("compact", "pretty"):
        out = subprocess.run(runs[name], stdout=subprocess.PIPE, check=True).stdout
        sizes[name] = len(out)
        del out
    results = {}
    with open(os.devnull, "wb") as null:
        for name, argv in runs.items():
            results[name] = measure(argv, null)
            print(f"{name:10s} {results[name][0]:7.2f} s  {results[name][1]:7.0f} MB peak"
                  + (f"  {sizes[name] / 1e6:.0f} MB of JSON" if name in sizes else ""))
    for ref in ("reference", "copying"):
        base = results[ref][0]
        print(f"against {ref}: compact {results['compact'][0] / base:.2f} (bound 2), "
              f"pretty {results['pretty'][0] / base:.2f} (bound 3)")
    print(f"peak of the command line {max(results['compact'][1], results['pretty'][1]):.0f} MB (bound 3000)")
    if not args.keep:
        os.remove(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
