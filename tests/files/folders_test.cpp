// The standard and nested folders on a real temp folder: each case sets a
// base, lays out entries, calls an accessor twice and compares the result,
// the log and the whole tree under the temp folder afterwards. In paths "%"
// is the temp folder and "@" the executable's; a tree lists every entry,
// sorted, folders with a trailing "/".
#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "filehelper.h"
#include "testsupport.h"

namespace {

struct Case {
    QString base;   // "" leaves the base directory unset
    QString before; // the tree to lay out first
    QString call;   // accessor and arguments, "-" for an empty one
    QString result;
    QString after;
    QString log = {}; // once per call
};

// Each accessor refuses while the base is unset, and creates its levels.
const struct {
    const char *call, *made, *refusal;
} kAccessors[] = {
    {"dataDir", "Data", "dataDir()"},
    {"logDir -", "Log", "logDir()"},
    {"logDir n", "Log/n", "logDir()"},
    {"backupDir", "Backup", "backupDir()"},
    {"tempDir", "Temp", "tempDir()"},
    {"docDir", "Doc", "docDir()"},
    {"chartDir", "Chart", "chartDir()"},
    {"models3dDir", "Models3d", "models3dDir()"},
    {"snapshotDir", "Snapshot", "snapshotDir()"},
    {"roadStructureDir L G", "RoadStructure/G/L", "roadStructureDir(...)"},
    {"simuReusltDir L G -", "SimuResult/G/L", "simuReusltDir(...)"},
    {"snapshotDir L G -", "Snapshot/G/L", "snapshotDir(...)"},
};

const Case kCases[] = {
    // The base is used verbatim: separators double, nothing is cleaned.
    {"%/", "", "chartDir", "%//Chart", "Chart/"},
    {"", "", "appDir", "@", ""},
    // A missing base or root is never created, nor anything below it.
    {"%/absent", "", "appDir", "%/absent", ""},
    {"%/absent", "", "tempDir", "%/absent/Temp", ""},
    {"%/absent", "", "logDir n", "%/absent/Log/n", ""},
    {"%", "", "simuReusltDir L G %/absent", "%/absent/SimuResult/G/L", ""},
    // A regular file counts as present but for the folders tested as such.
    {"%", "Doc", "docDir", "%/Doc", "Doc"},
    {"%", "Snapshot", "snapshotDir", "%/Snapshot", "Snapshot"},
    {"%", "Log/ Log/f", "logDir f", "%/Log/f", "Log/ Log/f"},
    {"%", "SimuResult", "simuReusltDir L G -", "%/SimuResult/G/L", "SimuResult"},
    // One level at a time: a name of two levels needs its first one.
    {"%", "Log/", "logDir n", "%/Log/n", "Log/ Log/n/"},
    {"%", "", "logDir a/b", "%/Log/a/b", "Log/"},
    {"%", "Log/ Log/a/", "logDir a/b", "%/Log/a/b", "Log/ Log/a/ Log/a/b/"},
    {"%", "", "roadStructureDir x/y G", "%/RoadStructure/G/x/y", "RoadStructure/ RoadStructure/G/"},
    {"%", "RoadStructure/ RoadStructure/G/ RoadStructure/G/x/", "roadStructureDir x/y G", "%/RoadStructure/G/x/y",
     "RoadStructure/ RoadStructure/G/ RoadStructure/G/x/ RoadStructure/G/x/y/"},
    // Empty names collapse a level.
    {"%", "", "snapshotDir L - -", "%/Snapshot//L", "Snapshot/ Snapshot/L/"},
    {"%", "", "simuReusltDir - G -", "%/SimuResult/G/", "SimuResult/ SimuResult/G/"},
    // A root given to the call replaces the base, set or not, for that call.
    {"", "", "snapshotDir L G %", "%/Snapshot/G/L", "Snapshot/ Snapshot/G/ Snapshot/G/L/"},
    {"%/o", "o/", "simuReusltDir L G %", "%/SimuResult/G/L", "SimuResult/ SimuResult/G/ SimuResult/G/L/ o/"},
};

class Folders : public ::testing::Test
{
protected:
    QString path(const QString &text) const
    {
        return QString(text).replace('%', mTemp.path()).replace('@', QCoreApplication::applicationDirPath());
    }
    QString call(const QString &line) const
    {
        QStringList a = path(line).split(' ');
        for (QString &arg : a)
            arg = arg == "-" ? "" : arg;
        const QString name = a.value(0), x = a.value(1), y = a.value(2), z = a.value(3);
        return name == "appDir" ? FileHelper::appDir() : name == "dataDir" ? FileHelper::dataDir()
             : name == "backupDir" ? FileHelper::backupDir() : name == "tempDir" ? FileHelper::tempDir()
             : name == "docDir" ? FileHelper::docDir() : name == "chartDir" ? FileHelper::chartDir()
             : name == "models3dDir" ? FileHelper::models3dDir() : name == "logDir" ? FileHelper::logDir(x)
             : name == "roadStructureDir" ? FileHelper::roadStructureDir(x, y)
             : name == "simuReusltDir" ? FileHelper::simuReusltDir(x, y, z)
             : a.size() > 1 ? FileHelper::snapshotDir(x, y, z) : FileHelper::snapshotDir();
    }
    QString tree() const
    {
        QStringList entries;
        for (QDirIterator it(mTemp.path(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QFileInfo info(it.next());
            entries << info.filePath().mid(mTemp.path().size() + 1) + (info.isDir() ? "/" : "");
        }
        entries.sort();
        return entries.join(' ');
    }
    void check(const Case &c)
    {
        SCOPED_TRACE(("base \"" + c.base + "\", before \"" + c.before + "\", " + c.call).toStdString());
        ASSERT_TRUE(QDir(mTemp.path()).removeRecursively() && QDir().mkdir(mTemp.path()));
        for (const QString &entry : c.before.split(' ')) {
            ASSERT_TRUE(entry.isEmpty() || (entry.endsWith('/') ? QDir(mTemp.path()).mkdir(entry)
                                                                : vasktest::writeFile(path("%/" + entry), "x")));
        }
        FileHelper::setBaseDirPath(mTemp.path()); // so that "" must unset it
        FileHelper::setBaseDirPath(path(c.base));
        for (int i = 0; i < 2; ++i) {
            QString got;
            const vasktest::Output output = vasktest::capture([&] { got = call(c.call); });
            EXPECT_EQ(got, path(c.result));
            EXPECT_FALSE(got.isNull());
            EXPECT_EQ(tree(), c.after);
            EXPECT_EQ(output.log, c.log.isEmpty() ? QStringList() : QStringList{c.log});
        }
    }
    QTemporaryDir mTemp;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Folders, Accessors)
{
    for (const auto &a : kAccessors) {
        QStringList levels;
        for (const QString &level : QString(a.made).split('/'))
            levels << levels.value(levels.size() - 1) + level + '/';
        check({"%", "", a.call, "%/" + QString(a.made), levels.join(' ')});
        check({"", "", a.call, "", "", a.refusal + QString(": AppDirPath cannot be empty")});
    }
}

TEST_F(Folders, Cases)
{
    for (const Case &c : kCases)
        check(c);
}

} // namespace
