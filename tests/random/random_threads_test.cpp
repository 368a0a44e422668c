// Several threads on one table. Each pass of a shared cursor must hand out
// every value exactly once; refills must never be seen half done. The
// ThreadSanitizer check runs these to catch unguarded state.
#include "randomnumber.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kSize = 4000;
constexpr int kPasses = 3;

// Runs fn(threadIndex) on kThreads threads at once and collects what each
// returned, all together and sorted.
std::vector<long> drawOnThreads(const std::function<std::vector<long>(int)> &fn)
{
    std::vector<std::vector<long>> perThread(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { perThread[t] = fn(t); });
    for (std::thread &th : threads)
        th.join();
    std::vector<long> all;
    for (const auto &v : perThread)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    return all;
}

// The table's values, each repeated `passes` times, sorted.
std::vector<long> expectedPasses(unsigned int seed, int passes)
{
    const std::vector<long> one = vasktest::qrandSequence(seed, kSize);
    std::vector<long> all;
    for (int p = 0; p < passes; ++p)
        all.insert(all.end(), one.begin(), one.end());
    std::sort(all.begin(), all.end());
    return all;
}

static_assert(kSize * kPasses % kThreads == 0, "every thread draws the same number of values");
constexpr int kDrawsPerThread = kSize * kPasses / kThreads;

TEST(RandomNumberThreads, SharedCursorsHandOutEachValueOncePerPass)
{
    RandomNumber byCaller(31, kSize);
    long cursor = 0;
    EXPECT_EQ(drawOnThreads([&](int) {
                  std::vector<long> values;
                  for (int i = 0; i < kDrawsPerThread; ++i)
                      values.push_back(byCaller.rand(cursor));
                  return values;
              }),
              expectedPasses(31, kPasses));
    EXPECT_EQ(cursor, kSize);

    RandomNumber byOwn(32, kSize);
    EXPECT_EQ(drawOnThreads([&](int) {
                  std::vector<long> values;
                  for (int i = 0; i < kDrawsPerThread; ++i)
                      values.push_back(byOwn.rand());
                  return values;
              }),
              expectedPasses(32, kPasses));
    // Exactly whole passes were drawn, so the next value is the first one.
    EXPECT_EQ(byOwn.rand(), vasktest::qrandSequence(32, 1)[0]);
}

TEST(RandomNumberThreads, DrawsDuringRefillsAlwaysSeeAWholeTable)
{
    const std::vector<long> reference = vasktest::qrandSequence(33, kSize);
    RandomNumber table(33, kSize);
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads - 1; ++t) {
        readers.emplace_back([&, t] {
            long cursor = t * 97;
            for (int i = 0; i < kDrawsPerThread; ++i) {
                const long index = cursor % kSize;
                if (table.rand(cursor) != reference[index])
                    ++mismatches;
            }
        });
    }
    // Same seed every time, so a whole table always holds the reference.
    std::thread refiller([&] {
        do
            table.init();
        while (!done);
    });
    for (std::thread &th : readers)
        th.join();
    done = true;
    refiller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
