// folders: every standard folder accessor and appDir, creating the folders.
#include "filehelper.h"
#include "probe.h"

namespace {

int printFolders()
{
    struct Row {
        const char *name;
        QString value;
    };
    // Each accessor is called once, in this order, so its refusal message
    // (when no base directory is set) shows up once as well.
    const Row rows[] = {
        {"appDir", FileHelper::appDir()},
        {"dataDir", FileHelper::dataDir()},
        {"logDir", FileHelper::logDir(QString())},
        {"logDir(run1)", FileHelper::logDir(QStringLiteral("run1"))},
        {"backupDir", FileHelper::backupDir()},
        {"tempDir", FileHelper::tempDir()},
        {"docDir", FileHelper::docDir()},
        {"chartDir", FileHelper::chartDir()},
        {"models3dDir", FileHelper::models3dDir()},
        {"snapshotDir", FileHelper::snapshotDir()},
    };
    for (const Row &r : rows)
        probe::out(QStringLiteral("%1 %2").arg(QString::fromUtf8(r.name), -14).arg(r.value));
    return 0;
}

int run(const QStringList &args)
{
    if (!args.isEmpty()) {
        probe::out(QStringLiteral("usage: vaskprobe [--base DIR] folders"));
        return 2;
    }
    return printFolders();
}

const bool registered = probe::registerCommand(
    {"folders", "folders                      print and create every standard folder", run, 10, printFolders});

} // namespace
