"""Child process of ``run.py --instructions``: N calls of one of our cases, for callgrind to count.

    python bench/callgrind_child.py "W2 message" pack 500 [ours|floor|strict|signed|bodies|zlib]

The parent runs this under ``valgrind --tool=callgrind`` twice, with N and with 2N calls, and takes
(instructions of the 2N run - instructions of the N run) / N as the cost of one call.  Everything
else the script does (interpreter start, imports, building the schema and the workloads, one
warm-up call) is the same in both runs and cancels out.  The parent fixes PYTHONHASHSEED and turns
off address-space randomisation so that both runs hash and allocate alike.  The calls go through
the same loop as the timing batches, ``fn(*args)``; the pseudo-case ``loop call`` times that loop
around ``id(x)`` so the parent can say how much of each figure is the loop itself.  The optional
last argument picks the contender: ours (the default), the floor, one of our other modes
(strict, signed), or a reference of W8 (bodies, zlib).  The floor extension is the file the
parent built (named in the environment, see run.py), imported with no build of its own, which
would count in one of the two runs only.
"""

from __future__ import annotations

import os
import sys

# The runner puts this folder on sys.path.
from run import FLOOR, FLOOR_MODULE_ENV, OURS, load_floor, load_ours, make_cases
from baseline import TLBaseline
import workloads


def main() -> int:
    workload, direction, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
    contender = sys.argv[4] if len(sys.argv) > 4 else OURS
    w = workloads.build()
    if workload == "loop":
        fn, args = id, (w.message,)
    else:
        base = TLBaseline(w.schema_text)
        if contender == FLOOR:
            floor, reason = load_floor(base, os.environ.get(FLOOR_MODULE_ENV))
            if floor is None:
                print(f"no floor: {reason}", file=sys.stderr)
                return 2
            cases = make_cases(w, None, base, {FLOOR}, floor=floor)
        else:
            parser_class, reason = load_ours()
            if parser_class is None:
                print(f"cannot import Virel.tl: {reason}", file=sys.stderr)
                return 2
            cases = make_cases(w, parser_class(w.schema_text), base, {contender}, only=workload)
        matching = [c for c in cases if (c.workload, c.direction) == (workload, direction)]
        if not matching:
            print(f"no case {workload!r} {direction!r} of {contender}", file=sys.stderr)
            return 2
        fn, args = matching[0].fn, matching[0].args
    fn(*args)  # warm-up, in both runs alike
    for _ in range(calls):
        fn(*args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
