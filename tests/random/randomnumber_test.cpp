// RandomNumber: the table's contents, its two kinds of cursor, and what
// happens at the edges of the 32-bit interface.
#include "randomnumber.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <vector>

// CountAbove32BitsIsNotCutDown asks for an impossible allocation on purpose;
// under the sanitizers that must come back as a failed allocation (and so as
// std::bad_alloc from Qt) rather than end the process.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

std::vector<long> drawOwn(RandomNumber &table, int n)
{
    std::vector<long> values;
    for (int i = 0; i < n; ++i)
        values.push_back(table.rand());
    return values;
}

std::vector<long> drawWith(RandomNumber &table, long &cursor, int n)
{
    std::vector<long> values;
    for (int i = 0; i < n; ++i)
        values.push_back(table.rand(cursor));
    return values;
}

TEST(RandomNumberTable, HoldsTheQrandSequenceAndLeavesTheGeneratorPastIt)
{
    const std::vector<long> reference = vasktest::qrandSequence(4242, 1010);
    vasktest::qrandSequence(1, 5); // the fill must reseed, whatever came before
    RandomNumber table(4242, 1000);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The calling thread's generator continues where the fill stopped.
    EXPECT_EQ(vasktest::qrandContinue(10), std::vector<long>(reference.begin() + 1000, reference.end()));
#endif
    EXPECT_EQ(drawOwn(table, 1000), std::vector<long>(reference.begin(), reference.begin() + 1000));

    // Every small size holds exactly its values and then wraps.
    for (int n = 1; n <= 17; ++n) {
        std::vector<long> expected = vasktest::qrandSequence(9, n);
        expected.push_back(expected.front());
        RandomNumber small(9, n);
        EXPECT_EQ(drawOwn(small, n + 1), expected) << "size " << n;
    }
}

TEST(RandomNumberTable, SameSeedAndSizeGiveTheSameTableAndReinitReproducesIt)
{
    RandomNumber a(12345, 500);
    RandomNumber b(12345, 500);
    const std::vector<long> first = drawOwn(a, 500);
    EXPECT_EQ(drawOwn(b, 500), first);

    RandomNumber other(54321, 500);
    EXPECT_NE(drawOwn(other, 500), first);

    // Switch away and back: the old seed rebuilds the same table.
    a.setSeed(999);
    a.init();
    EXPECT_NE(drawOwn(a, 500), first);
    a.setSeed(12345);
    a.init();
    EXPECT_EQ(drawOwn(a, 500), first);
}

TEST(RandomNumberTable, SetSeedAloneChangesNothingUntilInit)
{
    const std::vector<long> seven = vasktest::qrandSequence(7, 4);
    RandomNumber table(7, 4);
    EXPECT_EQ(table.rand(), seven[0]);
    table.setSeed(8);
    long cursor = 1;
    EXPECT_EQ(table.rand(), seven[1]);
    EXPECT_EQ(table.rand(cursor), seven[1]);

    table.init();
    const std::vector<long> eight = vasktest::qrandSequence(8, 4);
    // The own cursor starts over; the caller's stays at 2.
    EXPECT_EQ(table.rand(), eight[0]);
    EXPECT_EQ(cursor, 2);
    EXPECT_EQ(table.rand(cursor), eight[2]);
}

// A table of three values A, B, C.
class ThreeValues : public ::testing::Test
{
protected:
    ThreeValues()
        : ref(vasktest::qrandSequence(3, 3))
        , table(3, 3)
    {
    }
    long A() const { return ref[0]; }
    long B() const { return ref[1]; }
    long C() const { return ref[2]; }

    std::vector<long> ref;
    RandomNumber table;
};

TEST_F(ThreeValues, OwnCursorWrapsAfterTheLastValue)
{
    EXPECT_EQ(drawOwn(table, 8), (std::vector<long>{A(), B(), C(), A(), B(), C(), A(), B()}));
}

TEST_F(ThreeValues, CallersCursorIsBroughtIntoRangeThenAdvanced)
{
    long cursor = -5;
    EXPECT_EQ(table.rand(cursor), A());
    EXPECT_EQ(cursor, 1);

    cursor = 2;
    EXPECT_EQ(table.rand(cursor), C());
    EXPECT_EQ(cursor, 3);
    EXPECT_EQ(table.rand(cursor), A());
    EXPECT_EQ(cursor, 1);

    cursor = 7;
    EXPECT_EQ(table.rand(cursor), B());
    EXPECT_EQ(cursor, 2);

    cursor = 0;
    EXPECT_EQ(drawWith(table, cursor, 7), (std::vector<long>{A(), B(), C(), A(), B(), C(), A()}));
}

TEST_F(ThreeValues, OwnAndCallersCursorsAreIndependent)
{
    long first = 0;
    long second = 2;
    EXPECT_EQ(table.rand(), A());
    EXPECT_EQ(table.rand(first), A());
    EXPECT_EQ(table.rand(first), B());
    EXPECT_EQ(table.rand(second), C());
    EXPECT_EQ(table.rand(), B());
    EXPECT_EQ(table.rand(), C());
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 3);
    EXPECT_EQ(table.rand(first), C());
    EXPECT_EQ(table.rand(), A());
}

TEST_F(ThreeValues, CursorsBeyond32BitsUseTheirFullWidth)
{
    if (sizeof(long) <= 4)
        GTEST_SKIP() << "long is 32-bit here";
    // Qt 6's list holds 2^31 - 1 values (8 GiB, which this machine may well
    // grant); Qt 5's gives up long before.
    if (QT_VERSION >= QT_VERSION_CHECK(6, 0, 0))
        GTEST_SKIP() << "a table this large fits in a Qt 6 list";
    // 2^32 + 1 = 2 (mod 3); cut to 32 bits it would be 1.
    long cursor = static_cast<long>((1LL << 32) + 1);
    EXPECT_EQ(table.rand(cursor), C());
    EXPECT_EQ(cursor, 3);

    cursor = LONG_MAX; // 2^63 - 1 = 1 (mod 3)
    EXPECT_EQ(table.rand(cursor), B());
    EXPECT_EQ(cursor, 2);

    cursor = LONG_MIN;
    EXPECT_EQ(table.rand(cursor), A());
    EXPECT_EQ(cursor, 1);
}

TEST(RandomNumberTable, EmptyTablesGiveZeroAndLeaveCursorsAlone)
{
    for (long count : {0L, -1L, LONG_MIN}) {
        SCOPED_TRACE(count);
        RandomNumber table(5, count);
        EXPECT_EQ(drawOwn(table, 3), (std::vector<long>{0, 0, 0}));
        for (long start : {0L, 4L, -9L, LONG_MAX}) {
            long cursor = start;
            EXPECT_EQ(table.rand(cursor), 0);
            EXPECT_EQ(cursor, start);
        }
        table.init();
        EXPECT_EQ(table.rand(), 0);
    }
}

TEST(RandomNumberTable, CountAbove32BitsIsNotCutDown)
{
    if (sizeof(long) <= 4)
        GTEST_SKIP() << "long is 32-bit here";
    // Qt 6's list holds 2^31 - 1 values (8 GiB, which this machine may well
    // grant); Qt 5's gives up long before.
    if (QT_VERSION >= QT_VERSION_CHECK(6, 0, 0))
        GTEST_SKIP() << "a table this large fits in a Qt 6 list";
    // Cut to 32 bits this count would be 3; saturated it asks for more values
    // than a table can hold, and the allocation failure reaches the caller.
    const long count = static_cast<long>((1LL << 32) + 3);
    bool threw = false;
    try {
        RandomNumber table(1, count);
    } catch (const std::bad_alloc &) {
        threw = true;
    }
    EXPECT_TRUE(threw);
}

} // namespace
