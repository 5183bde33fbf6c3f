#include "misc/qromb_w2arg.hpp"

#include "misc/romberg.hpp"

namespace ostrel::misc {

namespace {

// Stages 1 ... 20 are the driver's levels 0 ... 19; the first test at stage 5
// extrapolates the five estimates of stages 1 ... 5.
constexpr RombergScheme kScheme{5, 4, 19, 1e-5, false};

}  // namespace

Result<double> qromb_w2arg(Integrand f, double a, double b, double p) {
    const double fa = f(a, p);
    const double ends = fa + f(b, p);
    const auto r = romberg(kScheme, b - a, ends, [&](int level, double delta) {
        const long count = 1L << (level - 1);
        double sum = 0.0;
        for (long k = 0; k < count; ++k) sum = sum + f(a + delta * (static_cast<double>(k) + 0.5), p);
        return sum;
    });
    if (!r.is_ok()) return Result<double>::err(r.error());
    if (!r.value().converged) return Result<double>::err(kQrombTooManySteps);
    return Result<double>::ok(r.value().value);
}

}  // namespace ostrel::misc
