#include "radiation/trans_kn_fit.hpp"

#include <cmath>

namespace ostrel::radiation {

double trans_kn_fit(double x, double p) {
    const double fit = kn_fit_exponent(std::log(x));
    return std::pow(x, -p) * std::exp(fit);
}

}  // namespace ostrel::radiation
