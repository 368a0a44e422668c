// The base directory and the eight standard folders.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLatin1String>

#include <cstddef>

#include "dump_basedir_p.h"
#include "filehelper.h"
#include "folderlevel_p.h"

namespace {

// One standard folder: refuse without a base directory, else append the
// literal, create the level when missing and return the path regardless.
QString standardFolder(const QString &base, const char *literal, vask::Presence test, const char *refusalMessage)
{
    if (base.isEmpty())
        return vask::refuse(refusalMessage);
    QString path = base + QLatin1String(literal);
    vask::ensureLevel(path, test);
    return path;
}

} // namespace

void FileHelper::setBaseDirPath(QString path)
{
    // The crash handler's copy first: a crash in between finds the old
    // directory in both. Encoded as the platform names files: Windows'
    // crash path turns UTF-8 back into the UTF-16 its calls take.
#if defined(_WIN32)
    const QByteArray encoded = path.toUtf8();
#else
    const QByteArray encoded = QFile::encodeName(path);
#endif
    vask::dump::rememberBaseDir(encoded.constData(), std::size_t(encoded.size()));
    appDirPath = path;
}

QString FileHelper::appDir()
{
    if (!appDirPath.isEmpty())
        return appDirPath;
    return QCoreApplication::applicationDirPath();
}

QString FileHelper::dataDir()
{
    return standardFolder(appDirPath, "/Data", vask::Presence::AnyEntry, "dataDir(): AppDirPath cannot be empty");
}

QString FileHelper::backupDir()
{
    return standardFolder(appDirPath, "/Backup", vask::Presence::AnyEntry, "backupDir(): AppDirPath cannot be empty");
}

QString FileHelper::tempDir()
{
    return standardFolder(appDirPath, "/Temp", vask::Presence::AnyEntry, "tempDir(): AppDirPath cannot be empty");
}

QString FileHelper::docDir()
{
    return standardFolder(appDirPath, "/Doc", vask::Presence::AnyEntry, "docDir(): AppDirPath cannot be empty");
}

QString FileHelper::chartDir()
{
    return standardFolder(appDirPath, "/Chart", vask::Presence::AnyEntry, "chartDir(): AppDirPath cannot be empty");
}

QString FileHelper::models3dDir()
{
    return standardFolder(appDirPath, "/Models3d", vask::Presence::AnyEntry,
                          "models3dDir(): AppDirPath cannot be empty");
}

QString FileHelper::snapshotDir()
{
    return standardFolder(appDirPath, "/Snapshot", vask::Presence::Folder, "snapshotDir(): AppDirPath cannot be empty");
}

QString FileHelper::logDir(QString subDirName)
{
    const QString base = appDirPath;
    if (base.isEmpty())
        return vask::refuse("logDir(): AppDirPath cannot be empty");
    const QString root = base + QLatin1String("/Log");
    QString target = subDirName.isEmpty() ? root : root + QLatin1Char('/') + subDirName;
    // The named folder is attempted only when the log root is there or could
    // be made: with the base directory missing, nothing is created at all.
    if (QFile::exists(root) || QDir().mkdir(root))
        vask::ensureLevel(target, vask::Presence::AnyEntry);
    return target;
}
