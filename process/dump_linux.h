#ifndef VASK_DUMP_LINUX_H
#define VASK_DUMP_LINUX_H

// The Linux half of crash dumps, free of Qt: taking over the fatal signals
// and writing an ELF core file of the running process that gdb opens.
//
// Everything reachable from a fatal signal is async-signal-safe: raw system
// calls only, no allocation (scratch memory comes from mmap), no stdio, and
// no lock but DumpLock's futex, which only dumps ever take. Nothing here is exported from the library.

#include <signal.h>

#include <cstddef>

namespace vask { namespace lx {

// A dump file path under construction, in a fixed buffer so it can be built
// inside a signal handler. Appending past the end sets `overflow` and keeps
// the text as it was.
struct PathText {
    char text[4160];
    std::size_t length = 0;
    bool overflow = false;
};

void appendAscii(PathText &path, const char *text);
// UTF-16 (as QString holds it) to UTF-8; an unpaired surrogate becomes U+FFFD.
void appendUtf16(PathText &path, const char16_t *text, std::size_t count);
void appendDecimal(PathText &path, long long value);
// The folder of the running executable, from /proc/self/exe, read straight
// into `path` (no second buffer: the crash path may run on a small stack).
void appendExecutableDir(PathText &path);

// One dump at a time in the whole process: each dump's helper stops every
// other thread, so two dumps at once would stop each other for good. Held
// for the lifetime of the object; a second thread waits (futex, signal-safe)
// until the first dump is done. The holding thread may take it again
// (writeCore does, under DmpHelper::callback), which is then a no-op.
class DumpLock
{
public:
    DumpLock();
    ~DumpLock();
    DumpLock(const DumpLock &) = delete;
    DumpLock &operator=(const DumpLock &) = delete;

private:
    bool owner_;
};

// Milliseconds since the epoch, from CLOCK_REALTIME.
long long realtimeMilliseconds();

// Called on the thread that received a fatal signal, with the handler's
// three arguments.
using FaultFn = void (*)(int signo, siginfo_t *info, void *context);

// Makes `fn` the handler of SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT,
// SIGTRAP and SIGSYS, dropping whatever handled them before. Gives the
// calling thread an alternate signal stack (unless it has a big enough one)
// so that its stack overflowing still reaches the handler. The first thread
// to fault runs `fn`; threads faulting meanwhile wait for the end. After
// `fn` the process dies of the same signal.
void installFaultHandlers(FaultFn fn);

// Writes an ELF core file of this process to `path` (created 0600, truncated
// when present, never through a symbolic link). `context` is the faulting
// thread's ucontext_t; null means the calling thread as it is now. `info`
// may be null. Other threads are stopped for the time of the dump by a
// helper process that traces them; without it (ptrace refused) the dump
// holds the calling thread alone. Takes DumpLock, so it waits while another
// thread dumps. Returns whether the file was created.
bool writeCore(const char *path, int signo, const siginfo_t *info, const void *context);

} }

#endif // VASK_DUMP_LINUX_H
