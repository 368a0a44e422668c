#ifndef VASKSUPPORT_CRASH_DUMP_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_LINUX_P_H

// The Linux half of crash dumps, free of Qt: taking over the fatal signals
// and writing an ELF core file of the running process that gdb opens.
// Nothing here is exported from the library.
//
// Everything reachable from a fatal signal is async-signal-safe: raw system
// calls only, no allocation, no stdio, no call into any other library (so
// nothing bound lazily, however the host links), and no lock but DumpLock's
// futex, which only dumps take.

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

// "<base>/vask_<ms>": the base directory as last set, else (unset, or after
// the library's teardown) the executable's folder. False when there is no
// usable folder or the path would not fit. Signal-safe.
bool buildDumpStem(PathText &path);

// Creates the dump file "<stem>.dmp", always a new file: when that name is
// taken, "<stem>-<pid>.dmp", then "<stem>-<pid>-<k>.dmp" (k = 2 ... 9).
// Returns the descriptor or -errno. Signal-safe.
int createDumpFile(PathText &path);

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

// Everything the crash path needs that can't be had safely at crash time,
// taken now: the executable's folder (`executableDir`, or /proc/self/exe when
// null), the auxiliary vector, a reserved scratch workspace, a few
// descriptors, and a signal for asking threads for their registers. Then
// takes over SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP and SIGSYS,
// dropping whatever handled them before, and gives the calling thread an
// alternate signal stack unless it has one of 64 KiB or more. The first
// thread to fault writes the dump; threads faulting meanwhile wait for the
// end. Then the process dies of the same signal. Not signal-safe.
void installFaultHandlers(const char *executableDir);

// A dump asked for by the host, of the process as it is; `context` is a
// thread's ucontext_t, null meaning the calling thread now. `info` may be
// null. Waits while another thread dumps. Returns whether a file was
// written. Signal-safe.
bool dumpDirect(int signo, const siginfo_t *info, const void *context);

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_LINUX_P_H
