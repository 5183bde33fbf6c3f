#!/usr/bin/env python3
"""Long fuzzing run of the calling conventions.

Calls every exported function with arbitrary values (see
tests/python/fuzzing.py) and counts the outcomes. Any crash, hang, wrong
exception type or malformed result stops the run with the failing call.

    python scripts/fuzz.py --calls 100000
"""

import argparse
import collections
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from hypothesis import HealthCheck, given, settings  # noqa: E402

from fuzzing import FUZZED, calls, check_outcome, module_still_works  # noqa: E402


def silence_native_streams():
    """Sends what the module writes to file descriptors 1 and 2 (its
    diagnostics) to /dev/null; returns a text stream on the original output."""
    out = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    sys.stdout.flush()
    sys.stderr.flush()
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000, help="calls in all, shared among the functions")
    parser.add_argument("--only", nargs="*", default=None, help="fuzz only these functions")
    opts = parser.parse_args()
    names = opts.only or FUZZED
    per_function = max(1, opts.calls // len(names))
    out = silence_native_streams()
    print(f"{per_function} calls for each of {len(names)} functions", file=out)
    total = collections.Counter()
    start = time.perf_counter()
    for name in names:
        outcomes = collections.Counter()

        @settings(max_examples=per_function, deadline=None, database=None,
                  suppress_health_check=list(HealthCheck))
        @given(call=calls(name))
        def run(call):
            args, kwargs = call
            outcomes[check_outcome(name, args, kwargs)] += 1
            module_still_works()

        t0 = time.perf_counter()
        try:
            run()
        except BaseException:
            traceback.print_exc(file=out)
            raise SystemExit(1)
        total.update(outcomes)
        print(f"{name:24s} {sum(outcomes.values()):8d} calls  {dict(outcomes)}  {time.perf_counter() - t0:7.1f} s",
              file=out)
    print(f"total {sum(total.values())} calls {dict(total)} in {time.perf_counter() - start:.1f} s", file=out)


if __name__ == "__main__":
    main()
