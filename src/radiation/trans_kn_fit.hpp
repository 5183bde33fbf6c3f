// Integrand of the Compton cooling rate for scattering parameters 1 <= x <
// 100: a power-law spectrum x^-p times a fitted Klein-Nishina reduction
// exp(P(ln x)), with the cubic
//
//   P(L) = ((-1.01819432 + L*(-0.67980349)) + L2*(-0.14948459)) + L3*0.00627589,
//   L2 = L*L, L3 = L*L2,
//
// evaluated in exactly this order and formed as pow(x, -p) * exp(P). The same
// fit is the reduction factor of the monochromatic cooling rate for 1 <= b
// < 100. Above x = 100 both cooling rates use the asymptotic Klein-Nishina
// loss factor 4.5 (ln x - 1.8333333333333333) / x^2, i.e. (9/2)(ln x - 11/6)/x^2,
// the extreme Klein-Nishina limit of the loss rate in an isotropic field
// (Blumenthal & Gould 1970, sec. 2.7).
//
// A plain function of (x, p), passed by reference to qromb_w2arg; pure.
#pragma once

namespace ostrel::radiation {

// Coefficients of the asymptotic form: 9/2 and 11/6 as held.
inline constexpr double kKnAsymptoticScale = 4.5;
inline constexpr double kKnAsymptoticShift = 1.8333333333333333;

// P(L), the logarithm of the fitted reduction factor at L = ln x.
inline double kn_fit_exponent(double L) {
    const double L2 = L * L;
    const double L3 = L * L2;
    return ((-1.01819432 + L * (-0.67980349)) + L2 * (-0.14948459)) + L3 * 0.00627589;
}

double trans_kn_fit(double x, double p);

}  // namespace ostrel::radiation
