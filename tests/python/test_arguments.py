"""Binding of arguments to parameters and their conversion into native values."""

import array
import collections
import math

import pytest

import ostrel
from conftest import BOUND, IS_PYPY, PARAMS, VALID, required, valid_args


def call(name, *args, **kwargs):
    return getattr(ostrel, name)(*args, **kwargs)


def message_of(excinfo):
    return str(excinfo.value)


def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("name", BOUND)
def test_too_many_positional(name):
    n, r = len(PARAMS[name]), len(required(name))
    args = valid_args(name) + [1.0, 2.0]
    with pytest.raises(TypeError) as e:
        call(name, *args, bogus=1)  # keywords are not looked at
    taken = f"{n}" if r == n else f"from {r} to {n}"
    assert message_of(e) == f"{name}() takes {taken} positional arguments but {n + 2} were given"


@pytest.mark.parametrize("name", BOUND)
def test_unexpected_keyword(name):
    with pytest.raises(TypeError) as e:
        call(name, *valid_args(name), nope=1)
    assert message_of(e) == f"{name}() got an unexpected keyword argument 'nope'"


@pytest.mark.parametrize("name", BOUND)
def test_multiple_values(name):
    first = PARAMS[name][0][0]
    with pytest.raises(TypeError) as e:
        call(name, *valid_args(name), **{first: 1.0})
    assert message_of(e) == f"{name}() got multiple values for argument '{first}'"


@pytest.mark.parametrize("name", BOUND)
@pytest.mark.parametrize("given", [0, 1, "all-but-last"])
def test_missing_lists_every_empty_required_slot(name, given):
    req = required(name)
    n_given = len(req) - 1 if given == "all-but-last" else given
    if n_given >= len(req):
        pytest.skip("nothing missing")
    with pytest.raises(TypeError) as e:
        call(name, *valid_args(name)[:n_given])
    missing = req[n_given:]
    plural = "argument" if len(missing) == 1 else "arguments"
    assert message_of(e) == (
        f"{name}() missing {len(missing)} required positional {plural}: {quoted(missing)}")


def test_missing_counts_keyword_filled_slots():
    with pytest.raises(TypeError) as e:
        ostrel.rad_trans_blob(j_nu=[1.0])
    assert message_of(e) == "rad_trans_blob() missing 2 required positional arguments: 'blob_radius' and 'a_nu'"


def test_specified_examples():
    with pytest.raises(TypeError, match=r"^rad_trans_slab\(\) missing 2 required positional arguments: 'j_nu' and 'a_nu'$"):
        ostrel.rad_trans_slab(1.0)
    with pytest.raises(TypeError, match=r"^rad_trans_blob\(\) got multiple values for argument 'blob_radius'$"):
        ostrel.rad_trans_blob(1.0, [1.0], [1.0], blob_radius=2.0)


@pytest.mark.parametrize("name", BOUND)
def test_every_parameter_by_keyword_and_in_any_order(name):
    kwargs = {p: VALID[kind] for p, kind in reversed(PARAMS[name])}
    try:
        by_keyword = call(name, **kwargs)
    except BaseException as e:  # noqa: BLE001 - the same outcome either way
        by_keyword = repr(e)
    try:
        by_position = call(name, *valid_args(name))
    except BaseException as e:  # noqa: BLE001
        by_position = repr(e)
    assert by_keyword == by_position


def test_keyword_matching_is_exact():
    with pytest.raises(TypeError, match="unexpected keyword argument 'J_NU'"):
        ostrel.rad_trans_slab(1.0, [1.0], J_NU=[1.0])


# ------------------------------------------------------------- conversion

BAD_VECTORS = [
    ("abc", "Can't extract `str` to `Vec`"),
    ((x for x in [1.0]), "'generator' object cannot be converted to 'Sequence'"),
    ({1.0}, "'set' object cannot be converted to 'Sequence'"),
    ({1: 2.0}, "'dict' object cannot be converted to 'Sequence'"),
    (1.0, "'float' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (collections.OrderedDict(), "'OrderedDict' object cannot be converted to 'Sequence'"),
]


def params_of_kind(kind):
    return [(n, p) for n in BOUND for p, k in PARAMS[n] if k == kind]


def with_arg(name, param, value):
    args = valid_args(name)
    args[[p for p, _ in PARAMS[name]].index(param)] = value
    return args


@pytest.mark.parametrize("name,param", params_of_kind("v"))
@pytest.mark.parametrize("value,text", BAD_VECTORS, ids=lambda x: type(x).__name__)
def test_vector_rejections_name_the_argument(name, param, value, text):
    with pytest.raises(TypeError) as e:
        call(name, *with_arg(name, param, value))
    assert message_of(e) == f"argument '{param}': {text}"
    assert e.type is TypeError


@pytest.mark.parametrize("name,param", params_of_kind("v"))
def test_vector_item_errors_carry_the_hosts_message(name, param):
    with pytest.raises(TypeError) as e:
        call(name, *with_arg(name, param, [1.0, "x"]))
    with pytest.raises(TypeError) as host:
        math.fsum([1.0, "x"])  # the interpreter's own float conversion
    if IS_PYPY:  # PyPy's fsum is not written in C: only the prefix is comparable
        assert message_of(e).startswith(f"argument '{param}': ")
    else:
        assert message_of(e) == f"argument '{param}': {message_of(host)}"


@pytest.mark.parametrize("name,param", params_of_kind("f"))
def test_float_rejections_name_the_argument(name, param):
    with pytest.raises(TypeError) as e:
        call(name, *with_arg(name, param, "1.0"))
    assert message_of(e).startswith(f"argument '{param}': ")
    assert e.value.__cause__ is None


@pytest.mark.parametrize("name,param", params_of_kind("b"))
@pytest.mark.parametrize("value,type_name", [(1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float"), ("True", "str")])
def test_bool_is_exactly_true_or_false(name, param, value, type_name):
    with pytest.raises(TypeError) as e:
        call(name, *with_arg(name, param, value))
    assert message_of(e) == f"argument '{param}': '{type_name}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("name,param", params_of_kind("o"))
def test_optional_bool_rejects_ints(name, param):
    with pytest.raises(TypeError) as e:
        call(name, *with_arg(name, param, 1))
    assert message_of(e) == f"argument '{param}': 'int' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("name,param", params_of_kind("f") + params_of_kind("v"))
def test_overflow_passes_unchanged(name, param):
    kind = dict(PARAMS[name])[param]
    value = 2 ** 2000 if kind == "f" else [1.0, 2 ** 2000]
    with pytest.raises(OverflowError) as e:
        call(name, *with_arg(name, param, value))
    assert e.type is OverflowError
    assert "argument" not in message_of(e)


@pytest.mark.parametrize("name", BOUND)
def test_first_bad_argument_in_parameter_order_is_reported(name):
    params = PARAMS[name]
    bad = {"f": "x", "v": "x", "b": 2, "o": 2}
    args = [bad[kind] for _, kind in params]
    with pytest.raises(TypeError) as e:
        call(name, *args)
    assert message_of(e).startswith(f"argument '{params[0][0]}': ")
    # By keyword, in reverse order: still the first in parameter order.
    with pytest.raises(TypeError) as e:
        call(name, **{p: bad[k] for p, k in reversed(params)})
    assert message_of(e).startswith(f"argument '{params[0][0]}': ")


class CausedFloat:
    def __float__(self):
        try:
            raise ValueError("inner")
        except ValueError as inner:
            raise TypeError("outer") from inner


def test_renamed_error_keeps_the_original_cause():
    with pytest.raises(TypeError) as e:
        ostrel.rad_trans_slab(CausedFloat(), [1.0], [1.0])
    assert str(e.value) == "argument 'blob_radius': outer"
    assert isinstance(e.value.__cause__, ValueError)
    assert str(e.value.__cause__) == "inner"


class RaisesOther:
    def __float__(self):
        raise ZeroDivisionError("boom")


def test_other_error_types_pass_unchanged():
    with pytest.raises(ZeroDivisionError, match="^boom$"):
        ostrel.rad_trans_slab(1.0, [RaisesOther()], [1.0])


class Number:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class FloatSub(float):
    pass


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


VECTOR_FORMS = [
    pytest.param(lambda xs: list(xs), id="list"),
    pytest.param(lambda xs: tuple(xs), id="tuple"),
    pytest.param(lambda xs: Seq(xs), id="sequence"),
    pytest.param(lambda xs: [Number(x) for x in xs], id="__float__ items"),
    pytest.param(lambda xs: [FloatSub(x) for x in xs], id="float subclass items"),
    pytest.param(lambda xs: array.array("d", xs), id="array.array"),
    pytest.param(lambda xs: memoryview(array.array("d", xs)), id="memoryview"),
]


@pytest.mark.parametrize("form", VECTOR_FORMS)
def test_any_sequence_of_numbers_is_a_vector(form):
    xs = [0.5, 3.0, -2.25, 1e300]
    assert ostrel.rad_trans_slab(1.0, form(xs), [0.0] * 4) == xs


def test_ints_convert_as_floats():
    assert ostrel.rad_trans_slab(2, [1, 2], (0, 0)) == [2.0, 4.0]


def test_bytes_are_a_sequence_of_ints():
    assert ostrel.rad_trans_slab(1.0, b"\x01\x07", [0.0, 0.0]) == [1.0, 7.0]


def test_empty_sequences_are_empty_vectors():
    assert ostrel.rad_trans_blob(1.0, [], ()) == []


def test_float_minus_one_is_a_value_not_an_error():
    assert ostrel.rad_trans_slab(-1.0, [Number(-1.0)], [0.0]) == [1.0]


class LyingLength(Seq):
    def __len__(self):
        return 10 ** 15


class FailingLength(Seq):
    def __len__(self):
        raise RuntimeError("no length")


def test_reported_length_only_sizes_the_reservation():
    assert ostrel.rad_trans_slab(1.0, LyingLength([1.0, 2.0]), [0.0, 0.0]) == [1.0, 2.0]
    assert ostrel.rad_trans_slab(1.0, FailingLength([3.0]), [0.0]) == [3.0]


class FailingIteration(Seq):
    def __iter__(self):
        yield 1.0
        raise KeyError("midway")


def test_iteration_errors_end_the_conversion():
    with pytest.raises(KeyError):
        ostrel.rad_trans_slab(1.0, FailingIteration([1.0, 2.0]), [0.0, 0.0])


class Mutating:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 5.0


def test_list_mutated_during_conversion_stops_like_its_iterator():
    items = [1.0]
    items.append(Mutating(items))
    items.append(9.0)
    assert ostrel.rad_trans_slab(1.0, items, [0.0] * 3) == [1.0, 5.0]


@pytest.mark.skipif(IS_PYPY, reason="PyPy's float conversion rejects __index__-only objects")
def test_index_objects_convert_as_floats():
    import operator

    class Idx:
        def __index__(self):
            return 3

    assert operator.index(Idx()) == 3
    assert ostrel.rad_trans_slab(Idx(), [1.0], [0.0]) == [3.0]


# ----------------------------------------------------------------- NumPy

np = None
try:  # NumPy is optional (absent under PyPy).
    import numpy as np
except ImportError:
    pass

needs_numpy = pytest.mark.skipif(np is None, reason="needs NumPy")


@needs_numpy
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: np.array([0.5, -1.0, 2.5e-300, np.inf]), id="float64"),
        pytest.param(lambda: np.array([0.5, -1.0, 3.0, 7.0], dtype=np.float32), id="float32"),
        pytest.param(lambda: np.array([1, 2, 3, 4], dtype=np.int64), id="int64"),
        pytest.param(lambda: np.arange(8.0)[::2], id="strided view"),
        pytest.param(lambda: np.array([1.0, 2.0, 3.0, 4.0], dtype=">f8"), id="big-endian"),
        pytest.param(lambda: np.array([1.0, 2.0, 3.0, 4.0]).view(np.ndarray), id="view"),
    ],
)
def test_numpy_arrays_convert_like_lists(make):
    arr = make()
    assert ostrel.rad_trans_slab(1.0, arr, [0.0] * 4) == [float(x) for x in arr]


@needs_numpy
def test_numpy_nan_and_zero_dimensional():
    out = ostrel.rad_trans_slab(1.0, np.array([np.nan, -0.0]), [0.0, 0.0])
    assert out[0] != out[0] and str(out[1]) == "-0.0"
    with pytest.raises(TypeError, match="^argument 'j_nu': "):
        ostrel.rad_trans_slab(1.0, np.array(1.0), [0.0])
