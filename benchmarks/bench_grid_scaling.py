"""Time and peak memory of syn_emissivity_full and rad_cool_pwl against grid size.

Each size runs in a fresh interpreter (so that its peak resident memory is its
own), with RAYON_NUM_THREADS set to --workers; the table gives the best wall
clock of --repeats calls, the peak resident set of the process after them
(VmHWM) and its growth over the resident set before the first call, i.e. what
the call itself needed beyond its inputs and the interpreter.

    python benchmarks/bench_grid_scaling.py [--kernel syn|pwl|both] [--workers N] [--repeats N]

Problems:
  syn_emissivity_full  200 frequencies 1e7-1e21 Hz, B = 0.1 G, with
                       absorption; n = gamma^-2.5 on N Lorentz factors
                       from 10 to 1e6 (N straddles 1228/1229, where the node
                       tables of one call used to exceed their memory budget)
  rad_cool_pwl         N Lorentz factors 1-1e8 in a field u ~ nu^-0.7 on
                       1000 frequencies 1e8-1e20 Hz, Thomson form (with_kn
                       False): the cost is one closed form per segment
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, sys, time
import ostrel

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

def logspace(lo, hi, n):
    return [lo * (hi / lo) ** (i / (n - 1)) for i in range(n)]

kernel, size, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if kernel == "syn":
    g = logspace(10.0, 1e6, size)
    n = [x ** -2.5 for x in g]
    freqs = logspace(1e7, 1e21, 200)
    call = lambda: ostrel.syn_emissivity_full(freqs, g, n, 0.1, True)
else:
    gg = logspace(1.0, 1e8, size)
    freqs = logspace(1e8, 1e20, 1000)
    uu = [1e-10 * (f / 1e8) ** -0.7 for f in freqs]
    call = lambda: ostrel.rad_cool_pwl(gg, freqs, uu, False)
ostrel.rad_cool_mono([1.0, 2.0], 1e9, 1.0, False)  # starts the pool
before = status("VmRSS")
best = float("inf")
for _ in range(repeats):
    t0 = time.perf_counter()
    call()
    best = min(best, time.perf_counter() - t0)
print(json.dumps({"seconds": best, "peak": status("VmHWM"), "growth": status("VmHWM") - before}))
"""

SIZES = {
    "syn": [307, 614, 1228, 1229, 1842, 2456],
    "pwl": [1000, 10000, 30000, 100000],
}


def measure(kernel, size, workers, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    done = subprocess.run([sys.executable, "-c", CHILD, kernel, str(size), str(repeats)], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel", choices=("syn", "pwl", "both"), default="both")
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--sizes", type=int, nargs="*", help="Lorentz-factor counts (default: the list above)")
    args = parser.parse_args()
    kernels = ("syn", "pwl") if args.kernel == "both" else (args.kernel,)
    print(f"{args.workers} worker(s), best of {args.repeats}, {sys.implementation.name}; "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"| {'kernel':<20} | {'gamma points':>12} | {'grid cells':>10} | {'time (s)':>8} | "
          f"{'s per 1e6 cells':>15} | {'peak RSS (MiB)':>14} | {'call needs (MiB)':>16} |")
    print(f"|{'-' * 22}|{'-' * 14}|{'-' * 12}|{'-' * 10}|{'-' * 17}|{'-' * 16}|{'-' * 18}|")
    for kernel in kernels:
        name = "syn_emissivity_full" if kernel == "syn" else "rad_cool_pwl"
        other = 200 if kernel == "syn" else 1000
        for size in args.sizes or SIZES[kernel]:
            r = measure(kernel, size, args.workers, args.repeats)
            cells = size * other
            print(f"| {name:<20} | {size:>12} | {cells:>10} | {r['seconds']:>8.3f} | "
                  f"{r['seconds'] / cells * 1e6:>15.3f} | {r['peak'] / 2**20:>14.1f} | {r['growth'] / 2**20:>16.1f} |",
                  flush=True)
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
