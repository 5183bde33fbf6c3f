#include "special_functions/i_nu.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

#include "misc/constants.hpp"

namespace ostrel::special_functions {
namespace {

struct Pair {
    double re;
    double im;
};

// (z/2)^p for z/2 = u + iv, in polar form.
Pair half_power(double u, double v, double p) {
    if (p == 0.0) return {1.0, 0.0};
    const double rho = std::hypot(u, v);
    const double phi = p * std::atan2(v, u);
    const double magnitude = std::pow(rho, p);
    return {magnitude * std::cos(phi), magnitude * std::sin(phi)};
}

// Gamma(nu+1) for the orders seen so far. A handful of orders is ever used,
// so a short list searched under a lock is enough; when it is full, further
// orders are computed on every call.
double gamma_of_order(double nu) {
    struct Entry {
        std::uint64_t key;
        double value;
    };
    constexpr std::size_t kCapacity = 16;
    static std::mutex mutex;
    static Entry entries[kCapacity];
    static std::size_t count = 0;

    const std::uint64_t key = std::bit_cast<std::uint64_t>(nu);
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < count; ++i) {
            if (entries[i].key == key) return entries[i].value;
        }
    }
    const double value = weierstrass_gamma(nu + 1.0);
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].key == key) return entries[i].value;
    }
    if (count < kCapacity) entries[count++] = {key, value};
    return value;
}

}  // namespace

double weierstrass_gamma(double d) {
    double f = 1.0;
    for (double k = 1.0;; k = k + 1.0) {
        const double q = d / k;
        const double g = std::exp(q) / (q + 1.0);
        f = f * g;
        if (std::fabs((g + (-1.0)) / f) < 1e-12) break;
        // A product that has become zero or NaN never meets the test above
        // (an infinite one meets it at the next finite factor, unchanged):
        // its value is final, stop here instead of looping for ever.
        if (f == 0.0 || !std::isfinite(f)) break;
    }
    return (std::exp(d * (-constants::euler_gamma)) * f) / d;
}

std::complex<double> i_nu(double nu, std::complex<double> z) {
    if (!std::isfinite(nu)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    if (std::signbit(nu) && nu - std::trunc(nu) == 0.0) return i_nu(std::fabs(nu), z);

    const double u = z.real() * 0.5;
    const double v = z.imag() * 0.5;
    double gamma = gamma_of_order(nu);

    const Pair lead = half_power(u, v, nu);
    double t_re = lead.re / gamma;
    double t_im = lead.im / gamma;
    if (std::hypot(t_re, t_im) < 1e-8) return {0.0, 0.0};

    double s_re = 0.0;
    double s_im = 0.0;
    double k = 0.0;
    double k_factorial = 1.0;
    for (;;) {
        s_re = s_re + t_re;
        s_im = s_im + t_im;
        const double s2 = s_im * s_im + s_re * s_re;
        const double ratio_re = (t_im * s_im + t_re * s_re) / s2;
        const double ratio_im = (t_im * s_re - t_re * s_im) / s2;
        if (std::hypot(ratio_re, ratio_im) < 1e-8) break;

        k = k + 1.0;
        const double p = 2.0 * k + nu;
        gamma = gamma * (k + nu);
        k_factorial = k_factorial * k;
        const Pair power = half_power(u, v, p);
        const double denominator = k_factorial * gamma;
        t_re = power.re / denominator;
        t_im = power.im / denominator;
        // Terms k = 0 ... 499 at most; the 501st is formed but not added.
        if (k == 500.0) break;
    }
    return {s_re, s_im};
}

}  // namespace ostrel::special_functions
