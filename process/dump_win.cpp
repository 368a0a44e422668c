#include "dump_win.h"

// dbghelp.h relies on types from windows.h, so it must come second.
#include <dbghelp.h>

namespace vask { namespace win {

void installUnhandledFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    SetUnhandledExceptionFilter(filter);
}

void writeMiniDump(const wchar_t *path, EXCEPTION_POINTERS *pointers)
{
    // No sharing: a second crash in the same millisecond can't interleave
    // its dump with ours; it finds the file busy and writes nothing.
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    // Without a file there is nothing to write into or close.
    if (file == INVALID_HANDLE_VALUE)
        return;

    // ClientPointers TRUE: `pointers` lives in the dumped process, which is us.
    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = TRUE;

    // The result is deliberately ignored: we are on the way down and have no
    // one to tell; a failed write leaves an empty or partial file behind.
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                      MiniDumpWithFullMemory, &info, nullptr, nullptr);
    CloseHandle(file);
}

} }
