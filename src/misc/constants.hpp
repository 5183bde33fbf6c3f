// Physical and mathematical constants shared by the kernels, CGS units.
//
// Each value is an exact double literal and is used as it stands, never
// recomputed from other constants: the kernels' results depend on these bits.
// The composite values follow from the 2018 CODATA electron charge and mass
// together with c, h and sigma_T below. Part of the kernel library (plain
// C++); the Python module reads c from here for get_c.
#pragma once

namespace ostrel::constants {

// Speed of light, cm s^-1.
inline constexpr double c = 29979245800.0;
// Planck constant, erg s.
inline constexpr double h = 6.62607015e-27;
// Thomson cross-section, cm^2: 6.6524587321 * 1e-25 evaluated in double
// arithmetic, one unit in the last place above the double nearest to
// 6.6524587321e-25.
inline constexpr double sigma_t = 6.6524587321000005e-25;
// A quarter of the electron rest energy m_e c^2 / 4, erg. Divided by h nu it
// is the Lorentz factor above which scattering of photons of frequency nu
// leaves the Thomson regime.
inline constexpr double me_c2_quarter = 2.0467764442059716e-07;
// Cyclotron frequency per gauss, e / (2 pi m_e c), Hz G^-1.
inline constexpr double nu_b_per_gauss = 2799248.987233304;
// sqrt(3) e^2 / (2 c): times nu_B B the synchrotron emissivity prefactor
// sqrt(3) e^3 B / (4 pi m_e c^2).
inline constexpr double syn_emission_factor = 6.6645698196351e-30;
// sqrt(3) e^2 / (4 m_e c): times nu_B B the synchrotron absorption prefactor
// sqrt(3) e^3 B / (8 pi m_e^2 c^2).
inline constexpr double syn_absorption_factor = 0.0036580794255805012;
// Thomson cooling coefficient (4/3) sigma_T c / (m_e c^2), cm^3 erg^-1 s^-1.
inline constexpr double thomson_cooling = 3.2479641514432145e-08;
// Multiplies 4 gamma nu0 to form the scattering parameter of the
// monochromatic cooling rate (this is the coefficient the cooling kernels are
// defined with, not h / (m_e c^2) ~ 8.0933e-21).
inline constexpr double kn_scale_quarter = 6.53745089363765e-21;
// Exactly 4 * kn_scale_quarter: multiplies gamma nu to form the scattering
// parameter of the power-law-field cooling rate.
inline constexpr double kn_scale = 2.61498035745506e-20;

// Mathematical constants.
inline constexpr double pi = 3.141592653589793;
inline constexpr double half_pi = 1.5707963267948966;
inline constexpr double euler_gamma = 0.5772156649015329;
// sqrt(100^2 - 1): the momentum at gamma = 100.
inline constexpr double sqrt_9999 = 99.99499987499375;
inline constexpr double max_double = 1.7976931348623157e308;

}  // namespace ostrel::constants
