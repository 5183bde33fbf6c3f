"""Time-dependent one-zone evolution of the electrons in a blob.

The electrons n(gamma, t) (cm^-3 per unit Lorentz factor, blob frame) obey
the Fokker-Planck equation the kernel `fp_findif_difu` steps
(docs/electron-distribution.md):

    dn/dt = d/dgamma [ (D/2) dn/dgamma + (gdot + D'/2) n ] + Q - n / t_esc,

where gdot is the energy-loss rate |dgamma/dt| (negative for a gain), D the
diffusion coefficient (s^-1), Q the injection (cm^-3 s^-1 per unit gamma) and
t_esc the escape time. Written as (1/2) d^2/dgamma^2 (D n) + d/dgamma (gdot n)
it is the Kolmogorov forward equation of the Ito process
d(gamma) = -gdot dt + sqrt(D) dW. Each step is fully implicit (backward
Euler) in n, with the coefficients taken from the distribution at the start
of the step; time inside the kernel is measured in units of the blob's
light-crossing time R/c (which does not change the result).

Conventions, each with its reference:

- Injection (`Injection`): Q = k shape(gamma) with the shape of one of the
  distributions of `ostrel_models.distributions`; k is fixed by the injected
  luminosity L = V m_e c^2 integral of gamma Q (erg/s in the whole blob of
  volume V), by the rate integral of Q (cm^-3 s^-1), or by the
  distribution's own normalisation read as a rate (k in cm^-3 s^-1, density
  in cm^-3 s^-1, energy in erg s^-1). On the grid Q is averaged over each
  cell of the kernel (cells end half-way between grid points), so that the
  discrete injection rate sum Q_i dgamma_i is the exact integral.
- Synchrotron cooling: gdot = (4/3) sigma_T c U_B gamma^2 beta^2 / (m_e c^2),
  U_B = B^2 / (8 pi) (Rybicki & Lightman 1979, eq. 6.7b).
- Self-Compton cooling on the blob's own synchrotron photons, with the
  Klein-Nishina reduction of docs/cooling.md: the isotropic spectral energy
  density is u_nu = (9/4) 4 pi I_syn / c, with I_syn the escaping intensity of
  the uniform sphere (synchrotron emission and self-absorption through
  `blob_intensity`) and 9/4 the volume average of Gould (1979) that the
  steady SED also uses (`emission.SEED_FACTOR`). For speed, the synchrotron
  field comes from a copy of n resampled (piecewise power law) on a coarse
  grid of `COOLING_PER_DECADE` points per decade, on frequencies with
  `SEED_PER_DECADE` points per decade over the synchrotron range, and the
  cooling rate is computed on the same coarse Lorentz factors and
  interpolated (log-log) to the evolution grid; the frequencies run from
  1e-2 to 30 times the critical frequencies of the ends of the coarse grid.
  For the reference model (R = 1e16 cm, B = 0.1 G, injection p = 2.5 from
  1e2 to 1e6, 1e41 erg/s, t_esc = 3 R/c) the rate is within 0.55 % of the
  one computed on the full grid (every Lorentz factor of the evolution grid,
  n itself, 40 frequencies per decade from 1e-4 of the lowest critical
  frequency), and the steady state within 0.46 % where gamma^2 n is above
  1e-3 of its peak, at a 400th of the cost (18 ms against 7 s per step).
- External Compton cooling in an isotropic monochromatic field of the blob
  frame (`emission.ExternalField`), with the same Klein-Nishina reduction
  (kernel `rad_cool_mono`, the physical rate restored by `cooling_mono`).
- Escape: -n / t_esc with one energy-independent escape time.
- Stochastic acceleration by hard-sphere turbulence (Park & Petrosian 1995;
  Stawarz & Petrosian 2008, who define t_acc = p^2 / D_pp): for the
  momentum density N = 4 pi p^2 f (p in units of m_e c)

      dN/dt = d/dp [ D_pp dN/dp - A N ] + ...,
      D_pp = p^q / (t_acc p_ref^(q - 2)),   A = a D_pp / p,

  with q = `diffusion_index` (2, hard sphere) and a = `systematic` (2, the
  systematic term of isotropic turbulence); p_ref = `reference_momentum`
  (1 by default) is the momentum at which p^2 / D_pp = t_acc. The equation
  is the forward equation of dp = (A + dD_pp/dp) dt + sqrt(2 D_pp) dW, and
  with gamma = sqrt(p^2 + 1) Ito's rule gives the kernel's coefficients
  exactly (tests/python/test_fp_validation.py):

      D = (p/gamma)^2 2 D_pp,
      gdot = -[ (p/gamma)(A + dD_pp/dp) + D_pp / gamma^3 ]
           = -D_pp [ (a + q) / gamma + 1 / gamma^3 ].

  With q = 3, a = 1, t_acc = t_esc = T this is the problem of Park &
  Petrosian (1995, eq. 59) in time units of T. For the hard sphere, above
  the injection and below any cooling limit, the steady state is
  N ∝ p^-s with (s + 2)(s - 1) = t_acc / t_esc: (1/t_acc) d/dp [p^2 N' - 2p N]
  = (s + 2)(s - 1) N / t_acc for N = p^-s.
- Without acceleration the kernel still needs D > 0: the evolution passes
  D = 1e-6 gamma^2 / t_esc, whose diffusion changes n by about 1e-6 of the
  escape term and keeps the Chang-Cooper weighting upwind wherever cooling
  matters.

Grid. A logarithmic grid with `points_per_decade` points per decade. By
default it runs from min(gamma_min, gamma_c)/30 (gamma_c = 1/(b t_esc), the
cooling break of synchrotron and external-Compton Thomson losses gdot =
b gamma^2), but not below 1.01, up to gamma_max of the injection; with
acceleration from gamma_min/100 up to 1e3 gamma_max, or to 30 times the
Lorentz factor where cooling balances the acceleration gain when that is
lower (but at least 10 gamma_max). Particles leave through either end.

Accuracy of the grid. Where cooling dominates, the step is upwind: the flux
through the half-grid point below gamma_i is gdot n_i, so in the steady
state n_i approximates the exact solution at the half-grid point
(gamma_{i-1} + gamma_i)/2 where cooling dominates (measured: -1.3 % there
against +29 % at gamma_i, 20 points per decade, eight times above the
cooling break) and at gamma_i where escape dominates (0.3 %). No single
output point is second-order accurate in both regimes, so the evolution
keeps its points and uses a fine grid: the error is first order, about
(s + 1) ln(10) / (2 points per decade) far above the cooling break for an
injection index s. Against the analytic steady state of synchrotron cooling
and escape (Inoue & Takahara 1996) for the reference model, from 10
gamma_min to gamma_max/10 (cooling break 7.7e4 inside), the largest error is
(tests/python/test_models_evolution.py, `cooling_escape_error`)

    points per decade   20     40     80     160    200    320
    largest error       12 %   6.6 %  3.4 %  1.7 %  1.36 % 0.85 %

whence the default of 200 (`DEFAULT_POINTS_PER_DECADE`); the largest errors
lie at the top of the range, where cooling dominates.

SEDs of an evolved distribution (snapshots, light curves,
`EvolutionResult.sed`) go through `emission.BlobEmission`: synchrotron,
absorption and external Compton on the points that represent n as a
piecewise power law within 3e-3 (`thin`: 50-80 points instead of 1100,
synchrotron within 0.2 % of the full grid where it is above 1e-3 of its
peak), self-Compton on the same points (the steady model's seed grids,
`SED_GRIDS`, within 0.76 % of Grids(compton=320, extrapolate="fine") for
the evolved reference model of examples/models/reference.toml, where the
self-Compton component is above 1e-3 of its peak).

Light curves need an SED after every step, and much of its work is the
synchrotron field that seeds self-Compton scattering (its sampled seed
table). Between steps that table is reused (`_SeedCache`) until gamma^2 n
has changed by SSC_REFRESH (L1) since it was computed; the output
frequencies are always computed afresh, and the ends of the distribution
handed to the emission move in blocks of a quarter decade so that the seed
frequencies stay put.

Time stepping and stationarity. The step is backward Euler, so the discrete
steady state does not depend on the step, and any step is stable. The
coefficients of a step come from the distribution at its start; the
self-Compton cooling, the expensive one, is recomputed only once gamma^2 n
has changed by SSC_REFRESH = 1e-3 (L1) since it was last computed, which
changes the reference model after 300 steps of 0.1 R/c by 2.4e-4 at most
(where gamma^2 n is above 1e-3 of its peak) at 0.37 of the cost. With
`steady=True` the step grows by a factor 1.5 after every step (halving
again whenever the change of n grows from one step to the next), and the run
stops as soon as the distribution is stationary: after a step of length dt,

    max_i |n_i(t + dt) - n_i(t)| / n_i(t + dt) * t_esc / dt  <  STEADY_TOLERANCE

over the points where gamma^2 n is above 1e-6 of its peak. The left-hand
side is the steady-state residual in units of 1/t_esc (dn/dt of a backward
Euler step is the residual at its end); since escape alone damps every
departure from the steady state at least at the rate 1/t_esc, the distance
to the steady state is then at most about STEADY_TOLERANCE (1e-3) relative.
"""

import math

from . import _util, kernels
from .blob import Blob
from .constants import C, C_THOMSON, ME_C2, NU_B_PER_GAUSS
from .distributions import Distribution, Tabulated
from .emission import SED, SEED_FACTOR, BlobEmission, ExternalField, Grids, observed_sed

DEFAULT_POINTS_PER_DECADE = 200
#: coarse grids of the self-Compton cooling (see the module docstring)
COOLING_PER_DECADE = 6
SEED_PER_DECADE = 6
#: relative steady-state residual per escape time that counts as stationary
STEADY_TOLERANCE = 1e-3
#: points of the steady test: gamma^2 n above this fraction of its peak
SIGNIFICANT = 1e-6
#: the self-Compton cooling is recomputed once the synchrotron-weighted
#: distribution gamma^2 n has changed by this fraction (L1) since it was last
#: computed (`Evolution._power_change`)
SSC_REFRESH = 1e-3
#: diffusion passed when there is no acceleration, in units of gamma^2 / t_esc
NEGLIGIBLE_DIFFUSION = 1e-6
#: grids of the SEDs of an evolved distribution (resampled from the evolution grid)
SED_GRIDS = Grids(synchrotron=1e6)
#: runs of more steps than this show a progress bar by default (if tqdm is importable)
PROGRESS_STEPS = 500


# -- the injection --------------------------------------------------------------
class Injection:
    """An injection rate Q(gamma) (cm^-3 s^-1 per unit gamma) with the shape of
    a distribution and its normalisation from `luminosity` (erg/s injected in
    the whole blob), `rate` (electrons cm^-3 s^-1) or, when neither is given,
    the distribution's own normalisation read as a rate."""

    def __init__(self, distribution, luminosity=None, rate=None):
        if not isinstance(distribution, Distribution):
            raise ValueError(f"distribution must be a Distribution, got {type(distribution).__name__}")
        if luminosity is not None and rate is not None:
            raise ValueError("give at most one of luminosity, rate")
        self.distribution = distribution
        self.luminosity = None if luminosity is None else _util.number("luminosity", luminosity, positive=True)
        self.rate = None if rate is None else _util.number("rate", rate, positive=True)

    @property
    def gamma_min(self):
        return self.distribution.gamma_min

    @property
    def gamma_max(self):
        return self.distribution.gamma_max

    def coefficient(self, volume):
        """k of Q = k shape(gamma), cm^-3 s^-1, in a blob of the given volume (cm^3)."""
        d = self.distribution
        if self.luminosity is not None:
            return self.luminosity / (volume * ME_C2 * d._shape_moment(1.0))
        if self.rate is not None:
            return self.rate / d._shape_moment(0.0)
        return d.coefficient(volume)

    def total_rate(self, volume):
        """Integral of Q over gamma, cm^-3 s^-1."""
        return self.coefficient(volume) * self.distribution._shape_moment(0.0)

    def power(self, volume):
        """Injected power V m_e c^2 integral of gamma Q, erg/s."""
        return volume * ME_C2 * self.coefficient(volume) * self.distribution._shape_moment(1.0)

    def cell_averages(self, edges, volume):
        """Q averaged over each cell [edges[i], edges[i+1]] (Simpson's rule in
        ln gamma, piece by piece between the breaks of the shape)."""
        d = self.distribution
        k = self.coefficient(volume)
        cuts = sorted(b for b in d.breaks() if d.gamma_min < b < d.gamma_max)
        out = []
        for a, b in zip(edges, edges[1:]):
            lo, hi = max(a, d.gamma_min), min(b, d.gamma_max)
            if hi <= lo:
                out.append(0.0)
                continue
            points = [lo] + [c for c in cuts if lo < c < hi] + [hi]
            total = 0.0
            for x0, x1 in zip(points, points[1:]):
                h = math.log(x1 / x0) / 8.0
                s = 0.0
                for j in range(9):
                    x = x0 * math.exp(h * j) if j < 8 else x1
                    w = 1.0 if j in (0, 8) else (4.0 if j % 2 else 2.0)
                    s += w * x * d.shape(x)
                total += s * h / 3.0
            out.append(k * total / (b - a))
        return out

    def __repr__(self):
        norm = ""
        if self.luminosity is not None:
            norm = f", luminosity={self.luminosity!r}"
        elif self.rate is not None:
            norm = f", rate={self.rate!r}"
        return f"Injection({self.distribution!r}{norm})"


# -- grid helpers -------------------------------------------------------------
def cell_edges(gamma):
    """Edges of the kernel's cells: half-way between grid points, half a
    neighbouring width beyond the ends."""
    n = len(gamma)
    inner = [0.5 * (gamma[k] + gamma[k - 1]) for k in range(1, n)]
    return ([gamma[0] - 0.5 * (gamma[1] - gamma[0])] + inner + [gamma[-1] + 0.5 * (gamma[-1] - gamma[-2])])


def cell_widths(gamma):
    e = cell_edges(gamma)
    return [b - a for a, b in zip(e, e[1:])]


def _support(gamma, n):
    """The index range [lo, hi] of the positive part of n (values below
    1e-30 of the peak count as zero), or None."""
    peak = max(n) if n else 0.0
    if not peak > 0.0:
        return None
    floor = 1e-30 * peak
    lo = next(i for i, v in enumerate(n) if v > floor)
    hi = len(n) - 1 - next(i for i, v in enumerate(reversed(n)) if v > floor)
    if hi == lo:  # a single point: keep a neighbour so that there is a segment
        if hi + 1 < len(n):
            hi += 1
        else:
            lo -= 1
    return lo, hi


def thin(gamma, n, tolerance=3e-3, max_span=math.log(10.0)):
    """The points of (gamma, n) needed to represent n as a power law between
    neighbours within about `tolerance` (relative): a segment grows while
    (1/8) L^2 max|d^2 ln n / d(ln gamma)^2| <= tolerance (the error bound of
    linear interpolation in log-log, L the segment's span in ln gamma) and
    L <= max_span. Points at or next to a zero are kept."""
    m = len(gamma)
    if m <= 2:
        return list(gamma), list(n)
    lg = [math.log(x) for x in gamma]
    ln = [math.log(v) if v > 0.0 else None for v in n]
    curv = [math.inf] * m
    for k in range(1, m - 1):
        a, b, c = ln[k - 1], ln[k], ln[k + 1]
        if a is not None and b is not None and c is not None:
            h0, h1 = lg[k] - lg[k - 1], lg[k + 1] - lg[k]
            curv[k] = abs(2.0 * ((c - b) / h1 - (b - a) / h0) / (h0 + h1))
    keep = [0]
    i, worst = 0, 0.0
    bound = 8.0 * tolerance
    for j in range(1, m - 1):
        worst = max(worst, curv[j])
        span = lg[j + 1] - lg[i]
        if worst * span * span > bound or span > max_span:
            keep.append(j)
            i, worst = j, curv[j]
    keep.append(m - 1)
    return [gamma[k] for k in keep], [n[k] for k in keep]


class _Evolved(Tabulated):
    """An evolved distribution for the emission kernels: the positive part
    of n on the evolution grid. Asked for at least the evolution grid's
    density it gives the points that represent n as a piecewise power law
    within 1e-3 (`thin`: the synchrotron integral is exact for such a
    distribution); asked for fewer points per decade it gives n resampled
    (power law between points) on that logarithmic grid."""

    def __init__(self, gamma, n):
        g = list(gamma)
        v = [x if x > 0.0 else 0.0 for x in n]
        self.gamma_values, self.n_values = g, v
        self.gamma_min, self.gamma_max = g[0], g[-1]
        self.normalisation, self.normalisation_value = "k", 1.0
        self._per_decade = (len(g) - 1) / math.log10(g[-1] / g[0])
        self._thinned = None

    def grid(self, points_per_decade):
        return self.tabulate(points_per_decade)[0]

    def tabulate(self, points_per_decade, volume=None):
        if points_per_decade >= self._per_decade:
            if self._thinned is None:
                self._thinned = thin(self.gamma_values, self.n_values)
            return list(self._thinned[0]), list(self._thinned[1])
        g = _util.log_grid(self.gamma_min, self.gamma_max, points_per_decade)
        return g, _util.interp_loglog(g, self.gamma_values, self.n_values)


class _SeedCache:
    """The self-Compton seed table of a distribution `reference`, for light
    curves: the seed field takes most of an SED's work, and between steps it
    changes little."""

    def __init__(self):
        self.reference = None
        self.table = None


class _CachedEmission(BlobEmission):
    """BlobEmission whose self-Compton seed table (frequencies and
    intensities, `BlobEmission._seed_table`) comes from a `_SeedCache` when
    it holds one; otherwise it is computed from the current electrons and
    kept. The output frequencies' synchrotron is always the current one."""

    def __init__(self, blob, electrons, *, cache, **kw):
        super().__init__(blob, electrons, **kw)
        self._cache = cache

    def _seed_table(self, freqs, sampled):
        if self._cache.table is None:
            self._cache.table = BlobEmission._seed_table(self, freqs, sampled)
        return self._cache.table


def _evolved(gamma, n, block=1):
    """The positive part of n as an `_Evolved` distribution, its ends moved
    outwards to multiples of `block` grid points (so that the emission's
    frequency grids, which follow the ends, change only now and then)."""
    s = _support(gamma, n)
    if s is None:
        return None
    lo, hi = s
    lo = (lo // block) * block
    hi = min(len(gamma) - 1, -(-hi // block) * block)
    return _Evolved(gamma[lo:hi + 1], n[lo:hi + 1])


# -- the evolution -----------------------------------------------------------
class Evolution:
    """The time-dependent electrons of a `Blob` under injection, escape,
    cooling (synchrotron, self-Compton, external Compton) and optional
    stochastic acceleration. Times are blob-frame seconds."""

    def __init__(self, blob, injection, escape_time, *, acceleration_time=None, diffusion_index=2.0,
                 systematic=2.0, reference_momentum=1.0, external=None, ssc=True, klein_nishina=True,
                 points_per_decade=DEFAULT_POINTS_PER_DECADE, gamma_range=None):
        blob = _util.instance("blob", blob, Blob)
        injection = _util.instance("injection", injection, Injection, optional=True)
        external = _util.instance("external", external, ExternalField, optional=True)
        ssc, klein_nishina = _util.flag("ssc", ssc), _util.flag("klein_nishina", klein_nishina)
        self.blob = blob
        self.injection = injection
        self.escape_time = _util.number("escape_time", escape_time, positive=True)
        self.acceleration_time = (None if acceleration_time is None
                                  else _util.number("acceleration_time", acceleration_time, positive=True))
        self.diffusion_index = _util.number("diffusion_index", diffusion_index)
        self.systematic = _util.number("systematic", systematic)
        self.reference_momentum = _util.number("reference_momentum", reference_momentum, positive=True)
        self.external = external
        self.ssc = ssc
        self.klein_nishina = klein_nishina
        self.points_per_decade = _util.number("points_per_decade", points_per_decade, minimum=2.0)
        if self.points_per_decade > 2000:
            raise ValueError(f"points_per_decade must be at most 2000, got {self.points_per_decade!r}")
        self.volume = blob.volume
        if injection is not None:
            injection.coefficient(self.volume)  # an energy normalisation is resolvable
        lo, hi = self._range(gamma_range)
        self.gamma = _util.log_grid(lo, hi, self.points_per_decade)
        self.widths = cell_widths(self.gamma)
        self._static_coefficients()

    # -- set-up ------------------------------------------------------------
    def _thomson_b(self):
        """b of the Thomson losses b gamma^2 that do not depend on n."""
        u = self.blob.magnetic_energy_density
        if self.external is not None:
            u += self.external.energy_density
        return C_THOMSON * u

    def _range(self, gamma_range):
        inj = self.injection
        if gamma_range is not None:
            if isinstance(gamma_range, (str, bytes)):
                raise ValueError("gamma_range must be a pair (low, high)")
            try:
                lo, hi = gamma_range
            except (TypeError, ValueError):
                raise ValueError(f"gamma_range must be a pair (low, high), got {gamma_range!r}") from None
            lo = _util.number("gamma_range[0]", lo, minimum=1.0)
            hi = _util.number("gamma_range[1]", hi, above=lo)
            if lo == 1.0:
                raise ValueError("gamma_range[0] must be above 1 (the kernels need gamma beta > 0)")
            if inj is not None and not (lo <= inj.gamma_min and inj.gamma_max <= hi):
                raise ValueError(f"gamma_range ({lo!r}, {hi!r}) must contain the injection's range "
                                 f"({inj.gamma_min!r}, {inj.gamma_max!r})")
            return lo, hi
        if inj is None:
            raise ValueError("gamma_range is required when there is no injection")
        b = self._thomson_b()
        g_cool = 1.0 / (b * self.escape_time)
        if self.acceleration_time is None:
            lo = min(inj.gamma_min, g_cool) / 30.0
            hi = inj.gamma_max
        else:
            lo = inj.gamma_min / 100.0
            hi = 1e3 * inj.gamma_max
            q, a = self.diffusion_index, self.systematic
            if q < 3.0 and a + q > 0.0:
                # gain D_pp (a + q)/gamma = b gamma^2 with D_pp = p^q / (t_acc p_ref^(q-2))
                g_eq = ((a + q) / (b * self.acceleration_time * self.reference_momentum ** (q - 2.0))) ** (
                    1.0 / (3.0 - q))
                hi = min(hi, max(10.0 * inj.gamma_max, 30.0 * g_eq))
        lo = min(inj.gamma_min, max(1.01, lo))
        return lo, hi

    def _static_coefficients(self):
        g = self.gamma
        gdot = kernels.cooling_synchrotron(g, self.blob.magnetic_energy_density)
        if self.external is not None:
            ec = kernels.cooling_mono(g, self.external.frequency, self.external.energy_density,
                                      self.klein_nishina)
            gdot = [a + b for a, b in zip(gdot, ec)]
        if self.acceleration_time is None:
            diff = [NEGLIGIBLE_DIFFUSION * x * x / self.escape_time for x in g]
        else:
            q, a = self.diffusion_index, self.systematic
            f = 1.0 / (self.acceleration_time * self.reference_momentum ** (q - 2.0))
            diff = []
            for i, x in enumerate(g):
                p = math.sqrt(x * x - 1.0)
                dpp = f * p ** q
                diff.append(2.0 * (p / x) ** 2 * dpp)
                gdot[i] -= dpp * ((a + q) / x + 1.0 / x ** 3)
        self.static_gdot = gdot
        self.diffusion = diff
        if self.injection is None:
            self.source = [0.0] * len(g)
        else:
            self.source = self.injection.cell_averages(cell_edges(g), self.volume)

    # -- coefficients that depend on n ----------------------------------------
    def ssc_cooling(self, n):
        """Self-Compton |dgamma/dt| on the evolution grid for the distribution
        n (coarse grids, see the module docstring)."""
        e = _evolved(self.gamma, n)
        if e is None:
            return [0.0] * len(self.gamma)
        cg, cn = e.tabulate(COOLING_PER_DECADE)
        nu_b = NU_B_PER_GAUSS * self.blob.b_field
        freqs = _util.log_grid(1e-2 * 1.5 * nu_b * cg[0] ** 2, 30.0 * 1.5 * nu_b * cg[-1] ** 2, SEED_PER_DECADE)
        j, a = kernels.synchrotron(freqs, cg, cn, self.blob.b_field, True)
        inu = kernels.blob_intensity(self.blob.radius, j, a)
        f = SEED_FACTOR * 4.0 * math.pi / C
        # The kernel takes the field as a power law between its points: keep
        # only frequencies where it is positive (an underflow to zero would
        # make a segment's index undefined).
        keep = [(x, f * i) for x, i in zip(freqs, inu) if i > 0.0]
        if len(keep) < 2:
            return [0.0] * len(self.gamma)
        freqs, u = [x for x, _ in keep], [v for _, v in keep]
        lo, hi = self.gamma[0], self.gamma[-1]
        coarse = _util.log_grid(lo, hi, COOLING_PER_DECADE)
        rate = kernels.cooling_powlaw(coarse, freqs, u, self.klein_nishina)
        return _util.interp_loglog(self.gamma, coarse, rate)

    def gdot(self, n):
        """Total gdot (losses positive) on the grid for the distribution n."""
        if not self.ssc:
            return self.static_gdot
        return [a + b for a, b in zip(self.static_gdot, self.ssc_cooling(n))]

    def step(self, n, dt, gdot=None):
        """n after one implicit step of dt seconds (with the loss rate gdot,
        default `gdot(n)`)."""
        if gdot is None:
            gdot = self.gdot(n)
        out = kernels.fokker_planck_step(dt, self.gamma, n, gdot, self.diffusion, self.source,
                                         self.escape_time, self.blob.crossing_time)
        if not all(math.isfinite(x) for x in out):
            raise RuntimeError("fokker_planck_step returned non-finite values")
        return out

    # -- emission of a distribution on the grid -----------------------------------
    def emission(self, n, *, synchrotron=True, ssa=True, ssc=None):
        """BlobEmission of the distribution n on the grid (None if n is zero)."""
        e = _evolved(self.gamma, n)
        if e is None:
            return None
        return BlobEmission(self.blob, e, synchrotron=synchrotron, ssa=ssa,
                            ssc=self.ssc if ssc is None else ssc, external=self.external, grids=SED_GRIDS)

    def sed(self, n, nu, *, synchrotron=True, ssa=True, ssc=None):
        """Observed SED (observer frequencies nu, ascending) of the distribution n."""
        em = self.emission(n, synchrotron=synchrotron, ssa=ssa, ssc=ssc)
        if em is None:
            return SED(nu, {})
        return observed_sed(self.blob, nu, em.intensities(self.blob.to_blob_frame(nu)))

    def _lightcurve_point(self, n, nu, cache):
        """Total nu F_nu at observer frequencies nu (ascending) of the
        distribution n, with the self-Compton seed from `cache` while gamma^2 n
        is within SSC_REFRESH (L1) of the distribution the cache was made from."""
        e = _evolved(self.gamma, n, block=max(1, int(round(self.points_per_decade / 4.0))))
        if e is None:
            return [0.0] * len(nu)
        if cache.reference is None or self._power_change(cache.reference, n) > SSC_REFRESH:
            cache.reference, cache.table = n, None
        freqs = self.blob.to_blob_frame(nu)
        em = _CachedEmission(self.blob, e, cache=cache, ssc=self.ssc, external=self.external, grids=SED_GRIDS)
        return [float(v) for v in observed_sed(self.blob, nu, em.intensities(freqs)).total]

    # -- the run -----------------------------------------------------------------
    def _initial(self, initial):
        if initial is None:
            return [0.0] * len(self.gamma)
        if isinstance(initial, (str, bytes)):
            raise ValueError("initial must be a pair (gamma, n)")
        try:
            g0, n0 = initial
        except (TypeError, ValueError):
            raise ValueError("initial must be a pair (gamma, n)") from None
        g0 = _util.vector("initial gamma", g0, positive=True, ascending=True, minimum=2)
        n0 = _util.vector("initial n", n0, nonnegative=True, length=len(g0))
        return _util.interp_loglog(self.gamma, g0, n0)

    def run(self, duration, time_step, *, steady=False, snapshot_times=(), sed_frequencies=None,
            lightcurve_frequencies=(), progress=None, initial=None):
        """Evolve for `duration` blob-frame seconds in steps of `time_step`
        and return an `EvolutionResult`.

        - steady: grow the step and stop once the distribution is
          stationary (see the module docstring), or at `duration`;
        - snapshot_times: blob-frame times (s, 0 ... duration) at which n
          and, with `sed_frequencies` (observer Hz, ascending), the SED are
          stored; steps are shortened to land on them exactly. Times after a
          steady stop get the stationary distribution;
        - lightcurve_frequencies: observer Hz at which the total nu F_nu is
          recorded after every step, against observer time (1 + z) t / delta;
        - progress: None shows a tqdm bar (if tqdm is importable, in units
          of R/c) for runs of more than PROGRESS_STEPS fixed steps, True/False
          force it;
        - initial: (gamma, n) at t = 0, interpolated (power law between
          points) onto the evolution grid; electrons outside the grid are
          dropped. Default: no electrons."""
        duration = _util.number("duration", duration, positive=True)
        time_step = _util.number("time_step", time_step, positive=True)
        steady = _util.flag("steady", steady)
        if progress is not None and not isinstance(progress, bool):
            raise ValueError(f"progress must be None, True or False, got {progress!r}")
        snaps = sorted(set(_util.vector("snapshot_times", snapshot_times, nonnegative=True, minimum=0)))
        if snaps and snaps[-1] > duration:
            raise ValueError(f"snapshot_times must not exceed duration ({duration!r}), got {snaps[-1]!r}")
        if sed_frequencies is not None:
            sed_frequencies = _util.vector("sed_frequencies", sed_frequencies, positive=True, ascending=True)
        lc_nu = _util.vector("lightcurve_frequencies", lightcurve_frequencies, positive=True, minimum=0)
        lc_order = sorted(set(lc_nu))
        n = self._initial(initial)

        bar = None
        if progress is None:
            # A steady run grows its step and ends after a few dozen steps.
            progress = not steady and duration / time_step > PROGRESS_STEPS
        if progress:
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                # blob-frame time in units of the light-crossing time R/c
                tlc = self.blob.crossing_time
                bar = tqdm(total=duration / tlc, unit="R/c", desc="evolution", leave=False)

        snapshots = []
        lc_times, lc_values = [], {nu: [] for nu in lc_order}

        def snapshot(t, n):
            sed = self.sed(n, sed_frequencies) if sed_frequencies is not None else None
            snapshots.append((t, _util.output([x if x > 0.0 else 0.0 for x in n]), sed))

        cache = _SeedCache()

        def record(t, n):
            if lc_order:
                total = self._lightcurve_point(n, lc_order, cache)
                lc_times.append(self.blob.observed_time(t))
                for nu, v in zip(lc_order, total):
                    lc_values[nu].append(float(v))

        t, steps, stationary = 0.0, 0, False
        k = 0
        while k < len(snaps) and snaps[k] <= 0.0:
            snapshot(0.0, n)
            k += 1
        dt = time_step
        last_change = None
        cooled_from = gdot = None
        try:
            while t < duration and not stationary:
                stop = snaps[k] if k < len(snaps) else duration
                h = min(dt, stop - t)
                landing = h >= stop - t or stop - t - h < 1e-9 * h
                if landing:
                    h = stop - t
                if cooled_from is None or (self.ssc and self._power_change(cooled_from, n) > SSC_REFRESH):
                    gdot, cooled_from = self.gdot(n), n
                new = self.step(n, h, gdot)
                steps += 1
                t = stop if landing else t + h
                if steady:
                    change = self._change(n, new, h)
                    stationary = change < STEADY_TOLERANCE
                    if last_change is not None and change > last_change:
                        dt = max(time_step, 0.5 * dt)
                    else:
                        dt *= 1.5
                    last_change = change
                n = new
                record(t, n)
                while k < len(snaps) and snaps[k] <= t:
                    snapshot(t, n)
                    k += 1
                if bar is not None:
                    bar.update(h / tlc)
        finally:
            if bar is not None:
                bar.close()
        if k < len(snaps):  # stationary before the last snapshot times
            last = snapshots[-1] if snapshots and snapshots[-1][0] == t else None
            sed = last[2] if last is not None else (
                self.sed(n, sed_frequencies) if sed_frequencies is not None else None)
            for when in snaps[k:]:
                snapshots.append((when, _util.output([x if x > 0.0 else 0.0 for x in n]), sed))
        lightcurve = None
        if lc_order:
            lightcurve = (_util.output(lc_times), {nu: _util.output(lc_values[nu]) for nu in lc_nu})
        return EvolutionResult(self, n, t, steps, stationary, snapshots, lightcurve)

    def _relative_change(self, old, new):
        """max |new - old| / new over the points where gamma^2 new is above
        SIGNIFICANT of its peak."""
        weight = [x * x * v for x, v in zip(self.gamma, new)]
        peak = max(weight)
        if not peak > 0.0:
            return 0.0 if max(abs(v) for v in old) == 0.0 else math.inf
        floor = SIGNIFICANT * peak
        worst = 0.0
        for w, a, b in zip(weight, old, new):
            if w >= floor:
                worst = max(worst, abs(b - a) / b)
        return worst

    def _power_change(self, old, new):
        """sum |new - old| gamma^2 dgamma / sum new gamma^2 dgamma: a bound on
        the relative change of the synchrotron power at every frequency."""
        num = den = 0.0
        for x, w, a, b in zip(self.gamma, self.widths, old, new):
            f = x * x * w
            num += abs(b - a) * f
            den += b * f
        return num / den if den > 0.0 else (0.0 if num == 0.0 else math.inf)

    def _change(self, old, new, dt):
        """max |dn/dt| t_esc / n over the points where gamma^2 n matters."""
        return self._relative_change(old, new) * self.escape_time / dt

    def __repr__(self):
        acc = "" if self.acceleration_time is None else f", acceleration_time={self.acceleration_time!r}"
        return (f"Evolution({self.blob!r}, {self.injection!r}, escape_time={self.escape_time!r}{acc}, "
                f"{len(self.gamma)} points {self.gamma[0]:.4g} ... {self.gamma[-1]:.4g})")


class EvolutionResult:
    """The outcome of `Evolution.run`: the final distribution (`gamma`, `n`),
    the final blob-frame `time` (s), the number of `steps`, whether the
    distribution became stationary (`steady`), `snapshots` (time, n, SED or
    None) and `lightcurve` (observer times, {nu: nu F_nu}) or None."""

    def __init__(self, evolution, n, t, steps, steady, snapshots, lightcurve):
        self.evolution = evolution
        self._n = [x if x > 0.0 else 0.0 for x in n]
        self.gamma = _util.output(evolution.gamma)
        self.n = _util.output(self._n)
        self.time = t
        self.steps = steps
        self.steady = steady
        self.snapshots = snapshots
        self.lightcurve = lightcurve

    def sed(self, nu, synchrotron=True, ssa=True, ssc=True):
        """The observed SED (observer frequencies nu, Hz, ascending) of the
        final distribution, with the external Compton component of the
        evolution's external field. Self-Compton emission is included unless
        ssc=False, whether or not the evolution included its cooling."""
        nu = _util.vector("nu", nu, positive=True, ascending=True)
        return self.evolution.sed(self._n, nu, synchrotron=bool(synchrotron), ssa=bool(ssa), ssc=bool(ssc))

    def electrons(self):
        """The final distribution as a `distributions.Tabulated`."""
        return Tabulated(self.evolution.gamma, self._n)

    def density(self):
        """Number density integral n dgamma (cm^-3), summed over the kernel's cells."""
        return sum(v * w for v, w in zip(self._n, self.evolution.widths))

    def __repr__(self):
        return (f"EvolutionResult(time={self.time!r}, steps={self.steps!r}, steady={self.steady!r}, "
                f"{len(self.snapshots)} snapshots)")
