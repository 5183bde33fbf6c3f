"""Steady-state spectral energy distribution of a blob.

Conventions (all kernels run in the blob frame; primes mark blob-frame
quantities):

- Synchrotron emissivity j'_nu' (per sr) and absorption alpha'_nu' of the
  electrons in the blob's tangled field; escaping intensity of a uniform
  sphere I' (Gould 1979), luminosity L'_nu' = 16 pi^2 R^2 I'_nu'.
- Self-Compton seed: the synchrotron photons' energy density averaged over
  the sphere's volume is 9/4 of the value 4 pi I'/c at its surface (Gould
  1979; Dermer & Menon 2009, eq. 7.40 and Fig. 7.4; the convention of agnpy),
  so the isotropic seed intensity is (9/4) I'_syn.
- External Compton: an isotropic monochromatic field in the blob frame
  (energy density u', frequency nu'). This is an approximation: a field that
  is isotropic in the galaxy's frame (a broad-line region or torus, energy
  density u, frequency nu) is seen in the blob moving with Lorentz factor
  Gamma as u' ~ (4/3) Gamma^2 u at nu' ~ Gamma nu, strongly beamed head-on;
  its scattered emission is then anisotropic in the blob frame and boosted
  as delta^(4 + 2 alpha) rather than delta^(3 + alpha) (Dermer 1995).
  Treating it as isotropic in the blob frame keeps the spectral shape and the
  total power but not that extra beaming.
- Every component's emissivity goes through the same transfer with the
  synchrotron absorption, so the components add up to the total.
- Observer frame: nu = delta nu' / (1 + z), nu F_nu = delta^4 nu' L'_nu' /
  (4 pi d_L^2) (see `ostrel_models.blob`).

Grids (`Grids`): each process gets the grid its error law needs (measured,
`python scripts/models_accuracy.py`; the numbers are in `Grids`), and every
kernel is evaluated at the output frequencies themselves.

- Synchrotron and external Compton take n as a power law between grid
  points: exact for PowerLaw and BrokenPowerLaw (tabulated on their breaks
  and ends alone), and for a curved shape off by the chord error, at most
  c step^2 / 8 with c = |d^2 ln n / d(ln gamma)^2|. Curved shapes are
  therefore tabulated with every segment split until c step^2 is below a
  bound (`adaptive_tabulation`): 1e-3 (4 / synchrotron)^2 for the output,
  20 times looser for the self-Compton seed, 1e-3 (16 / external)^2 for
  external Compton, 1e-2 (80 / compton)^2 for self-Compton. The error falls
  with the bound, i.e. as the square of the step (PowerLawCutoff, whose
  c = gamma / gamma_cutoff grows without limit, the slowest: about
  step^1.3).
- Self-Compton (`ic_iso_powlaw_full`) counts, for a seed segment [a, b] and
  a frequency nu, only the electron segments that lie wholly above the
  threshold sqrt(nu / (4 a)), and cuts the electrons of the whole segment at
  the Klein-Nishina limit m_e c^2 / (4 h b). The first loss is removed
  here: every seed segment goes to the kernel with electrons that have the
  threshold of each of its frequencies as a grid point (n on the same
  power law there, `compton_by_segment`), so the electrons are exact for
  PowerLaw, BrokenPowerLaw and Tabulated distributions. What remains
  follows the seed step h: the cut at b is first order in h where it
  shapes the spectrum (seeds above nu_star = m_e c^2 / (4 h gamma_max), the
  Klein-Nishina region), the electrons between sqrt(nu / (4 b)) and
  sqrt(nu / (4 a)), where the scattering kernel vanishes, and the seed's
  power-law chords are second order. Self-Compton is therefore computed on
  seed grids of h, h/2 (and h/4 above nu_star) and extrapolated to zero
  step for errors a h + b h^2 + c h^3 above nu_star, b h^2 + c h^3 below.
- The seed intensity is sampled with the synchrotron kernel at 3 points per
  decade and at the output frequencies (whose synchrotron is needed
  anyway), segments split where the curvature of ln I calls for it, and
  interpolated (cubic in log-log) onto the seed grids: the synchrotron
  kernel costs 15-30 us a frequency, and the seed grids have several
  hundred points. The seed is taken where it is at least 1e-6 of its
  largest intensity.
- Close to the kinematic limit h nu' = gamma_max m_e c^2 the region that
  scatters to nu' = limit e^-d is a triangle of side d in (ln nu_seed,
  ln gamma) at (nu_star, gamma_max), so the seed step must be small against
  d: above 1e-2 of the limit the seed grid is graded towards nu_star, its
  step (8 / compton) times the distance from nu_star, down to that times
  the smallest d asked for, and these few frequencies go to the kernel with
  several seed segments per call.
- The seed grids are split where the seed's power-law chords would be off
  by more than a bound (`BlobEmission._split_curved`): at the self-absorption
  turnover and in the exponential cut-off above the critical frequency of
  gamma_max, which the self-Compton edge of narrow or steep electron spectra
  is made of (13 % off there without it).
- The finer seed levels are computed where the first level gives nu j at
  least 1e-4 of its largest value; at the other frequencies (self-Compton
  far below its peak) the first level stands (within 0.4 % of converged on
  the reference blob).
"""

import bisect
import math

from . import _util, kernels
from .blob import Blob
from .constants import C, H, ME_C2, NU_B_PER_GAUSS
from .distributions import Distribution, Tabulated

# The self-Compton seed intensity is 9/4 of the escaping synchrotron
# intensity: the volume average over a uniform sphere (Gould 1979).
SEED_FACTOR = 9.0 / 4.0

# Synchrotron emission and absorption beyond this many critical frequencies
# of gamma_max are below e^-100 of their value there: they are set to zero
# instead of evaluated.
_SYNCHROTRON_CUT = 100.0

# Bounds on |d^2 ln n / d(ln gamma)^2| step^2 of the synchrotron and external
# Compton grids of curved shapes: for the output and, looser, for the
# self-Compton seed (see `adaptive_tabulation` and `Grids`).
_CURVATURE_OUTPUT = 0.001
_CURVATURE_SEED = 0.05
_CURVATURE_COMPTON = 0.01

# Self-Compton (see `BlobEmission._ssc_emissivity`): the seed intensity is
# sampled (synchrotron kernel) at _SEED_SAMPLES points per decade and at the
# output frequencies, segments split until the chord bound c h^2 <=
# _SEED_SAMPLE_CURVATURE holds, and interpolated from there (`_interp_seed`).
# Self-Compton takes the seed where it is at least _SEED_FLOOR of its largest
# intensity. Output frequencies above exp(-_LIMIT_BAND) of the kinematic limit
# get seed steps graded towards nu_star, down to rate * max(d_min,
# _NEAR_FLOOR), d_min the distance (in ln nu) of the highest one below the
# limit (`seed_grid`). The seed levels (each of half the step of the one
# before) below nu_star and in the Klein-Nishina region above it are
# _LEVELS_BELOW and _LEVELS_ABOVE by `Grids.extrapolate`; the finer levels are
# computed where the first gives nu j at least _SSC_BAND of its largest value.
# With fewer than _CHUNK_WORK / chunk output frequencies, `chunk` seed segments
# go to the kernel at once. The seed grids' segments are split until c h^2 <=
# _SPLIT_CURVATURE (80 / compton)^2 holds for the interpolated seed
# (`BlobEmission._split_curved`). _SEED_FLOOR and the bounds of the seed's
# shares are in `_live_range`.
_SEED_SAMPLES = 3.0
_SEED_SAMPLE_CURVATURE = 0.05
_SEED_FLOOR = 1e-6
_LIMIT_BAND = math.log(100.0)
_NEAR_FLOOR = 1e-3
_LEVELS_BELOW = {False: 1, True: 2, "fine": 3}
_LEVELS_ABOVE = {False: 1, True: 3, "fine": 4}
_SSC_BAND = 1e-4
_CHUNK_WORK = 64
_SPLIT_CURVATURE = 0.02
# m_e c^2 / (4 h): the Klein-Nishina limit of the kernel is this over nu
_KN_GAMMA_TIMES_NU = 0.25 * ME_C2 / H


class ExternalField:
    """An isotropic monochromatic photon field in the blob frame:
    energy_density (erg cm^-3) at frequency (Hz)."""

    def __init__(self, energy_density, frequency):
        self.energy_density = _util.number("energy_density", energy_density, positive=True)
        self.frequency = _util.number("frequency", frequency, positive=True)

    def __repr__(self):
        return f"ExternalField(energy_density={self.energy_density!r}, frequency={self.frequency!r})"


class Grids:
    """Internal grid densities (points per decade).

    - `synchrotron`: Lorentz factors for synchrotron (emission, absorption
      and the self-Compton seed); curved shapes are split further until the
      chord error bound 1e-3 (4 / synchrotron)^2 holds (module docstring);
    - `compton`: the resolution of self-Compton, one number for all of its
      grids (default 80): seed points per decade compton / 16 (the coarser
      level; see `seed`), the seed steps graded towards the kinematic limit
      at a rate 8 / compton of the distance, seed segments split until the
      chord error bound 0.05 (80 / compton)^2 of the seed's curvature holds,
      and curved electron shapes tabulated at compton / 5 per decade with
      the chord bound 1e-3 (80 / compton)^2;
    - `seed`: seed points per decade of the coarser level away from the
      kinematic limit (None: compton / 16);
    - `extrapolate`: True (default) adds a level of half the seed step where
      the Klein-Nishina cut makes the error first order in the step and
      extrapolates to zero step; False computes one level; "fine" three
      levels, combined for an error a h + b h^2 (for reference
      computations);
    - `external`: Lorentz factors for external Compton (None: the denser of
      16 and `synchrotron`), curved shapes split to 1e-3 (16 / external)^2.

    Measured (`python scripts/models_accuracy.py`): reference blob R = 1e16
    cm, B = 0.1 G, delta = 10, z = 0, d_L = 1e27 cm; electrons of 1e47 erg
    from gamma 1e2 to 1e6 as PowerLaw(2.2), BrokenPowerLaw(2, 3, 1e4),
    LogParabola(2, 0.4, 1e4), PowerLawCutoff(2, 1e5); external field 1e-2
    erg cm^-3 at 3e14 Hz; 100 frequencies 1e8-1e27 Hz. Error: the largest
    |f / f_ref - 1| where the component is at least 1e-3 of its peak, against
    Grids(32, 320, None, "fine", 64), which is within 0.002 % of the same at
    compton=640 and within 0.04-0.06 % (Thomson band) and 0.06-0.12 % (up to
    the kinematic limit) of the reference of the earlier scheme, whose
    electron grids were shared by all frequencies.

    - Synchrotron, with or without absorption: exact (0.000 %) for PowerLaw
      and BrokenPowerLaw at any density; LogParabola 0.13 / 0.032 / 0.008 /
      0.002 % and PowerLawCutoff 3.1 / 1.3 / 0.58 / 0.25 % at synchrotron 1 /
      2 / 4 / 8: as the step^2 (the cut-off, whose curvature grows without
      limit in its tail, as step^1.2).
    - External Compton: exact for (broken) power laws; LogParabola 2.0 /
      0.44 / 0.11 / 0.026 % and PowerLawCutoff 2.3 / 0.59 / 0.09 / 0.025 %
      at external 1 / 2 / 4 / 8: step^2.
    - Self-Compton over its whole window, BrokenPowerLaw, at compton 40 /
      80 / 160: one level 38 / 19 / 7.7 %, extrapolated 2.2 / 0.45 / 0.07 %;
      above 1e-2 of the kinematic limit 0.72 / 0.17 / 0.03 %.
    - The defaults (4, 80, None, True, None): self-Compton within 0.45 /
      0.53 / 0.71 / 0.55 % (BrokenPowerLaw / PowerLaw / LogParabola /
      PowerLawCutoff), synchrotron within 0.5 % and external Compton within
      0.01 % for all four; electrons unlike these (p = 2.5 from 10 to 1e3,
      p = 4.5, a broken power law up to 1e8) 0.65 / 1.04 / 0.83 %.
    """

    def __init__(self, synchrotron=4, compton=80, seed=None, extrapolate=True, external=None):
        self.synchrotron = _util.number("synchrotron", synchrotron, positive=True)
        self.compton = _util.number("compton", compton, positive=True)
        self.seed = None if seed is None else _util.number("seed", seed, positive=True)
        if isinstance(extrapolate, str) and extrapolate == "fine":
            self.extrapolate = "fine"
        elif isinstance(extrapolate, bool) or type(extrapolate).__name__ == "bool_":
            self.extrapolate = bool(extrapolate)
        else:
            raise ValueError(f"extrapolate must be True, False or 'fine', got {extrapolate!r}")
        self.external = None if external is None else _util.number("external", external, positive=True)

    @property
    def external_density(self):
        """Lorentz-factor points per decade for external Compton."""
        return self.external if self.external is not None else max(16.0, self.synchrotron)

    def seed_density(self):
        """Seed points per decade of the coarser self-Compton level away
        from the kinematic limit."""
        return self.seed if self.seed is not None else self.compton / 16.0

    def seed_rate(self):
        """Seed step near the kinematic limit, as a fraction of the distance
        from nu_star (in ln nu)."""
        return 8.0 / self.compton

    def seed_curvature_bound(self):
        """Bound on c h^2 of the segments of the sampled seed intensity (c
        the curvature of ln I in ln nu, h the step)."""
        return _SEED_SAMPLE_CURVATURE * (80.0 / self.compton) ** 2

    def compton_electron_density(self):
        """Lorentz-factor points per decade of the self-Compton table of a
        curved shape (split further to the chord bound 1e-3 (80 / compton)^2)."""
        return self.compton / 5.0

    def __repr__(self):
        return (f"Grids(synchrotron={self.synchrotron!r}, compton={self.compton!r}, seed={self.seed!r}, "
                f"extrapolate={self.extrapolate!r}, external={self.external!r})")

class SED:
    """An observed spectral energy distribution: `nu` (Hz) and nu F_nu
    (erg cm^-2 s^-1) by component (`synchrotron`, `ssc`, `ec`, and their sum
    `total`; a component that is off is all zeros). Vectors are NumPy arrays
    when NumPy is importable, lists otherwise."""

    COMPONENTS = ("synchrotron", "ssc", "ec")

    def __init__(self, nu, components):
        self.nu = _util.output(nu)
        n = len(nu)
        parts = {name: list(components.get(name) or [0.0] * n) for name in self.COMPONENTS}
        total = [sum(v) for v in zip(*(parts[name] for name in self.COMPONENTS))]
        self.synchrotron = _util.output(parts["synchrotron"])
        self.ssc = _util.output(parts["ssc"])
        self.ec = _util.output(parts["ec"])
        self.total = _util.output(total)

    def rows(self):
        """(nu, total, synchrotron, ssc, ec) per frequency, as floats."""
        cols = [self.nu, self.total, self.synchrotron, self.ssc, self.ec]
        return [tuple(float(c[i]) for c in cols) for i in range(len(self.nu))]

    def __repr__(self):
        return f"SED({len(self.nu)} frequencies, {float(self.nu[0]):.3g} ... {float(self.nu[-1]):.3g} Hz)"


def seed_frequencies(b_field, gamma_min, gamma_max, points_per_decade):
    """Blob-frame frequencies that cover the synchrotron emission of
    electrons from gamma_min to gamma_max: from 1e-4 of the critical
    frequency of gamma_min (where nu F_nu has fallen by more than 1e-5) to 30
    times that of gamma_max (e^-30)."""
    nu_b = NU_B_PER_GAUSS * b_field
    lo = 1e-4 * 1.5 * nu_b * gamma_min * gamma_min
    hi = 30.0 * 1.5 * nu_b * gamma_max * gamma_max
    return _util.log_grid(lo, hi, points_per_decade)


def _log_curvature(shape, lo, hi):
    """d^2 ln n / d(ln gamma)^2 of a shape inside the segment [lo, hi]
    (central difference at its middle; 0 where the shape is not positive)."""
    step = math.log(hi / lo)
    mid, eps = math.sqrt(lo * hi), 0.25 * step
    values = (shape(mid * math.exp(-eps)), shape(mid), shape(mid * math.exp(eps)))
    if not min(values) > 0.0:
        return 0.0
    return (math.log(values[0]) - 2.0 * math.log(values[1]) + math.log(values[2])) / (eps * eps)


def adaptive_tabulation(electrons, points_per_decade, volume, bound):
    """(gamma, n) for the kernels, which take n as a power law between grid
    points: the grid at points_per_decade (breaks on it), each segment split
    evenly until c step^2 <= bound, c = |d^2 ln n / d(ln gamma)^2| inside it
    (the largest gap between ln n and the chord is c step^2 / 8). A shape
    that is a power law between its breaks comes back on its breaks and ends
    alone (exact, and the fewest segments); Tabulated distributions, power
    laws between their own points, come back as they are."""
    g, n = electrons.tabulate(points_per_decade, volume)
    if isinstance(electrons, Tabulated) or len(g) < 2:
        return g, n
    shape = electrons.shape
    # the larger of the curvatures at a quarter and three quarters of each
    # segment (it changes along a segment: PowerLawCutoff has c = gamma /
    # gamma_cutoff)
    curvature = [max(abs(_log_curvature(shape, lo, math.sqrt(lo * hi))),
                     abs(_log_curvature(shape, math.sqrt(lo * hi), hi))) for lo, hi in zip(g, g[1:])]
    if max(c * math.log(hi / lo) ** 2 for c, lo, hi in zip(curvature, g, g[1:])) < 1e-9:
        edges = [electrons.gamma_min] + [b for b in electrons.breaks()
                                         if electrons.gamma_min < b < electrons.gamma_max]
        edges.append(electrons.gamma_max)
        g = edges
    else:
        out = [g[0]]
        for c, lo, hi in zip(curvature, g, g[1:]):
            step = math.log(hi / lo)
            parts = max(1, int(math.ceil(math.sqrt(c * step * step / bound))))
            out.extend(lo * math.exp(step * i / parts) for i in range(1, parts))
            out.append(hi)
        g = out
    k = electrons.coefficient(volume)
    return g, [k * shape(x) for x in g]


def _richardson(fine, coarse, order):
    """(2^order f(h/2) - f(h)) / (2^order - 1) where both are positive and
    the extrapolation stays within a factor of two of the fine value, else
    the fine value."""
    k = 2.0 ** order
    out = []
    for f, c in zip(fine, coarse):
        e = (k * f - c) / (k - 1.0)
        out.append(e if f > 0.0 and c > 0.0 and 0.5 * f <= e <= 2.0 * f else f)
    return out


def _romberg12(f0, f1, f2):
    """f(0) from f(4h), f(2h), f(h) for an error a h + b h^2:
    (8 f(h) - 6 f(2h) + f(4h)) / 3, where all three are positive and the
    result stays within a factor of two of f(h), else f(h)."""
    out = []
    for a, b, c in zip(f0, f1, f2):
        e = (8.0 * c - 6.0 * b + a) / 3.0
        out.append(e if a > 0.0 and b > 0.0 and c > 0.0 and 0.5 * c <= e <= 2.0 * c else c)
    return out


def _curvatures(x, y):
    """|d^2 ln y / d(ln x)^2| at the inner points of a positive table (from
    the three-point second difference on the uneven grid); 0 at the ends
    and wherever a value is not positive."""
    m = len(x)
    out = [0.0] * m
    for i in range(1, m - 1):
        y0, y1, y2 = y[i - 1], y[i], y[i + 1]
        if not (y0 > 0.0 and y1 > 0.0 and y2 > 0.0):
            continue
        h0, h1 = math.log(x[i] / x[i - 1]), math.log(x[i + 1] / x[i])
        s0, s1 = math.log(y1 / y0) / h0, math.log(y2 / y1) / h1
        out[i] = abs(2.0 * (s1 - s0) / (h0 + h1))
    return out


def _graded_steps(span, h_near, h_far, rate):
    """Steps (in ln nu) from a point outwards over `span`: h_near at first,
    then growing as rate times the distance covered, at most h_far."""
    out, x = [], 0.0
    while x < span * (1.0 - 1e-12):
        h = min(h_far, max(h_near, rate * x))
        if x + h > span or span - (x + h) < 0.25 * h:
            h = span - x
        out.append(h)
        x += h
    return out


def seed_grid(lo, hi, nu_star, low_step, kn_step, rate, near_step):
    """The coarser self-Compton seed grid from lo to hi (ascending, nu_star
    on it when inside): steps (in ln nu) of `kn_step` above nu_star (where
    the kernel's Klein-Nishina cut per seed segment makes the error first
    order in the step) and `low_step` below it, both graded down to
    `near_step` towards nu_star as `rate` times the distance from it (close
    to the kinematic limit only seeds near nu_star scatter)."""
    if not lo < nu_star < hi:
        step = kn_step if nu_star <= lo else low_step
        m = max(1, int(math.ceil(math.log(hi / lo) / step - 1e-9)))
        return _util.log_grid(lo, hi, m / math.log10(hi / lo))
    up = _graded_steps(math.log(hi / nu_star), near_step, kn_step, rate)
    down = _graded_steps(math.log(nu_star / lo), near_step, low_step, rate)
    grid, x = [nu_star], 0.0
    for h in down:
        x -= h
        grid.append(nu_star * math.exp(x))
    grid.reverse()
    grid[0] = lo
    x = 0.0
    for h in up:
        x += h
        grid.append(nu_star * math.exp(x))
    grid[-1] = hi
    return grid


def _refine(grid, values, bound):
    """Points that split the segments of (grid, values) whose chord error
    bound c h^2 exceeds `bound` (c the larger curvature of ln values at the
    two ends, `_curvatures`) evenly until it holds."""
    c = _curvatures(grid, values)
    new = []
    for i in range(len(grid) - 1):
        lo, hi = grid[i], grid[i + 1]
        h = math.log(hi / lo)
        need = max(c[i], c[i + 1]) * h * h
        if need > bound:
            parts = int(math.ceil(math.sqrt(need / bound)))
            new.extend(lo * math.exp(h * k / parts) for k in range(1, parts))
    return new


class _PowerLawPieces:
    """n(gamma) as the power law between the points of a table (the form the
    kernels take it in), for evaluation at many points."""

    def __init__(self, gamma, n):
        self.gamma, self.n = gamma, n
        self.log_coefficient, self.index = [], []
        for j in range(len(gamma) - 1):
            n0, n1 = n[j], n[j + 1]
            if n0 > 0.0 and n1 > 0.0:
                p = math.log(n1 / n0) / math.log(gamma[j + 1] / gamma[j])
                self.index.append(p)
                self.log_coefficient.append(math.log(n0) - p * math.log(gamma[j]))
            else:
                self.index.append(None)
                self.log_coefficient.append(None)

    def steepest(self):
        """The largest p of n ~ gamma^-p over the pieces (1 if none is
        steeper)."""
        return max([-p for p in self.index if p is not None] + [1.0])


def _electrons_with_thresholds(pieces, thresholds, top, values=None):
    """(gamma, n) for one kernel call: the table of `pieces` from the lowest
    of the ascending `thresholds` (or its own start, if that is higher) up to
    its first point at or above `top`, with the thresholds inside it added
    as points (n on the same piecewise power law, so the electrons are
    unchanged). values(j, q, r), if given, returns n at thresholds[q:r]
    (all inside segment j)."""
    g_tab, n_tab = pieces.gamma, pieces.n
    last = len(g_tab) - 1
    start = thresholds[0] if thresholds[0] > g_tab[0] else g_tab[0]
    j = max(0, bisect.bisect_right(g_tab, start) - 1)
    if j >= last:
        return [], []
    g, n = [], []
    q = bisect.bisect_left(thresholds, start)
    if start > g_tab[j]:
        # the call's first point is a threshold inside segment j
        g.append(start)
        n.append(_piece_value(pieces, j, start))
        q = bisect.bisect_right(thresholds, start)
    else:
        g.append(g_tab[j])
        n.append(n_tab[j])
        q = bisect.bisect_right(thresholds, g_tab[j])
    while j < last:
        upper = g_tab[j + 1]
        r = bisect.bisect_left(thresholds, upper, q)
        if r > q:
            p, c = pieces.index[j], pieces.log_coefficient[j]
            part = thresholds[q:r]
            g.extend(part)
            if p is None:
                n.extend([0.0] * len(part))
            elif values is not None:
                n.extend(values(j, q, r))
            else:
                n.extend([math.exp(c + p * math.log(t)) for t in part])
        g.append(upper)
        n.append(n_tab[j + 1])
        q = bisect.bisect_right(thresholds, upper, r)
        j += 1
        if upper >= top:
            break
    return g, n


def _piece_value(pieces, j, x):
    p = pieces.index[j]
    return 0.0 if p is None else math.exp(pieces.log_coefficient[j] + p * math.log(x))


def compton_by_segment(seed_freqs, seed_intensity, pieces, freqs, chunk=1):
    """Self-Compton emissivity per sr at ascending blob-frame `freqs` of the
    electrons of `pieces` (a `_PowerLawPieces`) in an isotropic seed that is a
    power law between the points of (seed_freqs, seed_intensity).

    The kernel counts an electron segment for a seed segment [a, b] only if
    it lies wholly above the threshold sqrt(nu / (4 a)) of each frequency nu;
    one whose segment straddles it is lost. Here the seed goes to the kernel
    `chunk` segments at a time, with the frequencies above them that they
    can reach and electrons that have every threshold of those seed segments
    and frequencies as a grid point (n on the same power law there), so no
    electron is lost: for a distribution that is a power law between its
    table points the electrons are exact. The kernel's work per frequency
    grows with the number of grid points above its threshold, so chunks of
    one segment suit many frequencies, longer ones few. Frequencies inside
    a chunk (a < nu <= b) go in a call of their own, its segments split at
    them. The emissivity is linear in the seed, so the calls add up."""
    m = len(freqs)
    out = [0.0] * m
    g_tab = pieces.gamma
    if len(g_tab) < 2 or len(seed_freqs) < 2:
        return out
    g_max = g_tab[-1]
    # ln of the threshold sqrt(f / (4 a)) of frequency f is ln(f) / 2 - ln(4 a) / 2
    half_log = [0.5 * math.log(f) for f in freqs]

    for i in range(0, len(seed_freqs) - 1, chunk):
        cf = seed_freqs[i:i + chunk + 1]
        ci = seed_intensity[i:i + chunk + 1]
        a, b = cf[0], cf[-1]
        # electrons above the Klein-Nishina limit of a segment's upper end do
        # not scatter (the kernel's cut); a frequency needs electrons above
        # sqrt(nu / (4 a)), so none reaches beyond 4 a top^2 of a segment.
        # The kernel skips every segment with an end at or below 1e-200.
        if chunk == 1:
            if not (ci[0] > 1e-200 and ci[1] > 1e-200):
                continue
            top = min(g_max, _KN_GAMMA_TIMES_NU / b)
            if top <= g_tab[0]:
                continue  # no electron below the Klein-Nishina cut
            reach = 4.0 * a * top * top
        else:
            if not any(x > 1e-200 and y > 1e-200 for x, y in zip(ci, ci[1:])):
                continue
            tops = [min(g_max, _KN_GAMMA_TIMES_NU / x) for x in cf[1:]]
            top = tops[0]
            reach = max(4.0 * x * t * t for x, t in zip(cf, tops))
        k_in = bisect.bisect_right(freqs, a)
        k_above = bisect.bisect_right(freqs, b)
        k_end = bisect.bisect_left(freqs, reach)
        for inside, lo, hi in ((True, k_in, k_above), (False, k_above, k_end)):
            if hi <= lo:
                continue
            wanted = freqs[lo:hi]
            if inside:  # its segments split there
                table = sorted(set(cf).union(wanted))
                intensity = _util.interp_loglog(table, cf, ci)
            else:
                table = cf + wanted
                intensity = ci + [0.0] * len(wanted)
            # the kernel's own expression for the threshold, so that the grid
            # point is the very value it compares with
            values = None
            if len(cf) == 2 and not inside:
                a4 = a * 4.0
                thresholds = [math.sqrt(f / a4) for f in wanted]
                half_log_a4 = 0.5 * math.log(a4)

                def values(j, q, r, lo=lo, half_log_a4=half_log_a4):
                    c, p = pieces.log_coefficient[j], pieces.index[j]
                    return [math.exp(c + p * (x - half_log_a4)) for x in half_log[lo + q:lo + r]]
            else:
                lows = table[:-1] if inside else cf[:-1]
                thresholds = sorted(set(math.sqrt(f / (x * 4.0)) for x in lows for f in wanted if x < f))
            if not thresholds:
                continue
            g, n = _electrons_with_thresholds(pieces, thresholds, top, values)
            if len(g) < 2:
                continue
            j = kernels.compton_powlaw_emissivity(table, intensity, g, n)
            if inside:
                at = {f: q for q, f in enumerate(table)}
                for k in range(lo, hi):
                    out[k] += j[at[freqs[k]]]
            else:
                out[lo:hi] = [x + y for x, y in zip(out[lo:hi], j[len(cf):])]
    return out


class BlobEmission:
    """The blob-frame radiation of given electrons: intensities (per sr) of
    each component at blob-frame frequencies. Inputs are trusted (validated
    by `Model`)."""

    def __init__(self, blob, electrons, *, synchrotron=True, ssa=True, ssc=True, external=None, grids=None):
        self.blob = blob
        self.electrons = electrons
        self.synchrotron = synchrotron
        self.ssa = ssa
        self.ssc = ssc
        self.external = external
        self.grids = grids or Grids()
        scale = (4.0 / self.grids.synchrotron) ** 2
        self._syn_electrons = adaptive_tabulation(electrons, self.grids.synchrotron, blob.volume,
                                                  _CURVATURE_OUTPUT * scale)
        self._seed_electrons = adaptive_tabulation(electrons, self.grids.synchrotron, blob.volume,
                                                   _CURVATURE_SEED * scale)
        self._same = self._seed_electrons == self._syn_electrons
        self._pieces = None

    def _synchrotron(self, freqs, table=None):
        """(j, alpha) at ascending blob-frame freqs for the electrons on
        `table` (default: the output table); zero beyond _SYNCHROTRON_CUT
        critical frequencies of gamma_max."""
        g, n = table or self._syn_electrons
        cut = _SYNCHROTRON_CUT * 1.5 * NU_B_PER_GAUSS * self.blob.b_field * g[-1] ** 2
        m = bisect.bisect_right(freqs, cut)
        if m == 0:
            return [0.0] * len(freqs), [0.0] * len(freqs)
        j, a = kernels.synchrotron(freqs[:m], g, n, self.blob.b_field, self.ssa)
        pad = [0.0] * (len(freqs) - m)
        return list(j) + pad, list(a) + pad

    def _seed_synchrotron(self, freqs):
        """(j, alpha) of the self-Compton seed at ascending freqs (on the
        looser seed table where that differs from the output's)."""
        if self._same:
            return self._synchrotron(freqs)
        return self._synchrotron(freqs, self._seed_electrons)

    def _seed_from(self, j, a):
        return [SEED_FACTOR * x for x in kernels.blob_intensity(self.blob.radius, j, a)]

    def seed_intensity(self, freqs):
        """Isotropic seed intensity (9/4 of the escaping synchrotron
        intensity) on the given ascending blob-frame frequencies."""
        return self._seed_from(*self._seed_synchrotron(list(freqs)))

    # -- self-Compton -------------------------------------------------------------
    def _compton_pieces(self):
        """The electrons for self-Compton as a `_PowerLawPieces`: a Tabulated
        distribution's own table (for an evolved one, the points that
        represent it as a piecewise power law), a shape's table split to the
        chord bound _CURVATURE_COMPTON (80 / compton)^2."""
        if self._pieces is not None:
            return self._pieces
        if isinstance(self.electrons, Tabulated):
            self._pieces = _PowerLawPieces(*self.electrons.tabulate(math.inf, self.blob.volume))
            return self._pieces
        ppd = self.grids.compton_electron_density()
        g, n = adaptive_tabulation(self.electrons, ppd, self.blob.volume,
                                   _CURVATURE_COMPTON * (80.0 / self.grids.compton) ** 2)
        self._pieces = _PowerLawPieces(g, n)
        return self._pieces

    def _seed_table(self, freqs, sampled):
        """The seed intensity sampled on a logarithmic grid of
        _SEED_SAMPLES per decade over `seed_frequencies`, merged with the
        output frequencies inside it (whose synchrotron `sampled` holds
        already: {nu: (j, alpha)}), then split where the curvature of ln I
        calls for it (`_refine`, bound _SEED_SAMPLE_CURVATURE): (nu, I) lists."""
        e = self.electrons
        span = seed_frequencies(self.blob.b_field, e.gamma_min, e.gamma_max, _SEED_SAMPLES)
        lo, hi = span[0], span[-1]
        have = sorted(f for f in sampled if lo < f < hi)
        # a sample point within half a sample step of an output frequency
        # adds nothing: that frequency is a sample already
        half = 10.0 ** (0.5 / _SEED_SAMPLES)
        extra = [f for f in span[1:-1] if not _within(have, f / half, f * half)]
        grid = sorted(set([lo, hi] + extra + have))
        missing = [f for f in grid if f not in sampled]
        if missing:
            sampled = dict(sampled)
            sampled.update(zip(missing, zip(*self._seed_synchrotron(missing))))
        values = self._seed_from([sampled[f][0] for f in grid], [sampled[f][1] for f in grid])
        # split only where the seed matters for self-Compton (`_live_range`)
        pieces = self._compton_pieces()
        lo, hi = _live_range(grid, values, pieces.steepest())
        hi = min(hi, _KN_GAMMA_TIMES_NU / pieces.gamma[0])
        extra = [f for f in _refine(grid, values, self.grids.seed_curvature_bound()) if lo < f < hi]
        if extra:
            table = dict(zip(grid, values))
            table.update(zip(extra, self._seed_from(*self._seed_synchrotron(extra))))
            grid = sorted(table)
            values = [table[f] for f in grid]
        return grid, values

    def _ssc_emissivity(self, freqs, seed_nu, seed_i):
        """Self-Compton emissivity at ascending blob-frame freqs in the seed
        tabulated on (seed_nu, seed_i) (interpolated as `_interp_seed`), on
        the range where the seed is at least _SEED_FLOOR of its largest
        intensity: below exp(-_LIMIT_BAND) of the kinematic limit on an even
        seed grid (`_ssc_levels`), above it on a grid graded towards nu_star
        (`seed_grid`) for those frequencies alone."""
        e, grids = self.electrons, self.grids
        out = [0.0] * len(freqs)
        top = max(seed_i) if seed_i else 0.0
        if not top > 0.0:
            return out
        pieces = self._compton_pieces()
        lo, hi = _live_range(seed_nu, seed_i, pieces.steepest())
        # above m_e c^2 / (4 h gamma_min) the kernel's Klein-Nishina cut leaves
        # no electron to scatter a seed photon
        hi = min(hi, _KN_GAMMA_TIMES_NU / pieces.gamma[0])
        if not hi > lo:
            return out
        nu_star = 0.25 * ME_C2 / (H * e.gamma_max)
        limit = e.gamma_max * ME_C2 / H
        edge = limit * math.exp(-_LIMIT_BAND)
        step = math.log(10.0) / grids.seed_density()
        k_edge = bisect.bisect_right(freqs, edge)
        k_limit = bisect.bisect_left(freqs, limit)
        if k_edge > 0:
            grid = self._split_curved(seed_grid(lo, hi, nu_star, step, step, 0.0, step), seed_nu, seed_i)
            out[:k_edge] = self._ssc_levels(freqs[:k_edge], grid, nu_star, seed_nu, seed_i, pieces, True)
        if k_limit > k_edge:
            near = freqs[k_edge:k_limit]
            rate = grids.seed_rate()
            d_min = max(math.log(limit / near[-1]), _NEAR_FLOOR)
            span = math.exp(_LIMIT_BAND)
            grid = self._split_curved(seed_grid(max(lo, nu_star / span), min(hi, nu_star * span), nu_star, step,
                                                 step, rate, rate * d_min), seed_nu, seed_i)
            out[k_edge:k_limit] = self._ssc_levels(near, grid, nu_star, seed_nu, seed_i, pieces, False)
        return out

    def _split_curved(self, grid, seed_nu, seed_i):
        """The seed grid with its segments split where the seed's power-law
        chords would be off by more than the bound of `Grids.seed_curvature_bound`
        (the exponential cut-off above the critical frequency of gamma_max,
        which steep and narrow electron spectra scatter into the edge of
        their self-Compton component)."""
        bound = _SPLIT_CURVATURE * (80.0 / self.grids.compton) ** 2
        extra = _refine(grid, _interp_seed(grid, seed_nu, seed_i), bound)
        return sorted(set(grid).union(extra)) if extra else grid

    def _ssc_levels(self, freqs, coarse, nu_star, seed_nu, seed_i, pieces, banded):
        """Self-Compton emissivity at freqs on the seed grid `coarse` and the
        levels `extrapolate` asks for, each halving the steps of the one
        before, extrapolated to zero step: below nu_star the error is second
        order in the step, above it (the Klein-Nishina region) first order.
        With `banded`, the finer levels are computed only at the frequencies
        where the coarsest gives nu j at least _SSC_BAND of its largest
        value; elsewhere that one stands."""
        # few frequencies: several seed segments per kernel call (see
        # `compton_by_segment`)
        chunk = max(1, min(8, _CHUNK_WORK // len(freqs)))
        s = bisect.bisect_left(coarse, nu_star)
        parts = [(g, orders) for g, orders in ((coarse[:s + 1], (2.0, 3.0, 4.0)), (coarse[s:], (1.0, 2.0, 3.0)))
                 if len(g) >= 2]
        cache = {}

        def seed(grid):
            # the seed at the grid's points, interpolated once per point
            new = [f for f in grid if f not in cache]
            if new:
                cache.update(zip(new, _interp_seed(new, seed_nu, seed_i)))
            return [cache[f] for f in grid]

        first = [compton_by_segment(g, seed(g), pieces, freqs, chunk) for g, _ in parts]
        out = [sum(v) for v in zip(*first)] if first else [0.0] * len(freqs)
        mode = self.grids.extrapolate
        if mode is False or not first:
            return out
        band = list(range(len(freqs)))
        if banded:
            weight = [f * x for f, x in zip(freqs, out)]
            peak = max(weight)
            band = [k for k, w in enumerate(weight) if w >= _SSC_BAND * peak] if peak > 0.0 else []
        if not band:
            return out
        wanted = [freqs[k] for k in band]
        total = [0.0] * len(band)
        for (g, orders), values in zip(parts, first):
            levels = [[values[k] for k in band]]
            count = (_LEVELS_ABOVE if orders[0] == 1.0 else _LEVELS_BELOW)[mode]
            for _ in range(count - 1):
                g = _halved(g)
                levels.append(compton_by_segment(g, seed(g), pieces, wanted, chunk))
            total = [x + y for x, y in zip(total, _extrapolated(levels, orders))]
        for k, x in zip(band, total):
            out[k] = x
        return out


    def intensities(self, freqs):
        """Escaping intensity (erg cm^-2 s^-1 Hz^-1 sr^-1) by component at
        ascending blob-frame frequencies."""
        freqs = list(freqs)
        m = len(freqs)
        zeros = [0.0] * m
        out = {}
        if self.synchrotron or self.ssa or (self.ssc and self._same):
            j_syn, a_syn = self._synchrotron(freqs)
        else:
            j_syn, a_syn = zeros, zeros
        alpha = a_syn if self.ssa else zeros
        if self.synchrotron:
            out["synchrotron"] = kernels.blob_intensity(self.blob.radius, j_syn, alpha)
        if self.ssc:
            sampled = dict(zip(freqs, zip(j_syn, a_syn))) if self._same else {}
            seed_nu, seed_i = self._seed_table(freqs, sampled)
            j_ssc = self._ssc_emissivity(freqs, seed_nu, seed_i)
            out["ssc"] = kernels.blob_intensity(self.blob.radius, j_ssc, alpha)
        if self.external is not None:
            ppd = self.grids.external_density
            g, n = adaptive_tabulation(self.electrons, ppd, self.blob.volume, _CURVATURE_OUTPUT * (16.0 / ppd) ** 2)
            j_ec = kernels.monochrome_emissivity(freqs, self.external.energy_density,
                                                 self.external.frequency, g, n)
            out["ec"] = kernels.blob_intensity(self.blob.radius, j_ec, alpha)
        return out


def _interp_seed(x_new, x, y):
    """y(x) (x ascending) at ascending x_new by four-point Lagrange
    interpolation of ln y in ln x (a cubic through the two points on each
    side), power-law interpolation where a neighbour is not positive, zero
    outside [x[0], x[-1]]."""
    out = []
    m = len(x)
    j = 0
    lx = [math.log(v) for v in x]
    ly = [math.log(v) if v > 0.0 else None for v in y]
    for v in x_new:
        if v < x[0] or v > x[-1]:
            out.append(0.0)
            continue
        while j < m - 2 and x[j + 1] < v:
            j += 1
        if v == x[j]:
            out.append(y[j])
            continue
        if v == x[j + 1]:
            out.append(y[j + 1])
            continue
        i0 = min(max(j - 1, 0), m - 4) if m >= 4 else None
        t = math.log(v)
        if i0 is not None and None not in ly[i0:i0 + 4]:
            x0, x1, x2, x3 = lx[i0:i0 + 4]
            y0, y1, y2, y3 = ly[i0:i0 + 4]
            d0, d1, d2, d3 = t - x0, t - x1, t - x2, t - x3
            total = (y0 * (d1 * d2 * d3) / ((x0 - x1) * (x0 - x2) * (x0 - x3))
                     + y1 * (d0 * d2 * d3) / ((x1 - x0) * (x1 - x2) * (x1 - x3))
                     + y2 * (d0 * d1 * d3) / ((x2 - x0) * (x2 - x1) * (x2 - x3))
                     + y3 * (d0 * d1 * d2) / ((x3 - x0) * (x3 - x1) * (x3 - x2)))
            out.append(math.exp(total))
        elif ly[j] is not None and ly[j + 1] is not None:
            out.append(math.exp(ly[j] + (ly[j + 1] - ly[j]) * (t - lx[j]) / (lx[j + 1] - lx[j])))
        else:
            out.append(y[j] + (y[j + 1] - y[j]) * (v - x[j]) / (x[j + 1] - x[j]))
    return out


def _extrapolated(values, orders):
    """Values on grids of step h, h/2, h/4, ... (coarsest first) extrapolated
    to zero step for an error a h^orders[0] + b h^orders[1] (Richardson,
    each step guarded as in `_richardson`)."""
    row = values
    for order in orders[:len(values) - 1]:
        row = [_richardson(fine, coarse, order) for coarse, fine in zip(row, row[1:])]
    return row[-1]


def _live_range(nu, intensity, steepest=5.0):
    """(lo, hi): the range of the ascending seed table (nu, intensity), one
    point beyond, where the seed can matter for self-Compton. A seed
    frequency's share (Thomson, n ~ gamma^-p) goes as I nu^((p - 1) / 2) per
    ln nu: below the seed's peak the intensity alone bounds it (p >= 1),
    above it I nu^((p - 1) / 2) with p the steepest index of the electrons
    (`steepest`, taken between 1 and 5: steep electrons weigh high seeds as
    much as the peak). The range keeps both above _SEED_FLOOR of their
    largest values."""
    top = max(intensity)
    live = [k for k, v in enumerate(intensity) if v >= _SEED_FLOOR * top]
    a = 0.5 * (min(max(steepest, 1.0), 5.0) - 1.0)
    weight = [v * f ** a for f, v in zip(nu, intensity)]
    heavy = max(weight)
    last = max(k for k, w in enumerate(weight) if w >= _SEED_FLOOR * heavy)
    return nu[max(0, live[0] - 1)], nu[min(len(nu) - 1, max(live[-1], last) + 1)]


def _within(ascending, lo, hi):
    """Whether some value of the ascending list lies in [lo, hi]."""
    k = bisect.bisect_left(ascending, lo)
    return k < len(ascending) and ascending[k] <= hi


def _halved(grid):
    """The grid with the log midpoint of every segment added."""
    out = [grid[0]]
    for lo, hi in zip(grid, grid[1:]):
        out.append(math.sqrt(lo * hi))
        out.append(hi)
    return out





class Model:
    """A steady one-zone model: a `Blob`, its electrons (a `Distribution`),
    and the processes to include. `model.sed(nu)` gives the observed SED at
    observer-frame frequencies nu (Hz); `model(nu)` its total nu F_nu.

    Every input is checked here, before any kernel runs; a problem raises
    ValueError naming the parameter.
    """

    def __init__(self, blob, electrons, *, synchrotron=True, ssa=True, ssc=True, external=None, grids=None):
        self.blob = _util.instance("blob", blob, Blob)
        self.electrons = _util.instance("electrons", electrons, Distribution)
        external = _util.instance("external", external, ExternalField, optional=True)
        grids = _util.instance("grids", grids, Grids, optional=True)
        self.synchrotron = _util.flag("synchrotron", synchrotron)
        self.ssa = _util.flag("ssa", ssa)
        self.ssc = _util.flag("ssc", ssc)
        self.external = external
        self.grids = grids or Grids()
        electrons.coefficient(blob.volume)  # an energy normalisation is resolvable

    def emission(self):
        return BlobEmission(self.blob, self.electrons, synchrotron=self.synchrotron, ssa=self.ssa,
                            ssc=self.ssc, external=self.external, grids=self.grids)

    def sed(self, nu):
        """The observed SED at observer-frame frequencies nu (Hz, ascending)."""
        nu = _util.vector("nu", nu, positive=True, ascending=True)
        return observed_sed(self.blob, nu, self.emission().intensities(self.blob.to_blob_frame(nu)))

    def __call__(self, nu):
        return self.sed(nu).total


def observed_sed(blob, nu, intensities):
    """SED at observer frequencies nu from blob-frame intensities at
    nu' = (1 + z) nu / delta: nu F_nu = delta^4 4 pi R^2 nu' I' / d_L^2."""
    f = blob.flux_factor()
    nu_blob = blob.to_blob_frame(nu)
    return SED(nu, {name: [f * x * i for x, i in zip(nu_blob, values)] for name, values in intensities.items()})


def photon_energy_density(freqs, intensity):
    """Spectral energy density u'_nu' = 4 pi I'/c (erg cm^-3 Hz^-1) of an
    isotropic intensity."""
    f = 4.0 * math.pi / C
    return [f * x for x in intensity]
