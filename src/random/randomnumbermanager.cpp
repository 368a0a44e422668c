#include "randomnumbermanager.h"

#include <memory>

namespace {
constexpr long kStreamSize = 100000;
}

RandomNumberManager::RandomNumberManager()
    : mRandomVehiBaseInfo(nullptr), mRandomVehiDriving(nullptr), mSeedVehiBaseInfo(0), mSeedVehiDriving(0)
{
    // Held by unique_ptr until both exist, so a failure to create the second
    // stream releases the first on its way to the host.
    std::unique_ptr<RandomNumber> baseInfo(new RandomNumber(mSeedVehiBaseInfo, kStreamSize));
    std::unique_ptr<RandomNumber> driving(new RandomNumber(mSeedVehiDriving, kStreamSize));
    mRandomVehiBaseInfo = baseInfo.release();
    mRandomVehiDriving = driving.release();
}

RandomNumberManager::~RandomNumberManager()
{
    delete mRandomVehiBaseInfo;
    delete mRandomVehiDriving;
}

RandomNumberManager &RandomNumberManager::operator=(const RandomNumberManager &other)
{
    mSeedVehiBaseInfo = other.mSeedVehiBaseInfo;
    mSeedVehiDriving = other.mSeedVehiDriving;
    return *this;
}

void RandomNumberManager::init()
{
    // Both streams get their seeds before either table is refilled.
    mRandomVehiBaseInfo->setSeed(mSeedVehiBaseInfo);
    mRandomVehiDriving->setSeed(mSeedVehiDriving);
    mRandomVehiBaseInfo->init();
    mRandomVehiDriving->init();
}

void RandomNumberManager::setSeed(unsigned int seed)
{
    mSeedVehiBaseInfo = seed;
    mSeedVehiDriving = seed;
}

unsigned int RandomNumberManager::seedVehiBaseInfo()
{
    return mSeedVehiBaseInfo;
}

unsigned int RandomNumberManager::seedVehiDriving()
{
    return mSeedVehiDriving;
}

void RandomNumberManager::setSeedVehiBaseInfo(unsigned int seed)
{
    mSeedVehiBaseInfo = seed;
}

void RandomNumberManager::setSeedVehiDriving(unsigned int seed)
{
    mSeedVehiDriving = seed;
}
