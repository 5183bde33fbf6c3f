"""Time of the Mrk 421 fit and MCMC throughput (models per second).

    python benchmarks/bench_fit.py [--repeat 2] [--steps 6]

1. The least-squares fit of examples/models/mrk421.toml to
   examples/data/mrk421_2009.ecsv in this process (the kernels on every
   core), `repeat` times: chi^2/dof, models computed, the shortest time.
2. For comparison, the one-zone model of Abdo et al. (2011, Table 4, 1-day
   variability: delta = 21, R = 5.2e16 cm, B = 0.038 G, electrons from 8e2
   to 1e8 with indices 2.2 / 2.7 / 4.7 and breaks at 5e4 and 3.9e5) on the
   same data and statistic, with only its normalisation (the electrons'
   energy) fitted: its chi^2/dof and the energies of electrons and field.
3. emcee from the best fit (12 walkers, `steps` steps) with the walkers
   evaluated in this process, on 1 local worker process with 1 and with 2
   kernel threads, on 2 local worker processes of 1 kernel thread each
   (`ostrel_models.fit.local_pool`) and on a 2-worker Dask LocalCluster
   (one kernel thread per worker). Each pool is warmed up first (processes
   started, modules imported), so the rates are those of a running pool.

Prints the load average with every figure: the machine may be shared.
Needs scipy, emcee, astropy and dask[distributed] (pip install ".[fit]").
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

from ostrel_models import Blob, Model, Tabulated, _util, fit  # noqa: E402
from ostrel_models.model_file import _read_toml  # noqa: E402

MODEL = os.path.join(HERE, "..", "examples", "models", "mrk421.toml")
DATA = os.path.join(HERE, "..", "examples", "data", "mrk421_2009.ecsv")


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def rate(result, steps, pool, label):
    fit.sample(result, 1, walkers=12, pool=pool)  # warm-up: start the workers, import, first models
    sampled = fit.sample(result, steps, walkers=12, pool=pool)
    print(f"mcmc {label}: {sampled.evaluations} models in {sampled.elapsed:.2f} s = {sampled.rate:.2f} "
          f"models/s ({load()})", flush=True)
    return sampled.rate


def paper_model(problem):
    """chi^2 of the paper's electrons (two breaks, as a Tabulated
    distribution, exact between its points) with the energy fitted."""
    import math

    from scipy.optimize import minimize_scalar

    blob = Blob(5.2e16, 0.038, 21.0, 0.0308, problem._base["blob"]["distance"])
    # as many points per decade as the default self-Compton grid (a Tabulated
    # distribution is computed on its own points)
    gamma = _util.log_grid(8e2, 1e8, 80, include=(5e4, 3.9e5))

    def shape(x):
        if x <= 5e4:
            return (x / 5e4) ** -2.2
        if x <= 3.9e5:
            return (x / 5e4) ** -2.7
        return (3.9e5 / 5e4) ** -2.7 * (x / 3.9e5) ** -4.7

    base = [shape(x) for x in gamma]
    unit = Tabulated(gamma, base).energy(blob.volume)

    def chi2(log_energy):
        scale = 10.0 ** log_energy / unit
        total = Model(blob, Tabulated(gamma, [scale * v for v in base])).sed(problem.nu).total
        r = problem.residuals_of([float(total[i]) for i in problem._index])
        return sum(v * v for v in r)

    best = minimize_scalar(chi2, bounds=(46.0, 49.0), method="bounded", options={"xatol": 1e-3})
    energy = 10.0 ** best.x
    dof = problem.data.detections - 1
    u_e = energy / blob.volume
    u_b = blob.magnetic_energy_density
    print(f"paper's model, energy fitted: chi2/dof = {best.fun:.2f}/{dof} = {best.fun / dof:.3f}; "
          f"energy {energy:.4g} erg, u_e = {u_e:.3g} erg cm^-3, u_e/u_B = {u_e / u_b:.3g}; "
          f"n_e = {Tabulated(gamma, [energy / unit * v for v in base]).density():.3g} cm^-3")
    assert math.isfinite(best.fun)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=2, help="least-squares fits to time (default 2)")
    parser.add_argument("--steps", type=int, default=6, help="MCMC steps per measurement (default 6)")
    args = parser.parse_args()

    tables = _read_toml(MODEL)
    data = fit.read_data(DATA)
    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        result = fit.fit_model(tables, data, source=MODEL)
        times.append(time.perf_counter() - start)
        print(f"least squares: chi2/dof = {result.chi2:.2f}/{result.dof} = {result.chi2 / result.dof:.3f}, "
              f"{result.evaluations} models, {times[-1]:.1f} s ({load()})", flush=True)
    print(f"least squares: shortest of {len(times)}: {min(times):.1f} s")
    for k, name in enumerate(result.names):
        lo, hi = result.interval(k)
        print(f"  {name:<24} {result.values[k]:.4g}  (1 sigma {lo:.4g} ... {hi:.4g})")
    best = result.model()
    u_e = best.electrons.energy(best.blob.volume) / best.blob.volume
    print(f"  u_e = {u_e:.3g} erg cm^-3, u_e/u_B = {u_e / best.blob.magnetic_energy_density:.3g}, "
          f"n_e = {best.electrons.density(best.blob.volume):.3g} cm^-3")
    paper_model(result.problem)

    if args.steps < 1:
        return
    rates = {"this process": rate(result, args.steps, None, "in this process")}
    for workers, threads in ((1, 1), (1, None), (2, None)):
        label = f"{workers} local process{'es' if workers > 1 else ''}" + (", 1 kernel thread" if threads else "")
        with fit.local_pool(workers, threads) as pool:
            rates[label] = rate(result, args.steps, pool, label)
    try:
        import distributed
    except ImportError:
        print("mcmc on a LocalCluster: dask[distributed] is not installed")
    else:
        pythonpath = os.pathsep.join([os.path.join(HERE, "..", "python")]
                                     + [p for p in [os.environ.get("PYTHONPATH")] if p])
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      env={"RAYON_NUM_THREADS": "1", "PYTHONPATH": pythonpath}) as cluster, \
                distributed.Client(cluster) as client:
            rates["LocalCluster, 2 workers"] = rate(result, args.steps, client.get_executor(pure=False),
                                                    "LocalCluster of 2 workers")
    print("models per second: " + ", ".join(f"{k} {v:.2f}" for k, v in rates.items()))


if __name__ == "__main__":
    main()
