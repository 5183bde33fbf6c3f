"""The analytic distribution eq_59_park1995: closed form, limits, special points."""

import math

import pytest

import ostrel

P0 = 99.99499987499375
EULER = 0.5772156649015329

# The module's I_3 takes Gamma(4) from a Weierstrass product truncated at
# |g - 1| / f < 1e-12, which leaves Gamma low by d/2 * sqrt(2e-12 Gamma(d+1)
# e^(gamma_E d)) for d = 4 (about 4.4e-5), so every value is high by that much.
BESSEL_EXCESS = 2.0 * math.sqrt(2e-12 * math.gamma(5.0) * math.exp(EULER * 4.0))


def bessel_i3(x):
    # Ascending series with exact factorials, terms by recurrence.
    term = (x / 2.0) ** 3 / 6.0
    total, k = 0.0, 0
    while term > 1e-18 * total:
        total += term
        k += 1
        term *= (x / 2.0) ** 2 / (k * (k + 3))
    return total


def closed_form(t, gamma):
    p = math.sqrt(gamma * gamma - 1.0)
    return (4.0 * math.pi * math.exp(-t) / t * p ** -0.5 * P0 ** -1.5
            * bessel_i3(2.0 / (t * math.sqrt(p * P0))) * math.exp(-(1.0 / p + 1.0 / P0) / t))


POINTS = [(t, g) for t in (1e-3, 2e-3, 0.01, 0.1, 1.0, 3.0) for g in (1.5, 10.0, 50.0, 100.0, 300.0, 1e3, 1e4)]


def usable(t, g):
    # Inside the range where the series neither underflows its leading term
    # (early zero below 1e-8) nor overflows (z/2 up to about 25), and where the
    # value is within the limits.
    x = 2.0 / (t * math.sqrt(math.sqrt(g * g - 1.0) * P0))
    return (x / 2.0) ** 3 / 6.0 > 1e-7 and x / 2.0 < 25.0 and 1e-95 < closed_form(t, g) < 1e195


@pytest.mark.parametrize("t, g", [pt for pt in POINTS if usable(*pt)])
def test_matches_closed_form(t, g):
    (value,) = ostrel.eq_59_park1995(t, [g])
    assert value / closed_form(t, g) - 1.0 == pytest.approx(BESSEL_EXCESS, abs=1e-7)


def test_vector_of_points_keeps_order():
    g = [1e3, 10.0, 100.0, 2.0]
    assert ostrel.eq_59_park1995(0.5, g) == [ostrel.eq_59_park1995(0.5, [x])[0] for x in g]


def test_early_zero_of_the_bessel_factor():
    # At t = 1 the leading term (x/2)^3 / Gamma(4) falls below 1e-8 near
    # p = 652 (x = 7.83e-3): gamma = 1000 gives the lower limit although the
    # closed form is about 1e-12 there.
    out = ostrel.eq_59_park1995(1.0, [10.0, 100.0, 600.0, 700.0, 1000.0])
    assert out[4] == 1e-100 and out[3] == 1e-100
    assert closed_form(1.0, 1000.0) > 1e-13
    assert out[2] > 1e-13
    assert out[0] == pytest.approx(closed_form(1.0, 10.0), rel=1e-4, abs=0.0)


@pytest.mark.parametrize("t, g", [
    (1.0, [1.0]),                 # p = 0: infinite Bessel factor times zero
    (1.0, [0.5, -0.9, 0.0]),      # sqrt of a negative number
    (1.0, [math.nan]),
    (0.0, [1.5, 10.0, 100.0, 1e4]),
    (math.nan, [100.0]),
])
def test_undefined_points_give_the_lower_limit(t, g):
    assert ostrel.eq_59_park1995(t, g) == [1e-100] * len(g)


def test_empty_grid():
    assert ostrel.eq_59_park1995(1.0, []) == []


def test_values_always_within_limits():
    ts = [-2.0, 1e-6, 1e-4, 1e-3, 0.05, 1.0, 30.0, 1e3, math.inf]
    g = [1.0, 1.0 + 1e-12, 1.01, 2.0, 99.0, 100.0, 101.0, 1e5, 1e12, 1e300, math.inf]
    for t in ts:
        for v in ostrel.eq_59_park1995(t, g):
            assert 1e-100 <= v <= 1e200, (t, v)


def test_argument_conversion():
    assert ostrel.eq_59_park1995(t=1, g=(10, 100)) == ostrel.eq_59_park1995(1.0, [10.0, 100.0])
    with pytest.raises(TypeError, match="^argument 'g': Can't extract `str` to `Vec`$"):
        ostrel.eq_59_park1995(1.0, "10")
    assert ostrel.eq_59_park1995.__doc__ == "functions from distribs"
