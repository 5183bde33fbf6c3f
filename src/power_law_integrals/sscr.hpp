// sscr(X1, X2, Y1, Y2, a, b): the double integral of y^b x^a over the region
// Y1 <= y <= Y2, X1 y <= x <= X2 y between two lines through the origin,
//
//   sscr = integral_Y1^Y2 y^b ( integral_{X1 y}^{X2 y} x^a dx ) dy
//        = ( integral_X1^X2 x^a dx ) * ( integral_Y1^Y2 y^(a+b+1) dy ),
//
// the building block of the inverse-Compton emissivity of a power-law seed
// segment scattered by a power-law electron segment. Each single integral is
// a ratio integral (ratio_integral.hpp) times a power of its lower bound:
//
//   M = R(Y2/Y1; -1 - ((a+b)+1), ((a+b)+1)+1)
//   W = R(X2/X1; -1 - a, a + 1)
//   sscr = W * (M * (pow(Y1, (a+b)+2) * pow(X1, a+1)))
//
// with every sum formed exactly as written; (a+b)+2 and ((a+b)+1)+1 are
// formed separately and may differ in the last bit.
//
// Only M and pow(Y1, .) involve Y1 and Y2. A caller that evaluates sscr for
// many (Y1, Y2) at fixed (X1, X2, a, b) forms `sscr_factors` once and calls
// `sscr_finish` per (Y1, Y2); the product is the same bits as `sscr`. The Y
// factors themselves (`sscr_y_factors`) depend on Y1, Y2/Y1 and the three
// exponents p_y, s_y, e_y only, so a caller may also reuse them for another
// call with the same bits of these five numbers. Pure, no failure paths.
#pragma once

#include "power_law_integrals/ratio_integral.hpp"

namespace ostrel::power_law_integrals {

// The factors of sscr that do not depend on Y1 and Y2.
struct SscrFactors {
    double w = 0.0;       // R(X2/X1; -1 - a, a + 1)
    double pow_x1 = 0.0;  // pow(X1, a + 1)
    double p_y = 0.0;     // -1 - ((a + b) + 1)
    double s_y = 0.0;     // ((a + b) + 1) + 1
    double e_y = 0.0;     // (a + b) + 2
};

SscrFactors sscr_factors(double x1, double x2, double a, double b);

// The same with the switched logarithms of x2 / x1 given (callers that form
// the factors of several (a, b) on one (X1, X2) share them); the same bits.
SscrFactors sscr_factors(double x1, double x2, const SwitchedLogs& logs_x, double a, double b);

// The factors of sscr that involve Y1 and Y2.
struct SscrYFactors {
    double m = 0.0;       // R(Y2/Y1; p_y, s_y)
    double pow_y1 = 0.0;  // pow(Y1, e_y)
};

// The Y factors from the ratio r_y = Y2/Y1 with its switched logarithms, and Y1.
SscrYFactors sscr_y_factors(const SscrFactors& f, const SwitchedLogs& logs_y, double r_y, double y1);

// W * (M * (pow(Y1, e_y) * pow(X1, a + 1))).
inline double sscr_combine(const SscrFactors& f, const SscrYFactors& y) {
    return f.w * (y.m * (y.pow_y1 * f.pow_x1));
}

// sscr from its X factors, the ratio r_y = Y2/Y1 with its switched
// logarithms, and Y1.
double sscr_finish(const SscrFactors& f, const SwitchedLogs& logs_y, double r_y, double y1);

double sscr(double x1, double x2, double y1, double y2, double a, double b);

}  // namespace ostrel::power_law_integrals
