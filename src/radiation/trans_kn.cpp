#include "radiation/trans_kn.hpp"

#include <cmath>

namespace ostrel::radiation {

double trans_kn(double x, double p) { return std::pow(x, -p) * std::pow(x + 1.0, -1.5); }

}  // namespace ostrel::radiation
