// The other threads of a dump where ptrace is refused (a sandbox's filter,
// Yama, a debugger already attached) or can't be used without changing the
// host's settings: each thread is sent a signal chosen at setup, and its
// handler saves the thread's own registers into a slot reserved here and
// waits until the dump is done. A thread that blocks that signal, or does
// not answer within two seconds, is left out of the dump.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <sys/mman.h>

namespace vask {
namespace lx {

namespace {

// Mapped at setup, apart from everything else (and out of the dump): a
// static array would make the library's own data large, and push what the
// debugger needs first later in a cut dump.
constexpr int kSlots = 256;
std::atomic<ThreadRecord *> gSlots {nullptr};

std::atomic<int> gSignal {0}; // chosen at setup; 0: none free
std::atomic<int> gRounds {0}; // captures so far
std::atomic<int> gOpen {0}; // the capture taking answers now, 0: none
std::atomic<int> gReleased {0}; // the last capture whose dump is done
std::atomic<int> gClaimed {0}; // slots claimed in the open capture
std::atomic<int> gSaved {0}; // slots filled in
std::atomic<int> gWriterTid {0};

} // namespace

// On the thread asked. Signal-safe.
void onCapture(int, siginfo_t *info, void *context)
{
    const int round = gOpen.load();
    const int pid = int(sys(SYS_getpid));
    if (round == 0 || !info || !context || info->si_code != SI_QUEUE || info->si_pid != pid
        || info->si_value.sival_int != round)
        return; // not ours, or too late
    const int slot = gClaimed.fetch_add(1);
    if (slot >= kSlots)
        return;
    ThreadRecord &t = gSlots.load()[slot];
    t.tid = int(sys(SYS_gettid));
    registersFromSignal(static_cast<const ucontext_t *>(context), t.regs, t.fpregs, t.fpValid);
    __atomic_store_n(&t.haveRegs, true, __ATOMIC_RELEASE);
    gSaved.fetch_add(1);
    futexWake(gSaved);
    // Stopped until the dump is done, or its writer is gone.
    for (;;) {
        const int released = gReleased.load();
        if (released >= round || sys(SYS_tgkill, pid, gWriterTid.load(), 0) == -ESRCH)
            break;
        futexWait(gReleased, released, 1000);
    }
}

// Signal-safe.
int captureSignal()
{
    return gSignal.load();
}

// Not signal-safe: setup only.
bool reserveCaptureSlots()
{
    if (gSlots.load())
        return true;
    const std::size_t size = alignUp(kSlots * sizeof(ThreadRecord), kPage);
    const long p
        = sys(SYS_mmap, 0, long(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (failed(p))
        return false;
    sys(SYS_madvise, p, long(size), MADV_DONTDUMP);
    ThreadRecord *none = nullptr;
    if (!gSlots.compare_exchange_strong(none, reinterpret_cast<ThreadRecord *>(p)))
        sys(SYS_munmap, p, long(size));
    return true;
}

// Not signal-safe: setup only.
void useCaptureSignal(int signo)
{
    gSignal.store(signo);
}

// Signal-safe.
void captureThreads(HelperShared &h)
{
    h.published.store(0);
    const int signo = gSignal.load();
    ThreadRecord *slots = gSlots.load();
    // A host that took the signal over since: not ours to send.
    if (signo == 0 || !slots || handlerOf(signo) != onCapture)
        return;
    for (int i = 0; i < kSlots; ++i)
        __atomic_store_n(&slots[i].haveRegs, false, __ATOMIC_RELAXED);
    const int round = gRounds.fetch_add(1) + 1;
    gClaimed.store(0);
    gSaved.store(0);
    gWriterTid.store(h.writerTid);
    gOpen.store(round);
    siginfo_t ask;
    fillBytes(&ask, 0, sizeof ask);
    ask.si_signo = signo;
    ask.si_code = SI_QUEUE;
    ask.si_pid = h.pid;
    ask.si_uid = unsigned(sys(SYS_getuid));
    ask.si_value.sival_int = round;
    int asked = 0;
    forEachTask(h.taskDir, h.foreignProc, h.io, h.ioSize, [&](int tid) {
        if (tid != h.writerTid && asked < kSlots && sys(SYS_rt_tgsigqueueinfo, h.pid, tid, signo, arg(&ask)) == 0)
            ++asked;
    });
    const long long deadline = clockMilliseconds(CLOCK_MONOTONIC) + 2000;
    for (int saved = gSaved.load(); saved < asked && clockMilliseconds(CLOCK_MONOTONIC) < deadline;
         saved = gSaved.load())
        futexWait(gSaved, saved, 50);
    gOpen.store(0);
    const int claimed = gClaimed.load();
    h.threads = slots;
    h.threadCapacity = kSlots;
    h.published.store(claimed < kSlots ? claimed : kSlots, std::memory_order_release);
}

// Signal-safe.
void releaseCaptured()
{
    gReleased.store(gRounds.load());
    futexWake(gReleased);
}

} // namespace lx
} // namespace vask
