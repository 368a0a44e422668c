// RandomNumber's two kinds of cursor, its sizes and 32-bit edges, and
// RandomNumberManager's seeds and rebuilds, against the qrand() sequence;
// then several threads on one table.
#include "qt5rand_p.h"
#include "randomnumbermanager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <new>
#include <thread>
#include <vector>

// A count above 32 bits asks for an impossible allocation on purpose; under
// the sanitizers that must come back as a failed allocation (and so as
// std::bad_alloc from Qt) rather than end the process.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

QT_WARNING_DISABLE_DEPRECATED // qrand(), called directly in the Qt 5 build

namespace {

// The n values of seed's table, then the first again (the wrap): Qt 5's
// qrand() sequence, drawn by its Qt-free copy. The Qt 5 build fills its
// tables with qrand() itself, so there these tests check the copy, seeds
// that fold onto others included; the Qt 6 build fills them with the copy.
std::vector<long> wrapped(unsigned int seed, long n)
{
    vask::random::Qt5Rand generator(seed);
    std::vector<long> values(n);
    std::generate(values.begin(), values.end(), [&] { return generator.next(); });
    values.push_back(values.front());
    return values;
}

// n values of a table by a cursor of our own, from the start.
std::vector<long> read(RandomNumber &table, long n)
{
    std::vector<long> values(n);
    long cursor = 0;
    std::generate(values.begin(), values.end(), [&] { return table.rand(cursor); });
    return values;
}

// A caller's cursor is brought into range with its full width, then advanced;
// the own cursor wraps at the start of the call that would read past the end.
// Neither kind moves the other.
TEST(RandomNumber, CursorsWrapAndStayApart)
{
    RandomNumber table(3, 3);
    const std::vector<long> v = wrapped(3, 3);
    const long cases[][3] = {// cursor before, index of the value, cursor after
                             {-5, 0, 1}, {0, 0, 1}, {2, 2, 3}, {3, 0, 1}, {7, 1, 2},
#if LONG_MAX > INT_MAX // not where long is 32 bits (Windows)
                             {(1L << 32) + 1, 2, 3},
#endif
                             {LONG_MAX, 1, 2}, {LONG_MIN, 0, 1}};
    for (const auto &c : cases) {
        long cursor = c[0];
        EXPECT_EQ(table.rand(cursor), v[c[1]]) << c[0];
        EXPECT_EQ(cursor, c[2]) << c[0];
    }
    long cursor = 1;
    for (int at : {0, 1, 2, 0, 1, 2, 0})
        EXPECT_EQ(table.rand(), v[at]);
    EXPECT_EQ(table.rand(cursor), v[1]);
}

// setSeed only stores; init refills from the stored seed and sends the own
// cursor, not the callers', back to the start.
TEST(RandomNumber, SeedTakesEffectAtInit)
{
    RandomNumber table(7, 4);
    const std::vector<long> seven = wrapped(7, 4), eight = wrapped(8, 4);
    long cursor = 1;
    table.setSeed(8);
    EXPECT_EQ(table.rand(), seven[0]);
    EXPECT_EQ(table.rand(cursor), seven[1]);
    table.init();
    EXPECT_EQ(table.rand(), eight[0]);
    EXPECT_EQ(table.rand(cursor), eight[2]);
    table.setSeed(7), table.init();
    EXPECT_EQ(read(table, 5), seven);
}

// Every size holds exactly its values; a size of 0 or below, down to below
// 32 bits, gives an empty table that answers 0 and leaves cursors alone.
TEST(RandomNumber, HoldsExactlyItsValues)
{
    for (long n = 1; n <= 17; ++n) {
        RandomNumber table(9, n);
        EXPECT_EQ(read(table, n + 1), wrapped(9, n)) << "size " << n;
    }
    for (long n : {0L, -1L, LONG_MIN}) {
        RandomNumber empty(5, n);
        long cursor = 4;
        EXPECT_EQ(empty.rand(cursor), 0) << n;
        EXPECT_EQ(cursor, 4) << n;
        empty.init();
        EXPECT_EQ(empty.rand(), 0) << n;
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The fill seeds the calling thread's qrand(), which goes on from there;
    // each thread has a generator of its own, which a fill elsewhere leaves alone.
    RandomNumber(4242, 1000);
    EXPECT_EQ(qrand(), wrapped(4242, 1001)[1000]);
    qsrand(5);
    std::thread([] { RandomNumber(4242, 10); }).join();
    EXPECT_EQ(qrand(), wrapped(5, 1)[0]);
#if LONG_MAX > INT_MAX
    // Saturated to 32 bits, not cut to 3: more than a Qt 5 table can hold.
    EXPECT_THROW(RandomNumber(1, (1L << 32) + 3), std::bad_alloc);
#endif
#endif
}

// Setters only store, each its own seed, and assignment copies the seeds
// only; init rebuilds both tables from them and sends their own cursors back
// to the start. Each manager keeps its own tables: under AddressSanitizer a
// shared or dangling one shows up as a double free or a use after free.
TEST(RandomNumberManager, SeedsTakeEffectAtInit)
{
    RandomNumberManager m, other;
    RandomNumber &base = *m.mRandomVehiBaseInfo, &driving = *m.mRandomVehiDriving;
    const std::pair<std::function<void()>, std::vector<unsigned int>> steps[] = {
        // then the stored seeds and the seeds the 100000-value tables were built from
        {[] {}, {0, 0, 0, 0}},
        {[&] { m.setSeed(4); }, {4, 4, 0, 0}},
        {[&] { m.setSeedVehiBaseInfo(2147483648u); }, {2147483648u, 4, 0, 0}},
        {[&] { m.setSeedVehiDriving(0xdeadbeefu); }, {2147483648u, 0xdeadbeefu, 0, 0}},
        {[&] { m.init(); }, {2147483648u, 0xdeadbeefu, 2147483648u, 0xdeadbeefu}},
        {[&] { m.setSeed(2147483647u), m.init(); }, {2147483647u, 2147483647u, 2147483647u, 2147483647u}},
        {[&] { other.setSeedVehiBaseInfo(2147483646u), other.setSeedVehiDriving(12);
             EXPECT_EQ(&(m = other), &m); }, {2147483646u, 12, 2147483647u, 2147483647u}},
        {[&] { base.rand(), driving.rand(), m.init(); }, {2147483646u, 12, 2147483646u, 12}},
    };
    for (const auto &[act, seeds] : steps) {
        act();
        EXPECT_EQ(std::make_pair(m.seedVehiBaseInfo(), m.seedVehiDriving()), std::make_pair(seeds[0], seeds[1]));
        EXPECT_TRUE(m.mRandomVehiBaseInfo == &base && m.mRandomVehiDriving == &driving);
        EXPECT_EQ(read(base, 100001), wrapped(seeds[2], 100000));
        EXPECT_EQ(read(driving, 100001), wrapped(seeds[3], 100000));
    }
    EXPECT_EQ(base.rand(), wrapped(2147483646u, 1)[0]);
    EXPECT_EQ(driving.rand(), wrapped(12, 1)[0]);
}

// Several threads on one table. Each pass of a shared cursor, the table's own
// or one the threads share, hands out every value exactly once, also while
// another thread refills the table. The ThreadSanitizer check runs this to
// catch state touched without the lock.
constexpr int kThreads = 4, kSize = 4000, kPasses = 3, kDraws = kSize * kPasses / kThreads;

// kPasses passes' worth of draw() on kThreads threads at once, each filling
// its own slice; all the values drawn, sorted.
std::vector<long> drawOnThreads(const std::function<long()> &draw)
{
    std::vector<long> all(kSize * kPasses);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { std::generate(all.begin() + t * kDraws, all.begin() + (t + 1) * kDraws, draw); });
    for (std::thread &thread : threads)
        thread.join();
    std::sort(all.begin(), all.end());
    return all;
}

TEST(RandomNumberThreads, EachPassHandsOutEveryValueOnce)
{
    RandomNumber table(31, kSize);
    long shared = 0, start = 0;
    std::vector<long> passes = read(table, kSize * kPasses);
    std::sort(passes.begin(), passes.end());
    EXPECT_EQ(drawOnThreads([&] { return table.rand(shared); }), passes);
    EXPECT_EQ(shared, kSize);
    EXPECT_EQ(drawOnThreads([&] { return table.rand(); }), passes);
    EXPECT_EQ(table.rand(), table.rand(start)); // whole passes: the first value again
    // Refills from the same seed meanwhile: a draw never sees a table half
    // built, and callers' cursors are theirs.
    std::thread refiller([&] { for (int i = 0; i < 100; ++i) table.init(); });
    EXPECT_EQ(drawOnThreads([&] { return table.rand(shared); }), passes);
    refiller.join();
}

} // namespace
