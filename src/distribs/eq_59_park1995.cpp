#include "distribs/eq_59_park1995.hpp"

#include <cmath>
#include <complex>

#include "misc/constants.hpp"
#include "special_functions/i_nu.hpp"

namespace ostrel::distribs {

std::vector<double> eq_59_park1995(double t, const std::vector<double>& g) {
    // Diffusion index, acceleration-to-diffusion ratio and the exponent s of
    // the paper's eq. 59, and the momentum at gamma = 100.
    constexpr double q = 3.0;
    constexpr double a = 1.0;
    constexpr double s = -0.5;
    constexpr double p0 = constants::sqrt_9999;

    const double nu = std::fabs(((q + (-1.0)) + a) / (s + s));
    const double e = std::pow(p0, ((1.0 - q) - a) * 0.5);
    const double p0_s = std::pow(p0, s);
    const double p0_2s = std::pow(p0, s + s);
    const double f = 1.0 / (t + t) + 1.0 / (t + t);
    const double escape = std::exp(-t);

    std::vector<double> out(g.size(), 0.0);
    for (std::size_t j = 0; j < g.size(); ++j) {
        const double p = std::sqrt(g[j] * g[j] + (-1.0));
        double amplitude = std::pow(p, ((1.0 - q) + a) * 0.5);
        amplitude = e * amplitude;
        const double x = (std::pow(p, s) * p0_s) / ((s * s) * (t + t));
        const double bessel = special_functions::i_nu(nu, {x, 0.0}).real();
        const double exponential = std::exp((std::pow(p, s + s) + p0_2s) / (((s * s) * (-4.0)) * t));
        amplitude = f * amplitude;

        double r = (amplitude * bessel) * exponential;
        r = escape * r;
        r = r * 4.0;
        r = r * constants::pi;
        if (std::isnan(r)) {
            r = 1e-100;
        } else if (r > 1e200) {
            r = 1e200;
        } else if (r < 1e-100) {
            r = 1e-100;
        }
        out[j] = r;
    }
    return out;
}

}  // namespace ostrel::distribs
