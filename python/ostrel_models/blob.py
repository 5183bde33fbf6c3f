"""The emission region: a homogeneous spherical blob moving towards us.

Quantities with a prime live in the blob's rest frame. The blob has radius
R (cm) and a tangled magnetic field B (G), and moves with Doppler factor
delta; the source is at redshift z and luminosity distance d_L (cm). An
observer sees (Dermer & Menon 2009, eqs. 5.45-5.46 with the blob's
luminosity L'_nu' = 16 pi^2 R^2 I'_nu' from the escaping intensity I' of a
uniform sphere)

    nu = delta nu' / (1 + z),    nu F_nu = delta^4 nu' L'_nu' / (4 pi d_L^2),

and times t = (1 + z) t' / delta.

Without `distance`, d_L follows from the redshift with astropy's Planck18
cosmology (Planck Collaboration 2020), computed when first needed: astropy is
an optional extra.
"""

import math

from . import _util
from .constants import C


def luminosity_distance(redshift):
    """Luminosity distance (cm) of a redshift in the Planck18 cosmology."""
    try:
        from astropy.cosmology import Planck18
    except ImportError:
        raise ValueError("distance is required when astropy is not installed "
                         "(it gives the luminosity distance of a redshift)") from None
    return float(Planck18.luminosity_distance(redshift).to("cm").value)


class Blob:
    """A spherical blob: radius (cm), b_field (G), doppler, redshift and
    distance (luminosity distance, cm; from the redshift if omitted)."""

    def __init__(self, radius, b_field, doppler=1.0, redshift=0.0, distance=None):
        self.radius = _util.number("radius", radius, positive=True)
        self.b_field = _util.number("b_field", b_field, positive=True)
        self.doppler = _util.number("doppler", doppler, positive=True)
        self.redshift = _util.number("redshift", redshift, nonnegative=True)
        if distance is None:
            if self.redshift == 0.0:
                raise ValueError("distance is required when redshift is 0")
            self._distance = None
        else:
            self._distance = _util.number("distance", distance, positive=True)
        self.distance_given = distance is not None

    @property
    def distance(self):
        """Luminosity distance, cm."""
        if self._distance is None:
            self._distance = luminosity_distance(self.redshift)
        return self._distance

    @property
    def volume(self):
        """Blob volume 4 pi R^3 / 3, cm^3."""
        return 4.0 / 3.0 * math.pi * self.radius ** 3

    @property
    def crossing_time(self):
        """Light-crossing time R / c, s."""
        return self.radius / C

    @property
    def magnetic_energy_density(self):
        """U_B = B^2 / (8 pi), erg cm^-3."""
        return self.b_field ** 2 / (8.0 * math.pi)

    def to_blob_frame(self, nu):
        """Blob-frame frequencies nu' = (1 + z) nu / delta of observed ones."""
        f = (1.0 + self.redshift) / self.doppler
        return [f * x for x in nu]

    def flux_factor(self):
        """nu F_nu = flux_factor * nu' I'_nu': delta^4 16 pi^2 R^2 / (4 pi d_L^2)."""
        return self.doppler ** 4 * 4.0 * math.pi * self.radius ** 2 / self.distance ** 2

    def observed_time(self, t_blob):
        """Observer time (s) of a blob-frame time (s)."""
        return (1.0 + self.redshift) * t_blob / self.doppler

    def __repr__(self):
        d = f", distance={self._distance!r}" if self.distance_given else ""
        return (f"Blob(radius={self.radius!r}, b_field={self.b_field!r}, doppler={self.doppler!r}, "
                f"redshift={self.redshift!r}{d})")
