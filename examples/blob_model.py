"""Time-dependent one-zone blob model, evolved to its steady state.

Electrons are injected with a power law into a homogeneous spherical blob,
cool by synchrotron radiation, by inverse-Compton scattering of their own
synchrotron photons (self-Compton, Klein-Nishina) and of an external
monochromatic photon field, and escape. `ostrel_models` chains the kernels,
chooses the grids and converts to the observer's frame; this script only
sets the parameters, runs the evolution and draws the result.

Run:  python examples/blob_model.py            (writes blob_model.png)
      python examples/blob_model.py --help     (every parameter, its unit and default)
"""

import argparse
import sys
import time

from ostrel_models import Blob, ExternalField, PowerLaw
from ostrel_models.constants import C
from ostrel_models.evolution import Evolution, Injection

PARAMETERS = [
    # name, default, unit and meaning
    ("radius", 1e16, "blob radius R, cm"),
    ("b_field", 0.1, "magnetic field B, G"),
    ("doppler", 10.0, "Doppler factor delta"),
    ("redshift", 0.0, "redshift z"),
    ("distance", 1e27, "luminosity distance d_L, cm"),
    ("index", 2.5, "injection index p, Q ∝ gamma^-p"),
    ("gamma_min", 1e2, "lowest injected Lorentz factor"),
    ("gamma_max", 1e6, "highest injected Lorentz factor"),
    ("luminosity", 1e41, "injected electron power in the blob frame, erg s^-1"),
    ("escape_time", 3.0, "escape time, in units of R/c"),
    ("u_ext", 1e-4, "external photon energy density in the blob frame, erg cm^-3 (0: none)"),
    ("nu_ext", 1e16, "external photon frequency in the blob frame, Hz"),
    ("duration", 1000.0, "longest evolution, in units of R/c (it stops when steady)"),
    ("time_step", 0.75, "time step, in units of R/c"),
]


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    for name, default, text in PARAMETERS:
        parser.add_argument("--" + name.replace("_", "-"), type=float, default=default, help=text)
    parser.add_argument("--points", type=int, default=100, help="observer frequencies from 1e8 to 1e27 Hz")
    parser.add_argument("--output", default="blob_model.png", help="figure file (PNG)")
    parser.add_argument("--no-plot", action="store_true", help="skip the figure")
    return parser.parse_args(argv)


def run(opts):
    """Evolves the model to its steady state; returns the evolution result
    and the observer frequencies."""
    blob = Blob(opts.radius, opts.b_field, opts.doppler, opts.redshift, opts.distance)
    injection = Injection(PowerLaw(opts.index, opts.gamma_min, opts.gamma_max, k=1.0), luminosity=opts.luminosity)
    external = ExternalField(opts.u_ext, opts.nu_ext) if opts.u_ext > 0 else None
    tlc = opts.radius / C
    evolution = Evolution(blob, injection, opts.escape_time * tlc, external=external)
    nu = [10.0 ** (8.0 + 19.0 * i / (opts.points - 1)) for i in range(opts.points)]
    snapshots = [t * tlc for t in (1.5, 3.0, 6.0, 12.0) if t < opts.duration]
    result = evolution.run(opts.duration * tlc, opts.time_step * tlc, steady=True, snapshot_times=snapshots,
                           sed_frequencies=nu)
    return result, nu


def peak(nu, nufnu):
    """Frequency and height of the largest nu F_nu."""
    k = max(range(len(nu)), key=lambda i: nufnu[i])
    return nu[k], nufnu[k]


def summary(opts, result, sed, elapsed):
    tlc = opts.radius / C
    lines = [
        "one-zone blob model",
        f"  R = {opts.radius:.3g} cm, B = {opts.b_field:.3g} G, delta = {opts.doppler:.3g}, "
        f"d_L = {opts.distance:.3g} cm",
        f"  injection p = {opts.index}, gamma {opts.gamma_min:.3g} - {opts.gamma_max:.3g}, "
        f"L = {opts.luminosity:.3g} erg/s; escape time {opts.escape_time} R/c",
        f"  {'steady after' if result.steady else 'NOT steady after'} {result.steps} steps "
        f"({result.time / tlc:.1f} R/c), {elapsed:.2f} s",
        f"  {'component':12s} {'peak nu_obs [Hz]':>17s} {'peak nuF_nu [erg/cm^2/s]':>25s}",
    ]
    for name in ("synchrotron", "ssc", "ec", "total"):
        values = [float(v) for v in getattr(sed, name)]
        if max(values) > 0.0:
            nu_p, f_p = peak([float(x) for x in sed.nu], values)
            lines.append(f"  {name:12s} {nu_p:17.4g} {f_p:25.4g}")
    return "\n".join(lines)


def plot(opts, result, sed, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tlc = opts.radius / C
    fig, (ax_sed, ax_n) = plt.subplots(1, 2, figsize=(12, 4.8))
    nu = [float(x) for x in sed.nu]
    top = max(float(v) for v in sed.total)
    # The total first, then the components dashed on top of it, so that a
    # component stays visible where it makes up the whole total.
    ax_sed.loglog(nu, [float(v) for v in sed.total], color="0.7", lw=4, label="total")
    for name, colour in (("synchrotron", "C0"), ("ssc", "C1"), ("ec", "C2")):
        values = [float(v) for v in getattr(sed, name)]
        if max(values) > 0.0:
            ax_sed.loglog(nu, [v if v > 0.0 else float("nan") for v in values], color=colour, ls="--", lw=1.5,
                          label=name)
    ax_sed.set_ylim(top * 1e-6, top * 3.0)
    ax_sed.set_xlabel(r"$\nu_{\rm obs}$ [Hz]")
    ax_sed.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    ax_sed.set_title(f"steady SED, B = {opts.b_field} G, $\\delta$ = {opts.doppler}")
    ax_sed.legend()

    curves = [(t / tlc, n) for t, n, _ in result.snapshots] + [(result.time / tlc, result.n)]
    gamma = [float(g) for g in result.gamma]
    highest = max(g * g * float(v) for _, n in curves for g, v in zip(gamma, n))
    shown = [g for _, n in curves for g, v in zip(gamma, n) if g * g * float(v) > 1e-6 * highest]
    for t, n in curves:
        ax_n.loglog(gamma, [g * g * float(v) if v > 0 else float("nan") for g, v in zip(gamma, n)],
                    label=f"t = {t:.1f} R/c")
    ax_n.set_xlim(min(shown) / 2.0, max(shown) * 2.0)
    ax_n.set_ylim(highest * 1e-6, highest * 3.0)
    ax_n.set_xlabel(r"$\gamma$")
    ax_n.set_ylabel(r"$\gamma^2 n(\gamma)$ [cm$^{-3}$]")
    ax_n.set_title("electrons (blob frame)")
    ax_n.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    opts = parse(sys.argv[1:] if argv is None else argv)
    start = time.perf_counter()
    result, nu = run(opts)
    sed = result.sed(nu)
    elapsed = time.perf_counter() - start
    print(summary(opts, result, sed, elapsed))
    if not opts.no_plot:
        plot(opts, result, sed, opts.output)
        print(f"figure written to {opts.output}")
    return result, sed


if __name__ == "__main__":
    main()
