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

// Creates the dump file as a new one, never opening anything already there:
// a dump of another process that crashed in the same millisecond (or an old
// one) keeps its name, and this one takes "<stem>-<pid>.dmp", then
// "<stem>-<pid>-2.dmp" and so on. No sharing while it is written.
HANDLE createDumpFile(const std::wstring &stem)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int k = 0; k < 10 && file == INVALID_HANDLE_VALUE; ++k) {
        std::wstring path = stem;
        if (k > 0)
            path += L"-" + std::to_wstring(GetCurrentProcessId());
        if (k > 1)
            path += L"-" + std::to_wstring(k);
        path += L".dmp";
        file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break; // no folder, no rights: another name won't help
    }
    return file;
}

void writeMiniDump(const std::wstring &stem, EXCEPTION_POINTERS *pointers)
{
    HANDLE file = createDumpFile(stem);
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
        writeMiniDump(std::wstring(baseDir) + L"/vask_" + std::to_wstring(millisecondsSinceEpoch()), pointers);
    } catch (...) {
        // Out of memory for the path: no dump, and the same result.
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace win
} // namespace vask
