#include "misc/tridag_ser.hpp"

#include <cstddef>

#include "misc/failure.hpp"

namespace ostrel::misc {
namespace {

// Element i of a view, or the list-index failure naming the view's length.
inline double element(std::span<const double> v, std::size_t i) {
    if (i >= v.size()) fail_index(v.size(), i);
    return v[i];
}

}  // namespace

std::vector<double> tridag_ser(std::span<const double> a, std::span<const double> b,
                               std::span<const double> c, std::span<const double> r) {
    const std::size_t n = b.size();
    std::vector<double> u(n, 0.0);
    std::vector<double> e(n, 0.0);

    double beta = element(b, 0);
    if (beta == 0.0) fail(kTridagStage1);
    u[0] = element(r, 0) / beta;
    if (n == 1) return u;

    for (std::size_t j = 1; j < n; ++j) {
        e[j] = element(c, j - 1) / beta;
        const double aj = element(a, j - 1);
        beta = b[j] - aj * e[j];
        if (beta == 0.0) fail(kTridagStage2);
        u[j] = (element(r, j) - aj * u[j - 1]) / beta;
    }
    for (std::size_t j = n - 1; j-- > 0;) {
        u[j] = u[j] - e[j + 1] * u[j + 1];
    }
    return u;
}

}  // namespace ostrel::misc
