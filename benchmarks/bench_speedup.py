"""Speed-up of every parallel kernel on 2 workers against 1, on the benchmark cases.

The cases are those of bench_compton.py (inverse-Compton emissivities and
cooling rates, 200 x 128 and 200 x 200 points) and bench_synchrotron.py
(syn_emissivity_full, 200 frequencies x 128 Lorentz factors, with and
without absorption), and rad_cool_mono on a grid of 20000 Lorentz factors.
Each (build, worker count) runs in its own interpreter
(the worker count is fixed when the pool starts), timing each case for at
least --seconds and keeping the fastest call. The runs are repeated --rounds
times, alternating worker counts (and builds), and the table keeps the
minimum over all rounds; the machine's load averages (1 and 5 min, from
/proc/loadavg) are recorded before every run and printed as their range.
On 2 workers the processor time of each worker thread during the timed calls
is read from /proc/self/task/*/schedstat; the busier worker's share of it
(50 % is an even division) shows how the work was divided; on a loaded
machine it also shows that a worker which is not scheduled takes no work.

    python benchmarks/bench_speedup.py [--rounds N] [--seconds S] [--build LABEL=DIR ...]

Without --build the installed (or PYTHONPATH) module is timed. With
--build, DIR is put first on the module path of the child, so two builds
(for example before and after a change of the pool) are measured in
alternation under the same load.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def all_cases():
    import ostrel

    sys.path.insert(0, HERE)
    import bench_compton

    _, compton = bench_compton.cases()
    g = [10.0 * 10.0 ** (5.0 * i / 127) for i in range(128)]
    n = [x ** -2.5 for x in g]
    freqs = [1e7 * 10.0 ** (14.0 * i / 199) for i in range(200)]
    syn = [
        ("syn_emissivity_full (200 nu x 128 gamma)", lambda: ostrel.syn_emissivity_full(freqs, g, n, 0.1, False)),
        ("syn_emissivity_full, absorption (200 nu x 128 gamma)",
         lambda: ostrel.syn_emissivity_full(freqs, g, n, 0.1, True)),
    ]
    # a long cooling grid, which rad_cool_mono hands to the workers (its 200
    # points stay on the calling thread)
    gg = [10.0 ** (0.0003 * i) for i in range(20000)]
    long_grid = [("rad_cool_mono, Klein-Nishina (20000 gamma)", lambda: ostrel.rad_cool_mono(gg, 1e15, 1e-2, True))]
    return syn + compton + long_grid


def worker_cpu():
    """Processor time (ns) of every thread of this process but the calling one."""
    import threading

    me = threading.get_native_id()
    out = {}
    for tid in os.listdir("/proc/self/task"):
        if int(tid) == me:
            continue
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                out[tid] = int(f.read().split()[0])
        except OSError:
            pass
    return out


def child(seconds):
    out = {}
    for name, run in all_cases():
        run()  # warm-up (the first call creates the pool)
        best = math.inf
        start = time.perf_counter()
        count = 0
        cpu0 = worker_cpu()
        while count < 5 or time.perf_counter() - start < seconds:
            t0 = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - t0)
            count += 1
        cpu1 = worker_cpu()
        elapsed = time.perf_counter() - start
        used = [cpu1[t] - cpu0.get(t, 0) for t in cpu1]
        # The busier worker's share of the workers' processor time: 50 % on 2
        # workers is an even division, whatever else the machine runs. Maps
        # that a kernel keeps on the calling thread leave the workers (all
        # but the spin after the previous map) idle: no share then.
        busy = sum(used) > 0.05 * elapsed * 1e9
        share = max(used) / sum(used) if used and busy else math.nan
        out[name] = [best * 1e3, share]
    print(json.dumps(out))


def load_averages():
    with open("/proc/loadavg") as f:
        one, five = f.read().split()[:2]
    return float(one), float(five)


def run_child(directory, workers, seconds):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    if directory:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (directory, env.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", "--seconds", str(seconds)],
                          env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=0.3, help="time spent on each case per run")
    parser.add_argument("--build", action="append", default=[], metavar="LABEL=DIR")
    parser.add_argument("--json", metavar="PATH", help="also write the times and load averages as JSON")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.seconds)
        return
    builds = [tuple(b.split("=", 1)) for b in args.build] or [("", "")]
    best = {}
    shares = {}
    loads = {}
    for _ in range(args.rounds):
        for label, directory in builds:
            for workers in (1, 2):
                load = load_averages()
                loads.setdefault(label, []).append(load)
                for name, (ms, share) in run_child(directory, workers, args.seconds).items():
                    key = (label, name, workers)
                    best[key] = min(best.get(key, math.inf), ms)
                    if workers == 2:
                        shares.setdefault((label, name), []).append(share)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"loads": loads,
                       "times": [[label, name, workers, ms] for (label, name, workers), ms in best.items()],
                       "shares": [[label, name, [None if math.isnan(x) else x for x in v]]
                                  for (label, name), v in shares.items()]}, f)
    print(f"best of {args.rounds} runs x >= {args.seconds} s per case, {sys.implementation.name}")
    for label, _ in builds:
        one = [x[0] for x in loads[label]]
        five = [x[1] for x in loads[label]]
        title = f"{label}: " if label else ""
        print(f"\n{title}load average (1 min) {min(one):.2f}-{max(one):.2f}, (5 min) {min(five):.2f}-{max(five):.2f}")
        print(f"| {'kernel':<52} | {'1 worker (ms)':>13} | {'2 workers (ms)':>14} | {'speed-up':>8} "
              f"| {'busier worker':>13} |")
        print(f"|{'-' * 54}|{'-' * 15}|{'-' * 16}|{'-' * 10}|{'-' * 15}|")
        names = [k[1] for k in best if k[0] == label and k[2] == 1]
        for name in names:
            t1, t2 = best[(label, name, 1)], best[(label, name, 2)]
            # rounds in which the workers were idle carry no share
            measured = [v for v in shares[(label, name)] if not math.isnan(v)]
            shown = f"{sum(measured) / len(measured) * 100:.1f}%" if measured else "(caller)"
            print(f"| {name:<52} | {t1:13.4f} | {t2:14.4f} | {t1 / t2:8.2f} | {shown:>13} |")
    print("\nbusier worker: that worker's share of the processor time of the 2 workers during the timed"
          "\ncalls (mean over the runs); 50 % is an even division; (caller) where the workers were idle"
          "\n(the kernel kept its map on the calling thread).")


if __name__ == "__main__":
    main()
