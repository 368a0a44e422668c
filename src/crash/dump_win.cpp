#include "dump_win_p.h"

// dbghelp.h relies on types from windows.h, so it must come second.
#include <dbghelp.h>

#include <string>

namespace vask {
namespace win {

namespace {

// Milliseconds since 1970-01-01 00:00 UTC. FILETIME counts 100 ns steps
// since 1601-01-01.
long long millisecondsSinceEpoch()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    constexpr long long kEpochIn100ns = 116444736000000000LL;
    const long long ticks = static_cast<long long>(t.QuadPart) - kEpochIn100ns;
    // Division truncates toward zero; a clock before 1970 still floors.
    return ticks >= 0 ? ticks / 10000 : -((-ticks + 9999) / 10000);
}

void writeMiniDump(const wchar_t *path, EXCEPTION_POINTERS *pointers)
{
    // No sharing: a second crash in the same millisecond can't interleave
    // its dump with ours; it finds the file busy and writes nothing.
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithFullMemory, &info, nullptr,
                      nullptr);
    CloseHandle(file);
}

} // namespace

void setupDump(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    SetUnhandledExceptionFilter(filter);
}

LONG dumpCallback(const wchar_t *baseDir, EXCEPTION_POINTERS *pointers) noexcept
{
    try {
        const std::wstring path
            = std::wstring(baseDir) + L"/vask_" + std::to_wstring(millisecondsSinceEpoch()) + L".dmp";
        writeMiniDump(path.c_str(), pointers);
    } catch (...) {
        // Out of memory for the path: no dump, and the same result.
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace win
} // namespace vask
