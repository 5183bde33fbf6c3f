"""Physics validation of the inverse-Compton emissivities and cooling rates.

Prints the figures quoted in the README: the Thomson-regime spectral index
and normalisation of both emissivities against the classical closed forms,
the Thomson loss rate of rad_cool_pwl, and the Klein-Nishina reduction of
both cooling rates against the exact loss rate (needs scipy).

    python scripts/validate_compton.py
"""

import math

from scipy import integrate

import ostrel

SIGMA_T = 6.6524587321e-25
C = 29979245800.0
H = 6.62607015e-27
ME_C2 = 8.1871057769e-07
C_X = 2.61498035745506e-20


def logspace(lo_exp, hi_exp, count):
    step = (hi_exp - lo_exp) / (count - 1)
    return [10.0 ** (lo_exp + step * k) for k in range(count)]


def phi(p, kernel):
    """int_0^1 x^((p-1)/2) f(x) dx: Blumenthal & Gould's exact isotropic
    Thomson kernel, or Rybicki & Lightman's rest-frame isotropic one."""
    a = (p - 1) / 2
    if kernel == "bg":
        return -2 / (a + 2) ** 2 + 1 / (a + 2) + 1 / (a + 1) - 2 / (a + 3)
    return (2 / 3) * (1 / (a + 1) - 1 / (a + 2))


def fitted_slope(points):
    xs = [math.log(f) for f, _ in points]
    ys = [math.log(j) for _, j in points]
    xm, ym = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - xm) * (y - ym) for x, y in zip(xs, ys)) / sum((x - xm) ** 2 for x in xs)


def monochrome():
    print("ic_iso_monochrome_full, n = gamma^-p on 1..1e6 (128 points), U = 1 at 1e10 Hz, 1e12..1e16 Hz")
    print("  p    slope          j / RL closed form     j / BG70 closed form")
    for p in (2.0, 2.5, 3.0, 3.2):
        g = logspace(0, 6, 128)
        freqs = logspace(12, 16, 17)
        out = ostrel.ic_iso_monochrome_full(freqs, 1.0, 1e10, [x ** -p for x in g], g)
        ratios = {}
        for kernel in ("rl", "bg"):
            ratios[kernel] = [j / (1.5 * SIGMA_T * C / 1e10 * (f / 4e10) ** (-(p - 1) / 2) * phi(p, kernel))
                              for f, j in zip(freqs, out)]
        print(f"  {p:<4} {fitted_slope(list(zip(freqs, out))):.10f}  "
              f"{min(ratios['rl']):.12f}-{max(ratios['rl']):.12f}  {min(ratios['bg']):.6f}-{max(ratios['bg']):.6f}")


def powlaw():
    p, alpha, i0, nu_a, nu_b = 2.5, 0.5, 1e-10, 1e9, 1e11
    q1 = (p - 1) / 2
    print("ic_iso_powlaw_full, seed I ~ nu^-0.5 on 1e9..1e11 Hz, n = gamma^-2.5 on 1..1e6, 1e13..1e19 Hz")
    print("  gamma/dec nu/dec   slope      j / RL closed form   j / BG70 closed form")
    for g_per, f_per in ((10, 4), (21, 8), (40, 16), (80, 32), (160, 64)):
        g = logspace(0, 6, 6 * g_per + 1)
        freqs = logspace(9, 24, 15 * f_per + 1)
        inu = [i0 * (f / nu_a) ** -alpha if f <= nu_b * 1.000001 else 0.0 for f in freqs]
        out = ostrel.ic_iso_powlaw_full(freqs, inu, g, [x ** -p for x in g])
        window = [(f, j) for f, j in zip(freqs, out) if 1e13 <= f <= 1e19]
        rl, bg = [], []
        for f, j in window:
            seed = i0 * nu_a ** alpha * (f / 4) ** -q1 * (nu_b ** (q1 - alpha) - nu_a ** (q1 - alpha)) / (q1 - alpha)
            rl.append(j / (1.5 * SIGMA_T * phi(p, "rl") * seed))
            bg.append(j / (1.5 * SIGMA_T * phi(p, "bg") * seed))
        print(f"  {g_per:>9} {f_per:>6}   {fitted_slope(window):.6f}  {min(rl):.4f}-{max(rl):.4f}"
              f"          {min(bg):.4f}-{max(bg):.4f}")


def thomson_cooling():
    print("rad_cool_pwl Thomson rate / ((4/3) sigma_T c gamma^2 U / m_e c^2), broken power law (0.3, 2.2)")
    for ratio in (1.3, 1.01, 1.0 + 1e-4):
        freqs = [1e10 * ratio ** k for k in range(60)]
        u = [1e-18 * (f / 1e10) ** -0.3 if k < 30 else 1e-18 * (freqs[30] / 1e10) ** -0.3 * (f / freqs[30]) ** -2.2
             for k, f in enumerate(freqs)]
        energy = 0.0
        for k in range(1, 60):
            q = -math.log(u[k] / u[k - 1]) / math.log(freqs[k] / freqs[k - 1])
            energy += u[k - 1] * freqs[k - 1] * math.expm1((1 - q) * math.log(freqs[k] / freqs[k - 1])) / (1 - q)
        devs = [r / (4 / 3 * SIGMA_T * C * gm ** 2 * energy / ME_C2) - 1
                for gm, r in zip((2.0, 1e3, 1e5), ostrel.rad_cool_pwl([2.0, 1e3, 1e5], freqs, u, False))]
        print(f"  grid ratio {ratio:<8}: deviation {min(devs):+.3e} .. {max(devs):+.3e}")


def exact_reduction(g):
    def f(q):
        if q <= 0.0:
            return 0.0
        gq = g * q
        return q * (2 * q * math.log(q) + (1 + 2 * q) * (1 - q) + gq * gq * (1 - q) / (2 * (1 + gq))) / (1 + gq) ** 3
    points = [min(1.0, k / g) for k in (0.1, 1.0, 10.0, 100.0)] if g > 1 else None
    return 9 * integrate.quad(f, 0.0, 1.0, points=points, limit=200, epsabs=0.0, epsrel=1e-11)[0]


def klein_nishina():
    physical = 4 * H / ME_C2
    print(f"Klein-Nishina reduction; x = C_X gamma nu, C_X = {C_X:.6e} = {C_X / physical:.5f} x 4h/(m_e c^2)")
    xs = [10.0 ** (-3 + 0.05 * k) for k in range(141)]
    gg = [x / (C_X * 1e10) for x in xs]
    mono = [a / b for a, b in zip(ostrel.rad_cool_mono(gg, 1e10, 1.0, True), ostrel.rad_cool_mono(gg, 1e10, 1.0, False))]
    freqs = [1e12 * 2.0 ** (k / 10) for k in range(11)]
    u = [(f / 1e12) ** -0.5 for f in freqs]
    gg_pwl = [x / (C_X * 1e12) for x in xs[::5]]
    pwl = [a / b for a, b in zip(ostrel.rad_cool_pwl(gg_pwl, freqs, u, True), ostrel.rad_cool_pwl(gg_pwl, freqs, u, False))]
    energy = integrate.quad(lambda f: (f / 1e12) ** -0.5, 1e12, 2e12, epsrel=1e-12)[0]
    print("  x         mono F     F_KN(x)    F_KN(phys)  mono/F_KN(x)  mono/F_KN(phys)  pwl/exact(x)  pwl/exact(phys)")
    worst = {}
    for k, (x, fm) in enumerate(zip(xs, mono)):
        own, phys = exact_reduction(x), exact_reduction(x / C_X * physical)
        worst.setdefault("mono own", []).append(fm / own - 1)
        worst.setdefault("mono phys", []).append(fm / phys - 1)
        line = f"  {x:<9.3g} {fm:<10.4g} {own:<10.4g} {phys:<11.4g} {fm / own:<13.4f} {fm / phys:<16.4f}"
        if k % 5 == 0:
            gamma = gg_pwl[k // 5]
            e_own = integrate.quad(lambda f: (f / 1e12) ** -0.5 * exact_reduction(C_X * gamma * f),
                                   1e12, 2e12, epsrel=1e-9)[0] / energy
            e_phys = integrate.quad(lambda f: (f / 1e12) ** -0.5 * exact_reduction(physical * gamma * f),
                                    1e12, 2e12, epsrel=1e-9)[0] / energy
            fp = pwl[k // 5]
            worst.setdefault("pwl own", []).append(fp / e_own - 1)
            worst.setdefault("pwl phys", []).append(fp / e_phys - 1)
            line += f" {fp / e_own:<13.4f} {fp / e_phys:.4f}"
            if k % 20 == 0:
                print(line)
    for key, values in worst.items():
        kmin = min(range(len(values)), key=values.__getitem__)
        kmax = max(range(len(values)), key=values.__getitem__)
        step = 1 if key.startswith("mono") else 5
        print(f"  {key:<10}: {values[kmin]:+.4%} (x = {xs[kmin * step]:.3g}) .. {values[kmax]:+.4%} (x = {xs[kmax * step]:.3g})")


if __name__ == "__main__":
    monochrome()
    powlaw()
    thomson_cooling()
    klein_nishina()
