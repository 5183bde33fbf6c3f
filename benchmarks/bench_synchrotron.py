"""Benchmark of syn_emissivity_full.

128 Lorentz factors (n = g^-2.5 from 10 to 1e6), B = 0.1 G and 200
frequencies from 1e7 to 1e21 Hz, with and without absorption, at 1 and 2
workers. Each configuration runs in its own process (the worker count is
fixed when the pool starts) and reports the best of several calls; the time
per integrand evaluation divides by the number of integrand evaluations the
integration rule needs (2^L + 1 per segment integral converging at level L,
whichever evaluations the implementation can share or skip).

    python benchmarks/bench_synchrotron.py [--repeat N]

benchmarks/compare_peers.py times the same spectrum in agnpy and naima.
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, sys, time
import ostrel
repeat, with_abs = int(sys.argv[1]), sys.argv[2] == "1"
g = [10.0 * 10.0 ** (5.0 * i / 127) for i in range(128)]
n = [x ** -2.5 for x in g]
freqs = [1e7 * 10.0 ** (14.0 * i / 199) for i in range(200)]
ostrel.syn_emissivity_full(freqs, g, n, 0.1, with_abs)  # starts the pool
best = float("inf")
for _ in range(repeat):
    t0 = time.perf_counter()
    ostrel.syn_emissivity_full(freqs, g, n, 0.1, with_abs)
    best = min(best, time.perf_counter() - t0)
print(json.dumps(best))
"""


def run(threads, with_abs, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    out = subprocess.run([sys.executable, "-c", CHILD, str(repeat), "1" if with_abs else "0"],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    # Every segment integral of this grid converges at its first test: emission
    # at level 9 (2^9 + 1 evaluations), absorption at level 10 (2^10 + 1).
    integrals = 200 * 127
    rows = []
    for with_abs in (False, True):
        evaluations = integrals * ((2 ** 9 + 1) + ((2 ** 10 + 1) if with_abs else 0))
        times = {t: run(t, with_abs, args.repeat) for t in (1, 2)}
        for t in (1, 2):
            rows.append((with_abs, t, times[t], times[t] / evaluations * 1e9, times[1] / times[t]))
    print(f"{'with_abs':>8} {'workers':>7} {'ms/call':>9} {'ns/eval':>8} {'speed-up':>8}")
    for with_abs, t, sec, per, speed in rows:
        print(f"{str(with_abs):>8} {t:>7} {sec * 1e3:>9.2f} {per:>8.2f} {speed:>8.2f}")


if __name__ == "__main__":
    main()
