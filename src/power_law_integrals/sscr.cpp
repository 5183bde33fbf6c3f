#include "power_law_integrals/sscr.hpp"

#include <cmath>

namespace ostrel::power_law_integrals {

SscrFactors sscr_factors(double x1, double x2, const SwitchedLogs& logs_x, double a, double b) {
    SscrFactors f;
    const double ab = a + b;
    f.p_y = -1.0 - (ab + 1.0);
    f.s_y = (ab + 1.0) + 1.0;
    f.e_y = ab + 2.0;
    f.w = ratio_integral(logs_x, x2 / x1, -1.0 - a, a + 1.0);
    f.pow_x1 = std::pow(x1, a + 1.0);
    return f;
}

SscrFactors sscr_factors(double x1, double x2, double a, double b) {
    return sscr_factors(x1, x2, switched_logs(x2 / x1), a, b);
}

SscrYFactors sscr_y_factors(const SscrFactors& f, const SwitchedLogs& logs_y, double r_y, double y1) {
    return {ratio_integral(logs_y, r_y, f.p_y, f.s_y), std::pow(y1, f.e_y)};
}

double sscr_finish(const SscrFactors& f, const SwitchedLogs& logs_y, double r_y, double y1) {
    return sscr_combine(f, sscr_y_factors(f, logs_y, r_y, y1));
}

double sscr(double x1, double x2, double y1, double y2, double a, double b) {
    const double r_y = y2 / y1;
    return sscr_finish(sscr_factors(x1, x2, a, b), switched_logs(r_y), r_y, y1);
}

}  // namespace ostrel::power_law_integrals
