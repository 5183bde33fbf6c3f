#include "radiation/rad_trans.hpp"

#include <cmath>

#include "misc/failure.hpp"

namespace ostrel::radiation {

namespace {

double blob_escape_factor(double tau) {
    if (tau <= 1e-10) return 1.0;
    double u;
    if (tau > 100.0) {
        u = (-1.0 / (tau * tau)) + 0.5;
    } else if (tau >= 0.01) {
        const double e = std::exp(-tau);
        double d = 1.0 - (tau + 1.0) * e;
        d = d + d;
        d = d / (tau * tau);
        u = (1.0 - d) * 0.5;
    } else {
        u = tau / 3.0 + (tau * tau) * (-0.125);
    }
    return (u * 3.0) / tau;
}

double slab_escape_factor(double tau) {
    if (tau <= 1e-10) return 1.0;
    return (1.0 - std::exp(-tau)) / tau;
}

}  // namespace

std::vector<double> rad_trans_blob(const std::vector<double>& j_nu, const std::vector<double>& a_nu,
                                   double blob_radius) {
    std::vector<double> out(j_nu.size(), 0.0);
    for (std::size_t i = 0; i < j_nu.size(); ++i) {
        const double a = at_array(a_nu, i);
        const double tau = std::fmax((blob_radius + blob_radius) * a, 1e-100);
        out[i] = ((j_nu[i] * blob_radius) * blob_escape_factor(tau)) / 3.0;
    }
    return out;
}

std::vector<double> rad_trans_slab(const std::vector<double>& j_nu, const std::vector<double>& a_nu,
                                   double blob_radius) {
    std::vector<double> out(j_nu.size(), 0.0);
    for (std::size_t i = 0; i < j_nu.size(); ++i) {
        const double a = at_array(a_nu, i);
        const double tau = std::fmax(a * blob_radius, 1e-100);
        out[i] = (j_nu[i] * blob_radius) * slab_escape_factor(tau);
    }
    return out;
}

}  // namespace ostrel::radiation
