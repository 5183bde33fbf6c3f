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
  20 times looser for the self-Compton seed (whose errors the scattering
  averages out), 1e-3 (16 / external)^2 for external Compton. The error falls
  with the bound, i.e. as the square of the step (PowerLawCutoff, whose
  c = gamma / gamma_cutoff grows without limit, the slowest: about step^1.3).
- Self-Compton (`ic_iso_powlaw_full`) counts, for each pair of a seed
  segment [nu_lo, nu_hi] and an electron segment, the electron segment only
  if it lies wholly above sqrt(nu / (4 nu_lo)), and cuts the electrons of the
  whole seed segment at the Klein-Nishina limit of nu_hi. Both shortfalls
  follow the seed step as well as the electron step. At the threshold the
  scattering kernel vanishes, so that loss is second order; at the
  Klein-Nishina cut it does not, so where that cut shapes the spectrum the
  loss is first order in the seed step. With the seed step a rational
  multiple of the electron step (seed 10 and electrons 40 per decade) every
  seed segment puts its threshold at the same place of its electron
  segment, and the loss is a saw-tooth in frequency that no extrapolation
  removes; the seed grid is therefore set so that half its step is a whole
  multiple of 1.618 electron steps (golden-ratio spacing spreads the
  thresholds evenly). Two seed grids, s and 2 s per decade (every other
  point of the finer), scatter off the same electrons and are extrapolated
  to zero seed step as 2 f(2 s) - f(s); `extrapolate="fine"` instead
  combines three levels, (s, e), (2 s, 2 e), (4 s, 4 e), for an error
  a h + b h^2 (for reference computations). The synchrotron of the seed is
  computed on the coarser seed grid and interpolated (power law) onto the
  finer one.
- Close to the kinematic limit h nu' = gamma_max m_e c^2 fixed grids fail:
  at nu' = limit e^-d only seeds within e^(+-d) of nu* = m_e c^2 /
  (4 h gamma_max) and electrons above gamma_max e^-d scatter (a triangle of
  side d in ln nu_seed, ln gamma), and the cut per seed segment loses about
  (seed step) / d of it, 28 % at d = 0.2 on the common grids. Above 1e-2 of
  the limit (d < ln 100) self-Compton is therefore computed on grids scaled
  to d (`BlobEmission._ssc_near_limit`): electrons from gamma_max e^-d at
  steps of at most d / compton (or less where n falls off within d, as a
  cut-off does; at least 2 compton per decade), seed steps
  2 * 1.618 times that over nu* e^(+-d), the seed intensity interpolated
  from the seed table, the same levels and extrapolation. Each chunk of seed
  segments gets only the electrons that can reach the wanted frequencies
  from it (above sqrt(nu / (4 nu_top))), which makes these grids cheap.
- The kernel evaluates the emissivity at every frequency of its seed table.
  Since the emissivity is linear in the seed, the seed goes in chunks of 8
  consecutive segments, each with the wanted frequencies it can reach only
  (from its lowest seed frequency to 4 gamma_max^2 times its highest: a
  wanted frequency inside a chunk carries the chunk's power-law value, one
  above it zero), so that the seed frequencies nobody asked for cost little.
  A wanted frequency inside a seed segment splits it in two for the kernel,
  which moves the cut and the threshold of that segment and so the values
  at every frequency it reaches; the frequencies above a chunk therefore go
  in a call of their own, apart from those inside it. (Merged into one
  call, 100 output frequencies moved the self-Compton of the reference
  model by 0.3-0.4 %, about the grid error, and 1000 of them, denser than
  the seed grid, made both extrapolation levels nearly the same grid: 1.5-
  1.8 % errors.)
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

# The golden ratio: the positions k * m * 1.618 modulo 1 (k = 0, 1, 2, ...) of
# the self-Compton thresholds within their electron segments spread evenly
# for any whole m (it is the number worst approximated by fractions).
_PHI = (1.0 + math.sqrt(5.0)) / 2.0

# Synchrotron emission and absorption beyond this many critical frequencies
# of gamma_max are below e^-100 of their value there: they are set to zero
# instead of evaluated.
_SYNCHROTRON_CUT = 100.0

# Bounds on |d^2 ln n / d(ln gamma)^2| step^2 of the synchrotron and external
# Compton grids of curved shapes: for the output and, looser, for the
# self-Compton seed (see `adaptive_tabulation` and `Grids`).
_CURVATURE_OUTPUT = 0.001
_CURVATURE_SEED = 0.05
_SEED_SAMPLED_EVERY = 2

# Self-Compton at output frequencies above exp(-_LIMIT_BAND) of the kinematic
# limit h nu' = gamma_max m_e c^2 is computed on grids scaled to the distance
# d = ln(limit / nu') from it (`BlobEmission._ssc_near_limit`): electron steps
# (in ln gamma) of at most w / compton, w = d or, where n falls faster (a
# cut-off), _LIMIT_WIDTH e-folds of n at gamma_max e^-d (but at least d / 4),
# and never coarser than _LIMIT_DENSITY * compton per decade; seed steps
# 2 * 1.618 electron steps. Output frequencies whose distances lie within a
# factor _LIMIT_GROUP of each other share one set of grids; seed chunks of
# _LIMIT_CHUNK segments each get their own electron floor.
_LIMIT_BAND = math.log(100.0)
_LIMIT_DENSITY = 2.0
_LIMIT_GROUP = 1.5
_LIMIT_WIDTH = 3.0
_LIMIT_CHUNK = 8
# Seed segments per self-Compton kernel call (`compton_emissivity`).
_COMPTON_CHUNK = 8


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
    - `compton`: Lorentz factors for self-Compton;
    - `seed`: frequencies of the seed field (coarser of the two seed grids)
      over the synchrotron range of `seed_frequencies`; None (default) gives
      compton / (4 * 1.618), any value is raised as far as needed for half a
      seed step to be a whole multiple of 1.618 electron steps;
    - `extrapolate`: True (default) extrapolates self-Compton from seed
      grids of `seed` and 2 `seed` per decade to zero seed step; False
      computes the coarser one alone; "fine" combines three levels, (seed,
      compton) times 1, 2 and 4, for an error a h + b h^2 (about 20 times the
      work: for reference computations);
    - `external`: Lorentz factors for external Compton (None: the denser of
      16 and `synchrotron`), curved shapes split to 1e-3 (16 / external)^2.

    Above 1e-2 of the kinematic limit h nu' = gamma_max m_e c^2,
    self-Compton runs on grids scaled to the distance from it (module
    docstring): `compton` and `extrapolate` set them too, `seed` does not.

    Measured (`python scripts/models_accuracy.py`): reference blob R = 1e16
    cm, B = 0.1 G, delta = 10, z = 0, d_L = 1e27 cm; electrons of 1e47 erg
    from gamma 1e2 to 1e6 as PowerLaw(2.2), BrokenPowerLaw(2, 3, 1e4),
    LogParabola(2, 0.4, 1e4), PowerLawCutoff(2, 1e5); external field 1e-2
    erg cm^-3 at 3e14 Hz; 100 frequencies 1e8-1e27 Hz. Error: the largest
    |f / f_ref - 1| where the component is at least 1e-3 of its peak, against
    Grids(32, 80, 24.72, "fine", 64), which is within 0.05 % of the same
    with every density doubled (self-Compton: 0.03-0.05 % in its Thomson
    band, 0.07-0.12 % over its whole window up to the kinematic limit; above
    1e-2 of the limit both are within 0.11 % of single kernel calls on
    grids of their own there, `--limit`).

    - Synchrotron, with or without absorption: exact (0.000 %) for PowerLaw
      and BrokenPowerLaw at any density; LogParabola 0.13 / 0.032 / 0.008 /
      0.002 % and PowerLawCutoff 3.1 / 1.3 / 0.58 / 0.25 % at synchrotron 1 /
      2 / 4 / 8: as the step^2 (the cut-off, whose curvature grows without
      limit in its tail, as step^1.2).
    - External Compton: exact for (broken) power laws; LogParabola 2.0 /
      0.44 / 0.11 / 0.026 % and PowerLawCutoff 2.3 / 0.59 / 0.09 / 0.025 %
      at external 1 / 2 / 4 / 8: step^2.
    - Self-Compton over its whole window (PowerLaw / BrokenPowerLaw /
      LogParabola / PowerLawCutoff), extrapolated, at compton 20: 2.8 / 4.7 /
      5.3 / 4.1 %; 40: 1.3 / 1.4 / 1.0 / 1.1 %; 80: 0.66 / 0.80 / 0.49 /
      0.56 %; 160: 0.20 / 0.26 / 0.20 / 0.15 % (one level: 12-13 % at 80,
      about as the step). The largest errors are in the Thomson band (below
      1e-2 of the limit), nearly all of them from the seed step (with seed
      24.72 BrokenPowerLaw has 0.08 % there, at 1.75 times the time).
      Above it, on the grids scaled to the distance from the limit, 0.46 /
      0.38 / 0.06 / 0.18 % against the reference and 0.45 / 0.37 / 0.07 /
      0.21 % against the single kernel calls of `--limit`, no worse at
      d = 0.2 than at d = 4 (on the common grids it was 27-30 % at the last
      point before the limit, and 6.5 % below half of it for
      PowerLawCutoff).
    - The defaults (4, 80, None, True, None): synchrotron within 0.6 %,
      external Compton within 0.01 % and self-Compton within 0.8 % over the
      whole window, for all four shapes. One SED of the broken power law
      (synchrotron, absorption, self-Compton, 100 frequencies) takes about
      95 ms on one worker (about 10 ms of it for the 10 frequencies near the
      limit; measured on a shared machine, where the previous scheme took
      the same), nearly all of it in `ic_iso_powlaw_full`; LogParabola and
      PowerLawCutoff add 80-140 ms of synchrotron over their finer grids.
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

    def seed_density(self, electron_density=None):
        """Seed points per decade of the coarser self-Compton level for
        electrons with electron_density points per decade (default
        `compton`): `seed`, or compton / (4 * 1.618) if that is None, raised
        as far as needed for half a seed step to be a whole multiple of 1.618
        electron steps (see the module docstring)."""
        e = self.compton if electron_density is None else electron_density
        s = e / (4.0 * _PHI) if self.seed is None else self.seed
        t = e / (2.0 * s)  # half a seed step, in electron steps
        if t >= _PHI:
            s = e / (2.0 * _PHI * math.floor(t / _PHI + 1e-12))
        return s

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


def _seed_levels(b_field, gamma_min, gamma_max, points_per_decade, levels=2):
    """Seed frequencies over the range of `seed_frequencies`, evenly spaced
    in log with levels times points_per_decade per decade, so that every
    levels-th point of them is the grid at points_per_decade."""
    grid = seed_frequencies(b_field, gamma_min, gamma_max, 1.0)
    lo, hi = grid[0], grid[-1]
    m = max(1, int(math.ceil(math.log10(hi / lo) * points_per_decade - 1e-9)))
    step = math.log(hi / lo) / (levels * m)
    fine = [lo * math.exp(step * i) for i in range(levels * m + 1)]
    fine[0], fine[-1] = lo, hi
    return fine


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


def compton_emissivity(seed_freqs, seed_intensity, gamma, n, freqs, chunk=_COMPTON_CHUNK):
    """Self-Compton emissivity per sr at the ascending blob-frame `freqs` of
    electrons (gamma, n) in an isotropic seed tabulated on `seed_freqs`
    (ascending, a power law between points).

    The kernel evaluates the emissivity at every frequency of its seed
    table; since the emissivity is linear in the seed, the seed is split into
    chunks of `chunk` consecutive segments, and each chunk is passed with
    the wanted frequencies it can reach: those above it in one call, those
    inside it in another (a wanted frequency inside a chunk gets the chunk's
    power-law value, one outside it zero, so no seed segment is counted
    twice or lost). A frequency inside the seed table splits the segment it
    falls in, which moves that segment's Klein-Nishina cut and threshold;
    kept apart, it does so only for the frequencies inside the same
    chunk."""
    m = len(freqs)
    out = [0.0] * m
    live = [i for i, v in enumerate(seed_intensity) if v > 1e-200]
    if len(live) < 2 or len(gamma) < 2:
        return out
    sf = seed_freqs[live[0]:live[-1] + 1]
    si = seed_intensity[live[0]:live[-1] + 1]
    # x = nu / (4 nu_seed) between 1/4 and gamma_max^2: nothing outside.
    top = 4.0 * gamma[-1] ** 2 * sf[-1]
    want = [k for k, f in enumerate(freqs) if sf[0] <= f <= top]
    if not want:
        return out
    wanted = [freqs[k] for k in want]
    g2 = 4.0 * gamma[-1] ** 2
    for s0 in range(0, len(sf) - 1, chunk):
        cf, ci = sf[s0:s0 + chunk + 1], si[s0:s0 + chunk + 1]
        # a frequency below the chunk (no down-scattering) or above
        # 4 gamma_max^2 times its top gets nothing from it
        inside = [(k, f) for k, f in zip(want, wanted) if cf[0] <= f <= cf[-1]]
        above = [(k, f) for k, f in zip(want, wanted) if cf[-1] < f <= g2 * cf[-1]]
        for here in (inside, above):
            if not here:
                continue
            merged = sorted(set(cf).union(f for _, f in here))
            inu = _util.interp_loglog(merged, cf, ci)
            j = kernels.compton_powlaw_emissivity(merged, inu, gamma, n)
            at = {f: i for i, f in enumerate(merged)}
            for k, f in here:
                out[k] += j[at[f]]
    return out


def _compton_by_chunks(seed_freqs, seed_intensity, gamma, n, freqs, chunk=_LIMIT_CHUNK):
    """`compton_emissivity` at freqs, the seed passed in chunks of `chunk`
    segments, each with the electrons from the last grid point at or below
    sqrt(min(freqs) / (4 nu_top)), nu_top its highest seed frequency:
    the kernel counts no electron segment below sqrt(nu / (4 nu_lo)) of a
    seed segment, so the others only cost time (lower seeds need fewer
    electrons)."""
    out = [0.0] * len(freqs)
    lowest = min(freqs)
    for s0 in range(0, len(seed_freqs) - 1, chunk):
        cf, ci = seed_freqs[s0:s0 + chunk + 1], seed_intensity[s0:s0 + chunk + 1]
        floor = math.sqrt(lowest / (4.0 * cf[-1])) * (1.0 - 1e-9)
        k = max(0, bisect.bisect_right(gamma, floor) - 1)
        part = compton_emissivity(cf, ci, gamma[k:], n[k:], freqs, chunk=len(cf))
        out = [a + b for a, b in zip(out, part)]
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

    def _synchrotron(self, freqs, table=None):
        """(j, alpha) at ascending blob-frame freqs for the electrons on
        `table` (default: the output table); zero beyond _SYNCHROTRON_CUT
        critical frequencies of gamma_max."""
        g, n = table or self._syn_electrons
        cut = _SYNCHROTRON_CUT * 1.5 * NU_B_PER_GAUSS * self.blob.b_field * g[-1] ** 2
        m = sum(1 for f in freqs if f <= cut)
        if m == 0:
            return [0.0] * len(freqs), [0.0] * len(freqs)
        j, a = kernels.synchrotron(freqs[:m], g, n, self.blob.b_field, self.ssa)
        pad = [0.0] * (len(freqs) - m)
        return list(j) + pad, list(a) + pad

    def seed_intensity(self, freqs):
        """Isotropic seed intensity (9/4 of the escaping synchrotron
        intensity) on the given ascending blob-frame frequencies."""
        j, a = self._synchrotron(list(freqs), self._seed_electrons)
        intensity = kernels.blob_intensity(self.blob.radius, j, a)
        return [SEED_FACTOR * x for x in intensity]

    def _seed_levels(self):
        """The finest seed frequencies the self-Compton levels use."""
        e = self.electrons
        density = self.grids.seed_density(_per_decade(e.grid(self.grids.compton)))
        levels = {False: 1, True: 2, "fine": 4}[self.grids.extrapolate]
        return _seed_levels(self.blob.b_field, e.gamma_min, e.gamma_max, density, levels)

    def _ssc_emissivity(self, freqs, seed, intensity):
        """Self-Compton emissivity at freqs from the seed intensity on the
        finest seed frequencies of `_seed_levels`: on the common grids below
        exp(-_LIMIT_BAND) of the kinematic limit, on grids scaled to the
        distance from it above (`_ssc_near_limit`)."""
        limit = self.electrons.gamma_max * ME_C2 / H
        edge = limit * math.exp(-_LIMIT_BAND)
        low = [k for k, f in enumerate(freqs) if f <= edge]
        high = [k for k, f in enumerate(freqs) if f > edge]
        out = [0.0] * len(freqs)
        if low:
            for k, x in zip(low, self._ssc_common([freqs[k] for k in low], seed, intensity)):
                out[k] = x
        if high:
            for k, x in zip(high, self._ssc_near_limit([freqs[k] for k in high], seed, intensity)):
                out[k] = x
        return out

    def _ssc_common(self, freqs, seed, intensity):
        """Self-Compton emissivity at freqs on the seed levels of
        `_seed_levels` and electrons at `compton` per decade."""
        e, v = self.electrons, self.blob.volume
        ppd = self.grids.compton

        def level(step, factor):
            # seed every `step`-th point, electrons at factor * compton
            g, n = e.tabulate(factor * ppd, v)
            return compton_emissivity(seed[::step], intensity[::step], g, n, freqs)

        return self._combine_levels(level)

    def _combine_levels(self, level):
        """The self-Compton levels level(seed step, electron factor) combined
        as `extrapolate` asks."""
        mode = self.grids.extrapolate
        if mode is False:
            return level(1, 1.0)
        if mode is True:
            return _richardson(level(1, 1.0), level(2, 1.0), order=1.0)
        return _romberg12(level(4, 1.0), level(2, 2.0), level(1, 4.0))

    def _band_electrons(self, lo, points_per_decade):
        """(gamma, n) from lo to gamma_max with at least points_per_decade
        per decade, breaks (or a Tabulated's own points) on the grid."""
        e = self.electrons
        if isinstance(e, Tabulated):
            g = _util.log_grid(lo, e.gamma_max, points_per_decade, include=e.gamma_values)
            return g, _util.interp_loglog(g, e.gamma_values, e.n_values)
        g = _util.log_grid(lo, e.gamma_max, points_per_decade, include=e.breaks())
        k = e.coefficient(self.blob.volume)
        return g, [k * e.shape(x) for x in g]

    def _falloff(self, gamma):
        """1 / |d ln n / d ln gamma| at gamma (inf where n is not positive
        or flat)."""
        e = self.electrons
        eps = 1e-3
        lo, hi = e.shape(gamma * math.exp(-eps)), e.shape(gamma)
        if not (lo > 0.0 and hi > 0.0) or lo == hi:
            return math.inf
        return eps / abs(math.log(hi / lo))

    def _ssc_near_limit(self, freqs, seed, intensity):
        """Self-Compton emissivity at ascending freqs above exp(-_LIMIT_BAND)
        of the kinematic limit nu_lim = gamma_max m_e c^2 / h.

        At nu = nu_lim e^-d only seeds within e^(+-d) of nu* = m_e c^2 /
        (4 h gamma_max) and electrons above gamma_max e^-d scatter: the region
        allowed by gamma^2 >= nu / (4 nu_seed), gamma <= gamma_max and the
        Klein-Nishina cut gamma <= m_e c^2 / (4 h nu_seed) is a triangle of
        side d in (ln nu_seed, ln gamma) at (nu*, gamma_max). The kernel cuts
        each seed segment at the Klein-Nishina limit of its upper frequency
        and so loses about (seed step) / d of it; the grids here are therefore
        scaled to d: electrons from gamma_max e^-d at steps of at most
        w / compton, w = d or, where n falls off faster (a cut-off),
        _LIMIT_WIDTH e-folds of n at gamma_max e^-d, but no less than d / 4
        (and at least _LIMIT_DENSITY * compton per decade),
        seed steps 2 * 1.618 electron steps (the thresholds spread evenly
        over the electron segments, as on the common grids) over
        nu* e^(+-d), with the seed intensity interpolated (power law) from
        the finest seed table. The seed goes in chunks with the wanted
        frequencies alone (they lie above it for gamma_max > 50, so they
        split none of its segments), each chunk with the electrons it can
        reach them with (`_compton_by_chunks`). The levels and their
        extrapolation are those of the common grids (`extrapolate`).
        Frequencies whose d lie within a factor _LIMIT_GROUP of each other
        share one set of grids (scaled to the smallest d, spanning the
        largest); so do all those whose steps reach the _LIMIT_DENSITY
        bound."""
        e = self.electrons
        out = [0.0] * len(freqs)
        gamma_max = e.gamma_max
        limit = gamma_max * ME_C2 / H
        nu_star = 0.25 * ME_C2 / (H * gamma_max)
        levels = {False: 1, True: 2, "fine": 4}[self.grids.extrapolate]
        ppd = self.grids.compton
        cap = math.log(10.0) / (_LIMIT_DENSITY * ppd)
        # (index, d) from the kinematic limit down; nothing at or above it
        todo = [(k, math.log(limit / f)) for k, f in reversed(list(enumerate(freqs))) if f < limit]
        while todo:
            d_min = todo[0][1]
            # the width the grids resolve: d, or a few e-folds of n there if
            # n falls faster (a cut-off), but no less than d / 4
            width = max(min(d_min, _LIMIT_WIDTH * self._falloff(gamma_max * math.exp(-d_min))), 0.25 * d_min)
            group = [t for t in todo if t[1] <= _LIMIT_GROUP * d_min or width / ppd >= cap]
            todo = todo[len(group):]
            d_max = group[-1][1]
            wanted = [freqs[k] for k, _ in group]
            lo = max(seed[0], nu_star * math.exp(-d_max))
            hi = min(seed[-1], nu_star * math.exp(d_max))
            g_lo = max(e.gamma_min, gamma_max * math.exp(-d_max) * (1.0 - 1e-6))
            if not (hi > lo and g_lo < gamma_max):
                continue
            h_e = min(width / ppd, cap)
            # the coarsest seed level steps 4 * 1.618 electron steps (as the
            # common grids); the finest is `levels` times finer
            m = max(1, int(math.ceil(math.log(hi / lo) / (4.0 * _PHI * h_e) - 1e-9)))
            grid = [lo * (hi / lo) ** (i / (levels * m)) for i in range(levels * m + 1)]
            grid[0], grid[-1] = lo, hi
            inu = _util.interp_loglog(grid, seed, intensity)
            ppd_e = math.log(10.0) / h_e
            tables = {}

            def level(step, factor):
                if factor not in tables:
                    tables[factor] = self._band_electrons(g_lo, factor * ppd_e)
                g, n = tables[factor]
                return _compton_by_chunks(grid[::step], inu[::step], g, n, wanted)

            for (k, _), x in zip(group, self._combine_levels(level)):
                out[k] = x
        return out

    def intensities(self, freqs):
        """Escaping intensity (erg cm^-2 s^-1 Hz^-1 sr^-1) by component at
        ascending blob-frame frequencies."""
        freqs = list(freqs)
        m = len(freqs)
        zeros = [0.0] * m
        seed = self._seed_levels() if self.ssc else []
        same = self._seed_electrons == self._syn_electrons
        # One synchrotron call for the output and the seed frequencies where
        # both use the same electron table.
        if self.synchrotron or self.ssa or (seed and same):
            union = sorted(set(freqs).union(seed)) if seed and same else freqs
            j_all, a_all = self._synchrotron(union)
            at = {f: i for i, f in enumerate(union)}
            j_syn = [j_all[at[f]] for f in freqs]
            alpha = [a_all[at[f]] for f in freqs] if self.ssa else zeros
        else:
            j_syn, alpha = zeros, zeros
        out = {}
        if self.synchrotron:
            out["synchrotron"] = kernels.blob_intensity(self.blob.radius, j_syn, alpha)
        if self.ssc:
            if same:
                js, as_ = [j_all[at[f]] for f in seed], [a_all[at[f]] for f in seed]
                inu = [SEED_FACTOR * x for x in kernels.blob_intensity(self.blob.radius, js, as_)]
            elif _SEED_SAMPLED_EVERY > 1:
                sampled = seed[::_SEED_SAMPLED_EVERY]
                if sampled[-1] != seed[-1]:
                    sampled.append(seed[-1])
                js, as_ = self._synchrotron(sampled, self._seed_electrons)
                coarse = [SEED_FACTOR * x for x in kernels.blob_intensity(self.blob.radius, js, as_)]
                inu = _util.interp_loglog(seed, sampled, coarse)
            else:
                js, as_ = self._synchrotron(seed, self._seed_electrons)
                inu = [SEED_FACTOR * x for x in kernels.blob_intensity(self.blob.radius, js, as_)]
            j_ssc = self._ssc_emissivity(freqs, seed, inu)
            out["ssc"] = kernels.blob_intensity(self.blob.radius, j_ssc, alpha)
        if self.external is not None:
            ppd = self.grids.external_density
            g, n = adaptive_tabulation(self.electrons, ppd, self.blob.volume, _CURVATURE_OUTPUT * (16.0 / ppd) ** 2)
            j_ec = kernels.monochrome_emissivity(freqs, self.external.energy_density,
                                                 self.external.frequency, g, n)
            out["ec"] = kernels.blob_intensity(self.blob.radius, j_ec, alpha)
        return out


def _per_decade(grid):
    """Mean points per decade of an ascending grid."""
    return (len(grid) - 1) / math.log10(grid[-1] / grid[0]) if len(grid) > 1 else 1.0


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
