// The core file itself, read back with a small ELF reader: this test
// process dumps itself by calling the callback directly, with memory laid
// out to probe holes, unreadable and shared mappings, and threads.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
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
    EXPECT_EQ(QByteArray(ps.pr_fname), vasktest::readFile("/proc/self/comm").trimmed());
    // The command line as ps shows it, cut to fit.
    EXPECT_EQ(QByteArray(ps.pr_psargs), vasktest::readFile("/proc/self/cmdline").replace('\0', ' ').trimmed().left(79));
    const QByteArray exe = QFile::encodeName(QFileInfo("/proc/self/exe").canonicalFilePath()) + '\0';
    for (const auto &n : core.notes)
        EXPECT_TRUE((n.first != NT_AUXV || n.second == vasktest::readFile("/proc/self/auxv"))
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
