"""One Fokker-Planck time step through the module: worked cases, a bit-exact
model of the step, scaling, input checks and failure messages."""

import ctypes
import ctypes.util
import math

import pytest

import ostrel
from conftest import neville
from diagnostics import expect_single_block

PANIC = "pyo3_runtime.PanicException"
BAD_INPUT = "FP_FinDif_difu: at least one input parameter is not correctly defined"

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.exp.restype = ctypes.c_double
_libm.exp.argtypes = [ctypes.c_double]
c_exp = _libm.exp  # the C library's exp, as the module calls it


def panic_message(excinfo, capfd):
    """The failure's message; the step is serial, so it wrote exactly one
    diagnostic block, carrying that message."""
    assert f"{type(excinfo.value).__module__}.{type(excinfo.value).__qualname__}" == PANIC
    expect_single_block(capfd, str(excinfo.value))
    return str(excinfo.value)


# A plain model of the step as the arithmetic is defined: every quantity of
# both half-grid sides kept separately, each exponential evaluated where it is
# used, Neville extrapolation and the Thomas algorithm written out. Only for
# inputs without divisions by zero.
def thomas(a, b, c, r):
    n = len(b)
    u, e = [0.0] * n, [0.0] * n
    beta = b[0]
    u[0] = r[0] / beta
    for j in range(1, n):
        e[j] = c[j - 1] / beta
        beta = b[j] - a[j - 1] * e[j]
        u[j] = (r[j] - a[j - 1] * u[j - 1]) / beta
    for j in range(n - 2, -1, -1):
        u[j] = u[j] - e[j + 1] * u[j + 1]
    return u


def model_step(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc):
    g = gamma_bins
    n = len(g)
    dt = dt_in / tlc
    tesc = tesc_in / tlc if 1e-100 < tesc_in < 1e100 else tesc_in / 1.0
    G = [tlc * x for x in gdot_in]
    Q = [tlc * x for x in qin]
    D = [tlc * x for x in din]
    dp = [g[j + 1] - g[j] for j in range(n - 1)] + [None]
    dp[n - 1] = dp[n - 2]
    dm = [dp[0]] + [dp[j - 1] for j in range(1, n)]
    cell = [(dp[j] + dm[j]) * 0.5 for j in range(n)]
    cp = [(D[j + 1] + D[j]) * 0.25 for j in range(n - 1)] + [D[n - 1] * 0.25]
    cm = [D[0] * 0.25] + [cp[j - 1] for j in range(1, n)]
    bp = [((D[j + 1] - D[j]) / dp[j] + (G[j + 1] + G[j])) * 0.5 for j in range(n - 1)]
    bp.append(((D[n - 1] - D[n - 2]) / dp[n - 1] + (G[n - 1] + G[n - 2])) * 0.5)
    bm = [None] + [((D[j] - D[j - 1]) / dm[j] + (G[j] + G[j - 1])) * 0.5 for j in range(1, n)]
    bm[0] = neville(g[1:], bm[1:], g[0])[0]
    wp = [(dp[j] * bp[j]) / cp[j] for j in range(n)]
    wm = [(dm[j] * bm[j]) / cm[j] for j in range(n)]

    def limited(w):
        h = w * 0.5
        return 200.0 if h > 200.0 else (-200.0 if h < -200.0 else h)

    def series(w):
        x = w * w
        return ((x / (-24.0) + 1.0) + (x * x * 7.0) / 5760.0) + (x * (x * x) * (-31.0)) / 967680.0

    hp = [limited(w) for w in wp]
    hm = [limited(w) for w in wm]
    Wp = [series(w) if abs(w) < 0.1 else (abs(w) * c_exp(-abs(h))) / (1.0 - c_exp(abs(h) * (-2.0)))
          for w, h in zip(wp, hp)]
    Wm = [series(w) if abs(w) < 0.1 else abs(w) / (c_exp(abs(h)) - c_exp(-abs(h)))
          for w, h in zip(wm, hm)]
    a, b, c, r = [], [], [], []
    for j in range(n):
        a.append((((cm[j] * (-dt)) * Wm[j]) * c_exp(-hm[j])) / (cell[j] * dm[j]))
        c.append((((cp[j] * (-dt)) * Wp[j]) * c_exp(hp[j])) / (cell[j] * dp[j]))
        bj = (dt * (((cp[j] * Wp[j]) * c_exp(-hp[j])) / dp[j] + ((cm[j] * Wm[j]) * c_exp(hm[j])) / dm[j])) / cell[j]
        bj = bj + 1.0
        b.append(dt / tesc + bj)
        r.append(nin[j] + Q[j] * dt)
    u = thomas(a[1:], b, c[: n - 1], r)
    return u, {"bm0": bm[0], "wp": wp, "wm": wm}


WORKED = dict(
    dt_in=0.5, gamma_bins=[1.0, 2.0, 3.0, 4.0, 5.0], nin=[0.0, 1.0, 2.0, 1.0, 0.0],
    gdot_in=[0.02, 0.05, 0.1, 0.2, 0.4], din=[1.0] * 5, qin=[0.0, 0.0, 0.0, 0.0, 1.0],
    tesc_in=1e200, tlc=1.0,
)


def log_grid(n, lo, hi):
    return [lo * (hi / lo) ** (i / (n - 1)) for i in range(n)]


def case(**changes):
    args = dict(WORKED)
    args.update(changes)
    return args


_G12 = log_grid(12, 2.0, 3e4)
CASES = {
    "worked": WORKED,
    # heating (negative loss rate) and D ~ gamma^2: w of both signs, escape
    # inside the open interval, a light-crossing time other than 1
    "heating": case(dt_in=3.0, gamma_bins=_G12, nin=[math.exp(-((math.log(x) - 4.0) ** 2)) for x in _G12],
                    gdot_in=[-1e-3 * x for x in _G12], din=[2e-5 * x * x for x in _G12],
                    qin=[1e-3 / x for x in _G12], tesc_in=7.0, tlc=2.0),
    # strong cooling: |w| far above 400, so h is limited to 200
    "cooling": case(dt_in=0.01, gamma_bins=_G12, nin=[x ** -2.0 for x in _G12],
                    gdot_in=[x * x for x in _G12], din=[1e-6 * x ** 3 for x in _G12],
                    qin=[0.0] * 12, tesc_in=1e100, tlc=4.0),
    # strong heating: h limited to -200
    "runaway": case(dt_in=0.01, gamma_bins=_G12, nin=[x ** -2.0 for x in _G12],
                    gdot_in=[-(x * x) for x in _G12], din=[1e-6 * x ** 3 for x in _G12],
                    qin=[0.0] * 12, tesc_in=-3.0, tlc=1.0),
    "two points": case(gamma_bins=[1.0, 3.5], nin=[1.0, 0.25], gdot_in=[0.3, 0.1], din=[0.5, 2.0],
                       qin=[0.0, 1.0], tesc_in=1e-100),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_step_equals_model_bit_for_bit(name):
    args = CASES[name]
    expected, _ = model_step(**args)
    assert ostrel.fp_findif_difu(**args) == expected


def test_worked_case_quantities():
    # The extrapolated lower coefficient and the Chang-Cooper parameters of
    # the five-point example: B-_0 = -0.01, w+ = [0.07, 0.15, 0.3, 0.6, 1.2],
    # w- = [-0.04, 0.07, 0.15, 0.3, 0.6].
    _, inner = model_step(**WORKED)
    assert inner["bm0"] == pytest.approx(-0.01, abs=1e-15)
    assert inner["wp"] == pytest.approx([0.07, 0.15, 0.3, 0.6, 1.2], abs=1e-15)
    assert inner["wm"] == pytest.approx([-0.04, 0.07, 0.15, 0.3, 0.6], abs=1e-15)


def test_two_point_grid():
    # Central differencing with D = 1: 1.75 n0 - 0.5 n1 = 1 and symmetric.
    result = ostrel.fp_findif_difu(1, [1, 2], [1, 1], [0, 0], [1, 1], [0, 0], 1e200, 1)
    assert result == pytest.approx([0.8, 0.8], rel=1e-15, abs=0.0)


def test_scaling_invariance():
    # Only products of rates and times enter.
    g = log_grid(20, 1.5, 1e3)
    base = dict(gamma_bins=g, nin=[x ** -1.5 for x in g], tesc_in=1e200)
    rates = dict(gdot=[1e-3 * x * x for x in g], din=[1e-4 * x ** 2.5 for x in g], qin=[x ** -2.0 for x in g])
    one = ostrel.fp_findif_difu(dt_in=2.0, gdot_in=rates["gdot"], din=rates["din"], qin=rates["qin"],
                                tlc=3.0, **base)
    half = ostrel.fp_findif_difu(dt_in=4.0, gdot_in=[0.5 * x for x in rates["gdot"]],
                                 din=[0.5 * x for x in rates["din"]], qin=[0.5 * x for x in rates["qin"]],
                                 tlc=6.0, **base)
    assert one == half


@pytest.mark.parametrize("tesc_in, tlc, same_as", [
    (2.0, 1.0, 2.0),          # scaled: 2 / 1
    (8.0, 4.0, 2.0),          # scaled: 8 / 4
    (1e100, 4.0, 1e100),      # the interval is open: used unscaled
    (1e-100, 4.0, 1e-100),
    (-8.0, 4.0, -8.0),        # negative: unscaled
])
def test_escape_time_normalisation(tesc_in, tlc, same_as):
    # dt_in and the rates are chosen so that dt_in/tlc and tlc*rates agree
    # between the two calls; only the escape time's treatment differs.
    g = [1.0, 2.0, 4.0, 8.0]
    n = [1.0, 2.0, 0.5, 0.1]
    got = ostrel.fp_findif_difu(0.5 * tlc, g, n, [0.1 / tlc] * 4, [1.0 / tlc] * 4, [0.0] * 4, tesc_in, tlc)
    want = ostrel.fp_findif_difu(0.5, g, n, [0.1] * 4, [1.0] * 4, [0.0] * 4, same_as, 1.0)
    assert got == want


def _arguments_with_nan(position):
    args = [0.5, [1.0, 2.0, 3.0], [1.0, 2.0, 1.0], [0.1, 0.1, 0.1], [1.0, 1.0, 1.0], [0.0, 0.0, 0.0], 1e200, 1.0]
    if isinstance(args[position], list):
        args[position] = list(args[position])
        args[position][1] = math.nan
    else:
        args[position] = math.nan
    return args


@pytest.mark.parametrize("position", range(8))
@pytest.mark.parametrize("check", [(), (None,), (True,)])
def test_not_a_number_is_rejected(position, check, capfd):
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(*_arguments_with_nan(position), *check)
    assert panic_message(excinfo, capfd) == BAD_INPUT


@pytest.mark.parametrize("position", [0, 1, 2, 3, 4, 5, 7])
def test_not_a_number_propagates_without_check(position):
    out = ostrel.fp_findif_difu(*_arguments_with_nan(position), False)
    assert any(math.isnan(x) for x in out)


def test_nan_escape_time_without_check():
    # NaN is outside the open interval and kept; dt/NaN is NaN on the diagonal.
    out = ostrel.fp_findif_difu(*_arguments_with_nan(6), check_params=False)
    assert all(math.isnan(x) for x in out)


def test_infinities_pass_the_check_and_propagate():
    out = ostrel.fp_findif_difu(0.5, [1.0, 2.0, 3.0], [1.0, math.inf, 1.0], [0.1] * 3, [1.0] * 3, [0.0] * 3,
                                1e200, 1.0)
    assert not all(math.isfinite(x) for x in out)


@pytest.mark.parametrize("din", [[1.0, 0.0, 0.0, 1.0], [0.0, 1.0, 1.0, 1.0]])
def test_vanishing_diffusion_gives_non_finite_result(din):
    out = ostrel.fp_findif_difu(0.5, [1.0, 2.0, 3.0, 4.0], [1.0] * 4, [0.1] * 4, din, [0.0] * 4, 1e200, 1.0)
    assert not all(math.isfinite(x) for x in out)


def test_equal_grid_points_fail_in_the_extrapolation(capfd):
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(0.5, [1.0, 2.0, 2.0, 3.0], [1.0] * 4, [0.1] * 4, [1.0] * 4, [0.0] * 4, 1e200, 1.0)
    assert panic_message(excinfo, capfd) == 'called `Result::unwrap()` on an `Err` value: "polint: calculation failure"'


@pytest.mark.parametrize("tesc_in, stage", [
    # N = 2, D = 1, no losses, dt = -1: both diagonal entries are
    # 1 - 0.75 + dt/t_esc and both off-diagonals 0.5.
    (4.0, 1),    # 0.25 - 0.25 = 0: the first pivot vanishes
    (-4.0, 2),   # 0.5, then 0.5 - 0.5 * 0.5 / 0.5 = 0
])
def test_zero_pivot_messages(tesc_in, stage, capfd):
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(-1.0, [1.0, 2.0], [1.0, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], tesc_in, 1.0)
    assert panic_message(excinfo, capfd) == f"tridag_ser: error at code stage {stage}"


@pytest.mark.parametrize("n, message", [
    (1, "index out of bounds: the len is 1 but the index is 1"),
    (0, "index out of bounds: the len is 0 but the index is 0"),
])
def test_fewer_than_two_points(n, message, capfd):
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(0.5, [2.0] * n, [1.0] * n, [0.1] * n, [1.0] * n, [0.0] * n, 1e200, 1.0)
    assert panic_message(excinfo, capfd) == message


@pytest.mark.parametrize("short", ["nin", "gdot_in", "din", "qin", "gamma_bins"])
@pytest.mark.parametrize("length", [2, 4])
def test_unequal_lengths_are_rejected(short, length, capfd):
    args = dict(gamma_bins=[1.0, 2.0, 3.0], nin=[1.0] * 3, gdot_in=[0.1] * 3, din=[1.0] * 3, qin=[0.0] * 3)
    args[short] = [1.0 + i for i in range(length)]
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(0.5, tesc_in=1e200, tlc=1.0, **args)
    lengths = {k: len(v) for k, v in args.items()}
    assert panic_message(excinfo, capfd) == (
        "FP_FinDif_difu: input vectors differ in length (gamma_bins: {gamma_bins}, nin: {nin}, "
        "gdot_in: {gdot_in}, din: {din}, qin: {qin})".format(**lengths))


def test_module_stays_usable_after_a_failure(capfd):
    with pytest.raises(BaseException) as excinfo:
        ostrel.fp_findif_difu(0.5, [1.0], [1.0], [0.1], [1.0], [0.0], 1e200, 1.0)
    assert panic_message(excinfo, capfd) == "index out of bounds: the len is 1 but the index is 1"
    assert ostrel.fp_findif_difu(**WORKED) == model_step(**WORKED)[0]


def test_sequences_of_any_kind_and_keywords():
    expected = ostrel.fp_findif_difu(**WORKED)
    as_tuples = {k: tuple(v) if isinstance(v, list) else v for k, v in WORKED.items()}
    assert ostrel.fp_findif_difu(**as_tuples) == expected
    assert ostrel.fp_findif_difu(*WORKED.values(), True) == expected
    with pytest.raises(TypeError, match="^argument 'check_params': 'int' object cannot be converted to 'PyBool'$"):
        ostrel.fp_findif_difu(*WORKED.values(), 1)


def test_numpy_arrays_are_accepted():
    np = pytest.importorskip("numpy")
    as_arrays = {k: np.asarray(v) if isinstance(v, list) else v for k, v in WORKED.items()}
    assert ostrel.fp_findif_difu(**as_arrays) == ostrel.fp_findif_difu(**WORKED)


def test_overflowing_extrapolation_keeps_the_step_finite():
    # On a wide grid of thousands of points the degree-(N-2) extrapolation of
    # the lower systematic coefficient overflows; the step then uses the
    # nearest coefficient instead of returning NaN everywhere.
    g = log_grid(4096, 20.0, 1e7)
    p = [math.sqrt(x * x - 1.0) for x in g]
    din = [2.0 * q ** 5 / (x * x) for q, x in zip(p, g)]
    gdot = [-(4.0 * q ** 3 / x + q ** 3 / x ** 3) for q, x in zip(p, g)]
    nin = [math.exp(-((x - 100.0) / 10.0) ** 2) for x in g]
    out = ostrel.fp_findif_difu(1e-6, g, nin, gdot, din, [0.0] * len(g), 1.0, 1.0)
    assert all(math.isfinite(v) for v in out)
    assert max(out) > 0.5
