"""Grid accuracy of the steady SED of the model layer, measured.

    PYTHONPATH=python python scripts/models_accuracy.py [--quick]

Reference model: Blob(radius=1e16 cm, b_field=0.1 G, doppler=10,
redshift=0, distance=1e27 cm), electrons of total energy 1e47 erg (U_e/U_B
about 60) from gamma 1e2 to 1e6 in four shapes

    PowerLaw(p=2.2), BrokenPowerLaw(p1=2, p2=3, gamma_break=1e4),
    LogParabola(p=2, q=0.4, gamma_0=1e4), PowerLawCutoff(p=2, gamma_cutoff=1e5),

synchrotron with self-absorption, self-Compton, and external Compton on
ExternalField(1e-2 erg cm^-3, 3e14 Hz) (blob frame: a dusty torus of
u ~ 1e-4 erg cm^-3 at 3e13 Hz seen by a blob with Gamma ~ 10), at 100
observer frequencies 1e8 ... 1e27 Hz.

For each shape and component the error is the largest |f / f_ref - 1| over
the frequencies where the reference component is at least 1e-3 of its peak;
the reference is the model on grids many times denser than the defaults
(`REFERENCE`), whose own convergence is shown against one twice as dense
again (`CHECK`). Each grid density is varied with the others at their
defaults. Last, the time of one default SED on one and on two workers
(separate processes, RAYON_NUM_THREADS set before ostrel is imported).

With --limit, self-Compton above 1e-2 of its kinematic limit is also set
against single kernel calls on uniform grids of their own, laid out
independently of the model's (`near_limit_direct`): the region that
scatters to nu' = limit e^-d is a triangle of side d around
(nu* = m_e c^2 / (4 h gamma_max), gamma_max), so seeds over nu* e^(+-d) and
electrons from gamma_max e^-d at steps of about d / 300, extrapolated in
the seed and in the electron step.
"""

import argparse
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import ostrel_models as om  # noqa: E402

NU = [10.0 ** (8.0 + 19.0 * i / 99.0) for i in range(100)]
BLOB = dict(radius=1e16, b_field=0.1, doppler=10.0, redshift=0.0, distance=1e27)
NORM = dict(energy=1e47)
EXTERNAL = (1e-2, 3e14)
SHAPES = {
    "PowerLaw": lambda: om.PowerLaw(2.2, 1e2, 1e6, **NORM),
    "BrokenPowerLaw": lambda: om.BrokenPowerLaw(2.0, 3.0, 1e4, 1e2, 1e6, **NORM),
    "LogParabola": lambda: om.LogParabola(2.0, 0.4, 1e4, 1e2, 1e6, **NORM),
    "PowerLawCutoff": lambda: om.PowerLawCutoff(2.0, 1e5, 1e2, 1e6, **NORM),
}
COMPONENTS = ("synchrotron", "ssc", "ec")
# Converged: self-Compton at four times the default resolution with one more
# seed level (Grids docstring), dense synchrotron and external-Compton grids;
# CHECK doubles every density again.
REFERENCE = dict(synchrotron=32, compton=320, extrapolate="fine", external=64)
CHECK = dict(synchrotron=64, compton=640, extrapolate="fine", external=128)
# Self-Compton errors are also given below half the kinematic limit
# h nu' = gamma_max m_e c^2 and in the Thomson band, below 1e-2 of it (above
# it the model computes self-Compton on grids scaled to the distance from the
# limit, see ostrel_models.emission).
THOMSON_BAND = 1e-2


def model(shape, grids=None, ssa=True, external=True):
    return om.Model(om.Blob(**BLOB), SHAPES[shape](), ssa=ssa,
                    external=om.ExternalField(*EXTERNAL) if external else None, grids=grids)


def sed(shape, ssa=True, **grids):
    return model(shape, om.Grids(**grids), ssa=ssa).sed(NU)


def kinematic_limit(shape):
    """Observer frequency of h nu' = gamma_max m_e c^2 (Hz)."""
    from ostrel_models.constants import H, ME_C2
    return SHAPES[shape]().gamma_max * ME_C2 / H * BLOB["doppler"] / (1.0 + BLOB["redshift"])


def max_error(got, ref, floor=1e-3, below=float("inf")):
    """Largest |got/ref - 1| where ref is at least floor of its peak (and
    the frequency below `below`)."""
    ref = [float(x) for x in ref]
    peak = max(ref)
    errs = [abs(float(g) / r - 1.0) for g, r, nu in zip(got, ref, NU)
            if r >= floor * peak and r > 0.0 and nu < below]
    return max(errs) if errs else 0.0


def errors(a, b, below=float("inf")):
    return {c: max_error(getattr(a, c), getattr(b, c), below=below) for c in COMPONENTS}


def ssc_errors(a, b, shape):
    """Self-Compton errors: whole window, below half the kinematic limit,
    Thomson band."""
    limit = kinematic_limit(shape)
    return (max_error(a.ssc, b.ssc), max_error(a.ssc, b.ssc, below=0.5 * limit),
            max_error(a.ssc, b.ssc, below=THOMSON_BAND * limit))


def three(errs):
    return " / ".join(pct(x) for x in errs)


def time_default(workers, repeats=5):
    """Best time (ms) of one default SED of the reference model (BPL,
    synchrotron + SSA + SSC, and the same with external Compton), in a fresh
    process with `workers` workers."""
    code = (
        "import sys, time\n"
        f"sys.path.insert(0, {HERE!r})\n"
        "import models_accuracy as m\n"
        "out = []\n"
        "for ext in (False, True):\n"
        "    mod = m.model('BrokenPowerLaw', external=ext)\n"
        "    mod.sed(m.NU)\n"
        "    t = []\n"
        f"    for _ in range({repeats}):\n"
        "        s = time.perf_counter(); mod.sed(m.NU); t.append(time.perf_counter() - s)\n"
        "    out.append(1e3 * min(t))\n"
        "print(*out)\n"
    )
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(os.path.dirname(HERE), "python")]
                                        + ([os.environ["PYTHONPATH"]] if os.environ.get("PYTHONPATH") else []))
    res = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return [float(x) for x in res.stdout.split()]


def near_limit_direct(shape, nu_blob, steps=400):
    """Blob-frame self-Compton emissivity at nu_blob above 1e-2 of the
    kinematic limit from single kernel calls on uniform grids: seeds over
    nu* e^(+-d) at 2 d / steps (the seed intensity computed at every point),
    electrons from gamma_max e^-d at d / (0.809 steps) (an irrational ratio
    of the two steps spreads the thresholds over the electron segments),
    extrapolated to zero seed step (first order: the Klein-Nishina cut per
    seed segment) and then to zero electron step (second order: the
    threshold)."""
    import ostrel
    from ostrel_models.constants import H, ME_C2
    e = SHAPES[shape]()
    b = om.Blob(**BLOB)
    emission = om.Model(b, e, grids=om.Grids(synchrotron=16)).emission()
    d = math.log(e.gamma_max * ME_C2 / H / nu_blob)
    nu_star = ME_C2 / (4.0 * H * e.gamma_max)
    seed = [nu_star * math.exp(d * (2.0 * i / steps - 1.0)) for i in range(steps + 1)]
    inu = emission.seed_intensity(seed)
    k = e.coefficient(b.volume)

    def level(seed_step, electron_steps):
        g = [e.gamma_max * math.exp(-d * (1.0 - i / electron_steps)) for i in range(electron_steps + 1)]
        n = [k * e.shape(x) for x in g]
        return ostrel.ic_iso_powlaw_full(seed[::seed_step] + [nu_blob], inu[::seed_step] + [0.0], g, n)[-1]

    m = int(round(0.809 * steps))
    coarse = 2.0 * level(1, m // 2) - level(2, m // 2)
    fine = 2.0 * level(1, m) - level(2, m)
    return (4.0 * fine - coarse) / 3.0


def near_limit_table(shape, steps=400):
    """Self-Compton above 1e-2 of the kinematic limit: the default, the
    reference and CHECK against `near_limit_direct`, frequency by frequency."""
    from ostrel_models import kernels
    b = om.Blob(**BLOB)
    limit = kinematic_limit(shape)
    nu = [f for f in NU if f > THOMSON_BAND * limit]
    nu_blob = b.to_blob_frame(nu)
    unit = kernels.blob_intensity(b.radius, [1.0], [0.0])[0]
    direct = [unit * near_limit_direct(shape, f, steps) for f in nu_blob]
    print(f"  {'d = ln(limit / nu)':<34}" + " ".join(f"{math.log(limit / f):>7.3f}" for f in nu))
    for label, grids in (("default Grids()", {}), ("reference", REFERENCE), ("CHECK", CHECK)):
        got = model(shape, om.Grids(**grids), external=False).emission().intensities(nu_blob)["ssc"]
        print(f"  {label + ' / direct - 1':<34}" + " ".join(f"{100.0 * (g / w - 1.0):>+6.2f}%"
                                                            for g, w in zip(got, direct)), flush=True)


def profile_default(shape):
    """Where one default SED (synchrotron + SSA + SSC) spends its time (ms)."""
    import cProfile
    import pstats

    mod = model(shape, external=False)
    mod.sed(NU)
    prof = cProfile.Profile()
    prof.enable()
    mod.sed(NU)
    prof.disable()
    stats = pstats.Stats(prof).stats
    out = {}
    for (_, _, name), (_, _, tottime, _, _) in stats.items():
        if name.startswith("<built-in method ostrel."):
            out[name[len("<built-in method ostrel."):-1]] = 1e3 * tottime
    total = sum(v[2] for v in stats.values())
    return out, 1e3 * total


def row(label, values):
    print(f"  {label:<34}" + " ".join(f"{v:>9}" for v in values), flush=True)


def pct(x):
    return f"{100.0 * x:.3f}%"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="broken power law only, no convergence check")
    parser.add_argument("--limit", action="store_true",
                        help="only self-Compton near the kinematic limit against independent fine grids")
    args = parser.parse_args()
    if args.limit:
        for shape in (["BrokenPowerLaw"] if args.quick else SHAPES):
            print(f"\n{shape}: self-Compton above {THOMSON_BAND:g} of the kinematic limit")
            near_limit_table(shape)
        return
    shapes = ["BrokenPowerLaw"] if args.quick else list(SHAPES)
    print("max |f/f_ref - 1| where the component is >= 1e-3 of its peak, other grids at their defaults;")
    print("ssc as whole window / below half the kinematic limit h nu' = gamma_max m_e c^2 / "
          f"Thomson band (nu' < {THOMSON_BAND:g} gamma_max m_e c^2 / h)")
    for shape in shapes:
        t = time.perf_counter()
        ref = sed(shape, **REFERENCE)
        print(f"\n{shape}  (reference {REFERENCE}, {time.perf_counter() - t:.1f} s)")
        row("", COMPONENTS)
        if not args.quick:
            check = sed(shape, **CHECK)
            e = errors(ref, check)
            row("reference vs CHECK", [pct(e["synchrotron"]), three(ssc_errors(ref, check, shape)), pct(e["ec"])])

        def line(label, got, against=ref):
            e = errors(got, against)
            row(label, [pct(e["synchrotron"]), three(ssc_errors(got, against, shape)), pct(e["ec"])])

        line("default Grids()", sed(shape))
        line("default Grids(), no SSA", sed(shape, ssa=False), sed(shape, ssa=False, **REFERENCE))
        for ppd in (1, 2, 4, 8):
            e = errors(sed(shape, synchrotron=ppd), ref)
            e_thin = errors(sed(shape, ssa=False, synchrotron=ppd), sed(shape, ssa=False, **REFERENCE))
            row(f"synchrotron={ppd} (SSA / no SSA)", [f"{pct(e['synchrotron'])} / {pct(e_thin['synchrotron'])}"])
        for ppd in (1, 2, 4, 8):
            row(f"external={ppd}", ["", "", pct(errors(sed(shape, external=ppd), ref)["ec"])])
        for ppd in (20, 40, 80, 160):
            row(f"compton={ppd}, one level", ["", three(ssc_errors(sed(shape, compton=ppd, extrapolate=False),
                                                                    ref, shape))])
            t = time.perf_counter()
            got = sed(shape, compton=ppd)
            dt = time.perf_counter() - t
            row(f"compton={ppd}, extrapolated", ["", three(ssc_errors(got, ref, shape)), f"{1e3 * dt:.0f} ms"])
        t = time.perf_counter()
        got = sed(shape, compton=40, extrapolate="fine")
        dt = time.perf_counter() - t
        row("compton=40, 'fine'", ["", three(ssc_errors(got, ref, shape)), f"{1e3 * dt:.0f} ms"])
    print(f"\ntime of one default SED, BrokenPowerLaw, 100 frequencies (best of 5, ms; "
          f"load average {os.getloadavg()[0]:.2f}):")
    for workers in (1, 2):
        syn_ssc, with_ec = time_default(workers)
        print(f"  {workers} worker(s): synchrotron + SSA + SSC {syn_ssc:.1f} ms, with external Compton {with_ec:.1f} ms")
    for shape in SHAPES:
        kernels, total = profile_default(shape)
        print(f"  {shape} profile (default workers): total {total:.1f} ms; "
              + ", ".join(f"{k} {v:.1f} ms" for k, v in sorted(kernels.items(), key=lambda kv: -kv[1])))


if __name__ == "__main__":
    main()
