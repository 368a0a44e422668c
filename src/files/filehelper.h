#ifndef VASKSUPPORT_FILES_FILEHELPER_H
#define VASKSUPPORT_FILES_FILEHELPER_H

#include <QJsonObject>
#include <QObject>
#include <QString>

#include "vasksupport_global.h"

// The host's folder layout under one base directory, and its configuration.
//
// Every service is a static function. The base directory is kept verbatim:
// paths are built by appending literals that start with "/" and nothing is
// cleaned, made absolute or converted to native separators. Nothing is
// cached; each accessor tests the disk again and creates what is missing,
// one level at a time.
//
// No lock guards the base directory or gJsonConfig: a host that calls in from
// several threads keeps setBaseDirPath and the configuration readers apart
// from everything that reads them.
class VASKSUPPORT_EXPORT FileHelper : public QObject
{
    Q_OBJECT

public:
    // The parent has no default, as hosts construct it; not explicit either.
    FileHelper(QObject *parent); // NOLINT(google-explicit-constructor)
    ~FileHelper() override;

    // Stores the base directory as given; an empty string unsets it.
    static void setBaseDirPath(QString path);

    // The base directory when set, else the folder of the host's executable
    // (QCoreApplication must exist for that). Creates nothing, logs nothing.
    static QString appDir();

    // Standard folders: base directory + "/Data", "/Log", ... Without a base
    // directory each logs "<name>(): AppDirPath cannot be empty" at info
    // level and returns an empty (not null) string. A missing folder is
    // created with a single-level mkdir whose outcome is not examined, so
    // the path is returned even when creation failed. New folders keep the
    // platform's default permissions.
    static QString dataDir();
    // The log root, or the folder named subDirName inside it.
    static QString logDir(QString subDirName = QString());
    static QString backupDir();
    static QString tempDir();
    static QString docDir();
    static QString chartDir();
    static QString models3dDir();
    static QString snapshotDir();

    // Nested output folders: root + "/RoadStructure" | "/SimuResult" |
    // "/Snapshot", then "/" groupName, then "/" leafName; each level is tested
    // and created on its own. rootDir, when not empty, replaces the base
    // directory for this call only.
    static QString roadStructureDir(QString leafName, QString groupName);
    static QString simuReusltDir(QString leafName, QString groupName, QString rootDir = QString());
    static QString snapshotDir(QString leafName, QString groupName, QString rootDir = QString());

    // "config.json" completed by the top-level keys of "user.json" that it
    // lacks; replaces gJsonConfig and returns a copy. Prints its progress
    // with printf to standard output, without line ends.
    static QJsonObject readConfigFile();
    // "distributed_config.json" alone; on any failure returns an empty
    // object, prints nothing and leaves gJsonConfig as it was.
    static QJsonObject readDistributedConfigFile();

private:
    static QString appDirPath;
};

// The process-wide configuration, written only by the two readers above.
extern VASKSUPPORT_EXPORT QJsonObject gJsonConfig;

#endif // VASKSUPPORT_FILES_FILEHELPER_H
