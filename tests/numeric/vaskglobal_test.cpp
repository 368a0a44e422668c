// The three numeric helpers at the values where their exact order of
// evaluation shows, and at the edges where IEEE arithmetic decides.
#include "vaskglobal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;

// The normal density, written the textbook way, independently of the helper.
double density(double x, double mu, double sigma)
{
    const double z = (x - mu) / sigma;
    return std::exp(-0.5 * z * z) / (sigma * std::sqrt(2.0 * kPi));
}

TEST(Formula1, IsTheRatioCappedAtTheSecondOperand)
{
    EXPECT_EQ(VASK_GLOBAL::formula1(2, 10, 4), 5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(8, 10, 4), 10.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(5, 10, 5), 10.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(-2, 10, 4), -5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(2, -10, 4), -10.0); // min(-5, -10)
}

TEST(Formula1, NonPositiveOrNaNDivisorReturnsTheCapUntouched)
{
    EXPECT_EQ(VASK_GLOBAL::formula1(3, 5, 0), 5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(3, 5, -1), 5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(3, 5, -0.0), 5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(3, 5, kNaN), 5.0);
    EXPECT_EQ(VASK_GLOBAL::formula1(kNaN, 5, 0), 5.0);
    EXPECT_TRUE(std::isnan(VASK_GLOBAL::formula1(3, kNaN, -1)));
}

TEST(Formula1, FollowsTheExpressionNotMinWhenMagnitudesDiffer)
{
    // t = 1e20 swallows b = 1 in both t + b and t - b: (1e20 - 1e20) * 0.5.
    const double r = VASK_GLOBAL::formula1(1e20, 1, 1);
    EXPECT_EQ(r, 0.0);
    EXPECT_FALSE(std::signbit(r));
    // The other way round the cap is tiny next to the ratio's sum.
    EXPECT_EQ(VASK_GLOBAL::formula1(1, 1e-20, 1e-40), 0.0);
    EXPECT_TRUE(std::isnan(VASK_GLOBAL::formula1(kNaN, 1, 1)));
    EXPECT_TRUE(std::isnan(VASK_GLOBAL::formula1(kInf, 1, 1))); // inf - inf
}

TEST(IsEqual, UsesAStrictAbsoluteTolerance)
{
    EXPECT_TRUE(VASK_GLOBAL::isEqual(1.0, 1.0000001));
    EXPECT_TRUE(VASK_GLOBAL::isEqual(-3.5, -3.5));
    EXPECT_TRUE(VASK_GLOBAL::isEqual(0.0, -0.0));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(0.0, 1e-6)); // exactly the tolerance
    EXPECT_TRUE(VASK_GLOBAL::isEqual(0.0, std::nextafter(1e-6, 0.0)));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(1e-6, 0.0));
    // Absolute, not relative: large neighbours are unequal.
    EXPECT_FALSE(VASK_GLOBAL::isEqual(1e12, 1e12 + 1));
}

TEST(IsEqual, NaNAndInfinitiesAreNeverEqual)
{
    EXPECT_FALSE(VASK_GLOBAL::isEqual(kNaN, kNaN));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(kNaN, 1.0));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(1.0, kNaN));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(kInf, kInf));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(-kInf, -kInf));
    EXPECT_FALSE(VASK_GLOBAL::isEqual(kInf, -kInf));
}

TEST(NormalDistribution, FindsThePointsWhereTheDensityTakesTheValue)
{
    double upper = 0;
    double lower = 0;
    VASK_GLOBAL::normalDistribution(10, 2, 0.1, upper, lower);
    EXPECT_NEAR(upper, 12.35031807078, 1e-10);
    EXPECT_NEAR(lower, 7.64968192922, 1e-10);
    EXPECT_NEAR(density(upper, 10, 2), 0.1, 1e-14);
    EXPECT_NEAR(density(lower, 10, 2), 0.1, 1e-14);

    struct Case {
        double mu, sigma, p;
    };
    for (const Case &c : {Case{0, 1, 0.3}, Case{-4, 0.5, 0.01}, Case{100, 15, 1e-5}, Case{3, 1e-3, 200}}) {
        SCOPED_TRACE(testing::Message() << c.mu << ' ' << c.sigma << ' ' << c.p);
        VASK_GLOBAL::normalDistribution(c.mu, c.sigma, c.p, upper, lower);
        EXPECT_GT(upper, c.mu);
        EXPECT_LT(lower, c.mu);
        EXPECT_NEAR(upper - c.mu, c.mu - lower, 1e-9 * (1 + std::fabs(c.mu)));
        EXPECT_NEAR(density(upper, c.mu, c.sigma) / c.p, 1.0, 1e-9);
        EXPECT_NEAR(density(lower, c.mu, c.sigma) / c.p, 1.0, 1e-9);
    }
}

TEST(NormalDistribution, AtThePeakBothPointsAreTheMean)
{
    for (double sigma : {1.0, 2.0}) {
        double upper = -1;
        double lower = -1;
        VASK_GLOBAL::normalDistribution(7, sigma, 1.0 / (std::sqrt(kPi * 2.0) * sigma), upper, lower);
        EXPECT_EQ(upper, 7.0);
        EXPECT_EQ(lower, 7.0);
    }
}

TEST(NormalDistribution, OutOfRangeInputsGiveIeeeResultsInBothOutputs)
{
    double upper = 1;
    double lower = 1;
    VASK_GLOBAL::normalDistribution(0, 1, 0.5, upper, lower); // above the peak 0.39894
    EXPECT_TRUE(std::isnan(upper));
    EXPECT_TRUE(std::isnan(lower));

    VASK_GLOBAL::normalDistribution(0, 1, 0, upper, lower);
    EXPECT_EQ(upper, kInf);
    EXPECT_EQ(lower, -kInf);
    VASK_GLOBAL::normalDistribution(5, -2, 0, upper, lower); // sigma != 0, either sign
    EXPECT_EQ(upper, kInf);
    EXPECT_EQ(lower, -kInf);

    const double sentinel = 42;
    struct Case {
        double sigma, p;
    };
    for (const Case &c : {Case{0, 0.1}, Case{0, 0}, Case{-1, 0.1}, Case{1, -0.1}, Case{1, kNaN}, Case{kNaN, 0.1}}) {
        SCOPED_TRACE(testing::Message() << c.sigma << ' ' << c.p);
        upper = sentinel;
        lower = sentinel;
        VASK_GLOBAL::normalDistribution(0, c.sigma, c.p, upper, lower);
        EXPECT_TRUE(std::isnan(upper));
        EXPECT_TRUE(std::isnan(lower));
    }
}

} // namespace
