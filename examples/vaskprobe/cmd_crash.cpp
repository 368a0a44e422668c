// crash [HOW]: installs the crash-dump handler and dies the chosen way. The
// tour runs it in a child process and shows what it left behind.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "dmphelper.h"
#include "filehelper.h"
#include "probe.h"

namespace {

// volatile: the compiler must not see (and "optimise") the fault coming.
int *volatile gNowhere = nullptr;
volatile int gZero = 0;
volatile int gSeven = 7; // 1 / x compiles to a comparison; 7 / x to a division

void nullWrite()
{
    *gNowhere = 1;
}

int divide()
{
    return gSeven / gZero;
}

void illegal()
{
#if defined(__GNUC__)
    __builtin_trap(); // ud2 on x86
#else
    std::abort();
#endif
}

int recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    if (depth == gZero - 1) // never: keeps the recursion unbounded but not infinite to the compiler
        return 0;
    return recurse(depth + 1) + frame[0];
}

void severalThreads()
{
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&ready] {
            ready.fetch_add(1);
            while (ready.load() < 4) {
            }
            nullWrite();
        });
    for (std::thread &t : threads)
        t.join();
}

const char *const kWays[] = {"null-write", "abort", "divide", "illegal", "stack-overflow", "threads"};

int crash(const QString &how)
{
    DmpHelper::setupDump();
    probe::out(QStringLiteral("handler installed; dumps go to %1; dying by %2").arg(FileHelper::appDir(), how));
    if (how == QLatin1String("null-write"))
        nullWrite();
    else if (how == QLatin1String("abort"))
        std::abort();
    else if (how == QLatin1String("divide"))
        probe::out(QString::number(divide()));
    else if (how == QLatin1String("illegal"))
        illegal();
    else if (how == QLatin1String("stack-overflow"))
        probe::out(QString::number(recurse(0)));
    else if (how == QLatin1String("threads"))
        severalThreads();
    probe::out(QStringLiteral("still alive?"));
    return 1;
}

int run(const QStringList &args)
{
    const QString how = args.value(0, QStringLiteral("null-write"));
    bool known = false;
    for (const char *w : kWays)
        known = known || how == QLatin1String(w);
    if (args.size() > 1 || !known) {
        probe::out(QStringLiteral("usage: vaskprobe [--base DIR] crash [null-write|abort|divide|illegal|stack-overflow|threads]"));
        return 2;
    }
    return crash(how);
}

QString onDisk(const QFileInfo &file)
{
#ifndef _WIN32
    struct stat st;
    if (stat(QFile::encodeName(file.filePath()).constData(), &st) == 0)
        return QStringLiteral(", %1 bytes on disk").arg(qlonglong(st.st_blocks) * 512);
#else
    Q_UNUSED(file);
#endif
    return QString();
}

// Crashes a child vaskprobe, then reports the dump it left and, where gdb is
// installed, the backtrace gdb reads from it.
int tour()
{
    const QString base = FileHelper::appDir();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(probe::selfPath(), {QStringLiteral("--base"), base, QStringLiteral("crash"), QStringLiteral("null-write")});
    if (!child.waitForFinished(120000)) {
        probe::out(QStringLiteral("the crashing child did not end"));
        child.kill();
        return 1;
    }
    if (child.exitStatus() == QProcess::CrashExit)
        probe::out(QStringLiteral("child crashed (signal %1)").arg(child.exitCode()));
    else
        probe::out(QStringLiteral("child exited with code %1").arg(child.exitCode()));

    const QFileInfoList dumps = QDir(base).entryInfoList({QStringLiteral("vask_*.dmp")}, QDir::Files, QDir::Time);
    if (dumps.isEmpty()) {
        probe::out(QStringLiteral("no dump in %1").arg(base));
        return 1;
    }
    const QFileInfo dump = dumps.first();
    probe::out(QStringLiteral("dump %1").arg(dump.filePath()));
    probe::out(QStringLiteral("size %1 bytes%2").arg(dump.size()).arg(onDisk(dump)));

    const QString gdb = QStandardPaths::findExecutable(QStringLiteral("gdb"));
    if (gdb.isEmpty()) {
        probe::out(QStringLiteral("gdb not found; open the dump with: gdb %1 %2").arg(probe::selfPath(), dump.filePath()));
        return 0;
    }
    QProcess reader;
    reader.setProcessChannelMode(QProcess::MergedChannels);
    reader.start(gdb, {QStringLiteral("-batch"), QStringLiteral("-nx"), QStringLiteral("-q"), QStringLiteral("-iex"),
                       QStringLiteral("set debuginfod enabled off"), QStringLiteral("-ex"), QStringLiteral("bt"),
                       probe::selfPath(), dump.filePath()});
    reader.waitForFinished(120000);
    probe::out(QStringLiteral("gdb %1 %2:").arg(probe::selfPath(), dump.filePath()));
    // gdb shows the top frame once when it loads the dump and again in bt.
    const QStringList lines = QString::fromLocal8Bit(reader.readAll()).split(QLatin1Char('\n'));
    QSet<QString> shown;
    for (const QString &line : lines) {
        if ((line.startsWith(QLatin1String("Program terminated")) || line.startsWith(QLatin1Char('#')))
            && !shown.contains(line)) {
            probe::out(QStringLiteral("  ") + line);
            shown.insert(line);
        }
    }
    return 0;
}

const bool registered = probe::registerCommand(
    {"crash", "crash [HOW]                  install the dump handler and crash; HOW: null-write (default), "
              "abort, divide, illegal, stack-overflow, threads",
     run, 60, tour});

} // namespace
