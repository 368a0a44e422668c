// Crash dumps of real processes: dump_crasher dies the way it is told, and we
// check how it ended, what it left on disk and what gdb reads from that.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include "testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kCrasher = QStringLiteral(VASK_CRASHER);

struct Outcome {
    bool ended = false; // within the time limit
    bool signaled = false;
    int signal = 0;
    int exitCode = -1;
    QString output;
    long long startMs = 0, endMs = 0;

    QString pattern() const
    {
        const auto m = QRegularExpression("^pattern (0x[0-9a-f]+)$", QRegularExpression::MultilineOption)
                           .match(output);
        return m.hasMatch() ? m.captured(1) : QString();
    }
};

// Runs a program with stdout captured. With `onReady`, the program is started
// with --wait: once it prints "ready", onReady runs and the program is let go.
Outcome run(const QStringList &command, const std::function<void()> &onReady = {}, int timeoutMs = 60000)
{
    Outcome o;
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
        return o;
    std::vector<QByteArray> bytes;
    for (const QString &a : command)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    o.startMs = QDateTime::currentMSecsSinceEpoch();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    QByteArray text;
    bool released = !onReady;
    const long long deadline = o.startMs + timeoutMs;
    for (;;) {
        pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[4096];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, int(n));
        }
        if (!released && text.contains("ready\n")) {
            onReady();
            released = true;
            (void)!write(in[1], "go\n", 3);
        }
        if (QDateTime::currentMSecsSinceEpoch() > deadline)
            break;
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            o.ended = true;
            break;
        }
        if (QDateTime::currentMSecsSinceEpoch() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    o.endMs = QDateTime::currentMSecsSinceEpoch();
    close(out[0]);
    close(in[1]);
    o.output = QString::fromLocal8Bit(text);
    o.signaled = WIFSIGNALED(status);
    o.signal = o.signaled ? WTERMSIG(status) : 0;
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

Outcome crash(const QStringList &args, const std::function<void()> &onReady = {})
{
    QStringList command = {kCrasher};
    if (onReady)
        command << "--wait";
    return run(command + args, onReady);
}

// How a child ended: within the time limit, and by the given signal.
::testing::AssertionResult diedOf(const Outcome &o, int signal)
{
    if (!o.ended)
        return ::testing::AssertionFailure() << "did not end in time; it printed:\n" << o.output.toStdString();
    if (!o.signaled || o.signal != signal)
        return ::testing::AssertionFailure() << "ended by signal " << o.signal << " (exit code " << o.exitCode
                                             << "), want signal " << signal << "; it printed:\n"
                                             << o.output.toStdString();
    return ::testing::AssertionSuccess();
}

// The dump files in a folder (every entry, so strays show up too).
QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
}

bool isCore(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = f.read(18);
    // ELF magic, 64-bit, little endian; e_type 4 = ET_CORE.
    return head.size() == 18 && head.startsWith("\x7f" "ELF\x02\x01") && head[16] == 4 && head[17] == 0;
}

long long stampOf(const QString &name)
{
    const auto m = QRegularExpression("^vask_([1-9][0-9]*)\\.dmp$").match(name);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// What gdb reads from a dump: one batch run, its output cut into sections.
struct GdbView {
    QString all;
    QMap<QString, QString> section;

    QString topFunction() const
    {
        const auto m = QRegularExpression("^#0\\s+(?:0x[0-9a-f]+ in )?([A-Za-z_][\\w:~]*)",
                                          QRegularExpression::MultilineOption)
                           .match(section.value("bt"));
        return m.hasMatch() ? m.captured(1) : QString();
    }
    bool inBacktrace(const QString &function) const
    {
        return section.value("bt").contains(" " + function + " (");
    }
    // Threads with registers in the dump. (gdb also lists threads it finds
    // through libthread_db in memory; those without registers don't count.)
    int threadCount() const
    {
        int n = 0;
        const QRegularExpression thread("^\\*?\\s+\\d+\\s+(Thread|LWP) ");
        for (const QString &line : section.value("threads").split(QLatin1Char('\n')))
            if (thread.match(line).hasMatch() && !line.contains("registers"))
                ++n;
        return n;
    }
};

bool haveGdb()
{
    return !QStandardPaths::findExecutable("gdb").isEmpty();
}

GdbView gdb(const QString &exe, const QString &core, const QStringList &extra = {})
{
    QStringList args = {"-batch", "-nx", "-q", "-iex", "set debuginfod enabled off"};
    auto mark = [&](const QString &name) { args << "-ex" << QStringLiteral("echo @@%1\\n").arg(name); };
    mark("threads");
    args << "-ex" << "info threads";
    mark("bt");
    args << "-ex" << "bt 12";
    for (int i = 0; i < extra.size(); ++i) {
        mark(QStringLiteral("x%1").arg(i));
        args << "-ex" << extra.at(i);
    }
    mark("end");
    args << exe << core;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("gdb", args);
    p.waitForFinished(120000);
    GdbView v;
    v.all = QString::fromLocal8Bit(p.readAll());
    const QStringList parts = v.all.split("@@");
    for (const QString &part : parts) {
        const int nl = part.indexOf(QLatin1Char('\n'));
        if (nl > 0)
            v.section.insert(part.left(nl), part.mid(nl + 1));
    }
    return v;
}

// gdb commands that read three words of the 64 MiB pattern, and the check
// that they came back as written: word i holds 0x564b000000000000 | i.
QStringList patternProbes(const QString &address)
{
    QStringList probes;
    for (const char *offset : {"0", "0x2000000", "0x3fffff8"})
        probes << QStringLiteral("x/1xg %1+%2").arg(address, QLatin1String(offset));
    return probes;
}

void expectPattern(const GdbView &v, int firstProbe)
{
    const char *want[] = {"0x564b000000000000", "0x564b000000400000", "0x564b0000007fffff"};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(v.section.value(QStringLiteral("x%1").arg(firstProbe + i)).contains(QLatin1String(want[i])))
            << "probe " << i << ":\n" << v.all.toStdString();
}

class DumpTest : public ::testing::Test
{
    protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        base = dir.path() + "/base";
        ASSERT_TRUE(QDir().mkpath(base));
    }

    // The one dump in `folder`, checked for name, stamp and permissions.
    QString onlyDump(const QString &folder, const Outcome &o)
    {
        const QStringList names = entries(folder);
        EXPECT_EQ(names.size(), 1) << names.join(QLatin1Char(' ')).toStdString();
        if (names.size() != 1)
            return QString();
        const long long ms = stampOf(names.first());
        EXPECT_GE(ms, o.startMs) << names.first().toStdString();
        EXPECT_LE(ms, o.endMs) << names.first().toStdString();
        const QString path = folder + QLatin1Char('/') + names.first();
        struct stat st = {
            };
        EXPECT_EQ(lstat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(isCore(path));
        return path;
    }

    QTemporaryDir dir;
    QString base;
};

// ---------------------------------------------------------------------------
// Ways to die: each ends by its own signal and leaves one core in which gdb
// finds the faulting function.

TEST_F(DumpTest, NullWriteLeavesOneCoreWithEveryThreadAndAllMemory)
{
    const Outcome o = crash({"--base", base, "--pattern", "--threads", "3", "segv"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    EXPECT_FALSE(o.output.contains("survived"));
    const QString core = onlyDump(base, o);
    ASSERT_FALSE(core.isEmpty());
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const QString address = o.pattern();
    ASSERT_FALSE(address.isEmpty()) << o.output.toStdString();
    const GdbView v = gdb(kCrasher, core, patternProbes(address) << "p $_siginfo.si_signo");
    EXPECT_TRUE(v.all.contains("Program terminated with signal SIGSEGV")) << v.all.toStdString();
    EXPECT_EQ(v.topFunction(), "vaskCrashNullWrite") << v.all.toStdString();
    EXPECT_TRUE(v.inBacktrace("main")) << v.all.toStdString();
    EXPECT_EQ(v.threadCount(), 4) << v.all.toStdString();
    expectPattern(v, 0);
    EXPECT_TRUE(v.section.value("x3").contains("= 11")) << v.all.toStdString();
}

struct Fault {
    const char *mode;
    int signal;
    const char *gdbSignal;
    const char *function; // the faulting function
    bool onTop;           // at the top of bt, or below the C library's frames
};

void PrintTo(const Fault &f, std::ostream *os)
{
    *os << f.mode;
}

class FaultTest : public DumpTest, public ::testing::WithParamInterface<Fault>
{
};

TEST_P(FaultTest, EndsByItsSignalWithTheFaultingFunctionInTheDump)
{
    const Fault f = GetParam();
    const Outcome o = crash({"--base", base, QLatin1String(f.mode)});
    ASSERT_TRUE(diedOf(o, f.signal));
    const QString core = onlyDump(base, o);
    ASSERT_FALSE(core.isEmpty());
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, core);
    EXPECT_TRUE(v.all.contains("Program terminated with signal " + QLatin1String(f.gdbSignal)))
        << v.all.toStdString();
    if (f.onTop)
        EXPECT_EQ(v.topFunction(), QLatin1String(f.function)) << v.all.toStdString();
    else
        EXPECT_TRUE(v.inBacktrace(QLatin1String(f.function))) << v.all.toStdString();
    EXPECT_EQ(v.threadCount(), 1) << v.all.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
    ::testing::Values(Fault{"abort", SIGABRT, "SIGABRT", "vaskCrashAbort", false},
                      Fault{"throw", SIGABRT, "SIGABRT", "vaskCrashThrow", false},
                      Fault{"fpe", SIGFPE, "SIGFPE", "vaskCrashDivide", true},
                      Fault{"ill", SIGILL, "SIGILL", "vaskCrashIllegal", true},
                      Fault{"trap", SIGTRAP, "SIGTRAP", "vaskCrashTrap", true},
                      Fault{"stack", SIGSEGV, "SIGSEGV", "vaskCrashRecurse", true}),
    [](const ::testing::TestParamInfo<Fault> &info) {
        std::string name = info.param.mode;
        name[0] = char(std::toupper(name[0]));
        return name;
    });

TEST_F(DumpTest, StackOverflowOfAThreadThatCalledSetupDumpIsCaught)
{
    const Outcome o = crash({"--base", base, "thread-stack"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    const QString core = onlyDump(base, o);
    ASSERT_FALSE(core.isEmpty());
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, core);
    EXPECT_EQ(v.topFunction(), "vaskCrashRecurse") << v.all.toStdString();
    EXPECT_EQ(v.threadCount(), 2) << v.all.toStdString();
}

TEST_F(DumpTest, FourThreadsFaultingAtOnceGiveExactlyOneDump)
{
    const Outcome o = crash({"--base", base, "--pattern", "threads4"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    const QString core = onlyDump(base, o);
    ASSERT_FALSE(core.isEmpty());
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, core, patternProbes(o.pattern()));
    EXPECT_EQ(v.threadCount(), 5) << v.all.toStdString();
    EXPECT_EQ(v.topFunction(), "vaskCrashNullWrite") << v.all.toStdString();
    EXPECT_TRUE(v.inBacktrace("vaskCrashInThread")) << v.all.toStdString();
    expectPattern(v, 0);
}

TEST_F(DumpTest, CrashWhileAnotherThreadIsInsideMallocStillDumpsAndEnds)
{
    // The other thread allocates without pause, so the fault often lands
    // while it holds the allocator's lock; a writer that allocated would hang.
    for (int round = 0; round < 3; ++round) {
        const QString folder = base + QStringLiteral("/round%1").arg(round);
        ASSERT_TRUE(QDir().mkpath(folder));
        const Outcome o = crash({"--base", folder, "malloc"});
        ASSERT_TRUE(diedOf(o, SIGSEGV)) << "round " << round;
        const QString core = onlyDump(folder, o);
        ASSERT_FALSE(core.isEmpty());
        if (round == 0 && haveGdb()) {
            const GdbView v = gdb(kCrasher, core);
            EXPECT_EQ(v.topFunction(), "vaskCrashNullWrite") << v.all.toStdString();
            EXPECT_EQ(v.threadCount(), 2) << v.all.toStdString();
        }
    }
}

TEST_F(DumpTest, WithoutPtraceTheFaultingThreadAndAllMemoryAreStillDumped)
{
    const Outcome o = crash({"--base", base, "--deny-ptrace", "--pattern", "--threads", "2", "segv"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    const QString core = onlyDump(base, o);
    ASSERT_FALSE(core.isEmpty());
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, core, patternProbes(o.pattern()));
    EXPECT_EQ(v.threadCount(), 1) << v.all.toStdString();
    EXPECT_EQ(v.topFunction(), "vaskCrashNullWrite") << v.all.toStdString();
    expectPattern(v, 0);
}

TEST_F(DumpTest, HandlerInstalledBeforeIsDroppedAndSetupTwiceStillDumpsOnce)
{
    const Outcome o = crash({"--base", base, "--prior-handler", "--setup-twice", "segv"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    EXPECT_FALSE(o.output.contains("prior handler")) << o.output.toStdString();
    onlyDump(base, o);
}

TEST_F(DumpTest, WithoutSetupNothingIsWritten)
{
    const Outcome o = crash({"--base", base, "--no-setup", "segv"});
    ASSERT_TRUE(o.ended);
    // (How it ends is not ours to say: AddressSanitizer's handler exits.)
    EXPECT_FALSE(o.output.contains("survived"));
    EXPECT_TRUE(entries(base).isEmpty());
}

// ---------------------------------------------------------------------------
// Where the dump goes, and what is already there.

TEST_F(DumpTest, BaseDirectorySetAfterSetupIsTheOneUsed)
{
    const QString later = dir.path() + "/later";
    ASSERT_TRUE(QDir().mkpath(later));
    const Outcome o = crash({"--base", base, "--base-after", later, "segv"});
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    onlyDump(later, o);
    EXPECT_TRUE(entries(base).isEmpty());
}

// Plants a file (or link) under every name the crash could pick from now
// until a few seconds after planting ends, just before the crasher is let go.
void plantNames(const QString &folder, const std::function<void(const QByteArray &)> &plant)
{
    long long ms = QDateTime::currentMSecsSinceEpoch();
    while (ms < QDateTime::currentMSecsSinceEpoch() + 3000)
        plant(QFile::encodeName(folder + QStringLiteral("/vask_%1.dmp").arg(ms++)));
}

TEST_F(DumpTest, AnExistingFileOfTheSameNameIsReplacedAndMadePrivate)
{
    const Outcome o = crash({"--base", base, "segv"}, [&] {
        plantNames(base, [](const QByteArray &path) {
            const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, "old", 3), 3);
            close(fd);
        });
    });
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    int cores = 0;
    for (const QString &name : entries(base)) {
        const QString path = base + QLatin1Char('/') + name;
        if (!isCore(path)) {
            ASSERT_EQ(QFileInfo(path).size(), 3) << name.toStdString();
            continue;
        }
        ++cores;
        const long long ms = stampOf(name);
        EXPECT_GE(ms, o.startMs);
        EXPECT_LE(ms, o.endMs);
        struct stat st = {
            };
        ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(cores, 1);
}

// ---------------------------------------------------------------------------
// A process in trouble, or a hostile folder: every case still ends by its
// signal, and the dump lands in the one place it should, or nowhere.

enum class Lands { InBase, BesideExecutable, Nowhere };

struct Trouble {
    const char *name;
    QStringList args; // "{base}" and "{dir}" stand for the folders
    Lands lands;
    const char *plant = "";   // at every name the dump could take: fifo, link, hardlink, foreign
    bool needsRoot = false;
    // The library as shipped: a sanitizer's runtime brings its own address
    // space, allocator and stack use.
    bool unsanitized = false;
    const char *gdbSays = ""; // also in gdb's output
    const char *top = "vaskCrashNullWrite";
};

void PrintTo(const Trouble &t, std::ostream *os)
{
    *os << t.name;
}

class TroubleTest : public DumpTest, public ::testing::WithParamInterface<Trouble>
{
};

// An alternate signal stack this small must be enough for the whole crash
// path, the kernel's signal frame included (README, dmphelper.h).
constexpr int kSmallestAltStack = 6 * 1024;
constexpr int kHostAltStack = 8 * 1024;

TEST_P(TroubleTest, EndsByItsSignalWithTheDumpWhereItBelongsOrNone)
{
    const Trouble t = GetParam();
    if (t.needsRoot && geteuid() != 0)
        GTEST_SKIP() << "needs root";
    if (t.unsanitized && vasktest::kSanitized)
        GTEST_SKIP() << "only without sanitizers";
    // Run from a folder of its own, so a dump beside the executable shows.
    const QString bin = dir.path() + "/bin", exe = bin + "/dump_crasher";
    ASSERT_TRUE(QDir().mkpath(bin) && QFile::copy(kCrasher, exe));
    const QString victim = dir.path() + "/victim", stack = dir.path() + "/altstack";
    ASSERT_TRUE(vasktest::writeFile(victim, "precious") && vasktest::writeFile(stack, QByteArray(kHostAltStack, '\xa5')));
    // For a process that becomes nobody.
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(chmod(QFile::encodeName(base).constData(), 0777), 0);
    QStringList args = {exe};
    for (const QString &a : t.args)
        args << QString(a).replace("{base}", base).replace("{dir}", dir.path());

    const QByteArray plant = t.plant, target = QFile::encodeName(victim);
    const Outcome o = run(args << "--wait", [&] {
        plantNames(base, [&](const QByteArray &path) {
            bool planted = true;
            if (plant == "fifo")
                planted = mkfifo(path.constData(), 0666) == 0;
            else if (plant == "link")
                planted = symlink(target.constData(), path.constData()) == 0;
            else if (plant == "hardlink")
                planted = link(target.constData(), path.constData()) == 0;
            else if (plant == "foreign")
                planted = vasktest::writeFile(QFile::decodeName(path), "theirs")
                          && chown(path.constData(), 65534, 65534) == 0;
            ASSERT_TRUE(planted) << path.constData();
        });
    }, 30000);
    ASSERT_TRUE(diedOf(o, SIGSEGV));
    QFile::remove(exe);

    // Whatever was planted is as it was; no core anywhere else.
    QFile planted(victim);
    ASSERT_TRUE(planted.open(QIODevice::ReadOnly));
    EXPECT_EQ(planted.readAll(), QByteArray("precious"));
    for (const QString &name : entries(base)) {
        const QFileInfo info(base + QLatin1Char('/') + name);
        const bool untouched = plant == "fifo" || plant == "link" ? !(info.isFile() && !info.isSymLink())
                                                                  : info.size() <= 8;
        EXPECT_TRUE(plant.isEmpty() || untouched) << name.toStdString();
    }
    const QString where = t.lands == Lands::InBase ? base : t.lands == Lands::BesideExecutable ? bin : QString();
    EXPECT_EQ(entries(dir.path()), (QStringList{"altstack", "base", "bin", "victim"}));
    EXPECT_TRUE(where == bin || entries(bin).isEmpty());
    EXPECT_TRUE(where == base || !plant.isEmpty() || entries(base).isEmpty());
    if (where.isEmpty())
        return;
    const QString core = onlyDump(where, o);
    ASSERT_FALSE(core.isEmpty());

    // The crash path's stack need, measured on the alternate stack.
    QFile painted(stack);
    ASSERT_TRUE(painted.open(QIODevice::ReadOnly));
    const QByteArray after = painted.readAll();
    int untouched = 0;
    while (untouched < after.size() && after[untouched] == '\xa5')
        ++untouched;
    EXPECT_TRUE(!t.args.contains("--altstack") || after.size() - untouched <= kSmallestAltStack)
        << "the crash path used " << after.size() - untouched << " bytes of its alternate stack";

    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, core, {"info sharedlibrary"});
    EXPECT_EQ(v.topFunction(), QLatin1String(t.top)) << v.all.toStdString();
    EXPECT_TRUE(v.section.value("x0").contains(QStringLiteral("libQt%1Core.so").arg(QT_VERSION_MAJOR))) << v.all.toStdString();
    EXPECT_TRUE(v.all.contains(QLatin1String(t.gdbSays))) << v.all.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Troubles, TroubleTest,
    ::testing::Values(
        Trouble{"BesideTheExecutableWithoutBase", {"segv"}, Lands::BesideExecutable},
        Trouble{"BaseMissing", {"--base", "{dir}/missing", "segv"}, Lands::Nowhere},
        Trouble{"SymbolicLinks", {"--base", "{base}", "segv"}, Lands::Nowhere, "link"},
        Trouble{"Fifos", {"--base", "{base}", "segv"}, Lands::Nowhere, "fifo"},
        Trouble{"HardLinks", {"--base", "{base}", "segv"}, Lands::Nowhere, "hardlink"},
        Trouble{"FilesOfAnotherUser", {"--base", "{base}", "segv"}, Lands::Nowhere, "foreign", true},
        Trouble{"AfterTeardown", {"--base", "{base}", "teardown"}, Lands::BesideExecutable, "", false, false, "",
                "vaskLateFault"},
        Trouble{"MainThreadGone", {"--base", "{base}", "--threads", "2", "--main-exits", "segv"}, Lands::InBase, "",
                false, false, "runModeOnThread"},
        Trouble{"NotDumpable", {"--base", "{base}", "--not-dumpable", "segv"}, Lands::InBase},
        Trouble{"AddressSpaceExhausted", {"--base", "{base}", "--exhaust", "segv"}, Lands::InBase, "", false, true},
        Trouble{"DiskFull", {"--base", "{base}", "--threads", "2", "--fsize", "20000000", "segv"}, Lands::InBase, "",
                false, true, "extending past end of file"},
        Trouble{"SmallAltStack", {"--base", "{base}", "--threads", "2", "--altstack", "{dir}/altstack", "segv"},
                Lands::InBase, "", false, true}),
    [](const ::testing::TestParamInfo<Trouble> &info) { return std::string(info.param.name); });

// Memory that costs nothing must cost nothing in the dump either: a private
// /dev/zero gigabyte with one page touched, and a shared file on a tmpfs of
// its own (not /dev/shm) whose untouched pages the dump must not allocate.
TEST_F(DumpTest, UntouchedZeroMemoryAndTmpfsFilesCostNoDiskAndAllocateNothing)
{
    const QString unshare = QStandardPaths::findExecutable("unshare");
    const QString mem = dir.path() + "/mem";
    ASSERT_TRUE(QDir().mkpath(mem));
    const QStringList mount = {unshare, "-Urm", "sh", "-c", "mount -t tmpfs none \"$0\" && exec \"$@\"", mem};
    if (unshare.isEmpty() || run(mount + QStringList{"/bin/true"}).exitCode != 0)
        GTEST_SKIP() << "no mount namespaces here";
    const Outcome o = run(mount + QStringList{kCrasher, "--base", base, "--zero-map", mem, "direct"});
    ASSERT_TRUE(o.ended);
    EXPECT_EQ(o.exitCode, 0) << o.output.toStdString();
    // One page of 4 KiB: 8 blocks before the dumps, and still after them.
    EXPECT_TRUE(o.output.contains("file blocks 8\n")) << o.output.toStdString();
    for (const QString &name : entries(base)) {
        struct stat st = {};
        ASSERT_EQ(stat(QFile::encodeName(base + QLatin1Char('/') + name).constData(), &st), 0);
        EXPECT_GT(st.st_size, 1 << 30);
        EXPECT_LT(st.st_blocks * 512, 256 << 20) << name.toStdString();
    }
}

// ---------------------------------------------------------------------------
// Called directly, and as the init process of a PID namespace.

TEST_F(DumpTest, CallingTheCallbackDirectlyDumpsAndTheProcessGoesOn)
{
    const Outcome o = crash({"--base", base, "--threads", "2", "direct"});
    ASSERT_TRUE(o.ended);
    EXPECT_FALSE(o.signaled);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_TRUE(o.output.contains("result 1\nresult 1\nalive\nsurvived\n")) << o.output.toStdString();
    // Two calls: two files, or one when both fell in the same millisecond.
    const QStringList names = entries(base);
    ASSERT_GE(names.size(), 1);
    ASSERT_LE(names.size(), 2);
    for (const QString &name : names)
        EXPECT_TRUE(isCore(base + QLatin1Char('/') + name));
    if (!haveGdb())
        GTEST_SKIP() << "gdb not installed";
    const GdbView v = gdb(kCrasher, base + QLatin1Char('/') + names.first());
    EXPECT_TRUE(v.inBacktrace("DmpHelper::callback")) << v.all.toStdString();
    EXPECT_TRUE(v.inBacktrace("vaskDirectDump")) << v.all.toStdString();
    EXPECT_EQ(v.threadCount(), 3) << v.all.toStdString();
}

// Each dump's helper stops every thread but its caller, so two dumps at once
// used to stop each other for good; they now take turns.
TEST_F(DumpTest, TwoDumpsAtOnceTakeTurnsAndBothComplete)
{
    const Outcome o = run({kCrasher, "--base", base, "direct2"}, {}, 20000);
    ASSERT_TRUE(o.ended) << "hung";
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_TRUE(o.output.contains("result 1\nresult 1\nalive\n")) << o.output.toStdString();
    // Taking turns, they can't share a millisecond: two files.
    const QStringList names = entries(base);
    ASSERT_EQ(names.size(), 2) << names.join(QLatin1Char(' ')).toStdString();
    QStringList sorted = names;
    sorted.sort();
    for (int i = 0; i < sorted.size(); ++i) {
        const QString core = base + QLatin1Char('/') + sorted.at(i);
        EXPECT_TRUE(isCore(core));
        if (!haveGdb())
            continue;
        const GdbView v = gdb(kCrasher, core);
        EXPECT_TRUE(v.inBacktrace("DmpHelper::callback")) << v.all.toStdString();
        // The first shows the other caller waiting its turn; that one may
        // have ended before the second.
        if (i == 0)
            EXPECT_EQ(v.threadCount(), 3) << v.all.toStdString();
        else
            EXPECT_GE(v.threadCount(), 2) << v.all.toStdString();
    }
}

TEST_F(DumpTest, ACrashDuringADirectDumpWaitsForItThenDumpsAndEnds)
{
    for (int round = 0; round < 2; ++round) {
        const QString folder = base + QStringLiteral("/round%1").arg(round);
        ASSERT_TRUE(QDir().mkpath(folder));
        const Outcome o = run({kCrasher, "--base", folder, "direct-crash"}, {}, 20000);
        ASSERT_TRUE(diedOf(o, SIGSEGV)) << "round " << round;
        // The direct dump, when it got there first, then the crash's; the
        // crash's last either way.
        QStringList names = entries(folder);
        ASSERT_GE(names.size(), 1);
        ASSERT_LE(names.size(), 2);
        names.sort();
        for (const QString &name : names)
            EXPECT_TRUE(isCore(folder + QLatin1Char('/') + name));
        if (round > 0 || !haveGdb())
            continue;
        const GdbView v = gdb(kCrasher, folder + QLatin1Char('/') + names.last());
        EXPECT_EQ(v.topFunction(), "vaskCrashNullWrite") << v.all.toStdString();
        // (The direct dump's thread may have ended before the crash's dump.)
        EXPECT_GE(v.threadCount(), 2) << v.all.toStdString();
    }
}

TEST_F(DumpTest, AsInitOfAPidNamespaceTheProcessStillEnds)
{
    const QString unshare = QStandardPaths::findExecutable("unshare");
    if (unshare.isEmpty() || run({unshare, "--pid", "--fork", "/bin/true"}).exitCode != 0)
        GTEST_SKIP() << "no PID namespaces here";
    // A signal the process sends itself is ignored by an init process; the
    // handler must end it anyway instead of returning into the program.
    const Outcome o = run({unshare, "--pid", "--fork", kCrasher, "--base", base, "raise-trap"});
    ASSERT_TRUE(o.ended);
    EXPECT_FALSE(o.output.contains("survived")) << o.output.toStdString();
    EXPECT_TRUE((o.signaled && o.signal == SIGTRAP) || o.exitCode == 128 + SIGTRAP)
        << "signal " << o.signal << " exit " << o.exitCode;
    EXPECT_TRUE(o.output.contains("pid 1\n")) << o.output.toStdString();
    onlyDump(base, o);
}

} // namespace
