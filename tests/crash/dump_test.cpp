// Crash dumps of real processes: dump_crasher runs the steps it is given, and
// each case says how it must end, where its dumps must land (and nowhere
// else), and what gdb must read from the last of them. Then the core file
// itself, read back with a small ELF reader: this test process dumps itself
// by calling the callback directly, with memory laid out to probe holes,
// unreadable and shared mappings, and threads.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "deny.h"
#include "dmphelper.h"
#include "filehelper.h"
#include "testsupport.h"

namespace {

const QString kCrasher = QStringLiteral(VASK_CRASHER);
constexpr long long kOldSize = 64LL << 30; // a sparse old dump of ours
// An alternate signal stack this small must be enough for the whole crash
// path, the kernel's signal frame included (dmphelper.h).
constexpr int kSmallestAltStack = 6 * 1024;

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
                const auto ms = QRegularExpression("^vask_([1-9]\\d*)\\.dmp$").match(name).captured(1).toLongLong();
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
    const int used = painted.size() - int(painted.lastIndexOf(QByteArray(64, '\xa5'))) - 64;
    EXPECT_TRUE(!QString(c.steps).contains("altstack") || used <= kSmallestAltStack) << "used " << used << " bytes";

    cores.sort();
    const auto v = gdb(cores.last());
    const std::string all = (o.output + v[""]).toStdString();
    EXPECT_TRUE(!*c.top || v["info symbol $pc"].startsWith(QString(c.top) + ' ')) << all;
    int threads = 0;
    for (const QString &line : v["info threads"].split('\n'))
        threads += line.contains(QRegularExpression("^\\*?\\s+\\d+\\s+(Thread|LWP) ")) && !line.contains("registers");
    EXPECT_TRUE(c.threads == 0 || threads == c.threads) << threads << " threads:\n" << all;
    EXPECT_TRUE(v["info sharedlibrary"].contains(QStringLiteral("libQt%1Core.so").arg(QT_VERSION_MAJOR))) << all;
    for (const QString &s : QString(c.says).split('|', Qt::SkipEmptyParts))
        EXPECT_TRUE(o.output.contains(s) || v[""].contains(s)) << s.toStdString() << ":\n" << all;
    EXPECT_TRUE(c.signal <= 0
                || (v["p $_siginfo.si_signo"].contains(QStringLiteral("= %1").arg(c.signal))
                    && v[""].contains(QStringLiteral("terminated with signal SIG") + sigabbrev_np(c.signal)))) << all;
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
    Case{"WithoutPtraceTheFaultingThreadAlone", "base={base} setup threads=2 noptrace fault=s", SIGSEGV, "base",
         "vaskFault"},

    // (How it ends is not ours to say: AddressSanitizer's handler exits.)
    Case{"WithoutSetupNothing", "base={base} fault=s", -1, ""},
    // Where the dump goes, and what is already there.
    // A handler of the host's own is dropped; setup twice is setup once.
    Case{"BaseSetAfterSetup", "base={base} prior setup setup base={dir}/later fault=s", SIGSEGV, "later", "vaskFault"},
    Case{"BesideTheExecutableWithoutBase", "setup fault=s", SIGSEGV, "bin", "vaskFault"},
    Case{"BaseMissing", "base={dir}/missing setup fault=s", SIGSEGV, ""},
    Case{"SymbolicLinks", "base={base} setup fault=s", SIGSEGV, "", "", 1, "", 1, "link"},
    Case{"Fifos", "base={base} setup fault=s", SIGSEGV, "", "", 1, "", 1, "fifo"},
    Case{"HardLinks", "base={base} setup fault=s", SIGSEGV, "", "", 1, "", 1, "hardlink"},
    Case{"FilesOfAnotherUser", "base={base} setup fault=s", SIGSEGV, "", "", 1, "", 1, "foreign"},
    // An old dump of ours is replaced and made private, cut to nothing
    // first: when the disk fills up the dump stays visibly short.
    Case{"OldDumpOfOursReplaced", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "ours"},
    Case{"DiskFullOverAnOldDump", "base={base} setup threads=2 fsize=20000000 fault=s", SIGSEGV, "base", "vaskFault",
         3, "extending past end of file", 1, "ours", "", true},
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
    // Called directly, the process goes on; two calls in one millisecond
    // would share a file.
    Case{"DirectCalls", "base={base} setup threads=2 direct direct", 0, "base", "", 3,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (|::runSteps (", -2},
    // Two at once take turns (they used to stop each other for good), so
    // they can't share a millisecond.
    Case{"TwoDirectCallsAtOnce", "base={base} setup together", 0, "base", "", 0,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (", 2},
    // A crash waits for a direct dump, then dumps last; no direct dump
    // starts after it.
    Case{"CrashDuringADirectCall", "base={base} setup racecrash", SIGSEGV, "base", "vaskFault", 0, "", -2, "", "",
         false, 2},
    // As init of a PID namespace its own signal is ignored: it must end anyway.
    Case{"InitOfAPidNamespace", "base={base} setup abort", SIGABRT, "base", "", 1, "pid 1\n", 1, "", "pidns"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The core file, in process.

constexpr std::size_t kPage = 4096;
volatile int gWritableData = 1; // the executable's data, written after the threads' stacks

// A core file: its program headers and notes, and memory read through them.
struct Core {
    int fd;
    std::vector<Elf64_Phdr> ph;
    std::vector<std::pair<std::uint32_t, QByteArray>> notes;

    explicit Core(const QString &path) : fd(open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
    {
        Elf64_Ehdr eh = {};
        ph.resize(pread(fd, &eh, sizeof eh, 0) == sizeof eh ? eh.e_phnum : 0);
        if (ph.empty() || pread(fd, ph.data(), ph.size() * sizeof ph[0], off_t(eh.e_phoff)) <= 0)
            return;
        QByteArray all(int(ph[0].p_type == PT_NOTE ? ph[0].p_filesz : 0), '\0');
        (void)!pread(fd, all.data(), std::size_t(all.size()), off_t(ph[0].p_offset));
        for (int at = 0; at + int(sizeof(Elf64_Nhdr)) <= all.size();) {
            Elf64_Nhdr nh;
            std::memcpy(&nh, all.constData() + at, sizeof nh);
            at += int(sizeof nh + ((nh.n_namesz + 3) & ~3u));
            notes.emplace_back(nh.n_type, all.mid(at, int(nh.n_descsz)));
            at += int((nh.n_descsz + 3) & ~3u);
        }
    }
    ~Core() { close(fd); }

    // The load holding an address (loads follow the note, in address order).
    const Elf64_Phdr *load(const void *address) const
    {
        const auto a = reinterpret_cast<std::uint64_t>(address);
        const auto next = std::upper_bound(ph.begin() + std::min<std::ptrdiff_t>(1, std::ptrdiff_t(ph.size())), ph.end(),
                                           a, [](auto v, auto &h) { return v < h.p_vaddr; });
        const Elf64_Phdr *p = next - ph.begin() >= 2 ? &*(next - 1) : nullptr; // a load at or below the address
        return p && p->p_type == PT_LOAD && a < p->p_vaddr + p->p_memsz ? p : nullptr;
    }
    off_t offset(const void *address) const
    {
        const Elf64_Phdr *p = load(address);
        return p ? off_t(p->p_offset + (reinterpret_cast<std::uint64_t>(address) - p->p_vaddr)) : -1;
    }
    QByteArray read(const void *address, std::size_t n) const
    {
        std::vector<char> bytes(n);
        return pread(fd, bytes.data(), n, offset(address)) == ssize_t(n) ? QByteArray(bytes.data(), int(n)) : QByteArray();
    }
    // Nothing of [address, address + n) is on disk: a hole in the file.
    bool hole(const void *address, std::size_t n) const
    {
        const off_t data = lseek(fd, offset(address), SEEK_DATA);
        return offset(address) >= 0 && (data >= offset(address) + off_t(n) || (data < 0 && errno == ENXIO));
    }
    template <typename T> T first(std::uint32_t type) const
    {
        T t = {};
        for (auto n = notes.rbegin(); n != notes.rend(); ++n)
            if (n->first == type && n->second.size() == int(sizeof t))
                std::memcpy(&t, n->second.constData(), sizeof t);
        return t;
    }
};

// Where each mapping of this process starts, in address order, appended to
// `starts` (reserved by the caller) without allocating: the reading itself
// maps and unmaps nothing around the dumps.
void mappingStarts(std::vector<std::uint64_t> &starts)
{
    static char text[1 << 24];
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    std::size_t n = 0;
    for (ssize_t r; (r = read(fd, text + n, sizeof text - n)) > 0;)
        n += std::size_t(r);
    close(fd);
    for (const char *at = text, *end = text + n; at < end;) {
        starts.push_back(std::strtoull(at, nullptr, 16));
        at = static_cast<const char *>(std::memchr(at, '\n', std::size_t(end - at))) + 1;
    }
}

char *map(std::size_t size, int flags, int fd = -1, int prot = PROT_READ | PROT_WRITE)
{
    void *p = mmap(nullptr, size, prot, flags, fd, 0);
    EXPECT_NE(p, MAP_FAILED);
    return static_cast<char *>(p);
}

TEST(CoreFileTest, HoldsEveryThreadTheNotesInOrderAndMemoryAsTheProcessHasIt)
{
    vasktest::BaseDirGuard guard;
    QTemporaryDir dir;
    const QString a = dir.path() + "/a";
    const QString b = dir.path() + "/d\u00fcmp \u2713 \U0001D11E " + QString(200, 'b') + "/"; // and "//vask_"
    ASSERT_TRUE(QDir().mkpath(a) && QDir().mkpath(b));
    // Memory that holds nothing must cost nothing: 1 GiB never touched, 64
    // MiB with every 16th page written, 1 GiB of private /dev/zero with one
    // page written; and memory of no process, where reading an unheld page
    // would allocate it: 256 MiB shared with one page written, a memfd with
    // one page written by write() that our page tables don't know.
    const std::size_t gib = std::size_t(1) << 30, sparseSize = 64 << 20, sharedSize = 256 << 20;
    const int memFd = memfd_create("vask-dump-test", MFD_CLOEXEC);
    const std::vector<char> bytes(kPage, '\x33');
    const QByteArray page(bytes.data(), int(kPage));
    ASSERT_TRUE(ftruncate(memFd, 64 * kPage) == 0 && pwrite(memFd, bytes.data(), kPage, 3 * kPage) == ssize_t(kPage));
    char *reserved = map(gib, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE);
    char *sparse = map(sparseSize, MAP_PRIVATE | MAP_ANONYMOUS);
    char *zero = map(gib, MAP_PRIVATE, open("/dev/zero", O_RDWR | O_CLOEXEC));
    char *shared = map(sharedSize, MAP_SHARED | MAP_ANONYMOUS);
    char *memfd = map(64 * kPage, MAP_SHARED, memFd, PROT_READ);
    char *hidden = map(16 * kPage, MAP_PRIVATE | MAP_ANONYMOUS); // written, then made unreadable
    // More mappings than one 1 MiB read of /proc/self/maps lists: 40000
    // pages, every other one read-only.
    char *many = map(40000 * kPage, MAP_PRIVATE | MAP_ANONYMOUS);
    for (std::size_t i = 0; i < 40000; i += 2)
        ASSERT_EQ(mprotect(many + i * kPage, kPage, PROT_READ), 0);
    for (std::size_t i = 0; i < sparseSize / kPage; i += 16)
        std::memset(sparse + i * kPage, int(1 + i % 250), kPage);
    zero[5 * kPage] = 1;
    std::memset(shared + 5 * kPage, 0x77, kPage);
    std::memset(hidden, 0x5a, 16 * kPage);
    ASSERT_EQ(mprotect(hidden, 16 * kPage, PROT_NONE), 0);

    // Another thread keeps replacing the base directory: the crash path
    // reads its own copy, never a torn path (which would not exist, and the
    // dump would be lost).
    FileHelper::setBaseDirPath(a);
    std::atomic<bool> stop{false};
    std::thread other([&] {
        for (int i = 0; !stop.load(); ++i)
            FileHelper::setBaseDirPath(i % 2 ? a : b);
    });
    const int threads = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    std::vector<std::uint64_t> before, after;
    before.reserve(1 << 17), after.reserve(1 << 17);
    mappingStarts(before);
    // A record without context: the caller's registers, with its signal.
    siginfo_t info = {};
    info.si_signo = SIGUSR2;
    info.si_code = SI_USER;
    EXCEPTION_POINTERS record = {SIGUSR2, &info, nullptr};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(DmpHelper::callback(&record), 1);
    int local = 0;
    stop.store(true);
    other.join();
    const QStringList names = QDir(a).entryList(QDir::Files) + QDir(b).entryList(QDir::Files);
    ASSERT_EQ(names.size(), 4);
    const Core core((QFileInfo::exists(a + '/' + names.first()) ? a + '/' : b) + names.first());

    // The kernel's order: the caller's status first, the process notes,
    // then its FP registers and every other thread's status and registers.
    std::vector<std::uint32_t> types = {NT_PRSTATUS, NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE, NT_PRFPREG}, seen;
    for (int i = 1; i < threads; ++i)
        types.insert(types.end(), {NT_PRSTATUS, NT_PRFPREG});
    for (const auto &n : core.notes)
        seen.push_back(n.first);
    EXPECT_EQ(seen, types);
    const auto status = core.first<elf_prstatus>(NT_PRSTATUS);
    const auto ps = core.first<elf_prpsinfo>(NT_PRPSINFO);
    const auto si = core.first<siginfo_t>(NT_SIGINFO);
    const std::uint64_t rsp = reinterpret_cast<const user_regs_struct *>(&status.pr_reg)->rsp;
    EXPECT_TRUE(status.pr_pid == pid_t(syscall(SYS_gettid)) && status.pr_ppid == getppid() && ps.pr_pid == getpid()
                && status.pr_cursig == SIGUSR2 && si.si_signo == SIGUSR2 && si.si_code == SI_USER);
    EXPECT_TRUE(rsp < std::uint64_t(&local) && rsp + 64 * 1024 > std::uint64_t(&local));
    EXPECT_EQ(QByteArray(ps.pr_fname), head("/proc/self/comm").trimmed());
    const QByteArray exe = QFile::encodeName(QFileInfo("/proc/self/exe").canonicalFilePath()) + '\0';
    for (const auto &n : core.notes)
        EXPECT_TRUE((n.first != NT_AUXV || n.second == head("/proc/self/auxv"))
                    && (n.first != NT_FILE || n.second.contains(exe)));

    // Loads in address order, page aligned, inside the file; this thread's
    // stack written before the rest.
    std::uint64_t lastEnd = 0;
    const off_t size = lseek(core.fd, 0, SEEK_END);
    for (const Elf64_Phdr &p : core.ph) {
        EXPECT_TRUE(p.p_type != PT_LOAD
                    || (p.p_vaddr >= lastEnd && p.p_offset % kPage == 0 && p.p_filesz <= p.p_memsz
                        && p.p_offset + p.p_filesz <= std::uint64_t(size))) << std::hex << p.p_vaddr;
        lastEnd = p.p_type == PT_LOAD ? p.p_vaddr + p.p_memsz : 0;
    }
    EXPECT_LT(core.offset(&local), core.offset(const_cast<int *>(&gWritableData)));
    // Every mapping there before and after the dumps, the first included
    // (another thread's allocator may unmap a block it freed in between).
    mappingStarts(after);
    for (const std::uint64_t start : before)
        EXPECT_TRUE(!std::binary_search(after.begin(), after.end(), start)
                    || core.load(reinterpret_cast<void *>(start))) << std::hex << start;

    // Again where the kernel has no PAGEMAP_SCAN (before 6.7): touched pages
    // then come from /proc/self/pagemap.
    FileHelper::setBaseDirPath(dir.path());
    ASSERT_TRUE(denySyscall(__NR_ioctl, 1, _IOWR('f', 16, char[96]), ENOTTY));
    EXPECT_EQ(DmpHelper::callback(nullptr), 1);
    const Core scanless(dir.path() + '/' + QDir(dir.path()).entryList({"vask_*"}, QDir::Files).value(0));
    for (const Core *k : {&core, &scanless}) {
        EXPECT_TRUE(k->hole(reserved, gib) && k->load(reserved)->p_flags == (PF_R | PF_W));
        for (std::size_t i = 0; i < sparseSize / kPage; i += 8)
            EXPECT_TRUE(i % 16 ? k->hole(sparse + i * kPage, kPage)
                               : k->read(sparse + i * kPage, kPage) == QByteArray(int(kPage), char(1 + i % 250))) << i;
        EXPECT_TRUE(k->hole(zero, 5 * kPage) && k->hole(zero + 6 * kPage, gib - 6 * kPage));
        EXPECT_EQ(k->read(zero + 5 * kPage, 1), QByteArray(1, '\1'));
        EXPECT_TRUE(k->hole(shared, 5 * kPage) && k->hole(shared + 6 * kPage, sharedSize - 6 * kPage));
        EXPECT_EQ(k->read(shared + 5 * kPage, kPage), QByteArray(int(kPage), '\x77'));
        EXPECT_TRUE(k->hole(memfd, 3 * kPage) && k->read(memfd + 3 * kPage, kPage) == page);
        const Elf64_Phdr *h = k->load(hidden);
        EXPECT_TRUE(h && h->p_filesz == 0 && h->p_memsz == 16 * kPage && h->p_flags == 0);
    }
}

} // namespace
