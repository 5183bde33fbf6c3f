"""Timings of the inverse-Compton emissivities and the Compton cooling rates.

Each case runs in a fresh interpreter with RAYON_NUM_THREADS set to 1 and to
2 workers; the table gives the best of several repeats (wall clock, ms) and
the speed-up. The machine is shared, so run it on a quiet machine or repeat.

    python benchmarks/bench_compton.py [--repeats N]

Problems:
  ic_iso_powlaw_full      self-Compton: 200 frequencies 1e7-1e28 Hz, the
                          synchrotron intensity of the blob below as seed,
                          128 Lorentz factors 1e1-1e6 (n ~ gamma^-2.5 with an
                          exponential cut-off)
  ic_iso_monochrome_full  the same electrons and frequencies in a field of
                          1e-2 erg cm^-3 at 1e15 Hz
  rad_cool_pwl            200 Lorentz factors 1-1e8 in the synchrotron field
                          above (u = 4 pi I / c), with and without
                          Klein-Nishina reduction
  rad_cool_mono           the same Lorentz factors in the 1e15 Hz field

The seed is the blob's synchrotron intensity from syn_emissivity_full and
rad_trans_blob (B = 0.1 G, R = 1e16 cm) when the module provides them, and
otherwise a synchrotron-like intensity of the same shape: self-absorbed
nu^(5/2) below the turnover, nu^(-(p-1)/2) above it, exponential cut-off at
the critical frequency of the highest Lorentz factor.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

C = 29979245800.0


def logspace(lo, hi, n):
    step = (math.log10(hi) - math.log10(lo)) / (n - 1)
    return [10.0 ** (math.log10(lo) + step * k) for k in range(n)]


def problem():
    import ostrel

    freqs = logspace(1e7, 1e28, 200)
    g = logspace(1e1, 1e6, 128)
    n = [1e3 * x ** -2.5 * math.exp(-x / 5e5) for x in g]
    b_field, radius = 0.1, 1e16
    if hasattr(ostrel, "syn_emissivity_full"):
        j_nu, a_nu = ostrel.syn_emissivity_full(freqs, g, n, b_field, True)
        inu = ostrel.rad_trans_blob(radius, j_nu, a_nu)
        seed = "syn_emissivity_full + rad_trans_blob"
    else:
        p = 2.5
        nu_c = 4.2e6 * b_field * g[-1] ** 2
        nu_t = 1e11
        inu = []
        for nu in freqs:
            tau = (nu / nu_t) ** (-(p + 4) / 2)
            source = 1e-15 * (nu / nu_t) ** 2.5
            inu.append(source * -math.expm1(-tau) * math.exp(-nu / nu_c))
        seed = "synchrotron-like analytic intensity"
    uu = [4 * math.pi * i / C for i in inu]
    gg = logspace(1.0, 1e8, 200)
    return freqs, inu, g, n, gg, uu, seed


def cases():
    import ostrel

    freqs, inu, g, n, gg, uu, seed = problem()
    return seed, [
        ("ic_iso_powlaw_full (200 nu x 128 gamma)", lambda: ostrel.ic_iso_powlaw_full(freqs, inu, g, n)),
        ("ic_iso_monochrome_full (200 nu x 128 gamma)",
         lambda: ostrel.ic_iso_monochrome_full(freqs, 1e-2, 1e15, n, g)),
        ("rad_cool_pwl, Thomson (200 gamma x 200 nu)", lambda: ostrel.rad_cool_pwl(gg, freqs, uu, False)),
        ("rad_cool_pwl, Klein-Nishina (200 gamma x 200 nu)", lambda: ostrel.rad_cool_pwl(gg, freqs, uu, True)),
        ("rad_cool_mono, Thomson (200 gamma)", lambda: ostrel.rad_cool_mono(gg, 1e15, 1e-2, False)),
        ("rad_cool_mono, Klein-Nishina (200 gamma)", lambda: ostrel.rad_cool_mono(gg, 1e15, 1e-2, True)),
    ]


def measure(repeats):
    seed, runs = cases()
    out = {"seed": seed, "times": {}}
    for name, run in runs:
        run()  # warm-up: creates the worker pool
        best = math.inf
        spent = 0.0
        count = 0
        while count < repeats or (spent < 0.5 and count < 50 * repeats):
            t0 = time.perf_counter()
            run()
            dt = time.perf_counter() - t0
            best = min(best, dt)
            spent += dt
            count += 1
        out["times"][name] = best * 1e3
    return out


def in_subprocess(workers, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--repeats", str(repeats)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.repeats)))
        return
    one = in_subprocess(1, args.repeats)
    two = in_subprocess(2, args.repeats)
    print(f"seed field: {one['seed']}; best of >= {args.repeats} repeats, {sys.implementation.name}")
    print(f"| {'case':<50} | {'1 worker (ms)':>13} | {'2 workers (ms)':>14} | {'speed-up':>8} |")
    print(f"|{'-' * 52}|{'-' * 15}|{'-' * 16}|{'-' * 10}|")
    for name, t1 in one["times"].items():
        t2 = two["times"][name]
        print(f"| {name:<50} | {t1:13.3f} | {t2:14.3f} | {t1 / t2:8.2f} |")


if __name__ == "__main__":
    main()
