#include "radiation/rad_cool_pwl.hpp"

#include <cmath>
#include <stdexcept>

#include "misc/constants.hpp"
#include "misc/failure.hpp"
#include "misc/qromb_w2arg.hpp"
#include "parallel/parallel_map.hpp"
#include "power_law_integrals/segment.hpp"
#include "radiation/trans_kn.hpp"
#include "radiation/trans_kn_fit.hpp"

namespace ostrel::radiation {

namespace {

using constants::kn_scale;

// Segments of the field with a value at or below this are skipped.
constexpr double kFloor = 1e-100;

// The contribution of one segment [x_lo, x_hi] of the scaled spectrum
// w(x) = w_lo (x/x_lo)^-p, weighted by the Klein-Nishina factor chosen by x_lo.
double segment_loss(double x_lo, double x_hi, double w_lo, double w_hi, bool with_kn) {
    const double R = x_hi / x_lo;
    const double L = std::log(R);
    const double p = power_law_integrals::clamp_index(-std::log(w_hi / w_lo) / L);

    const double d = R - 1.0;
    const double d2 = d * d;
    const double d3 = d * d2;
    const double d4 = d2 * d2;
    const double lambda1 = (1.5 * d4 > 1e-6) ? L : d;
    const double lambda2 = (0.5 * d2 > 1e-6) ? L : d;
    const double Lambda = (d3 > 1e-6) ? L * L : d * d;
    const double lambda1_cubed = lambda1 * (lambda1 * lambda1);

    if (!with_kn || !(x_lo >= 0.001)) {
        const double pm1 = p - 1.0;
        double G;
        if (lambda1_cubed * (pm1 * pm1) > 6e-6) {
            G = (1.0 - std::pow(R, 1.0 - p)) / (p - 1.0);
        } else {
            G = lambda2 - (Lambda / 2.0) * (p - 1.0);
        }
        return (w_lo * x_lo) * G;
    }
    if (x_lo < 100.0) {
        const misc::Integrand f = (x_lo < 1.0) ? &trans_kn : &trans_kn_fit;
        const double Q = misc::qromb_w2arg(f, x_lo, x_hi, p).unwrap();
        return (Q * w_lo) * std::pow(x_lo, p);
    }

    const double I = p + 1.0;
    const double J = I * I;
    const double d5 = d * d4;
    const double lambda4 = (2.0 * d5 > 1e-6) ? L : d;
    const double lambda4_2 = lambda4 * lambda4;
    const double lambda4_4 = lambda4_2 * lambda4_2;
    double K;
    if (lambda4_4 * 0.125 * J > 1e-6) {
        K = (1.0 - std::pow(R, 1.0 - (p + 2.0)) * (1.0 + lambda2 * I)) / J;
    } else {
        K = (lambda1_cubed * I) / (-3.0) + Lambda * 0.5;
    }
    double E;
    if (lambda1_cubed * J > 6e-6) {
        E = (1.0 - std::pow(R, 1.0 - (p + 2.0))) / I;
    } else {
        E = lambda2 - (Lambda * 0.5) * I;
    }
    return ((w_lo * kKnAsymptoticScale) * (K + (std::log(x_lo) - kKnAsymptoticShift) * E)) / x_lo;
}

}  // namespace

std::size_t checked_table_size(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > std::vector<double>().max_size() / cols) {
        throw std::length_error("capacity overflow");
    }
    return rows * cols;
}

std::vector<double> rad_cool_pwl(const std::vector<double>& gg, const std::vector<double>& freqs,
                                 const std::vector<double>& uu, bool with_kn) {
    const std::size_t n_g = gg.size();
    const std::size_t n_f = freqs.size();
    // Every row reads uu[0 ... n_f-1]: a short uu fails before any rate.
    if (n_g > 0 && uu.size() < n_f) fail_array_index();

    return parallel::map_indices<double>(n_g, [&](std::size_t i) {
        if (n_f == 0) fail_array_index();
        if (n_f == 1) return 0.0;
        // Row i of the tables, formed as it is read: X[i][k] = (C_x gamma_i) nu_k
        // and W[i][k] = (gamma_i u_k) C_x. W[i][k] is read first, then W[i][k-1]
        // (the previous iteration's value, the same bits).
        const double gamma = gg[i];
        const double scale = kn_scale * gamma;
        double sum = 0.0;
        double w_lo = (gamma * uu[0]) * kn_scale;
        for (std::size_t k = 1; k < n_f; ++k) {
            const double w_hi = (gamma * uu[k]) * kn_scale;
            const bool used = w_hi > kFloor && w_lo > kFloor;
            if (used) sum = sum + segment_loss(scale * freqs[k - 1], scale * freqs[k], w_lo, w_hi, with_kn);
            w_lo = w_hi;
        }
        return (sum * constants::thomson_cooling) / (kn_scale * kn_scale);
    });
}

}  // namespace ostrel::radiation
