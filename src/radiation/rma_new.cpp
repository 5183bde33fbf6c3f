#include "radiation/rma_new.hpp"

namespace ostrel::radiation {

double rma_new(double chi, double g) {
    return rma_from_factors(chi, chi + chi, rma_cutoff(g), rma_x_denominator(g));
}

}  // namespace ostrel::radiation
