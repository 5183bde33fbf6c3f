"""Electron energy distributions in the blob frame.

Each distribution gives n(gamma), electrons per cm^3 per unit Lorentz factor,
between `gamma_min` and `gamma_max` (zero outside), as a shape times a
coefficient. The coefficient is set by exactly one of

- `k`: the coefficient itself (cm^-3);
- `density`: the total number density, integral of n over gamma (cm^-3);
- `energy`: the total energy of the electrons in the blob,
  V m_e c^2 integral of gamma n over gamma (erg), which needs the blob's
  volume V (`coefficient(volume)`).

Shapes (x = gamma):

- `PowerLaw(p)`:            x^-p
- `BrokenPowerLaw(p1, p2, gamma_break)`: (x/gamma_break)^-p1 below the break,
  (x/gamma_break)^-p2 above
- `LogParabola(p, q, gamma_0)`: (x/gamma_0)^(-p - q log10(x/gamma_0))
- `PowerLawCutoff(p, gamma_cutoff)`: x^-p exp(-x/gamma_cutoff)

`tabulate(points_per_decade)` gives a grid and the values on it for the
kernels, with any break placed on the grid: between grid points the kernels
treat n as a power law, which is exact for the power-law shapes.

The integrals of the power-law shapes are closed forms; those of the curved
shapes (and of any other shape) are Gauss-Legendre sums in ln(gamma).
"""

import math

from . import _util
from .constants import ME_C2



def _gauss_legendre(order):
    """Nodes and weights of the Gauss-Legendre rule on [-1, 1] (Newton's
    method on the Legendre polynomial, to the last bit)."""
    nodes, weights = [], []
    for i in range(order):
        x = math.cos(math.pi * (i + 0.75) / (order + 0.5))
        for _ in range(100):
            p0, p1 = 1.0, x
            for k in range(2, order + 1):
                p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
            dp = order * (x * p1 - p0) / (x * x - 1.0)
            dx = p1 / dp
            x -= dx
            if abs(dx) < 1e-16:
                break
        p0, p1 = 1.0, x
        for k in range(2, order + 1):
            p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
        dp = order * (x * p1 - p0) / (x * x - 1.0)
        nodes.append(x)
        weights.append(2.0 / ((1.0 - x * x) * dp * dp))
    return nodes, weights


# The quadrature that turns a curved shape into its integrals: a 10-point
# Gauss-Legendre rule in ln(gamma) on each eighth of a decade, piece by piece
# between breaks. For the log-parabola and the cut-off power law its
# relative error is below 1e-12 (tests/python/test_models_conventions.py,
# against scipy's adaptive quadrature).
_GL_NODES, _GL_WEIGHTS = _gauss_legendre(10)
_GL_INTERVALS_PER_DECADE = 8


class Distribution:
    """Base class: the range, the normalisation and the integrals."""

    name = "distribution"
    #: shape parameters, in order, for repr and model files
    parameters = ()
    #: whether the shape is a power law between its ends and breaks
    power_law_pieces = False

    def __init__(self, gamma_min, gamma_max, *, k=None, density=None, energy=None):
        self.gamma_min = _util.number("gamma_min", gamma_min, minimum=1.0)
        self.gamma_max = _util.number("gamma_max", gamma_max, above=self.gamma_min)
        given = [(n, v) for n, v in (("k", k), ("density", density), ("energy", energy)) if v is not None]
        if len(given) != 1:
            names = ", ".join(n for n, _ in given) or "none"
            raise ValueError(f"give exactly one of k, density, energy (got {names})")
        self.normalisation, value = given[0]
        self.normalisation_value = _util.number(self.normalisation, value, positive=True)

    # -- the shape, to be given by each distribution -------------------------
    def shape(self, gamma):  # pragma: no cover - abstract
        raise NotImplementedError

    def breaks(self):
        """Lorentz factors inside the range where the shape has a kink."""
        return ()

    # -- derived ---------------------------------------------------------------
    def _pieces(self):
        edges = [self.gamma_min] + [b for b in self.breaks() if self.gamma_min < b < self.gamma_max]
        return list(zip(edges, edges[1:] + [self.gamma_max]))

    def _shape_moment(self, power):
        """Integral of gamma^power shape(gamma) over the range, piece by
        piece between breaks."""
        return sum(self._piece_moment(lo, hi, float(power)) for lo, hi in self._pieces())

    def _piece_moment(self, lo, hi, power):
        """Integral of gamma^power shape(gamma) from lo to hi, where the shape
        is smooth (Gauss-Legendre in ln gamma)."""
        span = math.log(hi / lo)
        m = max(1, int(math.ceil(span / math.log(10.0) * _GL_INTERVALS_PER_DECADE)))
        h = span / m
        start = math.log(lo)
        total = 0.0
        for i in range(m):
            mid = start + (i + 0.5) * h
            s = 0.0
            for x, w in zip(_GL_NODES, _GL_WEIGHTS):
                g = math.exp(mid + 0.5 * h * x)
                s += w * g ** (power + 1.0) * self.shape(g)
            total += 0.5 * h * s
        return total

    def coefficient(self, volume=None):
        """The coefficient k (cm^-3) of n = k shape(gamma). An energy
        normalisation needs the blob volume (cm^3)."""
        kind, value = self.normalisation, self.normalisation_value
        if kind == "k":
            return value
        if kind == "density":
            return value / self._shape_moment(0.0)
        if volume is None:
            raise ValueError("an energy normalisation needs the blob volume")
        volume = _util.number("volume", volume, positive=True)
        return value / (volume * ME_C2 * self._shape_moment(1.0))

    def density(self, volume=None):
        """Total number density, cm^-3."""
        return self.coefficient(volume) * self._shape_moment(0.0)

    def energy(self, volume):
        """Total electron energy V m_e c^2 integral gamma n dgamma in a volume (cm^3), erg."""
        volume = _util.number("volume", volume, positive=True)
        return volume * ME_C2 * self.coefficient(volume) * self._shape_moment(1.0)

    def moment(self, power, volume=None):
        """Integral of gamma^power n(gamma) over the range, cm^-3."""
        power = _util.number("power", power)
        return self.coefficient(volume) * self._shape_moment(power)

    def __call__(self, gamma, volume=None):
        """n(gamma) in cm^-3 at each Lorentz factor (zero outside the range)."""
        k = self.coefficient(volume)
        g = _util.vector("gamma", gamma)
        return _util.output([k * self.shape(x) if self.gamma_min <= x <= self.gamma_max else 0.0 for x in g])

    def grid(self, points_per_decade):
        """Lorentz factors from gamma_min to gamma_max with at least
        points_per_decade per decade and every break on the grid."""
        return _util.log_grid(self.gamma_min, self.gamma_max, points_per_decade, include=self.breaks())

    def tabulate(self, points_per_decade, volume=None):
        """(gamma, n) as lists on grid(points_per_decade), for the kernels."""
        k = self.coefficient(volume)
        g = self.grid(points_per_decade)
        return g, [k * self.shape(x) for x in g]

    def _describe(self):
        return dict([(p, getattr(self, p)) for p in self.parameters]
                    + [("gamma_min", self.gamma_min), ("gamma_max", self.gamma_max),
                       (self.normalisation, self.normalisation_value)])

    def __repr__(self):
        return f"{type(self).__name__}(" + ", ".join(f"{k}={v!r}" for k, v in self._describe().items()) + ")"

    def __eq__(self, other):
        return type(self) is type(other) and self._describe() == other._describe()


class PowerLaw(Distribution):
    """n = k gamma^-p."""

    name = "power_law"
    parameters = ("p",)
    power_law_pieces = True

    def __init__(self, p, gamma_min, gamma_max, **norm):
        self.p = _util.number("p", p)
        super().__init__(gamma_min, gamma_max, **norm)

    def shape(self, gamma):
        return gamma ** -self.p

    def _piece_moment(self, lo, hi, power):
        # integral of gamma^(power - p): closed form
        span = math.log(hi / lo)
        return lo ** (power - self.p + 1.0) * _util.powerlaw_factor((power - self.p) * span, span)


class BrokenPowerLaw(Distribution):
    """n = k (gamma/gamma_break)^-p1 below the break, k (gamma/gamma_break)^-p2 above."""

    name = "broken_power_law"
    parameters = ("p1", "p2", "gamma_break")
    power_law_pieces = True

    def __init__(self, p1, p2, gamma_break, gamma_min, gamma_max, **norm):
        self.p1 = _util.number("p1", p1)
        self.p2 = _util.number("p2", p2)
        self.gamma_break = _util.number("gamma_break", gamma_break, positive=True)
        super().__init__(gamma_min, gamma_max, **norm)
        if not self.gamma_min <= self.gamma_break <= self.gamma_max:
            raise ValueError(f"gamma_break must lie between gamma_min and gamma_max, got {self.gamma_break!r}")

    def shape(self, gamma):
        x = gamma / self.gamma_break
        return x ** -(self.p1 if gamma <= self.gamma_break else self.p2)

    def breaks(self):
        return (self.gamma_break,)

    def _piece_moment(self, lo, hi, power):
        # gamma_break^(power + 1) times the integral of x^(power - p) over
        # x = gamma / gamma_break: closed form (pieces never straddle the break)
        p = self.p1 if hi <= self.gamma_break else self.p2
        span = math.log(hi / lo)
        x0 = lo / self.gamma_break
        return (self.gamma_break ** (power + 1.0) * x0 ** (power - p + 1.0)
                * _util.powerlaw_factor((power - p) * span, span))


class LogParabola(Distribution):
    """n = k (gamma/gamma_0)^(-p - q log10(gamma/gamma_0))."""

    name = "log_parabola"
    parameters = ("p", "q", "gamma_0")

    def __init__(self, p, q, gamma_0, gamma_min, gamma_max, **norm):
        self.p = _util.number("p", p)
        self.q = _util.number("q", q)
        self.gamma_0 = _util.number("gamma_0", gamma_0, positive=True)
        super().__init__(gamma_min, gamma_max, **norm)

    def shape(self, gamma):
        x = gamma / self.gamma_0
        return x ** (-self.p - self.q * math.log10(x))


class PowerLawCutoff(Distribution):
    """n = k gamma^-p exp(-gamma/gamma_cutoff)."""

    name = "power_law_cutoff"
    parameters = ("p", "gamma_cutoff")

    def __init__(self, p, gamma_cutoff, gamma_min, gamma_max, **norm):
        self.p = _util.number("p", p)
        self.gamma_cutoff = _util.number("gamma_cutoff", gamma_cutoff, positive=True)
        super().__init__(gamma_min, gamma_max, **norm)

    def shape(self, gamma):
        return gamma ** -self.p * math.exp(-gamma / self.gamma_cutoff)


SHAPES = {cls.name: cls for cls in (PowerLaw, BrokenPowerLaw, LogParabola, PowerLawCutoff)}


class Tabulated(Distribution):
    """A distribution given by its values on a grid (for example the result
    of an evolution): a power law between grid points, zero outside."""

    name = "tabulated"

    def __init__(self, gamma, n):
        g = _util.vector("gamma", gamma, positive=True, ascending=True, minimum=2)
        values = _util.vector("n", n, nonnegative=True, length=len(g))
        if g[0] < 1.0:
            raise ValueError(f"gamma must be at least 1, got {g[0]!r}")
        self.gamma_values, self.n_values = g, values
        self.gamma_min, self.gamma_max = g[0], g[-1]
        self.normalisation, self.normalisation_value = "k", 1.0

    def shape(self, gamma):
        return _util.interp_loglog([gamma], self.gamma_values, self.n_values)[0]

    def _shape_moment(self, power):
        return _util.integrate_powerlaw(self.gamma_values, [x ** power * v for x, v in
                                                             zip(self.gamma_values, self.n_values)])

    def grid(self, points_per_decade):
        return list(self.gamma_values)

    def tabulate(self, points_per_decade, volume=None):
        return list(self.gamma_values), list(self.n_values)

    def _describe(self):
        return {"gamma": self.gamma_values, "n": self.n_values}

    def __repr__(self):
        return f"Tabulated({len(self.gamma_values)} points, {self.gamma_min!r} ... {self.gamma_max!r})"
