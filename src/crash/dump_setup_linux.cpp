// Setting up for crashes: what the crash path will need is taken here, while
// the process is still well, and the fatal signals are taken over. Nothing
// here runs on the crash path.
#include "dump_linux_p.h"

#include "dump_internal_linux_p.h"
#include "dump_sys_linux_p.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cstring>

namespace vask {
namespace lx {

namespace {

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

// The highest real-time signal nobody handles, blocks or ignores here, made
// the one that asks threads for their registers; kept across calls.
void chooseCaptureSignal()
{
    const int held = captureSignal();
    if ((held != 0 && handlerOf(held) == onCapture) || !reserveCaptureSlots())
        return;
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    for (int s = SIGRTMAX; s >= SIGRTMIN; --s) {
        struct sigaction current;
        if (sigaction(s, nullptr, &current) != 0 || current.sa_handler != SIG_DFL || sigismember(&blocked, s))
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = onCapture;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        // Nothing of the host runs on a thread while it waits for the dump;
        // a fault still reaches the crash handler.
        sigfillset(&action.sa_mask);
        for (int f : kFatalSignals)
            sigdelset(&action.sa_mask, f);
        if (sigaction(s, &action, nullptr) == 0) {
            useCaptureSignal(s);
            return;
        }
    }
}

} // namespace

void installFaultHandlers(const char *executableDir)
{
    rememberExecutableDir(executableDir);
    rememberAuxv();
    reserveWorkspace();
    reserveDescriptors();
    chooseCaptureSignal();
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
