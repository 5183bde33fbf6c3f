"""Hypothesis strategies that call the exported functions with arbitrary values.

Used by test_fuzz.py (a bounded number of examples in CI) and by
scripts/fuzz.py (long runs). Every call may only end with a result of the
documented shape or one of the documented exceptions; whatever a hostile
argument raises itself (HostileError) passes through unchanged.
"""

import itertools
import math
import warnings

from hypothesis import strategies as st

import ostrel
from conftest import PARAMS, REGISTERED

try:
    import numpy as np
    from hypothesis.extra import numpy as hnp
except ImportError:  # PyPy runs without NumPy
    np = None


class HostileError(Exception):
    """Raised by the hostile objects below; the module must pass it on."""


class FloatRaises:
    def __float__(self):
        raise HostileError("__float__")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")


class FloatSub(float):
    pass


class LengthLies:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 10 ** 12

    def __getitem__(self, i):
        return self.items[i]


class LengthRaises(LengthLies):
    def __len__(self):
        raise HostileError("__len__")


class IterationRaises(LengthLies):
    def __len__(self):
        return len(self.items)

    def __iter__(self):
        yield from self.items[:1]
        raise HostileError("__iter__")


class IterationYieldsText(IterationRaises):
    def __iter__(self):
        yield from self.items
        yield "not a number"


class Endless(LengthLies):
    """A sequence that says it has 3 items and yields many more."""

    def __len__(self):
        return 3

    def __iter__(self):
        return itertools.repeat(1.0, 2000)


HOSTILE = st.sampled_from([FloatRaises(), FloatReturnsText(), IndexRaises(), FloatSub(2.5)])

finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
numbers = st.one_of(
    st.floats(width=64),
    st.floats(min_value=1.0, max_value=1e7),
    st.floats(min_value=1e-30, max_value=1e30),
    st.integers(min_value=-(2 ** 1100), max_value=2 ** 1100),
    st.integers(min_value=-5, max_value=10 ** 6),
    st.booleans(),
    st.sampled_from([0.0, -0.0, 1.0, math.nan, math.inf, -math.inf, 1e-300, 1e300]),
)
items = st.one_of(numbers, numbers, numbers, HOSTILE, st.none(), st.text(max_size=2))
small_lists = st.lists(items, max_size=6)
numeric_lists = st.lists(numbers, max_size=6)
grids = st.lists(st.floats(min_value=1.0, max_value=1e7), min_size=0, max_size=6).map(sorted)

sequences = st.one_of(
    numeric_lists,
    grids,
    small_lists,
    small_lists.map(tuple),
    numeric_lists.map(LengthLies),
    numeric_lists.map(LengthRaises),
    numeric_lists.map(IterationRaises),
    numeric_lists.map(IterationYieldsText),
    numeric_lists.map(Endless),
    numeric_lists.map(lambda xs: (x for x in xs)),
    st.sets(finite, max_size=3),
    st.dictionaries(finite, finite, max_size=3),
    st.binary(max_size=6),
    st.recursive(items, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner), max_leaves=6),
)
if np is not None:
    dtypes = st.sampled_from(["f8", "f4", ">f8", "i8", "u1", "?", "c16", "f2", "m8[s]", "U2"])
    arrays = hnp.arrays(
        dtype=dtypes,
        shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4),
        elements=None,
    )
    sequences = st.one_of(sequences, arrays, arrays.map(lambda a: a[::2] if a.ndim else a), arrays.map(lambda a: a.T))

any_value = st.one_of(numbers, items, sequences, st.just(None), st.booleans(), st.text(max_size=3))


def weighted(first, second, p_first):
    """`first` with probability about p_first, else `second`."""
    return st.integers(0, 99).flatmap(lambda k: first if k < 100 * p_first else second)


def value_for(kind):
    """Mostly well-typed values for a parameter of `kind`, sometimes anything."""
    typed = {
        "f": numbers,
        "v": st.one_of(grids, grids, numeric_lists, numeric_lists, sequences),
        "b": st.booleans(),
        "o": st.one_of(st.none(), st.booleans()),
        "fv": st.one_of(numbers, numeric_lists, sequences),
    }[kind]
    return weighted(typed, any_value, 0.85)


@st.composite
def calls(draw, name):
    """Positional and keyword arguments for one call of `name`."""
    params = PARAMS[name]
    n = len(params)
    count = draw(weighted(st.just(n), st.sampled_from([max(0, n - 1), n + 1, 0]), 0.85))
    values = [draw(value_for(params[i][1])) if i < n else draw(any_value) for i in range(count)]
    # Too many values are all passed positionally; otherwise a tail of them by keyword.
    n_keywords = 0 if count > n else min(count, draw(weighted(st.just(0), st.sampled_from([count, count // 2, 1]), 0.6)))
    split = count - n_keywords
    args = values[:split]
    kwargs = {params[i][0]: values[i] for i in range(split, count)}
    if draw(weighted(st.just(False), st.just(True), 0.95)):
        kwargs[draw(st.sampled_from(["bogus", params[0][0] if n else "x"]))] = draw(any_value)
    return args, kwargs


ALLOWED = (TypeError, OverflowError, MemoryError, HostileError)


def check_outcome(name, args, kwargs):
    """Calls the function; fails on any outcome other than those allowed."""
    fn = getattr(ostrel, name)
    try:
        with warnings.catch_warnings():
            # NumPy warns when its scalars convert to float (complex parts,
            # arrays as scalars): the host's business, not a failure of ours.
            warnings.simplefilter("ignore")
            result = fn(*args, **kwargs)
    except ALLOWED:
        return "error"
    except ValueError as e:
        # NumPy's own conversion of a string array element passes through.
        if "could not convert string to float" not in str(e):
            raise AssertionError(f"{name} raised ValueError: {e}") from e
        return "error"
    except BaseException as e:  # noqa: BLE001 - anything else is a fault unless it is ours
        if type(e).__name__ != "PanicException" or type(e).__module__ != "pyo3_runtime":
            raise AssertionError(f"{name} raised {type(e).__qualname__}: {e}") from e
        return "panic"
    check_result_shape(name, result)
    return "result"


def check_result_shape(name, result):
    if name in ("get_c",):
        assert type(result) is float
    elif name in ("gofb", "bofg"):
        assert type(result) is float or (type(result) is list and all(type(v) is float for v in result))
    elif name == "syn_emissivity_full":
        assert type(result) is tuple and len(result) == 2
        assert all(type(part) is list and all(type(v) is float for v in part) for part in result)
        assert len(result[0]) == len(result[1])
    else:
        assert type(result) is list and all(type(v) is float for v in result)


def module_still_works():
    assert ostrel.gofb(0.6) == 1.25
    assert ostrel.rad_trans_slab(2.0, [3.0], [0.0]) == [6.0]


FUZZED = list(REGISTERED)
