#ifndef VASK_DUMP_WIN_H
#define VASK_DUMP_WIN_H

// The Windows half of crash-dump capture, free of Qt so that it can be
// cross-built and run on its own. The Qt side decides the file name and hands
// over a wide path; these functions only talk to the operating system.
#include <windows.h>

namespace vask { namespace win {

// Makes `filter` the process-wide last-chance exception filter. Whatever
// filter was installed before is dropped, never chained to.
void installUnhandledFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// Writes a full-memory minidump of this process, with the exception that
// `pointers` describes, to `path` (created, or truncated when present).
// Nothing is reported: when the file can't be created (missing or read-only
// folder, file held open by another writer) no dump is written.
void writeMiniDump(const wchar_t *path, EXCEPTION_POINTERS *pointers);

} }

#endif // VASK_DUMP_WIN_H
