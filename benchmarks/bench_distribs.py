"""Timings of the particle-distribution functions.

Prints, best of several repeats:
  - fp_findif_difu per call for N = 64, 256, 1024 grid points, with list and
    (where NumPy is installed) NumPy array arguments;
  - the cost of converting the same number of floats alone: rad_trans_slab on
    vectors of 2N elements with zero absorption (no exponential), which
    converts 2 x 2N floats in and 2N out, the 5N in and N out of one step;
  - eq_59_park1995 per call and per element for 1000 Lorentz factors.

Usage: python benchmarks/bench_distribs.py [--repeat R]
"""

import argparse
import math
import timeit

import ostrel

try:
    import numpy as np
except ImportError:  # PyPy without NumPy: list timings only
    np = None


def step_arguments(n):
    g = [10.0 ** (6.0 * i / (n - 1)) for i in range(n)]
    return dict(
        dt_in=1e-3, gamma_bins=g, nin=[x ** -2.0 for x in g], gdot_in=[1e-3 * x * x for x in g],
        din=[1e-5 * x ** 3 for x in g], qin=[x ** -2.5 for x in g], tesc_in=1e200, tlc=1.0,
    )


def best_per_call(func, repeat):
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    repeat = parser.parse_args().repeat

    rows = []
    for n in (64, 256, 1024):
        args = step_arguments(n)
        rows.append((f"fp_findif_difu, N={n}, lists", best_per_call(lambda: ostrel.fp_findif_difu(**args), repeat)))
        if np is not None:
            arrays = {k: np.asarray(v) if isinstance(v, list) else v for k, v in args.items()}
            rows.append((f"fp_findif_difu, N={n}, numpy",
                         best_per_call(lambda: ostrel.fp_findif_difu(**arrays), repeat)))
        j = [1.0] * (2 * n)
        a = [0.0] * (2 * n)
        rows.append((f"conversion only (rad_trans_slab, 2x{2 * n}), lists",
                     best_per_call(lambda: ostrel.rad_trans_slab(1.0, j, a), repeat)))
        if np is not None:
            ja, aa = np.asarray(j), np.asarray(a)
            rows.append((f"conversion only (rad_trans_slab, 2x{2 * n}), numpy",
                         best_per_call(lambda: ostrel.rad_trans_slab(1.0, ja, aa), repeat)))

    g = [1.0 + 10.0 ** (0.5 + 4.0 * i / 999) for i in range(1000)]
    eq59 = best_per_call(lambda: ostrel.eq_59_park1995(0.01, g), repeat)
    rows.append(("eq_59_park1995, N=1000, per call", eq59))
    rows.append(("eq_59_park1995, N=1000, per element", eq59 / 1000))

    width = max(len(name) for name, _ in rows)
    print(f"{'case':<{width}}  {'time':>12}")
    for name, seconds in rows:
        print(f"{name:<{width}}  {seconds * 1e6:10.2f} us")
    assert all(math.isfinite(s) for _, s in rows)


if __name__ == "__main__":
    main()
