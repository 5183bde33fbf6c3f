"""Escaping intensity of a homogeneous blob and slab."""

import math

import pytest

import ostrel
from conftest import libm, same_bits
from diagnostics import expect_single_block


def blob_model(j, a, r):
    """The blob's escape factor written out step by step."""
    tau = libm.fmax((r + r) * a, 1e-100)
    if tau <= 1e-10:
        f = 1.0
    else:
        if tau > 100.0:
            u = (-1.0 / (tau * tau)) + 0.5
        elif tau >= 0.01:
            e = libm.exp(-tau)
            d = 1.0 - (tau + 1.0) * e
            d = d + d
            d = d / (tau * tau)
            u = (1.0 - d) * 0.5
        else:
            u = tau / 3.0 + (tau * tau) * (-0.125)
        f = (u * 3.0) / tau
    return ((j * r) * f) / 3.0


def slab_model(j, a, r):
    tau = libm.fmax(a * r, 1e-100)
    f = 1.0 if tau <= 1e-10 else (1.0 - libm.exp(-tau)) / tau
    return (j * r) * f


def around(x):
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


# Optical depths at and around every branch boundary, and across the range.
TAUS = sorted(
    set(around(1e-10) + around(0.01) + around(100.0) + [1e-300, 1e-12, 1e-5, 0.3, 1.0, 7.0, 1e3, 1e200])
)


@pytest.mark.parametrize("r", [0.5, 1.0, 3e15])
def test_blob_matches_its_formula_bit_for_bit(r):
    a = [t / (r + r) for t in TAUS]
    j = [1.0 + k for k in range(len(a))]
    assert same_bits(ostrel.rad_trans_blob(r, j, a), [blob_model(x, y, r) for x, y in zip(j, a)])


@pytest.mark.parametrize("r", [0.5, 1.0, 3e15])
def test_slab_matches_its_formula_bit_for_bit(r):
    a = [t / r for t in TAUS]
    j = [1.0 + k for k in range(len(a))]
    assert same_bits(ostrel.rad_trans_slab(r, j, a), [slab_model(x, y, r) for x, y in zip(j, a)])


def test_thin_and_thick_limits():
    j, r = 3.0, 2.0
    assert ostrel.rad_trans_blob(r, [j], [0.0]) == [2.0]  # j R / 3
    assert ostrel.rad_trans_slab(r, [j], [0.0]) == [6.0]  # j R
    a = 1e6
    assert ostrel.rad_trans_blob(r, [j], [a])[0] == pytest.approx(j / (4 * a), rel=1e-12, abs=0.0)
    assert ostrel.rad_trans_slab(r, [j], [a])[0] == pytest.approx(j / a, rel=1e-12, abs=0.0)


def test_slab_at_unit_depth():
    assert ostrel.rad_trans_slab(1.0, [1.0], [1.0])[0] == pytest.approx(1.0 - math.exp(-1.0),
                                                                         rel=1e-15, abs=0.0)


def test_boundaries_take_the_stated_branch():
    # tau = 1e-10 gives f = 1 exactly; tau = 0.01 and 100 use the exponential form.
    assert ostrel.rad_trans_blob(0.5, [3.0], [1e-10]) == [0.5]
    assert ostrel.rad_trans_slab(1.0, [3.0], [1e-10]) == [3.0]
    exact = [blob_model(1.0, t, 0.5) for t in (0.01, 100.0)]
    assert ostrel.rad_trans_blob(0.5, [1.0, 1.0], [0.01, 100.0]) == exact


@pytest.mark.parametrize("t0,rel", [(0.01, 2e-5), (100.0, 1e-15)])
def test_blob_branches_join(t0, rel):
    # The asymptote meets the exponential form to rounding at tau = 100; the
    # second-order series meets it to its truncation error at tau = 0.01.
    below, at, above = ostrel.rad_trans_blob(0.5, [1.0] * 3, around(t0))
    assert below == pytest.approx(at, rel=rel) and above == pytest.approx(at, rel=rel)


def test_series_branch_is_first_order_accurate():
    tau = 1e-4
    f = ostrel.rad_trans_blob(0.5, [3.0], [tau])[0] * 3.0 / (3.0 * 0.5)
    assert f == pytest.approx(1.0 - 3.0 * tau / 8.0, rel=1e-8)


@pytest.mark.parametrize("fn", [ostrel.rad_trans_blob, ostrel.rad_trans_slab])
@pytest.mark.parametrize("a", [0.0, -5.0, math.nan])
def test_unphysical_absorption_gives_the_thin_source(fn, a):
    thin = fn(2.0, [3.0], [0.0])
    assert fn(2.0, [3.0], [a]) == thin


@pytest.mark.parametrize("fn", [ostrel.rad_trans_blob, ostrel.rad_trans_slab])
def test_non_finite_inputs_propagate(fn):
    out = fn(1.0, [math.nan, math.inf, 1.0], [1.0, 1.0, 1.0])
    assert out[0] != out[0] and out[1] == math.inf and math.isfinite(out[2])
    assert all(v != v for v in fn(math.nan, [1.0], [1.0]))


@pytest.mark.parametrize("fn", [ostrel.rad_trans_blob, ostrel.rad_trans_slab])
def test_lengths(fn, capfd):
    assert fn(1.0, [], []) == []
    assert fn(1.0, [], [1.0, 2.0]) == []
    assert len(fn(1.0, [1.0, 2.0], [1.0, 2.0, 3.0])) == 2
    for short in ([], [1.0]):
        with pytest.raises(BaseException) as e:
            fn(1.0, [1.0, 2.0], short)
        assert type(e.value).__name__ == "PanicException"
        assert "index out of bounds" in str(e.value)
        expect_single_block(capfd, str(e.value))
