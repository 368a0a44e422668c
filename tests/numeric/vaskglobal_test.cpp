// The three numeric helpers at the values where their order of evaluation
// shows, and at the edges where IEEE arithmetic decides.
#include "vaskglobal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Equal as results: NaN matches any NaN, 0.0 is not -0.0, and other values
// agree to 1e-10.
bool same(double a, double b)
{
    return std::isnan(a) ? std::isnan(b) : a == b ? std::signbit(a) == std::signbit(b) : std::fabs(a - b) < 1e-10;
}

// formula1 is the ratio capped at its second operand, isEqual has a strict
// absolute tolerance, and normalDistribution finds the two points where the
// density takes the value.
TEST(Numeric, EachHelperAtItsEdges)
{
    const double ratios[][4] = {
        {2, 10, 4, 5}, {8, 10, 4, 10}, {5, 10, 5, 10}, {-2, 10, 4, -5}, {2, -10, 4, -10}, {3, kNaN, -1, kNaN},
        {3, 5, 0, 5}, {3, 5, -1, 5}, {3, 5, -0.0, 5}, {3, 5, kNaN, 5}, {kNaN, 5, 0, 5}, // no division
        {1e20, 1, 1, 0.0}, {1, 1e-20, 1e-40, 0.0}, // the ratio swallows the cap in both the sum and the difference
        {kNaN, 1, 1, kNaN}, {kInf, 1, 1, kNaN}, {1, -0.0, 1, -0.0}, // inf - inf; |+0| stays +0
    };
    for (const auto &c : ratios)
        EXPECT_TRUE(same(VASK_GLOBAL::formula1(c[0], c[1], c[2]), c[3])) << c[0] << ' ' << c[1] << ' ' << c[2];

    const double comparisons[][3] = {
        // x, y, then 1 when equal
        {1.0, 1.0000001, 1}, {-3.5, -3.5, 1}, {0.0, -0.0, 1}, {0.0, std::nextafter(1e-6, 0.0), 1}, {0.0, 1e-6, 0},
        {1e-6, 0.0, 0}, {1e12, 1e12 + 1, 0}, {kNaN, kNaN, 0}, {kNaN, 1.0, 0}, {1.0, kNaN, 0}, {kInf, kInf, 0},
        {-kInf, -kInf, 0}, {kInf, -kInf, 0},
    };
    for (const auto &c : comparisons)
        EXPECT_EQ(VASK_GLOBAL::isEqual(c[0], c[1]), c[2] == 1) << c[0] << ' ' << c[1];

    const double peak = 1.0 / std::sqrt(3.141592653589793 * 2.0);
    const double points[][5] = {
        // mu, sigma, p, then the upper and lower points
        {10, 2, 0.1, 12.350318070780085, 7.6496819292199145}, {-4, 0.5, 0.01, -2.5202400814079056, -5.479759918592094},
        {100, 15, 1e-5, 159.57072711322655, 40.42927288677344}, {7, 1, peak, 7, 7}, {7, 2, peak / 2, 7, 7},
        {0, 1, 0.5, kNaN, kNaN}, {0, 1, 0, kInf, -kInf}, {5, -2, 0, kInf, -kInf}, {0, 0, 0.1, kNaN, kNaN},
        {0, 0, 0, kNaN, kNaN}, {0, -1, 0.1, kNaN, kNaN}, {0, 1, -0.1, kNaN, kNaN}, {0, 1, kNaN, kNaN, kNaN},
        {0, kNaN, 0.1, kNaN, kNaN},
    };
    for (const auto &c : points) {
        double upper = 42, lower = 42;
        VASK_GLOBAL::normalDistribution(c[0], c[1], c[2], upper, lower);
        EXPECT_TRUE(same(upper, c[3]) && same(lower, c[4])) << c[0] << ' ' << c[1] << ' ' << c[2];
    }
}

} // namespace
