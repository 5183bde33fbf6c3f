#include "radiation/rad_cool_mono.hpp"

#include <cmath>
#include <cstddef>

#include "misc/constants.hpp"
#include "parallel/parallel_map.hpp"
#include "radiation/trans_kn_fit.hpp"

namespace ostrel::radiation {

namespace {

// A rate costs a few nanoseconds without the Klein-Nishina reduction (a
// square root and two products) and about 13 ns with it (the 20000-point
// case of benchmarks/bench_speedup.py, less the conversion of its lists),
// while handing a map to the workers costs a few microseconds: grids shorter
// than these are evaluated on the calling thread, where a second worker
// could only slow them down.
constexpr std::size_t kSerialBelowThomson = 8192;
constexpr std::size_t kSerialBelowKleinNishina = 1024;

}  // namespace

std::vector<double> rad_cool_mono(const std::vector<double>& gg, double nu0, double u0, bool with_kn) {
    const std::size_t serial_below = with_kn ? kSerialBelowKleinNishina : kSerialBelowThomson;
    return parallel::map_indices_cheap<double>(gg.size(), serial_below, [&](std::size_t i) {
        const double gamma = gg[i];
        const double r = std::sqrt(gamma * gamma - 1.0);
        const double base = r * (constants::thomson_cooling * u0);
        if (!with_kn) return base;
        // The scattering parameter, formed in the task with the products in
        // the order of the header.
        const double bi = ((gamma * 4.0) * nu0) * constants::kn_scale_quarter;
        if (bi >= 100.0) {
            return ((std::log(bi) - kKnAsymptoticShift) * (base * kKnAsymptoticScale)) / (bi * bi);
        }
        if (bi >= 1.0) return std::exp(kn_fit_exponent(std::log(bi))) * base;
        if (bi > 0.001) return std::pow(bi + 1.0, -1.5) * base;
        return base;
    });
}

}  // namespace ostrel::radiation
