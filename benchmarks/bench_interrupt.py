"""How long Ctrl-C takes to end a long call.

Each case runs in a child process; another process sends it SIGINT 1 s after
the call began (the calling thread holds the interpreter lock, so a thread of
the child could not), and the child reports when KeyboardInterrupt arrived.
Both read CLOCK_MONOTONIC, which is shared between processes.

    python benchmarks/bench_interrupt.py [--workers 1,2] [--repeat 3] [CASE ...]

CASE is one of the names below (default: all). Prints the latency of each
repetition and the best, in milliseconds, with the load average.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time

CHILD = r"""
import json, sys, time
import ostrel

def logspace(lo, hi, n):
    return [10.0 ** (lo + (hi - lo) * k / (n - 1)) for k in range(n)]

name, n = sys.argv[1], int(sys.argv[2])
if name == "syn_emissivity_full":
    g = logspace(0.5, 6, n)
    args = (logspace(7, 20, n), g, [x ** -2.5 for x in g], 1.0, True)
elif name == "ic_iso_powlaw_full":
    f, g = logspace(8, 20, n), logspace(1, 6, n)
    args = (f, [1e-12 * (x / 1e8) ** -0.75 for x in f], g, [x ** -2.5 for x in g])
else:
    g = logspace(0, 6, n)
    args = (1e3, g, [x ** -2.5 for x in g], [1e-8 * x * x for x in g], [1e-12 * x * x for x in g],
            [0.0] * (n - 1) + [1.0], 1e5, 1e3)
function = getattr(ostrel, name)
print("ready", flush=True)
start = time.monotonic()
try:
    function(*args)
    print(json.dumps({"finished": time.monotonic() - start}), flush=True)
except KeyboardInterrupt:
    print(json.dumps({"caught": time.monotonic()}), flush=True)
"""

CASES = {
    "syn1000": ("syn_emissivity_full", 1000),
    "syn2000": ("syn_emissivity_full", 2000),
    "ic3000": ("ic_iso_powlaw_full", 3000),
    "fp1e5": ("fp_findif_difu", 100_000),
}


def latency(name, n, workers, delay=1.0):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    proc = subprocess.Popen([sys.executable, "-c", CHILD, name, str(n)], env=env, stdout=subprocess.PIPE,
                            text=True)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate()
    seen = json.loads(out.splitlines()[-1])
    if "caught" not in seen:
        return None
    return seen["caught"] - sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cases", nargs="*", default=list(CASES))
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f}")
    for case in options.cases:
        name, n = CASES[case]
        for workers in (int(w) for w in options.workers.split(",")):
            runs = [latency(name, n, workers) for _ in range(options.repeat)]
            text = " ".join("not interrupted" if r is None else f"{1e3 * r:.1f}" for r in runs)
            done = [r for r in runs if r is not None]
            best = f"best {1e3 * min(done):.1f} ms" if done else "never interrupted"
            print(f"{case:8s} {workers} worker(s): {text}  ({best})")
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
