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

#include "testsupport.h"

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

QByteArray head(const QString &path, qint64 size = 1 << 20)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(size) : QByteArray();
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

struct Case {
    const char *name;
    const char *steps;       // "{base}" and "{dir}" stand for the folders
    int signal;              // it ends by this signal; 0: exits with 0; -1: either way
    const char *where;       // base, later or bin: the folder its dumps land in; "": none
    const char *top = "";    // at the top of the last dump's backtrace
    int threads = 1;         // threads with registers there; 0: not checked
    const char *says = "";   // in its output or gdb's view of the last dump, '|' between several
    int dumps = 1;           // how many; -2: one or two
    const char *plant = "";  // at every name a dump could take: fifo, link, hardlink, foreign, ours
    const char *wrap = "";   // run as init of a PID namespace, or with {dir}/mem a tmpfs
    bool unsanitized = false; // a sanitizer's runtime brings its own address space and stack use
    int runs = 1;            // a race: each run may catch it
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
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
    if (*c.wrap)
        command = c.wrap == QLatin1String("pidns")
                      ? QStringList{"unshare", "--pid", "--fork"}
                      : QStringList{"unshare", "-Urm", "sh", "-c", "mount -t tmpfs none \"$0\" && exec \"$@\"",
                                    dir + "/mem"};
    if (*c.wrap && run(command + QStringList{"/bin/true"}).exitCode != 0)
        GTEST_SKIP() << "no namespaces here";
    command << exe;
    for (const QString &s : QString(c.steps).split(' '))
        command << QString(s).replace("{base}", base).replace("{dir}", dir);

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
    EXPECT_EQ(head(dir + "/victim"), "precious");
    EXPECT_EQ(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"altstack", "base", "bin", "later", "mem", "victim"}));
    QStringList cores;
    for (const QString &folder : {base, dir + "/later", bin})
        for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
            const QString path = folder + '/' + name;
            struct stat st = {};
            ASSERT_EQ(lstat(QFile::encodeName(path).constData(), &st), 0);
            const QByteArray elf = S_ISREG(st.st_mode) ? head(path, 18) : QByteArray();
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
    const QByteArray painted = head(dir + "/altstack");
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
        EXPECT_TRUE(v["info sharedlibrary"].contains(QStringLiteral("libQt%1Core.so").arg(QT_VERSION_MAJOR))) << all;
    }
    EXPECT_TRUE(c.signal > 0 ? crashes >= 1 : crashes == cores.size()) << (o.output + views).toStdString();
    for (const QString &s : QString(c.says).split('|', Qt::SkipEmptyParts))
        EXPECT_TRUE(o.output.contains(s) || views.contains(s)) << s.toStdString() << ":\n"
                                                               << (o.output + views).toStdString();
}

using DumpTest = ::testing::TestWithParam<Case>;
TEST_P(DumpTest, EndsAsItShouldWithItsDumpsWhereTheyBelong)
{
    for (int i = 0; i < GetParam().runs && !HasFailure() && !IsSkipped(); ++i)
        crashOnce(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, DumpTest, ::testing::Values(
    // Ways to die: each by its own signal, with the faulting function in the dump.
    Case{"Segv", "base={base} setup threads=3 fault=s", SIGSEGV, "base", "vaskFault", 4, " main ("},
    Case{"Fpe", "base={base} setup fault=f", SIGFPE, "base", "vaskFault"},
    Case{"Ill", "base={base} setup fault=i", SIGILL, "base", "vaskFault"},
    Case{"Trap", "base={base} setup fault=t", SIGTRAP, "base", "vaskFault"},
    Case{"Abort", "base={base} setup abort", SIGABRT, "base", "", 1, "crasher.cpp:"},
    Case{"StackOverflow", "base={base} setup stack", SIGSEGV, "base", "vaskRecurse"},
    Case{"StackOverflowOfAThreadThatCalledSetup", "base={base} setup threadstack", SIGSEGV, "base", "vaskRecurse", 2},
    Case{"FourThreadsFaultingAtOnceOneDump", "base={base} setup threads4", SIGSEGV, "base", "vaskFault", 5},
    // The other thread holds the allocator's lock now and then; a dump that
    // allocated would hang.
    Case{"InsideMalloc", "base={base} setup malloc", SIGSEGV, "base", "vaskFault", 2, "", 1, "", "", false, 3},
    // Where ptrace is refused every other thread saves its own registers,
    // but one that blocks every signal, which is left out.
    Case{"WithoutPtraceEveryThread", "base={base} setup threads=2 blocker noptrace fault=s", SIGSEGV, "base",
         "vaskFault", 3, " main ("},
    // (LeakSanitizer traces the process at exit: not with these filters.)
    Case{"WithoutPtraceDirect", "base={base} setup threads=2 noptrace direct direct", 0, "base", "", 3,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (", 2, "", "", true},
    // Yama keeps one tracer per process, with no way to read it back: a
    // direct dump must not name one.
    Case{"DirectDumpNamesNoTracer", "base={base} setup threads=2 keeptracer direct", 0, "base", "", 3,
         "result 1\nsurvived", 1, "", "", true},
    // A sandbox that traps the calls a dump makes: the host lives through a
    // direct dump, and a crash dump still holds every thread.
    Case{"SandboxTrapsDirect", "base={base} setup threads=2 trap=ptrace trap=clone trap=ioctl direct", 0, "base", "",
         3, "result 1\nsurvived| DmpHelper::callback (", 1, "", "", true},
    Case{"SandboxTrapsCrash", "base={base} setup threads=2 trap=ptrace trap=clone trap=ioctl fault=s", SIGSEGV,
         "base", "vaskFault", 3},
    Case{"SandboxTrapsPtraceOnly", "base={base} setup threads=2 trap=ptrace fault=s", SIGSEGV, "base", "vaskFault", 3},
    // A leak took every descriptor (or all but a few): the dump is whole.
    // (A sanitizer's runtime needs descriptors of its own.)
    Case{"NoDescriptorFree", "base={base} setup threads=2 fds=0 fault=s", SIGSEGV, "base", "vaskFault", 3, " main (", 1,
         "", "", true},
    Case{"OneDescriptorFree", "base={base} setup threads=2 fds=1 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1, "",
         "", true},
    Case{"TwoDescriptorsFree", "base={base} setup threads=2 fds=2 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1, "",
         "", true},
    Case{"ThreeDescriptorsFree", "base={base} setup threads=2 fds=3 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1,
         "", "", true},
    // What a direct dump gave up it takes back: the next one is whole too.
    Case{"NoDescriptorFreeDirect", "base={base} setup threads=2 fds=0 direct direct", 0, "base", "", 3,
         "result 1\nresult 1\nsurvived", 2, "", "", true},
    // Processes of one host crashing in the same millisecond: a dump each.
    Case{"ProcessesCrashingTogether", "base={base} setup twins=3", 0, "base", "vaskFault", 1,
         "child ended by signal 11\nchild ended by signal 11\nchild ended by signal 11\nsurvived", 3, "", "", false,
         2},

    // (How it ends is not ours to say: AddressSanitizer's handler exits.)
    Case{"WithoutSetupNothing", "base={base} fault=s", -1, ""},
    // Where the dump goes, and what is already there.
    // A handler of the host's own is dropped; setup twice is setup once.
    Case{"BaseSetAfterSetup", "base={base} prior setup setup base={dir}/later fault=s", SIGSEGV, "later", "vaskFault"},
    Case{"BesideTheExecutableWithoutBase", "setup fault=s", SIGSEGV, "bin", "vaskFault"},
    Case{"BaseMissing", "base={dir}/missing setup fault=s", SIGSEGV, ""},
    // Whatever holds the name is left as it is; the dump takes another.
    Case{"SymbolicLinks", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "link"},
    Case{"Fifos", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "fifo"},
    Case{"HardLinks", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "hardlink"},
    Case{"FilesOfAnotherUser", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "foreign"},
    Case{"OldDumpOfOursKept", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "ours"},
    // When the disk fills up the dump stays visibly short.
    Case{"DiskFull", "base={base} setup threads=2 fsize=20000000 fault=s", SIGSEGV, "base", "vaskFault", 3,
         "extending past end of file", 1, "ours", "", true},
    // A process in trouble.
    Case{"AfterTeardown", "base={base} setup late", SIGSEGV, "bin", "vaskLateFault()"},
    Case{"MainThreadGone", "base={base} setup threads=2 mainexits fault=s", SIGSEGV, "base", "vaskFault", 3,
         "::runRestOnThread ("},
    Case{"NotDumpable", "base={base} setup noauxv notdumpable fault=s", SIGSEGV, "base", "vaskFault"},
    Case{"AddressSpaceExhausted", "base={base} setup as=4096 fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "", "",
         true},
    Case{"SmallAltStack", "base={base} setup threads=2 altstack={dir}/altstack fault=s", SIGSEGV, "base", "vaskFault",
         3, "", 1, "", "", true},
    // A shared file on a tmpfs of its own (not /dev/shm), one page touched:
    // the dumps must not allocate the rest (8 blocks before, and after).
    Case{"TmpfsFileNotAllocated", "base={base} setup tmpfile={dir}/mem/shared direct", 0, "base", "", 1,
         "file blocks 8\n| DmpHelper::callback (", 1, "", "tmpfs"},
    // Called directly, the process goes on; each call has a file of its own.
    Case{"DirectCalls", "base={base} setup threads=2 direct direct", 0, "base", "", 3,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (|::runSteps (", 2},
    // Two at once take turns (they used to stop each other for good), so
    // they can't share a millisecond.
    Case{"TwoDirectCallsAtOnce", "base={base} setup together", 0, "base", "", 0,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (", 2},
    // A crash waits for a direct dump, then dumps last; no direct dump
    // starts after it.
    Case{"CrashDuringADirectCall", "base={base} setup racecrash", SIGSEGV, "base", "vaskFault", 0, "", -2, "", "",
         false, 2},
    // As init of a PID namespace its own signal is ignored: it must end anyway.
    Case{"InitOfAPidNamespace", "base={base} setup abort", SIGABRT, "base", "", 1, "pid 1\n", 1, "", "pidns"},
    // Its /proc is the parent namespace's, where pid 1 is another process.
    Case{"ThreadsInAPidNamespace", "base={base} setup threads=2 fault=s", SIGSEGV, "base", "vaskFault", 3, "pid 1\n",
         1, "", "pidns"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
