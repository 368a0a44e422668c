// The minidump writer that both the helper process and, as a fallback, the
// crashed process itself call: new files only, nothing allocated here.
#include "dump_shared_win_p.h"

// dbghelp.h relies on types from windows.h, so it must come second.
#include <dbghelp.h>

namespace vask {
namespace win {

wchar_t *appendText(wchar_t *to, const wchar_t *from, const wchar_t *limit)
{
    while (*from && to + 1 < limit)
        *to++ = *from++;
    *to = L'\0';
    return to;
}

wchar_t *appendDecimal(wchar_t *to, long long value)
{
    wchar_t digits[20];
    int n = 0;
    // Negated digit by digit, so the most negative value needs no special case.
    const bool negative = value < 0;
    do {
        const int digit = int(value % 10);
        digits[n++] = wchar_t(L'0' + (negative ? -digit : digit));
        value /= 10;
    } while (value != 0);
    if (negative)
        *to++ = L'-';
    while (n > 0)
        *to++ = digits[--n];
    *to = L'\0';
    return to;
}

namespace {

// Creates the dump file as a new one, never opening anything already there:
// a dump of another process that crashed in the same millisecond (or an old
// one) keeps its name, and this one takes "<stem>-<pid>.dmp", then
// "<stem>-<pid>-2.dmp" and so on. No sharing while it is written.
HANDLE createDumpFile(const wchar_t *stem, DWORD pid, wchar_t *scratch)
{
    wchar_t *const end = appendText(scratch, stem, scratch + kStemChars);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int k = 0; k < 10 && file == INVALID_HANDLE_VALUE; ++k) {
        wchar_t *at = end;
        if (k > 0) {
            *at++ = L'-';
            at = appendDecimal(at, pid);
        }
        if (k > 1) {
            *at++ = L'-';
            at = appendDecimal(at, k);
        }
        appendText(at, L".dmp", scratch + kStemChars + 32);
        file = CreateFileW(scratch, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break; // no folder, no rights: another name won't help
    }
    return file;
}

} // namespace

void writeMiniDump(HANDLE process, DWORD pid, DWORD threadId, EXCEPTION_POINTERS *pointers, const wchar_t *stem,
                   wchar_t *scratch)
{
    HANDLE file = createDumpFile(stem, pid, scratch);
    // Without a file there is nothing to write into or close.
    if (file == INVALID_HANDLE_VALUE)
        return;

    // ClientPointers TRUE: `pointers` lives in the dumped process.
    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = threadId;
    info.ExceptionPointers = pointers;
    info.ClientPointers = TRUE;

    // The result is deliberately ignored: the process is on its way down and
    // there is no one to tell; a failed write leaves an empty or partial file.
    MiniDumpWriteDump(process, pid, file, MiniDumpWithFullMemory, &info, nullptr, nullptr);
    CloseHandle(file);
}

} // namespace win
} // namespace vask
