"""Memory over many calls: every workload of ours, packed and unpacked until 10**6 calls or about
1 GB of processed bytes, whichever comes first. Prints resident memory and the interpreter's
allocated blocks before and after each; exits 1 if either grew past a small allowance.

    python bench/soak.py [--scale 0.1]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402

CALLS = 10**6
BYTES = 10**9


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def soak(name: str, fn, arg, size: int, scale: float) -> bool:
    calls = max(10, int(min(CALLS, BYTES // max(size, 1)) * scale))
    for _ in range(min(calls, 1000)):  # warm up: the buffer reaches its size, caches fill
        fn(arg)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_kib()
    t = time.perf_counter()
    for _ in range(calls):
        fn(arg)
    elapsed = time.perf_counter() - t
    gc.collect()
    grew_blocks, grew_rss = sys.getallocatedblocks() - blocks, rss_kib() - rss
    ok = grew_blocks < 100 and grew_rss < 2048
    print(
        f"{name:18} {calls:>9,} calls {calls * size / 1e6:>8,.0f} MB {elapsed:6.1f} s   "
        f"blocks {grew_blocks:+6d}   rss {grew_rss:+7d} KiB   {'ok' if ok else 'GREW'}"
    )
    return ok


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the calls (quick looks)")
    args = ap.parse_args(argv)
    from Virel.tl import TLParser

    w = workloads.build()
    parser = TLParser(w.schema_text)
    ok = True
    for label, value in [
        ("W1 tiny", w.tiny),
        ("W2 message", w.message),
        ("W3 history", w.history),
        ("W4 ids", w.ids),
        ("W5 blob", w.blob),
    ]:
        data = parser.pack(value)
        ok &= soak(f"{label} pack", parser.pack, value, len(data), args.scale)
        ok &= soak(f"{label} unpack", parser.unpack, data, len(data), args.scale)
    text = w.schema_text.encode()
    ok &= soak("W6 schema build", TLParser, w.schema_text, len(text), args.scale)
    bad = workloads.truncated(parser.pack(w.message))

    def failing_unpack(data):
        try:
            parser.unpack(data)
        except RuntimeError:
            pass

    def failing_pack(value):
        try:
            parser.pack(value)
        except ValueError:
            pass

    ok &= soak("W7 errors unpack", failing_unpack, bad, len(bad), args.scale)
    ok &= soak("W7 errors pack", failing_pack, w.unknown, 64, args.scale)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
