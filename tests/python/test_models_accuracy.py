"""Grid accuracy of the steady SED (ostrel_models.emission.Grids).

Reference model (as in scripts/models_accuracy.py): Blob(radius=1e16 cm,
b_field=0.1 G, doppler=10, redshift=0, distance=1e27 cm), electrons of
total energy 1e47 erg from gamma 1e2 to 1e6 as BrokenPowerLaw(2, 3, 1e4),
PowerLaw(2.2), LogParabola(2, 0.4, 1e4) and PowerLawCutoff(2, 1e5);
synchrotron with self-absorption, self-Compton, and external Compton on
ExternalField(1e-2, 3e14); 100 observer frequencies 1e8 ... 1e27 Hz. Errors
are the largest |f / f_ref - 1| where the reference component is at least
1e-3 of its peak; every component is held to 1 % over its whole window,
self-Compton up to its kinematic limit gamma_max m_e c^2 / h (within e^-1.2
of that limit frequency by frequency, see
`BlobEmission._ssc_emissivity`)."""

import math
import os

import pytest

import ostrel
import ostrel_models as om
from ostrel_models import emission, kernels
from ostrel_models.constants import H, ME_C2

# Accuracy is a property of the arithmetic, which the armhf check compares bit
# for bit with the native build: these slow measurements run natively only.
pytestmark = pytest.mark.native_only

NU = [10.0 ** (8.0 + 19.0 * i / 99.0) for i in range(100)]
NORM = dict(energy=1e47)
SHAPES = {
    "PowerLaw": lambda: om.PowerLaw(2.2, 1e2, 1e6, **NORM),
    "BrokenPowerLaw": lambda: om.BrokenPowerLaw(2.0, 3.0, 1e4, 1e2, 1e6, **NORM),
    "LogParabola": lambda: om.LogParabola(2.0, 0.4, 1e4, 1e2, 1e6, **NORM),
    "PowerLawCutoff": lambda: om.PowerLawCutoff(2.0, 1e5, 1e2, 1e6, **NORM),
}
# Converged (the script's reference at half its synchrotron density): self-
# Compton at four times the default resolution with one more level of half
# the seed step, within 0.002 % of the same at compton=640 (and within
# 0.04-0.06 % in the Thomson band, 0.06-0.12 % up to the limit, of the
# reference of the earlier scheme, which computed every threshold on shared
# electron grids of 80-320 points per decade).
REFERENCE = dict(synchrotron=16, compton=320, extrapolate="fine", external=32)
DOPPLER = 10.0
# Observer frequency of the kinematic limit of self-Compton (gamma_max = 1e6),
# and the Thomson band below 1e-2 of it.
LIMIT = 1e6 * ME_C2 / H * DOPPLER
THOMSON_BAND = 1e-2 * LIMIT


def blob():
    return om.Blob(radius=1e16, b_field=0.1, doppler=DOPPLER, redshift=0.0, distance=1e27)


def sed(shape, ssa=True, nu=NU, **grids):
    model = om.Model(blob(), SHAPES[shape](), ssa=ssa, external=om.ExternalField(1e-2, 3e14),
                     grids=om.Grids(**grids))
    return model.sed(nu)


def max_error(got, ref, below=float("inf"), nu=NU):
    ref = [float(x) for x in ref]
    peak = max(ref)
    return max(abs(float(g) / r - 1.0) for g, r, f in zip(got, ref, nu)
               if r >= 1e-3 * peak and r > 0.0 and f < below)


_references = {}


def reference(shape):
    if shape not in _references:
        _references[shape] = sed(shape, **REFERENCE)
    return _references[shape]


def check_default(shape):
    got, ref = sed(shape), reference(shape)
    assert max_error(got.synchrotron, ref.synchrotron) < 0.01
    assert max_error(got.ec, ref.ec) < 0.01
    assert max_error(got.ssc, ref.ssc) < 0.01
    # the total is the sum of the components wherever it matters
    assert max_error(got.total, ref.total) < 0.01


def test_default_within_one_percent_reference_model():
    """Broken power law: measured 0 % synchrotron and external Compton,
    0.45 % self-Compton over its whole window."""
    check_default("BrokenPowerLaw")


@pytest.mark.parametrize("shape", ["PowerLaw", "LogParabola", "PowerLawCutoff"])
def test_default_within_one_percent_other_shapes(shape):
    check_default(shape)


def test_default_within_one_percent_example_model():
    """The model of examples/models/reference.toml (a high-peaked BL Lac:
    delta = 20, break at 1e5, p2 = 3.5, 201 frequencies): measured
    self-Compton 0.18 % (0.48 % with the earlier scheme of one kernel call
    per seed segment)."""
    from ostrel_models.model_file import load
    path = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "models", "reference.toml")
    mf = load(path)
    model, nu = mf.model(), mf.frequencies()
    got = model.sed(nu)
    ref = om.Model(model.blob, model.electrons, grids=om.Grids(synchrotron=16, compton=320,
                                                                extrapolate="fine")).sed(nu)
    assert max_error(got.ssc, ref.ssc, nu=nu) < 0.01
    assert max_error(got.synchrotron, ref.synchrotron, nu=nu) < 0.01


@pytest.mark.parametrize("name", ["narrow", "steep", "wide"])
def test_unusual_electrons_stay_near_one_percent(name):
    """Self-Compton of electrons unlike the reference shapes, against
    converged grids: a narrow power law (p = 2.5 from 10 to 1e3, its
    self-Compton edge made by the seed's exponential cut-off), a steep one
    (p = 4.5, which weighs every seed decade alike) and a wide broken power
    law (gamma up to 1e8, deep in the Klein-Nishina regime). Measured 0.49 /
    1.08 / 0.67 % (without refining the seed steps where the seed curves:
    0.91 % for the narrow one)."""
    electrons = {"narrow": om.PowerLaw(2.5, 10.0, 1e3, density=1.0),
                 "steep": om.PowerLaw(4.5, 1e3, 1e6, density=1.0),
                 "wide": om.BrokenPowerLaw(2.0, 3.5, 1e4, 1e2, 1e8, energy=1e47)}[name]
    got = om.Model(blob(), electrons).sed(NU)
    ref = om.Model(blob(), electrons, grids=om.Grids(synchrotron=16, compton=320, extrapolate="fine")).sed(NU)
    assert max_error(got.ssc, ref.ssc) < 0.015
    assert max_error(got.total, ref.total) < 0.015


def test_reference_is_converged():
    """The reference against one with every density doubled, at every
    fourth frequency and the last two: far below the 1 % being tested
    (measured self-Compton 0.002 %)."""
    nu = NU[::4] + NU[-2:]
    ref = sed("BrokenPowerLaw", nu=nu, **REFERENCE)
    check = sed("BrokenPowerLaw", nu=nu, synchrotron=32, compton=640, extrapolate="fine", external=64)
    assert max_error(ref.ssc, check.ssc, nu=nu) < 5e-4
    assert max_error(ref.synchrotron, check.synchrotron, nu=nu) < 1e-3
    assert max_error(ref.ec, check.ec, nu=nu) < 1e-3


def test_self_compton_error_falls_with_the_grid():
    """One level: the error falls by at least 2.5 per doubling of compton,
    second order in the seed step (measured 15.6 / 4.9 / 1.5 % at 40 / 80 /
    160); extrapolated to zero seed step by at least 4 (measured 2.8 / 0.40
    / 0.053 %), and the extrapolation is more than ten times better than
    one level."""
    ref = reference("BrokenPowerLaw")
    one = [max_error(sed("BrokenPowerLaw", compton=c, extrapolate=False).ssc, ref.ssc) for c in (40, 80, 160)]
    both = [max_error(sed("BrokenPowerLaw", compton=c).ssc, ref.ssc) for c in (40, 80, 160)]
    assert one[0] > 2.5 * one[1] > 6.25 * one[2]
    assert both[0] > 4.0 * both[1] > 16.0 * both[2]
    assert both[1] < 0.1 * one[1]


def test_outside_the_window_self_compton_stays_close():
    """Below 1e-3 of its peak self-Compton is held to the same reference
    down to 1e-20 of the peak (measured within 1.5 %); lower still (at 1e8-
    1e11 Hz, 1e-27 of its peak and less, far under the synchrotron) the
    lattice's output points are too sparse for the cubic between them
    (measured up to 12 %). Nowhere negative or missing."""
    got, ref = sed("BrokenPowerLaw"), reference("BrokenPowerLaw")
    weight = [float(f * x) for f, x in zip(NU, ref.ssc)]
    peak = max(weight)
    outside = [(float(g), float(r), w) for g, r, w in zip(got.ssc, ref.ssc, weight) if 0.0 < w < 1e-3 * peak]
    assert len(outside) > 60
    assert all(g > 0.0 for g, _, _ in outside)
    assert max(abs(g / r - 1.0) for g, r, w in outside if w > 1e-20 * peak) < 0.03
    assert max(abs(g / r - 1.0) for g, r, _ in outside) < 0.3


@pytest.mark.native_only
@pytest.mark.parametrize("shape", ["LogParabola", "PowerLawCutoff"])
def test_curved_synchrotron_error_falls_with_the_grid(shape):
    """The synchrotron of a curved shape: error falls by at least 2 per
    doubling of `synchrotron` (measured PowerLawCutoff 3.3 / 1.35 / 0.58 %
    at 2 / 4 / 8 with the default curvature bound scaled alike)."""
    ref = reference(shape)
    errs = [max_error(sed(shape, synchrotron=p).synchrotron, ref.synchrotron) for p in (2, 4, 8)]
    assert errs[0] > 2.0 * errs[1] > 4.0 * errs[2]


@pytest.mark.parametrize("shape", ["PowerLaw", "BrokenPowerLaw"])
def test_power_law_pieces_are_exact_on_their_breaks(shape):
    """A shape that is a power law between its breaks is tabulated on the
    breaks and ends alone, and the synchrotron it gives is the one of a
    dense grid (the kernel is exact per power-law segment)."""
    e = SHAPES[shape]()
    v = blob().volume
    g, n = emission.adaptive_tabulation(e, 4, v, 1e-3)
    assert g == [e.gamma_min] + list(e.breaks()) + [e.gamma_max]
    gd, nd = e.tabulate(64, v)
    freqs = [10.0 ** (7.0 + 0.5 * i) for i in range(26)]
    j, a = ostrel.syn_emissivity_full(freqs, g, n, 0.1, True)
    jd, ad = ostrel.syn_emissivity_full(freqs, gd, nd, 0.1, True)
    # the kernel integrates each segment to 1e-5 (deep in the exponential
    # tail, far below the peak, its Romberg sums differ more)
    for got, want in ((j, jd), (a, ad)):
        top = max(want)
        for x, y in zip(got, want):
            if y > 1e-12 * top:
                assert abs(x - y) <= 2e-5 * y


@pytest.mark.parametrize("shape", ["LogParabola", "PowerLawCutoff"])
@pytest.mark.parametrize("bound", [0.05, 0.001])
def test_adaptive_tabulation_bounds_the_chord_error(shape, bound):
    """Between grid points the kernels take n as a power law: the gap
    between ln n and that chord, measured at a quarter and half of every
    segment, stays below bound / 8 (plus the curvature change across a
    segment), and the values on the grid are the shape's own."""
    e = SHAPES[shape]()
    v = blob().volume
    g, n = emission.adaptive_tabulation(e, 4, v, bound)
    k = e.coefficient(v)
    for lo, hi, n0, n1 in zip(g, g[1:], n, n[1:]):
        assert n0 == pytest.approx(k * e.shape(lo), rel=1e-12, abs=0.0)
        for t in (0.25, 0.5):
            x = lo * (hi / lo) ** t
            chord = math.log(n0) + t * (math.log(n1) - math.log(n0))
            assert abs(math.log(k * e.shape(x)) - chord) <= 1.2 * bound / 8.0 * 4.0 * t * (1.0 - t)


def _segment_setup(per_decade=5.0):
    e = SHAPES["BrokenPowerLaw"]()
    b = blob()
    seed = emission.seed_frequencies(b.b_field, e.gamma_min, e.gamma_max, per_decade)
    inu = om.Model(b, e).emission().seed_intensity(seed)
    return e, b, seed, inu, b.to_blob_frame(NU)


def _lattice_setup(level):
    """A lattice of 10 seed points per decade on level 1 (two levels,
    outputs every fourth level-1 step), the reference seed on level
    `level`'s points from 1e9 to 1e18 Hz, and outputs from 1e10 to 1e26 Hz."""
    e, b = SHAPES["BrokenPowerLaw"](), blob()
    pieces = emission._PowerLawPieces(*emission.adaptive_tabulation(e, 4, b.volume, 1e-3))
    lattice = emission._SscLattice(math.log(10.0) / 10.0, 2, 4, pieces)
    d1 = lattice.spacing(1)
    q0 = math.floor(math.log(1e9) / lattice.step / d1) * d1
    q1 = math.ceil(math.log(1e18) / lattice.step / d1) * d1
    seeds = [lattice.nu(q) for q in range(q0, q1 + 1, lattice.spacing(level))]
    inu = om.Model(b, e).emission().seed_intensity(seeds)
    out_q = list(range(math.floor(math.log(1e10) / lattice.output_step) * lattice.k,
                       math.ceil(math.log(1e26) / lattice.output_step) * lattice.k + 1, lattice.k))
    return pieces, lattice, q0, q1, seeds, inu, out_q, [lattice.nu(q) for q in out_q]


@pytest.mark.parametrize("chunk", [1, 3, 8])
@pytest.mark.parametrize("level", [1, 2])
def test_lattice_calls_match_one_segment_per_call(monkeypatch, chunk, level):
    """A lattice level (the thresholds taken from shared tables, several
    seed segments per kernel call with outputs as separators) gives what
    compton_by_segment gives on the same seed points and outputs (one call
    per segment, the kernel's own threshold values as grid points): the
    same to rounding, for any number of segments per call."""
    monkeypatch.setattr(emission, "_CHUNK", chunk)
    pieces, lattice, q0, q1, seeds, inu, out_q, out_nu = _lattice_setup(level)
    got = lattice.level(level, q0, q1, inu, out_q, out_nu, None, None)
    want = emission.compton_by_segment(seeds, inu, pieces, out_nu, midpoint=True)
    assert sum(x > 0.0 for x in want) > 30
    for x, y in zip(got, want):
        assert abs(x - y) <= 1e-9 * abs(y)


def test_lattice_leaves_out_the_segments_it_is_told_to():
    """Level-1 segments marked unused (split ones, computed on a finer
    lattice) add nothing: the two halves of the seed add up to the whole."""
    pieces, lattice, q0, q1, seeds, inu, out_q, out_nu = _lattice_setup(2)
    count = (q1 - q0) // lattice.spacing(1)
    whole = lattice.level(2, q0, q1, inu, out_q, out_nu, None, None)
    low = lattice.level(2, q0, q1, inu, out_q, out_nu, [i < count // 2 for i in range(count)], None)
    high = lattice.level(2, q0, q1, inu, out_q, out_nu, [i >= count // 2 for i in range(count)], None)
    assert sum(y > 0.0 for y in low) > 20 and sum(z > 0.0 for z in high) > 20
    for x, y, z in zip(whole, low, high):
        assert abs(y + z - x) <= 1e-12 * abs(x)


def test_lattice_values_kept_between_seds_change_nothing(monkeypatch):
    """Lattice frequencies and thresholds are kept from one SED to the next
    (by lattice step, the thresholds of an electron table also by its
    ends): an SED is the same, bit for bit, computed first, after SEDs of
    other electron ranges and grids, and with a store so small that it is
    emptied again and again; the store keeps a bounded number of steps."""
    blob = om.Blob(1e16, 0.1, 10.0, 0.0, 1e27)

    def sed(electrons, grids=None):
        s = om.Model(blob, electrons, grids=grids).sed(NU)
        return [float(x) for x in s.ssc]

    cases = [(SHAPES["BrokenPowerLaw"], None),
             (lambda: om.BrokenPowerLaw(2.0, 3.0, 1e4, 1e2, 1e5, **NORM), None),
             (lambda: om.BrokenPowerLaw(2.0, 3.0, 1e4, 10.0, 1e5, **NORM), None),
             (lambda: om.PowerLaw(2.2, 3e2, 3e7, **NORM), om.Grids(compton=40)),
             (SHAPES["BrokenPowerLaw"], om.Grids(compton=160))]
    cold = []
    for electrons, grids in cases:
        monkeypatch.setattr(emission, "_LATTICE_CACHE", {})
        cold.append(sed(electrons(), grids))
    for electrons, grids in cases[::-1] + cases:
        assert sed(electrons(), grids) == cold[cases.index((electrons, grids))]
    first = cold[0]
    monkeypatch.setattr(emission, "_LATTICE_CACHE", {})
    monkeypatch.setattr(emission, "_LATTICE_CACHE_LIMIT", 7)
    assert sed(SHAPES["BrokenPowerLaw"]()) == first
    assert max(len(t) for values in emission._LATTICE_CACHE.values() for t in values[:2]) <= 7
    monkeypatch.setattr(emission, "_LATTICE_CACHE", {})
    monkeypatch.setattr(emission, "_THRESHOLD_TABLE_LIMIT", 2)
    assert sed(SHAPES["BrokenPowerLaw"]()) == first
    assert max(len(values[2]) for values in emission._LATTICE_CACHE.values()) <= 2
    monkeypatch.setattr(emission, "_LATTICE_CACHE_SIZE", 5)
    for i in range(12):
        emission._lattice_values(0.1 + 0.01 * i)
    assert 1 <= len(emission._LATTICE_CACHE) <= 5


def test_scaling_the_frequencies_changes_only_the_klein_nishina_cut():
    """The kernel depends on the frequencies through their ratios alone,
    but for its Klein-Nishina cut m_e c^2 / (4 h b) (which the lattice moves
    to each segment's log midpoint by scaling): with electrons below every
    cut, the emissivities of frequencies scaled by 1e-3 or 0.7 are the same
    to rounding; with the cut inside the electrons, scaling down raises the
    cut and the emissivity."""
    seeds = [1e9 * 10.0 ** (i / 4.0) for i in range(13)]
    inu = [1e-10 * (f / 1e9) ** -0.7 for f in seeds]
    outputs = [1e12 * 10.0 ** (i / 3.0) for i in range(10)]
    g = [10.0 * 10.0 ** (i / 5.0) for i in range(11)]
    n = [x ** -2.4 for x in g]

    def emissivity(scale, gamma):
        # seeds, outputs and n as they stand at the call
        freqs = [f * scale for f in seeds + outputs]
        return ostrel.ic_iso_powlaw_full(freqs, inu + [0.0] * len(outputs), gamma, n)[len(seeds):]

    plain = emissivity(1.0, g)
    assert min(plain) > 0.0
    for scale in (1e-3, 0.7):
        for x, y in zip(emissivity(scale, g), plain):
            assert x == pytest.approx(y, rel=1e-12, abs=0.0)
    # seeds of 1e13-1e16 Hz: their cut, 3.1e19 Hz / b, falls inside electrons
    # up to 1e6, and shapes the emission at 1e18-1e25 Hz
    seeds = [f * 1e4 for f in seeds]
    outputs = [1e18 * 10.0 ** (i / 1.5) for i in range(10)]
    g = [1e2 * 10.0 ** (i / 2.5) for i in range(11)]
    n = [x ** -2.4 for x in g]
    raised, cut = emissivity(0.5, g), emissivity(1.0, g)
    assert all(x >= y for x, y in zip(raised, cut))
    assert sum(x > 1.01 * y for x, y in zip(raised, cut)) >= 3


@pytest.mark.parametrize("values,expected", [
    ([2.0 ** (-0.75 * i) for i in range(12)], []),
    ([math.exp(-(1.5 ** i)) for i in range(12)], "tail"),
    ([1.0, 2.0, 3.0, 0.0, 3.0, 2.0, 1.0, 1.0, 1.0, 1.0, 1.0], {0, 1, 2, 3, 4, 5}),
])
def test_bends_marks_where_the_cubic_is_uncertain(values, expected):
    """Values on an even grid in ln x: a power law needs no midway points;
    an exponential fall-off needs them from where it steepens (all but the
    last interval, which has no stencil to its right); a zero point marks
    every interval whose stencils reach it."""
    got = emission._bends(values, 1e-2)
    if expected == "tail":
        assert got and got == list(range(got[0], len(values) - 2)) and got[0] > 0
    elif isinstance(expected, set):
        assert expected <= set(got)
    else:
        assert got == expected


def test_electrons_are_exact_for_a_power_law_between_points():
    """With every threshold on the electron grid, splitting the power-law
    pieces of the table further changes nothing (the kernel's closed form is
    exact per power-law segment): the broken power law on its break and ends
    against the same on 40 points per decade."""
    e, b, seed, inu, freqs = _segment_setup()
    coarse = emission._PowerLawPieces(*emission.adaptive_tabulation(e, 4, b.volume, 1e-3))
    assert len(coarse.gamma) == 3
    dense = emission._PowerLawPieces(*e.tabulate(40, b.volume))
    got = emission.compton_by_segment(seed, inu, coarse, freqs)
    want = emission.compton_by_segment(seed, inu, dense, freqs)
    for x, y in zip(got, want):
        assert abs(x - y) <= 1e-9 * abs(y)


def test_single_kernel_calls_approach_it_as_the_electron_grid_refines():
    """One kernel call on the whole seed loses, for every seed segment, the
    electron segment its threshold falls in; its shortfall against
    compton_by_segment on the same seed falls as the electron grid refines
    (first order: measured 16 / 6.5 / 2.8 / 1.4 % at 20 / 40 / 80 / 160 points per decade
    where nu j is above 1e-3 of its peak)."""
    e, b, seed, inu, freqs = _segment_setup()
    # above the seed, and below 1e-2 of the kinematic limit (near it the
    # kernel's Klein-Nishina cut per seed segment dominates both)
    above = [f for f in freqs if seed[-1] < f < 1e-2 * e.gamma_max * ME_C2 / H]
    pieces = emission._PowerLawPieces(*emission.adaptive_tabulation(e, 4, b.volume, 1e-3))
    exact = emission.compton_by_segment(seed, inu, pieces, above)
    peak = max(f * x for f, x in zip(above, exact))
    short = []
    for per_decade in (20, 40, 80):
        g, n = e.tabulate(per_decade, b.volume)
        single = ostrel.ic_iso_powlaw_full(seed + above, inu + [0.0] * len(above), g, n)[len(seed):]
        short.append(max(1.0 - y / x for f, x, y in zip(above, exact, single) if f * x > 1e-3 * peak))
    assert short[0] > 1.6 * short[1] > 2.56 * short[2] > 0.0


@pytest.mark.parametrize("value", ["fine", True, False])
def test_extrapolate_modes(value):
    assert om.Grids(extrapolate=value).extrapolate == value


@pytest.mark.parametrize("value", ["no", "False", 1, 0.0, float("nan"), None])
def test_extrapolate_refuses_other_values(value):
    with pytest.raises(ValueError, match="extrapolate"):
        om.Grids(extrapolate=value)


def direct_near_limit(shape, nu_blob, seed_steps=200, electron_steps=81):
    """Self-Compton emissivity at blob-frame nu_blob close to the kinematic
    limit from single kernel calls on fine uniform grids of their own: at
    d = ln(limit / nu) only seeds within e^(+-d) of nu* = m_e c^2 /
    (4 h gamma_max) and electrons above gamma_max e^-d scatter; seeds there
    at 2 d / seed_steps (the seed intensity computed at every point),
    electrons at d / electron_steps (not a simple fraction of the seed step,
    so the thresholds spread), extrapolated linearly to zero seed step
    (the kernel cuts each seed segment at the Klein-Nishina limit of its
    upper frequency, which loses about a seed step / d)."""
    e = SHAPES[shape]()
    b = blob()
    emission_ = om.Model(b, e, grids=om.Grids(synchrotron=16)).emission()
    d = math.log(e.gamma_max * ME_C2 / H / nu_blob)
    nu_star = ME_C2 / (4.0 * H * e.gamma_max)
    seed = [nu_star * math.exp(d * (2.0 * i / seed_steps - 1.0)) for i in range(seed_steps + 1)]
    inu = emission_.seed_intensity(seed)
    g = [e.gamma_max * math.exp(-d * (1.0 - i / electron_steps)) for i in range(electron_steps + 1)]
    k = e.coefficient(b.volume)
    n = [k * e.shape(x) for x in g]

    def one(step):
        return ostrel.ic_iso_powlaw_full(seed[::step] + [nu_blob], inu[::step] + [0.0], g, n)[-1]

    return 2.0 * one(1) - one(2)


@pytest.mark.parametrize("shape", ["BrokenPowerLaw", pytest.param("PowerLawCutoff", marks=pytest.mark.native_only)])
@pytest.mark.parametrize("index", [99, 98])
def test_near_limit_against_fine_grids_of_its_own(shape, index):
    """At the last two frequencies below the kinematic limit (d = 0.21,
    0.65) the default self-Compton is within 1 % of the kernel on fine grids
    laid out independently (measured 0.06-0.08 % BrokenPowerLaw, 0.21-0.23 %
    PowerLawCutoff, whose electrons near gamma_max come from the shape at
    every threshold: 1.0-3.4 % off from its coarser table); before the grids
    near the limit were scaled to d, the last one was 28 % (BrokenPowerLaw)
    short."""
    b = blob()
    nu_blob = b.to_blob_frame([NU[index]])[0]
    got = om.Model(b, SHAPES[shape]()).emission().intensities([nu_blob])["ssc"][0]
    want = kernels.blob_intensity(b.radius, [direct_near_limit(shape, nu_blob)], [0.0])[0]
    assert got == pytest.approx(want, rel=0.01, abs=0.0)


def test_near_limit_does_not_depend_on_the_other_frequencies():
    """A seed segment that an output frequency splits is cut at the
    Klein-Nishina limit of its new upper end: near the kinematic limit, where
    that cut decides the spectrum, a value must not hinge on which other
    frequencies are asked for (it moved from -28 % to -67 % of the reference
    with the infrared ones left out)."""
    b = blob()
    freqs = b.to_blob_frame(NU)
    emission_ = om.Model(b, SHAPES["BrokenPowerLaw"]()).emission()
    together = emission_.intensities(freqs)["ssc"]
    for k in (97, 98, 99):
        alone = emission_.intensities([freqs[k]])["ssc"][0]
        assert alone == pytest.approx(together[k], rel=2e-3, abs=0.0)


@pytest.mark.native_only
def test_near_limit_error_falls_with_the_grid():
    """Above 1e-2 of the kinematic limit the grids are scaled to the
    distance from it and go with compton: the self-Compton error there falls
    with it (measured 0.85 / 0.14 / 0.03 % at compton 40 / 80 / 160)."""
    nu = [f for f in NU if f > THOMSON_BAND]
    ref = sed("BrokenPowerLaw", nu=nu, **REFERENCE)
    errs = [max_error(sed("BrokenPowerLaw", nu=nu, compton=c).ssc, ref.ssc, nu=nu) for c in (40, 80, 160)]
    assert errs[0] > 1.5 * errs[1]
    assert errs[1] > 2.5 * errs[2]


def test_near_limit_takes_a_tabulated_distribution_as_it_is():
    """Near the limit the electrons are re-gridded from gamma_max e^-d: a
    Tabulated distribution keeps its own points on that grid (a power law
    between them), so a Tabulated copy of the broken power law, break on
    its table, gives the same self-Compton there (measured 0.0001 %)."""
    b = blob()
    e = SHAPES["BrokenPowerLaw"]()
    g, n = e.tabulate(40, b.volume)
    nu = [f for f in NU if f > THOMSON_BAND]
    want = om.Model(b, e).sed(nu).ssc
    got = om.Model(b, om.Tabulated(g, n)).sed(nu).ssc
    assert max_error(got, want, nu=nu) < 2e-3
