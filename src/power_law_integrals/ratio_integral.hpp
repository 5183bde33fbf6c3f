// The ratio integral R(r; p, s) = integral from 1 to r of t^(s-1) dt, with
// the caller passing p = -s (each computed from its own inputs), in closed
// form (1 - r^s) / p where that is accurate and as the start of its series in
// s ln r otherwise:
//
//   R = (1 - pow(r, s)) / p           if (p*p) * l3^3 > 6.000000000000001e-9
//   R = lambda1 - p * (lambda2 * 0.5) otherwise (exact for s = 0)
//
// The switched logarithms replace L = ln r by delta = r - 1 when r is so
// close to 1 that the stated power of delta is at or below 1e-9 (strict
// greater-than tests; a NaN test selects delta), with delta^2 = delta*delta,
// delta^3 = delta*delta^2, delta^4 = delta^2*delta^2:
//
//   lambda1 = L    if delta^2 * 0.5 > 1e-9, else delta
//   lambda2 = L*L  if delta^3 > 1e-9,       else delta^2
//   l3      = L    if delta^4 * 1.5 > 1e-9, else delta
//
// delta^3 keeps its sign, so ratios below 1 always use delta^2 for lambda2,
// and l3^3 < 0 sends them to the series form; R(1; p, s) = 0. The switches
// fall at delta ~ 5.08e-3 (l3), 1e-3 (lambda2) and 4.47e-5 (lambda1).
//
// The logarithms depend on r alone, so a caller that needs R for several
// exponents at the same ratio computes them once (`switched_logs`) and passes
// them to each evaluation; the results are the same bits as the one-shot
// form. Pure, no failure paths: NaN or infinite inputs propagate.
#pragma once

namespace ostrel::power_law_integrals {

struct SwitchedLogs {
    double lambda1 = 0.0;
    double lambda2 = 0.0;
    double l3_cubed = 0.0;  // l3 * (l3 * l3)
};

SwitchedLogs switched_logs(double r);

// R(r; p, s) for the ratio r whose logarithms are `logs`.
double ratio_integral(const SwitchedLogs& logs, double r, double p, double s);

// R(r; p, s).
double ratio_integral(double r, double p, double s);

}  // namespace ostrel::power_law_integrals
