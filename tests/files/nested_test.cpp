// The nested output folders, level by level, on real temp folders.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "filehelper.h"
#include "testsupport.h"

namespace {

using vasktest::LogCapture;

class Nested : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mTemp.isValid());
        mBase = mTemp.path();
    }
    bool isDir(const QString &relative) const { return QFileInfo(mBase + relative).isDir(); }
    QTemporaryDir mTemp;
    QString mBase;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Nested, CreatesTopGroupAndLeafUnderTheBase)
{
    FileHelper::setBaseDirPath(mBase);
    LogCapture log;
    EXPECT_EQ(FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), QString()),
              mBase + QStringLiteral("/SimuResult/G/L"));
    EXPECT_TRUE(isDir(QStringLiteral("/SimuResult/G/L")));
    EXPECT_EQ(FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), QString()),
              mBase + QStringLiteral("/SimuResult/G/L"));
    EXPECT_EQ(FileHelper::roadStructureDir(QStringLiteral("L"), QStringLiteral("G")),
              mBase + QStringLiteral("/RoadStructure/G/L"));
    EXPECT_TRUE(isDir(QStringLiteral("/RoadStructure/G/L")));
    // The snapshot top folder is the standard one.
    EXPECT_EQ(FileHelper::snapshotDir(QStringLiteral("L"), QStringLiteral("G"), QString()),
              FileHelper::snapshotDir() + QStringLiteral("/G/L"));
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST_F(Nested, RootDirReplacesTheBaseForOneCall)
{
    LogCapture log;
    EXPECT_EQ(FileHelper::snapshotDir(QStringLiteral("L"), QStringLiteral("G"), mBase),
              mBase + QStringLiteral("/Snapshot/G/L"));
    EXPECT_TRUE(isDir(QStringLiteral("/Snapshot/G/L")));
    EXPECT_TRUE(log.entries().isEmpty());
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath()) << "the base stays unset";

    QTemporaryDir other;
    FileHelper::setBaseDirPath(other.path());
    EXPECT_EQ(FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), mBase),
              mBase + QStringLiteral("/SimuResult/G/L"));
    EXPECT_FALSE(QFileInfo::exists(other.path() + QStringLiteral("/SimuResult")));
}

TEST_F(Nested, NoRootRefusesWithTheAccessorsMessage)
{
    LogCapture log;
    const QString road = FileHelper::roadStructureDir(QStringLiteral("L"), QStringLiteral("G"));
    const QString simu = FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), QString());
    const QString snap = FileHelper::snapshotDir(QStringLiteral("L"), QStringLiteral("G"), QString());
    for (const QString &r : {road, simu, snap}) {
        EXPECT_TRUE(r.isEmpty());
        EXPECT_FALSE(r.isNull());
    }
    EXPECT_EQ(log.texts(), (QStringList{QStringLiteral("roadStructureDir(...): AppDirPath cannot be empty"),
                                        QStringLiteral("simuReusltDir(...): AppDirPath cannot be empty"),
                                        QStringLiteral("snapshotDir(...): AppDirPath cannot be empty")}));
    for (const vasktest::LogEntry &e : log.entries()) {
        EXPECT_EQ(e.type, QtInfoMsg);
        EXPECT_FALSE(e.hasContext);
    }
}

TEST_F(Nested, MissingRootCreatesNothing)
{
    const QString root = mBase + QStringLiteral("/absent");
    LogCapture log;
    EXPECT_EQ(FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), root),
              root + QStringLiteral("/SimuResult/G/L"));
    EXPECT_FALSE(QFileInfo::exists(root));
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST_F(Nested, EmptyNamesCollapseALevel)
{
    FileHelper::setBaseDirPath(mBase);
    EXPECT_EQ(FileHelper::snapshotDir(QStringLiteral("L"), QString(), QString()),
              mBase + QStringLiteral("/Snapshot//L"));
    EXPECT_TRUE(isDir(QStringLiteral("/Snapshot/L")));
    EXPECT_EQ(FileHelper::simuReusltDir(QString(), QStringLiteral("G"), QString()),
              mBase + QStringLiteral("/SimuResult/G/"));
    EXPECT_TRUE(isDir(QStringLiteral("/SimuResult/G")));
    EXPECT_EQ(QDir(mBase + QStringLiteral("/SimuResult/G")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 0);
}

TEST_F(Nested, DeeperNamesNeedTheirMiddleLevels)
{
    FileHelper::setBaseDirPath(mBase);
    FileHelper::roadStructureDir(QStringLiteral("x/y"), QStringLiteral("G"));
    EXPECT_TRUE(isDir(QStringLiteral("/RoadStructure/G")));
    EXPECT_FALSE(QFileInfo::exists(mBase + QStringLiteral("/RoadStructure/G/x")));
    FileHelper::roadStructureDir(QStringLiteral("x"), QStringLiteral("G"));
    FileHelper::roadStructureDir(QStringLiteral("x/y"), QStringLiteral("G"));
    EXPECT_TRUE(isDir(QStringLiteral("/RoadStructure/G/x/y")));
}

TEST_F(Nested, AFileInTheWayStopsTheLevelsBelowIt)
{
    FileHelper::setBaseDirPath(mBase);
    ASSERT_TRUE(vasktest::writeFile(mBase + QStringLiteral("/SimuResult"), "x"));
    EXPECT_EQ(FileHelper::simuReusltDir(QStringLiteral("L"), QStringLiteral("G"), QString()),
              mBase + QStringLiteral("/SimuResult/G/L"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/SimuResult")).isFile());
}

} // namespace
