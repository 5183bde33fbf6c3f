"""The only place that calls the extension's kernels.

Each wrapper names its arguments by meaning, so that argument orders and
per-steradian conventions live here alone:

- `ic_iso_powlaw_full(freqs, inu, g, n)` takes the electrons as (gamma, n)
  and returns an emissivity per steradian;
- `ic_iso_monochrome_full(freqs, uext, nuext, n, g)` takes them as
  (n, gamma) and returns an emissivity integrated over all directions, which
  `monochrome_emissivity` divides by 4 pi;
- `rad_cool_mono` carries one power of gamma beta where the physical loss
  rate has gamma^2 beta^2, which `cooling_mono` restores.

Inputs are trusted here (they are validated where they enter the layer).
An internal failure of a kernel (`pyo3_runtime.PanicException`, a
`BaseException`) becomes an ordinary `RuntimeError` carrying its message, so
that `except Exception`, process pools and task schedulers report it.
"""

import functools
import math

import ostrel

from .constants import C_THOMSON


def _is_kernel_failure(exc):
    t = type(exc)
    return t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"


def _failures_as_runtime_error(fn):
    @functools.wraps(fn)
    def call(*args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except BaseException as exc:
            if _is_kernel_failure(exc):
                raise RuntimeError(f"{fn.__name__}: {exc}") from None
            raise

    return call


@_failures_as_runtime_error
def synchrotron(freqs, gamma, n, b_field, absorption):
    """(j_nu per sr, alpha_nu) lists at freqs for electrons (gamma, n) in a field b_field."""
    j, a = ostrel.syn_emissivity_full(freqs, gamma, n, b_field, absorption)
    return j, a


@_failures_as_runtime_error
def blob_intensity(radius, j_nu, a_nu):
    """Escaping intensity of a uniform sphere (angle-averaged, per sr)."""
    return ostrel.rad_trans_blob(radius, j_nu, a_nu)


@_failures_as_runtime_error
def compton_powlaw_emissivity(freqs, seed_intensity, gamma, n):
    """Inverse-Compton emissivity per sr at freqs, for a seed intensity
    tabulated on the same freqs (isotropic field)."""
    return ostrel.ic_iso_powlaw_full(freqs, seed_intensity, gamma, n)


@_failures_as_runtime_error
def monochrome_emissivity(freqs, energy_density, frequency, gamma, n):
    """Inverse-Compton emissivity per sr at freqs in an isotropic
    monochromatic field (energy_density erg cm^-3 at frequency Hz)."""
    j = ostrel.ic_iso_monochrome_full(freqs, energy_density, frequency, n, gamma)
    inv4pi = 1.0 / (4.0 * math.pi)
    return [x * inv4pi for x in j]


@_failures_as_runtime_error
def cooling_powlaw(gamma, freqs, u_nu, klein_nishina=True):
    """|dgamma/dt| (s^-1) in an isotropic field of spectral energy density
    u_nu (erg cm^-3 Hz^-1) on freqs."""
    return ostrel.rad_cool_pwl(gamma, freqs, u_nu, klein_nishina)


@_failures_as_runtime_error
def cooling_mono(gamma, frequency, energy_density, klein_nishina=True):
    """Physical |dgamma/dt| (s^-1) in an isotropic monochromatic field:
    the kernel's C_T u sqrt(gamma^2 - 1) F times sqrt(gamma^2 - 1)."""
    rate = ostrel.rad_cool_mono(gamma, frequency, energy_density, klein_nishina)
    # below gamma = 1 the kernel's rate is NaN, and so is this one
    return [r * math.sqrt(g * g - 1.0) if g >= 1.0 else math.nan for r, g in zip(rate, gamma)]


def cooling_synchrotron(gamma, magnetic_energy_density):
    """Synchrotron |dgamma/dt| = (4/3) sigma_T c U_B gamma^2 beta^2 / (m_e c^2), s^-1."""
    f = C_THOMSON * magnetic_energy_density
    return [f * (g * g - 1.0) for g in gamma]


@_failures_as_runtime_error
def fokker_planck_step(dt, gamma, n, gdot, diffusion, injection, escape_time, time_unit):
    """n after one implicit step (see fp_findif_difu)."""
    return ostrel.fp_findif_difu(dt, gamma, n, gdot, diffusion, injection, escape_time, time_unit)
