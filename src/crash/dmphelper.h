#ifndef VASKSUPPORT_CRASH_DMPHELPER_H
#define VASKSUPPORT_CRASH_DMPHELPER_H

#include "vasksupport_global.h"

#if defined(_WIN32)
// The system's own exception record (windows.h), named here without pulling
// all of windows.h into every host file.
struct _EXCEPTION_POINTERS;
typedef struct _EXCEPTION_POINTERS EXCEPTION_POINTERS;
#else
#include <signal.h>
// Where Windows' exception records don't exist, a fatal signal is described
// by what a SA_SIGINFO handler receives: the signal, its siginfo_t and the
// thread's ucontext_t. Any of the pointers may be null.
struct EXCEPTION_POINTERS {
    int signalNumber;
    siginfo_t *signalInfo;
    void *context; // ucontext_t of the thread the signal interrupted
};
#endif

// A full-memory dump of the process when it dies of a fault nothing handled:
// vask_<milliseconds since the epoch>.dmp in FileHelper::appDir(), looked up
// at the moment of the crash. Windows writes a minidump with full memory;
// Linux an ELF core file that gdb opens ("gdb <executable> <dump>").
class VASKSUPPORT_EXPORT DmpHelper
{
public:
    DmpHelper() = default;
    DmpHelper(const DmpHelper &) = default;
    DmpHelper(DmpHelper &&) = default;
    // Holds nothing, so copies nothing.
    DmpHelper &operator=(const DmpHelper &);
    DmpHelper &operator=(DmpHelper &&);

    // Makes callback the process's last-chance handler, dropping the one
    // installed before; calling it again installs again.
    // Windows: also starts, once, the helper process vaskdumper.exe (looked
    // for beside the DLL) that writes the dump from outside the crashed
    // process, takes SIGABRT in the C runtimes loaded (abort() raises no
    // exception), and gives this thread and every thread started later
    // 64 KiB of stack for its own overflow.
    // Linux: takes over SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP and
    // SIGSYS, and gives the calling thread an alternate signal stack so that
    // its stack overflowing is caught too. Other threads overflowing their
    // stack are caught only if they have one: call setupDump() on them as
    // well (or give them one with sigaltstack). The crash path needs 4.4 KiB
    // of alternate stack, the kernel's signal frame included (measured on
    // AVX-512; a host's own 8 KiB stack is enough). setupDump() also takes
    // what the crash path can't safely get later: the executable's folder,
    // the auxiliary vector, 3.5 MiB of reserved scratch address space, four
    // descriptors (closed on exec) and one unused real-time signal, by which
    // threads are asked for their registers where ptrace is refused.
    static void setupDump();

    // Writes one dump of the whole process and returns 1
    // (EXCEPTION_EXECUTE_HANDLER). After a crash the process then ends as it
    // would have without us (Linux: by the same signal). Called directly it
    // returns 1 and the process goes on; on Linux a null pointer means "the
    // calling thread, now", and the file is always a new one (when the name
    // is taken, vask_<ms>-<pid>.dmp). Nothing is reported when the file
    // can't be created or written.
    static long callback(EXCEPTION_POINTERS *pointers);
};

#endif // VASKSUPPORT_CRASH_DMPHELPER_H
