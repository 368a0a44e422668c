#ifndef VASKSUPPORT_NUMERIC_VASKGLOBAL_H
#define VASKSUPPORT_NUMERIC_VASKGLOBAL_H

#include "vasksupport_global.h"

// Small pieces of arithmetic for the host. All three are pure functions of
// their arguments, safe to call from any thread. Each is evaluated in a fixed
// order with every step rounded to double, so results are identical on every
// build; inputs outside the meaningful range give IEEE results (NaN,
// infinities), never an error.
namespace VASK_GLOBAL {

// The ratio a*b/c capped at b: with t = (a*b)/c it returns
// ((t + b) - |t - b|) * 0.5, which is min(t, b) whenever that sum and
// difference are exact (when t dwarfs b they are not: formula1(1e20, 1, 1)
// is 0.0). Returns b unchanged when c > 0 does not hold (zero, negative, NaN).
VASKSUPPORT_EXPORT double formula1(double a, double b, double c);

// True when |x - y| < 1e-6, an absolute tolerance; a difference of exactly
// 1e-6 is not equal. NaN operands and equal infinities compare unequal.
VASKSUPPORT_EXPORT bool isEqual(double x, double y);

// The two points at which the normal density with mean mu and standard
// deviation sigma takes the value p: mu +/- sqrt(-2 sigma^2 ln(sigma sqrt(2 pi) p)).
// Writes the upper point to upper and then the lower point to lower, always.
// p above the peak density, sigma = 0, or sigma and p of opposite signs give
// NaN for both; p = 0 gives +inf and -inf.
VASKSUPPORT_EXPORT void normalDistribution(double mu, double sigma, double p, double &upper, double &lower);

} // namespace VASK_GLOBAL

#endif // VASKSUPPORT_NUMERIC_VASKGLOBAL_H
