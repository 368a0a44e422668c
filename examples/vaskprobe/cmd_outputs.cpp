// outputs LEAF GROUP [ROOT]: creates and prints the three nested output folders.
#include "filehelper.h"
#include "probe.h"

namespace {

int show(const QString &leaf, const QString &group, const QString &root)
{
    probe::out(QStringLiteral("roadStructureDir %1").arg(FileHelper::roadStructureDir(leaf, group)));
    probe::out(QStringLiteral("simuReusltDir    %1").arg(FileHelper::simuReusltDir(leaf, group, root)));
    probe::out(QStringLiteral("snapshotDir      %1").arg(FileHelper::snapshotDir(leaf, group, root)));
    return 0;
}

int run(const QStringList &args)
{
    if (args.size() < 2 || args.size() > 3) {
        probe::out(QStringLiteral("usage: vaskprobe [--base DIR] outputs LEAF GROUP [ROOT]"));
        return 2;
    }
    return show(args.at(0), args.at(1), args.value(2));
}

int tour()
{
    return show(QStringLiteral("run-001"), QStringLiteral("morning-peak"), QString());
}

const bool registered = probe::registerCommand(
    {"outputs", "outputs LEAF GROUP [ROOT]    create and print the nested output folders", run, 30, tour});

} // namespace
