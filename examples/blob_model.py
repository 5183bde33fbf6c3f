"""Time-dependent one-zone leptonic model of a spherical blob in a jet.

Electrons are injected with a power law into a homogeneous spherical blob of
radius R with a tangled magnetic field B, cool by synchrotron radiation and
by inverse-Compton scattering of their own synchrotron photons (SSC) and of
an external monochromatic photon field (EC), and escape on a time t_esc.
Every step of the time loop chains the module's kernels:

    synchrotron emissivity and absorption  (syn_emissivity_full)
      -> escaping intensity of the blob     (rad_trans_blob)
      -> photon energy density u = 4 pi I / c
      -> Compton cooling on it, with Klein-Nishina reduction (rad_cool_pwl)
         + on the external field (rad_cool_mono) + synchrotron cooling
      -> one implicit Fokker-Planck step with injection and escape
         (fp_findif_difu)

until the electron distribution is steady: the largest relative change of n
over one step, among the bins holding more than 1e-6 of the largest value,
falls below --tolerance (default 1e-4 per quarter escape time).

All quantities are in the blob's rest frame and CGS units until the last
step, which boosts the spectra to an observer with Doppler factor delta at
luminosity distance d_L:  nu_obs = delta nu' / (1 + z),
nuF_nu = delta^4 nu' L'_nu' / (4 pi d_L^2),  L'_nu' = 16 pi^2 R^2 I'_nu'.

Run:  python examples/blob_model.py            (writes blob_model.png)
      python examples/blob_model.py --help     (all parameters)
"""

import argparse
import dataclasses
import math
import sys
import time

import numpy as np

import ostrel

C = ostrel.get_c()  # cm s^-1
ME_C2 = 8.1871057769e-07  # electron rest energy, erg
# (4/3) sigma_T c / (m_e c^2): the Thomson cooling coefficient the kernels use.
C_THOMSON = 3.2479641514432145e-08  # cm^3 erg^-1 s^-1


@dataclasses.dataclass
class Parameters:
    radius: float = 1e16  # cm
    b_field: float = 0.1  # G
    doppler: float = 10.0
    redshift: float = 0.0
    distance: float = 1e27  # luminosity distance, cm
    index: float = 2.5  # injection index p, Q ∝ gamma^-p
    gamma_min: float = 1e2
    gamma_max: float = 1e6
    l_inj: float = 1e41  # injected electron power in the blob frame, erg s^-1
    t_esc: float = 3.0  # escape time in units of R/c
    u_ext: float = 1e-4  # external photon energy density (blob frame), erg cm^-3
    nu_ext: float = 1e16  # external photon frequency (blob frame), Hz
    n_gamma: int = 100  # Lorentz-factor grid points (2 ... 1e7)
    n_nu: int = 100  # frequency grid points (1e7 ... 1e28 Hz)
    dt: float = 0.25  # time step in units of t_esc
    tolerance: float = 1e-4
    max_steps: int = 400


@dataclasses.dataclass
class Result:
    params: Parameters
    gamma: np.ndarray
    nu: np.ndarray  # blob-frame frequencies
    n: np.ndarray  # steady electron distribution, cm^-3 per unit gamma
    gdot: np.ndarray  # total cooling rate, s^-1
    gdot_parts: dict  # cooling rate by process
    snapshots: list  # (time in t_esc, n)
    steps: int
    converged: bool
    intensity: dict  # blob-frame escaping intensities by component
    nu_obs: np.ndarray
    nufnu: dict  # observer nuF_nu by component, erg cm^-2 s^-1
    energy_densities: dict  # erg cm^-3


def log_grid(lo, hi, n):
    return np.geomspace(lo, hi, n)


def injection(params, gamma):
    """Q(gamma) = Q0 gamma^-p between gamma_min and gamma_max, normalised so
    that V m_e c^2 ∫ Q gamma dgamma equals the injected power."""
    inside = (gamma >= params.gamma_min) & (gamma <= params.gamma_max)
    shape = np.where(inside, gamma ** -params.index, 0.0)
    volume = 4.0 / 3.0 * math.pi * params.radius ** 3
    power_per_q0 = volume * ME_C2 * np.trapezoid(shape * gamma, gamma)
    return shape * (params.l_inj / power_per_q0)


def cooling_rates(params, gamma, nu, u_nu):
    """|dgamma/dt| by process, in s^-1, for the photon energy density u_nu."""
    gamma2_beta2 = gamma * gamma - 1.0
    u_b = params.b_field ** 2 / (8.0 * math.pi)
    synchrotron = C_THOMSON * u_b * gamma2_beta2
    ssc = np.asarray(ostrel.rad_cool_pwl(gamma, nu, u_nu, True))
    # rad_cool_mono carries one power of gamma*beta, sqrt(gamma^2 - 1), where
    # the loss rate of an electron carries gamma^2 beta^2: multiply by the
    # missing sqrt(gamma^2 - 1) to get the physical rate.
    ec = np.asarray(ostrel.rad_cool_mono(gamma, params.nu_ext, params.u_ext, True)) * np.sqrt(gamma2_beta2)
    return {"synchrotron": synchrotron, "SSC": ssc, "EC": ec}


def escaping_synchrotron(params, gamma, nu, n):
    j_nu, a_nu = ostrel.syn_emissivity_full(nu, gamma, n, params.b_field, True)
    return np.asarray(j_nu), np.asarray(a_nu), np.asarray(ostrel.rad_trans_blob(params.radius, j_nu, a_nu))


def run(params, progress=False):
    gamma = log_grid(2.0, 1e7, params.n_gamma)
    nu = log_grid(1e7, 1e28, params.n_nu)
    tlc = params.radius / C
    t_esc = params.t_esc * tlc
    dt = params.dt * t_esc
    q = injection(params, gamma)
    # fp_findif_difu needs a positive diffusion coefficient everywhere. A
    # stochastic acceleration on a time scale of 1000 escape times
    # (D = gamma^2 / (1000 t_esc)) keeps the step well defined and is
    # negligible against cooling and escape: the scheme is then upwind.
    diffusion = gamma ** 2 / (1000.0 * t_esc)

    n = np.zeros_like(gamma)
    snapshots = []
    snapshot_times = {1, 4, 16}
    steps = range(1, params.max_steps + 1)
    if progress:
        from tqdm import tqdm

        steps = tqdm(steps, desc="time steps", unit="step", leave=False)
    converged = False
    step = 0
    for step in steps:
        _, _, intensity = escaping_synchrotron(params, gamma, nu, n)
        u_nu = 4.0 * math.pi * intensity / C
        gdot = sum(cooling_rates(params, gamma, nu, u_nu).values())
        new = np.asarray(ostrel.fp_findif_difu(dt, gamma, n, gdot, diffusion, q, t_esc, tlc))
        significant = new > 1e-6 * new.max()
        change = np.max(np.abs(new[significant] - n[significant]) / new[significant])
        n = new
        if step in snapshot_times:
            snapshots.append((step * params.dt, n.copy()))
        if change < params.tolerance:
            converged = True
            break
    snapshots.append((step * params.dt, n.copy()))

    j_syn, a_syn, i_syn = escaping_synchrotron(params, gamma, nu, n)
    u_nu = 4.0 * math.pi * i_syn / C
    parts = cooling_rates(params, gamma, nu, u_nu)
    # The SSC emissivity is per steradian for a seed intensity; the
    # monochromatic-field emissivity is integrated over all directions
    # (power per unit volume and frequency): divide by 4 pi.
    j_ssc = np.asarray(ostrel.ic_iso_powlaw_full(nu, i_syn, gamma, n))
    j_ec = np.asarray(ostrel.ic_iso_monochrome_full(nu, params.u_ext, params.nu_ext, n, gamma)) / (4.0 * math.pi)
    intensity = {
        "synchrotron": i_syn,
        "SSC": np.asarray(ostrel.rad_trans_blob(params.radius, j_ssc, a_syn)),
        "EC": np.asarray(ostrel.rad_trans_blob(params.radius, j_ec, a_syn)),
    }
    boost = params.doppler ** 4 * 4.0 * math.pi * params.radius ** 2 / params.distance ** 2
    nufnu = {k: boost * nu * v for k, v in intensity.items()}
    nufnu["total"] = sum(nufnu.values())
    return Result(
        params=params,
        gamma=gamma,
        nu=nu,
        n=n,
        gdot=sum(parts.values()),
        gdot_parts=parts,
        snapshots=snapshots,
        steps=step,
        converged=converged,
        intensity=intensity,
        nu_obs=params.doppler * nu / (1.0 + params.redshift),
        nufnu=nufnu,
        energy_densities={
            "magnetic": params.b_field ** 2 / (8.0 * math.pi),
            "synchrotron": float(np.trapezoid(u_nu, nu)),
            "external": params.u_ext,
        },
    )


def cooling_break(result):
    """The Lorentz factor where the cooling time gamma/|dgamma/dt| equals the
    escape time (log-interpolated between grid points), or None."""
    t_esc = result.params.t_esc * result.params.radius / C
    t_cool = result.gamma / result.gdot
    below = np.nonzero(t_cool < t_esc)[0]
    if len(below) == 0 or below[0] == 0:
        return None
    k = below[0]
    lg, lt = np.log(result.gamma[k - 1 : k + 1]), np.log(t_cool[k - 1 : k + 1])
    return float(np.exp(np.interp(math.log(t_esc), lt[::-1], lg[::-1])))


def peak(nu, nufnu):
    """Frequency and height of the maximum of nuF_nu, refined by a parabola
    through the three highest grid points in log-log."""
    k = int(np.argmax(nufnu))
    if k == 0 or k == len(nu) - 1 or nufnu[k] <= 0:
        return float(nu[k]), float(nufnu[k])
    x, y = np.log(nu[k - 1 : k + 2]), np.log(nufnu[k - 1 : k + 2])
    a, b, c = np.polyfit(x, y, 2)
    if a >= 0:
        return float(nu[k]), float(nufnu[k])
    x0 = -b / (2 * a)
    return float(math.exp(x0)), float(math.exp(c - b * b / (4 * a)))


def summary(result, elapsed):
    p = result.params
    lines = [
        "one-zone blob model",
        f"  R = {p.radius:.3g} cm, B = {p.b_field:.3g} G, delta = {p.doppler:.3g}, d_L = {p.distance:.3g} cm",
        f"  injection: p = {p.index}, gamma {p.gamma_min:.3g} - {p.gamma_max:.3g}, L = {p.l_inj:.3g} erg/s",
        f"  escape time {p.t_esc} R/c, external field u = {p.u_ext:.3g} erg/cm^3 at {p.nu_ext:.3g} Hz",
        f"  {'steady after' if result.converged else 'NOT steady after'} {result.steps} steps "
        f"({result.steps * p.dt:.2f} t_esc), {elapsed:.1f} s",
    ]
    brk = cooling_break(result)
    lines.append(f"  cooling break (t_cool = t_esc): gamma = {brk:.4g}" if brk else "  no cooling break on the grid")
    lines.append("  energy densities [erg/cm^3]: " + ", ".join(f"{k} {v:.3g}" for k, v in result.energy_densities.items()))
    lines.append(f"  {'component':12s} {'peak nu_obs [Hz]':>17s} {'peak nuF_nu [erg/cm^2/s]':>25s}")
    for name in ("synchrotron", "SSC", "EC", "total"):
        nu_p, f_p = peak(result.nu_obs, result.nufnu[name])
        lines.append(f"  {name:12s} {nu_p:17.4g} {f_p:25.4g}")
    return "\n".join(lines)


def plot(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (sed, dist) = plt.subplots(1, 2, figsize=(12, 4.8))
    floor = result.nufnu["total"].max() * 1e-8
    styles = {"synchrotron": "C0", "SSC": "C1", "EC": "C2", "total": "k"}
    for name, colour in styles.items():
        values = np.where(result.nufnu[name] > floor, result.nufnu[name], np.nan)
        sed.loglog(result.nu_obs, values, color=colour, lw=2 if name == "total" else 1.2,
                   ls="-" if name == "total" else "--", label=name)
    sed.set_xlabel(r"$\nu_{\rm obs}$ [Hz]")
    sed.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    sed.set_title(f"SED, B = {result.params.b_field} G, $\\delta$ = {result.params.doppler}")
    sed.legend()
    for t, n in result.snapshots:
        shown = np.where(n > n.max() * 1e-12, result.gamma ** 2 * n, np.nan)
        dist.loglog(result.gamma, shown, label=f"t = {t:g} $t_{{esc}}$")
    brk = cooling_break(result)
    if brk:
        dist.axvline(brk, color="grey", ls=":", label="t_cool = t_esc")
    dist.set_xlabel(r"$\gamma$")
    dist.set_ylabel(r"$\gamma^2 n(\gamma)$ [cm$^{-3}$]")
    dist.set_title("electron distribution")
    dist.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def parse(argv):
    defaults = Parameters()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for field in dataclasses.fields(Parameters):
        parser.add_argument("--" + field.name.replace("_", "-"), type=field.type if field.type in (int, float) else float,
                            default=getattr(defaults, field.name))
    parser.add_argument("--output", default="blob_model.png", help="figure file (PNG)")
    parser.add_argument("--no-plot", action="store_true", help="skip the figure")
    opts = parser.parse_args(argv)
    params = Parameters(**{f.name: getattr(opts, f.name) for f in dataclasses.fields(Parameters)})
    return params, opts


def main(argv=None):
    params, opts = parse(sys.argv[1:] if argv is None else argv)
    start = time.perf_counter()
    result = run(params, progress=True)
    elapsed = time.perf_counter() - start
    print(summary(result, elapsed))
    if not opts.no_plot:
        plot(result, opts.output)
        print(f"figure written to {opts.output}")
    return result


if __name__ == "__main__":
    main()
