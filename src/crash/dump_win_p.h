#ifndef VASKSUPPORT_CRASH_DUMP_WIN_P_H
#define VASKSUPPORT_CRASH_DUMP_WIN_P_H

// The Windows half of crash-dump capture, free of Qt so that it can be
// cross-built and run on its own. DmpHelper only adds the executable's
// folder as Qt reports it.
#include <windows.h>

namespace vask {
namespace win {

// Prepares the crash path (once: the helper process, the executable's
// folder, abort() caught through the C runtimes the process has loaded),
// then makes `filter` the process-wide last-chance exception filter; the
// filter installed before is dropped, never chained to. `exeDir` may be
// null: the executable's own path is asked for then.
void setupDump(LPTOP_LEVEL_EXCEPTION_FILTER filter, const wchar_t *exeDir);

// Writes a full-memory minidump of this process, with the exception that
// `pointers` describes, to <base>/vask_<milliseconds since the epoch>.dmp
// (base: the base directory in force now, used as given, or the
// executable's folder) and returns EXCEPTION_EXECUTE_HANDLER. `caller` is
// the filter's return address: the system's last-chance handling means a
// crash, which writes one dump and never gives way to a later one. The file
// is always a new one (a taken name gives vask_<ms>-<pid>.dmp). Nothing is
// reported; allocates nothing, takes no lock another thread may hold.
LONG dumpCallback(EXCEPTION_POINTERS *pointers, const void *caller) noexcept;

} // namespace win
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_WIN_P_H
