// Output folders two levels below a root: <root><top>/<group>/<leaf>.
#include <QLatin1String>

#include "filehelper.h"
#include "folderlevel_p.h"

namespace {

// Tests and creates the top, group and leaf levels one by one. A failed level
// does not stop the next ones; they simply fail too for want of a parent.
// The root itself is never created.
QString nestedFolder(const QString &root, const char *topLiteral, const char *refusalMessage, const QString &groupName,
                     const QString &leafName)
{
    if (root.isEmpty())
        return vask::refuse(refusalMessage);
    const QString top = root + QLatin1String(topLiteral);
    vask::ensureLevel(top, vask::Presence::Folder);
    const QString group = top + QLatin1Char('/') + groupName;
    vask::ensureLevel(group, vask::Presence::Folder);
    QString leaf = group + QLatin1Char('/') + leafName;
    vask::ensureLevel(leaf, vask::Presence::Folder);
    return leaf;
}

QString rootOrBase(const QString &rootDir, const QString &base)
{
    return rootDir.isEmpty() ? base : rootDir;
}

} // namespace

QString FileHelper::roadStructureDir(QString leafName, QString groupName)
{
    return nestedFolder(appDirPath, "/RoadStructure", "roadStructureDir(...): AppDirPath cannot be empty", groupName,
                        leafName);
}

QString FileHelper::simuReusltDir(QString leafName, QString groupName, QString rootDir)
{
    return nestedFolder(rootOrBase(rootDir, appDirPath), "/SimuResult",
                        "simuReusltDir(...): AppDirPath cannot be empty", groupName, leafName);
}

QString FileHelper::snapshotDir(QString leafName, QString groupName, QString rootDir)
{
    return nestedFolder(rootOrBase(rootDir, appDirPath), "/Snapshot", "snapshotDir(...): AppDirPath cannot be empty",
                        groupName, leafName);
}
