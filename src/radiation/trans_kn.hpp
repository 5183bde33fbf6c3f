// Integrand of the Compton cooling rate for scattering parameters 0.001 <= x
// < 1: a power-law spectrum x^-p times the Klein-Nishina reduction
// (1 + x)^-1.5, computed as pow(x, -p) * pow(x + 1, -1.5).
//
// A plain function of (x, p), passed by reference to qromb_w2arg; pure.
#pragma once

namespace ostrel::radiation {

double trans_kn(double x, double p);

}  // namespace ostrel::radiation
