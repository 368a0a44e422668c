#ifndef VASKSUPPORT_CRASH_DUMP_HOST_WIN_P_H
#define VASKSUPPORT_CRASH_DUMP_HOST_WIN_P_H

// What setupDump() prepares in the host for the filter (dump_setup_win.cpp
// fills it, dump_win.cpp reads it): everything the crash path needs, so that
// after a fault it allocates nothing and asks nothing of Qt or the C++
// library. Qt-free, not exported.
#include "dump_shared_win_p.h"

namespace vask {
namespace win {

struct Prepared {
    // The helper process and what it shares with us; null where it could
    // not be started (the filter then writes the dump itself).
    SharedBlock *block;
    HANDLE request;
    HANDLE done;
    HANDLE helper;
    // The system modules that call the process's last-chance filter: a
    // call from there is a crash, any other a host calling directly.
    struct {
        ULONG_PTR begin, end;
    } system[3];
    // The executable's folder, for a crash while no base directory is set.
    wchar_t exeDir[kStemChars];
};

// Set once, complete, by setupDump(); null before.
const Prepared *prepared();

// Keeps `exeDir` as the executable's folder, or where it is null the
// executable's own path's folder, written as Qt writes it.
void keepExeDir(Prepared &p, const wchar_t *exeDir);

// Gives the calling thread the stack it needs to have its own overflow
// caught, and whether setupDump() has run (threads started later get it too).
void armStack();
bool armed();

// The crash path for a fault the library caught itself (abort()): as the
// last-chance filter does, then back to the caller. Returns 1.
LONG crashCallback(EXCEPTION_POINTERS *pointers) noexcept;

} // namespace win
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_HOST_WIN_P_H
