"""Cost of converting lists of floats into and out of the module, per element.

Prints, best of several repeats, nanoseconds per element of 1e5-element
lists of floats (and the per-call time of one Fokker-Planck step):
  - in:  rad_trans_slab(1.0, [], a): `a` is converted, nothing is computed
         or returned (an empty j_nu gives an empty result), for a new list
         every call and for the same list every call;
  - gofb(list): one list in, one list out (plus a square root per element);
  - out: gofb(list) minus "in", the cost of building the result list;
  - rad_trans_slab(1.0, j, a) with zero absorption: two lists in, one out,
         per element of one list;
  - the same inputs as tuples (on PyPy the interpreter itself makes a
    C-level copy of every item of a tuple passed to a C function, before
    the call starts: that cost is not the module's);
  - fp_findif_difu on 256 points (five vectors in, one out), per call, and
    the same step's conversions alone: rad_trans_slab on 2 x 256 in and 256
    out, plus rad_trans_slab(1.0, [], 3 x 256).

Run under each interpreter, with the module built for it, e.g.
  PYTHONPATH=build/dev python benchmarks/bench_overhead.py
  PYTHONPATH=build/pypy pypy3 benchmarks/bench_overhead.py
Timings are noisy on a shared machine: take the minimum of several runs.

Usage: python benchmarks/bench_overhead.py [--repeat R] [--size N]
"""

import argparse
import math
import os
import platform
import time
import timeit

import ostrel


def best(func, repeat):
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fresh(func, make, repeat, number=8):
    """Best time of func(make()) with the arguments made beforehand."""
    times = []
    for _ in range(repeat):
        args = [make() for _ in range(number)]
        start = time.perf_counter()
        for x in args:
            func(x)
        times.append((time.perf_counter() - start) / number)
        del args
    return min(times)


def step_arguments(n):
    g = [10.0 ** (6.0 * i / (n - 1)) for i in range(n)]
    return (1e-3, g, [x ** -2.0 for x in g], [1e-3 * x * x for x in g],
            [1e-5 * x ** 3 for x in g], [x ** -2.5 for x in g], 1e200, 1.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--size", type=int, default=100_000)
    options = parser.parse_args()
    repeat, n = options.repeat, options.size

    beta = [0.999 * k / n for k in range(n)]
    j = [1.0 + k for k in range(n)]
    a = [0.0 * k for k in range(n)]

    # Each call gets freshly made input containers, as in a loop that feeds
    # one call's result to the next (PyPy keeps per-object state for
    # containers that C code has seen); they are made before the clock starts.
    t_in = fresh(lambda x: ostrel.rad_trans_slab(1.0, [], x), lambda: j[:], repeat)
    t_gofb = fresh(ostrel.gofb, lambda: beta[:], repeat)
    t_slab = fresh(lambda x: ostrel.rad_trans_slab(1.0, *x), lambda: (j[:], a[:]), repeat)
    t_in_t = fresh(lambda x: ostrel.rad_trans_slab(1.0, (), x), lambda: tuple(j), repeat)
    t_gofb_t = fresh(ostrel.gofb, lambda: tuple(beta), repeat)
    t_slab_t = fresh(lambda x: ostrel.rad_trans_slab(1.0, *x), lambda: (tuple(j), tuple(a)), repeat)
    t_in_same = best(lambda: ostrel.rad_trans_slab(1.0, [], j), repeat)

    step = step_arguments(256)
    t_fp = best(lambda: ostrel.fp_findif_difu(*step), repeat)
    ones, zeros, three = [1.0] * 256, [0.0] * 256, [1.0] * (3 * 256)
    t_fp_conv = (best(lambda: ostrel.rad_trans_slab(1.0, ones, zeros), repeat)
                 + best(lambda: ostrel.rad_trans_slab(1.0, [], three), repeat))

    ns = 1e9 / n
    rows = [
        ("in (list)", t_in * ns, "ns/element"),
        ("in (the same list every call)", t_in_same * ns, "ns/element"),
        ("out (list), gofb - in", (t_gofb - t_in) * ns, "ns/element"),
        ("gofb(list)", t_gofb * ns, "ns/element"),
        ("rad_trans_slab(lists), 2 in + 1 out", t_slab * ns, "ns/element"),
        ("in (tuple)", t_in_t * ns, "ns/element"),
        ("gofb(tuple)", t_gofb_t * ns, "ns/element"),
        ("rad_trans_slab(tuples), 2 in + 1 out", t_slab_t * ns, "ns/element"),
        ("fp_findif_difu, 256 points, lists", t_fp * 1e6, "us/call"),
        ("  its conversions alone (5x256 in, 256 out)", t_fp_conv * 1e6, "us/call"),
    ]
    print(f"{platform.python_implementation()} {platform.python_version()}, "
          f"{n} elements, best of {repeat}; load average {os.getloadavg()[0]:.2f}")
    width = max(len(name) for name, _, _ in rows)
    for name, value, unit in rows:
        print(f"{name:<{width}}  {value:9.1f} {unit}")
    assert all(math.isfinite(v) for _, v, _ in rows)


if __name__ == "__main__":
    main()
