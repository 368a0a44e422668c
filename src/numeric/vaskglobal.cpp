// Built with floating-point contraction off and without fast-math (see
// CMakeLists.txt): each statement below is one rounded double operation, in
// exactly this order, so hosts get bit-identical results on every build.
#include "vaskglobal.h"

#include "vaskconstants_p.h"

#include <cmath>

namespace {

constexpr double kTolerance = 1e-6;
constexpr double kHalf = 0.5;
constexpr double kTwo = 2.0;
constexpr double kMinusTwo = -2.0;

// Negates negative values only; zero (of either sign) and NaN pass unchanged.
inline double magnitude(double v)
{
    return v < 0.0 ? -v : v;
}

} // namespace

namespace VASK_GLOBAL {

double formula1(double a, double b, double c)
{
    if (!(c > 0.0))
        return b;
    const double product = a * b;
    const double t = product / c;
    const double e = magnitude(t - b);
    const double sum = t + b;
    const double diff = sum - e;
    return diff * kHalf;
}

bool isEqual(double x, double y)
{
    const double d = magnitude(x - y);
    return kTolerance > d;
}

void normalDistribution(double mu, double sigma, double p, double &upper, double &lower)
{
    double s = std::sqrt(VaskConstants::pi * kTwo);
    s = s * sigma;
    s = s * p;
    const double logS = std::log(s);
    const double k = (sigma * kMinusTwo) * sigma;
    const double v = logS * k;
    const double delta = std::sqrt(v);
    upper = delta + mu;
    lower = mu - delta;
}

} // namespace VASK_GLOBAL
