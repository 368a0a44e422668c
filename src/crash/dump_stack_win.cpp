// The stack a thread keeps for its own overflow, so that a stack overflow
// reaches the filter at all: set by setupDump() for its thread and, in the
// DLL, for every thread started after it.
#include "dump_host_win_p.h"

namespace vask {
namespace win {

namespace {

// What the system needs to raise the exception (a few KiB with AVX-512 state) and the filter's
// path to the helper, with room to spare.
constexpr ULONG kGuarantee = 64 * 1024;
constexpr ULONG_PTR kPage = 4096;

} // namespace

void armStack()
{
    // Windows raises a stack overflow when the guard page, moving down as
    // the stack grows, comes within the thread's guarantee of its end; the
    // handlers run in what is left.
    ULONG guarantee = kGuarantee;
    SetThreadStackGuarantee(&guarantee);
    // Where the stack is committed whole (wine; a host linked to commit its
    // stacks) the one guard page is the last page and nothing is left to
    // run in: a guard page goes back at the guarantee's edge. On a stack
    // committed as it grows, that page is only reserved and left alone.
    MEMORY_BASIC_INFORMATION here;
    if (!VirtualQuery(&here, &here, sizeof here))
        return;
    const auto start = reinterpret_cast<ULONG_PTR>(here.AllocationBase);
    const ULONG_PTR edge = start + 2 * kPage + kGuarantee;
    MEMORY_BASIC_INFORMATION at;
    if (edge + 16 * kPage > reinterpret_cast<ULONG_PTR>(&here)
        || !VirtualQuery(reinterpret_cast<void *>(edge), &at, sizeof at) || at.State != MEM_COMMIT
        || at.Protect != PAGE_READWRITE)
        return;
    DWORD was;
    VirtualProtect(reinterpret_cast<void *>(edge), kPage, PAGE_READWRITE | PAGE_GUARD, &was);
}

bool armed()
{
    return prepared() != nullptr;
}

} // namespace win
} // namespace vask

#if !defined(VASKSUPPORT_STATIC)
// Threads started after setupDump() get the same stack for their overflow.
// (Under the loader lock: nothing here loads or waits.)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_THREAD_ATTACH && vask::win::armed())
        vask::win::armStack();
    return TRUE;
}
#endif
