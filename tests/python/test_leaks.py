"""Repeated calls leave reference counts and process memory unchanged."""

import gc
import os
import sys

import pytest

import ostrel
from conftest import BOUND, IS_PYPY, REGISTERED, valid_args
from samples import ok_call, panic_call

pytestmark = pytest.mark.skipif(IS_PYPY, reason="PyPy has no reference counts to observe")

CALLS = 200
# Rounds of the memory check; OSTREL_LEAK_ROUNDS=10000 for a long run.
ROUNDS = int(os.environ.get("OSTREL_LEAK_ROUNDS", "500"))


class Seq:
    """A sequence that is neither a list nor a tuple: converted item by item."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def as_generic(args):
    return [Seq(a) if isinstance(a, list) else a for a in args]


def outcomes(name):
    """(label, args, kwargs) for success and every failure path of `name`."""
    paths = [("ok", ok_call(name), {}), ("ok, generic sequences", as_generic(fresh(list(ok_call(name)))), {})]
    if name in BOUND:
        paths += [
            ("too many", valid_args(name) + [1.0, 2.0], {}),
            ("bad keyword", valid_args(name), {"bogus": 1.0}),
            ("bad last argument", valid_args(name)[:-1] + [object()], {}),
            ("overflow", [2 ** 2000] * len(valid_args(name)), {}),
        ]
    elif name != "get_c":
        paths += [("not a float", (["x"],), {})]
    if panic_call(name) is not None:
        paths.append(("panic", panic_call(name), {}))
    return paths


def fresh(value):
    """A copy of the argument made of new objects only: shared constants
    (small ints, cached floats, None) have reference counts that other code
    changes under our feet."""
    if isinstance(value, list):
        return [fresh(v) for v in value]
    if isinstance(value, tuple):
        return tuple(fresh(v) for v in value)
    if type(value) is float:
        return float(repr(value))
    return value


def objects_in(value):
    """The argument objects and everything inside them that the test owns."""
    found = [value] if isinstance(value, (list, tuple, float, Seq)) else []
    for item in value.items if isinstance(value, Seq) else value if isinstance(value, (list, tuple)) else ():
        found += objects_in(item)
    return found


def call(name, args, kwargs):
    try:
        return getattr(ostrel, name)(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - failures are among the paths measured
        return type(e)


@pytest.mark.parametrize("name", REGISTERED)
def test_reference_counts_unchanged(name, capfd):
    for label, args, kwargs in outcomes(name):
        args, kwargs = fresh(list(args)), {k: fresh(v) for k, v in kwargs.items()}
        watched = [o for a in list(args) + list(kwargs.values()) for o in objects_in(a)]
        call(name, args, kwargs)  # create anything created once (the exception type)
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        total_before = getattr(sys, "gettotalrefcount", lambda: 0)()
        for _ in range(CALLS):
            call(name, args, kwargs)
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        assert after == before, f"{name} ({label}) changed reference counts"
        total_after = getattr(sys, "gettotalrefcount", lambda: 0)()
        assert total_after - total_before < CALLS, f"{name} ({label}) leaks references"
    capfd.readouterr()


PANIC_ARGS = ("rad_trans_slab", (1.0, [1.0], []), {})


def test_exception_type_reference_count_is_stable(capfd):
    panic_type = call(*PANIC_ARGS)
    assert panic_type.__name__ == "PanicException"
    gc.collect()
    before = sys.getrefcount(panic_type)
    for _ in range(CALLS):
        call(*PANIC_ARGS)
    gc.collect()
    assert sys.getrefcount(panic_type) == before
    capfd.readouterr()


# Grid sizes for the memory check: large enough that a leaked vector or
# result shows, small enough to keep each call in the millisecond range.
LEAK_SIZES = {"ic_iso_powlaw_full": 40, "rad_cool_pwl": 30, "syn_emissivity_full": 8}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("name", REGISTERED)
def test_memory_stays_flat(name, capfd):
    # Inputs large enough that leaking one vector or one result per call
    # would show within the repetitions below.
    paths = [(label, args, kwargs) for label, args, kwargs in outcomes(name)]
    paths[0] = ("ok", ok_call(name, size=LEAK_SIZES.get(name, 400)), {})
    for _ in range(50):
        for _, args, kwargs in paths:
            call(name, args, kwargs)
    gc.collect()
    before = rss_bytes()
    for _ in range(ROUNDS):
        for _, args, kwargs in paths:
            call(name, args, kwargs)
    gc.collect()
    grown = rss_bytes() - before
    capfd.readouterr()
    print(f"{name}: {ROUNDS} rounds of {len(paths)} calls, resident memory {grown:+d} bytes")
    assert grown < 4 << 20, f"{name}: resident memory grew by {grown} bytes over {ROUNDS} rounds"
