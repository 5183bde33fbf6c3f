#include "misc/qromb_w2arg.hpp"

#include <cmath>
#include <cstddef>
#include <span>

#include "misc/polint.hpp"

namespace ostrel::misc {

Result<double> qromb_w2arg(Integrand f, double a, double b, double p) {
    constexpr int kMaxStages = 20;
    constexpr std::size_t kOrder = 5;
    double s[kMaxStages + 1];  // trapezoid estimates
    double h[kMaxStages + 1];  // relative squared step sizes, h[k] = 4^-k
    for (int k = 0; k <= kMaxStages; ++k) {
        s[k] = 0.0;
        h[k] = 1.0;
    }

    const double half = (b - a) * 0.5;
    double t = 0.0;
    for (int j = 1; j <= kMaxStages; ++j) {
        if (j == 1) {
            const double fa = f(a, p);
            t = half * (fa + f(b, p));
        } else {
            const double m = std::ldexp(1.0, j - 2);
            const long count = 1L << (j - 2);
            const double delta = (b - a) / m;
            double sum = 0.0;
            for (long k = 0; k < count; ++k) sum = sum + f(a + delta * (static_cast<double>(k) + 0.5), p);
            t = (t + delta * sum) * 0.5;
        }
        s[j - 1] = t;
        if (j >= static_cast<int>(kOrder)) {
            const std::size_t first = static_cast<std::size_t>(j) - kOrder;
            const auto fit = polint(std::span<const double>(h + first, kOrder),
                                    std::span<const double>(s + first, kOrder), 0.0);
            if (!fit.is_ok()) return Result<double>::err(fit.error());
            const double y = fit.value().y;
            if (std::fabs(fit.value().dy) <= 1e-5 * std::fabs(y)) return Result<double>::ok(y);
        }
        if (j == kMaxStages) break;
        s[j] = t;
        h[j] = 0.25 * h[j - 1];
    }
    return Result<double>::err(kQrombTooManySteps);
}

}  // namespace ostrel::misc
