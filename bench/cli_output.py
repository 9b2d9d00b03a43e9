"""The command line's JSON output on the bundled layer: time and peak memory.

    python bench/cli_output.py [--mb 50] [--capture-mb 30] [--keep DIR]

A capture of many values: --capture-mb MB of mixed records (the W3 history's messages, users and
chats, each packed as a value of its own, back to back), run each in a process of its own:

  loop        a ten-line loop: unpack_from, json.dumps(separators=(",", ":"), ensure_ascii=False,
              default= the bytes' $ form), a line each, to /dev/null
  all         virel unpack --all --compact @FILE > /dev/null

held to all/loop <= 1 and a peak under 150 MB, the same at half and at the full size.

One large object:

Builds a messages.messages object of about --mb MB of TL (the history of the benchmark's W3
workload, its messages, users and chats repeated), writes it to a file, and runs, each in a
process of its own (CPU time and peak resident memory of that process):

  reference   unpack, the JSON form's conversions and json.dumps(separators=(",", ":"),
              ensure_ascii=False), written to /dev/null; the conversions as the command line
              makes them (jsonform.prepare, in place)
  copying     the same with the conversions made by a plain recursive copy (to_jsonable)
  compact     virel unpack --compact @FILE > /dev/null
  pretty      virel unpack @FILE > /dev/null

and prints the ratios compact/reference and pretty/reference with the figures. The command line
is held to at most 1.5x (compact) and 2x (pretty) the reference, and under 3 GB of memory; the
run never fails on a figure, it reports them.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

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


LOOP = """
import json, os, sys
from Virel import schemas
from Virel.tl import TLParser
parser = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))
data = open(sys.argv[1], "rb").read()
out, pos = open(os.devnull, "w", encoding="utf-8"), 0
while pos < len(data):
    value, pos = parser.unpack_from(data, pos)
    out.write(json.dumps(value, separators=(",", ":"), ensure_ascii=False,
                         default=lambda b: {"$bytes": b.hex()}) + "\\n")
"""


def build_capture(mb: float) -> bytes:
    """About mb MB of single records packed back to back."""
    import workloads
    from Virel import schemas
    from Virel.tl import TLParser

    parser = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))
    history = workloads.build(json_text(schemas.api()), "the bundled layer").history
    records = [parser.pack(v) for key in ("messages", "users", "chats") for v in history[key]]
    unit = b"".join(records)
    return unit * max(1, int(mb * 1e6 / len(unit)))


def capture_runs(mb: float, folder: str) -> None:
    virel = [sys.executable, "-m", "Virel", "unpack", "--all", "--compact"]
    peaks = []
    for size in (mb / 2, mb):
        path = os.path.join(folder, "capture.bin")
        made = made_in_child("capture", size, path)
        with open(os.devnull, "wb") as null:
            loop = measure([sys.executable, "-c", LOOP, path], null)
            cli = measure([*virel, f"@{path}"], null)
        peaks.append(cli[1])
        print(
            f"capture of {made / 1e6:.1f} MB: loop {loop[0]:6.2f} s {loop[1]:5.0f} MB peak; "
            f"unpack --all --compact {cli[0]:6.2f} s {cli[1]:5.0f} MB peak; ratio {cli[0] / loop[0]:.2f} (bound 1)"
        )
        os.remove(path)
    print(f"peak of unpack --all: {peaks[0]:.0f} MB at half the size, {peaks[1]:.0f} MB at the full size (bound 150)")


def build(mb: float) -> bytes:
    import workloads
    from Virel import schemas
    from Virel.tl import TLParser

    parser = TLParser(schemas.merged(schemas.mtproto(), schemas.api()))
    w = workloads.build(json_text(schemas.api()), "the bundled layer")
    history = w.history
    unit = len(parser.pack(history))
    times = max(1, int(mb * 1e6 / unit))
    big = dict(
        history, messages=history["messages"] * times, chats=history["chats"] * times, users=history["users"] * times
    )
    return parser.pack(big)


def json_text(schema: dict) -> str:
    import json

    return json.dumps(schema)


def made_in_child(what: str, mb: float, path: str) -> int:
    """Write the capture or the object to path from a process of its own, and return its size:
    a child started from this process would count this one's memory in its peak (Linux keeps the
    high-water mark across fork and exec)."""
    code = (
        f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); import cli_output; "
        f"open({path!r}, 'wb').write(cli_output.{'build_capture' if what == 'capture' else 'build'}({mb!r}))"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
    return os.path.getsize(path)


def measure(argv: list[str], stdout) -> tuple[float, float]:
    """CPU seconds (user and system: the machine may be shared, which wall time would count) and
    peak resident MB of one process."""
    proc = subprocess.Popen(argv, stdout=stdout)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{argv} failed with status {proc.returncode}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=50.0, help="size of the object in MB of TL (default 50; 0 skips it)")
    ap.add_argument(
        "--capture-mb", type=float, default=30.0, help="size of the capture in MB of TL (default 30; 0 skips it)"
    )
    ap.add_argument("--keep", metavar="DIR", help="write the object and the outputs' sizes here")
    args = ap.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="virel-cli-output-")
    os.makedirs(folder, exist_ok=True)
    if args.capture_mb:
        capture_runs(args.capture_mb, folder)
    if not args.mb:
        if not args.keep:
            os.rmdir(folder)
        return 0
    path = os.path.join(folder, "object.bin")
    made = made_in_child("object", args.mb, path)
    print(f"object: messages.messages, {made / 1e6:.1f} MB of TL; Python {sys.version.split()[0]}")
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
            print(
                f"{name:10s} {results[name][0]:7.2f} s  {results[name][1]:7.0f} MB peak"
                + (f"  {sizes[name] / 1e6:.0f} MB of JSON" if name in sizes else "")
            )
    for ref in ("reference", "copying"):
        base = results[ref][0]
        print(
            f"against {ref}: compact {results['compact'][0] / base:.2f} (bound 1.5), "
            f"pretty {results['pretty'][0] / base:.2f} (bound 2)"
        )
    print(f"peak of the command line {max(results['compact'][1], results['pretty'][1]):.0f} MB (bound 3000)")
    if not args.keep:
        os.remove(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
