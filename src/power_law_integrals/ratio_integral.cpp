#include "power_law_integrals/ratio_integral.hpp"

#include <cmath>

namespace ostrel::power_law_integrals {

SwitchedLogs switched_logs(double r) {
    const double delta = r - 1.0;
    const double d2 = delta * delta;
    const double d3 = delta * d2;
    const double d4 = d2 * d2;
    const double L = std::log(r);
    SwitchedLogs logs;
    logs.lambda1 = (d2 * 0.5 > 1e-9) ? L : delta;
    logs.lambda2 = (d3 > 1e-9) ? L * L : d2;
    const double l3 = (d4 * 1.5 > 1e-9) ? L : delta;
    logs.l3_cubed = l3 * (l3 * l3);
    return logs;
}

double ratio_integral(const SwitchedLogs& logs, double r, double p, double s) {
    if (p * p * logs.l3_cubed > 6.000000000000001e-9) return (1.0 - std::pow(r, s)) / p;
    return logs.lambda1 - p * (logs.lambda2 * 0.5);
}

double ratio_integral(double r, double p, double s) { return ratio_integral(switched_logs(r), r, p, s); }

}  // namespace ostrel::power_law_integrals
