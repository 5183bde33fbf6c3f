"""The speed of light and the conversions between speed and Lorentz factor."""

import math

import pytest

import ostrel
from conftest import libm, same_bits

inf, nan = math.inf, math.nan


def gofb_model(x):
    root = libm.sqrt(1.0 - x * x)
    return math.inf if root == 0.0 else 1.0 / root


def bofg_model(x):
    return libm.sqrt(1.0 - 1.0 / (x * x)) if (x > 1.0 or x != x) else 0.0


@pytest.mark.parametrize(
    "beta,gamma",
    [(0.0, 1.0), (0.6, 1.25), (-0.6, 1.25), (1.0, inf), (-1.0, inf), (2.0, nan), (nan, nan), (inf, nan)],
)
def test_gofb_values(beta, gamma):
    got = ostrel.gofb(beta)
    assert type(got) is float
    assert got == gamma or (got != got and gamma != gamma)


@pytest.mark.parametrize(
    "gamma,beta",
    [(1.0, 0.0), (0.5, 0.0), (0.0, 0.0), (-3.0, 0.0), (-inf, 0.0), (1.25, 0.6), (inf, 1.0), (nan, nan)],
)
def test_bofg_values(gamma, beta):
    got = ostrel.bofg(arg=gamma)
    assert got == beta or (got != got and beta != beta)
    if beta == 0.0:
        assert math.copysign(1.0, got) == 1.0


def test_round_trip_within_rounding():
    for beta in [0.1, 0.5, 0.9, 0.999]:
        assert ostrel.bofg(ostrel.gofb(beta)) == pytest.approx(beta, rel=1e-8)


def test_vectors_match_the_elementwise_formula_bit_for_bit():
    xs = [0.0, 1e-9, 0.3, 0.6, 0.999, 1.0, 1.5, 12.0, 1e8, inf]
    assert same_bits(ostrel.gofb(xs), [gofb_model(x) for x in xs])
    assert same_bits(ostrel.bofg(tuple(xs)), [bofg_model(x) for x in xs])


@pytest.mark.parametrize("fn", [ostrel.gofb, ostrel.bofg])
def test_dispatch(fn):
    assert fn(0) == fn(0.0) and type(fn(0)) is float
    assert fn([0.5]) == [fn(0.5)]
    assert fn([]) == []
    assert same_bits(fn((0.5, 2)), [fn(0.5), fn(2.0)])

    class FloatAndSequence(list):
        def __float__(self):
            return 0.5

    assert fn(FloatAndSequence([1.0, 2.0])) == fn(0.5)


@pytest.mark.parametrize("fn", [ostrel.gofb, ostrel.bofg])
@pytest.mark.parametrize("bad", ["0.5", ["0.5"], [0.5, None], None, {0.5}, 2 ** 2000, [2 ** 2000], object()])
def test_one_message_for_every_bad_argument(fn, bad):
    with pytest.raises(TypeError) as e:
        fn(bad)
    assert str(e.value) == "Argument must be a float or a list of floats."
    assert e.type is TypeError


@pytest.mark.parametrize("fn", ["gofb", "bofg"])
def test_binding_errors(fn):
    f = getattr(ostrel, fn)
    with pytest.raises(TypeError, match=rf"^{fn}\(\) missing 1 required positional argument: 'arg'$"):
        f()
    with pytest.raises(TypeError, match=rf"^{fn}\(\) takes 1 positional arguments but 2 were given$"):
        f(1, 2)
    with pytest.raises(TypeError, match=rf"^{fn}\(\) got an unexpected keyword argument 'x'$"):
        f(x=1)
    with pytest.raises(TypeError, match=rf"^{fn}\(\) got multiple values for argument 'arg'$"):
        f(1, arg=2)
