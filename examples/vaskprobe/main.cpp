#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

#include "filehelper.h"
#include "probe.h"

namespace probe {

static std::vector<Command> &registry()
{
    static std::vector<Command> commands;
    return commands;
}

bool registerCommand(const Command &command)
{
    registry().push_back(command);
    return true;
}

void out(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void heading(const QString &title)
{
    out(QString());
    out(QStringLiteral("== ") + title);
}

QString selfPath()
{
    return QCoreApplication::applicationFilePath();
}

} // namespace probe

namespace {

void usage()
{
    probe::out(QStringLiteral("usage: vaskprobe [--base DIR] COMMAND [ARGS...]"));
    probe::out(QStringLiteral("       vaskprobe            (no arguments: a tour on a fresh base directory)"));
    probe::out(QStringLiteral("commands:"));
    std::vector<probe::Command> sorted = probe::registry();
    std::sort(sorted.begin(), sorted.end(),
              [](const probe::Command &a, const probe::Command &b) { return qstrcmp(a.name, b.name) < 0; });
    for (const probe::Command &c : sorted)
        probe::out(QStringLiteral("  ") + QString::fromUtf8(c.usage));
}

int tour()
{
    QTemporaryDir base;
    if (!base.isValid()) {
        std::fprintf(stderr, "vaskprobe: cannot create a temporary folder\n");
        return 1;
    }
    FileHelper::setBaseDirPath(base.path());
    probe::out(QStringLiteral("vaskprobe tour, base directory ") + base.path());
    std::vector<probe::Command> steps;
    for (const probe::Command &c : probe::registry())
        if (c.tourOrder > 0 && c.tour)
            steps.push_back(c);
    std::sort(steps.begin(), steps.end(),
              [](const probe::Command &a, const probe::Command &b) { return a.tourOrder < b.tourOrder; });
    int failures = 0;
    for (const probe::Command &c : steps) {
        probe::heading(QString::fromUtf8(c.name));
        if (c.tour() != 0) {
            ++failures;
            probe::out(QStringLiteral("!! step failed: ") + QString::fromUtf8(c.name));
        }
    }
    probe::out(QString());
    probe::out(failures == 0 ? QStringLiteral("tour complete")
                             : QStringLiteral("tour finished with %1 failed step(s)").arg(failures));
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return tour();

    if (args.first() == QLatin1String("--base")) {
        if (args.size() < 2) {
            usage();
            return 2;
        }
        FileHelper::setBaseDirPath(args.at(1));
        args = args.mid(2);
    }
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
        usage();
        return args.isEmpty() ? 2 : 0;
    }
    const QString name = args.takeFirst();
    for (const probe::Command &c : probe::registry())
        if (name == QLatin1String(c.name))
            return c.run(args);
    std::fprintf(stderr, "vaskprobe: unknown command '%s'\n", name.toUtf8().constData());
    usage();
    return 2;
}
