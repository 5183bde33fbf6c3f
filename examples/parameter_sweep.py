"""Grid of steady-state blob models evaluated as independent tasks on Dask.

Each model of the grid (magnetic field x injection index x radius) is one
task: it evolves the one-zone model of examples/blob_model.py (with
`ostrel_models`) to its steady state and returns the observed spectra. The
tasks run on Dask's distributed scheduler, a LocalCluster of worker processes
by default or any running scheduler given with --scheduler; the spectra are
gathered into one table (CSV, long format: one row per model and frequency)
and summarised in a figure of the synchrotron and inverse-Compton peak
frequencies. Install the extra with `pip install ".[sweep]"`.

ostrel holds the interpreter lock for the whole of each call, so Python
threads do not help here: processes do. Each local worker is a separate
process with one Python thread and one kernel thread (RAYON_NUM_THREADS=1);
ostrel (with ostrel_models) must be installed wherever the workers run.

    python examples/parameter_sweep.py                       # local cluster, 2 workers
    python examples/parameter_sweep.py --scheduler tcp://host:8786
    python examples/parameter_sweep.py --throughput          # 1 vs 2 worker processes
"""

import argparse
import csv
import itertools
import time

DEFAULT_GRID = {
    "b_field": [0.05, 0.1, 0.2],
    "index": [2.2, 2.5, 2.8],
    "radius": [3e15, 1e16],
}


def model_task(b_field, index, radius, resolution):
    """One steady-state model (the parameters of examples/blob_model.py
    otherwise); returns plain lists so results travel cheaply. A kernel
    failure arrives as an ordinary RuntimeError, which Dask reports."""
    from ostrel_models import Blob, ExternalField, PowerLaw
    from ostrel_models.constants import C
    from ostrel_models.evolution import Evolution, Injection

    tlc = radius / C
    blob = Blob(radius, b_field, doppler=10.0, distance=1e27)
    injection = Injection(PowerLaw(index, 1e2, 1e6, k=1.0), luminosity=1e41)
    evolution = Evolution(blob, injection, 3.0 * tlc, external=ExternalField(1e-4, 1e16))
    result = evolution.run(1000.0 * tlc, 0.75 * tlc, steady=True)
    nu = [10.0 ** (8.0 + 19.0 * i / (resolution - 1)) for i in range(resolution)]
    sed = result.sed(nu)
    nufnu = {name: [float(v) for v in getattr(sed, name)] for name in ("synchrotron", "ssc", "ec", "total")}
    compton = [a + b for a, b in zip(nufnu["ssc"], nufnu["ec"])]
    return {
        "b_field": b_field,
        "index": index,
        "radius": radius,
        "steady": result.steady,
        "nu_obs": nu,
        "nufnu": nufnu,
        "syn_peak": nu[max(range(resolution), key=lambda k: nufnu["synchrotron"][k])],
        "ic_peak": nu[max(range(resolution), key=lambda k: compton[k])],
    }


def grid_points(grid):
    return list(itertools.product(grid["b_field"], grid["index"], grid["radius"]))


def run_sweep(client, points, resolution):
    """Submits one task per model and gathers the results in grid order."""
    futures = [client.submit(model_task, b, p, r, resolution, pure=False) for b, p, r in points]
    return client.gather(futures)


def run_serial(points, resolution):
    return [model_task(b, p, r, resolution) for b, p, r in points]


def write_table(results, path):
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["b_field", "index", "radius", "nu_obs", "nufnu_synchrotron", "nufnu_ssc", "nufnu_ec",
                         "nufnu_total"])
        for r in results:
            s = r["nufnu"]
            for k, nu in enumerate(r["nu_obs"]):
                writer.writerow([r["b_field"], r["index"], r["radius"], repr(nu), repr(s["synchrotron"][k]),
                                 repr(s["ssc"][k]), repr(s["ec"][k]), repr(s["total"][k])])


def plot_summary(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (syn, ic) = plt.subplots(1, 2, figsize=(11, 4.2))
    keys = sorted({(r["index"], r["radius"]) for r in results})
    for index, radius in keys:
        rows = sorted((r for r in results if r["index"] == index and r["radius"] == radius), key=lambda r: r["b_field"])
        b = [r["b_field"] for r in rows]
        label = f"p = {index}, R = {radius:.0e} cm"
        syn.loglog(b, [r["syn_peak"] for r in rows], "o-", label=label)
        ic.loglog(b, [r["ic_peak"] for r in rows], "o-", label=label)
    syn.set_title("synchrotron peak")
    ic.set_title("inverse-Compton peak")
    for ax in (syn, ic):
        ax.set_xlabel("B [G]")
        ax.set_ylabel(r"$\nu_{\rm peak}$ (observer) [Hz]")
    syn.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def local_client(workers, kernel_threads=1):
    """A LocalCluster of `workers` processes. Each process gives ostrel's own
    pool `kernel_threads` threads, so that the processes do not compete for
    the same cores (the default pool would use every core in every process)."""
    from dask.distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                           env={"RAYON_NUM_THREADS": str(kernel_threads)})
    return Client(cluster)


def throughput(points, resolution):
    """Models per second on 1 and 2 worker processes (same grid, same run)."""
    rates = {}
    for workers in (1, 2):
        with local_client(workers) as client:
            run_sweep(client, points[:2], resolution)  # warm the workers up
            start = time.perf_counter()
            run_sweep(client, points, resolution)
            rates[workers] = len(points) / (time.perf_counter() - start)
    return rates


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--resolution", type=int, default=60, help="observer frequencies from 1e8 to 1e27 Hz")
    parser.add_argument("--table", default="sweep.csv", help="output table (CSV)")
    parser.add_argument("--figure", default="sweep.png", help="summary figure (PNG)")
    parser.add_argument("--throughput", action="store_true", help="measure models/s with 1 and 2 workers")
    opts = parser.parse_args(argv)
    points = grid_points(DEFAULT_GRID)

    if opts.throughput:
        rates = throughput(points, opts.resolution)
        for workers, rate in rates.items():
            print(f"{workers} worker process{'es' if workers > 1 else ''}: {rate:.2f} models/s")
        print(f"speed-up: {rates[2] / rates[1]:.2f}")
        return

    from dask.distributed import Client

    start = time.perf_counter()
    with (Client(opts.scheduler) if opts.scheduler else local_client(opts.workers)) as client:
        results = run_sweep(client, points, opts.resolution)
    elapsed = time.perf_counter() - start
    write_table(results, opts.table)
    plot_summary(results, opts.figure)
    print(f"{len(results)} models in {elapsed:.1f} s; table {opts.table}, figure {opts.figure}")
    print(f"{'B [G]':>7} {'p':>4} {'R [cm]':>8} {'steady':>7} {'syn peak [Hz]':>14} {'IC peak [Hz]':>13}")
    for r in results:
        print(f"{r['b_field']:7.3g} {r['index']:4.2g} {r['radius']:8.2g} {str(r['steady']):>7} "
              f"{r['syn_peak']:14.4g} {r['ic_peak']:13.4g}")


if __name__ == "__main__":
    main()
