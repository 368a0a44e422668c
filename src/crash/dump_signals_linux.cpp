// The fatal-signal handler and the lock that lets one dump run at a time.
#include "dump_linux_p.h"

#include "dump_internal_linux_p.h"
#include "dump_sys_linux_p.h"

#include <sys/prctl.h>

namespace vask {
namespace lx {

namespace {

// The thread writing the crash dump, 0 until one fails.
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

} // namespace

// The handler of every fatal signal. Signal-safe.
void onFatalSignal(int signo, siginfo_t *info, void *context)
{
    if (signo == SIGSYS && info && info->si_code == 1 /* SYS_SECCOMP */ && context
        && gDumpOwner.load() == int(sys(SYS_gettid))) {
        // A sandbox trapped one of the dump's own system calls: it fails.
        static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
        return;
    }
    const int self = int(sys(SYS_gettid));
    for (int seen = 0; !gClaimed.compare_exchange_strong(seen, self);) {
        // A claimer that isn't one of our threads was copied in by fork()
        // during a crash dump: this crash is ours to dump. Otherwise another
        // thread is writing the one dump, and it ends the process.
        if (seen != self && sys(SYS_tgkill, sys(SYS_getpid), seen, 0) != -ESRCH)
            for (;;)
                sys(SYS_pause);
    }
    // Taken for good: once the crash dump is written, no direct dump may
    // start in the moment before the process dies (it would be cut short).
    const DumpLock lock;
    dumpCrash(signo, info, context);
    dieBySignal(signo);
}

// Signal-safe.
bool trapsHandled()
{
    if (sys(SYS_prctl, PR_GET_SECCOMP, 0, 0, 0, 0) != 2) // SECCOMP_MODE_FILTER
        return true; // no filter: nothing traps
    return handlerOf(SIGSYS) == onFatalSignal;
}

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

} // namespace lx
} // namespace vask
