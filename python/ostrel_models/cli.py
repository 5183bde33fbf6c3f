"""Command line of the model layer: `python -m ostrel_models`.

    python -m ostrel_models sed MODEL.toml -o SED.csv [--plot SED.png]
    python -m ostrel_models evolve MODEL.toml --sed SED.csv --electrons N.csv
                            [--lightcurve LC.csv [--lightcurve-nu NU ...]] [--plot PNG]
    python -m ostrel_models fit MODEL.toml DATA -o BEST.toml [--plot FIT.png]
                            [--mcmc STEPS [--walkers N] [--workers N | --scheduler ADDRESS]]

The model file is described in `ostrel_models.model_file`.

Outputs (CSV, comma-separated, one header line; every number is written
with Python's repr, which reads back to the same double, so that files
from different machines can be compared byte for byte):

- SED: `nu_hz,total,synchrotron,ssc,ec`: observer-frame frequency (Hz) and
  nu F_nu (erg cm^-2 s^-1) of each component; a component that is off is a
  column of zeros, and total is their sum.
- electrons: `gamma,n`: the final distribution in the blob frame, n in
  electrons cm^-3 per unit Lorentz factor.
- light curve: `time_s` (observer time, s) then one column `nu_<frequency>`
  per frequency (observer frame, Hz, named in shortest exact form such as
  `nu_1e+15`) with the total nu F_nu (erg cm^-2 s^-1) at that frequency,
  one row after every step of the evolution. Without --lightcurve-nu the
  frequencies are the three whole decades at a quarter, half and three
  quarters of the [output] range (in log). The light curve always includes
  synchrotron emission with its absorption (the evolution records it so);
  [emission] synchrotron and ssa apply to the final SED.

- fit: BEST.toml, a complete model file with the best-fit values (the
  input's tables, [fit] included; its comments are not kept), which `sed`
  and `fit` accept. The fit itself is described in `ostrel_models.fit`;
  it needs scipy, --mcmc emcee, --scheduler dask.distributed, an ECSV
  data file astropy (`pip install ".[fit]"`).

Plots need matplotlib. When it is not installed, --plot is refused at once
with exit status 2, before anything is computed or written.

Exit status: 0 on success; 2 for a problem with the command line, the model
file (one line on stderr naming the key), the data file, a missing optional
package or an output path; 1 when the computation itself fails.
"""

import argparse
import decimal
import math
import os
import sys
import time

from .fit import DataError
from .model_file import ModelFileError, load

PROG = "python -m ostrel_models"


class UsageError(Exception):
    """A problem the user can fix (exit status 2); the message is one line."""


# --- formatting ---------------------------------------------------------------
def number_name(x):
    """The shortest exact decimal form of a float, in exponent notation
    (1e+15, 3.3e+14): repr's digits, so that it reads back to the same double."""
    return format(decimal.Decimal(repr(float(x))).normalize(), "e")


def write_csv(path, header, columns):
    """Writes columns of floats under a header line, each value as its repr."""
    rows = zip(*[[float(v) for v in c] for c in columns])
    try:
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(",".join(header) + "\n")
            for row in rows:
                f.write(",".join(repr(v) for v in row) + "\n")
    except OSError as exc:
        raise UsageError(f"{path}: cannot write: {exc.strerror or exc}") from None


def write_sed(path, sed):
    write_csv(path, ("nu_hz", "total", "synchrotron", "ssc", "ec"),
              (sed.nu, sed.total, sed.synchrotron, sed.ssc, sed.ec))


def peak(nu, values):
    """(frequency, value) of the largest value, or None when all are zero."""
    values = [float(v) for v in values]
    k = max(range(len(values)), key=values.__getitem__)
    return None if not values[k] > 0.0 else (float(nu[k]), values[k])


def peaks_text(sed):
    parts = []
    nu = [float(x) for x in sed.nu]
    for name in ("synchrotron", "ssc", "ec"):
        p = peak(nu, getattr(sed, name))
        if p is not None:
            edge = " (at the edge of the range)" if p[0] in (nu[0], nu[-1]) else ""
            parts.append(f"{name} peak {p[0]:.3g} Hz, {p[1]:.3g} erg cm^-2 s^-1{edge}")
    return "; ".join(parts) if parts else "every component is zero"


# --- arguments ----------------------------------------------------------------
def _output_path(text):
    """An output path whose directory exists (checked before computing)."""
    directory = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(directory):
        raise argparse.ArgumentTypeError(f"directory {os.path.dirname(text) or '.'!r} does not exist")
    return text


def _frequency(text):
    try:
        x = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(x) and x > 0.0):
        raise argparse.ArgumentTypeError(f"must be a positive frequency in Hz, got {text!r}")
    return x


MODEL_FILE_SUMMARY = """\
model file (TOML, CGS units; any other section or key is refused):
  [blob]       radius (cm), b_field (G), doppler, redshift,
               distance (cm; optional, from the redshift with astropy's Planck18)
  [electrons]  for sed: shape = "power_law" (p) | "broken_power_law" (p1, p2,
               gamma_break) | "log_parabola" (p, q, gamma_0) | "power_law_cutoff"
               (p, gamma_cutoff); gamma_min, gamma_max; one of k (cm^-3),
               density (cm^-3), energy (erg in the blob)
  [injection]  for evolve: the same shapes; one of luminosity (erg s^-1 in the
               blob), k or density (then rates, cm^-3 s^-1)
  [emission]   synchrotron, ssa, ssc: true or false (default true)
  [external]   energy_density (erg cm^-3), frequency (Hz), both blob frame;
               external Compton is on when the section is present
  [evolution]  escape_time, acceleration_time (optional), duration, time_step,
               all in units of R/c; steady (default false: run the whole duration)
  [output]     nu_min (default 1e8), nu_max (default 1e27): observer frame, Hz;
               points_per_decade (default 10)
  [grids]      optional internal grids of the steady SED (points per decade):
               synchrotron (4), compton (80), seed, extrapolate (true, false,
               "fine"), external
  [fit]        for fit: free = ["section.key", ...] ([blob], [electrons],
               [external]); log (true: positive parameters in log10; false;
               or a list of names); systematics (relative, default 0);
               nu_min, nu_max (data range, Hz); [fit.bounds] "section.key" =
               [lower, upper]
examples: examples/models/reference.toml, examples/models/mrk421.toml
"""


def parser():
    top = argparse.ArgumentParser(
        prog=PROG, epilog=MODEL_FILE_SUMMARY, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="One-zone blob models from a model file (TOML, CGS units): the steady SED of given "
                    "electrons, or the time evolution of injected electrons. See the module "
                    "ostrel_models.model_file for the file's sections and keys.")
    sub = top.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    s = sub.add_parser(
        "sed", help="steady SED of the [electrons] of a model file",
        description="Steady SED of the [blob]'s [electrons], with the processes of [emission] and "
                    "[external], at the observer-frame frequencies of [output].")
    s.add_argument("model", metavar="MODEL.toml", help="model file (TOML)")
    s.add_argument("-o", "--output", metavar="SED.csv", required=True, type=_output_path,
                   help="SED table to write (required): columns nu_hz (observer frame, Hz), total, "
                        "synchrotron, ssc, ec (nu F_nu, erg cm^-2 s^-1; zeros for a component that is off)")
    s.add_argument("--plot", metavar="SED.png", type=_output_path,
                   help="also draw the SED (nu F_nu in erg cm^-2 s^-1 against observer Hz) to this image "
                        "file; needs matplotlib (default: no plot)")

    e = sub.add_parser(
        "evolve", help="time evolution of the [injection] of a model file",
        description="Evolves the electrons injected by [injection] into the [blob] for the times of "
                    "[evolution] (cooling, escape, optional acceleration; self-Compton per [emission], "
                    "external photons per [external]) and writes the final SED, the final electrons "
                    "and optionally a light curve.")
    e.add_argument("model", metavar="MODEL.toml", help="model file (TOML)")
    e.add_argument("--sed", metavar="SED.csv", required=True, type=_output_path,
                   help="final SED to write (required): columns nu_hz (observer frame, Hz), total, "
                        "synchrotron, ssc, ec (nu F_nu, erg cm^-2 s^-1)")
    e.add_argument("--electrons", metavar="N.csv", required=True, type=_output_path,
                   help="final electron distribution to write (required): columns gamma, n "
                        "(blob frame, cm^-3 per unit Lorentz factor)")
    e.add_argument("--lightcurve", metavar="LC.csv", type=_output_path,
                   help="light curve to write: columns time_s (observer time, s), then nu F_nu "
                        "(erg cm^-2 s^-1) per frequency (default: none)")
    e.add_argument("--lightcurve-nu", metavar="NU", type=_frequency, nargs="+",
                   help="observer-frame frequencies of the light curve, Hz (default: the three whole "
                        "decades at 1/4, 1/2 and 3/4 of the [output] range in log, e.g. 1e+13 1e+18 "
                        "1e+22 for 1e8 ... 1e27 Hz)")
    e.add_argument("--plot", metavar="PNG", type=_output_path,
                   help="also draw the final SED, the electrons (gamma^2 n) and, with --lightcurve, the "
                        "light curve to this image file; needs matplotlib (default: no plot)")

    f = sub.add_parser(
        "fit", help="fit the [fit] parameters of a model file to an observed SED",
        description="Least-squares fit (scipy) of the [fit] free parameters of a model file's steady SED "
                    "to observed points; optionally an MCMC (emcee) from the best fit. Prints chi^2, the "
                    "degrees of freedom and the parameters with 1 sigma errors, and writes the best fit as "
                    "a model file. Needs scipy (and emcee, Dask, astropy as below): pip install \".[fit]\".")
    f.add_argument("model", metavar="MODEL.toml", help="model file (TOML) with a [fit] table")
    f.add_argument("data", metavar="DATA",
                   help="observed SED: CSV with columns nu_hz (observer frame, Hz), nufnu, nufnu_err "
                        "(erg cm^-2 s^-1) and optionally upper_limit (0/1); or an astropy ECSV table with "
                        "units (energy or frequency column e_ref/energy/nu..., flux e2dnde/nufnu..., errors "
                        "<flux>_err or <flux>_errn and <flux>_errp, optional is_ul)")
    f.add_argument("-o", "--output", metavar="BEST.toml", required=True, type=_output_path,
                   help="model file to write with the best-fit values (required)")
    f.add_argument("--plot", metavar="FIT.png", type=_output_path,
                   help="also draw the data, the best-fit SED on the [output] frequencies and the "
                        "residuals; needs matplotlib")
    f.add_argument("--mcmc", metavar="STEPS", type=_positive_int,
                   help="then run emcee for STEPS steps from the best fit and report medians and 16/84 %% "
                        "quantiles (the first half of the steps is burn-in); needs emcee")
    f.add_argument("--walkers", metavar="N", type=_positive_int,
                   help="emcee walkers (even, at least twice the free parameters; default 2 n + 2)")
    f.add_argument("--workers", metavar="N", type=_positive_int,
                   help="local worker processes for the walkers (default: one per processor)")
    f.add_argument("--scheduler", metavar="ADDRESS",
                   help="evaluate the walkers on this Dask scheduler (e.g. tcp://host:8786) instead of local "
                        "processes; its workers need ostrel installed; needs dask[distributed]")
    f.add_argument("--seed", metavar="N", type=int, default=1, help="random seed of the MCMC (default 1)")
    return top


def _positive_int(text):
    try:
        x = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if x < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text!r}")
    return x


# --- commands -----------------------------------------------------------------
def _check_plot(path):
    """Refuses --plot before any work when matplotlib is missing or cannot
    write the file's format (named by its extension; none means PNG)."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UsageError("--plot needs matplotlib, which is not installed (pip install matplotlib); "
                         "nothing was computed or written") from None
    extension = os.path.splitext(path)[1][1:].lower()
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension and extension not in formats:
        raise UsageError(f"{path}: matplotlib cannot write .{extension} files "
                         f"(formats: {', '.join(sorted(formats))})")


def run_sed(args):
    if args.plot:
        _check_plot(args.plot)
    start = time.perf_counter()
    mf = load(args.model)
    model = mf.model()
    nu = mf.frequencies()
    sed = model.sed(nu)
    elapsed = time.perf_counter() - start
    write_sed(args.output, sed)
    if args.plot:
        plot_sed(args.plot, sed, title=os.path.basename(args.model))
    print(f"sed: {len(nu)} frequencies {nu[0]:.3g} ... {nu[-1]:.3g} Hz; {peaks_text(sed)}; "
          f"{elapsed:.2f} s; wrote {args.output}" + (f" and {args.plot}" if args.plot else ""))


def default_lightcurve_frequencies(nu_min, nu_max):
    """The whole decades at 1/4, 1/2 and 3/4 of [nu_min, nu_max] in log
    (kept inside the range, duplicates dropped)."""
    lo, hi = math.log10(nu_min), math.log10(nu_max)
    out = []
    for f in (0.25, 0.5, 0.75):
        d = round(lo + f * (hi - lo))
        x = float(f"1e{d}")  # the double nearest 10^d (10.0 ** 23 is not)
        if not nu_min <= x <= nu_max:
            x = 10.0 ** (lo + f * (hi - lo))
        if x not in out:
            out.append(x)
    return out


def _evolution_error(mf, exc):
    """A ValueError of the evolution, as one line naming the key when the
    message starts with one."""
    message = str(exc)
    for section, keys in (("evolution", ("escape_time", "acceleration_time", "duration", "time_step")),
                          ("injection", ("luminosity", "rate"))):
        for key in keys:
            if message.startswith(key + " "):
                return UsageError(f"{mf.source}: [{section}] {key}: {message[len(key):].lstrip()}")
    return UsageError(f"{mf.source}: {message}")


def run_evolve(args):
    if args.lightcurve_nu and not args.lightcurve:
        raise UsageError("--lightcurve-nu needs --lightcurve (the file to write the light curve to)")
    if args.plot:
        _check_plot(args.plot)
    start = time.perf_counter()
    mf = load(args.model)
    mf.require("injection", "evolve")
    mf.require("evolution", "evolve")
    try:
        from .evolution import Evolution
    except ImportError as exc:
        raise UsageError(f"evolve: the evolution module cannot be imported ({exc})") from None
    nu = mf.frequencies()
    lc_nu = []
    if args.lightcurve:
        lc_nu = sorted(set(args.lightcurve_nu or default_lightcurve_frequencies(mf.nu_min, mf.nu_max)))
    ev = mf.evolution
    try:
        evolution = Evolution(mf.blob, mf.injection.injection(), ev.escape_time,
                              acceleration_time=ev.acceleration_time, external=mf.external, ssc=mf.ssc)
        result = evolution.run(ev.duration, ev.time_step, steady=ev.steady, lightcurve_frequencies=lc_nu)
    except ValueError as exc:
        raise _evolution_error(mf, exc) from None
    sed = result.sed(nu, synchrotron=mf.synchrotron, ssa=mf.ssa, ssc=mf.ssc)
    elapsed = time.perf_counter() - start
    write_sed(args.sed, sed)
    write_csv(args.electrons, ("gamma", "n"), (result.gamma, result.n))
    written = [args.sed, args.electrons]
    curve = None
    if args.lightcurve:
        times, by_nu = result.lightcurve
        curve = (list(times), [(x, list(by_nu[x])) for x in lc_nu])
        write_csv(args.lightcurve, ["time_s"] + ["nu_" + number_name(x) for x in lc_nu],
                  [curve[0]] + [v for _, v in curve[1]])
        written.append(args.lightcurve)
    if args.plot:
        plot_evolution(args.plot, sed, result.gamma, result.n, curve, title=os.path.basename(args.model))
        written.append(args.plot)
    tlc = mf.blob.crossing_time
    state = ("; steady" if result.steady else "; not yet steady") if ev.steady else ""
    print(f"evolve: {result.steps} steps to t = {result.time / tlc:.4g} R/c{state}; {peaks_text(sed)}; "
          f"{elapsed:.2f} s; wrote {', '.join(written)}")


def _need(module, what):
    """Imports an optional package or refuses the command (exit status 2)."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        package = {"scipy.optimize": "scipy", "distributed": "dask[distributed]"}.get(module, module)
        raise UsageError(f"{what} needs {package}, which is not installed (pip install \"{package}\", or "
                         f"pip install \".[fit]\" for every fitting extra); nothing was computed or written") from None


def _parameter_text(name, value, low, high, note=""):
    return f"  {name:<24} {value:<12.6g} 1 sigma {low:.5g} ... {high:.5g}{note}"


def _fit_and_sample(args, tables, data, pool, where):
    from . import fit as fitting

    try:
        result = fitting.fit_model(tables, data, source=args.model)
    except DataError as exc:
        raise UsageError(str(exc)) from None
    p = result.problem
    used = len(p.data)
    print(f"fit: {used} points of {args.data} ({used - p.data.detections} upper limits"
          + (f"; {len(data) - used} outside the [fit] range" if len(data) != used else "")
          + f"), {len(result.names)} free parameters, systematics {p.settings.systematics:g}")
    print(f"least squares: chi2 = {result.chi2:.6g}, dof = {result.dof}, chi2/dof = "
          f"{result.chi2 / result.dof:.4g}; {result.evaluations} models in {result.elapsed:.1f} s"
          + ("" if result.success else f"; not converged: {result.message}"))
    for k, name in enumerate(result.names):
        low, high = result.interval(k)
        note = "  (at its bound: error not meaningful)" if name in result.at_bound else ""
        print(_parameter_text(name, result.values[k], low, high, note))
    if args.mcmc is None:
        return result, None
    sampled = fitting.sample(result, args.mcmc, walkers=args.walkers, pool=pool, seed=args.seed)
    print(f"mcmc: {sampled.walkers} walkers x {sampled.steps} steps on {where}, first {sampled.discard} "
          f"steps dropped; acceptance {sampled.acceptance:.2f}; {sampled.evaluations} models in "
          f"{sampled.elapsed:.1f} s ({sampled.rate:.3g} per second)")
    for k, name in enumerate(sampled.names):
        print(f"  {name:<24} median {sampled.median[k]:<12.6g} 16-84 % {sampled.low[k]:.5g} ... "
              f"{sampled.high[k]:.5g}")
    return result, sampled


def run_fit(args):
    from . import fit as fitting
    from .model_file import _read_toml, parse

    if args.mcmc is None:
        for option in ("walkers", "workers", "scheduler"):
            if getattr(args, option) is not None:
                raise UsageError(f"--{option} needs --mcmc (it sets how the MCMC runs)")
    if args.workers is not None and args.scheduler is not None:
        raise UsageError("--workers and --scheduler exclude each other (local processes or a Dask cluster)")
    if args.plot:
        _check_plot(args.plot)
    _need("numpy", "fit")
    _need("scipy.optimize", "fit")
    if args.mcmc is not None:
        _need("emcee", "--mcmc")
    if args.scheduler is not None:
        _need("distributed", "--scheduler")
    tables = _read_toml(args.model)
    mf = parse(tables, args.model)
    if mf.fit is None:
        raise ModelFileError(f"{args.model}: [fit]: missing (the fit command needs it: free = [\"section.key\", ...])")
    data = fitting.read_data(args.data)
    n_free = len(mf.fit.names)
    if args.walkers is not None and (args.walkers < 2 * n_free or args.walkers % 2):
        raise UsageError(f"--walkers must be even and at least twice the free parameters ({2 * n_free}), "
                         f"got {args.walkers}")
    pool, close, where = None, None, ""
    if args.mcmc is not None and args.scheduler is not None:
        # Connected before the fit, so that a wrong address fails at once.
        import distributed

        try:
            client = distributed.Client(args.scheduler, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            message = " ".join(str(exc).split())
            raise UsageError(f"--scheduler {args.scheduler}: cannot connect: {message}") from None
        pool, close, where = client.get_executor(pure=False), client.close, f"Dask scheduler {args.scheduler}"
    elif args.mcmc is not None:
        pool = fitting.local_pool(args.workers)  # processes start at the first task
        close, where = pool.shutdown, f"{pool._max_workers} local processes"
    try:
        result, sampled = _fit_and_sample(args, tables, data, pool, where)
    finally:
        if close is not None:
            close()
    text = fitting.best_fit_document(result, args.data, sampled)
    try:
        with open(args.output, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    except OSError as exc:
        raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    # What was written must read back as a model file with the fitted values.
    best = load(args.output)
    if best.fit is None or _read_toml(args.output) != result.model_data():
        raise RuntimeError(f"{args.output} does not read back as the best fit")
    written = [args.output]
    if args.plot:
        plot_fit(args.plot, result, mf.frequencies(), data, title=os.path.basename(args.model))
        written.append(args.plot)
    print(f"fit: wrote {', '.join(written)}")


def plot_fit(path, result, nu, all_data=None, title=""):
    """The data (error bars; upper limits as down arrows; the points of
    all_data outside the fitted range in grey), the best-fit SED by
    component on nu, and the normalised residuals below."""
    plt = _pyplot()
    p = result.problem
    sed = result.model().sed(nu)
    fig, (ax, rx) = plt.subplots(2, 1, figsize=(7.5, 6.4), sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    _draw_sed(ax, sed)
    d = p.data
    det = [i for i, u in enumerate(d.upper_limit) if not u]
    ul = [i for i, u in enumerate(d.upper_limit) if u]
    ax.errorbar([d.nu[i] for i in det], [d.flux[i] for i in det],
                yerr=[[d.err_low[i] for i in det], [d.err_high[i] for i in det]],
                fmt="o", ms=3, color="k", label="data", zorder=3)
    if ul:
        ax.errorbar([d.nu[i] for i in ul], [d.flux[i] for i in ul], yerr=[0.3 * d.flux[i] for i in ul],
                    uplims=True, fmt="v", ms=3, color="0.3", label="upper limits", zorder=3)
    if all_data is not None and len(all_data) > len(d):
        used = set(d.nu)
        out = [i for i, x in enumerate(all_data.nu) if x not in used]
        ax.errorbar([all_data.nu[i] for i in out], [all_data.flux[i] for i in out],
                    yerr=[[all_data.err_low[i] for i in out], [all_data.err_high[i] for i in out]],
                    fmt="o", ms=3, color="0.65", label="not fitted", zorder=3)
    shown = all_data if all_data is not None else d
    positive = [y for y in shown.flux if y > 0.0]
    lo = min(min(positive) / 2.0 if positive else math.inf, max(float(v) for v in sed.total) * 1e-4)
    hi = max(max(shown.flux[i] + shown.err_high[i] for i in range(len(shown))), max(float(v) for v in sed.total))
    ax.set_ylim(max(lo, hi * 1e-6) / 2.0, hi * 3.0)
    ax.set_xlim(min(min(shown.nu) / 10.0, float(nu[0])), max(max(shown.nu) * 10.0, float(nu[-1])))
    ax.set_xlabel("")
    ax.legend(fontsize="small")
    ax.set_title(f"{title}: chi2/dof = {result.chi2:.4g}/{result.dof}" if title else
                 f"chi2/dof = {result.chi2:.4g}/{result.dof}")
    rx.axhline(0.0, color="0.5", lw=1)
    rx.plot(d.nu, result.residuals, "o", ms=3, color="k")
    rx.set_xscale("log")
    rx.set_ylabel("(model - data) / sigma")
    rx.set_xlabel(r"$\nu$ (observer frame) [Hz]")
    rx.grid(True, alpha=0.3)
    fig.tight_layout()
    _save(fig, path)
    plt.close(fig)

# --- plots ----------------------------------------------------------------
DECADES_SHOWN = 6.0  # plots show this many decades below the highest value


def _visible(x, ys, top):
    """The x range (with a margin of half a decade) where any of ys is above
    top / 10^DECADES_SHOWN."""
    floor = top * 10.0 ** -DECADES_SHOWN
    shown = [xv for y in ys for xv, v in zip(x, y) if v > floor]
    if not shown:
        return x[0], x[-1]
    return max(x[0], min(shown) / 3.0), min(x[-1], max(shown) * 3.0)


def _draw_sed(ax, sed):
    nu = [float(x) for x in sed.nu]
    total = [float(v) for v in sed.total]
    top = max(total)
    if not top > 0.0:
        ax.text(0.5, 0.5, "every component is zero", transform=ax.transAxes, ha="center")
        return
    # The total wide and pale underneath, the components dashed on top, so
    # that a component stays visible where it is the whole total.
    ax.loglog(nu, [v if v > 0.0 else float("nan") for v in total], color="0.75", lw=5, label="total",
              zorder=1)
    components = []
    for name, colour in (("synchrotron", "C0"), ("ssc", "C1"), ("ec", "C2")):
        values = [float(v) for v in getattr(sed, name)]
        if max(values) > 0.0:
            components.append(values)
            ax.loglog(nu, [v if v > 0.0 else float("nan") for v in values], color=colour, ls="--", lw=1.6,
                      label=name, zorder=2)
    ax.set_xlim(*_visible(nu, [total], top))
    ax.set_ylim(top * 10.0 ** -DECADES_SHOWN, top * 3.0)
    ax.set_xlabel(r"$\nu$ (observer frame) [Hz]")
    ax.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend()


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _save(fig, path):
    try:
        fig.savefig(path, dpi=110)
    except (OSError, ValueError) as exc:
        raise UsageError(f"{path}: cannot write the plot: {exc}") from None


def plot_sed(path, sed, title=""):
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(7, 4.8))
    _draw_sed(ax, sed)
    ax.set_title(f"SED of {title}" if title else "SED")
    fig.tight_layout()
    _save(fig, path)
    plt.close(fig)


def plot_evolution(path, sed, gamma, n, curve=None, title=""):
    plt = _pyplot()
    panels = 3 if curve else 2
    fig, axes = plt.subplots(1, panels, figsize=(6 * panels, 4.8))
    _draw_sed(axes[0], sed)
    axes[0].set_title(f"final SED of {title}" if title else "final SED")

    ax = axes[1]
    gamma = [float(g) for g in gamma]
    g2n = [g * g * float(v) for g, v in zip(gamma, n)]
    top = max(g2n)
    if top > 0.0:
        ax.loglog(gamma, [v if v > 0.0 else float("nan") for v in g2n], color="C3")
        ax.set_xlim(*_visible(gamma, [g2n], top))
        ax.set_ylim(top * 10.0 ** -DECADES_SHOWN, top * 3.0)
    ax.set_xlabel(r"$\gamma$")
    ax.set_ylabel(r"$\gamma^2 n(\gamma)$ [cm$^{-3}$]")
    ax.set_title("final electrons (blob frame)")
    ax.grid(True, which="major", alpha=0.3)

    if curve:
        ax = axes[2]
        times, series = curve
        for x, values in series:
            values = [float(v) for v in values]
            highest = max(values) if values else 0.0
            if highest > 0.0:
                ax.plot(times, [v / highest for v in values],
                        label=rf"{number_name(x)} Hz (max {highest:.3g})")
        ax.set_xlabel("observer time [s]")
        ax.set_ylabel(r"$\nu F_\nu$ / its maximum")
        ax.set_title("light curve")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize="small")
    fig.tight_layout()
    _save(fig, path)
    plt.close(fig)


# --- entry point ----------------------------------------------------------------
def main(argv=None):
    """Runs the command line; returns the exit status."""
    args = parser().parse_args(sys.argv[1:] if argv is None else argv)
    try:
        if args.command == "sed":
            run_sed(args)
        elif args.command == "fit":
            run_fit(args)
        else:
            run_evolve(args)
    except (ModelFileError, UsageError, DataError) as exc:
        print(str(exc), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{args.command}: interrupted", file=sys.stderr)
        return 130
    except (RuntimeError, ValueError, ArithmeticError, MemoryError) as exc:
        # A failure of the computation itself (a kernel failure arrives as
        # RuntimeError): one line, no traceback.
        print(f"{args.command}: the computation failed: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0
