// Several threads on one table. Each pass of a shared cursor, the table's own
// or one the threads share, hands out every value exactly once, also while
// another thread refills the table. The ThreadSanitizer check runs this to
// catch state touched without the lock.
#include "randomnumber.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4, kSize = 4000, kPasses = 3;
constexpr int kDraws = kSize * kPasses / kThreads; // per thread
static_assert(kSize * kPasses % kThreads == 0, "whole passes");

// Runs draw() kDraws times on each of kThreads threads at once; all the
// values drawn, sorted.
std::vector<long> drawOnThreads(const std::function<long()> &draw)
{
    std::vector<long> all;
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<long> mine(kDraws);
            std::generate(mine.begin(), mine.end(), draw);
            const std::lock_guard<std::mutex> lock(mutex);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::sort(all.begin(), all.end());
    return all;
}

TEST(RandomNumberThreads, EachPassHandsOutEveryValueOnce)
{
    const std::vector<long> one = vasktest::qrandSequence(31, kSize);
    std::vector<long> passes;
    for (int p = 0; p < kPasses; ++p)
        passes.insert(passes.end(), one.begin(), one.end());
    std::sort(passes.begin(), passes.end());
    RandomNumber table(31, kSize);
    long cursor = 0;
    EXPECT_EQ(drawOnThreads([&] { return table.rand(cursor); }), passes);
    EXPECT_EQ(cursor, kSize);
    EXPECT_EQ(drawOnThreads([&] { return table.rand(); }), passes);
    EXPECT_EQ(table.rand(), one[0]); // whole passes: the first value again
    // Refills from the same seed meanwhile: a draw never sees a table half
    // built, and callers' cursors are theirs.
    std::thread refiller([&] {
        for (int i = 0; i < 100; ++i)
            table.init();
    });
    EXPECT_EQ(drawOnThreads([&] { return table.rand(cursor); }), passes);
    refiller.join();
}

} // namespace
