// The last-chance filter's work after a fault: one thread at a time, the
// dump's name built in static storage, the helper process asked to write it,
// the process itself writing only when the helper is missing or silent.
// Nothing here allocates, calls Qt or the C++ library, or waits without a
// deadline; the faulting thread may have a page of stack left.
#include "dump_win_p.h"

#include "dump_basedir_p.h"
#include "dump_host_win_p.h"

namespace vask {
namespace win {

namespace {

constexpr DWORD kAnswerMs = 5000; // the helper takes a request...
constexpr DWORD kWriteMs = 10 * 60 * 1000; // ...and writes it
constexpr DWORD kGraceMs = 5000; // a crash's process ends
constexpr DWORD kPollMs = 5;

// Whose dump is being written (a thread id), whether that is a crash (its
// thread ends the process: the claim is never given back) and whether the
// crash's dump is finished.
volatile LONG gOwner = 0;
volatile LONG gCrashing = 0;
volatile LONG gFinished = 0;

// Used by the owning thread only. Static, not on a stack that may be
// nearly gone.
wchar_t gStem[kStemChars];
wchar_t gScratch[kStemChars + 32];
char gBase[4096];
Prepared gLate; // the executable's folder for a direct call without setup

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

// "<base>/vask_<ms>" into `to`; false when the base directory can't be used
// (then no dump at all, never one in a third place).
bool buildStem(wchar_t *to, const wchar_t *exeDir)
{
    const long long ms = millisecondsSinceEpoch();
    std::size_t length = 0;
    const dump::BaseDir base = dump::readBaseDir(gBase, sizeof gBase, length);
    if (base == dump::BaseDir::Unusable)
        return false;
    constexpr int kRoom = int(kStemChars) - 32;
    wchar_t *at = to;
    if (base == dump::BaseDir::Set) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, gBase, int(length), to, kRoom);
        if (n == 0)
            return false;
        at = to + n;
    } else {
        at = appendText(to, exeDir, to + kRoom);
    }
    appendDecimal(appendText(at, L"/vask_", to + kStemChars), ms);
    return true;
}

// Hands the dump to the helper process. False when it is ours to write:
// no helper, a helper that is gone, or one that did not take the request
// in time (it then never will).
bool askHelper(const Prepared &p, EXCEPTION_POINTERS *pointers, DWORD thread)
{
    SharedBlock *b = p.block;
    if (!b || WaitForSingleObject(p.helper, 0) != WAIT_TIMEOUT)
        return false;
    const LONG state = b->state;
    if (state == Requested || state == Accepted)
        return false; // still busy with a request it was given up on
    ResetEvent(p.done);
    b->threadId = thread;
    b->pointers = reinterpret_cast<ULONG_PTR>(pointers);
    InterlockedExchange(&b->state, Requested);
    SetEvent(p.request);
    HANDLE waits[2] = {p.done, p.helper};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, kAnswerMs);
    if (r != WAIT_OBJECT_0) {
        if (InterlockedCompareExchange(&b->state, Abandoned, Requested) == Requested)
            return false; // never taken
        if (r == WAIT_TIMEOUT)
            r = WaitForMultipleObjects(2, waits, FALSE, kWriteMs); // being written
    }
    if (b->state == Done) {
        InterlockedExchange(&b->state, Idle);
        return true;
    }
    // Gone while writing: its file stays, cut short, and ours is a new one.
    // Still writing after the deadline: no second writer beside it.
    return r == WAIT_TIMEOUT;
}

bool calledBySystem(const Prepared *p, const void *caller)
{
    const auto at = reinterpret_cast<ULONG_PTR>(caller);
    if (p)
        for (const auto &range : p->system)
            if (at >= range.begin && at < range.end)
                return true;
    return false;
}

void writeDump(EXCEPTION_POINTERS *pointers, DWORD thread)
{
    const Prepared *p = prepared();
    if (!p && !gLate.exeDir[0])
        keepExeDir(gLate, nullptr); // a direct call without setupDump(): an ordinary moment
    const Prepared &use = p ? *p : gLate;
    wchar_t *stem = use.block ? use.block->stem : gStem;
    if (!buildStem(stem, use.exeDir))
        return;
    if (askHelper(use, pointers, thread))
        return;
    writeMiniDump(GetCurrentProcess(), GetCurrentProcessId(), thread, pointers, stem, gScratch);
}

LONG run(EXCEPTION_POINTERS *pointers, bool crash)
{
    const DWORD me = GetCurrentThreadId();
    const ULONGLONG deadline = GetTickCount64() + kAnswerMs + kWriteMs;
    for (;;) {
        const LONG owner = InterlockedCompareExchange(&gOwner, LONG(me), 0);
        if (owner == 0)
            break;
        if (DWORD(owner) == me)
            return EXCEPTION_EXECUTE_HANDLER; // a fault inside this thread's own dump
        if (gCrashing) {
            // Another thread's crash: its dump is the process's, and that
            // thread ends the process once it is written, never before.
            while (!gFinished && GetTickCount64() < deadline)
                Sleep(kPollMs);
            Sleep(kGraceMs);
            return EXCEPTION_EXECUTE_HANDLER;
        }
        if (GetTickCount64() >= deadline)
            return EXCEPTION_EXECUTE_HANDLER;
        Sleep(kPollMs); // a direct call's dump: ours comes after it
    }
    if (crash)
        InterlockedExchange(&gCrashing, 1);
    writeDump(pointers, me);
    if (crash) {
        InterlockedExchange(&gFinished, 1);
        return EXCEPTION_EXECUTE_HANDLER; // one dump per crash: the claim stays
    }
    InterlockedExchange(&gOwner, 0);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

LONG dumpCallback(EXCEPTION_POINTERS *pointers, const void *caller) noexcept
{
    return run(pointers, calledBySystem(prepared(), caller));
}

LONG crashCallback(EXCEPTION_POINTERS *pointers) noexcept
{
    return run(pointers, true);
}

} // namespace win
} // namespace vask
