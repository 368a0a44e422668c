#ifndef VASKSUPPORT_CRASH_DUMP_WIN_P_H
#define VASKSUPPORT_CRASH_DUMP_WIN_P_H

// The Windows half of crash-dump capture, free of Qt so that it can be
// cross-built and run on its own. Everything but the lookup of the base
// directory is here: DmpHelper::callback only adds FileHelper::appDir().
#include <windows.h>

namespace vask {
namespace win {

// Makes `filter` the process-wide last-chance exception filter. Whatever
// filter was installed before is dropped, never chained to.
void setupDump(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// Writes a full-memory minidump of this process, with the exception that
// `pointers` describes, to <baseDir>/vask_<milliseconds since the epoch>.dmp
// (baseDir used as given) and returns EXCEPTION_EXECUTE_HANDLER. The file is
// always a new one: when that name is taken (another process crashed in the
// same millisecond) the dump goes to vask_<ms>-<pid>.dmp instead. Nothing
// is reported: when no file can be created (missing or read-only folder) no
// dump is written and the result is the same.
LONG dumpCallback(const wchar_t *baseDir, EXCEPTION_POINTERS *pointers) noexcept;

} // namespace win
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_WIN_P_H
