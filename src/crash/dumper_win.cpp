// vaskdumper.exe: the helper process that writes a crashed host's dump from
// outside it. A crashed process may have a corrupted heap, a lock held by a
// thread that will never run again or no stack left; this process has all
// of its own. Started by DmpHelper::setupDump() as
//   vaskdumper.exe <host pid> <block handle, hex, in the host> <nonce, hex>
// it maps the host's block, then waits for the host's requests and for its
// end, and ends with it. It prints nothing and opens no window.
#include "dump_shared_win_p.h"

#include <cstdlib>

using namespace vask::win;

namespace {

// A handle of the host's, duplicated into this process.
HANDLE fromHost(HANDLE host, ULONGLONG value)
{
    HANDLE mine = nullptr;
    if (!DuplicateHandle(host, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)), GetCurrentProcess(), &mine, 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return mine;
}

// Static: 64 KiB, more than a thread's first stack page should hold.
wchar_t gScratch[kStemChars + 32];

// Takes one request, if the host has not given up on it, and writes it.
void serve(HANDLE host, DWORD pid, SharedBlock *block, HANDLE done)
{
    if (InterlockedCompareExchange(&block->state, Accepted, Requested) != Requested)
        return;
    // The writer takes the stem into gScratch before anything else.
    writeMiniDump(host, pid, block->threadId,
                  reinterpret_cast<EXCEPTION_POINTERS *>(static_cast<ULONG_PTR>(block->pointers)), block->stem,
                  gScratch);
    InterlockedExchange(&block->state, Done);
    SetEvent(done);
}

} // namespace

int main(int argc, char **argv)
{
    // Whatever happens here, no dialog: the user is already losing a program.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    if (argc != 4)
        return 2;
    const DWORD pid = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
    const ULONGLONG blockValue = std::strtoull(argv[2], nullptr, 16);
    const ULONGLONG nonce = std::strtoull(argv[3], nullptr, 16);

    HANDLE host
        = OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!host)
        return 3;
    HANDLE mapping = fromHost(host, blockValue);
    auto *block = mapping
        ? static_cast<SharedBlock *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(SharedBlock)))
        : nullptr;
    // Another process that reused the id would not hold this block.
    if (!block || block->magic != kMagic || block->hostPid != pid || block->nonce != nonce)
        return 4;
    HANDLE request = fromHost(host, block->request);
    HANDLE done = fromHost(host, block->done);
    if (!request || !done)
        return 4;

    // The one wait without a deadline: its reason is the host's life, and
    // the host's end, crashed or not, ends it.
    for (;;) {
        HANDLE waits[2] = {host, request};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
        serve(host, pid, block, done);
    }
}
