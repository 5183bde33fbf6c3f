"""syn_emissivity_full: synchrotron emissivity and self-absorption."""

import ctypes
import ctypes.util
import math
import os
import subprocess
import sys
from decimal import Decimal

import pytest

import ostrel
from conftest import neville

NU_B_PER_GAUSS = 2799248.987233304

# ---------------------------------------------------------------------------
# A model of the computation in Python, with exp, log and pow taken from the
# C library so that every value matches the extension's bit for bit: the
# kernel R(x), Neville extrapolation and the Romberg sequence of each segment,
# one emission pass and one absorption pass. Slow, so used on small grids.

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log", "pow"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double] * (2 if _name == "pow" else 1)
c_exp, c_log, c_pow = _libm.exp, _libm.log, _libm.pow


def model_rma(chi, g):
    if not chi > 0.75 / g:
        return 0.0
    x = (chi + chi) / (g * g * 3.0)
    if x < 0.00032180900500625734:
        return c_pow(x, 0.3333333333333333) * 1.808418021102802
    if x <= 0.650532122717873:
        c = (-0.7871626401625178, -0.7050933708504841, -0.35531869295610624,
             -0.06503312461868385, -0.0060901233982264096, -0.00022764616638053332)
    elif x <= 15.579904689804556:
        c = (-0.8236455154570651, -0.831668613094906, -0.525630345887699,
             -0.22039314697105414, 0.01669179529512499, -0.028650695862677572)
    else:
        return c_exp(-x) * 1.5707963267948966 * (-11.0 / (x * 18.0) + 1.0)
    l1 = c_log(x)
    l2 = l1 * l1
    l3 = l1 * l2
    l4 = l2 * l2
    l5 = l1 * l4
    return c_exp(c[0] + c[1] * l1 + c[2] * l2 + c[3] * l3 + c[4] * l4 + c[5] * l5)


def model_romberg(f, f_lower, f_upper, u_a, u_b, first_test):
    """Returns (integral, level); converging cases only."""
    h = u_b - u_a
    s = [0.0] * 61
    z = [0.0] * 61
    z[0] = 1.0
    s[0] = (h * 0.5) * (f_upper + f_lower)
    z[1] = 0.25 * z[0]
    s[1] = s[0]
    for j in range(1, 23):
        m = 2 ** (j - 1)
        delta = h / m
        u = u_a + delta * 0.5
        total = 0.0
        for _ in range(m):
            total = total + f(u)
            u = u + delta
        s[j] = (s[j] + delta * total) * 0.5
        if j >= first_test:
            ss, dss = neville(z[j - 9:j + 1], s[j - 9:j + 1], 0.0)
            if abs(dss) <= 1e-5 * abs(ss):
                return ss, j
        z[j + 1] = 0.25 * z[j]
        s[j + 1] = s[j]
    raise AssertionError("the model covers converging integrals only")


def model_syn(nu, g, n, b):
    """(j_nu, a_nu) before the floors, and the convergence levels."""
    nu_b = b * NU_B_PER_GAUSS
    chi = nu / nu_b
    segments = []
    for i in range(len(g) - 1):
        if not (n[i] > 1e-100 and n[i + 1] > 1e-100):
            continue
        q = -c_log(n[i + 1] / n[i]) / c_log(g[i + 1] / g[i])
        q = 8.0 if q > 8.0 else -8.0 if q < -8.0 else q
        segments.append((i, q, c_log(g[i]), c_log(g[i + 1])))
    e, a, levels = 0.0, 0.0, []
    for i, q, u_a, u_b in segments:
        def fj(gamma):
            return c_pow(gamma, 1.0 - q) * model_rma(chi, gamma)
        ij, level = model_romberg(lambda u: fj(c_exp(u)), fj(c_exp(u_a)), fj(c_exp(u_b)), u_a, u_b, 9)
        levels.append(level)
        e = e + c_pow(g[i], q) * ((nu_b * 6.6645698196351e-30 * n[i]) * ij)
    for i, q, u_a, u_b in segments:
        def fa(gamma):
            g2 = gamma * gamma
            return ((q + 1.0) + g2 / (g2 + (-1.0))) * (c_pow(gamma, -q) * model_rma(chi, gamma))
        ga = c_exp(u_a)
        lower = 1.0000000001 if ga - 1.0 <= 1e-10 else ga
        ia, level = model_romberg(lambda u: fa(c_exp(u)), fa(lower), fa(c_exp(u_b)), u_a, u_b, 10)
        levels.append(level)
        a = a + (c_pow(g[i], q) * ((nu_b * 0.0036580794255805012 * n[i]) * ia)) / (nu * nu)
    return e, a, levels


def floored(v):
    return 0.0 if v < 1e-200 else v


# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "freqs, g, n, b",
    [
        # The worked example: emission converges at level 9, absorption at 10.
        ([1e9], [1.0, 10.0], [1.0, 0.01], 1.0),
        # A grid starting below 1: the absorption lower end is 1.0000000001.
        ([3e7, 2.5e8], [0.5, 1.2, 4.0], [1.0, 0.3, 0.05], 2.0),
        # n rising steeply near g = 1 (q clamped to -8): the absorption
        # factor q + 2 + 1/(g^2 - 1) is negative and so is the sum.
        ([5.6e7], [1.2, 1.5], [1e-10, 1.0], 1.0),
    ],
)
def test_matches_a_model_of_the_computation(freqs, g, n, b):
    j_nu, a_nu = ostrel.syn_emissivity_full(freqs, g, n, b, True)
    for k, nu in enumerate(freqs):
        e, a, levels = model_syn(nu, g, n, b)
        assert j_nu[k] == floored(e)
        assert a_nu[k] == floored(a)
        if g == [1.0, 10.0]:
            assert levels == [9, 10] and e > 0 and a > 0
        if g == [1.2, 1.5]:
            assert a < 0 and a_nu[k] == 0.0 and j_nu[k] > 0


def test_absorption_lower_end_is_guarded():
    # Without the guard the integrand of a grid starting at g = 1 is
    # infinite at its lower end (g^2 / (g^2 - 1)).
    for g0 in (1.0, 1.00000000005):
        j_nu, a_nu = ostrel.syn_emissivity_full([1e7, 1e8], [g0, 2.0, 5.0], [1.0, 0.2, 0.01], 1.0, True)
        assert all(math.isfinite(v) and v > 0 for v in j_nu + a_nu)


@pytest.mark.parametrize(
    "g, n",
    [
        ([3.0], [1.0]),  # one grid point: no segment
        ([1.0, 2.0, 3.0], [1e-100, 1e-101, 0.0]),  # negligible everywhere
        ([1.0, 2.0, 3.0], [float("nan"), 1.0, -1.0]),  # no bin above 1e-100 at both ends
    ],
)
def test_no_segment_gives_zeros(g, n):
    assert ostrel.syn_emissivity_full([1e8, 1e9, 1e12], g, n, 0.5, True) == ([0.0] * 3, [0.0] * 3)


def test_empty_frequencies():
    assert ostrel.syn_emissivity_full([], [1.0, 10.0], [1.0, 0.01], 1.0, True) == ([], [])
    assert ostrel.syn_emissivity_full((), [], [], 1.0, False) == ([], [])


def test_without_absorption_the_second_list_is_zeros():
    freqs = [1e8, 1e9, 1e10]
    args = ([1.0, 10.0, 100.0], [1.0, 0.01, 1e-5], 1.0)
    j_abs, a_abs = ostrel.syn_emissivity_full(freqs, *args, True)
    j_only, a_only = ostrel.syn_emissivity_full(freqs, *args, False)
    assert j_only == j_abs
    assert a_only == [0.0] * 3 and all(v > 0 for v in a_abs)


def test_results_below_the_floor_are_zero():
    # The results are linear in n: a distribution 1e80 times larger gives
    # values far below 1e-200 once scaled back, which must read 0.
    g, freqs = [1.0, 2.0], [3.4e9]
    n = [1e-99, 0.5e-99]
    big_j, big_a = ostrel.syn_emissivity_full(freqs, g, [v * 1e80 for v in n], 1.0, True)
    assert 0 < big_j[0] * 1e-80 < 1e-200 and 0 < big_a[0] * 1e-80 < 1e-200
    assert ostrel.syn_emissivity_full(freqs, g, n, 1.0, True) == ([0.0], [0.0])


@pytest.mark.parametrize("steep, steeper, mild", [(20.0, 50.0, 7.0), (-20.0, -50.0, -7.0)])
def test_local_index_is_clamped_to_8(steep, steeper, mild):
    # Only n_i and the clamped q enter: a segment falling (or rising) faster
    # than g^8 gives the same bits however steep it is.
    g = [2.0, 3.0]
    freqs = [1e6, 1e8, 3e9]

    def run(index):
        return ostrel.syn_emissivity_full(freqs, g, [1.0, (g[1] / g[0]) ** -index], 0.3, True)

    assert run(steep) == run(steeper)
    assert run(steep) != run(mild)


def test_entries_beyond_the_grid_are_never_read():
    g = [1.0, 10.0]
    assert ostrel.syn_emissivity_full([1e9], g, [1.0, 0.01, float("nan"), 7.0], 1.0, True) == \
        ostrel.syn_emissivity_full([1e9], g, [1.0, 0.01], 1.0, True)


@pytest.mark.parametrize("g, n", [([], [1.0]), ([1.0, 2.0, 3.0], [1.0, 1.0])])
def test_reading_past_the_end_is_an_internal_failure(g, n, capfd):
    with pytest.raises(BaseException) as info:
        ostrel.syn_emissivity_full([1e9, 2e9], g, n, 1.0, True)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "array index out of bounds"
    assert "array index out of bounds" in capfd.readouterr().err
    # The module stays usable.
    assert ostrel.syn_emissivity_full([1e9], [1.0, 10.0], [1.0, 0.01], 1.0, True)[0][0] > 0


def positional(x):
    """Shortest round-trip decimal of x without an exponent."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    return text[:-2] if text.endswith(".0") else text


def diagnostic_lines(chi, q, ga, gb, ss, dss):
    return (f"chi    = {positional(chi)}\nq      = {positional(q)}\nga     = {positional(ga)}\n"
            f"gb     = {positional(gb)}\nqromb  = {positional(ss)}\ndqromb = {positional(dss)}\n")


def test_positional_form_of_the_diagnostics():
    assert [positional(v) for v in (1e-5, 3.0, 357.25, -2.5e20, 0.1)] == \
        ["0.00001", "3", "357.25", "-250000000000000000000", "0.1"]


@pytest.mark.parametrize("with_abs", [True, False])
def test_zero_lorentz_factor_reports_non_convergence(with_abs, capfd):
    # ln 0 = -inf makes every trapezoid estimate NaN: the integrals cannot
    # converge, the call reports them and returns NaN at once.
    j_nu, a_nu = ostrel.syn_emissivity_full([1e9], [0.0, 10.0], [1.0, 0.01], 1.0, with_abs)
    assert math.isnan(j_nu[0])
    assert math.isnan(a_nu[0]) if with_abs else a_nu == [0.0]
    out, err = capfd.readouterr()
    chi = 1e9 / (1.0 * NU_B_PER_GAUSS)
    # q = -ln(0.01) / ln(inf) = 0; ga = exp(ln 0) = 0; gb = exp(ln 10).
    block = diagnostic_lines(chi, 0.0, 0.0, c_exp(c_log(10.0)), math.nan, math.nan)
    assert out == "RMA_qromb error\n" + block
    expected_err = "RMA_qromb: too many steps"
    if with_abs:
        expected_err += "ARMA_qromb error\n" + block + "ARMA_qromb: too many steps\n"
    assert err == expected_err


def test_negative_lorentz_factor_reports_and_returns_in_bounded_time():
    code = ("import ostrel; r = ostrel.syn_emissivity_full([1e9, 2e9], [-1.0, 10.0, 20.0], "
            "[1.0, 0.01, 0.001], 1.0, True); print(r, flush=True)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    out_lines = done.stdout.splitlines()
    # One emission report per frequency for the segment starting at -1, the
    # second segment converges.
    assert out_lines.count("RMA_qromb error") == 2
    assert "q      = NaN" in out_lines and "ga     = NaN" in out_lines
    assert done.stderr.replace("ARMA_qromb", "").count("RMA_qromb: too many steps") == 2
    assert done.stderr.count("ARMA_qromb error\n") == 2
    assert done.stderr.count("ARMA_qromb: too many steps\n") == 2
    assert out_lines[-1].startswith("([nan, nan], [nan, nan])")


def test_arguments_are_checked():
    call = ostrel.syn_emissivity_full
    with pytest.raises(TypeError, match="argument 'freqs'"):
        call("abc", [1.0, 2.0], [1.0, 1.0], 1.0, True)
    with pytest.raises(TypeError, match="argument 'with_abs'"):
        call([1e9], [1.0, 2.0], [1.0, 1.0], 1.0, 1)
    with pytest.raises(TypeError, match="argument 'b_field'"):
        call([1e9], [1.0, 2.0], [1.0, 1.0], "1", True)
    with pytest.raises(TypeError, match="argument 'n_distrib'"):
        call([1e9], [1.0, 2.0], 3.0, 1.0, True)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'with_abs'"):
        call([1e9], [1.0, 2.0], [1.0, 1.0], 1.0)
    assert call(with_abs=True, b_field=1.0, n_distrib=[1.0, 0.01], gamma_bins=(1.0, 10.0),
                freqs=[1e9]) == call([1e9], [1.0, 10.0], [1.0, 0.01], 1.0, True)
    assert call.__text_signature__ == "(freqs, gamma_bins, n_distrib, b_field, with_abs)"


def test_identical_for_every_worker_count():
    code = (
        "import ostrel\n"
        "g = [10 * 10 ** (4 * i / 40) for i in range(41)]\n"
        "n = [x ** -2.2 for x in g]\n"
        "f = [1e6 * 10 ** (15 * i / 36) for i in range(37)]\n"
        "j, a = ostrel.syn_emissivity_full(f, g, n, 0.2, True)\n"
        "print(' '.join(v.hex() for v in j + a))\n"
    )
    outputs = set()
    for threads in ("1", "2", "7", None):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        env.pop("RAYON_RS_NUM_CPUS", None)
        if threads is not None:
            env["RAYON_NUM_THREADS"] = threads
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        outputs.add(done.stdout)
    assert len(outputs) == 1


# ---------------------------------------------------------------------------
# Physics: a power law n = K g^-p over many decades against the classical
# pitch-angle-averaged power-law formulas (Rybicki & Lightman 1979, eqs. 6.36
# and 6.53, averaged over an isotropic pitch-angle distribution). With
# nu_c = (3/2) g^2 nu_B, x = nu / nu_c and Int_0^inf x^mu F(x) dx =
# 2^(mu+1)/(mu+2) G(mu/2 + 7/3) G(mu/2 + 2/3), the pitch-angle average adds
# 1/2 Int_0^pi sin^(mu+3) a da = sqrt(pi)/2 G((mu+4)/2)/G((mu+5)/2):
#   j_nu = sqrt(3) e^3 B / (4 pi m c^2) K/2 (nu / (1.5 nu_B))^-((p-1)/2) A(mu = (p-3)/2)
#   a_nu = sqrt(3) e^3 B / (8 pi m^2 c^2 nu^2) (p+2) K/2 (nu / (1.5 nu_B))^-(p/2) A(mu = (p-2)/2)
# with A(mu) the product of the two integrals. The kernel is a fit to the
# averaged synchrotron function, good to half a percent; integrated over a
# power law it is good to about 0.1 %.

E_CHARGE = 4.803204712570263e-10  # esu
M_E = 9.1093837015e-28  # g
C_LIGHT = 29979245800.0  # cm/s


def power_law_integral(mu):
    g = math.gamma
    average = math.sqrt(math.pi) / 2 * g((mu + 4) / 2) / g((mu + 5) / 2)
    return 2 ** (mu + 1) / (mu + 2) * g(mu / 2 + 7 / 3) * g(mu / 2 + 2 / 3) * average


def classical_power_law(nu, p, b):
    nu_b = E_CHARGE * b / (2 * math.pi * M_E * C_LIGHT)
    y = nu / (1.5 * nu_b)
    j = math.sqrt(3) * E_CHARGE ** 3 * b / (4 * math.pi * M_E * C_LIGHT ** 2) \
        * 0.5 * y ** (-(p - 1) / 2) * power_law_integral((p - 3) / 2)
    a = math.sqrt(3) * E_CHARGE ** 3 * b / (8 * math.pi * M_E ** 2 * C_LIGHT ** 2 * nu ** 2) \
        * (p + 2) * 0.5 * y ** (-p / 2) * power_law_integral((p - 2) / 2)
    return j, a


@pytest.mark.parametrize("p", [2.0, 2.5, 3.2])
def test_power_law_matches_the_classical_spectrum(p):
    g = [10.0 ** (1 + i / 16) for i in range(16 * 6 + 1)]  # 10 ... 1e7
    n = [x ** -p for x in g]
    b = 1.0
    freqs = [1e11, 1e12, 1e13, 1e14, 1e15, 1e16]  # nu_c(10) = 4e8 Hz, nu_c(1e7) = 4e20 Hz
    j_nu, a_nu = ostrel.syn_emissivity_full(freqs, g, n, b, True)
    for nu, j, a in zip(freqs, j_nu, a_nu):
        j_ref, a_ref = classical_power_law(nu, p, b)
        assert j / j_ref == pytest.approx(1, abs=2e-3)
        assert a / a_ref == pytest.approx(1, abs=2e-3)
    decades = math.log10(freqs[-1] / freqs[0])
    assert math.log10(j_nu[-1] / j_nu[0]) / decades == pytest.approx(-(p - 1) / 2, abs=1e-3)
    assert math.log10(a_nu[-1] / a_nu[0]) / decades == pytest.approx(-(p + 4) / 2, abs=1e-3)
