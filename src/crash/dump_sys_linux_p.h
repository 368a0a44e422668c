#ifndef VASKSUPPORT_CRASH_DUMP_SYS_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_SYS_LINUX_P_H

// Raw x86-64 system calls for the crash path. They return -errno and never
// touch errno, which lives in TLS: the helper process that stops the other
// threads shares the faulting thread's TLS block, and nothing here may take
// a lock or be bound lazily. Every function is safe in a signal handler.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#if !defined(__x86_64__)
#error "the Linux crash dump writer knows x86-64 registers and system calls only"
#endif

namespace vask {
namespace lx {

// Signal-safe.
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

template <typename T> long arg(T *p)
{
    return reinterpret_cast<long>(p);
}

// Signal-safe.
inline bool failed(long r)
{
    return r < 0 && r > -4096;
}

// Opens `path` (relative to the folder `dir`, or AT_FDCWD) and returns the
// descriptor or -errno. When the process has no descriptor left, one of
// those reserved at setup is given up for it. Signal-safe.
int openAt(int dir, const char *path, int flags, int mode = 0);

// Signal-safe.
inline int openFile(const char *path, int flags, int mode = 0)
{
    return openAt(AT_FDCWD, path, flags, mode);
}

// Signal-safe.
inline void closeFile(int fd)
{
    sys(SYS_close, fd);
}

// Signal-safe.
inline long readSome(int fd, void *buffer, std::size_t size)
{
    long r;
    do
        r = sys(SYS_read, fd, arg(buffer), long(size));
    while (r == -EINTR);
    return r;
}

// Signal-safe.
inline long long clockMilliseconds(int clock)
{
    struct timespec ts;
    ts.tv_sec = 0;
    ts.tv_nsec = 0;
    sys(SYS_clock_gettime, clock, arg(&ts));
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Signal-safe.
inline void sleepMilliseconds(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    sys(SYS_nanosleep, arg(&ts), 0);
}

// Shared (not private) futexes: the helper is another process on the same
// memory. Signal-safe.
inline void futexWait(std::atomic<int> &word, int expected, long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    sys(SYS_futex, arg(&word), 0 /* FUTEX_WAIT */, expected, arg(&ts));
}

// Signal-safe.
inline void futexWake(std::atomic<int> &word)
{
    sys(SYS_futex, arg(&word), 1 /* FUTEX_WAKE */, 0x7fffffff);
}

// The signals a crash arrives by.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// The bit of `signo` in a kernel signal mask. Signal-safe.
inline std::uint64_t signalBit(int signo)
{
    return std::uint64_t(1) << (signo - 1);
}

// Gives `signo` its default action, in the kernel's own sigaction layout (no
// restorer is needed for SIG_DFL). Signal-safe.
inline void setDefaultAction(int signo)
{
    struct {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        std::uint64_t mask;
    } action;
    action.handler = SIG_DFL;
    action.flags = 0;
    action.restorer = nullptr;
    action.mask = 0;
    sys(SYS_rt_sigaction, signo, arg(&action), 0, sizeof action.mask);
}

// The handler `signo` has now (null for SIG_DFL), as the kernel keeps it.
// Signal-safe.
inline void (*handlerOf(int signo))(int, siginfo_t *, void *)
{
    struct {
        void (*handler)(int, siginfo_t *, void *);
        unsigned long flags;
        void (*restorer)();
        std::uint64_t mask;
    } current;
    current.handler = nullptr;
    return sys(SYS_rt_sigaction, signo, 0, arg(&current), sizeof current.mask) == 0 ? current.handler : nullptr;
}

// Reads a whole (small) file into `buffer`; returns the length read, or
// -errno. Only for /proc files. Signal-safe.
long readWhole(const char *path, char *buffer, std::size_t size);

// Opens /proc/thread-self/<leaf>, else /proc/self/<leaf>: both name this
// process in the /proc that is mounted, whatever PID namespace it belongs
// to. The first still works after the main thread has exited, when
// /proc/self reads empty. Signal-safe.
int openOwnProc(const char *leaf, int flags);
long readOwnProc(const char *leaf, char *buffer, std::size_t size);

// Descriptors kept for the crash path, which may come when the process has
// used up every other one. reserveDescriptors (setup only, not signal-safe)
// takes a few, at high numbers and closed on exec; openAt gives them up one
// by one when it has to; restoreDescriptors takes back what a dump gave up
// (signal-safe).
void reserveDescriptors();
void restoreDescriptors();

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_SYS_LINUX_P_H
