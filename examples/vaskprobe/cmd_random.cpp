// random: the two vehicle streams of a RandomNumberManager, and a small table
// walked by its own cursor and by a caller's.
#include "probe.h"
#include "randomnumber.h"
#include "randomnumbermanager.h"

namespace {

const char kUsage[] = "usage: vaskprobe random [--seed N] [--base-info N] [--driving N] [--count K]";

QString firstValues(RandomNumber *stream, int count)
{
    // A cursor of our own, so the stream's own cursor stays where it was.
    long cursor = 0;
    QStringList values;
    for (int i = 0; i < count; ++i)
        values << QString::number(stream->rand(cursor));
    return values.join(QLatin1Char(' '));
}

void printManager(RandomNumberManager &manager, int count)
{
    probe::out(QStringLiteral("seedVehiBaseInfo %1").arg(manager.seedVehiBaseInfo()));
    probe::out(QStringLiteral("seedVehiDriving  %1").arg(manager.seedVehiDriving()));
    probe::out(QStringLiteral("VehiBaseInfo     ") + firstValues(manager.mRandomVehiBaseInfo, count));
    probe::out(QStringLiteral("VehiDriving      ") + firstValues(manager.mRandomVehiDriving, count));
}

int run(const QStringList &args)
{
    RandomNumberManager manager;
    int count = 5;
    for (int i = 0; i < args.size(); i += 2) {
        bool ok = i + 1 < args.size();
        const QString option = args.at(i);
        const QString value = ok ? args.at(i + 1) : QString();
        if (option == QLatin1String("--count")) {
            count = value.toInt(&ok);
            ok = ok && count >= 0;
        } else {
            const unsigned int seed = value.toUInt(&ok);
            if (option == QLatin1String("--seed"))
                manager.setSeed(seed);
            else if (option == QLatin1String("--base-info"))
                manager.setSeedVehiBaseInfo(seed);
            else if (option == QLatin1String("--driving"))
                manager.setSeedVehiDriving(seed);
            else
                ok = false;
        }
        if (!ok) {
            probe::out(QString::fromUtf8(kUsage));
            return 2;
        }
    }
    manager.init();
    printManager(manager, count);
    return 0;
}

int tour()
{
    RandomNumberManager manager;
    probe::out(QStringLiteral("a new manager: both seeds 0, both streams the same"));
    printManager(manager, 5);
    if (firstValues(manager.mRandomVehiBaseInfo, 100) != firstValues(manager.mRandomVehiDriving, 100)) {
        probe::out(QStringLiteral("the two streams of a new manager differ"));
        return 1;
    }

    manager.setSeedVehiBaseInfo(1);
    manager.setSeedVehiDriving(2);
    probe::out(QStringLiteral("after setSeedVehiBaseInfo(1), setSeedVehiDriving(2), before init:"));
    printManager(manager, 5);
    manager.init();
    probe::out(QStringLiteral("after init:"));
    printManager(manager, 5);

    RandomNumber table(3, 3);
    QStringList own;
    for (int i = 0; i < 5; ++i)
        own << QString::number(table.rand());
    probe::out(QStringLiteral("a table of 3 (seed 3), rand() five times: ") + own.join(QLatin1Char(' ')));
    for (long start : {-5L, 2L, 7L}) {
        long cursor = start;
        const long value = table.rand(cursor);
        probe::out(QStringLiteral("rand(cursor) with cursor %1 -> %2, cursor now %3").arg(start).arg(value).arg(cursor));
    }
    return 0;
}

const bool registered = probe::registerCommand(
    {"random", "random [--seed N ...]        seeds and first values of both vehicle streams", run, 40, tour});

} // namespace
