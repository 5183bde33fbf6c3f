// Polynomial interpolation and extrapolation by Neville's algorithm.
//
// polint(xa, ya, x) evaluates at x the polynomial of degree n-1 through the n
// points (xa[i], ya[i]) (Press et al., Numerical Recipes, sec. 3.1). It starts
// from the ordinate of the point nearest to x (ties go to the lowest index;
// a distance that is NaN, infinite or the largest double is never nearest)
// and adds one correction per tableau column, choosing the path through the
// tableau that stays closest to the starting point. Returns (y, dy), dy the
// last correction added, which callers use as the error estimate of y.
//
// Tables of more than 512 points consult the calling thread's stop check
// (misc/interrupt.hpp) every 2^22 steps and may throw Interrupted.
//
// Error values: "polint: xa and ya have different sizes" (checked before any
// work) and "polint: calculation failure" (two abscissae at equal distance
// from x, in particular two equal abscissae). An empty table is a caller
// error and raises the index-out-of-bounds internal failure.
//
// Each product is rounded before it is used; the loop order is part of the
// result's last bit. Pure and reentrant: used inside the Romberg integrators
// that run on worker threads.
#pragma once

#include <span>
#include <utility>

#include "misc/failure.hpp"

namespace ostrel::misc {

inline constexpr const char* kPolintSizes = "polint: xa and ya have different sizes";
inline constexpr const char* kPolintFailure = "polint: calculation failure";

struct Interpolated {
    double y = 0.0;
    double dy = 0.0;
};

Result<Interpolated> polint(std::span<const double> xa, std::span<const double> ya, double x);

}  // namespace ostrel::misc
