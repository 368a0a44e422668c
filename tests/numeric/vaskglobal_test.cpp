// The three numeric helpers at the values where their exact order of
// evaluation shows, and at the edges where IEEE arithmetic decides.
#include "vaskglobal.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;

// Equal as results: bit for bit apart from NaN's payload, so 0.0 is not -0.0.
bool same(double a, double b)
{
    return std::isnan(a) ? std::isnan(b) : a == b && std::signbit(a) == std::signbit(b);
}

TEST(Formula1, IsTheRatioCappedAtTheSecondOperandAsTheExpressionGivesIt)
{
    const double cases[][4] = {
        {2, 10, 4, 5}, {8, 10, 4, 10}, {5, 10, 5, 10}, {-2, 10, 4, -5}, {2, -10, 4, -10},
        {3, 5, 0, 5}, {3, 5, -1, 5}, {3, 5, -0.0, 5}, {3, 5, kNaN, 5}, {kNaN, 5, 0, 5}, // no division
        {3, kNaN, -1, kNaN},
        {1e20, 1, 1, 0.0}, {1, 1e-20, 1e-40, 0.0}, // the ratio swallows the cap in both the sum and the difference
        {kNaN, 1, 1, kNaN}, {kInf, 1, 1, kNaN},    // inf - inf
    };
    for (const auto &c : cases)
        EXPECT_TRUE(same(VASK_GLOBAL::formula1(c[0], c[1], c[2]), c[3])) << c[0] << ' ' << c[1] << ' ' << c[2];
}

TEST(IsEqual, UsesAStrictAbsoluteTolerance)
{
    const struct {
        double x, y;
        bool equal;
    } cases[] = {
        {1.0, 1.0000001, true}, {-3.5, -3.5, true}, {0.0, -0.0, true}, {0.0, std::nextafter(1e-6, 0.0), true},
        {0.0, 1e-6, false}, {1e-6, 0.0, false}, {1e12, 1e12 + 1, false}, // exactly the tolerance; absolute
        {kNaN, kNaN, false}, {kNaN, 1.0, false}, {1.0, kNaN, false}, {kInf, kInf, false}, {-kInf, -kInf, false},
        {kInf, -kInf, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(VASK_GLOBAL::isEqual(c.x, c.y), c.equal) << c.x << ' ' << c.y;
}

TEST(NormalDistribution, FindsThePointsWhereTheDensityTakesTheValue)
{
    const double peak = 1.0 / std::sqrt(kPi * 2.0);
    const double cases[][5] = {
        // mu, sigma, p, then the upper and lower points
        {10, 2, 0.1, 12.35031807078, 7.64968192922}, {7, 1, peak, 7, 7}, {7, 2, peak / 2, 7, 7},
        {0, 1, 0.5, kNaN, kNaN}, {0, 1, 0, kInf, -kInf}, {5, -2, 0, kInf, -kInf}, {0, 0, 0.1, kNaN, kNaN},
        {0, 0, 0, kNaN, kNaN}, {0, -1, 0.1, kNaN, kNaN}, {0, 1, -0.1, kNaN, kNaN}, {0, 1, kNaN, kNaN, kNaN},
        {0, kNaN, 0.1, kNaN, kNaN},
    };
    for (const auto &c : cases) {
        double upper = 42, lower = 42;
        VASK_GLOBAL::normalDistribution(c[0], c[1], c[2], upper, lower);
        const bool near = std::isfinite(c[3]) && std::fabs(upper - c[3]) < 1e-10 && std::fabs(lower - c[4]) < 1e-10;
        EXPECT_TRUE(near || (same(upper, c[3]) && same(lower, c[4]))) << c[0] << ' ' << c[1] << ' ' << c[2];
    }
    // Away from the peak, the density (written the textbook way) takes the value at both points.
    for (const auto &c : {std::array<double, 3>{0, 1, 0.3}, {-4, 0.5, 0.01}, {100, 15, 1e-5}, {3, 1e-3, 200}}) {
        double upper = 0, lower = 0;
        VASK_GLOBAL::normalDistribution(c[0], c[1], c[2], upper, lower);
        for (const double z : {(upper - c[0]) / c[1], (lower - c[0]) / c[1]})
            EXPECT_NEAR(std::exp(-0.5 * z * z) / (c[1] * std::sqrt(2 * kPi)) / c[2], 1.0, 1e-9);
        EXPECT_GT(upper, c[0]);
        EXPECT_NEAR(upper - c[0], c[0] - lower, 1e-9 * (1 + std::fabs(c[0])));
    }
}

} // namespace
