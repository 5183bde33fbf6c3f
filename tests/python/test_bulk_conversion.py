"""Long lists of floats go in and out in one piece where the interpreter makes
that cheaper (PyPy); the results, their types and the errors are those of
the item-by-item conversion that short lists and other sequences take."""

import math
import struct

import pytest

import ostrel
from conftest import IS_PYPY, same_bits

# Shorter than this, every conversion goes item by item (module/bulk.cpp).
SHORT = 8

SPECIAL = [0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 1.7976931348623157e308,
           2.2250738585072014e-308, 0.999999999999, 1.0000000001, 0.6, 1.25, 1e300, -1e-300,
           struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0],   # NaN with a payload
           struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_0001))[0]]   # negative NaN


def values(n):
    out = [SPECIAL[k % len(SPECIAL)] for k in range(n)]
    return [x * (1.0 + k * 1e-9) if k >= len(SPECIAL) else x for k, x in enumerate(out)]


def bits(xs):
    return [struct.pack("<d", x) for x in xs]


def piecewise(function, xs):
    """function applied to short slices (item-by-item path), concatenated."""
    out = []
    for i in range(0, len(xs), SHORT):
        out.extend(function(xs[i:i + SHORT]))
    return out


ELEMENTWISE = {
    "gofb": ostrel.gofb,
    "bofg": ostrel.bofg,
    "rad_trans_slab": lambda xs: ostrel.rad_trans_slab(1.0, xs, [0.0] * len(xs)),
    "rad_trans_blob, as absorption": lambda xs: ostrel.rad_trans_blob(0.5, [1.0] * len(xs), xs),
}


@pytest.mark.parametrize("n", [SHORT, 15, 16, 17, 1000, 100_003])
@pytest.mark.parametrize("name", ELEMENTWISE)
def test_long_lists_equal_item_by_item_bit_for_bit(name, n):
    function = ELEMENTWISE[name]
    xs = values(n)
    kept = bits(xs)
    result = function(xs)
    assert type(result) is list and len(result) == n
    assert all(type(v) is float for v in result)
    assert bits(result) == bits(piecewise(function, xs))
    assert bits(xs) == kept  # the argument is left as it was


def test_values_pass_through_unchanged_in_and_out():
    # rad_trans_slab with zero absorption and radius 1 returns j_nu itself,
    # NaN payloads and signed zeros included.
    for n in (SHORT, 64, 100_000):
        xs = values(n)
        assert bits(ostrel.rad_trans_slab(1.0, xs, [0.0] * n)) == bits(xs)
        assert bits(ostrel.rad_trans_slab(1.0, tuple(xs), tuple([0.0] * n))) == bits(xs)


class FloatSub(float):
    pass


class Counted:
    calls = 0

    def __init__(self, value):
        self.value = value

    def __float__(self):
        Counted.calls += 1
        return self.value


@pytest.mark.parametrize("make", [
    pytest.param(lambda x: FloatSub(x), id="float subclass"),
    pytest.param(lambda x: int(x), id="int"),
    pytest.param(lambda x: True, id="bool"),
    pytest.param(lambda x: Counted(x), id="__float__"),
])
@pytest.mark.parametrize("where", [0, 500, 999])
def test_a_foreign_item_anywhere_converts_as_it_does_alone(make, where):
    xs = [float(k) for k in range(1000)]
    item = make(xs[where])
    mixed = list(xs)
    mixed[where] = item
    Counted.calls = 0
    expected = list(xs)
    expected[where] = float(item)
    calls = Counted.calls
    assert ostrel.rad_trans_slab(1.0, mixed, [0.0] * 1000) == expected
    assert Counted.calls == 2 * calls  # __float__ ran once more, for the call
    assert same_bits(ostrel.gofb([x / 1000 for x in expected]), piecewise(ostrel.gofb, [x / 1000 for x in expected]))


@pytest.mark.parametrize("bad", ["text", None, [1.0], 2 ** 1100])
@pytest.mark.parametrize("n", [3, 1000])
def test_errors_of_long_lists_are_those_of_short_ones(bad, n):
    def error_of(function, *args):
        try:
            function(*args)
        except BaseException as e:  # noqa: BLE001
            return type(e), str(e)
        raise AssertionError("no error")

    long_list = [1.5] * n
    long_list[n // 2] = bad
    expected = error_of(ostrel.rad_trans_slab, 1.0, [1.5, bad], [0.0, 0.0])
    assert error_of(ostrel.rad_trans_slab, 1.0, long_list, [0.0] * n) == expected
    assert error_of(ostrel.rad_trans_slab, 1.0, tuple(long_list), [0.0] * n) == expected
    assert error_of(ostrel.gofb, long_list) == error_of(ostrel.gofb, [1.5, bad])


def test_results_feed_back_in():
    xs = [k / 2e5 for k in range(100_000)]
    gammas = ostrel.gofb(xs)
    back = ostrel.bofg(gammas)
    assert back == piecewise(ostrel.bofg, gammas)
    assert max(abs(a - b) for a, b in zip(back, xs)) < 1e-9
    gammas[5] = "changed"  # the result is an ordinary, mutable list
    assert gammas[5] == "changed"


def test_huge_list():
    n = 2_000_000
    xs = [float(k) for k in range(n)]
    out = ostrel.rad_trans_slab(1.0, xs, [0.0] * n)
    assert len(out) == n and out[0] == 0.0 and out[-1] == n - 1.0 and out[n // 2] == n // 2


@pytest.mark.skipif(not IS_PYPY, reason="PyPy's list storage strategies")
def test_pypy_lists_keep_their_unboxed_storage():
    # Reading item by item would convert the caller's list to C-level items
    # (CPyListStrategy), making every later call slow; the whole-list path
    # leaves it as it is, and results come back unboxed too.
    import __pypy__

    xs = [k / 1e3 for k in range(1000)]
    assert __pypy__.strategy(xs) == "FloatListStrategy"
    result = ostrel.gofb(xs)
    assert __pypy__.strategy(xs) == "FloatListStrategy"
    assert __pypy__.strategy(result) == "FloatListStrategy"
    assert __pypy__.strategy(ostrel.rad_trans_slab(1.0, result, [0.0] * 1000)) == "FloatListStrategy"
