#include "distribs/fp_findif_difu.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <string>

#include "misc/failure.hpp"
#include "misc/polint.hpp"
#include "misc/tridag_ser.hpp"

namespace ostrel::distribs {
namespace {

bool any_nan(const std::vector<double>& v) {
    for (double x : v) {
        if (std::isnan(x)) return true;
    }
    return false;
}

bool all_finite(std::span<const double> v) {
    for (double x : v) {
        if (!std::isfinite(x)) return false;
    }
    return true;
}

// (w/2)/sinh(w/2) for small |w|: 1 - w^2/24 + 7 w^4/5760 - 31 w^6/967680.
double weight_series(double w) {
    const double x = w * w;
    return ((x / (-24.0) + 1.0) + (x * x * 7.0) / 5760.0) + (x * (x * x) * (-31.0)) / 967680.0;
}

}  // namespace

std::vector<double> fp_findif_difu(double dt_in, const std::vector<double>& gamma_bins,
                                   const std::vector<double>& nin, const std::vector<double>& gdot_in,
                                   const std::vector<double>& din, const std::vector<double>& qin,
                                   double tesc_in, double tlc, bool check_params) {
    const std::size_t n = gamma_bins.size();
    if (nin.size() != n || gdot_in.size() != n || din.size() != n || qin.size() != n) {
        fail("FP_FinDif_difu: input vectors differ in length (gamma_bins: " + std::to_string(n) +
             ", nin: " + std::to_string(nin.size()) + ", gdot_in: " + std::to_string(gdot_in.size()) +
             ", din: " + std::to_string(din.size()) + ", qin: " + std::to_string(qin.size()) + ")");
    }
    if (check_params && (std::isnan(dt_in) || std::isnan(tesc_in) || std::isnan(tlc) ||
                         any_nan(gamma_bins) || any_nan(nin) || any_nan(gdot_in) || any_nan(din) ||
                         any_nan(qin))) {
        fail(kFpBadInput);
    }

    // Time unit tlc. The open interval keeps "no escape" (1e200) unscaled.
    const double dt = dt_in / tlc;
    const double tesc = (1e-100 < tesc_in && tesc_in < 1e100) ? tesc_in / tlc : tesc_in / 1.0;

    // The grid widths need g_0 and g_1: the first missing one is reported.
    if (n < 2) fail_index(n, n);

    std::vector<double> gdot(n), diff(n), inj(n);
    for (std::size_t j = 0; j < n; ++j) {
        gdot[j] = tlc * gdot_in[j];
        inj[j] = tlc * qin[j];
        diff[j] = tlc * din[j];
    }

    // Half-grid points ("faces") k = 0 ... n: face k lies between the grid
    // points k-1 and k, so row j has face j on its lower side (the "-"
    // quantities) and face j+1 on its upper side (the "+" quantities). The
    // interior faces are shared by two rows, which is what makes the fluxes
    // conservative; faces 0 and n are the outer ends.
    const std::size_t faces = n + 1;
    std::vector<double> width(faces), coef(faces), sys(faces);
    for (std::size_t k = 1; k < n; ++k) {
        width[k] = gamma_bins[k] - gamma_bins[k - 1];
        coef[k] = (diff[k] + diff[k - 1]) * 0.25;
        sys[k] = ((diff[k] - diff[k - 1]) / width[k] + (gdot[k] + gdot[k - 1])) * 0.5;
    }
    width[0] = width[1];
    width[n] = width[n - 1];
    coef[0] = diff[0] * 0.25;
    coef[n] = diff[n - 1] * 0.25;
    sys[n] = ((diff[n - 1] - diff[n - 2]) / width[n] + (gdot[n - 1] + gdot[n - 2])) * 0.5;
    // The lower outer coefficient is extrapolated from all the others.
    const std::span<const double> inner(sys.data() + 1, n - 1);
    sys[0] = misc::polint(std::span<const double>(gamma_bins).subspan(1), inner, gamma_bins[0])
                 .unwrap()
                 .y;
    // A polynomial of degree N-2 amplifies rounding exponentially with N: on
    // wide grids of a few thousand points the extrapolation overflows, and a
    // non-finite coefficient would turn every point of the result into NaN.
    // From finite coefficients, take the nearest one instead (constant
    // extrapolation); results that are finite are unchanged.
    if (!std::isfinite(sys[0]) && all_finite(inner)) sys[0] = sys[1];

    // Chang-Cooper weights. Each face keeps e^h and e^-h of its limited h;
    // the weight of the face as seen from the row below ("+" form, faces
    // 1 ... n) and from the row above ("-" form, faces 0 ... n-1) are
    // written differently and may differ in the last bit. e^|h| and e^-|h|
    // are e^h and e^-h in the order given by the sign of h.
    std::vector<double> exp_pos(faces), exp_neg(faces), weight_up(faces), weight_down(faces);
    for (std::size_t k = 0; k < faces; ++k) {
        const double w = (width[k] * sys[k]) / coef[k];
        double h = w * 0.5;
        if (h > 200.0) {
            h = 200.0;
        } else if (h < -200.0) {
            h = -200.0;
        }
        exp_pos[k] = std::exp(h);
        exp_neg[k] = std::exp(-h);
        const double abs_w = std::fabs(w);
        if (abs_w < 0.1) {
            weight_up[k] = weight_series(w);
            weight_down[k] = weight_up[k];
        } else {
            const bool positive = h >= 0.0;
            const double exp_abs = positive ? exp_pos[k] : exp_neg[k];
            const double exp_minus_abs = positive ? exp_neg[k] : exp_pos[k];
            if (k > 0) weight_up[k] = (abs_w * exp_minus_abs) / (1.0 - std::exp(std::fabs(h) * (-2.0)));
            weight_down[k] = abs_w / (exp_abs - exp_minus_abs);
        }
    }

    std::vector<double> sub(n), diag(n), super(n), rhs(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t lo = j;      // face j - 1/2
        const std::size_t hi = j + 1;  // face j + 1/2
        const double cell = (width[hi] + width[lo]) * 0.5;
        sub[j] = (((coef[lo] * (-dt)) * weight_down[lo]) * exp_neg[lo]) / (cell * width[lo]);
        super[j] = (((coef[hi] * (-dt)) * weight_up[hi]) * exp_pos[hi]) / (cell * width[hi]);
        double b = (dt * (((coef[hi] * weight_up[hi]) * exp_neg[hi]) / width[hi] +
                          ((coef[lo] * weight_down[lo]) * exp_pos[lo]) / width[lo])) /
                   cell;
        b = b + 1.0;
        diag[j] = dt / tesc + b;
        rhs[j] = nin[j] + inj[j] * dt;
    }

    return misc::tridag_ser(std::span<const double>(sub).subspan(1), diag,
                            std::span<const double>(super).first(n - 1), rhs);
}

}  // namespace ostrel::distribs
