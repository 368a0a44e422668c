// The other threads of a dump. A process cannot trace threads of its own
// thread group, so a helper process sharing our memory (clone with CLONE_VM:
// nothing is copied) traces every thread but the dumping one with ptrace,
// which stops them for the time of the dump and yields their registers.
// The helper runs with the dumping thread's TLS pointer, so it must not
// touch TLS either; raw system calls guarantee that.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <cstring>
#include <initializer_list>

namespace vask {
namespace lx {

namespace {

struct LinuxDirent64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Signal-safe.
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

// Calls fn(tid) for every thread listed in the open folder `dir`; returns
// the count, or -1 when it can't be read. Signal-safe.
template <typename Fn> long forEachTask(int dir, char *buffer, std::size_t size, Fn fn)
{
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

// "/proc/<pid>/task[/<tid>/stat]" into `out` (64 bytes). Signal-safe.
void taskPath(char *out, int pid, int tid)
{
    std::memcpy(out, "/proc/", 6);
    std::size_t n = 6 + formatUnsigned(out + 6, static_cast<unsigned long long>(pid));
    std::memcpy(out + n, "/task", 6);
    n += 5;
    if (tid > 0) {
        out[n++] = '/';
        n += formatUnsigned(out + n, static_cast<unsigned long long>(tid));
        std::memcpy(out + n, "/stat", 6);
    }
}

// A thread that has exited but is still listed (the main thread after
// pthread_exit stays as a zombie while others run) never stops: skip it.
// Signal-safe.
bool exited(int pid, int tid, char *buffer, std::size_t size)
{
    char path[64];
    taskPath(path, pid, tid);
    const long n = readWhole(path, buffer, size);
    for (long i = n - 1; i > 0; --i)
        if (buffer[i] == ')') // "tid (comm) S ...": the state follows the last ')'
            return i + 2 < n && (buffer[i + 2] == 'Z' || buffer[i + 2] == 'X');
    return false;
}

// Signal-safe.
bool readRegisters(ThreadRecord &t)
{
    struct iovec iov = {&t.regs, sizeof t.regs};
    if (sys(SYS_ptrace, PTRACE_GETREGSET, t.tid, NT_PRSTATUS, arg(&iov)) != 0)
        return false;
    struct iovec fp = {&t.fpregs, sizeof t.fpregs};
    t.fpValid = sys(SYS_ptrace, PTRACE_GETREGSET, t.tid, NT_PRFPREG, arg(&fp)) == 0;
    return true;
}

// In the helper. Signal-safe.
void seizeThreads(Workspace &w)
{
    char taskDir[64];
    taskPath(taskDir, w.pid, 0);
    char stat[512];
    std::size_t count = 0;
    // New threads may start while we look; a few passes catch them (a thread
    // that is traced can't start any more).
    for (int pass = 0; pass < 8; ++pass) {
        bool added = false;
        const int dir = openFile(taskDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const long listed = forEachTask(dir, w.helperIo, w.helperIoSize, [&](int tid) {
            if (tid == w.faultTid || count == w.threadCapacity)
                return;
            for (std::size_t i = 0; i < count; ++i)
                if (w.threads[i].tid == tid)
                    return;
            if (exited(w.pid, tid, stat, sizeof stat))
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

// In the helper. Signal-safe.
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

// The helper process itself. Signal-safe.
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
    struct {
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

} // namespace

// Signal-safe.
long countThreads(Workspace &w)
{
    return forEachTask(openFile("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC), w.io, w.ioSize, [](int) {});
}

// Starts the helper and waits (at most a few seconds) until it has stopped
// the other threads. Signal-safe.
int startHelper(Workspace &w)
{
    const std::uintptr_t top
        = (reinterpret_cast<std::uintptr_t>(w.helperStack) + w.helperStackSize) & ~std::uintptr_t(15);
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

// Signal-safe.
void finishHelper(Workspace &w, int pid)
{
    if (pid <= 0)
        return;
    if (w.stopped.load() == 0)
        sys(SYS_kill, pid, SIGKILL); // stuck: its exit detaches whatever it holds
    w.release.store(1);
    futexWake(w.release);
    int status = 0;
    while (sys(SYS_wait4, pid, arg(&status), __WALL, 0) == -EINTR) { }
}

} // namespace lx
} // namespace vask
