"""Errors on the way into a call: keyword names without a UTF-8 form, and
interrupts, exits and MemoryError raised by the caller's objects, which are
never discarded or renamed, while ordinary errors keep their messages."""

import pytest

import ostrel
from conftest import BOUND, IS_PYPY, PARAMS, valid_args

KINEMATIC = ["gofb", "bofg"]
DISPATCH = "Argument must be a float or a list of floats."


def call(name, *args, **kwargs):
    return getattr(ostrel, name)(*args, **kwargs)


def args_of(name):
    return [1.0] if name in KINEMATIC else valid_args(name)


# ------------------------------------------------- keyword names without UTF-8


class ShownOtherwise(str):
    def __repr__(self):
        raise AssertionError("the caller's __repr__ must not run")


@pytest.mark.parametrize("name", BOUND + KINEMATIC)
@pytest.mark.parametrize("key", ["\udc80", "arg\ud800x", "é\udfff"])
def test_keyword_without_utf8_is_unexpected(name, key):
    with pytest.raises(TypeError) as e:
        call(name, *args_of(name), **{key: 1.0})
    assert str(e.value) == f"{name}() got an unexpected keyword argument {key!r}"


def test_keyword_without_utf8_of_a_str_subclass_is_shown_as_plain_repr():
    key = ShownOtherwise("x\udc80")
    with pytest.raises(TypeError) as e:
        ostrel.gofb(1.0, **{key: 1.0})
    assert str(e.value) == "gofb() got an unexpected keyword argument 'x\\udc80'"


def test_keywords_are_still_checked_in_order():
    with pytest.raises(TypeError, match=r"^rad_trans_slab\(\) got multiple values for argument 'blob_radius'$"):
        ostrel.rad_trans_slab(1.0, [1.0], [0.0], **{"blob_radius": 2.0, "\udc80": 1.0})


# ------------------------------------------------- errors that must pass on

PASS_ON = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]
ORDINARY = [ValueError, TypeError, ZeroDivisionError, RuntimeError]


class Raiser:
    """Raises the given exception from the named special method."""

    def __init__(self, error, where, items=(0.5, 0.25)):
        self.error, self.where, self.items = error, where, list(items)

    def _maybe(self, where):
        if self.where == where:
            raise self.error


class FloatLike(Raiser):
    def __float__(self):
        self._maybe("__float__")
        return 0.5


class IndexLike(Raiser):
    def __index__(self):
        self._maybe("__index__")
        return 0


class SequenceLike(Raiser):
    def __len__(self):
        self._maybe("__len__")
        return len(self.items)

    def __getitem__(self, i):
        self._maybe("__getitem__")
        return self.items[i]


class IterableSequence(SequenceLike):
    def __iter__(self):
        self._maybe("__iter__")
        return iter(self.items)


def hostile(error, where):
    """An argument for gofb/bofg that raises `error` at `where`."""
    if where == "__float__":
        return FloatLike(error, where)
    if where == "__index__":
        return IndexLike(error, where)
    if where == "item __float__":
        return [0.5, FloatLike(error, "__float__")]
    if where == "__iter__":
        return IterableSequence(error, where)
    return SequenceLike(error, where)


KINEMATIC_PLACES = ["__float__", "__getitem__", "item __float__", "__iter__", "__len__"] + (
    [] if IS_PYPY else ["__index__"])


@pytest.mark.parametrize("name", KINEMATIC)
@pytest.mark.parametrize("where", KINEMATIC_PLACES)
@pytest.mark.parametrize("kind", PASS_ON)
def test_kinematic_passes_interrupts_on_unchanged(name, where, kind):
    error = kind("from the caller")
    with pytest.raises(kind) as e:
        call(name, hostile(error, where))
    assert e.value is error


@pytest.mark.parametrize("name", KINEMATIC)
@pytest.mark.parametrize("where", KINEMATIC_PLACES)
@pytest.mark.parametrize("kind", ORDINARY)
def test_kinematic_ordinary_errors_keep_the_dispatch_message(name, where, kind):
    argument = hostile(kind("ordinary"), where)
    if where == "__len__":
        # The length only sizes a reservation: its error is discarded.
        assert call(name, argument) == call(name, [0.5, 0.25])
        return
    with pytest.raises(TypeError) as e:
        call(name, argument)
    assert str(e.value) == DISPATCH


VECTOR_PARAMS = [(name, param) for name in BOUND for param, kind in PARAMS[name] if kind == "v"]


def with_argument(name, param, value):
    args = valid_args(name)
    args[[p for p, _ in PARAMS[name]].index(param)] = value
    return args


@pytest.mark.parametrize(("name", "param"), VECTOR_PARAMS)
@pytest.mark.parametrize("kind", PASS_ON)
def test_vector_length_passes_interrupts_on_unchanged(name, param, kind):
    error = kind("from __len__")
    with pytest.raises(kind) as e:
        call(name, *with_argument(name, param, SequenceLike(error, "__len__")))
    assert e.value is error


@pytest.mark.parametrize("kind", ORDINARY)
def test_vector_length_ordinary_errors_are_discarded(kind):
    assert ostrel.rad_trans_slab(1.0, SequenceLike(kind("no length"), "__len__"), [0.0, 0.0]) == [0.5, 0.25]


class NamelessMeta(type):
    error = None

    def __getattribute__(cls, name):
        if name == "__qualname__" and type.__getattribute__(cls, "error") is not None:
            raise type.__getattribute__(cls, "error")
        return super().__getattribute__(name)


def nameless_object(error):
    cls = NamelessMeta("Nameless", (), {})
    cls.error = error
    return cls()


@pytest.mark.parametrize("kind", PASS_ON)
def test_reading_the_type_name_passes_interrupts_on(kind):
    error = kind("from __qualname__")
    with pytest.raises(kind) as e:
        ostrel.rad_trans_slab(1.0, nameless_object(error), [0.0])
    assert e.value is error
    with pytest.raises(kind) as e:
        ostrel.rad_cool_mono([1.0], 1.0, 1.0, nameless_object(error))
    assert e.value is error


def test_unreadable_type_name_keeps_the_placeholder():
    with pytest.raises(TypeError) as e:
        ostrel.rad_trans_slab(1.0, nameless_object(ValueError("no name")), [0.0])
    assert str(e.value) == "argument 'j_nu': '<failed to extract type name>' object cannot be converted to 'Sequence'"


class Unprintable:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


class RaisesTypeErrorOf:
    def __init__(self, payload):
        self.payload = payload

    def __float__(self):
        raise TypeError(self.payload)


@pytest.mark.parametrize("kind", PASS_ON)
def test_renaming_a_type_error_passes_interrupts_on(kind):
    # The renamed message needs str() of the caller's TypeError.
    error = kind("from __str__")
    with pytest.raises(kind) as e:
        ostrel.rad_trans_slab(RaisesTypeErrorOf(Unprintable(error)), [1.0], [0.0])
    assert e.value is error


def test_renaming_an_unprintable_type_error_reports_the_original():
    payload = Unprintable(ValueError("cannot print"))
    with pytest.raises(TypeError) as e:
        ostrel.rad_trans_slab(RaisesTypeErrorOf(payload), [1.0], [0.0])
    assert e.value.args == (payload,)
