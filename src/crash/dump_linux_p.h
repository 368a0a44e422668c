#ifndef VASKSUPPORT_CRASH_DUMP_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_LINUX_P_H

// The Linux half of crash dumps, free of Qt: taking over the fatal signals
// and writing an ELF core file of the running process that gdb opens.
// Nothing here is exported from the library.
//
// Everything reachable from a fatal signal is async-signal-safe: raw system
// calls only, no allocation, no stdio, nothing bound lazily (the library is
// linked with -z now), and no lock but DumpLock's futex, which only dumps
// take.

#include <signal.h>

#include <cstddef>

namespace vask {
namespace lx {

// A dump file path under construction, in a fixed buffer so it can be built
// inside a signal handler. Appending past the end sets `overflow` and keeps
// the text as it was.
struct PathText {
    char text[4160];
    std::size_t length = 0;
    bool overflow = false;
};

// Signal-safe.
void appendAscii(PathText &path, const char *text);
void appendDecimal(PathText &path, long long value);

// "<base>/vask_<ms>.dmp": the base directory as last set, else (unset, or
// after the library's teardown) the executable's folder. False when there
// is no usable folder or the path would not fit. Signal-safe.
bool buildDumpPath(PathText &path);

// One dump at a time in the whole process: each dump's helper stops every
// other thread, so two dumps at once would stop each other for good. Held
// for the lifetime of the object; a second thread waits (futex, signal-safe)
// until the first dump is done. The holding thread may take it again, which
// is then a no-op.
class DumpLock
{
public:
    DumpLock();
    ~DumpLock();
    DumpLock(const DumpLock &) = delete;
    DumpLock &operator=(const DumpLock &) = delete;

private:
    bool mOwner;
};

// Called on the thread that received a fatal signal, with the handler's
// three arguments.
using FaultFn = void (*)(int signo, siginfo_t *info, void *context);

// Everything the crash path needs that can't be had safely at crash time,
// taken now: the executable's folder (`executableDir`, or /proc/self/exe when
// null), the auxiliary vector, and a reserved scratch workspace. Then makes
// `fn` the handler of SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP and
// SIGSYS, dropping whatever handled them before, and gives the calling
// thread an alternate signal stack unless it has one of 64 KiB or more. The
// first thread to fault runs `fn`; threads faulting meanwhile wait for the
// end. After `fn` the process dies of the same signal. Not signal-safe.
void installFaultHandlers(FaultFn fn, const char *executableDir);

// Writes an ELF core file of this process to `path`. `context` is the
// faulting thread's ucontext_t; null means the calling thread as it is now.
// `info` may be null. Only a new file, or a regular file of ours with a
// single link, is written; nothing is ever opened through a symbolic link or
// at a FIFO or device. Takes DumpLock, so it waits while another thread
// dumps. Returns whether the file was written to. Signal-safe.
bool writeCore(const char *path, int signo, const siginfo_t *info, const void *context);

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_LINUX_P_H
