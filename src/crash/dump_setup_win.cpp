// setupDump() on Windows: everything the crash path will need, prepared
// while the process is well: the helper process (vaskdumper.exe beside the
// module holding the library) with the block and events it shares with us,
// the executable's folder, the system modules' bounds and abort() caught
// through each C runtime the process has loaded (the stack for a thread's
// own overflow: dump_stack_win.cpp).
#include "dump_win_p.h"

#include <csignal>

#include "dump_host_win_p.h"

namespace vask {
namespace win {

namespace {

Prepared gPrepared;
Prepared *volatile gReady = nullptr;
volatile LONG gStarted = 0;
wchar_t gPath[kStemChars];
wchar_t gCommand[kStemChars + 96];

wchar_t *appendHex(wchar_t *to, ULONGLONG value)
{
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = L"0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    while (n > 0)
        *to++ = digits[--n];
    *to = L'\0';
    return to;
}

// The folder of `module`'s file (null: the executable's) into `path`, up to
// and with its last separator; its length, 0 when it can't be had.
DWORD moduleFolder(HMODULE module, wchar_t *path, DWORD room)
{
    const DWORD n = GetModuleFileNameW(module, path, room);
    DWORD cut = n < room ? n : 0;
    while (cut > 0 && path[cut - 1] != L'\\' && path[cut - 1] != L'/')
        --cut;
    path[cut] = L'\0';
    return cut;
}

// Starts vaskdumper.exe for this process. Where it is missing (a host that
// copied the DLL alone) or anything fails, the filter writes the dump
// itself, as it would without a helper.
void startHelper(Prepared &p)
{
    // The module this code is in: the DLL, or for the static library the
    // executable.
    HMODULE self = nullptr;
    DWORD n = 0;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&startHelper), &self))
        n = moduleFolder(self, gPath, kStemChars - 32);
    if (n == 0)
        return;
    appendText(gPath + n, kHelperName, gPath + kStemChars);
    // Only a regular file is started.
    const DWORD attributes = GetFileAttributesW(gPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return;

    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(SharedBlock), nullptr);
    auto *block = mapping ? static_cast<SharedBlock *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    HANDLE request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    PROCESS_INFORMATION helper = {};
    if (block && request && done) {
        block->magic = kMagic;
        block->hostPid = GetCurrentProcessId();
        block->nonce = ULONGLONG(counter.QuadPart) * 0x9E3779B97F4A7C15ULL ^ reinterpret_cast<ULONG_PTR>(block);
        block->request = reinterpret_cast<ULONG_PTR>(request);
        block->done = reinterpret_cast<ULONG_PTR>(done);
        block->state = Idle;
        // "<helper>" <pid> <block handle> <nonce>
        const wchar_t *limit = gCommand + sizeof gCommand / sizeof *gCommand;
        wchar_t *at = appendText(gCommand, L"\"", limit);
        at = appendText(at, gPath, limit - 80);
        at = appendText(at, L"\" ", limit);
        at = appendDecimal(at, block->hostPid);
        at = appendText(at, L" ", limit);
        at = appendHex(at, reinterpret_cast<ULONG_PTR>(mapping));
        at = appendText(at, L" ", limit);
        appendHex(at, block->nonce);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        // No handles inherited, no console, no window: nothing of the host's
        // is held open by the helper.
        if (!CreateProcessW(gPath, gCommand, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                            &helper))
            helper.hProcess = nullptr;
    }
    if (!helper.hProcess) {
        if (block)
            UnmapViewOfFile(block);
        const HANDLE made[] = {mapping, request, done};
        for (HANDLE h : made)
            if (h)
                CloseHandle(h);
        return;
    }
    CloseHandle(helper.hThread);
    // The mapping's handle stays open: the helper duplicates it from us.
    p.block = block;
    p.request = request;
    p.done = done;
    p.helper = helper.hProcess;
}

void noteSystemModules(Prepared &p)
{
    const wchar_t *names[] = {L"ntdll.dll", L"kernel32.dll", L"kernelbase.dll"};
    for (int i = 0; i < 3; ++i) {
        const auto base = reinterpret_cast<const unsigned char *>(GetModuleHandleW(names[i]));
        if (!base)
            continue;
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        p.system[i].begin = reinterpret_cast<ULONG_PTR>(base);
        p.system[i].end = p.system[i].begin + nt->OptionalHeader.SizeOfImage;
    }
}

// abort() raises SIGABRT in the C runtime that the caller uses, then ends
// the process with exit code 3 without any exception: no filter sees it.
// The dump is written here, on the aborting thread, with a record of its
// own (STATUS_FATAL_APP_EXIT, as the UCRT reports an abort), and then the
// runtime goes on to end the process as it would have.
void __cdecl onAbort(int)
{
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0x40000015; // STATUS_FATAL_APP_EXIT
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<PVOID>(context.Rip);
    EXCEPTION_POINTERS pointers = {&record, &context};
    crashCallback(&pointers);
}

// Each C runtime keeps its own signal table: MinGW programs use msvcrt.dll,
// MSVC programs the UCRT (a program linked with the static runtime can't be
// reached). Only runtimes already loaded are asked.
void catchAbort()
{
    using Handler = void(__cdecl *)(int);
    using Signal = Handler(__cdecl *)(int, Handler);
    const wchar_t *runtimes[] = {L"msvcrt.dll", L"ucrtbase.dll", L"ucrtbased.dll"};
    for (const wchar_t *name : runtimes) {
        const HMODULE crt = GetModuleHandleW(name);
        const auto signalOf
            = reinterpret_cast<Signal>(reinterpret_cast<void (*)()>(crt ? GetProcAddress(crt, "signal") : nullptr));
        if (signalOf)
            signalOf(SIGABRT, &onAbort);
    }
}

} // namespace

void keepExeDir(Prepared &p, const wchar_t *exeDir)
{
    if (exeDir) {
        appendText(p.exeDir, exeDir, p.exeDir + kStemChars - 40);
        return;
    }
    // Without Qt's answer: the executable's folder, written as Qt writes it
    // (slashes, none at the end).
    const DWORD n = moduleFolder(nullptr, p.exeDir, kStemChars - 40);
    for (DWORD i = 0; i < n; ++i)
        if (p.exeDir[i] == L'\\')
            p.exeDir[i] = L'/';
    p.exeDir[n > 0 ? n - 1 : 0] = L'\0';
}

const Prepared *prepared()
{
    return gReady;
}

void setupDump(LPTOP_LEVEL_EXCEPTION_FILTER filter, const wchar_t *exeDir)
{
    // Once per process, however often it is called: one helper.
    if (InterlockedCompareExchange(&gStarted, 1, 0) == 0) {
        keepExeDir(gPrepared, exeDir);
        noteSystemModules(gPrepared);
        startHelper(gPrepared);
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&gReady), &gPrepared);
    }
    catchAbort();
    armStack();
    SetUnhandledExceptionFilter(filter);
}

} // namespace win
} // namespace vask
