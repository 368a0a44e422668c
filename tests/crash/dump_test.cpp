// Crash dumps of real processes: dump_crasher runs the steps it is given, and
// each case says how it must end, where its dumps must land (and nowhere
// else), and what gdb must read from each of them. (core_test.cpp reads a
// dump of this process itself.)
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dump_case.h"
#include "testsupport.h"

using vaskdump::Case;
using vaskdump::DumpTest;

namespace {

const QString kCrasher = QStringLiteral(VASK_CRASHER);
constexpr long long kOldSize = 64LL << 30; // a sparse old dump of ours
// An alternate signal stack this small must be enough for the whole crash
// path, the kernel's signal frame included (dmphelper.h).
constexpr int kSmallestAltStack = 5 * 1024;

long long now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

struct Outcome {
    bool ended = false; // within the time limit
    int signal = 0;     // 0: it exited
    int exitCode = -1;
    QString output;
    long long startMs = 0, endMs = 0;
};

// Runs a program, at most 60 s, with its output captured.
Outcome run(const QStringList &command)
{
    Outcome o;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    o.startMs = now();
    p.start(command.first(), command.mid(1));
    if (!(o.ended = p.waitForFinished(60000)))
        p.kill(), p.waitForFinished(10000);
    o.endMs = now();
    o.output = QString::fromLocal8Bit(p.readAll());
    o.signal = p.exitStatus() == QProcess::CrashExit ? p.exitCode() : 0;
    o.exitCode = o.signal ? -1 : p.exitCode();
    return o;
}

// gdb's view of a dump: its whole output under "", each command's under
// the command.
QMap<QString, QString> gdb(const QString &core)
{
    QStringList command = {"gdb", "-batch", "-nx", "-q", "-iex", "set debuginfod enabled off"};
    for (const char *c : {"info threads", "bt 12", "info symbol $pc", "info sharedlibrary", "p $_siginfo.si_signo"})
        command << "-ex" << QStringLiteral("echo @@%1\\n").arg(c) << "-ex" << c;
    QMap<QString, QString> view = {{"", run(command << kCrasher << core).output}};
    for (const QString &part : view[""].split("@@").mid(1))
        view.insert(part.section('\n', 0, 0), part.section('\n', 1));
    return view;
}

void crashOnce(const Case &c)
{
    if (c.unsanitized && vasktest::kSanitized)
        GTEST_SKIP() << "only without sanitizers";
    QTemporaryDir tmp;
    const QString dir = tmp.path(), base = dir + "/base", bin = dir + "/bin", exe = bin + "/dump_crasher";
    for (const char *sub : {"base", "bin", "later", "mem"})
        ASSERT_TRUE(QDir(dir).mkdir(sub));
    // Run from a folder of its own, so a dump beside the executable shows;
    // the folders open to a process that becomes nobody.
    ASSERT_TRUE(QFile::copy(kCrasher, exe) && vasktest::writeFile(dir + "/victim", "precious")
                && vasktest::writeFile(dir + "/altstack", QByteArray(8 * 1024, '\xa5'))
                && chmod(QFile::encodeName(dir).constData(), 0755) == 0
                && chmod(QFile::encodeName(base).constData(), 0777) == 0);
    QStringList command;
    const bool noProc = c.wrap == QLatin1String("noproc");
    if (*c.wrap)
        command = c.wrap == QLatin1String("pidns") ? QStringList{"unshare", "--pid", "--fork"}
            : noProc ? QStringList{"unshare", "-m", "sh", "-c", "umount -l /proc && exec \"$@\"", "sh"}
                     : QStringList{"unshare", "-Urm", "sh", "-c", "mount -t tmpfs none \"$0\" && exec \"$@\"",
                                   dir + "/mem"};
    if (*c.wrap && run(command + QStringList{"/bin/true"}).exitCode != 0)
        GTEST_SKIP() << "no namespaces here";
    command << exe;
    for (const QString &s : QString(c.steps).split(' '))
        command << QString(s).replace("{base}", base).replace("{dir}", dir).replace("{long}", QString(4200, 'x'));

    // Plants something under every name a dump could take from now until five
    // seconds after planting ends (the name is taken at the crash), within a
    // minute: a machine that plants slower than its clock runs never gets ahead.
    const QByteArray plant = c.plant, victim = QFile::encodeName(dir + "/victim");
    const long long start = now();
    long long ms = start;
    for (; !plant.isEmpty() && ms < now() + 5000 && now() < start + 60000; ++ms) {
        const QByteArray path = QFile::encodeName(base + QStringLiteral("/vask_%1.dmp").arg(ms));
        const char *p = path.constData();
        const int fd = plant == "foreign" || plant == "ours" ? open(p, O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
        ASSERT_TRUE(plant == "fifo" ? mkfifo(p, 0666) == 0
                    : plant == "link" ? symlink(victim.constData(), p) == 0
                    : plant == "hardlink" ? link(victim.constData(), p) == 0
                    : plant == "ours" ? ftruncate(fd, kOldSize) == 0
                                      : write(fd, "theirs", 6) == 6 && fchown(fd, 65534, 65534) == 0);
        close(fd);
    }
    if (!plant.isEmpty() && ms < now() + 2000)
        GTEST_SKIP() << "planting is slower than the clock here";
    const Outcome o = run(command);
    ASSERT_TRUE(o.ended) << "hung; it printed:\n" << o.output.toStdString();
    EXPECT_TRUE(c.signal < 0 || o.signal == c.signal || (*c.wrap && o.exitCode == 128 + c.signal))
        << "signal " << o.signal << ", exit code " << o.exitCode << "; it printed:\n" << o.output.toStdString();

    // What was planted is as it was; the dumps are where they belong, each
    // named for the moment of the crash, and private.
    EXPECT_EQ(vasktest::readFile(dir + "/victim"), "precious");
    EXPECT_EQ(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"altstack", "base", "bin", "later", "mem", "victim"}));
    QStringList cores;
    for (const QString &folder : {base, dir + "/later", bin})
        for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
            const QString path = folder + '/' + name;
            struct stat st = {};
            ASSERT_EQ(lstat(QFile::encodeName(path).constData(), &st), 0);
            const QByteArray elf = S_ISREG(st.st_mode) ? vasktest::readFile(path, 18) : QByteArray();
            if (elf.startsWith("\x7f" "ELF\x02\x01") && elf.size() == 18 && elf[16] == 4 && elf[17] == 0) {
                // A name taken already (by another process's dump, or
                // something planted) gives "-<pid>[-<k>]" before ".dmp".
                const auto ms = QRegularExpression("^vask_([1-9]\\d*)(-[1-9]\\d*(-[2-9])?)?\\.dmp$")
                                    .match(name)
                                    .captured(1)
                                    .toLongLong();
                EXPECT_TRUE(folder == dir + '/' + c.where && ms >= o.startMs && ms <= o.endMs) << name.toStdString();
                EXPECT_EQ(st.st_mode & 0777, 0600u) << name.toStdString();
                cores << path;
            } else if (path != exe) {
                EXPECT_TRUE(folder == base && (plant == "fifo"   ? S_ISFIFO(st.st_mode)
                                               : plant == "link" ? S_ISLNK(st.st_mode)
                                               : plant == "ours" ? st.st_size == kOldSize
                                                                 : st.st_size <= 8 && !plant.isEmpty()))
                    << name.toStdString();
            }
        }
    EXPECT_TRUE(c.dumps < 0 ? !cores.isEmpty() && cores.size() <= -c.dumps : cores.size() == (*c.where ? c.dumps : 0));
    if (cores.isEmpty())
        return;

    // The crash path's stack need, measured on a painted alternate stack.
    const QByteArray painted = vasktest::readFile(dir + "/altstack");
    // (The stack grows down: everything from the lowest byte written up.)
    const auto written = std::find_if(painted.begin(), painted.end(), [](char b) { return b != '\xa5'; });
    const int used = int(painted.end() - written);
    EXPECT_TRUE(!QString(c.steps).contains("altstack") || used <= kSmallestAltStack) << "used " << used << " bytes";

    // Every dump is whole: gdb reads each one's threads and libraries. Each
    // shows the top and the signal, but where a crash follows direct dumps:
    // then one does. What it says may be in any of them.
    QString views;
    int crashes = 0;
    for (const QString &core : cores) {
        const auto v = gdb(core);
        views += v[""];
        const std::string all = (o.output + v[""]).toStdString();
        crashes += (!*c.top || v["info symbol $pc"].startsWith(QString(c.top) + ' '))
            && (c.signal <= 0
                || (v["p $_siginfo.si_signo"].contains(QStringLiteral("= %1").arg(c.signal))
                    && v[""].contains(QStringLiteral("terminated with signal SIG") + sigabbrev_np(c.signal))));
        int threads = 0;
        for (const QString &line : v["info threads"].split('\n'))
            threads += line.contains(QRegularExpression("^\\*?\\s+\\d+\\s+(Thread|LWP) ")) && !line.contains("registers");
        EXPECT_TRUE(c.threads == 0 || threads == c.threads) << threads << " threads:\n" << all;
        // Only a cut dump may look cut.
        EXPECT_TRUE(QByteArray(c.says).contains("extending past") || !v[""].contains("extending past end of file"))
            << all;
        EXPECT_TRUE(noProc || v["info sharedlibrary"].contains(QStringLiteral("libQt%1Core.so").arg(QT_VERSION_MAJOR)))
            << all;
    }
    EXPECT_TRUE(c.signal > 0 ? crashes >= 1 : crashes == cores.size()) << (o.output + views).toStdString();
    for (const QString &s : QString(c.says).split('|', Qt::SkipEmptyParts))
        EXPECT_TRUE(o.output.contains(s) || views.contains(s)) << s.toStdString() << ":\n"
                                                               << (o.output + views).toStdString();
}

TEST_P(DumpTest, EndsAsItShouldWithItsDumpsWhereTheyBelong)
{
    for (int i = 0; i < GetParam().runs && !HasFailure() && !IsSkipped(); ++i)
        crashOnce(GetParam());
}



} // namespace
