// RandomNumberManager: its stored seeds, the rebuilds init() makes from them,
// and assignment that never leaves two managers sharing a table.
#include "randomnumbermanager.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int kStreamSize = 100000;

// Every value of a stream, read with a cursor of our own so the stream's own
// cursor is not disturbed.
std::vector<long> wholeTable(RandomNumber *stream)
{
    std::vector<long> values;
    values.reserve(kStreamSize);
    long cursor = 0;
    for (int i = 0; i < kStreamSize; ++i)
        values.push_back(stream->rand(cursor));
    return values;
}

std::vector<long> drawOwn(RandomNumber *stream, int n)
{
    std::vector<long> values;
    for (int i = 0; i < n; ++i)
        values.push_back(stream->rand());
    return values;
}

TEST(RandomNumberManager, StartsWithSeedZeroAndTwoEqualStreams)
{
    RandomNumberManager manager;
    EXPECT_EQ(manager.seedVehiBaseInfo(), 0u);
    EXPECT_EQ(manager.seedVehiDriving(), 0u);
    ASSERT_NE(manager.mRandomVehiBaseInfo, nullptr);
    ASSERT_NE(manager.mRandomVehiDriving, nullptr);
    ASSERT_NE(manager.mRandomVehiBaseInfo, manager.mRandomVehiDriving);

    const std::vector<long> expected = vasktest::qrandSequence(0, kStreamSize);
    EXPECT_EQ(wholeTable(manager.mRandomVehiBaseInfo), expected);
    EXPECT_EQ(wholeTable(manager.mRandomVehiDriving), expected);
}

TEST(RandomNumberManager, SettersOnlyStoreAndEachTouchesItsOwnSeed)
{
    RandomNumberManager manager;
    manager.setSeed(4);
    EXPECT_EQ(manager.seedVehiBaseInfo(), 4u);
    EXPECT_EQ(manager.seedVehiDriving(), 4u);
    manager.setSeedVehiBaseInfo(6);
    EXPECT_EQ(manager.seedVehiBaseInfo(), 6u);
    EXPECT_EQ(manager.seedVehiDriving(), 4u);
    manager.setSeedVehiDriving(9);
    EXPECT_EQ(manager.seedVehiBaseInfo(), 6u);
    EXPECT_EQ(manager.seedVehiDriving(), 9u);

    // Nothing reached the tables: both still hold the seed-0 sequence, and
    // their own cursors were not moved.
    const std::vector<long> zero = vasktest::qrandSequence(0, kStreamSize);
    EXPECT_EQ(drawOwn(manager.mRandomVehiBaseInfo, 3), std::vector<long>(zero.begin(), zero.begin() + 3));
    EXPECT_EQ(wholeTable(manager.mRandomVehiDriving), zero);
}

TEST(RandomNumberManager, InitRebuildsBothStreamsFromTheStoredSeeds)
{
    RandomNumberManager manager;
    manager.setSeed(5);
    manager.init();
    RandomNumber five(5, kStreamSize);
    const std::vector<long> expected = wholeTable(&five);
    EXPECT_EQ(wholeTable(manager.mRandomVehiBaseInfo), expected);
    EXPECT_EQ(wholeTable(manager.mRandomVehiDriving), expected);

    manager.setSeedVehiBaseInfo(1);
    manager.setSeedVehiDriving(2);
    manager.init();
    const std::vector<long> baseInfo = wholeTable(manager.mRandomVehiBaseInfo);
    const std::vector<long> driving = wholeTable(manager.mRandomVehiDriving);
    EXPECT_NE(baseInfo, driving);
    EXPECT_EQ(baseInfo, vasktest::qrandSequence(1, kStreamSize));
    EXPECT_EQ(driving, vasktest::qrandSequence(2, kStreamSize));

    // Draws from one stream leave the other's sequence alone.
    drawOwn(manager.mRandomVehiBaseInfo, 10);
    EXPECT_EQ(drawOwn(manager.mRandomVehiDriving, 3), std::vector<long>(driving.begin(), driving.begin() + 3));

    // Another init with unchanged seeds: same tables, own cursors back at 0,
    // a caller's cursor untouched.
    long cursor = 17;
    manager.init();
    EXPECT_EQ(drawOwn(manager.mRandomVehiBaseInfo, 3), std::vector<long>(baseInfo.begin(), baseInfo.begin() + 3));
    EXPECT_EQ(drawOwn(manager.mRandomVehiDriving, 3), std::vector<long>(driving.begin(), driving.begin() + 3));
    EXPECT_EQ(manager.mRandomVehiDriving->rand(cursor), driving[17]);
    EXPECT_EQ(wholeTable(manager.mRandomVehiBaseInfo), baseInfo);
}

// Assignment copies the seeds only; each manager keeps and later frees its own
// tables. Run under AddressSanitizer, any shared or dangling table shows up
// as a double free or a use after free.
TEST(RandomNumberManager, AssignmentCopiesSeedsAndKeepsTablesApart)
{
    RandomNumberManager target;
    RandomNumber *const baseInfo = target.mRandomVehiBaseInfo;
    RandomNumber *const driving = target.mRandomVehiDriving;
    const std::vector<long> zero = vasktest::qrandSequence(0, 4);
    EXPECT_EQ(target.mRandomVehiBaseInfo->rand(), zero[0]);
    {
        auto source = std::make_unique<RandomNumberManager>();
        source->setSeedVehiBaseInfo(11);
        source->setSeedVehiDriving(12);
        source->init();
        target = *source;
        EXPECT_EQ(target.seedVehiBaseInfo(), 11u);
        EXPECT_EQ(target.seedVehiDriving(), 12u);
        EXPECT_NE(target.mRandomVehiBaseInfo, source->mRandomVehiBaseInfo);
        EXPECT_NE(target.mRandomVehiDriving, source->mRandomVehiDriving);
        // The source goes away here.
    }
    // The target still owns the same tables, unchanged, own cursor included.
    EXPECT_EQ(target.mRandomVehiBaseInfo, baseInfo);
    EXPECT_EQ(target.mRandomVehiDriving, driving);
    EXPECT_EQ(target.mRandomVehiBaseInfo->rand(), zero[1]);
    EXPECT_EQ(target.mRandomVehiDriving->rand(), zero[0]);

    target.init();
    EXPECT_EQ(wholeTable(target.mRandomVehiBaseInfo), vasktest::qrandSequence(11, kStreamSize));
    EXPECT_EQ(wholeTable(target.mRandomVehiDriving), vasktest::qrandSequence(12, kStreamSize));

    RandomNumberManager &self = target;
    target = self;
    EXPECT_EQ(target.seedVehiBaseInfo(), 11u);
    EXPECT_EQ(target.mRandomVehiBaseInfo, baseInfo);
}

} // namespace
