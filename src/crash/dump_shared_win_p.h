#ifndef VASKSUPPORT_CRASH_DUMP_SHARED_WIN_P_H
#define VASKSUPPORT_CRASH_DUMP_SHARED_WIN_P_H

// What the library (inside the host) and vaskdumper.exe (the helper process
// that writes the host's dump from outside) share: the layout of the block
// both map, and the minidump writer both call. Qt-free, no C++ library.
#include <windows.h>

namespace vask {
namespace win {

// The helper's file name, looked for beside the module holding the library.
constexpr wchar_t kHelperName[] = L"vaskdumper.exe";

// "<base>/vask_<ms>" at its longest: a Windows path's limit and the stamp.
constexpr unsigned kStemChars = 32768 + 32;

// Where a request stands. The host moves Idle -> Requested and, when the
// helper did not answer in time, Requested -> Abandoned; the helper moves
// Requested -> Accepted -> Done. Each move is one interlocked exchange, so
// host and helper never both write a dump for one request.
enum State : LONG { Idle = 0, Requested = 1, Accepted = 2, Done = 3, Abandoned = 4 };

constexpr DWORD kMagic = 0x4d444b56; // "VKDM"

// The mapped block, created by the host at setupDump(). The handle values
// are the host's own; the helper duplicates them into itself.
struct SharedBlock {
    DWORD magic;
    DWORD hostPid;
    ULONGLONG nonce; // also on the helper's command line: the right block
    ULONGLONG request; // HANDLE, auto-reset event: a request is waiting
    ULONGLONG done; // HANDLE, manual-reset event: the helper finished
    volatile LONG state;
    DWORD threadId; // the faulting (or calling) thread
    ULONGLONG pointers; // its EXCEPTION_POINTERS*, in the host
    wchar_t stem[kStemChars]; // NUL-terminated, without ".dmp"
};

// Writes a full-memory minidump of `process` (whose id is `pid`), with the
// exception record of thread `threadId` read from `pointers` in that
// process, to a new file "<stem>.dmp" (taken: "<stem>-<pid>.dmp", then
// "<stem>-<pid>-<k>.dmp"). `scratch` holds kStemChars + 32 characters for
// the name. Allocates nothing itself, so the crashed process may call it
// for its own dump.
void writeMiniDump(HANDLE process, DWORD pid, DWORD threadId, EXCEPTION_POINTERS *pointers, const wchar_t *stem,
                   wchar_t *scratch);

// Copies the NUL-terminated `from` to `to`, stopping short of `limit`, and
// returns the end, NUL-terminated. No C library call.
wchar_t *appendText(wchar_t *to, const wchar_t *from, const wchar_t *limit);

// Appends the decimal text of `value` at `to` (room for 21 characters) and
// returns the end, NUL-terminated. No C library call.
wchar_t *appendDecimal(wchar_t *to, long long value);

} // namespace win
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_SHARED_WIN_P_H
