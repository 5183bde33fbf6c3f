#include "radiation/rad_cool_pwl.hpp"

#include <cmath>
#include <memory>
#include <span>
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
using power_law_integrals::ReadOrder;

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
    const std::size_t cells = checked_table_size(n_g, n_f);

    // Filled completely below, so left uninitialised.
    const std::unique_ptr<double[]> x_table(new double[cells]);
    for (std::size_t i = 0; i < n_g; ++i) {
        const double scale = kn_scale * gg[i];
        double* row = x_table.get() + i * n_f;
        for (std::size_t k = 0; k < n_f; ++k) row[k] = scale * freqs[k];
    }
    const std::unique_ptr<double[]> w_table(new double[cells]);
    // The first row reads uu[0 ... n_f-1]: a short uu fails there.
    if (n_g > 0 && uu.size() < n_f) fail_array_index();
    for (std::size_t i = 0; i < n_g; ++i) {
        const double gamma = gg[i];
        double* row = w_table.get() + i * n_f;
        for (std::size_t k = 0; k < n_f; ++k) row[k] = (gamma * uu[k]) * kn_scale;
    }

    return parallel::map_indices<double>(n_g, [&](std::size_t i) {
        if (n_f == 0) fail_array_index();
        if (n_f == 1) return 0.0;
        const double* x = x_table.get() + i * n_f;
        const std::span<const double> w(w_table.get() + i * n_f, n_f);
        double sum = 0.0;
        for (std::size_t k = 1; k < n_f; ++k) {
            // The row is complete: a segment is used or skipped, never failed.
            const auto v = power_law_integrals::read_segment(w, k - 1, kFloor, ReadOrder::upper_first);
            if (v.status != power_law_integrals::SegmentStatus::use) continue;
            sum = sum + segment_loss(x[k - 1], x[k], v.lo, v.hi, with_kn);
        }
        return (sum * constants::thomson_cooling) / (kn_scale * kn_scale);
    });
}

}  // namespace ostrel::radiation
