"""Physics conventions of the steady-SED model layer, each against a closed
form, a published relation or an independent code (never against the
layer's own output):

- constants against CODATA (scipy.constants);
- normalisations of the electron distributions against closed forms and
  scipy's adaptive quadrature;
- synchrotron emissivity, absorption, blob transfer and total power against
  Rybicki & Lightman (1979) for a power law;
- inverse Compton in the Thomson regime against Blumenthal & Gould (1970),
  for a power-law seed and for a monochromatic one;
- the self-Compton seed (9/4 of 4 pi I / c: the volume average of a uniform
  sphere) against the mean escape path 3R/4 and a chain of the kernels;
- observer-frame relations: delta^4 boosting, nu = delta nu' / (1 + z),
  d_L^-2, the Planck18 distance at small z;
- agnpy (when installed) for the Dermer & Menon (2009) Fig. 7.4 blob.
"""

import math

import pytest

import ostrel
import ostrel_models as om
from ostrel_models import _util, emission, kernels
from ostrel_models.constants import C, C_THOMSON, E_CHARGE, H, M_E, ME_C2, NU_B_PER_GAUSS, SIGMA_T

np = pytest.importorskip("numpy")
scipy_integrate = pytest.importorskip("scipy.integrate")
scipy_special = pytest.importorskip("scipy.special")


def rel(a, b):
    return abs(a / b - 1.0)


# ---- constants ------------------------------------------------------------------


def test_constants_are_codata():
    sc = pytest.importorskip("scipy.constants")
    pc = sc.physical_constants
    c_si = sc.c
    assert C == c_si * 100.0
    assert H == sc.h * 1e7
    # CODATA 2018 values; scipy may carry CODATA 2022 (changes of a few 1e-9)
    assert rel(SIGMA_T, pc["Thomson cross section"][0] * 1e4) < 1e-8
    assert rel(ME_C2, pc["electron mass energy equivalent"][0] * 1e7) < 1e-8
    assert rel(E_CHARGE, sc.e * c_si * 10.0) < 1e-12  # statC = C * c[m/s] * 10
    assert rel(M_E, pc["electron mass"][0] * 1e3) < 1e-8
    assert rel(C_THOMSON, 4.0 / 3.0 * SIGMA_T * C / ME_C2) < 1e-10
    # cyclotron frequency per gauss, e / (2 pi m_e c) = 2.8 MHz G^-1
    assert rel(NU_B_PER_GAUSS, 2.799249e6) < 1e-6


# ---- normalisation of the distributions -------------------------------------


def powerlaw_integral(a, b, s):
    """Integral of x^s from a to b."""
    if s == -1.0:
        return math.log(b / a)
    return (b ** (s + 1.0) - a ** (s + 1.0)) / (s + 1.0)


VOLUME = 4.0 / 3.0 * math.pi * 1e48


@pytest.mark.parametrize("p", [-0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 4.2, 6.0])
@pytest.mark.parametrize("kind", ["k", "density", "energy"])
def test_power_law_normalisation(p, kind):
    g1, g2, value = 3.0, 2e7, 7.5
    d = om.PowerLaw(p, g1, g2, **{kind: value})
    m0 = powerlaw_integral(g1, g2, -p)
    m1 = powerlaw_integral(g1, g2, 1.0 - p)
    k = {"k": value, "density": value / m0, "energy": value / (VOLUME * ME_C2 * m1)}[kind]
    assert rel(d.coefficient(VOLUME), k) < 1e-12
    assert rel(d.density(VOLUME), k * m0) < 1e-12
    assert rel(d.energy(VOLUME), VOLUME * ME_C2 * k * m1) < 1e-12
    assert rel(d.moment(2, VOLUME), k * powerlaw_integral(g1, g2, 2.0 - p)) < 1e-12


@pytest.mark.parametrize("p1,p2,gb", [(2.0, 3.0, 1e4), (1.0, 2.0, 50.0), (1.5, 4.5, 1e6), (2.2, 2.2, 1e3)])
@pytest.mark.parametrize("kind", ["density", "energy"])
def test_broken_power_law_normalisation(p1, p2, gb, kind):
    g1, g2, value = 10.0, 1e7, 3.0
    d = om.BrokenPowerLaw(p1, p2, gb, g1, g2, **{kind: value})

    def moment(power):
        # (gamma/gb)^-p integrated with x = gamma / gb
        return gb ** (power + 1.0) * (powerlaw_integral(g1 / gb, 1.0, power - p1)
                                      + powerlaw_integral(1.0, g2 / gb, power - p2))

    k = value / moment(0.0) if kind == "density" else value / (VOLUME * ME_C2 * moment(1.0))
    assert rel(d.coefficient(VOLUME), k) < 1e-12
    assert rel(d.density(VOLUME), k * moment(0.0)) < 1e-12
    assert rel(d.energy(VOLUME), VOLUME * ME_C2 * k * moment(1.0)) < 1e-12
    assert rel(d.moment(2.0, VOLUME), k * moment(2.0)) < 1e-12


def quad_moment(shape, lo, hi, power, points=()):
    """Integral of gamma^power shape(gamma) by scipy's adaptive quadrature in ln gamma."""
    pts = sorted(math.log(x) for x in points if lo < x < hi) or None
    value, _ = scipy_integrate.quad(lambda t: math.exp(t * (power + 1.0)) * shape(math.exp(t)),
                                    math.log(lo), math.log(hi), points=pts,
                                    epsabs=0.0, epsrel=1e-13, limit=500)
    return value


CURVED = [
    ("log_parabola", lambda **n: om.LogParabola(2.0, 0.3, 1e3, 10.0, 1e7, **n),
     lambda g: (g / 1e3) ** (-2.0 - 0.3 * math.log10(g / 1e3)), 10.0, 1e7, (1e3,)),
    ("log_parabola_steep", lambda **n: om.LogParabola(1.2, 1.5, 30.0, 1.0, 1e5, **n),
     lambda g: (g / 30.0) ** (-1.2 - 1.5 * math.log10(g / 30.0)), 1.0, 1e5, (30.0,)),
    ("cutoff", lambda **n: om.PowerLawCutoff(2.0, 1e5, 10.0, 1e8, **n),
     lambda g: g ** -2.0 * math.exp(-g / 1e5), 10.0, 1e8, (1e5, 1e6)),
    ("cutoff_hard", lambda **n: om.PowerLawCutoff(1.2, 3e3, 1.0, 1e6, **n),
     lambda g: g ** -1.2 * math.exp(-g / 3e3), 1.0, 1e6, (3e3, 3e4)),
]


@pytest.mark.parametrize("name,make,shape,lo,hi,points", CURVED, ids=[c[0] for c in CURVED])
def test_curved_normalisation_against_quad(name, make, shape, lo, hi, points):
    m0, m1, m2 = (quad_moment(shape, lo, hi, s, points) for s in (0.0, 1.0, 2.0))
    by_density = make(density=2.0)
    assert rel(by_density.coefficient(), 2.0 / m0) < 1e-8
    assert rel(by_density.moment(2), 2.0 / m0 * m2) < 1e-8
    by_energy = make(energy=1e48)
    k = 1e48 / (VOLUME * ME_C2 * m1)
    assert rel(by_energy.coefficient(VOLUME), k) < 1e-8
    assert rel(by_energy.density(VOLUME), k * m0) < 1e-8
    # the energy of the electrons is V m_e c^2 times the integral of gamma n
    assert rel(VOLUME * ME_C2 * quad_moment(lambda g: float(by_energy([g], VOLUME)[0]), lo, hi, 1.0, points),
               1e48) < 1e-8


@pytest.mark.parametrize("p", [1.0, 2.0, 2.7])
def test_tabulated_power_law_integrals_are_exact(p):
    # a power law sampled on any grid is a power law between the points
    g = [2.0, 3.0, 40.0, 41.0, 1e3, 1e5]
    d = om.Tabulated(g, [7.0 * x ** -p for x in g])
    for power in (0.0, 1.0, 2.0):
        assert rel(d.moment(power), 7.0 * powerlaw_integral(2.0, 1e5, power - p)) < 1e-12


def test_tabulated_power_law_is_the_power_law():
    """A power law given as a table is a power law between its points: the
    same n between the points and the same synchrotron spectrum."""
    pl = om.PowerLaw(2.3, 10.0, 1e6, density=5.0)
    g, n = pl.tabulate(3)
    table = om.Tabulated(g, n)
    between = [15.0, 99.0, 1234.5, 7e5]
    for x, y in zip(table(between), pl(between)):
        assert rel(x, y) < 1e-12
    blob = om.Blob(1e16, 0.3, doppler=5.0, redshift=0.05, distance=1e27)
    nu = [1e9, 1e11, 1e13, 1e15, 1e17]
    for x, y in zip(om.Model(blob, table, ssc=False).sed(nu).synchrotron,
                    om.Model(blob, pl, ssc=False).sed(nu).synchrotron):
        assert rel(x, y) < 1e-4  # the grids differ; the kernel's Romberg stops at 1e-5


# ---- synchrotron against Rybicki & Lightman (1979) ---------------------------


def sin_average(a):
    """<sin^a alpha> over isotropic pitch angles."""
    return math.sqrt(math.pi) * math.gamma(a / 2.0 + 1.0) / (2.0 * math.gamma(a / 2.0 + 1.5))


def rl_emissivity(nu, k, p, b):
    """Per-steradian emissivity of n = k gamma^-p (unbounded) in a tangled
    field b, R&L eq. 6.36 averaged over pitch angles."""
    nu_b = E_CHARGE * b / (2.0 * math.pi * M_E * C)
    gam = math.gamma(p / 4.0 + 19.0 / 12.0) * math.gamma(p / 4.0 - 1.0 / 12.0)
    return (math.sqrt(3.0) * E_CHARGE ** 3 * k * b / (4.0 * math.pi * ME_C2 * (p + 1.0)) * gam
            * (nu / (3.0 * nu_b)) ** (-(p - 1.0) / 2.0) * sin_average((p + 1.0) / 2.0))


def rl_absorption(nu, k, p, b):
    """Absorption coefficient of n = k gamma^-p, R&L eq. 6.50,
    alpha = (p + 2) k / (8 pi m_e^2 c^2 nu^2) integral of gamma^(-p-1) P(nu, gamma),
    averaged over pitch angles (the gamma functions of eq. 6.53)."""
    nu_b = E_CHARGE * b / (2.0 * math.pi * M_E * C)
    gam = math.gamma((3.0 * p + 2.0) / 12.0) * math.gamma((3.0 * p + 22.0) / 12.0)
    return (math.sqrt(3.0) * E_CHARGE ** 3 * k * b / (8.0 * math.pi * M_E ** 2 * C ** 2 * nu ** 2) * gam
            * (nu / (3.0 * nu_b)) ** (-p / 2.0) * sin_average((p + 2.0) / 2.0))


def sphere_intensity(j, a, radius):
    """Angle-averaged escaping intensity of a uniform sphere (Gould 1979):
    (j R / 3) (3 / tau) [1/2 - (1 - (1 + tau) e^-tau) / tau^2], tau = 2 R a."""
    tau = 2.0 * radius * a
    if tau < 1e-3:
        return j * radius / 3.0 * (1.0 - 3.0 * tau / 8.0)
    return j * radius / 3.0 * 3.0 / tau * (0.5 - (1.0 - (1.0 + tau) * math.exp(-tau)) / tau ** 2)


@pytest.mark.parametrize("p", [1.5, 2.0, 2.5, 3.2])
def test_model_synchrotron_against_rybicki_lightman(p):
    """Observed nu F_nu of a power law, thin and self-absorbed, against
    nu F_nu = delta^4 4 pi R^2 nu' I'(nu') / d_L^2 with I' from the closed-form
    j and alpha through the sphere's escape probability."""
    r, b, delta, z, dl = 1e15, 1.0, 12.0, 0.3, 2e27
    g1, g2 = 10.0, 1e7
    nu_b = NU_B_PER_GAUSS * b
    # k such that tau(nu' = 3e3 nu_c(g1)) = 30: thick at the low end, thin at the top
    nu_thick = 3e3 * 1.5 * nu_b * g1 ** 2
    k = 30.0 / (2.0 * r * rl_absorption(nu_thick, 1.0, p, b))
    model = om.Model(om.Blob(r, b, doppler=delta, redshift=z, distance=dl),
                     om.PowerLaw(p, g1, g2, k=k), ssc=False)
    # blob frame: from 300 nu_c(g1) to 1e-5 nu_c(g2), away from both ends of the distribution
    nu_blob = [1.5 * nu_b * g1 ** 2 * 300.0 * 10.0 ** (0.5 * i) for i in range(10)]
    assert nu_blob[-1] < 1e-5 * 1.5 * nu_b * g2 ** 2
    nu = [delta * x / (1.0 + z) for x in nu_blob]
    sed = model.sed(nu)
    taus = []
    for x, y, ys in zip(nu_blob, sed.total, sed.synchrotron):
        j, a = rl_emissivity(x, k, p, b), rl_absorption(x, k, p, b)
        taus.append(2.0 * r * a)
        expected = delta ** 4 * 4.0 * math.pi * r ** 2 * x * sphere_intensity(j, a, r) / dl ** 2
        # measured 0.9994-1.0002 (0.9980 for p = 1.5 at the top, gamma_max's share)
        assert rel(ys, expected) < 2.5e-3
        assert ys == y
    assert max(taus) > 20.0 and min(taus) < 1e-3  # both regimes were covered


def synchrotron_power_frequencies(g1, g2, b, delta, z, per_decade):
    """Observer frequencies from 1e-6 nu_c(g1) to 60 nu_c(g2)."""
    nu_c = 1.5 * NU_B_PER_GAUSS * b
    return _util.log_grid(1e-6 * nu_c * g1 ** 2 * delta / (1.0 + z), 60.0 * nu_c * g2 ** 2 * delta / (1.0 + z),
                          per_decade)


@pytest.mark.parametrize("electrons,tolerance", [
    (om.PowerLaw(2.5, 1e2, 1e6, density=1.0), 1.5e-3),
    (om.PowerLaw(1.5, 3.0, 1e6, density=1.0), 1.5e-3),
    (om.BrokenPowerLaw(1.8, 3.4, 3e3, 2e2, 1e6, density=1.0), 1.5e-3),
    # the default 8 points per decade follow the curvature to 0.3 %
    (om.LogParabola(1.7, 0.4, 1e3, 1e2, 1e6, density=1.0), 4e-3),
], ids=["power_law", "power_law_hard", "broken", "log_parabola"])
def test_synchrotron_power(electrons, tolerance):
    """Integral of F_nu over observed frequencies equals
    delta^4 L' / (4 pi d_L^2) with L' = V (4/3) sigma_T c U_B integral of
    gamma^2 beta^2 n (optically thin, pitch angles isotropic). Measured:
    0.9989-0.9993 for the power laws (the kernel's fit of the synchrotron
    function), 0.9993 for the log-parabola (0.9969 on a plain 8-per-decade
    grid without the curvature correction)."""
    r, b, delta, z, dl = 1e16, 0.5, 8.0, 0.2, 3e27
    blob = om.Blob(r, b, doppler=delta, redshift=z, distance=dl)
    model = om.Model(blob, electrons, ssa=False, ssc=False)
    nu = synchrotron_power_frequencies(electrons.gamma_min, electrons.gamma_max, b, delta, z, 24)
    f_nu = [float(x) / n for x, n in zip(model.sed(nu).synchrotron, nu)]
    flux = _util.integrate_powerlaw(nu, f_nu)
    gamma2_beta2 = electrons.moment(2) - electrons.moment(0)
    l_blob = blob.volume * 4.0 / 3.0 * SIGMA_T * C * b ** 2 / (8.0 * math.pi) * gamma2_beta2
    assert rel(flux, delta ** 4 * l_blob / (4.0 * math.pi * dl ** 2)) < tolerance


# ---- inverse Compton in the Thomson regime -----------------------------------


def bg_phi(p):
    """Integral of x^((p-1)/2) f(x) over 0..1 with Blumenthal & Gould's
    (1970) isotropic Thomson kernel f = 2x ln x + x + 1 - 2x^2."""
    a = (p - 1.0) / 2.0
    return -2.0 / (a + 2.0) ** 2 + 1.0 / (a + 2.0) + 1.0 / (a + 1.0) - 2.0 / (a + 3.0)


def thomson_powerlaw_seed(nu, k, p, seed_integral):
    """Thomson emissivity per sr of n = k gamma^-p in an isotropic field of
    intensity I(nu_s): (3/2) sigma_T k phi(p) (nu/4)^-(p-1)/2 integral of
    I nu_s^((p-1)/2 - 1) dnu_s (every scattering in range)."""
    return 1.5 * SIGMA_T * k * bg_phi(p) * (nu / 4.0) ** (-(p - 1.0) / 2.0) * seed_integral


# The head-on kernel's normalisation against the exact one (docs/inverse-compton.md)
HEAD_ON = {2.0: 1.0145, 2.5: 1.0092, 3.0: 1.0000}


@pytest.mark.parametrize("p", sorted(HEAD_ON))
def test_compton_powerlaw_seed_thomson_closed_form(p):
    """The emission layer's self-Compton kernel call against the closed form,
    on grids fine in both Lorentz factor and seed frequency."""
    i0, nu_a, nu_b, alpha = 1e-10, 1e9, 1e11, 0.3
    g = _util.log_grid(1.0, 1e6, 160)
    seed = _util.log_grid(nu_a, nu_b, 128)
    out = _util.log_grid(1e14, 1e18, 2)
    freqs = sorted(set(seed) | set(out))
    inu = [i0 * (f / nu_a) ** -alpha if f <= nu_b else 0.0 for f in freqs]
    j = kernels.compton_powlaw_emissivity(freqs, inu, g, [3.0 * x ** -p for x in g])
    q1 = (p - 1.0) / 2.0
    integral = i0 * nu_a ** alpha * (nu_b ** (q1 - alpha) - nu_a ** (q1 - alpha)) / (q1 - alpha)
    ratios = [j[freqs.index(f)] / thomson_powerlaw_seed(f, 3.0, p, integral) for f in out]
    # within 0.5 % of the head-on kernel's documented normalisation (the
    # remaining grid shortfall), and the spectral index exact
    for r in ratios:
        assert 0.995 < r / HEAD_ON[p] < 1.001
    assert max(ratios) / min(ratios) - 1.0 < 1e-5


def bg_partial(x, a):
    """Antiderivative of x^a f(x), f = 2x ln x + x + 1 - 2x^2 (zero at x = 0)."""
    if x <= 0.0:
        return 0.0
    lx = math.log(x)
    return (2.0 * x ** (a + 2.0) * (lx / (a + 2.0) - 1.0 / (a + 2.0) ** 2) + x ** (a + 2.0) / (a + 2.0)
            + x ** (a + 1.0) / (a + 1.0) - 2.0 * x ** (a + 3.0) / (a + 3.0))


def thomson_ssc_reference(nu, seed_nu, seed_i, k, p, g1, g2):
    """Exact Thomson emissivity per sr (Blumenthal & Gould 1970) of
    n = k gamma^-p on [g1, g2] in an isotropic field tabulated on seed_nu:
    the gamma integral in closed form for each seed frequency (x from
    nu / (4 g2^2 nu_s) to min(1, nu / (4 g1^2 nu_s))), the seed integral by
    the trapezoid rule in ln nu_s."""
    a = (p - 1.0) / 2.0
    values = []
    for ns, i in zip(seed_nu, seed_i):
        xa, xb = nu / (4.0 * g2 * g2 * ns), min(1.0, nu / (4.0 * g1 * g1 * ns))
        values.append(i * ns ** a * (bg_partial(xb, a) - bg_partial(xa, a)) if xa < xb else 0.0)
    integral = sum(0.5 * (values[i] + values[i + 1]) * math.log(seed_nu[i + 1] / seed_nu[i])
                   for i in range(len(values) - 1))
    return 1.5 * SIGMA_T * k * 4.0 ** a * nu ** -a * integral


def test_model_ssc_against_exact_thomson_kernel():
    """The model's self-Compton nu F_nu (thin) against the exact Thomson
    kernel applied to the model's own seed field (checked separately above).
    B and gamma_max are low enough that no seed photon reaches the
    Klein-Nishina cut. Measured (seed 40, compton 40 per decade): 0.983-1.023
    from 1e12 to 1e18 Hz in the blob frame, the head-on kernel's +0.9 % for
    p = 2.5 included; the default grids give 1.006-1.032 there (a fixed
    10-per-decade seed grid gave 0.95-1.00)."""
    r, b, delta, z, dl = 1e15, 1e-3, 10.0, 0.1, 1e27
    p, g1, g2, k = 2.5, 1e2, 1e4, 1e6
    model = om.Model(om.Blob(r, b, doppler=delta, redshift=z, distance=dl), om.PowerLaw(p, g1, g2, k=k),
                     ssa=False, grids=om.Grids(seed=40, compton=40))
    nu_blob = [10.0 ** (12.0 + 0.5 * i) for i in range(13)]
    sed = model.sed([delta * x / (1.0 + z) for x in nu_blob])
    nu_c = 1.5 * NU_B_PER_GAUSS * b
    seed_nu = _util.log_grid(1e-5 * nu_c * g1 * g1, 60.0 * nu_c * g2 * g2, 60)
    assert H * seed_nu[-1] * 4.0 * g2 < 1e-2 * ME_C2  # Thomson for every seed photon
    seed_i = model.emission().seed_intensity(seed_nu)
    for x, y in zip(nu_blob, sed.ssc):
        j = thomson_ssc_reference(x, seed_nu, seed_i, k, p, g1, g2)
        assert abs(y / (delta ** 4 * 4.0 * math.pi * r ** 2 * x * (j * r / 3.0) / dl ** 2) - 1.0) < 0.03


def thomson_monochrome(nu, k, p, u, nu0):
    """Thomson emissivity per sr of n = k gamma^-p in an isotropic
    monochromatic field (u at nu0): (1/4 pi) (3/2) sigma_T c k phi(p) (u/nu0) (nu/(4 nu0))^-(p-1)/2."""
    return 1.5 * SIGMA_T * C * k * bg_phi(p) * u / nu0 * (nu / (4.0 * nu0)) ** (-(p - 1.0) / 2.0) / (4.0 * math.pi)


@pytest.mark.parametrize("p", sorted(HEAD_ON))
def test_model_external_compton_thomson_closed_form(p):
    """The model's external-Compton component on its default grid, through
    the transfer and the observer frame, against the closed form:
    nu F_nu = delta^4 nu' V j'(nu') / d_L^2 (thin)."""
    r, b, delta, z, dl, k = 1e16, 0.1, 10.0, 0.2, 2e27, 5.0
    u, nu0 = 1e-2, 3e14
    model = om.Model(om.Blob(r, b, doppler=delta, redshift=z, distance=dl), om.PowerLaw(p, 1.0, 1e5, k=k),
                     synchrotron=False, ssc=False, external=om.ExternalField(u, nu0))
    # 4 gamma_min^2 nu0 << nu' << 4 gamma_max^2 nu0: every scattering angle in range
    nu_blob = [40.0 * nu0 * 10.0 ** (0.5 * i) for i in range(12)]
    sed = model.sed([delta * x / (1.0 + z) for x in nu_blob])
    volume = 4.0 / 3.0 * math.pi * r ** 3
    for x, y in zip(nu_blob, sed.ec):
        expected = delta ** 4 * x * volume * thomson_monochrome(x, k, p, u, nu0) / dl ** 2
        assert 0.995 < y / expected / HEAD_ON[p] < 1.005


# ---- the self-Compton seed --------------------------------------------------


def mean_escape_path(radius):
    """Mean distance to the surface of a uniform sphere from a point inside,
    averaged over the volume and over directions (scipy, no closed form used)."""
    def path(mu, r):
        return -r * mu + math.sqrt(radius ** 2 - r * r * (1.0 - mu * mu))

    value, _ = scipy_integrate.dblquad(lambda mu, r: 3.0 * r * r / radius ** 3 * 0.5 * path(mu, r),
                                       0.0, radius, -1.0, 1.0, epsabs=0.0, epsrel=1e-11)
    return value


def test_seed_factor_is_the_volume_average_of_a_uniform_sphere():
    """The volume-averaged photon energy density of a thin uniform sphere is
    4 pi j <s> / c (<s> the mean escape path, 3R/4); the model takes the seed
    as SEED_FACTOR times the escaping intensity j R / 3, so the factor must
    be <s> / (R / 3) = 9/4."""
    radius = 2.5
    s = mean_escape_path(radius)
    assert rel(s, 0.75 * radius) < 1e-9
    thin = ostrel.rad_trans_blob(radius, [1.0], [0.0])[0]  # j R / 3 for j = 1
    assert rel(emission.SEED_FACTOR, s / thin) < 1e-9
    # and the model's seed is that factor times the escaping synchrotron intensity
    model = om.Model(om.Blob(1e16, 0.1, distance=1e27, redshift=0.0), om.PowerLaw(2.0, 1e2, 1e5, density=1.0))
    freqs = [1e9, 1e11, 1e13]
    g, n = model.electrons.tabulate(8)
    j, a = ostrel.syn_emissivity_full(freqs, g, n, 0.1, True)
    escaping = ostrel.rad_trans_blob(1e16, j, a)
    for seed, x in zip(model.emission().seed_intensity(freqs), escaping):
        assert rel(seed, 2.25 * x) < 1e-6  # the synchrotron kernel's Romberg tolerance, 1e-5


def kernel_chain_ssc(blob, electrons, nu, seed_per_decade, gamma_per_decade, ssa):
    """Observed self-Compton nu F_nu straight from the kernels: synchrotron of
    the electrons, escaping intensity, seed = <s>/(R/3) times it (the volume
    average), Thomson scattering on two Lorentz-factor grids extrapolated to
    zero step, transfer, and nu F_nu = delta^4 4 pi R^2 nu' I' / d_L^2."""
    r, b, delta = blob.radius, blob.b_field, blob.doppler
    nu_blob = [(1.0 + blob.redshift) * x / delta for x in nu]
    nu_c = 1.5 * NU_B_PER_GAUSS * b
    seed = _util.log_grid(1e-5 * nu_c * electrons.gamma_min ** 2, 50.0 * nu_c * electrons.gamma_max ** 2,
                          seed_per_decade)
    freqs = sorted(set(seed) | set(nu_blob))
    g8, n8 = electrons.tabulate(8)
    j, a = ostrel.syn_emissivity_full(freqs, g8, n8, b, ssa)
    if not ssa:
        a = [0.0] * len(j)
    factor = mean_escape_path(1.0) / ostrel.rad_trans_blob(1.0, [1.0], [0.0])[0]
    inu = [factor * x for x in ostrel.rad_trans_blob(r, j, a)]

    def scattered(per_decade):
        g, n = electrons.tabulate(per_decade)
        return ostrel.ic_iso_powlaw_full(freqs, inu, g, n)

    fine, coarse = scattered(2 * gamma_per_decade), scattered(gamma_per_decade)
    j_ssc = [2.0 * f - c for f, c in zip(fine, coarse)]
    intensity = ostrel.rad_trans_blob(r, j_ssc, a)
    at = [freqs.index(x) for x in nu_blob]
    return [delta ** 4 * 4.0 * math.pi * r ** 2 * nu_blob[k] * intensity[i] / blob.distance ** 2
            for k, i in enumerate(at)]


@pytest.mark.native_only
@pytest.mark.parametrize("ssa", [False, True])
def test_ssc_matches_a_direct_kernel_chain(ssa):
    """Both sides on grids within about 1 % of converged (40 seed and
    40 + 80 Lorentz-factor points per decade): measured model / chain
    0.996-1.000 with the 10-per-decade seed rule, 0.992-0.996 with the
    golden-ratio rule. A seed of 3 instead of 9/4 (the value at the centre
    instead of the volume average) would be 33 % off."""
    blob = om.Blob(1e16, 0.1, doppler=10.0, redshift=0.1, distance=1e27)
    electrons = om.PowerLaw(2.2, 1e2, 1e5, density=10.0)
    nu = [10.0 ** x for x in (15.0, 16.5, 18.0, 19.5, 21.0, 22.0)]
    model = om.Model(blob, electrons, ssa=ssa, grids=om.Grids(seed=40, compton=40))
    got = model.sed(nu).ssc
    want = kernel_chain_ssc(blob, electrons, nu, 40, 40, ssa)
    for x, y in zip(got, want):
        assert rel(x, y) < 0.015


# ---- observer frame ---------------------------------------------------------------


@pytest.fixture(scope="module")
def frame_case():
    """A model with every process on, and its SED at blob-frame frequencies
    spanning the absorbed synchrotron, the thin synchrotron, self-Compton and
    external Compton."""
    def make(doppler, redshift, distance):
        blob = om.Blob(3e15, 0.5, doppler=doppler, redshift=redshift, distance=distance)
        return om.Model(blob, om.BrokenPowerLaw(2.0, 3.2, 2e3, 20.0, 2e5, density=3e3),
                        external=om.ExternalField(1e-3, 2e15), grids=om.Grids(compton=10, seed=6))

    nu_blob = [10.0 ** (7.0 + 1.5 * i) for i in range(13)]
    base = make(1.0, 0.0, 1e27).sed(nu_blob)
    return make, nu_blob, base


COMPONENTS = ("synchrotron", "ssc", "ec", "total")


def close_seds(a, b, factor, tolerance):
    for name in COMPONENTS:
        for x, y in zip(getattr(a, name), getattr(b, name)):
            assert abs(x - factor * y) <= tolerance * abs(factor * y), name


def test_frame_case_covers_every_component(frame_case):
    _, _, base = frame_case
    for name in COMPONENTS:
        assert max(getattr(base, name)) > 0.0, name


@pytest.mark.parametrize("doppler", [2.0, 10.0, 37.5])
@pytest.mark.parametrize("redshift", [0.0, 0.35, 3.0])
def test_doppler_and_redshift(frame_case, doppler, redshift):
    """nu = delta nu' / (1 + z) and nu F_nu = delta^4 nu' L'_nu' / (4 pi d_L^2):
    at the observed frequency of a blob-frame one, nu F_nu is delta^4 times
    its value at delta = 1, z = 0 (same distance), for every component."""
    make, nu_blob, base = frame_case
    sed = make(doppler, redshift, 1e27).sed([doppler * x / (1.0 + redshift) for x in nu_blob])
    close_seds(sed, base, doppler ** 4, 1e-9)


def test_doubling_doppler_scales_by_sixteen(frame_case):
    make, nu_blob, _ = frame_case
    nu = [3.0 * x for x in nu_blob]
    one = make(3.0, 0.2, 1e27).sed([x / 1.2 for x in nu])
    two = make(6.0, 0.2, 1e27).sed([2.0 * x / 1.2 for x in nu])
    close_seds(two, one, 16.0, 1e-12)


@pytest.mark.parametrize("scale", [0.1, 3.0, 1e3])
def test_distance_scaling(frame_case, scale):
    make, nu_blob, base = frame_case
    close_seds(make(1.0, 0.0, 1e27 * scale).sed(nu_blob), base, scale ** -2, 1e-12)


def test_distance_from_redshift_is_planck18():
    """At small z the luminosity distance is (c z / H0) (1 + (1 - q0) z / 2)
    with q0 = Omega_m / 2 - Omega_Lambda; Planck 2018: H0 = 67.66 km/s/Mpc,
    Omega_m = 0.30966 (radiation negligible here)."""
    pytest.importorskip("astropy")
    h0 = 67.66e5 / 3.0856775814913673e24  # s^-1
    q0 = 0.30966 / 2.0 - (1.0 - 0.30966)
    for z in (1e-3, 1e-2):
        expected = C * z / h0 * (1.0 + (1.0 - q0) * z / 2.0)
        # measured -1.4e-6 (z = 1e-3) and -3.9e-5 (z = 1e-2): the next order of the series
        assert rel(om.Blob(1e16, 1.0, redshift=z).distance, expected) < 1e-4 * z / 1e-2


# ---- grids and an independent code -------------------------------------------------


@pytest.mark.native_only
def test_default_grids_keep_ssc_within_one_percent():
    """The Grids docstring promises every component within 0.5 % of a
    converged computation wherever it is above 1e-3 of its peak. Reference:
    compton=320 (within 0.2 % of compton=160). Measured: the defaults are
    0.45-0.57 % high; the earlier fixed 10-per-decade seed grid was 2-16 %
    low, which this check caught."""
    blob = om.Blob(1e16, 0.1, doppler=10.0, redshift=0.1, distance=1e27)
    electrons = om.BrokenPowerLaw(2.0, 3.0, 1e4, 1e2, 1e6, density=1.0)
    nu = [10.0 ** (15.0 + i) for i in range(13)]
    default = om.Model(blob, electrons, ssa=False).sed(nu).ssc
    ref = om.Model(blob, electrons, ssa=False, grids=om.Grids(compton=320)).sed(nu).ssc
    peak = max(ref)
    compared = 0
    for x, y in zip(default, ref):
        if y > 1e-3 * peak:
            assert rel(x, y) < 0.01
            compared += 1
    assert compared >= 8


@pytest.fixture(scope="module")
def agnpy_fig_7_4():
    """The blob of Dermer & Menon (2009) Fig. 7.4 as agnpy's documentation
    sets it up: R = 1e16 cm, B = 1 G, delta = 10, d_L = 1e27 cm, a broken
    power law (2.0 / 3.5 at 1e4, 20 ... 5e7) with 1e48 erg in electrons;
    agnpy's synchrotron and self-Compton nu F_nu (no absorption)."""
    pytest.importorskip("agnpy")
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # agnpy's own deprecation warnings (numpy.trapz and others)
        import astropy.units as u
        from astropy.constants import m_e
        from astropy.coordinates import Distance
        from agnpy.compton import SynchrotronSelfCompton
        from agnpy.emission_regions import Blob as AgnpyBlob
        from agnpy.spectra import BrokenPowerLaw as AgnpyBPL
        from agnpy.synchrotron import Synchrotron

        radius = 1e16
        volume = 4.0 / 3.0 * math.pi * radius ** 3
        z = Distance(1e27 * u.cm).z
        n_e = AgnpyBPL.from_total_energy(1e48 * u.erg, volume * u.cm ** 3, p1=2.0, p2=3.5, gamma_b=1e4,
                                         gamma_min=20, gamma_max=5e7, mass=m_e)
        blob = AgnpyBlob(R_b=radius * u.cm, z=z, delta_D=10, Gamma=10, B=1 * u.G, n_e=n_e)
        nu = np.logspace(9, 27, 37)
        syn = Synchrotron(blob).sed_flux(nu * u.Hz).to_value("erg cm-2 s-1")
        ssc = SynchrotronSelfCompton(blob).sed_flux(nu * u.Hz).to_value("erg cm-2 s-1")
        ours_blob = om.Blob(radius, 1.0, doppler=10.0, redshift=float(z), distance=blob.d_L.to_value("cm"))
    electrons = om.BrokenPowerLaw(2.0, 3.5, 1e4, 20.0, 5e7, energy=1e48)
    return ours_blob, electrons, nu, syn, ssc


@pytest.mark.native_only
def test_against_agnpy_dermer_menon_fig_7_4(agnpy_fig_7_4):
    """Synchrotron and self-Compton against agnpy 0.5 for the same blob.
    Measured ratios (ours / agnpy): synchrotron 0.9982-1.0006 from 1e10 to
    1e22 Hz; self-Compton from 1e14 to 1e21 Hz (Thomson regime) 1.0015-1.0043
    with seed=40, 1.0053-1.0076 with the default grids. Beyond, agnpy's full Klein-Nishina cross-section and
    our kernel's sharp cut part ways (ours 0.81-1.32 above 1e22 Hz), and
    below 1e13 Hz agnpy's coarse trapezoid over 200 Lorentz factors from 10
    differs at gamma_min (ours 0.45-0.99)."""
    blob, electrons, nu, syn, ssc = agnpy_fig_7_4
    sed = om.Model(blob, electrons, ssa=False, grids=om.Grids(seed=40)).sed(nu)
    for f, ours, theirs in zip(nu, sed.synchrotron, syn):
        if 1e10 <= f <= 1e22:
            assert rel(ours, theirs) < 5e-3, f
    for f, ours, theirs in zip(nu, sed.ssc, ssc):
        if 1e14 <= f <= 1e21:
            assert rel(ours, theirs) < 1e-2, f


# ---- cooling wrappers --------------------------------------------------------------


@pytest.mark.parametrize("gamma", [1.0, 1.5, 10.0, 1e4])
def test_thomson_cooling_rates(gamma):
    """|dgamma/dt| = (4/3) sigma_T c U gamma^2 beta^2 / (m_e c^2) (Rybicki &
    Lightman eq. 7.16b) for a monochromatic field, a power-law field and the
    magnetic field; the power-law kernel carries gamma^2 (its documented
    ultra-relativistic form)."""
    u = 2.5e-3
    thomson = 4.0 / 3.0 * SIGMA_T * C * u / ME_C2
    gamma2_beta2 = gamma * gamma - 1.0
    assert kernels.cooling_mono([gamma], 1e10, u, klein_nishina=False)[0] == pytest.approx(
        thomson * gamma2_beta2, rel=1e-10, abs=0.0)
    assert kernels.cooling_synchrotron([gamma], u)[0] == pytest.approx(thomson * gamma2_beta2, rel=1e-10, abs=0.0)
    # u_nu = A nu^-0.5 on 1e10 .. 4e10 Hz, doubling grid: U = 2 A (sqrt(4e10) - sqrt(1e10))
    freqs = [1e10, 2e10, 4e10]
    a = u / (2.0 * (math.sqrt(4e10) - math.sqrt(1e10)))
    u_nu = [a * f ** -0.5 for f in freqs]
    assert kernels.cooling_powlaw([gamma], freqs, u_nu, klein_nishina=False)[0] == pytest.approx(
        thomson * gamma * gamma, rel=1e-9, abs=0.0)


def test_cooling_mono_below_one_is_nan_like_the_kernel():
    # the kernel gives NaN for gamma < 1; the wrapper keeps that rather than
    # raising a bare "math domain error"
    out = kernels.cooling_mono([0.5, 2.0], 1e10, 1.0, klein_nishina=False)
    assert math.isnan(out[0]) and out[1] > 0.0
