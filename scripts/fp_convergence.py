#!/usr/bin/env python3
"""Convergence study of the Fokker-Planck step (fp_findif_difu).

1. Stochastic acceleration with escape (the Green's function of
   dN/dt = d/dp [p^3 dN/dp - p^2 N] - N, evaluated by eq_59_park1995): start
   from the analytic distribution at t = 1e-3, step to t = 2e-3 and report the
   L1 error for gamma < 1e4 relative to the analytic distribution, for several
   grid sizes (log grid 20 ... 1e7) and step counts, with the observed orders
   in the time step and in the grid spacing.
2. Cooling gdot = gamma^2 of a power law (index 2.5) injected from t = 0 over
   gamma = 10 ... 1e6: worst relative error against the closed form over
   gamma = 30 ... 1e5 at t = 1e-3 (cooling break at gamma = 1e3), for several
   grid sizes.

The mapping of the momentum equation onto the step's variables is derived in
tests/python/test_fp_validation.py. Usage: python scripts/fp_convergence.py
"""

import math
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from test_fp_validation import evolve_cooling, evolve_green  # noqa: E402


def orders(errors):
    return ["%.3f" % math.log2(a / b) for a, b in zip(errors, errors[1:])]


def main():
    start = time.time()
    print("Green's function, L1 error for gamma < 1e4 (t = 1e-3 -> 2e-3)")
    steps_list = (25, 50, 100, 200, 400, 800, 1600)
    for n in (256, 512, 1024):
        errors = [evolve_green(n, s) for s in steps_list]
        print(f"  N={n:5d}  " + "  ".join(f"{s}:{e:.3e}" for s, e in zip(steps_list, errors)))
        print(f"           orders in dt: {', '.join(orders(errors))}")
    grid = [(64, 4000), (128, 4000), (256, 4000), (512, 4000)]
    errors = [evolve_green(n, s) for n, s in grid]
    print("  grid refinement at 4000 steps: " + "  ".join(f"N={n}:{e:.3e}" for (n, _), e in zip(grid, errors)))
    print(f"           orders in the spacing: {', '.join(orders(errors))}")
    paired = [(128, 250), (256, 500), (256, 1000), (512, 1000), (1024, 2000)]
    print("  both refined: " + "  ".join(f"N={n}/{s}:{evolve_green(n, s):.3e}" for n, s in paired))

    print("Cooling with a break, worst relative error for 30 <= gamma <= 1e5 (t = 1e-3)")
    errors = []
    for n, s in ((128, 100), (256, 200), (512, 400), (1024, 800)):
        g, out, ref = evolve_cooling(n, s)
        errors.append(max(abs(a / r - 1.0) for x, a, r in zip(g, out, ref) if 30.0 <= x <= 1e5))
        print(f"  N={n:5d} steps={s:4d}: {errors[-1]:.3e}")
    print(f"           orders in the spacing: {', '.join(orders(errors))}")
    print(f"({time.time() - start:.1f} s)")


if __name__ == "__main__":
    main()
