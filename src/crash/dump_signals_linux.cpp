// Taking over the fatal signals: the handler, its alternate stack, and the
// lock that lets one dump run at a time.
#include "dump_linux_p.h"

#include "dump_internal_linux_p.h"
#include "dump_sys_linux_p.h"

#include <sys/mman.h>

#include <cstring>

namespace vask {
namespace lx {

namespace {

std::atomic<FaultFn> gFaultFn {nullptr};
std::atomic<int> gClaimed {0};
// The thread writing a dump now, 0 when none.
std::atomic<int> gDumpOwner {0};

// Restores the default action and dies of `signo`. Signal-safe.
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

// The handler of every fatal signal. Signal-safe.
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

// Not signal-safe: setup only.
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

} // namespace

// Signal-safe.
DumpLock::DumpLock() : mOwner(false)
{
    const int self = int(sys(SYS_gettid));
    if (gDumpOwner.load() == self)
        return;
    for (;;) {
        int seen = 0;
        if (gDumpOwner.compare_exchange_strong(seen, self)) {
            mOwner = true;
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

// Signal-safe.
DumpLock::~DumpLock()
{
    if (!mOwner)
        return;
    gDumpOwner.store(0);
    futexWake(gDumpOwner);
}

void installFaultHandlers(FaultFn fn, const char *executableDir)
{
    rememberExecutableDir(executableDir);
    rememberAuxv();
    reserveWorkspace();
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

} // namespace lx
} // namespace vask
