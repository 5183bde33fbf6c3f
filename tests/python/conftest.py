"""Shared facts about the module's interface, used across the test files."""

import ctypes
import ctypes.util
import platform

import pytest

import ostrel

IS_PYPY = platform.python_implementation() == "PyPy"

# Every exported function in registration order, with the kind of each
# parameter: "f" float, "v" float vector, "b" bool, "o" optional bool.
TABLE = [
    ("get_c", []),
    ("gofb", [("arg", "fv")]),
    ("bofg", [("arg", "fv")]),
    ("eq_59_park1995", [("t", "f"), ("g", "v")]),
    (
        "fp_findif_difu",
        [("dt_in", "f"), ("gamma_bins", "v"), ("nin", "v"), ("gdot_in", "v"), ("din", "v"),
         ("qin", "v"), ("tesc_in", "f"), ("tlc", "f"), ("check_params", "o")],
    ),
    ("syn_emissivity_full",
     [("freqs", "v"), ("gamma_bins", "v"), ("n_distrib", "v"), ("b_field", "f"), ("with_abs", "b")]),
    ("rad_trans_blob", [("blob_radius", "f"), ("j_nu", "v"), ("a_nu", "v")]),
    ("ic_iso_powlaw_full", [("freqs", "v"), ("inu", "v"), ("g", "v"), ("n", "v")]),
    ("rad_cool_pwl", [("gg", "v"), ("freqs", "v"), ("uu", "v"), ("with_kn", "b")]),
    ("rad_cool_mono", [("gg", "v"), ("nu0", "f"), ("u0", "f"), ("with_kn", "b")]),
    ("ic_iso_monochrome_full",
     [("freqs", "v"), ("uext", "f"), ("nuext", "f"), ("n", "v"), ("g", "v")]),
    ("rad_trans_slab", [("blob_radius", "f"), ("j_nu", "v"), ("a_nu", "v")]),
]
PARAMS = dict(TABLE)
REGISTERED = [name for name, _ in TABLE if name in ostrel.__all__]
# Functions bound by the common argument rules (all but get_c, gofb, bofg).
BOUND = [name for name in REGISTERED if name not in ("get_c", "gofb", "bofg")]

# A value of each kind that converts without error.
VALID = {"f": 1.0, "v": [1.0, 2.0], "b": True, "o": None, "fv": 1.0}


def valid_args(name):
    return [VALID[kind] for _, kind in PARAMS[name]]


def required(name):
    """Names of the required parameters (all but an optional bool)."""
    return [p for p, kind in PARAMS[name] if kind != "o"]


def needs(*names):
    """Skip a test until every named function is registered."""
    missing = [n for n in names if n not in ostrel.__all__]
    return pytest.mark.skipif(bool(missing), reason=f"not built yet: {', '.join(missing)}")


_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in ("exp", "log", "pow", "sqrt", "hypot", "atan2", "fmax", "fmin"):
    getattr(_libm, _fn).restype = ctypes.c_double
    getattr(_libm, _fn).argtypes = [ctypes.c_double] * (2 if _fn in ("pow", "hypot", "atan2", "fmax", "fmin") else 1)


class libm:
    """The C math library, so that Python models of the kernels round the same."""

    exp = _libm.exp
    log = _libm.log
    pow = _libm.pow
    sqrt = _libm.sqrt
    hypot = _libm.hypot
    atan2 = _libm.atan2
    fmax = _libm.fmax
    fmin = _libm.fmin


def same_bits(a, b):
    """Equality of floats bit for bit (NaN equals NaN, 0.0 differs from -0.0)."""
    return [x.hex() if x == x else "nan" for x in a] == [x.hex() if x == x else "nan" for x in b]


def neville(xa, ya, x):
    """Neville interpolation written out in the kernels' order of operations: (y, dy)."""
    n = len(xa)
    c, d = list(ya), list(ya)
    ho = [v - x for v in xa]
    dif, ns, y = 1.7976931348623157e308, 0, 0.0
    for i in range(n):
        if abs(ho[i]) < dif:
            ns, y, dif = i, ya[i], abs(ho[i])
    dy = 0.0
    for m in range(1, n):
        for i in range(n - m):
            hp = ho[i + m]
            q = (c[i + 1] - d[i]) / (ho[i] - hp)
            d[i] = hp * q
            c[i] = ho[i] * q
        if 2 * ns < n - m:
            dy = c[ns]
        else:
            ns -= 1
            dy = d[ns]
        y = y + dy
    return y, dy
