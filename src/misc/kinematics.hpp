// Lorentz factor from speed and speed from Lorentz factor, speeds in units of c
// (exported to Python as gofb and bofg).
//
//   gofb(x) = 1 / sqrt(1 - x*x)          no clamping: |x| = 1 gives +inf, |x| > 1 NaN
//   bofg(x) = sqrt(1 - 1/(x*x))          for x > 1 or NaN; exactly 0.0 otherwise
#pragma once

#include <cmath>

namespace ostrel::kinematics {

inline double gofb(double beta) { return 1.0 / std::sqrt(1.0 - beta * beta); }

inline double bofg(double gamma) {
    if (gamma > 1.0 || std::isnan(gamma)) return std::sqrt(1.0 - 1.0 / (gamma * gamma));
    return 0.0;
}

}  // namespace ostrel::kinematics
