#!/usr/bin/env python3
"""Time of the model layer's two main jobs, printed as a table.

- one steady SED (synchrotron + self-absorption + self-Compton, default
  grids, 100 observer frequencies 1e8-1e27 Hz) of the reference blob
  (R = 1e16 cm, B = 0.1 G, delta = 10, d_L = 1e27 cm) with a broken power
  law (p = 2 / 3 at gamma = 1e4, gamma 1e2 ... 1e6, 1e47 erg);
- one evolution to steady state of the example model (injection p = 2.5 from
  1e2 to 1e6, 1e41 erg/s, escape 3 R/c, synchrotron + self-Compton cooling).

Best of --repeat runs. Worker threads: RAYON_NUM_THREADS (set it before
running, e.g. RAYON_NUM_THREADS=1 python benchmarks/bench_models.py).

With --profile, the SED's time split by kernel: calls, total and per call,
and what remains for the Python layer (the run with the least total time).
With --replay, the two halves timed apart: the SED with every kernel call
answered from a recording of one SED (the Python layer alone), and the
recorded kernel calls made again one after the other (the kernels alone,
with their argument and result conversions).
"""

import argparse
import os
import time

import ostrel

from ostrel_models import Blob, BrokenPowerLaw, Model, PowerLaw
from ostrel_models.constants import C
from ostrel_models.evolution import Evolution, Injection


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


KERNELS = ("syn_emissivity_full", "rad_trans_blob", "ic_iso_powlaw_full", "ic_iso_monochrome_full")


def kernel_profile(fn, repeat):
    """(total seconds, {kernel: (calls, seconds)}) of the fastest of `repeat`
    runs of fn, each kernel call timed (ostrel_models.kernels looks the
    kernels up on the module at each call, so wrapping them there counts
    them all)."""
    spent = {}
    saved = {name: getattr(ostrel, name) for name in KERNELS}

    def timed(name, kernel):
        def call(*args):
            start = time.perf_counter()
            try:
                return kernel(*args)
            finally:
                calls, seconds = spent.get(name, (0, 0.0))
                spent[name] = (calls + 1, seconds + time.perf_counter() - start)
        return call

    for name, kernel in saved.items():
        setattr(ostrel, name, timed(name, kernel))
    best_run = None
    try:
        for _ in range(repeat):
            spent.clear()
            start = time.perf_counter()
            fn()
            total = time.perf_counter() - start
            if best_run is None or total < best_run[0]:
                best_run = (total, dict(spent))
    finally:
        for name, kernel in saved.items():
            setattr(ostrel, name, kernel)
    return best_run


def replay_times(fn, repeat):
    """(Python layer alone, kernel calls alone), best of `repeat` each, for
    one call of fn: the kernels' results are recorded once, then fn runs
    with every kernel call answered from the recording, and the recorded
    calls are made again in their order."""
    saved = {name: getattr(ostrel, name) for name in KERNELS}
    tape = []

    def recording(name, kernel):
        def call(*args):
            result = kernel(*args)
            tape.append((name, args, result))
            return result
        return call

    position = [0]

    def answering(name):
        def answer(*args):
            if position[0] >= len(tape) or tape[position[0]][0] != name:
                raise RuntimeError("the replayed SED made other kernel calls than the recorded one")
            result = tape[position[0]][2]
            position[0] += 1
            return result
        return answer

    try:
        for name, kernel in saved.items():
            setattr(ostrel, name, recording(name, kernel))
        fn()
        for name in KERNELS:
            setattr(ostrel, name, answering(name))

        def python_only():
            position[0] = 0
            fn()
            if position[0] != len(tape):
                raise RuntimeError("the replayed SED made other kernel calls than the recorded one")

        t_python, _ = best(python_only, repeat)
    finally:
        for name, kernel in saved.items():
            setattr(ostrel, name, kernel)
    calls = [(saved[name], args) for name, args, _ in tape]

    def kernels_only():
        for kernel, args in calls:
            kernel(*args)

    t_kernels, _ = best(kernels_only, repeat)
    return t_python, t_kernels, len(calls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs of each job (default 5)")
    parser.add_argument("--profile", action="store_true", help="also split the SED's time by kernel")
    parser.add_argument("--replay", action="store_true",
                        help="also time the SED's Python layer and its kernel calls apart")
    opts = parser.parse_args()
    blob = Blob(1e16, 0.1, 10.0, 0.0, 1e27)
    model = Model(blob, BrokenPowerLaw(2.0, 3.0, 1e4, 1e2, 1e6, energy=1e47))
    nu = [10.0 ** (8 + 19 * i / 99) for i in range(100)]
    if opts.profile:
        total, spent = kernel_profile(lambda: model.sed(nu), opts.repeat)
        print(f"steady SED split by kernel (run of least time, {total * 1e3:.1f} ms; "
              f"load {os.getloadavg()[0]:.1f}):")
        for name, (calls, seconds) in sorted(spent.items(), key=lambda kv: -kv[1][1]):
            print(f"  {name:24s} {calls:5d} calls {seconds * 1e3:8.2f} ms {seconds / calls * 1e6:8.1f} us per call")
        inside = sum(seconds for _, seconds in spent.values())
        print(f"  {'Python layer':24s} {'':11s} {(total - inside) * 1e3:8.2f} ms ({(total - inside) / total:.0%})")
    if opts.replay:
        t_python, t_kernels, calls = replay_times(lambda: model.sed(nu), opts.repeat)
        print(f"steady SED apart (load {os.getloadavg()[0]:.1f}): Python layer alone {t_python * 1e3:.2f} ms, "
              f"its {calls} kernel calls alone {t_kernels * 1e3:.2f} ms")
    t_sed, _ = best(lambda: model.sed(nu), opts.repeat)
    tlc = blob.radius / C
    evolution = Evolution(blob, Injection(PowerLaw(2.5, 1e2, 1e6, k=1.0), luminosity=1e41), 3.0 * tlc)
    t_evo, result = best(lambda: evolution.run(1000.0 * tlc, 0.75 * tlc, steady=True), opts.repeat)
    workers = os.environ.get("RAYON_NUM_THREADS", "default")
    print(f"{'job':40s} {'time':>10s}   (workers: {workers}, load {os.getloadavg()[0]:.1f})")
    print(f"{'steady SED, 100 frequencies':40s} {t_sed * 1e3:8.1f} ms")
    print(f"{'evolution to steady state':40s} {t_evo:8.3f} s   ({result.steps} steps, "
          f"{result.time / tlc:.0f} R/c, steady: {result.steady})")


if __name__ == "__main__":
    main()
