// The base directory and the standard folders, on real temp folders.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "filehelper.h"
#include "testsupport.h"

namespace {

using vasktest::LogCapture;

struct Accessor {
    const char *name;
    QString (*call)();
    const char *literal;
};

QString logRoot() { return FileHelper::logDir(QString()); }

const Accessor kAccessors[] = {
    {"dataDir", FileHelper::dataDir, "/Data"},
    {"logDir", logRoot, "/Log"},
    {"backupDir", FileHelper::backupDir, "/Backup"},
    {"tempDir", FileHelper::tempDir, "/Temp"},
    {"docDir", FileHelper::docDir, "/Doc"},
    {"chartDir", FileHelper::chartDir, "/Chart"},
    {"models3dDir", FileHelper::models3dDir, "/Models3d"},
    {"snapshotDir", FileHelper::snapshotDir, "/Snapshot"},
};

class Folders : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mTemp.isValid());
        mBase = mTemp.path();
    }
    QTemporaryDir mTemp;
    QString mBase;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Folders, UnsetBaseRefusesWithOneInfoMessageAndCreatesNothing)
{
    for (const Accessor &a : kAccessors) {
        LogCapture log;
        const QString result = a.call();
        EXPECT_TRUE(result.isEmpty()) << a.name;
        EXPECT_FALSE(result.isNull()) << a.name;
        ASSERT_EQ(log.entries().size(), 1) << a.name;
        const vasktest::LogEntry &entry = log.entries().first();
        EXPECT_EQ(entry.type, QtInfoMsg) << a.name;
        EXPECT_FALSE(entry.hasContext) << a.name;
        EXPECT_EQ(entry.text, QString::fromLatin1(a.name) + QStringLiteral("(): AppDirPath cannot be empty"));
    }
    LogCapture log;
    EXPECT_TRUE(FileHelper::logDir(QStringLiteral("run")).isEmpty());
    EXPECT_EQ(log.texts(), QStringList{QStringLiteral("logDir(): AppDirPath cannot be empty")});
    // Refusing never falls back to the executable's folder.
    EXPECT_FALSE(QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/Data")));
}

TEST_F(Folders, EachAccessorCreatesItsFolderOnceAndLogsNothing)
{
    FileHelper::setBaseDirPath(mBase);
    LogCapture log;
    for (const Accessor &a : kAccessors) {
        const QString expected = mBase + QLatin1String(a.literal);
        EXPECT_EQ(a.call(), expected) << a.name;
        EXPECT_TRUE(QFileInfo(expected).isDir()) << a.name;
        EXPECT_EQ(a.call(), expected) << a.name;
    }
    EXPECT_TRUE(log.entries().isEmpty());
    EXPECT_EQ(QDir(mBase).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 8);
}

TEST_F(Folders, BaseIsUsedVerbatim)
{
    // A trailing separator doubles; backslashes and dots are kept as given.
    FileHelper::setBaseDirPath(mBase + QStringLiteral("/"));
    EXPECT_EQ(FileHelper::chartDir(), mBase + QStringLiteral("//Chart"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Chart")).isDir());
    FileHelper::setBaseDirPath(mBase + QStringLiteral("/./"));
    EXPECT_EQ(FileHelper::appDir(), mBase + QStringLiteral("/./"));
    EXPECT_EQ(FileHelper::docDir(), mBase + QStringLiteral("/.//Doc"));
}

TEST_F(Folders, MissingBaseIsNeverCreated)
{
    const QString base = mBase + QStringLiteral("/absent");
    FileHelper::setBaseDirPath(base);
    EXPECT_EQ(FileHelper::tempDir(), base + QStringLiteral("/Temp"));
    EXPECT_EQ(FileHelper::logDir(QStringLiteral("n")), base + QStringLiteral("/Log/n"));
    EXPECT_EQ(FileHelper::snapshotDir(), base + QStringLiteral("/Snapshot"));
    EXPECT_FALSE(QFileInfo::exists(base));
}

TEST_F(Folders, ARegularFileCountsAsPresentExceptForSnapshots)
{
    ASSERT_TRUE(vasktest::writeFile(mBase + QStringLiteral("/Doc"), "x"));
    ASSERT_TRUE(vasktest::writeFile(mBase + QStringLiteral("/Snapshot"), "x"));
    FileHelper::setBaseDirPath(mBase);
    LogCapture log;
    EXPECT_EQ(FileHelper::docDir(), mBase + QStringLiteral("/Doc"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Doc")).isFile());
    // snapshotDir tests for a folder, tries to create it and fails silently.
    EXPECT_EQ(FileHelper::snapshotDir(), mBase + QStringLiteral("/Snapshot"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Snapshot")).isFile());
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST_F(Folders, LogDirCreatesTheRootThenOneNamedLevel)
{
    FileHelper::setBaseDirPath(mBase);
    EXPECT_EQ(FileHelper::logDir(QStringLiteral("run1")), mBase + QStringLiteral("/Log/run1"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Log/run1")).isDir());

    // Two levels: only the last one is created, so the first must exist.
    EXPECT_EQ(FileHelper::logDir(QStringLiteral("a/b")), mBase + QStringLiteral("/Log/a/b"));
    EXPECT_FALSE(QFileInfo::exists(mBase + QStringLiteral("/Log/a")));
    EXPECT_EQ(FileHelper::logDir(QStringLiteral("run1/b")), mBase + QStringLiteral("/Log/run1/b"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Log/run1/b")).isDir());

    // A file in the way of the named folder counts as present.
    ASSERT_TRUE(vasktest::writeFile(mBase + QStringLiteral("/Log/f"), "x"));
    EXPECT_EQ(FileHelper::logDir(QStringLiteral("f")), mBase + QStringLiteral("/Log/f"));
    EXPECT_TRUE(QFileInfo(mBase + QStringLiteral("/Log/f")).isFile());
}

TEST_F(Folders, NothingIsCached)
{
    FileHelper::setBaseDirPath(mBase);
    const QString data = FileHelper::dataDir();
    ASSERT_TRUE(QDir(data).removeRecursively());
    EXPECT_EQ(FileHelper::dataDir(), data);
    EXPECT_TRUE(QFileInfo(data).isDir());

    QTemporaryDir other;
    FileHelper::setBaseDirPath(other.path());
    EXPECT_EQ(FileHelper::dataDir(), other.path() + QStringLiteral("/Data"));
    EXPECT_TRUE(QFileInfo(data).isDir()) << "folders of an earlier base stay";
}

TEST_F(Folders, EmptyBaseReturnsToTheUnsetState)
{
    FileHelper::setBaseDirPath(mBase);
    EXPECT_EQ(FileHelper::appDir(), mBase);
    FileHelper::setBaseDirPath(QStringLiteral(""));
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath());
    LogCapture log;
    EXPECT_TRUE(FileHelper::backupDir().isEmpty());
    EXPECT_EQ(log.entries().size(), 1);
}

TEST_F(Folders, AppDirNeitherCreatesNorLogs)
{
    const QString base = mBase + QStringLiteral("/not-yet");
    FileHelper::setBaseDirPath(base);
    LogCapture log;
    EXPECT_EQ(FileHelper::appDir(), base);
    EXPECT_FALSE(QFileInfo::exists(base));
    FileHelper::setBaseDirPath(QString());
    EXPECT_EQ(FileHelper::appDir(), QCoreApplication::applicationDirPath());
    EXPECT_TRUE(log.entries().isEmpty());
}

} // namespace
