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
  the Klein-Nishina limit m_e c^2 / (4 h b). Both are dealt with here
  (`_SscLattice`): seeds and outputs lie on one absolute logarithmic lattice,
  so that every threshold is a point of a small set of electron tables (the
  electrons are exact for PowerLaw, BrokenPowerLaw and Tabulated
  distributions), and each call takes its frequencies multiplied by
  exp(-h / 2), h the seed step, which moves the cut to the log midpoint of
  every segment (the kernel's only absolute scale is that cut). What
  remains is second order in h (the cut, the electrons between
  sqrt(nu / (4 b)) and sqrt(nu / (4 a)), where the scattering kernel
  vanishes, and the seed's power-law chords): two levels, h and h/2, are
  extrapolated to zero step. The lattice's outputs are 2.5 points per
  decade (at the default grids), 5 where the spectrum bends more than a
  cubic between them can follow, 10 from e^-3 of the kinematic limit on;
  the frequencies asked for are interpolated from them (cubic in log-log).
- Close to the kinematic limit h nu' = gamma_max m_e c^2 the region that
  scatters to nu' = limit e^-d is a triangle of side d in (ln nu_seed,
  ln gamma) at (nu_star = m_e c^2 / (4 h gamma_max), gamma_max), so the seed
  step must be small against d: within e^-1.2 of the limit each frequency
  is computed on its own, on seeds nu exp(-q h) with h = d / 10
  (`BlobEmission._ssc_near`).
- The seed intensity is sampled with the synchrotron kernel at 3 points per
  decade and at the output frequencies (whose synchrotron is needed
  anyway), segments split where the curvature of ln I calls for it, and
  interpolated (cubic in log-log) onto the seed lattices: the synchrotron
  kernel costs 15-30 us a frequency, and the lattices have several hundred
  points. The seed is taken where it is at least 1e-6 of its largest
  intensity. Where the seed curves too much for one power law per seed
  step (the self-absorption turnover, and the exponential cut-off above the
  critical frequency of gamma_max, which the self-Compton edge of narrow or
  steep electron spectra is made of), the steps are refined by a power of
  two.
- The finer seed level is computed where the first gives nu j at least
  1e-4 of its largest value; at the other frequencies (self-Compton far
  below its peak) the first level stands.
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
# _SEED_SAMPLE_CURVATURE holds, and interpolated from there (`_LogTable`).
# Self-Compton takes the seed where it is at least _SEED_FLOOR of its largest
# intensity (`_live_range`); the finer seed levels are computed where the
# first gives nu j at least _SSC_BAND of its largest value.
_SEED_SAMPLES = 3.0
_SEED_SAMPLE_CURVATURE = 0.05
_SEED_FLOOR = 1e-6
_SSC_BAND = 1e-4
# m_e c^2 / (4 h): the Klein-Nishina limit of the kernel is this over nu
_KN_GAMMA_TIMES_NU = 0.25 * ME_C2 / H
_LN10 = math.log(10.0)
# The lattices (`_SscLattice`, `BlobEmission._ssc_lattice`):
# - seed levels by `Grids.extrapolate`;
# - a threshold's grid point lies _THRESHOLD_SLACK above its exact value;
# - outputs _OUT_SPACING level-1 seed steps apart, with the midway point
#   added where the cubic is uncertain by more than _MID_TOLERANCE in ln
#   (`_bends`);
# - from exp(-_EDGE_BAND) of the kinematic limit up to exp(-_NODE_BAND) of
#   it, outputs one step apart, on seeds _EDGE_REFINE times finer;
# - level-1 seed segments where c h^2 > _SPLIT_CURVATURE (80 / compton)^2
#   for the seed are refined by a power of two;
# - at most _CHUNK seed segments per kernel call.
# Frequencies within exp(-_LIMIT_BAND) of the limit are computed one by one
# (`BlobEmission._ssc_near`) on _NEAR_STEPS (compton / 80) seed steps per d,
# at least _NEAR_FLOOR, _NEAR_CHUNK segments per call.
_LATTICE_LEVELS = {False: 1, True: 2, "fine": 3}
_THRESHOLD_SLACK = 1.0 + 1e-12
_OUT_SPACING = 4
_MID_TOLERANCE = 1e-2
_EDGE_BAND = 3.0
_NODE_BAND = 1.0
_EDGE_REFINE = 2
_SPLIT_CURVATURE = 0.05
_CHUNK = 8
_LIMIT_BAND = 1.2
_NEAR_STEPS = 10.0
_NEAR_FLOOR = 1e-3
_NEAR_CHUNK = 8


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
      grids (default 80): seed points per decade compton / 8 (the coarser
      level; see `seed`), close to the kinematic limit (compton / 8) seed
      steps per distance d from it, seed steps refined where the chord
      error bound 0.05 (80 / compton)^2 of the seed's curvature calls for
      it, and curved electron shapes tabulated at compton / 5 per decade
      with the chord bound 1e-3 (80 / compton)^2;
    - `seed`: seed points per decade of the coarser level away from the
      kinematic limit (None: compton / 8); the lattice's outputs are a
      quarter as dense (module docstring);
    - `extrapolate`: True (default) adds a level of half the seed step and
      extrapolates to zero step (the error is second order in the step);
      False computes one level; "fine" three levels, combined for an error
      b h^2 + c h^3 (for reference computations);
    - `external`: Lorentz factors for external Compton (None: the denser of
      16 and `synchrotron`), curved shapes split to 1e-3 (16 / external)^2.

    Measured (`python scripts/models_accuracy.py`): reference blob R = 1e16
    cm, B = 0.1 G, delta = 10, z = 0, d_L = 1e27 cm; electrons of 1e47 erg
    from gamma 1e2 to 1e6 as PowerLaw(2.2), BrokenPowerLaw(2, 3, 1e4),
    LogParabola(2, 0.4, 1e4), PowerLawCutoff(2, 1e5); external field 1e-2
    erg cm^-3 at 3e14 Hz; 100 frequencies 1e8-1e27 Hz. Error: the largest
    |f / f_ref - 1| where the component is at least 1e-3 of its peak, against
    Grids(32, 320, None, "fine", 64), which is within 0.003-0.008 % of the
    same at compton=640 (PowerLawCutoff 0.04 %) and within 0.003 % of the
    reference of an earlier scheme (one kernel call per seed segment, its
    Klein-Nishina cut at the upper end, three levels), computed on entirely
    different grids.

    - Synchrotron, with or without absorption: exact (0.000 %) for PowerLaw
      and BrokenPowerLaw at any density; LogParabola 0.13 / 0.032 / 0.008 /
      0.002 % and PowerLawCutoff 3.1 / 1.3 / 0.58 / 0.25 % at synchrotron 1 /
      2 / 4 / 8: as the step^2 (the cut-off, whose curvature grows without
      limit in its tail, as step^1.2).
    - External Compton: exact for (broken) power laws; LogParabola 2.0 /
      0.44 / 0.11 / 0.026 % and PowerLawCutoff 2.3 / 0.59 / 0.09 / 0.025 %
      at external 1 / 2 / 4 / 8: step^2.
    - Self-Compton over its whole window, BrokenPowerLaw, at compton 40 /
      80 / 160: one level 15.6 / 4.9 / 1.5 % (second order), extrapolated
      2.8 / 0.40 / 0.053 %; above 1e-2 of the kinematic limit 0.85 / 0.14 /
      0.03 %.
    - The defaults (4, 80, None, True, None): self-Compton within 0.40 /
      0.26 / 0.49 / 0.37 % (BrokenPowerLaw / PowerLaw / LogParabola /
      PowerLawCutoff), synchrotron within 0.58 % and external Compton within
      0.01 % for all four; electrons unlike these (p = 2.5 from 10 to 1e3,
      p = 4.5, a broken power law up to 1e8) 0.49 / 1.08 / 0.67 %.
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
        return self.seed if self.seed is not None else self.compton / 8.0

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
    if electrons.power_law_pieces:
        edges = [electrons.gamma_min] + [b for b in electrons.breaks()
                                         if electrons.gamma_min < b < electrons.gamma_max]
        edges.append(electrons.gamma_max)
        k = electrons.coefficient(volume)
        return edges, [k * electrons.shape(x) for x in edges]
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


def _electrons_with_thresholds(pieces, thresholds, top, values=None, logs=None):
    """(gamma, n) for one kernel call: the table of `pieces` from the lowest
    of the ascending `thresholds` (or its own start, if that is higher) up to
    its first point at or above `top`, with the thresholds inside it added
    as points (n on the same piecewise power law, so the electrons are
    unchanged). values(j, q, r), if given, returns n at thresholds[q:r]
    (all inside segment j); `logs`, if given, holds the thresholds'
    logarithms."""
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
            elif logs is not None:
                n.extend([math.exp(c + p * x) for x in logs[q:r]])
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


def compton_by_segment(seed_freqs, seed_intensity, pieces, freqs, midpoint=False):
    """Self-Compton emissivity per sr at ascending blob-frame `freqs` of the
    electrons of `pieces` (a `_PowerLawPieces`) in an isotropic seed that is a
    power law between the points of (seed_freqs, seed_intensity): one kernel
    call per seed segment, at any frequencies: the straightforward form of
    what `_SscLattice` does on its lattices, and the reference it is tested
    against.

    The kernel counts an electron segment for a seed segment [a, b] only if
    it lies wholly above the threshold sqrt(nu / (4 a)) of each frequency nu;
    one whose segment straddles it is lost. Here each seed segment goes to
    the kernel with the frequencies it can reach and electrons that have the
    threshold of each of them as a grid point (n on the same power law
    there), so no electron is lost: for a distribution that is a power law
    between its table points the electrons are exact. Frequencies inside the
    segment (a < nu <= b) go in a call of their own, the segment split at
    them. The emissivity is linear in the seed, so the calls add up.

    With `midpoint`, each call takes its frequencies multiplied by
    sqrt(a / b), which moves the kernel's Klein-Nishina cut from b to the
    log midpoint of the segment (see `_SscLattice`)."""
    out = [0.0] * len(freqs)
    g_tab = pieces.gamma
    if len(g_tab) < 2 or len(seed_freqs) < 2:
        return out
    g_max = g_tab[-1]
    # ln of the threshold sqrt(f / (4 a)) of frequency f is ln(f) / 2 - ln(4 a) / 2
    half_log = [0.5 * math.log(f) for f in freqs]
    for i in range(len(seed_freqs) - 1):
        cf, ci = seed_freqs[i:i + 2], seed_intensity[i:i + 2]
        a, b = cf
        # the kernel skips a segment with an end at or below 1e-200; electrons
        # above its Klein-Nishina cut do not scatter, and a frequency needs
        # electrons above sqrt(nu / (4 a)), so none beyond 4 a top^2 is reached
        if not (ci[0] > 1e-200 and ci[1] > 1e-200):
            continue
        scale = math.sqrt(a / b) if midpoint else 1.0
        top = min(g_max, _KN_GAMMA_TIMES_NU / (b * scale))
        if top <= g_tab[0]:
            continue
        k_in = bisect.bisect_right(freqs, a)
        k_above = bisect.bisect_right(freqs, b)
        k_end = bisect.bisect_left(freqs, 4.0 * a * top * top)
        for inside, lo, hi in ((True, k_in, k_above), (False, k_above, k_end)):
            if hi <= lo:
                continue
            wanted = freqs[lo:hi]
            if inside:
                table = sorted(set(cf).union(wanted))
                intensity = _util.interp_loglog(table, cf, ci)
            else:
                table = cf + wanted
                intensity = ci + [0.0] * len(wanted)
            table = [f * scale for f in table]
            # the kernel's own expression for the threshold, so that the grid
            # point is the very value it compares with
            values = None
            if inside:
                lows, above = table[:-1], [f * scale for f in wanted]
                thresholds = sorted(set(math.sqrt(f / (x * 4.0)) for x in lows for f in above if x < f))
            else:
                a4 = table[0] * 4.0
                thresholds = [math.sqrt(f / a4) for f in table[2:]]
                half_log_a4 = 0.5 * math.log(a * 4.0)

                def values(j, q, r, lo=lo, half_log_a4=half_log_a4):
                    c, p = pieces.log_coefficient[j], pieces.index[j]
                    return [math.exp(c + p * (x - half_log_a4)) for x in half_log[lo + q:lo + r]]
            if not thresholds:
                continue
            g, n = _electrons_with_thresholds(pieces, thresholds, top, values)
            if len(g) < 2:
                continue
            j = kernels.compton_powlaw_emissivity(table, intensity, g, n)
            if inside:
                at = {f: q for q, f in enumerate(table)}
                for k in range(lo, hi):
                    out[k] += j[at[freqs[k] * scale]]
            else:
                out[lo:hi] = [x + y for x, y in zip(out[lo:hi], j[2:])]
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
        tabulated on (seed_nu, seed_i) (interpolated as `_LogTable`), on the
        range where the seed is at least _SEED_FLOOR of its largest
        intensity: below exp(-_LIMIT_BAND) of the kinematic limit on the
        lattices (`_ssc_lattice`), above it frequency by frequency
        (`_ssc_near`)."""
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
        seed = _LogTable(seed_nu, seed_i)
        limit = e.gamma_max * ME_C2 / H
        edge = limit * math.exp(-_LIMIT_BAND)
        k_edge = bisect.bisect_right(freqs, edge)
        k_limit = bisect.bisect_left(freqs, limit)
        if k_edge > 0:
            out[:k_edge] = self._ssc_lattice(freqs[:k_edge], seed, pieces, lo, hi, limit)
        for k in range(k_edge, k_limit):
            out[k] = self._ssc_near(freqs[k], seed, pieces, lo, hi, limit)
        return out

    def _ssc_near(self, nu, seed, pieces, lo, hi, limit):
        """Self-Compton emissivity at one blob-frame frequency nu close to the
        kinematic limit. With d = ln(limit / nu), only seeds within exp(+-d)
        of nu_star and electrons within exp(-d) of gamma_max scatter to nu (a
        triangle of side d in ln nu_seed, ln gamma), so the seed step must be
        small against d: seed points nu exp(-q h) with h = d /
        (_NEAR_STEPS compton / 80) on the first level, halved on each
        further one. The threshold sqrt(nu / (4 a)) of seed point q is then
        0.5 exp(q h / 2), a grid point of the call's electrons. The seed
        points follow one another in the call (their own outputs are not
        used), the call's frequencies are multiplied by exp(-h / 2) as on
        the lattices (`_SscLattice`), and the levels are extrapolated to
        zero step."""
        g_max = pieces.gamma[-1]
        d = math.log(limit / nu)
        nu_star = _KN_GAMMA_TIMES_NU / g_max
        a_lo = max(lo, nu_star * math.exp(-d))
        a_hi = min(hi, nu_star * math.exp(d))
        if not a_hi > a_lo:
            return 0.0
        levels = _LATTICE_LEVELS[self.grids.extrapolate]
        h = max(d, _NEAR_FLOOR) / (_NEAR_STEPS * self.grids.compton / 80.0)
        # The few electrons that scatter here lie within e^-d of gamma_max,
        # where a curved shape may bend most (a cut-off's tail): for one,
        # every call takes the thresholds of all seed points above its lowest
        # as grid points, n from the shape itself. Power laws between their
        # points (PowerLaw, BrokenPowerLaw, Tabulated) are exact with the
        # call's own thresholds.
        e = self.electrons
        curved = not (e.power_law_pieces or isinstance(e, Tabulated))
        exact = None
        if curved:
            shape, coefficient = e.shape, e.coefficient(self.blob.volume)

            def exact(j, q, r):
                return [coefficient * shape(x) for x in thresholds[q:r]]
        values = []
        for _ in range(levels):
            qs = list(range(math.ceil(math.log(nu / a_lo) / h), math.floor(math.log(nu / a_hi) / h) - 1, -1))
            seeds = [nu * math.exp(-q * h) for q in qs]
            intensity = seed.at(seeds)
            scale = math.exp(-0.5 * h)
            total = 0.0
            # _NEAR_CHUNK segments per call, with the thresholds of their own
            # lower ends: the work per call grows as the square of its seed points
            for i in range(0, len(seeds) - 1, _NEAR_CHUNK):
                part = slice(i, min(i + _NEAR_CHUNK, len(seeds) - 1) + 1)
                if not any(x > 1e-200 for x in intensity[part]):
                    continue
                # (lower seed points have the higher thresholds)
                lower = qs[part][:-1] if not curved else qs[:part.stop - 1]
                thresholds = [0.5 * math.exp(q * (0.5 * h)) * _THRESHOLD_SLACK for q in reversed(lower)]
                g, n = _electrons_with_thresholds(pieces, thresholds, g_max, exact)
                if len(g) >= 2:
                    j = kernels.compton_powlaw_emissivity([f * scale for f in seeds[part]] + [nu * scale],
                                                          intensity[part] + [0.0], g, n)
                    total += j[-1]
            values.append(total)
            h *= 0.5
        return _extrapolated([[v] for v in values], (2.0, 3.0))[0]

    def _ssc_lattice(self, freqs, seed, pieces, lo, hi, limit):
        """Self-Compton emissivity at ascending blob-frame freqs (below the
        band of the kinematic limit) on the lattices of `_SscLattice`: the
        seed on [lo, hi] at each level, extrapolated to zero seed step at the
        lattice's output points, and interpolated from there (cubic in
        log-log). The output points are _OUT_SPACING level-1 seed steps
        apart; from exp(-_EDGE_BAND) of the kinematic limit, where the
        spectrum starts to bend down to zero, one step apart, up to
        exp(-_NODE_BAND) of it (closer still, the seed steps are too coarse
        for the region that scatters there; those frequencies are computed
        one by one). Level-1 segments where the seed curves too much for one
        power law (`_SPLIT_CURVATURE`) are computed on lattices 2^r times
        finer."""
        grids = self.grids
        levels = _LATTICE_LEVELS[grids.extrapolate]
        seed_step = _LN10 / grids.seed_density()
        bulk = _SscLattice(seed_step, levels, _OUT_SPACING, pieces)
        d1 = bulk.spacing(1)
        q0 = math.floor(math.log(lo) / bulk.step / d1) * d1
        q1 = math.ceil(math.log(hi) / bulk.step / d1) * d1
        intensities = {}

        def seed_on(lattice, number, q0, q1):
            # interpolated once on the finest level, every other point of
            # which is the level before
            key = (lattice.step, q0, q1)
            if key not in intensities:
                intensities[key] = seed.at([lattice.nu(q) for q in range(q0, q1 + 1, lattice.spacing(levels))])
            return intensities[key][::2 ** (levels - number)]

        coarse = [bulk.nu(q) for q in range(q0, q1 + 1, d1)]
        bound = _SPLIT_CURVATURE * (80.0 / grids.compton) ** 2
        c = _curvatures(coarse, seed_on(bulk, 1, q0, q1))
        # level-1 segments that one power law cannot follow are refined by
        # 2^r, on lattices of their own: {r: [segment index, ...]}
        split = {}
        for i in range(len(coarse) - 1):
            need = max(c[i], c[i + 1]) * seed_step * seed_step
            if need > bound:
                r = max(1, math.ceil(0.5 * math.log2(need / bound)))
                split.setdefault(r, []).append(i)
        refined = {}

        def level(lattice, number, q0, q1, use, out_q, out_nu, band):
            values = lattice.level(number, q0, q1, seed_on(lattice, number, q0, q1), out_q, out_nu, use, band)
            if use is None:
                return values
            for r, parents in split.items():
                f = 2 ** r
                key = (lattice.out_spacing, r)
                if key not in refined:
                    refined[key] = _SscLattice(seed_step / f, levels, lattice.out_spacing * f, pieces)
                fine = refined[key]
                f0, f1 = (q0 + parents[0] * d1) * f, (q0 + (parents[-1] + 1) * d1) * f
                inside = set(parents)
                fine_use = [(i + parents[0] * f) // f in inside for i in range((f1 - f0) // fine.spacing(1))]
                extra = fine.level(number, f0, f1, seed_on(fine, number, f0, f1), [q * f for q in out_q], out_nu,
                                   fine_use, band)
                values = [x + y for x, y in zip(values, extra)]
            return values

        def nodes(lattice, out_q, q0, q1, use):
            out_nu = [lattice.nu(q) for q in out_q]
            results = [level(lattice, 1, q0, q1, use, out_q, out_nu, None)]
            out = results[0]
            weight = [f * x for f, x in zip(out_nu, out)]
            peak = max(weight) if weight else 0.0
            inside = [k for k, w in enumerate(weight) if w >= _SSC_BAND * peak] if peak > 0.0 else []
            if levels > 1 and inside:
                band = (inside[0], inside[-1] + 1)
                for number in range(2, levels + 1):
                    results.append(level(lattice, number, q0, q1, use, out_q, out_nu, band))
                k0, k1 = band
                out = out[:k0] + _extrapolated([r[k0:k1] for r in results], (2.0, 3.0)) + out[k1:]
            return out_nu, out

        # output points: two beyond each end of freqs for the interpolation
        # (the edge points instead where freqs come close to the limit)
        m0 = math.floor(math.log(freqs[0]) / bulk.output_step) - 2
        m1 = math.ceil(math.log(freqs[-1]) / bulk.output_step) + 2
        edge_at = math.log(limit) - _EDGE_BAND
        q_edge = math.ceil(edge_at / bulk.output_step) * bulk.k
        out_q = [q for q in range(bulk.k * m0, bulk.k * m1 + 1, bulk.k) if q < q_edge]
        whole = set(i for parents in split.values() for i in parents)
        use = [i not in whole for i in range(len(coarse) - 1)]
        nu, values = nodes(bulk, out_q, q0, q1, use)
        # midway points where the spectrum bends too much for the cubic
        # between the output points (`_bends`), on a lattice of half the
        # output step
        weight = [f * x for f, x in zip(nu, values)]
        floor = _SSC_BAND * max(weight) if weight else 0.0
        mid = [out_q[i] + bulk.k // 2 for i in _bends(values, _MID_TOLERANCE)
               if weight[i] >= floor and weight[i + 1] >= floor]
        if mid:
            half = _SscLattice(seed_step, levels, bulk.out_spacing // 2, pieces)
            more_nu, more = nodes(half, mid, q0, q1, use)
            merged = sorted(zip(nu + more_nu, values + more))
            nu, values = [x for x, _ in merged], [y for _, y in merged]
        if bulk.k * m1 >= q_edge:
            # the seeds that reach the edge: around nu_star, on the edge
            # lattice's finer steps
            edge = _SscLattice(seed_step / _EDGE_REFINE, levels, _EDGE_REFINE, pieces)
            e0 = max(q_edge * _EDGE_REFINE, math.ceil(edge_at / edge.output_step) * edge.k)
            e1 = math.floor((math.log(limit) - _NODE_BAND) / edge.output_step) * edge.k
            nu_star = limit / (4.0 * pieces.gamma[-1] ** 2)
            e_d1 = edge.spacing(1)
            s0 = max(q0 * _EDGE_REFINE, math.floor((math.log(nu_star) - _EDGE_BAND) / edge.step / e_d1) * e_d1)
            s1 = min(q1 * _EDGE_REFINE, math.ceil((math.log(nu_star) + _EDGE_BAND) / edge.step / e_d1) * e_d1)
            if e1 >= e0 and s1 > s0:
                more_nu, more = nodes(edge, list(range(e0, e1 + 1, edge.k)), s0, s1, None)
                nu, values = nu + more_nu, values + more
        return _interp_seed(freqs, nu, values, extend=True)

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


class _SscLattice:
    """Self-Compton seeds and outputs on one absolute logarithmic lattice:
    frequencies exp(q step) Hz for integers q. Level L's seed points are
    every 2^(levels - L)-th point (level 1 the coarsest), the outputs every
    k-th (a multiple of the level-1 spacing). The threshold
    sqrt(nu / (4 a)) of an output nu = exp(q_nu step) and a seed point
    a = exp(q_a step) is then 0.5 exp((q_nu - q_a) step / 2), so the
    thresholds of all outputs of all seed segments whose q_a agree mod k lie
    on one table of Lorentz factors (`electrons`): the electrons are exact
    for distributions that are power laws between their points, and such
    seed segments share kernel calls (`level`).

    Each level's kernel calls take their frequencies multiplied by
    exp(-h / 2), h the level's seed step: the kernel's only absolute scale
    is its Klein-Nishina cut m_e c^2 / (4 h_Planck b) at a segment's upper
    end b, everything else goes by frequency ratios, so the scaled call is
    the same computation with the cut at the segment's log midpoint
    sqrt(a b). The error of the cut is then second order in the step, like
    the rest, and two levels extrapolate to zero step."""

    def __init__(self, seed_step, levels, out_spacing, pieces):
        self.levels = levels
        self.out_spacing = out_spacing
        self.step = seed_step / 2 ** (levels - 1)
        self.k = out_spacing * 2 ** (levels - 1)
        self.output_step = self.k * self.step
        self.pieces = pieces
        self._nu, self._thresholds, self._threshold_tables = _lattice_values(self.step)
        self._tables = {}

    def spacing(self, level):
        """Lattice points between level `level`'s seed points."""
        return 2 ** (self.levels - level)

    def nu(self, q):
        v = self._nu.get(q)
        if v is None:
            if len(self._nu) >= _LATTICE_CACHE_LIMIT:
                self._nu.clear()
            v = self._nu[q] = math.exp(q * self.step)
        return v

    def threshold(self, t):
        """The grid point for the threshold 0.5 exp(t step / 2): a hair above
        it, so that the kernel, whose own value may differ in the last bits,
        counts the segment that starts there."""
        return self._threshold(t)[0]

    def _threshold(self, t):
        """(threshold(t), its logarithm)."""
        v = self._thresholds.get(t)
        if v is None:
            if len(self._thresholds) >= _LATTICE_CACHE_LIMIT:
                self._thresholds.clear()
            x = 0.5 * math.exp(t * (0.5 * self.step)) * _THRESHOLD_SLACK
            v = self._thresholds[t] = (x, math.log(x))
        return v

    def electrons(self, r):
        """(gamma, n): the electron table with every threshold t = r mod k
        inside it added as a point (n on the same piecewise power law)."""
        table = self._tables.get(r)
        if table is None:
            g_tab = self.pieces.gamma
            g0, g1 = g_tab[0], g_tab[-1]
            # the thresholds inside (g0, g1) depend on the lattice and the
            # table's ends only: shared with later SEDs of the same ends
            key = (self.k, r, g0, g1)
            points = self._threshold_tables.get(key)
            if points is None:
                t = int(math.floor(2.0 * math.log(2.0 * g0) / self.step)) - 1
                t += (r - t) % self.k
                points = ([g0], [math.log(g0)])
                while True:
                    x, log_x = self._threshold(t)
                    if x >= g1:
                        break
                    if x > g0:
                        points[0].append(x)
                        points[1].append(log_x)
                    t += self.k
                if len(self._threshold_tables) >= _THRESHOLD_TABLE_LIMIT:
                    self._threshold_tables.clear()
                self._threshold_tables[key] = points
            table = self._tables[r] = _electrons_with_thresholds(self.pieces, points[0], g1, logs=points[1])
        return table

    def level(self, level, q0, q1, intensity, out_q, out_nu, use, band):
        """Emissivity at the outputs (out_q, out_nu) of the seed on level
        `level`'s lattice from q0 to q1 (`intensity` at its points), only
        inside the level-1 segments i with use[i]; outputs outside `band` (a
        range of output indices, None for all) are left at zero.

        A seed segment [a, b] reaches the outputs from b up to 4 a top^2
        (top its Klein-Nishina cut or the last electron). Segments whose q_a
        agree mod k go to the kernel _CHUNK at a time: their (a, b) pairs
        apart, each followed by one of the outputs (zero intensity, so that
        no segment joins two pairs), then the other outputs."""
        d = self.spacing(level)
        d1 = self.spacing(1)
        step = self.step
        scale = math.exp(-0.5 * d * step)
        g_tab = self.pieces.gamma
        g0, g_max = g_tab[0], g_tab[-1]
        kn = _KN_GAMMA_TIMES_NU / scale
        scaled_out = [f * scale for f in out_nu]
        zeros = [0.0] * len(out_nu)
        k_band0, k_band1 = band if band is not None else (0, len(out_nu))
        exp, before, k = math.exp, bisect.bisect_left, self.k
        groups = {}
        out = [0.0] * len(out_nu)
        if k_band1 <= k_band0:
            return out
        # the segments that can reach an output: a below the highest, and
        # 4 a top^2 above the lowest (top at most g_max, and at most kn / b)
        lowest, highest = math.log(out_nu[k_band0]), math.log(out_nu[k_band1 - 1])
        h = d * step
        first = math.floor((lowest - math.log(4.0 * g_max * g_max) - q0 * step) / h) - 1
        last = math.ceil((min(highest, math.log(4.0 * kn * kn) - 2.0 * h - lowest) - q0 * step) / h) + 1
        b = exp((q0 + max(first, 0) * d) * step)
        for idx in range(max(first, 0), min(last + 1, len(intensity) - 1)):
            qa = q0 + idx * d
            a, b = b, exp((qa + d) * step)
            ia, ib = intensity[idx], intensity[idx + 1]
            if not (ia > 1e-200 and ib > 1e-200):
                continue
            if use is not None and not use[(qa - q0) // d1]:
                continue
            top = kn / b
            if top > g_max:
                top = g_max
            elif top <= g0:
                break  # no electron below the cut, nor for any higher segment
            k_lo = before(out_nu, b)
            k_hi = before(out_nu, 4.0 * a * top * top)
            if k_lo < k_band0:
                k_lo = k_band0
            if k_hi > k_band1:
                k_hi = k_band1
            if k_hi > k_lo:
                r = qa % k
                if r in groups:
                    groups[r].append((qa, a, b, ia, ib, top, k_lo, k_hi))
                else:
                    groups[r] = [(qa, a, b, ia, ib, top, k_lo, k_hi)]
        # each of a call's seed points is one of its outputs too: few outputs
        # take fewer segments per call
        size = max(2, min(_CHUNK, (k_band1 - k_band0) // 3))
        for r, segments in groups.items():
            gamma, n = self.electrons((-r) % self.k)
            for start in range(0, len(segments), size):
                chunk = segments[start:start + size]
                k_lo, k_hi, t_min = len(out_nu), 0, None
                for qa, _, _, _, _, _, lo_, hi_ in chunk:
                    if lo_ < k_lo:
                        k_lo = lo_
                    if hi_ > k_hi:
                        k_hi = hi_
                    t = out_q[lo_] - qa
                    if t_min is None or t < t_min:
                        t_min = t
                first = self.threshold(t_min)
                j0 = before(gamma, first) if first > g0 else 0
                j1 = before(gamma, chunk[0][5], j0) + 1
                if j1 > len(gamma):
                    j1 = len(gamma)
                if j1 - j0 < 2:
                    continue
                # separators: the first outputs (repeated if there are fewer
                # than needed), then the others
                wanted = scaled_out[k_lo:k_hi]
                count = len(chunk) - 1
                freqs, inu = [], []
                for i, (_, a, b, ia, ib, _, _, _) in enumerate(chunk):
                    freqs += (a * scale, b * scale)
                    inu += (ia, ib)
                    if i < count:
                        freqs.append(wanted[i % len(wanted)])
                        inu.append(0.0)
                freqs += wanted[count:]
                inu += zeros[:len(wanted) - count] if len(wanted) > count else []
                j = kernels.compton_powlaw_emissivity(freqs, inu, gamma[j0:j1], n[j0:j1])
                for i in range(min(count, len(wanted))):
                    out[k_lo + i] += j[3 * i + 2]
                base = 3 * count + 2 - count
                for k_ in range(k_lo + count, k_hi):
                    out[k_] += j[base + k_ - k_lo]
        return out


# Lattice frequencies exp(q step) and thresholds, by step: they do not depend
# on the model, so the SEDs of a fit share them; and the thresholds inside an
# electron table's ends (g0, g1), which SEDs of the same ends share. At most
# _LATTICE_CACHE_SIZE steps are kept (a fit uses a handful), each with at
# most _LATTICE_CACHE_LIMIT frequencies and as many thresholds (a lattice
# over 15 decades of seed frequency holds about 1200 of each) and
# _THRESHOLD_TABLE_LIMIT tables of thresholds (a few dozen points each; a fit
# that varies gamma_min or gamma_max adds about 30 tables per SED, never
# used again): a few MB at most.
_LATTICE_CACHE = {}
_LATTICE_CACHE_SIZE = 16
_LATTICE_CACHE_LIMIT = 10000
_THRESHOLD_TABLE_LIMIT = 256


def _lattice_values(step):
    """({q: exp(q step)}, {t: (threshold, its log)}, {(k, r, g0, g1):
    (the thresholds t = r mod k inside (g0, g1), their logs)}) shared by the
    lattices of this step (`_SscLattice.electrons`)."""
    values = _LATTICE_CACHE.get(step)
    if values is None:
        if len(_LATTICE_CACHE) >= _LATTICE_CACHE_SIZE:
            _LATTICE_CACHE.clear()
        values = _LATTICE_CACHE[step] = ({}, {}, {})
    return values


class _LogTable:
    """A positive table (x ascending) for interpolation by four-point
    Lagrange polynomials of ln y in ln x (a cubic through the two points on
    each side), power-law interpolation where a neighbour is not positive
    (linear where an end is not positive either); one table serves many
    calls (its logarithms and each cubic's coefficients are kept)."""

    def __init__(self, x, y):
        self.x, self.y = x, y
        self.lx = [math.log(v) for v in x]
        self.ly = [math.log(v) if v > 0.0 else None for v in y]
        # whether the four points from i0 on are all positive
        self._positive = [None not in self.ly[i:i + 4] for i in range(len(y))]
        self._weights = {}

    def _cubic(self, i0):
        """(c, a0, a1, a2, a3): the cubic through points i0 ... i0 + 3 as
        a0 + a1 u + a2 u^2 + a3 u^3 in u = ln x - c, c = ln x[i0 + 1]: the
        sum over the points k of the Lagrange weight w_k = y_k / prod(u_k -
        u_m) times prod(u - u_m) expanded (m over the other three points)."""
        cubic = self._weights.get(i0)
        if cubic is None:
            lx, ly = self.lx, self.ly
            c = lx[i0 + 1]
            u0, u1, u2, u3 = lx[i0] - c, lx[i0 + 1] - c, lx[i0 + 2] - c, lx[i0 + 3] - c
            a0 = a1 = a2 = a3 = 0.0
            for uk, yk, r0, r1, r2 in ((u0, ly[i0], u1, u2, u3), (u1, ly[i0 + 1], u0, u2, u3),
                                       (u2, ly[i0 + 2], u0, u1, u3), (u3, ly[i0 + 3], u0, u1, u2)):
                w = yk / ((uk - r0) * (uk - r1) * (uk - r2))
                a3 += w
                a2 -= w * (r0 + r1 + r2)
                a1 += w * (r0 * r1 + r0 * r2 + r1 * r2)
                a0 -= w * (r0 * r1 * r2)
            cubic = self._weights[i0] = (c, a0, a1, a2, a3)
        return cubic

    def at(self, x_new, extend=False):
        """y at the ascending x_new; zero outside [x[0], x[-1]] (with
        `extend`, the last cubic continues beyond x[-1])."""
        x, y, lx, ly = self.x, self.y, self.lx, self.ly
        m = len(x)
        positive, cubics = self._positive, self._weights
        out = []
        j = 0
        log, exp = math.log, math.exp
        for v in x_new:
            if v < x[0] or (v > x[-1] and not extend):
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
            t = log(v)
            if m >= 4:
                i0 = min(max(j - 1, 0), m - 4)
                if positive[i0]:
                    c, a0, a1, a2, a3 = cubics[i0] if i0 in cubics else self._cubic(i0)
                    u = t - c
                    out.append(exp(a0 + u * (a1 + u * (a2 + u * a3))))
                    continue
            if ly[j] is not None and ly[j + 1] is not None:
                out.append(exp(ly[j] + (ly[j + 1] - ly[j]) * (t - lx[j]) / (lx[j + 1] - lx[j])))
            else:
                out.append(y[j] + (y[j + 1] - y[j]) * (v - x[j]) / (x[j + 1] - x[j]))
        return out


def _interp_seed(x_new, x, y, extend=False):
    """y(x) (x ascending) at ascending x_new, interpolated as `_LogTable`."""
    return _LogTable(x, y).at(x_new, extend)


def _bends(values, tolerance):
    """The intervals i (between points i and i + 1 of evenly spaced
    positive values) where the cubic through the two points on each side
    is not to be trusted at the midpoint: its ln differs by more than
    `tolerance` from that of a cubic one point to the left or right, or a
    point it needs is not positive."""
    m = len(values)
    logs = [math.log(v) if v > 0.0 else None for v in values]
    out = []
    for i in range(m - 1):
        window = logs[max(0, i - 2):i + 4]
        if None in window:
            if any(v is not None for v in logs[i:i + 2]):
                out.append(i)
            continue
        if i < 1 or i + 2 >= m:
            continue
        y = logs[i - 1:i + 3]
        center = (9.0 * (y[1] + y[2]) - (y[0] + y[3])) / 16.0
        worst = 0.0
        if i >= 2:
            z = logs[i - 2]
            worst = abs(center - (0.0625 * z - 0.3125 * y[0] + 0.9375 * y[1] + 0.3125 * y[2]))
        if i + 3 < m:
            z = logs[i + 3]
            worst = max(worst, abs(center - (0.3125 * y[1] + 0.9375 * y[2] - 0.3125 * y[3] + 0.0625 * z)))
        if worst > tolerance:
            out.append(i)
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
