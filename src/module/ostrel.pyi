"""Fast, exact numerical kernels for the non-thermal emission of a relativistic
plasma blob. All quantities are CGS; electron distributions are densities
per unit Lorentz factor and volume (cm^-3); emissivities are per steradian
unless stated otherwise."""

from typing import Optional, Sequence, SupportsFloat, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt

_Float = Union[float, SupportsFloat, SupportsIndex]
_Vector = Union[Sequence[_Float], npt.NDArray[np.floating], npt.NDArray[np.integer]]

__all__ = [
    "get_c",
    "gofb",
    "bofg",
    "eq_59_park1995",
    "fp_findif_difu",
    "syn_emissivity_full",
    "rad_trans_blob",
    "ic_iso_powlaw_full",
    "rad_cool_pwl",
    "rad_cool_mono",
    "ic_iso_monochrome_full",
    "rad_trans_slab",
]

def get_c() -> float:
    """Speed of light, 29979245800.0 cm s^-1."""

@overload
def gofb(arg: float) -> float:
    """Lorentz factor 1/sqrt(1 - beta^2) of a speed beta in units of c;
    +inf at |beta| = 1, NaN beyond."""

@overload
def gofb(arg: _Vector) -> list[float]:
    """Lorentz factors of a sequence of speeds in units of c."""

@overload
def bofg(arg: float) -> float:
    """Speed sqrt(1 - 1/gamma^2) in units of c of a Lorentz factor; exactly
    0.0 for gamma <= 1."""

@overload
def bofg(arg: _Vector) -> list[float]:
    """Speeds in units of c of a sequence of Lorentz factors."""

def eq_59_park1995(t: _Float, g: _Vector) -> list[float]:
    """Analytic distribution of Park & Petrosian (1995, eq. 59) at time t (in
    units of the inverse diffusion rate) for Lorentz factors g, limited to
    [1e-100, 1e200]; fixed injection momentum p0 = sqrt(100^2 - 1)."""

def fp_findif_difu(
    dt_in: _Float,
    gamma_bins: _Vector,
    nin: _Vector,
    gdot_in: _Vector,
    din: _Vector,
    qin: _Vector,
    tesc_in: _Float,
    tlc: _Float,
    check_params: Optional[bool] = None,
) -> list[float]:
    """One implicit Chang-Cooper step of the electron Fokker-Planck equation.

    dt_in, tesc_in, tlc in s (tesc_in >= 1e100: no escape); gamma_bins the
    Lorentz-factor grid; nin the distribution (any density unit per unit
    gamma); gdot_in the loss rate |dgamma/dt| in s^-1 (positive for losses);
    din the diffusion coefficient in s^-1 (positive everywhere); qin the
    injection rate in units of nin per s. Returns the distribution after the
    step. check_params (default True) rejects NaN inputs."""

def syn_emissivity_full(
    freqs: _Vector,
    gamma_bins: _Vector,
    n_distrib: _Vector,
    b_field: _Float,
    with_abs: bool,
) -> tuple[list[float], list[float]]:
    """Synchrotron emissivity (erg cm^-3 s^-1 Hz^-1 sr^-1) and self-absorption
    coefficient (cm^-1) at freqs (Hz) of the distribution n_distrib (cm^-3)
    on gamma_bins in a field b_field (G); the absorption list is all zeros
    unless with_abs is True."""

def rad_trans_blob(blob_radius: _Float, j_nu: _Vector, a_nu: _Vector) -> list[float]:
    """Escaping intensity of a homogeneous sphere of radius blob_radius (cm)
    with emissivity j_nu (per sr) and absorption a_nu (cm^-1): j R / 3 when
    thin, j / (4 a) when thick (luminosity L_nu = 16 pi^2 R^2 I_nu)."""

def ic_iso_powlaw_full(freqs: _Vector, inu: _Vector, g: _Vector, n: _Vector) -> list[float]:
    """Inverse-Compton emissivity (per sr) at freqs (Hz) of electrons n
    (cm^-3) on the Lorentz-factor grid g scattering an isotropic seed field
    of intensity inu tabulated on freqs (Thomson regime with a
    Klein-Nishina cut)."""

def rad_cool_pwl(gg: _Vector, freqs: _Vector, uu: _Vector, with_kn: bool) -> list[float]:
    """Compton loss rate |dgamma/dt| (s^-1) at Lorentz factors gg in an
    isotropic field of spectral energy density uu (erg cm^-3 Hz^-1) on freqs
    (Hz), with the Klein-Nishina reduction when with_kn is True."""

def rad_cool_mono(gg: _Vector, nu0: _Float, u0: _Float, with_kn: bool) -> list[float]:
    """Compton loss rate (s^-1) at Lorentz factors gg in an isotropic
    monochromatic field of frequency nu0 (Hz) and energy density u0
    (erg cm^-3): C_T u0 sqrt(gamma^2 - 1) F(b), one power of gamma*beta
    (multiply by sqrt(gamma^2 - 1) for the physical gamma^2 beta^2 rate)."""

def ic_iso_monochrome_full(freqs: _Vector, uext: _Float, nuext: _Float, n: _Vector, g: _Vector) -> list[float]:
    """Inverse-Compton emissivity at freqs (Hz), integrated over all
    directions (erg cm^-3 s^-1 Hz^-1: divide by 4 pi for per sr), of
    electrons n (cm^-3) on the grid g in an isotropic monochromatic field
    of energy density uext (erg cm^-3) and frequency nuext (Hz)."""

def rad_trans_slab(blob_radius: _Float, j_nu: _Vector, a_nu: _Vector) -> list[float]:
    """Escaping intensity of a homogeneous slab of thickness blob_radius (cm):
    j R (1 - e^-tau) / tau with tau = a R."""
