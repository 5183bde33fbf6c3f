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

Grids (`Grids`): each process gets the Lorentz-factor grid its error law
needs. The synchrotron integral is exact for a distribution that is a power
law between grid points, so the synchrotron grid only has to follow the
curvature of n; the inverse-Compton emissivity of a tabulated seed field
falls short by about one grid step (an error that falls as 1/points per
decade), so self-Compton runs on a finer grid, twice, and the two are
extrapolated to zero step (2 f(2m) - f(m)). Every kernel is evaluated at the
output frequencies themselves; the seed field is tabulated on the output
frequencies merged with a grid over the synchrotron range.
"""

import math

from . import _util, kernels
from .blob import Blob
from .constants import C, NU_B_PER_GAUSS
from .distributions import Distribution

# The self-Compton seed intensity is 9/4 of the escaping synchrotron
# intensity: the volume average over a uniform sphere (Gould 1979).
SEED_FACTOR = 9.0 / 4.0


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

    - `synchrotron`: Lorentz factors for synchrotron and external Compton;
    - `compton`: Lorentz factors for self-Compton (the coarser of the two
      extrapolated grids; the finer has twice as many);
    - `seed`: frequencies of the seed field over the synchrotron range.

    The defaults keep every component within 1 % of a converged computation
    wherever it is above 1e-3 of its peak (measured in the tests and in
    docs/first-model.md).
    """

    def __init__(self, synchrotron=8, compton=40, seed=10, extrapolate=True):
        self.synchrotron = _util.number("synchrotron", synchrotron, positive=True)
        self.compton = _util.number("compton", compton, positive=True)
        self.seed = _util.number("seed", seed, positive=True)
        self.extrapolate = bool(extrapolate)

    def __repr__(self):
        return (f"Grids(synchrotron={self.synchrotron!r}, compton={self.compton!r}, seed={self.seed!r}, "
                f"extrapolate={self.extrapolate!r})")


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


def _merge(a, b):
    """Sorted union of two ascending lists, and the positions of b in it."""
    merged = sorted(set(a) | set(b))
    where = {x: i for i, x in enumerate(merged)}
    return merged, [where[x] for x in b]


def _richardson(fine, coarse):
    """2 f(2m) - f(m) where both are positive and the extrapolation stays
    within a factor of two of the fine value, else the fine value."""
    out = []
    for f, c in zip(fine, coarse):
        e = 2.0 * f - c
        out.append(e if f > 0.0 and c > 0.0 and 0.5 * f <= e <= 2.0 * f else f)
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
        volume = blob.volume
        self._syn_electrons = electrons.tabulate(self.grids.synchrotron, volume)

    def _synchrotron(self, freqs):
        g, n = self._syn_electrons
        j, a = kernels.synchrotron(freqs, g, n, self.blob.b_field, self.ssa)
        return j, a

    def seed_intensity(self, freqs):
        """Isotropic seed intensity (9/4 of the escaping synchrotron
        intensity) on the given blob-frame frequencies."""
        j, a = self._synchrotron(freqs)
        intensity = kernels.blob_intensity(self.blob.radius, j, a)
        return [SEED_FACTOR * x for x in intensity]

    def _ssc_emissivity(self, freqs):
        e = self.electrons
        seed = seed_frequencies(self.blob.b_field, e.gamma_min, e.gamma_max, self.grids.seed)
        merged, out_at = _merge(seed, freqs)
        inu = self.seed_intensity(merged)

        def emissivity(ppd):
            g, n = e.tabulate(ppd, self.blob.volume)
            j = kernels.compton_powlaw_emissivity(merged, inu, g, n)
            return [j[i] for i in out_at]

        fine = emissivity(2.0 * self.grids.compton if self.grids.extrapolate else self.grids.compton)
        if not self.grids.extrapolate:
            return fine
        return _richardson(fine, emissivity(self.grids.compton))

    def intensities(self, freqs):
        """Escaping intensity (erg cm^-2 s^-1 Hz^-1 sr^-1) by component at
        blob-frame frequencies, and the absorption coefficient used."""
        m = len(freqs)
        zeros = [0.0] * m
        if self.synchrotron or self.ssa:
            j_syn, alpha = self._synchrotron(freqs)
        else:
            j_syn, alpha = zeros, zeros
        if not self.ssa:
            alpha = zeros
        out = {}
        if self.synchrotron:
            out["synchrotron"] = kernels.blob_intensity(self.blob.radius, j_syn, alpha)
        if self.ssc:
            out["ssc"] = kernels.blob_intensity(self.blob.radius, self._ssc_emissivity(freqs), alpha)
        if self.external is not None:
            g, n = self._syn_electrons
            j_ec = kernels.monochrome_emissivity(freqs, self.external.energy_density,
                                                 self.external.frequency, g, n)
            out["ec"] = kernels.blob_intensity(self.blob.radius, j_ec, alpha)
        return out


class Model:
    """A steady one-zone model: a `Blob`, its electrons (a `Distribution`),
    and the processes to include. `model.sed(nu)` gives the observed SED at
    observer-frame frequencies nu (Hz); `model(nu)` its total nu F_nu.

    Every input is checked here, before any kernel runs; a problem raises
    ValueError naming the parameter.
    """

    def __init__(self, blob, electrons, *, synchrotron=True, ssa=True, ssc=True, external=None, grids=None):
        if not isinstance(blob, Blob):
            raise ValueError(f"blob must be a Blob, got {type(blob).__name__}")
        if not isinstance(electrons, Distribution):
            raise ValueError(f"electrons must be a Distribution, got {type(electrons).__name__}")
        if external is not None and not isinstance(external, ExternalField):
            raise ValueError(f"external must be an ExternalField or None, got {type(external).__name__}")
        if grids is not None and not isinstance(grids, Grids):
            raise ValueError(f"grids must be a Grids or None, got {type(grids).__name__}")
        self.blob = blob
        self.electrons = electrons
        self.synchrotron = bool(synchrotron)
        self.ssa = bool(ssa)
        self.ssc = bool(ssc)
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
