// Crash dumps on Linux: the fatal-signal handler and an ELF core writer.
//
// The dump is a core file as the kernel would write it (ELF ET_CORE, one
// PT_NOTE segment, one PT_LOAD per mapping), so gdb reads it with no help.
// Unlike the kernel's, it is written from inside the process, which is what
// makes it work where core_pattern is piped away or RLIMIT_CORE is 0.
//
// Who does what during a dump:
//   - the thread that faulted (or called writeCore) opens the file, reads its
//     own registers from the signal context, walks /proc/self/smaps, builds
//     the notes and writes every readable mapping straight from memory with
//     pwrite(): one copy into the page cache, and a page that vanished or
//     can't be read makes the call fail with EFAULT instead of faulting us;
//   - a helper process sharing our memory (clone with CLONE_VM, so nothing
//     is copied) traces every other thread with ptrace, which stops them for
//     the time of the dump and yields their registers. A process cannot
//     trace threads of its own thread group, hence the separate process.
// Untouched anonymous memory is left as holes, found with the PAGEMAP_SCAN
// ioctl (Linux 6.7) or /proc/self/pagemap, so reservations cost no disk;
// shared memory likewise, by mincore(), so a dump never allocates its pages.
// One dump runs at a time (DumpLock): two helpers would stop each other.
//
// Everything here may run inside a signal handler after a fault in malloc:
// raw system calls only (no errno, nothing that takes a lock), scratch memory
// from mmap, no stdio. The helper runs with our thread's TLS pointer, so it
// must not touch TLS either; raw system calls guarantee that.
#include "dump_linux.h"

#include <asm/prctl.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/procfs.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#if !defined(__x86_64__)
#error "the Linux crash dump writer knows x86-64 registers and system calls only"
#endif

namespace vask { namespace lx {

// ---------------------------------------------------------------------------
// Path text: plain code, safe anywhere.

void appendAscii(PathText &path, const char *text)
{
    const std::size_t n = std::strlen(text);
    if (path.overflow || path.length + n + 1 > sizeof path.text) {
        path.overflow = true;
        return;
    }
    std::memcpy(path.text + path.length, text, n);
    path.length += n;
    path.text[path.length] = '\0';
}

void appendUtf16(PathText &path, const char16_t *text, std::size_t count)
{
    for (std::size_t i = 0; i < count && !path.overflow; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        char out[5] = {};
        if (c < 0x80) {
            out[0] = char(c);
        } else if (c < 0x800) {
            out[0] = char(0xC0 | (c >> 6));
            out[1] = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[0] = char(0xE0 | (c >> 12));
            out[1] = char(0x80 | ((c >> 6) & 0x3F));
            out[2] = char(0x80 | (c & 0x3F));
        } else {
            out[0] = char(0xF0 | (c >> 18));
            out[1] = char(0x80 | ((c >> 12) & 0x3F));
            out[2] = char(0x80 | ((c >> 6) & 0x3F));
            out[3] = char(0x80 | (c & 0x3F));
        }
        // A NUL inside the base directory would cut the path short at open();
        // such a name can't exist on disk, so refuse it instead.
        if (c == 0)
            path.overflow = true;
        else
            appendAscii(path, out);
    }
}

void appendDecimal(PathText &path, long long value)
{
    char digits[24];
    int n = 0;
    unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                     : static_cast<unsigned long long>(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    char text[24];
    int k = 0;
    if (value < 0)
        text[k++] = '-';
    while (n > 0)
        text[k++] = digits[--n];
    text[k] = '\0';
    appendAscii(path, text);
}

namespace {

// ---------------------------------------------------------------------------
// Raw system calls. They return -errno and never touch errno, which lives in
// TLS; the helper process shares the faulting thread's TLS block.

inline long sys(long n, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0)
{
    long ret;
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return ret;
}

template <typename T> long arg(T *p) { return reinterpret_cast<long>(p); }

int openFile(const char *path, int flags, int mode = 0)
{
    long r;
    do
        r = sys(SYS_openat, AT_FDCWD, arg(path), flags, mode);
    while (r == -EINTR);
    return int(r);
}

void closeFile(int fd)
{
    sys(SYS_close, fd);
}

long readSome(int fd, void *buffer, std::size_t size)
{
    long r;
    do
        r = sys(SYS_read, fd, arg(buffer), long(size));
    while (r == -EINTR);
    return r;
}

// Reads a whole (small) /proc file; returns the length read, or -errno.
long readWhole(const char *path, char *buffer, std::size_t size)
{
    const int fd = openFile(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fd;
    std::size_t used = 0;
    while (used < size) {
        const long r = readSome(fd, buffer + used, size - used);
        if (r <= 0)
            break;
        used += std::size_t(r);
    }
    closeFile(fd);
    return long(used);
}

long long clockMilliseconds(int clock)
{
    struct timespec ts = {};
    sys(SYS_clock_gettime, clock, arg(&ts));
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMilliseconds(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    sys(SYS_nanosleep, arg(&ts), 0);
}

// Shared (not private) futexes: the helper is another process on the same mm.
void futexWait(std::atomic<int> &word, int expected, long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    sys(SYS_futex, arg(&word), FUTEX_WAIT, expected, arg(&ts));
}

void futexWake(std::atomic<int> &word)
{
    sys(SYS_futex, arg(&word), FUTEX_WAKE, 0x7fffffff);
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// The kernel's own sigaction layout, for SIG_DFL (no restorer needed then).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

void setDefaultAction(int signo)
{
    KernelSigaction action = {SIG_DFL, 0, nullptr, 0};
    sys(SYS_rt_sigaction, signo, arg(&action), 0, sizeof action.mask);
}

std::uint64_t signalBit(int signo)
{
    return std::uint64_t(1) << (signo - 1);
}

std::size_t formatUnsigned(char *out, unsigned long long v)
{
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}

// "/proc/<pid>/<leaf>" for the helper, which is not "self".
void procPath(char *out, int pid, const char *leaf)
{
    std::memcpy(out, "/proc/", 6);
    std::size_t n = 6 + formatUnsigned(out + 6, static_cast<unsigned long long>(pid));
    out[n++] = '/';
    std::strcpy(out + n, leaf);
}

std::uint64_t parseDecimal(const char *&p, const char *end);

// ---------------------------------------------------------------------------
// Scratch memory for one dump: one anonymous mapping, never touched beyond
// what a dump needs (MAP_NORESERVE), excluded from the dump itself.

constexpr std::uint64_t kPage = 4096;

struct ThreadRecord {
    int tid;
    bool seized;     // we trace it
    bool stopped;    // in a ptrace stop, to be detached
    bool haveRegs;   // regs hold its registers
    bool fpValid;
    int stopStatus;
    user_regs_struct regs;
    user_fpregs_struct fpregs;
};

enum Contents : std::uint8_t {
    NoContents,  // recorded, not read: unreadable, device, excluded
    Dense,       // every page written
    Sparse,      // only pages in memory or swap; the rest is a hole
    SharedSparse, // shared memory: only pages it holds (mincore) or swapped
};

struct Mapping {
    std::uint64_t start, end, fileOffset, inode;
    std::uint64_t residentKb; // Rss + Swap; ~0 when unknown
    std::uint64_t dumpOffset, dumpSize;
    std::uint32_t nameOffset, nameLength;
    std::uint32_t flags; // PF_R | PF_W | PF_X
    bool shared, dontDump, device;
    Contents contents;
};

// PAGEMAP_SCAN (Linux 6.7); declared here because older kernel headers lack it.
struct PmScanArg {
    std::uint64_t size, flags, start, end, walkEnd, vec, vecLen, maxPages;
    std::uint64_t categoryInverted, categoryMask, categoryAnyofMask, returnMask;
};
struct PageRegion {
    std::uint64_t start, end, categories;
};
constexpr unsigned long kPagemapScan = _IOWR('f', 16, PmScanArg);
constexpr std::uint64_t kPageIsPresent = 1 << 3;
constexpr std::uint64_t kPageIsSwapped = 1 << 4;
constexpr std::uint64_t kPageIsPfnZero = 1 << 5;

struct Workspace {
    // Words shared with the helper process.
    std::atomic<int> go{0};
    std::atomic<int> stopped{0};
    std::atomic<int> release{0};
    std::atomic<int> published{0};
    int pid = 0;
    int faultTid = 0;

    std::uintptr_t base = 0;
    std::size_t size = 0;

    char *helperStack = nullptr;
    std::size_t helperStackSize = 0;
    char *helperIo = nullptr;
    std::size_t helperIoSize = 0;
    ThreadRecord *threads = nullptr;
    std::size_t threadCapacity = 0;

    char *io = nullptr;
    std::size_t ioSize = 0;
    Mapping *maps = nullptr;
    std::size_t mapCapacity = 0, mapCount = 0;
    char *names = nullptr;
    std::size_t namesCapacity = 0, namesUsed = 0;
    std::uint8_t *notes = nullptr;
    std::size_t notesCapacity = 0, notesUsed = 0;
    Elf64_Phdr *phdrs = nullptr;
    PageRegion *regions = nullptr;
    std::size_t regionCapacity = 0;
    std::uint64_t *pagemap = nullptr;
    std::size_t pagemapCapacity = 0;
};

std::size_t alignUp(std::size_t v, std::size_t a)
{
    return (v + a - 1) / a * a;
}

// Sizes for up to `maps` mappings and `threads` threads. A process beyond
// that still gets a dump, cut to what fits.
std::size_t carve(std::size_t maps, std::size_t threads, Workspace *w)
{
    std::size_t at = alignUp(sizeof(Workspace), 64);
    auto take = [&](std::size_t bytes) {
        const std::size_t here = at;
        at = alignUp(at + bytes, 64);
        return here;
    };
    const std::size_t stackAt = take(128 * 1024);
    const std::size_t helperIoAt = take(32 * 1024);
    const std::size_t threadsAt = take(threads * sizeof(ThreadRecord));
    const std::size_t ioAt = take(1024 * 1024);
    const std::size_t mapsAt = take(maps * sizeof(Mapping));
    const std::size_t namesBytes = maps * 128;
    const std::size_t namesAt = take(namesBytes);
    // Notes: per thread a status and FP registers; NT_FILE lists at most
    // every mapping with its name; small fixed notes besides.
    const std::size_t notesBytes = (threads + 1) * (sizeof(elf_prstatus) + sizeof(user_fpregs_struct) + 64)
                                   + maps * 24 + namesBytes + 64 * 1024;
    const std::size_t notesAt = take(notesBytes);
    const std::size_t phdrsAt = take((maps + 1) * sizeof(Elf64_Phdr));
    const std::size_t regionCount = 4096;
    const std::size_t regionsAt = take(regionCount * sizeof(PageRegion));
    const std::size_t pagemapCount = 8192;
    const std::size_t pagemapAt = take(pagemapCount * sizeof(std::uint64_t));
    if (w) {
        char *b = reinterpret_cast<char *>(w->base);
        w->helperStack = b + stackAt;
        w->helperStackSize = 128 * 1024;
        w->helperIo = b + helperIoAt;
        w->helperIoSize = 32 * 1024;
        w->threads = reinterpret_cast<ThreadRecord *>(b + threadsAt);
        w->threadCapacity = threads;
        w->io = b + ioAt;
        w->ioSize = 1024 * 1024;
        w->maps = reinterpret_cast<Mapping *>(b + mapsAt);
        w->mapCapacity = maps;
        w->names = b + namesAt;
        w->namesCapacity = namesBytes;
        w->notes = reinterpret_cast<std::uint8_t *>(b + notesAt);
        w->notesCapacity = notesBytes;
        w->phdrs = reinterpret_cast<Elf64_Phdr *>(b + phdrsAt);
        w->regions = reinterpret_cast<PageRegion *>(b + regionsAt);
        w->regionCapacity = regionCount;
        w->pagemap = reinterpret_cast<std::uint64_t *>(b + pagemapAt);
        w->pagemapCapacity = pagemapCount;
    }
    return alignUp(at, kPage);
}

// How many mappings the kernel allows this process (vm.max_map_count).
std::size_t mapLimit()
{
    char text[32];
    const long n = readWhole("/proc/sys/vm/max_map_count", text, sizeof text - 1);
    const char *p = text;
    const std::uint64_t v = n > 0 ? parseDecimal(p, text + n) : 0;
    return v > 0 && v < (std::uint64_t(1) << 24) ? std::size_t(v) : 65530;
}

Workspace *createWorkspace()
{
    // Room for every mapping the kernel allows and 8192 threads; under
    // strict overcommit, where that much may be refused, a smaller one still
    // serves ordinary processes.
    const std::size_t shapes[][2] = {{mapLimit() + 64, 8192}, {16384, 1024}};
    for (const auto &shape : shapes) {
        const std::size_t size = carve(shape[0], shape[1], nullptr);
        const long p = sys(SYS_mmap, 0, long(size), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p < 0 && p > -4096)
            continue;
        // Its own VMA (never merged with a neighbour), and out of any
        // kernel core dump.
        sys(SYS_madvise, p, long(size), MADV_DONTDUMP);
        Workspace *w = new (reinterpret_cast<void *>(p)) Workspace;
        w->base = std::uintptr_t(p);
        w->size = size;
        carve(shape[0], shape[1], w);
        return w;
    }
    return nullptr;
}

void destroyWorkspace(Workspace *w)
{
    const std::uintptr_t base = w->base;
    const std::size_t size = w->size;
    w->~Workspace();
    sys(SYS_munmap, long(base), long(size));
}

// ---------------------------------------------------------------------------
// The helper process: stops and reads every thread but the faulting one.

struct LinuxDirent64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

int parseTid(const char *name)
{
    long v = 0;
    if (*name == '\0')
        return 0;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9' || v > 0x3fffffff)
            return 0;
        v = v * 10 + (*name - '0');
    }
    return int(v);
}

// Calls fn(tid) for every thread listed in `dirPath`; returns the count, or
// -1 when the folder can't be read.
template <typename Fn> long forEachTask(const char *dirPath, char *buffer, std::size_t size, Fn fn)
{
    const int dir = openFile(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    long count = 0;
    for (;;) {
        const long n = sys(SYS_getdents64, dir, arg(buffer), long(size));
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const auto *d = reinterpret_cast<const LinuxDirent64 *>(buffer + at);
            at += d->reclen;
            const int tid = parseTid(d->name);
            if (tid > 0) {
                ++count;
                fn(tid);
            }
        }
    }
    closeFile(dir);
    return count;
}

bool readRegisters(ThreadRecord &t)
{
    struct iovec iov = {&t.regs, sizeof t.regs};
    if (sys(SYS_ptrace, PTRACE_GETREGSET, t.tid, NT_PRSTATUS, arg(&iov)) != 0)
        return false;
    struct iovec fp = {&t.fpregs, sizeof t.fpregs};
    t.fpValid = sys(SYS_ptrace, PTRACE_GETREGSET, t.tid, NT_PRFPREG, arg(&fp)) == 0;
    return true;
}

void seizeThreads(Workspace &w)
{
    char taskDir[48];
    procPath(taskDir, w.pid, "task");
    std::size_t count = 0;
    // New threads may start while we look; a few passes catch them (a thread
    // that is traced can't start any more).
    for (int pass = 0; pass < 8; ++pass) {
        bool added = false;
        const long listed = forEachTask(taskDir, w.helperIo, w.helperIoSize, [&](int tid) {
            if (tid == w.faultTid || count == w.threadCapacity)
                return;
            for (std::size_t i = 0; i < count; ++i)
                if (w.threads[i].tid == tid)
                    return;
            ThreadRecord &t = w.threads[count++];
            std::memset(&t, 0, sizeof t);
            t.tid = tid;
            if (sys(SYS_ptrace, PTRACE_SEIZE, tid, 0, 0) == 0) {
                sys(SYS_ptrace, PTRACE_INTERRUPT, tid, 0, 0);
                t.seized = true;
                added = true;
            }
        });
        if (listed < 0 || !added)
            break;
    }

    // A thread deep in an uninterruptible wait may not stop soon; it is left
    // out rather than holding up the dump.
    const long long deadline = clockMilliseconds(CLOCK_MONOTONIC) + 2000;
    for (;;) {
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < count; ++i) {
            ThreadRecord &t = w.threads[i];
            if (!t.seized || t.stopped)
                continue;
            int status = 0;
            const long r = sys(SYS_wait4, t.tid, arg(&status), __WALL | WNOHANG, 0);
            if (r == t.tid && WIFSTOPPED(status)) {
                t.stopped = true;
                t.stopStatus = status;
                t.haveRegs = readRegisters(t);
            } else if (r == t.tid || (r < 0 && r != -EINTR)) {
                t.seized = false; // gone
            } else {
                ++waiting;
            }
        }
        if (waiting == 0 || clockMilliseconds(CLOCK_MONOTONIC) > deadline)
            break;
        sleepMilliseconds(1);
    }
    w.published.store(int(count), std::memory_order_release);
}

void releaseThreads(Workspace &w)
{
    const std::size_t count = std::size_t(w.published.load(std::memory_order_acquire));
    for (std::size_t i = 0; i < count; ++i) {
        const ThreadRecord &t = w.threads[i];
        if (!t.stopped)
            continue;
        // A signal that arrived as we stopped the thread is handed back.
        const int resend = (t.stopStatus >> 16) == 0 ? WSTOPSIG(t.stopStatus) : 0;
        sys(SYS_ptrace, PTRACE_DETACH, t.tid, 0, resend);
    }
    // Threads that never stopped are detached by our exit.
}

int helperMain(void *argument)
{
    Workspace &w = *static_cast<Workspace *>(argument);
    // A fault in here must kill the helper, not re-enter the crash path.
    for (int s : kFatalSignals)
        setDefaultAction(s);
    // Die with the thread that started us, so no thread stays stopped.
    sys(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
    // If we crash anyway, no kernel core of the whole shared memory: a limit
    // of 1 stops file cores (below one page) and piped ones alike (the kernel
    // refuses a pipe when the limit is exactly 1); 0 when the hard limit
    // already forbids even that.
    struct rlimit64Words {
        std::uint64_t cur, max;
    } core = {0, 0};
    if (sys(SYS_prlimit64, 0, RLIMIT_CORE, 0, arg(&core)) == 0) {
        core.cur = core.max >= 1 ? 1 : 0;
        core.max = core.cur;
        sys(SYS_prlimit64, 0, RLIMIT_CORE, arg(&core), 0);
    }
    if (sys(SYS_getppid) != w.pid)
        return 0;
    for (int i = 0; i < 100 && w.go.load() == 0; ++i)
        futexWait(w.go, 0, 50);
    if (w.go.load() == 0)
        return 0;
    seizeThreads(w);
    w.stopped.store(1);
    futexWake(w.stopped);
    // Never hold the threads forever: if the dumping thread can't finish
    // (stopped by a debugger, say), they run on after a minute.
    const long long deadline = clockMilliseconds(CLOCK_MONOTONIC) + 60000;
    while (w.release.load() == 0 && clockMilliseconds(CLOCK_MONOTONIC) < deadline)
        futexWait(w.release, 0, 1000);
    releaseThreads(w);
    return 0;
}

// Starts the helper and waits (at most a few seconds) until it has stopped
// the other threads. Returns its pid, or 0 when there is none to wait for.
int startHelper(Workspace &w)
{
    const std::uintptr_t top = (reinterpret_cast<std::uintptr_t>(w.helperStack) + w.helperStackSize) & ~std::uintptr_t(15);
    // Exit signal 0: no SIGCHLD reaches the host's handler; reaped with __WALL.
    const int pid = clone(helperMain, reinterpret_cast<void *>(top), CLONE_VM | CLONE_UNTRACED, &w);
    if (pid <= 0)
        return 0;
    // Under Yama's ptrace_scope=1 only a named tracer may attach to us.
    sys(SYS_prctl, PR_SET_PTRACER, pid, 0, 0, 0);
    w.go.store(1);
    futexWake(w.go);
    for (int i = 0; i < 100 && w.stopped.load() == 0; ++i) {
        futexWait(w.stopped, 0, 50);
        int status = 0;
        if (sys(SYS_wait4, pid, arg(&status), __WALL | WNOHANG, 0) == pid)
            return 0; // it died; the dump goes on without other threads
    }
    return pid;
}

void finishHelper(Workspace &w, int pid)
{
    if (pid <= 0)
        return;
    if (w.stopped.load() == 0)
        sys(SYS_kill, pid, SIGKILL); // stuck: its exit detaches whatever it holds
    w.release.store(1);
    futexWake(w.release);
    int status = 0;
    while (sys(SYS_wait4, pid, arg(&status), __WALL, 0) == -EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Mappings, from /proc/self/smaps (or maps, which lacks the page counts).

std::uint64_t parseHex(const char *&p, const char *end)
{
    std::uint64_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            v = v * 16 + std::uint64_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v * 16 + std::uint64_t(c - 'a' + 10);
        else
            break;
    }
    return v;
}

std::uint64_t parseDecimal(const char *&p, const char *end)
{
    std::uint64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        v = v * 10 + std::uint64_t(*p - '0');
    return v;
}

void skipSpaces(const char *&p, const char *end)
{
    while (p < end && *p == ' ')
        ++p;
}

bool hasPrefix(const char *text, std::size_t length, const char *prefix)
{
    const std::size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(text, prefix, n) == 0;
}

bool nameIs(const char *text, std::size_t length, const char *name)
{
    return length == std::strlen(name) && std::memcmp(text, name, length) == 0;
}

struct MapsReader {
    Workspace &w;
    bool haveCounts;
    Mapping *current = nullptr;

    void header(const char *p, const char *end)
    {
        current = nullptr;
        if (w.mapCount == w.mapCapacity)
            return;
        Mapping m = {};
        m.start = parseHex(p, end);
        if (p >= end || *p != '-')
            return;
        ++p;
        m.end = parseHex(p, end);
        skipSpaces(p, end);
        if (end - p < 4)
            return;
        const bool readable = p[0] == 'r';
        m.flags = (readable ? PF_R : 0) | (p[1] == 'w' ? PF_W : 0) | (p[2] == 'x' ? PF_X : 0);
        m.shared = p[3] == 's';
        p += 4;
        skipSpaces(p, end);
        m.fileOffset = parseHex(p, end);
        skipSpaces(p, end);
        while (p < end && *p != ' ') // device
            ++p;
        skipSpaces(p, end);
        m.inode = parseDecimal(p, end);
        skipSpaces(p, end);
        const std::size_t nameLength = std::size_t(end - p);
        if (w.namesUsed + nameLength + 1 <= w.namesCapacity) {
            m.nameOffset = std::uint32_t(w.namesUsed);
            m.nameLength = std::uint32_t(nameLength);
            std::memcpy(w.names + w.namesUsed, p, nameLength);
            w.names[w.namesUsed + nameLength] = '\0';
            w.namesUsed += nameLength + 1;
        }
        m.residentKb = haveCounts ? 0 : ~std::uint64_t(0);
        // Our own scratch memory is not part of the process's state.
        if (m.start >= w.base && m.end <= w.base + w.size)
            return;
        if (m.end <= m.start)
            return;
        w.maps[w.mapCount] = m;
        current = &w.maps[w.mapCount++];
    }

    void field(const char *p, const char *end)
    {
        if (!current)
            return;
        const std::size_t n = std::size_t(end - p);
        if (hasPrefix(p, n, "Rss:") || hasPrefix(p, n, "Swap:")) {
            while (p < end && *p != ':')
                ++p;
            ++p;
            skipSpaces(p, end);
            current->residentKb += parseDecimal(p, end);
        } else if (hasPrefix(p, n, "VmFlags:")) {
            p += 8;
            while (p + 1 < end) {
                skipSpaces(p, end);
                if (end - p >= 2) {
                    if (p[0] == 'd' && p[1] == 'd')
                        current->dontDump = true;
                    else if ((p[0] == 'i' && p[1] == 'o') || (p[0] == 'p' && p[1] == 'f'))
                        current->device = true;
                }
                while (p < end && *p != ' ')
                    ++p;
            }
        }
    }

    void line(const char *p, const char *end)
    {
        // Field names start with a capital letter; mapping lines with a
        // lower-case hex digit.
        if (p < end && ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            header(p, end);
        else
            field(p, end);
    }
};

bool readMappings(Workspace &w)
{
    bool haveCounts = true;
    int fd = openFile("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        haveCounts = false;
        fd = openFile("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    MapsReader reader{w, haveCounts};
    std::size_t filled = 0;
    for (;;) {
        const long r = readSome(fd, w.io + filled, w.ioSize - filled);
        if (r <= 0)
            break;
        filled += std::size_t(r);
        std::size_t at = 0;
        for (;;) {
            const char *nl = static_cast<const char *>(std::memchr(w.io + at, '\n', filled - at));
            if (!nl)
                break;
            reader.line(w.io + at, nl);
            at = std::size_t(nl - w.io) + 1;
        }
        if (at == 0 && filled == w.ioSize) {
            filled = 0; // a line longer than the buffer: dropped
            continue;
        }
        std::memmove(w.io, w.io + at, filled - at);
        filled -= at;
    }
    if (filled > 0)
        reader.line(w.io, w.io + filled);
    closeFile(fd);
    return true;
}

const char *mappingName(const Workspace &w, const Mapping &m)
{
    return w.names + m.nameOffset;
}

bool fileBacked(const Workspace &w, const Mapping &m)
{
    return m.inode != 0 && m.nameLength > 0 && mappingName(w, m)[0] == '/';
}

// Decides what of each mapping goes into the file.
void classify(Workspace &w, bool pageInfo)
{
    constexpr std::uint64_t kHugeHoles = std::uint64_t(64) << 30;
    constexpr std::uint64_t kHugeDense = std::uint64_t(16) << 30;
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        Mapping &m = w.maps[i];
        const char *name = mappingName(w, m);
        const std::size_t n = m.nameLength;
        const std::uint64_t size = m.end - m.start;
        const bool kernelData = nameIs(name, n, "[vvar]") || nameIs(name, n, "[vvar_vclock]")
                                || nameIs(name, n, "[vsyscall]");
        // Device memory: reading it may have side effects. /dev/zero and
        // /dev/shm are ordinary memory.
        const bool deviceFile = hasPrefix(name, n, "/dev/") && !hasPrefix(name, n, "/dev/zero")
                                && !hasPrefix(name, n, "/dev/shm/");
        // Shared memory (MAP_SHARED anonymous or of /dev/zero, System V,
        // memfd, /dev/shm): reading a page it never held would allocate it.
        const bool sharedMemory = m.shared
                                  && (hasPrefix(name, n, "/dev/zero") || hasPrefix(name, n, "/SYSV")
                                      || hasPrefix(name, n, "/memfd:") || hasPrefix(name, n, "/dev/shm/"));
        const bool anonymous = !m.shared && m.inode == 0
                               && (n == 0 || nameIs(name, n, "[heap]") || hasPrefix(name, n, "[stack")
                                   || hasPrefix(name, n, "[anon:"));
        m.dumpSize = 0;
        if (!(m.flags & PF_R) || m.dontDump || m.device || kernelData || deviceFile) {
            m.contents = NoContents;
        } else if (sharedMemory) {
            // Its Rss counts our page tables only, not what another process
            // (or write()) put there, so every page is asked about.
            m.contents = SharedSparse;
            m.dumpSize = size;
        } else if (anonymous && m.residentKb == 0) {
            // Never touched: all zeros, a hole (unless absurdly large).
            m.contents = NoContents;
            m.dumpSize = size <= kHugeHoles ? size : 0;
        } else if (anonymous && pageInfo) {
            m.contents = Sparse;
            m.dumpSize = size;
        } else if (anonymous && size > kHugeDense) {
            // No way to tell touched pages from untouched ones, and reading
            // it all would populate page tables for the whole reservation.
            m.contents = NoContents;
        } else {
            m.contents = Dense;
            m.dumpSize = size;
        }
    }
}

// ---------------------------------------------------------------------------
// Writing.

struct Output {
    int fd;
    bool broken = false; // disk full, file too large: stop writing
};

void writeAt(Output &out, const void *data, std::size_t size, std::uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0 && !out.broken) {
        const long r = sys(SYS_pwrite64, out.fd, arg(p), long(size), long(offset));
        if (r == -EINTR)
            continue;
        if (r <= 0) {
            out.broken = true;
            return;
        }
        p += r;
        size -= std::size_t(r);
        offset += std::uint64_t(r);
    }
}

// Copies process memory to the file. A page that can't be read (unmapped
// meanwhile, a file mapping past its end) leaves a hole.
void copyMemory(Output &out, std::uint64_t address, std::uint64_t size, std::uint64_t offset)
{
    constexpr std::uint64_t kChunk = 16 << 20;
    while (size > 0 && !out.broken) {
        const std::uint64_t n = size < kChunk ? size : kChunk;
        const long r = sys(SYS_pwrite64, out.fd, long(address), long(n), long(offset));
        if (r == -EINTR)
            continue;
        std::uint64_t done;
        if (r > 0) {
            done = std::uint64_t(r);
        } else if (r == -EFAULT || r == 0) {
            done = kPage - (address % kPage);
            if (done > size)
                done = size;
        } else {
            out.broken = true;
            return;
        }
        address += done;
        offset += done;
        size -= done;
    }
}

// Gathers consecutive used pages of a mapping into runs and copies each run
// once it ends, so a mapping is written in as few pieces as it has runs.
struct RunCopier {
    Output &out;
    const Mapping &m;
    std::uint64_t start = 0;
    bool open = false;

    void page(std::uint64_t address, bool used)
    {
        if (used && !open) {
            start = address;
            open = true;
        } else if (!used) {
            close(address);
        }
    }
    void close(std::uint64_t end)
    {
        if (open)
            copyMemory(out, start, end - start, m.dumpOffset + (start - m.start));
        open = false;
    }
};

struct PageSource {
    int fd = -1;
    bool scan = true; // PAGEMAP_SCAN until the kernel says it has none
};

// Writes the pages of an anonymous mapping that are in memory or swapped
// out; the rest, never touched, reads as zeros from the hole.
void copyResident(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    if (pages.scan) {
        PmScanArg a = {};
        a.size = sizeof a;
        a.start = m.start;
        a.end = m.end;
        a.vec = reinterpret_cast<std::uint64_t>(w.regions);
        a.vecLen = w.regionCapacity;
        // Present or swapped, but not the shared zero page.
        a.categoryInverted = kPageIsPfnZero;
        a.categoryMask = kPageIsPfnZero;
        a.categoryAnyofMask = kPageIsPresent | kPageIsSwapped;
        a.returnMask = kPageIsPresent | kPageIsSwapped;
        for (;;) {
            const long n = sys(SYS_ioctl, pages.fd, long(kPagemapScan), arg(&a));
            if (n < 0) {
                if (n == -ENOTTY || n == -EINVAL || n == -EOPNOTSUPP) {
                    pages.scan = false;
                    break;
                }
                copyMemory(out, a.start, m.end - a.start, m.dumpOffset + (a.start - m.start));
                return;
            }
            for (long i = 0; i < n; ++i)
                copyMemory(out, w.regions[i].start, w.regions[i].end - w.regions[i].start,
                           m.dumpOffset + (w.regions[i].start - m.start));
            if (a.walkEnd >= m.end || a.walkEnd <= a.start || out.broken)
                return;
            a.start = a.walkEnd;
        }
    }

    // /proc/self/pagemap: one word per page, bit 63 present, bit 62 swapped.
    RunCopier runs{out, m};
    std::uint64_t address = m.start;
    while (address < m.end && !out.broken) {
        std::uint64_t count = (m.end - address) / kPage;
        if (count > w.pagemapCapacity)
            count = w.pagemapCapacity;
        const long r = sys(SYS_pread64, pages.fd, arg(w.pagemap), long(count * 8), long(address / kPage * 8));
        if (r == -EINTR)
            continue;
        if (r < 8) {
            // No more page information: the rest goes in whole.
            runs.page(address, true);
            address = m.end;
            break;
        }
        count = std::uint64_t(r) / 8;
        for (std::uint64_t i = 0; i < count; ++i, address += kPage)
            runs.page(address, (w.pagemap[i] >> 62) != 0);
    }
    runs.close(address);
}

// Writes the pages a shared memory object holds (mincore) or has swapped out
// (pagemap, where it tells); never-touched ones stay holes. Reading them
// instead would allocate every page of the object.
void copySharedResident(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    auto *resident = reinterpret_cast<unsigned char *>(w.io);
    const std::uint64_t chunkPages = w.pagemapCapacity < w.ioSize ? w.pagemapCapacity : w.ioSize;
    RunCopier runs{out, m};
    for (std::uint64_t address = m.start; address < m.end && !out.broken;) {
        std::uint64_t count = (m.end - address) / kPage;
        if (count > chunkPages)
            count = chunkPages;
        long r;
        do
            r = sys(SYS_mincore, long(address), long(count * kPage), arg(resident));
        while (r == -EAGAIN || r == -EINTR);
        if (r == -ENOMEM) { // unmapped meanwhile: nothing to read
            runs.close(address);
            address += count * kPage;
            continue;
        }
        if (r < 0) // no residency information: all of it, as before
            std::memset(resident, 1, count);
        long words = 0;
        if (pages.fd >= 0) {
            do
                words = sys(SYS_pread64, pages.fd, arg(w.pagemap), long(count * 8), long(address / kPage * 8));
            while (words == -EINTR);
            words = words > 0 ? words / 8 : 0;
        }
        // Bit 63 present (in our page tables), bit 62 swapped.
        for (std::uint64_t i = 0; i < count; ++i, address += kPage)
            runs.page(address, (resident[i] & 1) || (long(i) < words && (w.pagemap[i] >> 62) != 0));
    }
    runs.close(m.end);
}

// ---------------------------------------------------------------------------
// Notes.

struct Notes {
    Workspace &w;

    // Appends a note header and name; returns its zeroed descriptor, or null
    // when the buffer is full.
    void *add(const char *name, std::uint32_t type, std::size_t descSize)
    {
        const std::size_t nameSize = std::strlen(name) + 1;
        const std::size_t total = sizeof(Elf64_Nhdr) + alignUp(nameSize, 4) + alignUp(descSize, 4);
        if (w.notesUsed + total > w.notesCapacity)
            return nullptr;
        std::uint8_t *p = w.notes + w.notesUsed;
        std::memset(p, 0, total);
        Elf64_Nhdr header = {std::uint32_t(nameSize), std::uint32_t(descSize), type};
        std::memcpy(p, &header, sizeof header);
        std::memcpy(p + sizeof header, name, nameSize);
        w.notesUsed += total;
        return p + sizeof header + alignUp(nameSize, 4);
    }

    void add(const char *name, std::uint32_t type, const void *desc, std::size_t size)
    {
        if (void *d = add(name, type, size))
            std::memcpy(d, desc, size);
    }
};

struct ProcessIds {
    int pid, ppid, pgrp, sid;
};

// NT_PRSTATUS of one thread; its NT_PRFPREG, when fpValid, must follow
// before the next thread's status.
void addStatus(Notes &notes, const ProcessIds &ids, int tid, int signo, const siginfo_t *info,
               std::uint64_t sighold, const user_regs_struct &regs, bool fpValid)
{
    elf_prstatus status;
    std::memset(&status, 0, sizeof status);
    status.pr_info.si_signo = signo;
    if (info) {
        status.pr_info.si_code = info->si_code;
        status.pr_info.si_errno = info->si_errno;
    }
    status.pr_cursig = short(signo);
    status.pr_sighold = sighold;
    status.pr_pid = tid;
    status.pr_ppid = ids.ppid;
    status.pr_pgrp = ids.pgrp;
    status.pr_sid = ids.sid;
    static_assert(sizeof status.pr_reg == sizeof regs, "elf_gregset_t is user_regs_struct");
    std::memcpy(&status.pr_reg, &regs, sizeof regs);
    status.pr_fpvalid = fpValid;
    notes.add("CORE", NT_PRSTATUS, &status, sizeof status);
}

void addProcessInfo(Notes &notes, const ProcessIds &ids)
{
    elf_prpsinfo info;
    std::memset(&info, 0, sizeof info);
    info.pr_sname = 'R';
    info.pr_uid = unsigned(sys(SYS_getuid));
    info.pr_gid = unsigned(sys(SYS_getgid));
    info.pr_pid = ids.pid;
    info.pr_ppid = ids.ppid;
    info.pr_pgrp = ids.pgrp;
    info.pr_sid = ids.sid;
    char buffer[256];
    long n = readWhole("/proc/self/comm", buffer, sizeof info.pr_fname);
    for (long i = 0; i < n && buffer[i] != '\n'; ++i)
        info.pr_fname[i] = buffer[i];
    // The command line, arguments separated by spaces, as ps shows it.
    n = readWhole("/proc/self/cmdline", buffer, sizeof info.pr_psargs - 1);
    while (n > 0 && buffer[n - 1] == '\0')
        --n;
    for (long i = 0; i < n; ++i)
        info.pr_psargs[i] = buffer[i] == '\0' ? ' ' : buffer[i];
    notes.add("CORE", NT_PRPSINFO, &info, sizeof info);
}

void addAuxv(Notes &notes, Workspace &w)
{
    const long n = readWhole("/proc/self/auxv", w.io, 64 * 1024);
    if (n > 0)
        notes.add("CORE", NT_AUXV, w.io, std::size_t(n));
}

// NT_FILE: which file backs which mapping, so gdb can find the executable
// and the libraries' build ids.
void addFileNote(Notes &notes, Workspace &w)
{
    std::size_t count = 0, nameBytes = 0;
    for (std::size_t i = 0; i < w.mapCount; ++i)
        if (fileBacked(w, w.maps[i])) {
            ++count;
            nameBytes += w.maps[i].nameLength + 1;
        }
    auto *desc = static_cast<std::uint8_t *>(notes.add("CORE", NT_FILE, 16 + count * 24 + nameBytes));
    if (!desc)
        return;
    std::uint64_t head[2] = {count, kPage};
    std::memcpy(desc, head, sizeof head);
    std::uint8_t *entry = desc + 16;
    char *text = reinterpret_cast<char *>(desc + 16 + count * 24);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        if (!fileBacked(w, m))
            continue;
        const std::uint64_t e[3] = {m.start, m.end, m.fileOffset / kPage};
        std::memcpy(entry, e, sizeof e);
        entry += sizeof e;
        std::memcpy(text, mappingName(w, m), m.nameLength + 1);
        text += m.nameLength + 1;
    }
}

unsigned long segmentSelector(int which)
{
    unsigned long v = 0;
    switch (which) {
    case 0: __asm__ volatile("mov %%cs, %0" : "=r"(v)); break;
    case 1: __asm__ volatile("mov %%ss, %0" : "=r"(v)); break;
    case 2: __asm__ volatile("mov %%ds, %0" : "=r"(v)); break;
    case 3: __asm__ volatile("mov %%es, %0" : "=r"(v)); break;
    case 4: __asm__ volatile("mov %%fs, %0" : "=r"(v)); break;
    default: __asm__ volatile("mov %%gs, %0" : "=r"(v)); break;
    }
    return v & 0xffff;
}

// The calling thread's registers as the signal frame (or getcontext) saved
// them, in the layout of NT_PRSTATUS.
void registersFromContext(const ucontext_t *uc, user_regs_struct &r)
{
    std::memset(&r, 0, sizeof r);
    if (uc) {
        const greg_t *g = uc->uc_mcontext.gregs;
        r.r15 = g[REG_R15];
        r.r14 = g[REG_R14];
        r.r13 = g[REG_R13];
        r.r12 = g[REG_R12];
        r.rbp = g[REG_RBP];
        r.rbx = g[REG_RBX];
        r.r11 = g[REG_R11];
        r.r10 = g[REG_R10];
        r.r9 = g[REG_R9];
        r.r8 = g[REG_R8];
        r.rax = g[REG_RAX];
        r.rcx = g[REG_RCX];
        r.rdx = g[REG_RDX];
        r.rsi = g[REG_RSI];
        r.rdi = g[REG_RDI];
        r.rip = g[REG_RIP];
        r.eflags = g[REG_EFL];
        r.rsp = g[REG_RSP];
    }
    r.orig_rax = ~0ULL; // not inside a system call
    r.cs = segmentSelector(0);
    r.ss = segmentSelector(1);
    r.ds = segmentSelector(2);
    r.es = segmentSelector(3);
    r.fs = segmentSelector(4);
    r.gs = segmentSelector(5);
    // Same thread, same TLS: what gdb needs for thread-local variables.
    sys(SYS_arch_prctl, ARCH_GET_FS, arg(&r.fs_base));
    sys(SYS_arch_prctl, ARCH_GET_GS, arg(&r.gs_base));
}

long countThreads(Workspace &w)
{
    return forEachTask("/proc/self/task", w.io, w.ioSize, [](int) {});
}

void dumpProcess(Workspace &w, int fd, int signo, const siginfo_t *info, const ucontext_t *uc)
{
    w.pid = int(sys(SYS_getpid));
    w.faultTid = int(sys(SYS_gettid));
    const ProcessIds ids = {w.pid, int(sys(SYS_getppid)), int(sys(SYS_getpgid, 0)), int(sys(SYS_getsid, 0))};

    const int helper = countThreads(w) > 1 ? startHelper(w) : 0;

    Output out = {fd};
    PageSource pages;
    pages.fd = openFile("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    readMappings(w);
    classify(w, pages.fd >= 0);

    // Notes, in the kernel's order: the faulting thread's status first (gdb
    // makes the first thread the current one), then process-wide notes, then
    // that thread's FP registers, then every other thread.
    Notes notes{w};
    user_regs_struct regs;
    registersFromContext(uc, regs);
    const user_fpregs_struct *fp = uc && uc->uc_mcontext.fpregs
                                       ? reinterpret_cast<const user_fpregs_struct *>(uc->uc_mcontext.fpregs)
                                       : nullptr;
    std::uint64_t sighold = 0;
    if (uc)
        std::memcpy(&sighold, &uc->uc_sigmask, sizeof sighold);
    addStatus(notes, ids, w.faultTid, signo, info, sighold, regs, fp != nullptr);
    addProcessInfo(notes, ids);
    siginfo_t si;
    std::memset(&si, 0, sizeof si);
    if (info)
        std::memcpy(&si, info, sizeof si);
    else
        si.si_signo = signo;
    notes.add("CORE", NT_SIGINFO, &si, sizeof si);
    addAuxv(notes, w);
    addFileNote(notes, w);
    if (fp)
        notes.add("CORE", NT_PRFPREG, fp, sizeof *fp);
    const int others = w.published.load(std::memory_order_acquire);
    for (int i = 0; i < others; ++i) {
        const ThreadRecord &t = w.threads[i];
        if (!t.haveRegs)
            continue;
        addStatus(notes, ids, t.tid, signo, nullptr, 0, t.regs, t.fpValid);
        if (t.fpValid)
            notes.add("CORE", NT_PRFPREG, &t.fpregs, sizeof t.fpregs);
    }

    // Layout: ELF header, program headers, (extended count), notes, then
    // every mapping's contents page-aligned.
    const std::size_t phnum = 1 + w.mapCount;
    const bool extended = phnum >= PN_XNUM;
    std::uint64_t offset = sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr);
    const std::uint64_t sectionOffset = extended ? offset : 0;
    if (extended)
        offset += sizeof(Elf64_Shdr);
    const std::uint64_t notesOffset = offset;
    offset = alignUp(offset + w.notesUsed, kPage);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        w.maps[i].dumpOffset = offset;
        offset += w.maps[i].dumpSize;
    }
    const std::uint64_t fileSize = offset;

    Elf64_Ehdr eh;
    std::memset(&eh, 0, sizeof eh);
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_ident[EI_OSABI] = ELFOSABI_NONE;
    eh.e_type = ET_CORE;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof(Elf64_Ehdr);
    eh.e_ehsize = sizeof(Elf64_Ehdr);
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = extended ? PN_XNUM : Elf64_Half(phnum);
    if (extended) {
        eh.e_shoff = sectionOffset;
        eh.e_shentsize = sizeof(Elf64_Shdr);
        eh.e_shnum = 1;
    }
    writeAt(out, &eh, sizeof eh, 0);

    Elf64_Phdr *ph = w.phdrs;
    std::memset(ph, 0, phnum * sizeof *ph);
    ph[0].p_type = PT_NOTE;
    ph[0].p_offset = notesOffset;
    ph[0].p_filesz = w.notesUsed;
    ph[0].p_align = 4;
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        Elf64_Phdr &p = ph[i + 1];
        p.p_type = PT_LOAD;
        p.p_flags = m.flags;
        p.p_offset = m.dumpOffset;
        p.p_vaddr = m.start;
        p.p_filesz = m.dumpSize;
        p.p_memsz = m.end - m.start;
        p.p_align = kPage;
    }
    writeAt(out, ph, phnum * sizeof *ph, sizeof(Elf64_Ehdr));
    if (extended) {
        Elf64_Shdr sh;
        std::memset(&sh, 0, sizeof sh);
        sh.sh_type = SHT_NULL;
        sh.sh_size = 1;
        sh.sh_info = Elf64_Word(phnum);
        writeAt(out, &sh, sizeof sh, sectionOffset);
    }
    writeAt(out, w.notes, w.notesUsed, notesOffset);

    for (std::size_t i = 0; i < w.mapCount && !out.broken; ++i) {
        const Mapping &m = w.maps[i];
        if (m.contents == Dense)
            copyMemory(out, m.start, m.dumpSize, m.dumpOffset);
        else if (m.contents == Sparse)
            copyResident(out, w, pages, m);
        else if (m.contents == SharedSparse)
            copySharedResident(out, w, pages, m);
    }
    // Trailing holes still count towards the file's length.
    sys(SYS_ftruncate, fd, long(fileSize));

    if (pages.fd >= 0)
        closeFile(pages.fd);
    finishHelper(w, helper);
}

bool writeCoreFrom(const char *path, int signo, const siginfo_t *info, const ucontext_t *uc)
{
    // Nothing of the host runs on this thread until we are done, and a file
    // size limit yields EFBIG instead of killing us with SIGXFSZ.
    const std::uint64_t all = ~std::uint64_t(0);
    std::uint64_t previous = 0;
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&all), arg(&previous), 8);

    const int fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // An older file we truncated may have been readable by others.
        sys(SYS_fchmod, fd, 0600);
        if (Workspace *w = createWorkspace()) {
            dumpProcess(*w, fd, signo, info, uc);
            destroyWorkspace(w);
        }
        closeFile(fd);
        if (!(previous & signalBit(SIGXFSZ))) {
            // Drop a SIGXFSZ we caused, or unblocking would deliver it.
            const std::uint64_t xfsz = signalBit(SIGXFSZ);
            struct timespec zero = {0, 0};
            sys(SYS_rt_sigtimedwait, arg(&xfsz), 0, arg(&zero), 8);
        }
    }
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&previous), 0, 8);
    return fd >= 0;
}

// ---------------------------------------------------------------------------
// Signal handling.

std::atomic<FaultFn> gFaultFn{nullptr};
std::atomic<int> gClaimed{0};

[[noreturn]] void dieBySignal(int signo)
{
    setDefaultAction(signo);
    sys(SYS_tgkill, sys(SYS_getpid), sys(SYS_gettid), signo);
    const std::uint64_t bit = signalBit(signo);
    sys(SYS_rt_sigprocmask, SIG_UNBLOCK, arg(&bit), 0, 8);
    // Still here: we are the init process of a PID namespace, which ignores
    // its own fatal signals. End with the shell's code for that signal.
    for (;;)
        sys(SYS_exit_group, 128 + signo);
}

void onFatalSignal(int signo, siginfo_t *info, void *context)
{
    if (gClaimed.exchange(1) != 0) {
        // Another thread is writing the one dump; it ends the process.
        for (;;)
            sys(SYS_pause);
    }
    // Taken for good: once the crash dump is written, no direct dump may
    // start in the moment before the process dies (it would be cut short).
    const DumpLock lock;
    if (FaultFn fn = gFaultFn.load())
        fn(signo, info, context);
    dieBySignal(signo);
}

// The handler's stack for this thread, released when the thread ends.
constexpr std::size_t kAltStackSize = 128 * 1024;
constexpr std::size_t kAltStackEnough = 64 * 1024;

struct AltStack {
    void *memory = nullptr;
    std::size_t size = 0;

    ~AltStack()
    {
        if (!memory)
            return;
        stack_t current;
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK))
            return; // ending inside a handler: better leaked than pulled away
        if (current.ss_sp == static_cast<char *>(memory) + kPage) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(memory, size);
    }
};

thread_local AltStack tAltStack;

void ensureAltStack()
{
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK))
        return;
    if (!(current.ss_flags & SS_DISABLE) && current.ss_size >= kAltStackEnough)
        return; // ours from an earlier call, or the host's own
    const std::size_t total = kAltStackSize + kPage;
    void *memory = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
        return;
    mprotect(memory, kPage, PROT_NONE); // guard: an overflow here faults cleanly
    stack_t stack = {};
    stack.ss_sp = static_cast<char *>(memory) + kPage;
    stack.ss_size = kAltStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, total);
        return;
    }
    if (tAltStack.memory)
        munmap(tAltStack.memory, tAltStack.size);
    tAltStack.memory = memory;
    tAltStack.size = total;
}

// The thread writing a dump now, 0 when none.
std::atomic<int> gDumpOwner{0};

} // namespace

DumpLock::DumpLock() : owner_(false)
{
    const int self = int(sys(SYS_gettid));
    if (gDumpOwner.load() == self)
        return;
    for (;;) {
        int seen = 0;
        if (gDumpOwner.compare_exchange_strong(seen, self)) {
            owner_ = true;
            return;
        }
        // A holder that isn't one of our threads was copied in by fork()
        // during a dump; it will never let go.
        if (sys(SYS_tgkill, sys(SYS_getpid), seen, 0) == -ESRCH) {
            gDumpOwner.compare_exchange_strong(seen, 0);
            continue;
        }
        futexWait(gDumpOwner, seen, 100);
    }
}

DumpLock::~DumpLock()
{
    if (!owner_)
        return;
    gDumpOwner.store(0);
    futexWake(gDumpOwner);
}

long long realtimeMilliseconds()
{
    return clockMilliseconds(CLOCK_REALTIME);
}

void appendExecutableDir(PathText &path)
{
    if (path.overflow)
        return;
    char *target = path.text + path.length;
    const std::size_t room = sizeof path.text - path.length - 1;
    const long n = sys(SYS_readlink, arg("/proc/self/exe"), arg(target), long(room));
    if (n <= 0 || std::size_t(n) >= room) { // failed, or maybe cut short
        path.overflow = true;
        path.text[path.length] = '\0';
        return;
    }
    long slash = n - 1;
    while (slash > 0 && target[slash] != '/')
        --slash;
    path.length += std::size_t(slash);
    path.text[path.length] = '\0';
}

void installFaultHandlers(FaultFn fn)
{
    gFaultFn.store(fn);
    ensureAltStack();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // Everything blocked while we run: a second fault on this thread kills
    // the process outright, and no host handler runs in the middle.
    sigfillset(&action.sa_mask);
    for (int s : kFatalSignals)
        sigaction(s, &action, nullptr);
}

bool writeCore(const char *path, int signo, const siginfo_t *info, const void *context)
{
    const DumpLock lock;
    if (context)
        return writeCoreFrom(path, signo, info, static_cast<const ucontext_t *>(context));
    // Captured here, in a frame that stays alive while the dump is written,
    // so the dump shows this thread inside the call that asked for it.
    ucontext_t now;
    if (getcontext(&now) != 0)
        return writeCoreFrom(path, signo, info, nullptr);
    return writeCoreFrom(path, signo, info, &now);
}

} }
