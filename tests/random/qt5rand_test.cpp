// The Qt-free copy of Qt 5's qsrand/qrand against the real pair. Built against
// Qt 5 in every build, the Qt 6 one included, whose tables come from the copy.
#include "qt5rand_p.h"

#include <QtGlobal>

#include <gtest/gtest.h>

QT_WARNING_DISABLE_DEPRECATED

TEST(Qt5Rand, DrawsWhatQrandDraws)
{
    // 0, 2^31 - 1, 2^31 and 2^32 - 1 fold onto the sequence of seed 1.
    for (unsigned int seed : {0u, 1u, 2u, 48271u, 2147483646u, 2147483647u, 2147483648u, 4294967295u, 0xdeadbeefu}) {
        vask::random::Qt5Rand generator(seed);
        qsrand(seed);
        for (int i = 0; i < 100000; ++i)
            ASSERT_EQ(generator.next(), qrand()) << "seed " << seed << ", value " << i;
    }
}
