"""Physical constants in CGS units.

The values are the exact doubles the kernels use (speed of light, Planck
constant, Thomson cross-section), plus the electron rest energy and charge
(CODATA 2018), from which the model layer derives its own composites.
"""

import math

C = 29979245800.0  # speed of light, cm s^-1
H = 6.62607015e-27  # Planck constant, erg s
SIGMA_T = 6.6524587321000005e-25  # Thomson cross-section, cm^2
ME_C2 = 8.1871057769e-07  # electron rest energy m_e c^2, erg
E_CHARGE = 4.803204712570263e-10  # elementary charge, statC (esu)
M_E = ME_C2 / (C * C)  # electron mass, g
# (4/3) sigma_T c / (m_e c^2): the Thomson cooling coefficient of the kernels,
# |dgamma/dt| = C_THOMSON * U * gamma^2 beta^2 for an energy density U.
C_THOMSON = 3.2479641514432145e-08  # cm^3 erg^-1 s^-1
# Cyclotron frequency per gauss, e / (2 pi m_e c).
NU_B_PER_GAUSS = E_CHARGE / (2.0 * math.pi * M_E * C)  # Hz G^-1
