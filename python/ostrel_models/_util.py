"""Vectors in, vectors out: validation at the edge and plain-list numerics.

The model layer computes on Python lists of floats, so that it runs where
NumPy does not exist (PyPy on 32-bit ARM). Vectors may come in as any
sequence or NumPy array; results go out as NumPy arrays when NumPy can be
imported and as lists otherwise.
"""

import math

try:  # NumPy is optional: results are lists without it.
    import numpy as _np
except ImportError:  # pragma: no cover - exercised on hosts without NumPy
    _np = None

HAVE_NUMPY = _np is not None


def output(values):
    """A result vector: a NumPy array when NumPy is importable, else a list."""
    if _np is not None:
        return _np.array(values, dtype=float)
    return list(values)


def _is_bool(value):
    """True for Python's and NumPy's booleans (numpy.bool_ is no bool subclass)."""
    return isinstance(value, bool) or (_np is not None and isinstance(value, _np.bool_))


def _to_float(name, value):
    """float(value) for a real number, or ValueError naming the parameter.

    float() alone would also take text ("1e16"), bytes, NumPy booleans and
    one-element arrays, and raise OverflowError for integers beyond the
    double range: none of these is a number the caller meant."""
    if _is_bool(value):
        raise ValueError(f"{name} must be a number, not a bool")
    if isinstance(value, (str, bytes, bytearray)):
        raise ValueError(f"{name} must be a number, got {value!r}")
    if _np is not None and isinstance(value, _np.ndarray) and value.ndim != 0:
        raise ValueError(f"{name} must be a single number, got an array of shape {value.shape}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name} must be finite, got a number beyond the double range") from None
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None


def number(name, value, *, positive=False, nonnegative=False, minimum=None, above=None):
    """A finite float, or ValueError naming the parameter."""
    x = _to_float(name, value)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {x!r}")
    if positive and not x > 0.0:
        raise ValueError(f"{name} must be positive, got {x!r}")
    if nonnegative and not x >= 0.0:
        raise ValueError(f"{name} must not be negative, got {x!r}")
    if minimum is not None and not x >= minimum:
        raise ValueError(f"{name} must be at least {minimum!r}, got {x!r}")
    if above is not None and not x > above:
        raise ValueError(f"{name} must be above {above!r}, got {x!r}")
    return x


def instance(name, value, cls, *, optional=False):
    """value if it is a `cls` (or None when optional), else ValueError naming
    the parameter."""
    if value is None and optional:
        return None
    if not isinstance(value, cls):
        article = "an" if cls.__name__[0] in "AEIOU" else "a"
        either = " or None" if optional else ""
        raise ValueError(f"{name} must be {article} {cls.__name__}{either}, got {type(value).__name__}")
    return value


def flag(name, value):
    """A switch: True or False (also NumPy's booleans), or ValueError naming
    it: a string such as "no" or a number would otherwise switch it on."""
    if isinstance(value, bool):
        return value
    if _np is not None and isinstance(value, _np.bool_):
        return bool(value)
    raise ValueError(f"{name} must be True or False, got {value!r}")


def vector(name, values, *, positive=False, nonnegative=False, ascending=False, length=None, minimum=1):
    """A list of finite floats from any sequence or 1-D array, or ValueError
    naming the parameter (and the first offending index)."""
    if isinstance(values, (str, bytes, bytearray)):
        raise ValueError(f"{name} must be a sequence of numbers, not a string")
    if _np is not None and isinstance(values, _np.ndarray):
        if values.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {values.shape}")
        values = values.tolist()
    try:
        items = list(values)
    except TypeError:
        raise ValueError(f"{name} must be a sequence of numbers, got {type(values).__name__}") from None
    out = []
    for i, v in enumerate(items):
        out.append(number(f"{name}[{i}]", v, positive=positive, nonnegative=nonnegative))
    if len(out) < minimum:
        raise ValueError(f"{name} needs at least {minimum} value{'s' if minimum != 1 else ''}, got {len(out)}")
    if length is not None and len(out) != length:
        raise ValueError(f"{name} must have {length} values (one per grid point), got {len(out)}")
    if ascending:
        for i in range(1, len(out)):
            if not out[i] > out[i - 1]:
                raise ValueError(f"{name} must be strictly ascending: {name}[{i}] = {out[i]!r} "
                                 f"follows {out[i - 1]!r}")
    return out


def log_grid(lo, hi, points_per_decade, *, include=()):
    """Points from lo to hi (both included), evenly spaced in log with at
    least points_per_decade per decade, with the values of `include` that lie
    strictly inside added (for example a spectral break)."""
    decades = math.log10(hi / lo)
    n = max(1, int(math.ceil(decades * points_per_decade - 1e-9)))
    ratio = math.log(hi / lo) / n
    grid = [lo * math.exp(ratio * i) for i in range(n + 1)]
    grid[0], grid[-1] = lo, hi
    extra = sorted(x for x in include if lo < x < hi)
    if extra:
        # Regular points closer to an inserted value than a tenth of a step
        # are dropped, so that no segment is vanishingly short.
        def crowded(x):
            return any(abs(math.log(x / e)) < 0.1 * ratio for e in extra)
        grid = sorted([grid[0]] + [x for x in grid[1:-1] if not crowded(x)] + extra + [grid[-1]])
    return grid


def interp_loglog(x_new, x, y, floor=0.0):
    """Piecewise power-law interpolation of y(x) (x ascending, positive) at
    x_new; where an end value is not positive the segment is interpolated
    linearly; outside [x[0], x[-1]] the result is `floor`."""
    out = []
    j = 0
    n = len(x)
    for xv in x_new:
        if xv < x[0] or xv > x[-1]:
            out.append(floor)
            continue
        while j < n - 2 and x[j + 1] < xv:
            j += 1
        while j > 0 and x[j] > xv:
            j -= 1
        x0, x1, y0, y1 = x[j], x[j + 1], y[j], y[j + 1]
        if xv == x0:
            out.append(y0)
        elif xv == x1:
            out.append(y1)
        elif y0 > 0.0 and y1 > 0.0:
            out.append(y0 * math.exp(math.log(y1 / y0) * math.log(xv / x0) / math.log(x1 / x0)))
        else:
            out.append(y0 + (y1 - y0) * (xv - x0) / (x1 - x0))
    return out


def powerlaw_factor(dlog_y, dlog_x):
    """Integral of (x/x0)^s over x from x0 to x1, divided by x0, for the
    power law with dlog_y = ln(y1/y0) and dlog_x = ln(x1/x0) > 0, that is
    (e^((s+1) dlog_x) - 1) / (s + 1) with s = dlog_y / dlog_x; expm1 keeps
    it accurate when s is close to -1, where it tends to dlog_x."""
    t = dlog_y + dlog_x  # (s + 1) dlog_x
    if t == 0.0:
        return dlog_x
    return math.expm1(t) * dlog_x / t


def integrate_powerlaw(x, y):
    """Integral of y over x, with y a power law between neighbouring points
    (exact for piecewise power laws; linear where a value is not positive)."""
    total = 0.0
    for i in range(len(x) - 1):
        x0, x1, y0, y1 = x[i], x[i + 1], y[i], y[i + 1]
        if y0 > 0.0 and y1 > 0.0:
            total += y0 * x0 * powerlaw_factor(math.log(y1 / y0), math.log(x1 / x0))
        else:
            total += 0.5 * (y0 + y1) * (x1 - x0)
    return total
