// The other threads of a dump, by ptrace. A process cannot trace threads of
// its own thread group, so a helper process sharing our memory (clone with
// CLONE_VM: nothing is copied) traces every thread but the dumping one,
// which stops them for the time of the dump and yields their registers.
// The helper runs with the dumping thread's TLS pointer and thread block,
// so it must not touch either: it makes raw system calls only, and is
// started by the clone system call itself (glibc's wrapper once rewrote the
// cached thread id in the thread block it would share). All it touches is
// its HelperShared.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>

namespace vask {
namespace lx {

namespace {

// Starts fn(argument) in a new process on `stackTop` (16-byte aligned),
// sharing what `flags` say; returns its pid or -errno. Signal-safe.
long rawClone(unsigned long flags, void *stackTop, int (*fn)(void *), void *argument)
{
    // The child finds what to run on its own stack: it has no other memory
    // of this frame once the system call returns.
    void **stack = static_cast<void **>(stackTop) - 2;
    stack[0] = reinterpret_cast<void *>(fn);
    stack[1] = argument;
    long ret;
    register long r10 __asm__("r10") = 0; // child tid pointer
    register long r8 __asm__("r8") = 0; // TLS: kept
    __asm__ volatile("syscall\n\t"
                     "test %%rax, %%rax\n\t"
                     "jnz 1f\n\t"
                     "xor %%ebp, %%ebp\n\t" // the outermost frame
                     "pop %%rax\n\t"
                     "pop %%rdi\n\t"
                     "call *%%rax\n\t"
                     "mov %%eax, %%edi\n\t"
                     "mov %[exit], %%eax\n\t"
                     "syscall\n\t"
                     "hlt\n"
                     "1:"
                     : "=a"(ret)
                     : "a"(long(SYS_clone)), "D"(flags), "S"(stack), "d"(0L), "r"(r10), "r"(r8), [exit] "i"(SYS_exit)
                     : "rcx", "r11", "memory");
    return ret;
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
void seizeThreads(HelperShared &h)
{
    std::size_t count = 0;
    bool seizedAny = false, refused = false;
    // New threads may start while we look; a few passes catch them (a thread
    // that is traced can't start any more). A thread that has exited but is
    // still listed (the main thread after pthread_exit stays as a zombie
    // while others run) can't be seized and is left out.
    for (int pass = 0; pass < 8; ++pass) {
        bool added = false;
        const long listed = forEachTask(h.taskDir, h.foreignProc, h.io, h.ioSize, [&](int tid) {
            if (tid == h.writerTid || count == h.threadCapacity)
                return;
            for (std::size_t i = 0; i < count; ++i)
                if (h.threads[i].tid == tid)
                    return;
            ThreadRecord &t = h.threads[count++];
            fillBytes(&t, 0, sizeof t);
            t.tid = tid;
            const long r = sys(SYS_ptrace, PTRACE_SEIZE, tid, 0, 0);
            if (r == 0) {
                sys(SYS_ptrace, PTRACE_INTERRUPT, tid, 0, 0);
                t.seized = seizedAny = added = true;
            } else if (r == -EPERM || r == -ENOSYS) {
                refused = true;
            }
        });
        if (listed < 0 || !added)
            break;
    }
    if (refused && !seizedAny)
        h.refused.store(1);

    // A thread deep in an uninterruptible wait may not stop soon; it is left
    // out rather than holding up the dump.
    const long long deadline = clockMilliseconds(CLOCK_MONOTONIC) + 2000;
    for (;;) {
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < count; ++i) {
            ThreadRecord &t = h.threads[i];
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
    h.published.store(int(count), std::memory_order_release);
}

// In the helper. Signal-safe.
void releaseThreads(HelperShared &h)
{
    const std::size_t count = std::size_t(h.published.load(std::memory_order_acquire));
    for (std::size_t i = 0; i < count; ++i) {
        const ThreadRecord &t = h.threads[i];
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
    HelperShared &h = *static_cast<HelperShared *>(argument);
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
    } core;
    core.cur = core.max = 0;
    if (sys(SYS_prlimit64, 0, RLIMIT_CORE, 0, arg(&core)) == 0) {
        core.cur = core.max >= 1 ? 1 : 0;
        core.max = core.cur;
        sys(SYS_prlimit64, 0, RLIMIT_CORE, arg(&core), 0);
    }
    if (sys(SYS_getppid) != h.pid)
        return 0;
    for (int i = 0; i < 100 && h.go.load() == 0; ++i)
        futexWait(h.go, 0, 50);
    if (h.go.load() == 0)
        return 0;
    seizeThreads(h);
    h.stopped.store(1);
    futexWake(h.stopped);
    // The threads stay stopped as long as the dump runs, however long that
    // is, and go when it ends or when the dumping thread is gone (then the
    // kernel also kills us: PR_SET_PDEATHSIG).
    while (h.release.load() == 0 && sys(SYS_tgkill, h.pid, h.writerTid, 0) != -ESRCH)
        futexWait(h.release, 0, 1000);
    releaseThreads(h);
    return 0;
}

} // namespace

// Starts the helper and waits (at most a few seconds) until it has stopped
// the other threads. `nameTracer`: make the helper our permitted tracer
// (Yama's ptrace_scope 1 lets only a named tracer attach), which replaces
// whatever tracer the host named; only a crash, after which the host is
// gone, may do that. Signal-safe.
int startHelper(HelperShared &h, bool nameTracer)
{
    const std::uintptr_t top = (reinterpret_cast<std::uintptr_t>(h.stack) + h.stackSize) & ~std::uintptr_t(15);
    // Exit signal 0: no SIGCHLD reaches the host's handler; reaped with __WALL.
    const long pid = rawClone(CLONE_VM | CLONE_UNTRACED, reinterpret_cast<void *>(top), helperMain, &h);
    if (pid <= 0)
        return 0;
    if (nameTracer)
        sys(SYS_prctl, PR_SET_PTRACER, pid, 0, 0, 0);
    h.go.store(1);
    futexWake(h.go);
    for (int i = 0; i < 100 && h.stopped.load() == 0; ++i) {
        futexWait(h.stopped, 0, 50);
        int status = 0;
        if (sys(SYS_wait4, pid, arg(&status), __WALL | WNOHANG, 0) == pid)
            return 0; // it died (a sandbox may kill it for ptrace): no threads from it
    }
    if (h.refused.load() != 0) {
        finishHelper(h, int(pid));
        h.published.store(0);
        return 0;
    }
    return int(pid);
}

// Signal-safe.
void finishHelper(HelperShared &h, int pid)
{
    if (pid <= 0)
        return;
    if (h.stopped.load() == 0)
        sys(SYS_kill, pid, SIGKILL); // stuck: its exit detaches whatever it holds
    h.release.store(1);
    futexWake(h.release);
    int status = 0;
    while (sys(SYS_wait4, pid, arg(&status), __WALL, 0) == -EINTR) { }
}

} // namespace lx
} // namespace vask
