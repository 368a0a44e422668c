// One dump from start to end: one at a time, the calling thread's signals
// held off, scratch memory first, then a new file, and what a dump gave up
// taken back afterwards.
#include "dump_linux_p.h"

#include "dump_internal_linux_p.h"
#include "dump_sys_linux_p.h"

namespace vask {
namespace lx {

namespace {

// The path of the dump being written; DumpLock guards it. In static storage
// so that the crash frame stays small.
PathText gPath;

// Writes the dump with the calling thread's signals blocked: nothing of the
// host runs on this thread until we are done, and a file size limit yields
// EFBIG instead of killing us with SIGXFSZ. All but SIGSYS, when our
// handler takes it: a sandbox that traps one of our calls then fails that
// call instead of killing the process. `uc` null: the caller, as
// vaskSaveCaller left it. Signal-safe.
bool writeCore(int signo, const siginfo_t *info, const ucontext_t *uc, bool direct)
{
    std::uint64_t block = ~std::uint64_t(0);
    if (trapsHandled())
        block &= ~signalBit(SIGSYS);
    std::uint64_t previous = 0;
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&block), arg(&previous), 8);

    // Everything the dump needs comes first: no empty file is left behind
    // when there is no memory to write it with.
    bool written = false;
    if (Workspace *w = acquireWorkspace()) {
        if (uc)
            registersFromContext(uc, w->faulting);
        else
            registersFromCaller(w->faulting, previous);
        const int fd = buildDumpStem(gPath) ? createDumpFile(gPath) : -ENOENT;
        if (fd >= 0) {
            dumpProcess(*w, fd, signo, info, direct);
            closeFile(fd);
            written = true;
        }
        returnWorkspace(w);
    }
    restoreDescriptors();
    if (written && !(previous & signalBit(SIGXFSZ))) {
        // Drop a SIGXFSZ we caused, or unblocking would deliver it.
        const std::uint64_t xfsz = signalBit(SIGXFSZ);
        struct timespec zero;
        zero.tv_sec = 0;
        zero.tv_nsec = 0;
        sys(SYS_rt_sigtimedwait, arg(&xfsz), 0, arg(&zero), 8);
    }
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&previous), 0, 8);
    return written;
}

// The calling thread as it is: its registers are saved here, in a frame
// that stays alive while the dump is written, so the dump shows this
// thread inside the call that asked for it. Kept out of the crash path's
// frames. Signal-safe; the caller holds DumpLock.
__attribute__((noinline)) bool writeCoreOfCaller(int signo, const siginfo_t *info)
{
    vaskSaveCaller(&callerState().regs, &callerState().fp);
    const bool written = writeCore(signo, info, nullptr, true);
    __asm__ volatile("" : : "r"(written)); // no tail call: this frame must stay
    return written;
}

} // namespace

// Signal-safe; the caller holds DumpLock.
void dumpCrash(int signo, const siginfo_t *info, const void *context)
{
    if (context)
        writeCore(signo, info, static_cast<const ucontext_t *>(context), false);
    else
        writeCoreOfCaller(signo, info);
}

// Signal-safe.
bool dumpDirect(int signo, const siginfo_t *info, const void *context)
{
    const DumpLock lock;
    if (context)
        return writeCore(signo, info, static_cast<const ucontext_t *>(context), true);
    return writeCoreOfCaller(signo, info);
}

} // namespace lx
} // namespace vask
