// The core file itself, read back with a small ELF reader: this test process
// dumps itself by calling the callback directly, with memory laid out to
// probe holes, unreadable mappings, file mappings and threads.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "dmphelper.h"
#include "filehelper.h"
#include "testsupport.h"

namespace {

constexpr std::size_t kPage = 4096;
// Lives in the executable's writable data, which a dump writes after the
// threads' stacks.
volatile int gWritableData = 1;

struct Note {
    std::uint32_t type;
    std::string name;
    QByteArray desc;
};

// A core file mapped read-only: holes cost nothing to look at.
struct Core {
    const char *data = nullptr;
    std::size_t size = 0;
    Elf64_Ehdr eh = {};
    std::vector<Elf64_Phdr> ph;
    std::vector<Note> notes;

    Core() = default;
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;
    ~Core()
    {
        if (data)
            munmap(const_cast<char *>(data), size);
    }

    bool load(const QString &path)
    {
        const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat st = {};
        fstat(fd, &st);
        size = std::size_t(st.st_size);
        void *p = size >= sizeof eh ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
        close(fd);
        if (p == MAP_FAILED)
            return false;
        data = static_cast<const char *>(p);
        std::memcpy(&eh, data, sizeof eh);
        if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_phentsize != sizeof(Elf64_Phdr))
            return false;
        std::size_t count = eh.e_phnum;
        if (count == PN_XNUM) {
            Elf64_Shdr sh;
            std::memcpy(&sh, data + eh.e_shoff, sizeof sh);
            count = sh.sh_info;
        }
        if (eh.e_phoff + count * sizeof(Elf64_Phdr) > size)
            return false;
        ph.resize(count);
        std::memcpy(ph.data(), data + eh.e_phoff, count * sizeof(Elf64_Phdr));
        for (const Elf64_Phdr &p : ph) {
            if (p.p_type != PT_NOTE || p.p_offset + p.p_filesz > size)
                continue;
            std::size_t at = p.p_offset;
            const std::size_t end = p.p_offset + p.p_filesz;
            while (at + sizeof(Elf64_Nhdr) <= end) {
                Elf64_Nhdr nh;
                std::memcpy(&nh, data + at, sizeof nh);
                at += sizeof nh;
                Note n;
                n.type = nh.n_type;
                n.name = std::string(data + at, nh.n_namesz ? nh.n_namesz - 1 : 0);
                at += (nh.n_namesz + 3) & ~3u;
                if (at + nh.n_descsz > end)
                    break;
                n.desc = QByteArray(data + at, int(nh.n_descsz));
                at += (nh.n_descsz + 3) & ~3u;
                notes.push_back(n);
            }
        }
        return true;
    }

    const Elf64_Phdr *load(const void *address) const
    {
        const auto a = reinterpret_cast<std::uint64_t>(address);
        for (const Elf64_Phdr &p : ph)
            if (p.p_type == PT_LOAD && p.p_vaddr <= a && a < p.p_vaddr + p.p_memsz)
                return &p;
        return nullptr;
    }

    // Reads process memory as the dump holds it; holes read as zeros.
    QByteArray read(const void *address, std::size_t count) const
    {
        const Elf64_Phdr *p = load(address);
        if (!p)
            return QByteArray();
        const std::uint64_t off = reinterpret_cast<std::uint64_t>(address) - p->p_vaddr;
        if (off + count > p->p_filesz || p->p_offset + off + count > size)
            return QByteArray();
        return QByteArray(data + p->p_offset + off, int(count));
    }

    std::vector<const Note *> all(std::uint32_t type) const
    {
        std::vector<const Note *> out;
        for (const Note &n : notes)
            if (n.type == type)
                out.push_back(&n);
        return out;
    }
};

QByteArray readProcFile(const char *path)
{
    QFile f(QString::fromLatin1(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int threadsNow()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

class CoreFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        FileHelper::setBaseDirPath(dir.path());
    }

    // Calls the callback and returns the one dump it wrote.
    QString dumpNow(EXCEPTION_POINTERS *record = nullptr)
    {
        EXPECT_EQ(DmpHelper::callback(record), 1);
        const QStringList names = QDir(dir.path()).entryList(QDir::Files);
        EXPECT_EQ(names.size(), 1);
        return names.isEmpty() ? QString() : dir.path() + QLatin1Char('/') + names.first();
    }

    vasktest::BaseDirGuard guard;
    QTemporaryDir dir;
};

TEST_F(CoreFileTest, HoldsEveryThreadTheProcessNotesAndEveryMappingInOrder)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&stop] {
            while (!stop.load())
                usleep(1000);
        });
    const int expectedThreads = threadsNow();
    const QString path = dumpNow();
    stop.store(true);
    for (std::thread &t : threads)
        t.join();

    Core core;
    ASSERT_TRUE(core.load(path));
    EXPECT_EQ(core.eh.e_type, ET_CORE);
    EXPECT_EQ(core.eh.e_machine, EM_X86_64);
    ASSERT_FALSE(core.ph.empty());
    EXPECT_EQ(core.ph[0].p_type, PT_NOTE);

    // One status per thread, the caller's first.
    const auto status = core.all(NT_PRSTATUS);
    ASSERT_EQ(int(status.size()), expectedThreads);
    elf_prstatus first;
    ASSERT_EQ(status[0]->desc.size(), int(sizeof first));
    std::memcpy(&first, status[0]->desc.constData(), sizeof first);
    EXPECT_EQ(first.pr_pid, pid_t(syscall(SYS_gettid)));
    EXPECT_EQ(first.pr_ppid, getppid());
    // The caller's stack pointer lies in the dumped stack of this thread.
    const auto &regs = *reinterpret_cast<const user_regs_struct *>(&first.pr_reg);
    int local = 0;
    const auto here = reinterpret_cast<std::uint64_t>(&local);
    EXPECT_LT(regs.rsp, here);
    EXPECT_GT(regs.rsp + 64 * 1024, here);
    EXPECT_EQ(core.all(NT_PRFPREG).size(), status.size());

    const auto psinfo = core.all(NT_PRPSINFO);
    ASSERT_EQ(psinfo.size(), 1u);
    elf_prpsinfo ps;
    std::memcpy(&ps, psinfo[0]->desc.constData(), sizeof ps);
    EXPECT_EQ(ps.pr_pid, getpid());
    EXPECT_EQ(std::string(ps.pr_fname), readProcFile("/proc/self/comm").trimmed().toStdString());

    const auto auxv = core.all(NT_AUXV);
    ASSERT_EQ(auxv.size(), 1u);
    EXPECT_EQ(auxv[0]->desc, readProcFile("/proc/self/auxv"));
    EXPECT_EQ(core.all(NT_SIGINFO).size(), 1u);

    // NT_FILE names this very executable.
    const auto files = core.all(NT_FILE);
    ASSERT_EQ(files.size(), 1u);
    const QByteArray exe = QFile::encodeName(QFileInfo("/proc/self/exe").canonicalFilePath());
    EXPECT_TRUE(files[0]->desc.contains(exe + '\0'));

    // Loads sorted by address, page aligned, inside the file, never
    // overlapping there; this thread's stack is the first one written.
    std::uint64_t lastEnd = 0;
    std::map<std::uint64_t, std::uint64_t> fileRanges; // offset -> end
    const Elf64_Phdr *stack = nullptr, *data = nullptr;
    const auto dataAddress = reinterpret_cast<std::uint64_t>(&gWritableData);
    for (const Elf64_Phdr &p : core.ph) {
        if (p.p_type != PT_LOAD)
            continue;
        EXPECT_GE(p.p_vaddr, lastEnd);
        EXPECT_EQ(p.p_offset % kPage, 0u);
        EXPECT_LE(p.p_filesz, p.p_memsz);
        EXPECT_LE(p.p_offset + p.p_filesz, std::uint64_t(core.size));
        if (p.p_filesz)
            fileRanges[p.p_offset] = p.p_offset + p.p_filesz;
        if (regs.rsp >= p.p_vaddr && regs.rsp < p.p_vaddr + p.p_memsz)
            stack = &p;
        if (dataAddress >= p.p_vaddr && dataAddress < p.p_vaddr + p.p_memsz)
            data = &p;
        lastEnd = p.p_vaddr + p.p_memsz;
    }
    std::uint64_t lastFileEnd = 0;
    for (const auto &range : fileRanges) {
        EXPECT_GE(range.first, lastFileEnd);
        lastFileEnd = range.second;
    }
    ASSERT_NE(stack, nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_LT(stack->p_offset, data->p_offset);

    struct stat st = {};
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CoreFileTest, UntouchedMemoryIsAHoleAndUnreadableMemoryIsOnlyRecorded)
{
    // 1 GiB reserved, never touched.
    const std::size_t reservedSize = std::size_t(1) << 30;
    void *reserved = mmap(nullptr, reservedSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    // 64 MiB with every 16th page written.
    const std::size_t sparseSize = 64 << 20;
    auto *sparse = static_cast<unsigned char *>(
        mmap(nullptr, sparseSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(static_cast<void *>(sparse), MAP_FAILED);
    for (std::size_t page = 0; page < sparseSize / kPage; page += 16)
        std::memset(sparse + page * kPage, int(1 + page % 250), kPage);
    // Written, then made unreadable.
    auto *hidden = static_cast<unsigned char *>(
        mmap(nullptr, 16 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(static_cast<void *>(hidden), MAP_FAILED);
    std::memset(hidden, 0x5a, 16 * kPage);
    ASSERT_EQ(mprotect(hidden, 16 * kPage, PROT_NONE), 0);

    const QString path = dumpNow();
    Core core;
    ASSERT_TRUE(core.load(path));

    // (The kernel may have merged the reservation with a neighbour.)
    const Elf64_Phdr *r = core.load(reserved);
    ASSERT_NE(r, nullptr);
    EXPECT_LE(r->p_vaddr, reinterpret_cast<std::uint64_t>(reserved));
    EXPECT_GE(r->p_vaddr + r->p_memsz, reinterpret_cast<std::uint64_t>(reserved) + reservedSize);
    EXPECT_EQ(r->p_flags, std::uint32_t(PF_R | PF_W));
    const unsigned char *last = static_cast<unsigned char *>(reserved) + reservedSize - kPage;
    EXPECT_EQ(core.read(reserved, kPage), QByteArray(int(kPage), '\0'));
    EXPECT_EQ(core.read(last, kPage), QByteArray(int(kPage), '\0'));

    for (std::size_t page = 0; page < sparseSize / kPage; page += 8) {
        const char want = page % 16 == 0 ? char(1 + page % 250) : '\0';
        ASSERT_EQ(core.read(sparse + page * kPage, kPage), QByteArray(int(kPage), want)) << "page " << page;
    }

    const Elf64_Phdr *h = core.load(hidden);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->p_filesz, 0u);
    EXPECT_EQ(h->p_memsz, 16 * kPage);
    EXPECT_EQ(h->p_flags, 0u);

    // The untouched gigabyte and the untouched sparse pages take no disk.
    struct stat st = {};
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    const long long onDisk = static_cast<long long>(st.st_blocks) * 512;
    EXPECT_GT(st.st_size, static_cast<off_t>(reservedSize));
    EXPECT_LT(onDisk, st.st_size - static_cast<long long>(reservedSize) - (48 << 20));

    munmap(reserved, reservedSize);
    munmap(sparse, sparseSize);
    munmap(hidden, 16 * kPage);
}

// Shared memory in kB, as /proc/self/status counts it.
long rssShmemKb()
{
    for (const QByteArray &line : readProcFile("/proc/self/status").split('\n'))
        if (line.startsWith("RssShmem:"))
            return line.mid(9).trimmed().split(' ').first().toLong();
    return -1;
}

TEST_F(CoreFileTest, SharedMemoryKeepsItsPagesAndUntouchedPagesStayHolesUnallocated)
{
    // 256 MiB shared anonymous memory with one page written.
    const std::size_t sharedSize = 256 << 20;
    auto *shared = static_cast<unsigned char *>(
        mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(static_cast<void *>(shared), MAP_FAILED);
    std::memset(shared + 5 * kPage, 0x77, kPage);
    // A memfd whose one page was written with write() and never touched
    // through the mapping: our page tables don't know it.
    const int fd = memfd_create("vask-dump-test", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 64 * kPage), 0);
    char bytes[kPage];
    std::memset(bytes, 0x33, kPage);
    ASSERT_EQ(pwrite(fd, bytes, kPage, 3 * kPage), ssize_t(kPage));
    const QByteArray page(bytes, int(kPage));
    void *mapped = mmap(nullptr, 64 * kPage, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const auto *memfd = static_cast<const unsigned char *>(mapped);

    const long before = rssShmemKb();
    const QString path = dumpNow();
    const long after = rssShmemKb();
    ASSERT_GE(before, 0);
    EXPECT_LT(after - before, 1024) << "the dump allocated shared memory";

    Core core;
    ASSERT_TRUE(core.load(path));
    EXPECT_EQ(core.read(shared + 5 * kPage, kPage), QByteArray(int(kPage), '\x77'));
    EXPECT_EQ(core.read(shared, kPage), QByteArray(int(kPage), '\0'));
    EXPECT_EQ(core.read(shared + sharedSize - kPage, kPage), QByteArray(int(kPage), '\0'));
    EXPECT_EQ(core.read(memfd + 3 * kPage, kPage), page);
    EXPECT_EQ(core.read(memfd, kPage), QByteArray(int(kPage), '\0'));

    struct stat st = {};
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
    const long long onDisk = static_cast<long long>(st.st_blocks) * 512;
    EXPECT_LT(onDisk, st.st_size - static_cast<long long>(sharedSize) + (16 << 20));

    munmap(shared, sharedSize);
    munmap(mapped, 64 * kPage);
    close(fd);
}

TEST_F(CoreFileTest, ARecordWithoutContextDumpsTheCallerWithItsSignal)
{
    siginfo_t info = {};
    info.si_signo = SIGUSR2;
    info.si_code = SI_USER;
    EXCEPTION_POINTERS record = {SIGUSR2, &info, nullptr};
    Core core;
    ASSERT_TRUE(core.load(dumpNow(&record)));
    const auto status = core.all(NT_PRSTATUS);
    ASSERT_FALSE(status.empty());
    elf_prstatus first;
    std::memcpy(&first, status[0]->desc.constData(), sizeof first);
    EXPECT_EQ(first.pr_cursig, SIGUSR2);
    EXPECT_EQ(first.pr_pid, pid_t(syscall(SYS_gettid)));
    const auto si = core.all(NT_SIGINFO);
    ASSERT_EQ(si.size(), 1u);
    siginfo_t written;
    std::memcpy(&written, si[0]->desc.constData(), sizeof written);
    EXPECT_EQ(written.si_signo, SIGUSR2);
    EXPECT_EQ(written.si_code, SI_USER);
}

TEST_F(CoreFileTest, BaseDirectoryIsUsedAsStoredWhateverItsCharacters)
{
    // Non-ASCII, a character outside the BMP (a surrogate pair in UTF-16),
    // and a trailing slash that doubles the separator.
    const QString base = dir.path() + "/d\u00fcmp \u2713 \U0001D11E/";
    ASSERT_TRUE(QDir().mkpath(base));
    FileHelper::setBaseDirPath(base);
    EXPECT_EQ(DmpHelper::callback(nullptr), 1);
    const QStringList names = QDir(base).entryList(QDir::Files);
    ASSERT_EQ(names.size(), 1);
    EXPECT_TRUE(names.first().startsWith("vask_"));
    EXPECT_TRUE(names.first().endsWith(".dmp"));
}

// The crash path reads its own copy of the base directory, so a host
// thread replacing it meanwhile never makes a dump go to a torn path (which
// would not exist here: every dump would be lost).
TEST_F(CoreFileTest, BaseDirectoryReplacedDuringDumpsIsNeverReadTorn)
{
    const QString shortDir = dir.path() + "/a", longDir = dir.path() + "/" + QString(200, QLatin1Char('b'));
    ASSERT_TRUE(QDir().mkpath(shortDir) && QDir().mkpath(longDir));
    FileHelper::setBaseDirPath(shortDir);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i)
            FileHelper::setBaseDirPath(i % 2 ? shortDir : longDir);
    });
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(DmpHelper::callback(nullptr), 1);
    stop.store(true);
    writer.join();
    EXPECT_EQ(QDir(shortDir).entryList(QDir::Files).size() + QDir(longDir).entryList(QDir::Files).size(), 5);
}

TEST_F(CoreFileTest, NothingIsWrittenWhereNoFileCanBeCreated)
{
    const QString missing = dir.path() + "/missing";
    FileHelper::setBaseDirPath(missing);
    EXPECT_EQ(DmpHelper::callback(nullptr), 1);
    EXPECT_FALSE(QFileInfo::exists(missing));

    // A base directory that is a file.
    const QString file = dir.path() + "/plain";
    ASSERT_TRUE(vasktest::writeFile(file, "x"));
    FileHelper::setBaseDirPath(file);
    EXPECT_EQ(DmpHelper::callback(nullptr), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"plain"});
}

TEST(DmpHelperTest, AssignmentCopiesNothingAndReturnsTheTarget)
{
    DmpHelper a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_EQ(&(a = std::move(b)), &a);
}

} // namespace
