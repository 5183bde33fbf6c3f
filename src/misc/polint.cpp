#include "misc/polint.hpp"

#include <cmath>
#include <vector>

#include "misc/constants.hpp"
#include "misc/interrupt.hpp"

namespace ostrel::misc {
namespace {

constexpr std::size_t kPollPoints = 512;
constexpr std::size_t kPollWork = std::size_t{1} << 22;

}  // namespace

Result<Interpolated> polint(std::span<const double> xa, std::span<const double> ya, double x) {
    if (xa.size() != ya.size()) return Result<Interpolated>::err(kPolintSizes);
    const std::size_t n = xa.size();
    if (n == 0) fail_index(0, 0);

    // The integrators call this with 5 or 10 points from their inner loops:
    // small tables live on the stack.
    constexpr std::size_t kInline = 16;
    double inline_work[3 * kInline];
    std::vector<double> heap_work;
    double* work = inline_work;
    if (n > kInline) {
        heap_work.resize(3 * n);
        work = heap_work.data();
    }
    double* c = work;
    double* d = work + n;
    double* ho = work + 2 * n;
    for (std::size_t i = 0; i < n; ++i) {
        c[i] = ya[i];
        d[i] = ya[i];
        ho[i] = xa[i] - x;
    }

    double dif = constants::max_double;
    std::size_t ns = 0;
    double y = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dift = std::fabs(ho[i]);
        if (dift < dif) {
            ns = i;
            y = ya[i];
            dif = dift;
        }
    }
    if (n == 1) return Result<Interpolated>::ok({y, 0.0});

    // A large table (the Fokker-Planck step extrapolates through its whole
    // grid) costs n^2/2 steps: seconds for 10^5 points. There the calling
    // thread's stop check is consulted every few milliseconds of work; it
    // changes nothing in the arithmetic.
    const bool poll = n > kPollPoints;
    std::size_t steps = 0;
    double dy = 0.0;
    for (std::size_t m = 1; m < n; ++m) {
        if (poll) {
            steps += n - m;
            if (steps >= kPollWork) {
                steps = 0;
                poll_stop();
            }
        }
        for (std::size_t i = 0; i < n - m; ++i) {
            const double hp = ho[i + m];
            const double den = ho[i] - hp;
            if (den == 0.0) return Result<Interpolated>::err(kPolintFailure);
            const double q = (c[i + 1] - d[i]) / den;
            d[i] = hp * q;
            c[i] = ho[i] * q;
        }
        if (2 * ns < n - m) {
            dy = c[ns];
        } else {
            ns = ns - 1;
            dy = d[ns];
        }
        y = y + dy;
    }
    return Result<Interpolated>::ok({y, dy});
}

}  // namespace ostrel::misc
