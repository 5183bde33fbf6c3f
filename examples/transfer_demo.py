"""Escaping intensity of a synchrotron-like spectrum from a blob and a slab.

A short demonstration of the transfer functions: a power-law emissivity with
an absorption coefficient that falls steeply with frequency, so that the
source is optically thick at low and thin at high frequencies.
"""

import ostrel

radius = 1e16  # cm
freqs = [10.0 ** (8 + 0.5 * k) for k in range(17)]  # Hz
j_nu = [1e-20 * (nu / 1e8) ** -0.75 for nu in freqs]  # erg cm^-3 s^-1 Hz^-1 sr^-1
a_nu = [1e-14 * (nu / 1e8) ** -3.25 for nu in freqs]  # cm^-1

blob = ostrel.rad_trans_blob(radius, j_nu, a_nu)
slab = ostrel.rad_trans_slab(radius, j_nu, a_nu)

print(f"{'nu [Hz]':>10} {'tau_blob':>10} {'I_blob':>11} {'I_slab':>11}")
for nu, a, ib, isl in zip(freqs, a_nu, blob, slab):
    print(f"{nu:10.3e} {2 * radius * a:10.3e} {ib:11.4e} {isl:11.4e}")
print("speed of light:", ostrel.get_c(), "cm/s; gamma at beta=0.99:", ostrel.gofb(0.99))
