// Qt5Rand against Qt's own qsrand()/qrand() on this platform: the same values
// for every seed, including the seeds at the edges of the 32-bit range.
#include "qt5rand_p.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<long> drawn(unsigned int seed, int n)
{
    vask::random::Qt5Rand generator(seed);
    std::vector<long> values;
    values.reserve(n);
    for (int i = 0; i < n; ++i)
        values.push_back(generator.next());
    return values;
}

TEST(Qt5Rand, DrawsWhatQrandDrawsAfterQsrand)
{
    const unsigned int seeds[] = {0u,          1u,          2u,          48271u,     2147483646u, 2147483647u,
                                  2147483648u, 4294967295u, 0xdeadbeefu, 902841573u, 3141592653u};
    const int sizes[] = {1, 2, 100000};
    for (unsigned int seed : seeds) {
        for (int size : sizes)
            EXPECT_EQ(drawn(seed, size), vasktest::qrandSequence(seed, size)) << "seed " << seed << ", size " << size;
    }
}

} // namespace
