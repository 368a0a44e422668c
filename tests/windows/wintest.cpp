// A Windows host built against VaskSupport.dll, driven from outside by
// scripts/checks/40-wine.sh (files written, exit code, printed lines), which
// also runs vaskprobe.exe for the screen, text and numeric helpers. Modes:
//   wintest crash <base> <how>       setBaseDirPath, setupDump, then die for real (crash())
//   wintest direct <base|setup>...   DmpHelper::callback by hand for each base; "setup": setupDump()
//   wintest taken <base>             the same after setupDump(), with the dump's name taken
//   wintest hold <file>              open a file without sharing until stdin closes
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "dmphelper.h"
#include "filehelper.h"

namespace {

// A store into a read-only page: an access violation on Windows and under
// wine alike (wine keeps the page at address 0 mapped, so a null store would
// not fault). Called through a volatile pointer so it stays a function of
// its own, whose bounds the dump's exception address must fall within.
void storeInto(void *page)
{
    *static_cast<volatile int *>(page) = 1;
}
void (*volatile gFault)(void *) = storeInto;

// Unbounded recursion: a stack overflow (0xC00000FD). The volatile array
// keeps each frame real.
int recurse(int depth)
{
    volatile char frame[512];
    frame[depth % 512] = char(depth);
    return depth > 1000000000 ? frame[0] : recurse(depth + 1) + frame[depth % 512];
}

// Prints the id of a thread that is about to die.
void says()
{
    std::printf("thread %lu\n", GetCurrentThreadId());
    std::fflush(stdout);
}

void *gPage = nullptr;
volatile LONG gWaiting = 4;

// Heap corruption, twice over: a block's header overwritten, then the block
// freed (Windows' heap ends the process there, on its own); then a freed
// block's links overwritten, as a write after free does, and allocations
// walking them (wine's heap faults there, holding its lock).
void corruptHeap()
{
    says();
    const HANDLE heap = GetProcessHeap();
    for (int round = 0; round < 2; ++round) {
        auto *block = static_cast<unsigned char *>(HeapAlloc(heap, 0, 96));
        for (int i = 0; i < 8; ++i)
            HeapAlloc(heap, 0, 96); // nothing for the freed block to merge with
        if (round == 1)
            HeapFree(heap, 0, block);
        volatile unsigned char *bytes = round == 0 ? block - 16 : block;
        for (int i = 0; i < 16; ++i)
            bytes[i] = 0xAB;
        if (round == 0)
            HeapFree(heap, 0, block);
    }
    for (int i = 0; i < 64; ++i)
        HeapAlloc(heap, 0, 96);
}

// Runs `die` on threads of its own and waits for them.
void onThreads(int n, void (*die)())
{
    HANDLE threads[4];
    for (int i = 0; i < n; ++i)
        threads[i] = CreateThread(
            nullptr, 0, [](void *f) -> DWORD { return reinterpret_cast<void (*)()>(f)(), 0; },
            reinterpret_cast<void *>(die), 0, nullptr);
    WaitForMultipleObjects(DWORD(n), threads, TRUE, 60000);
}

// How a host dies after setupDump(): the rows of 40-wine.sh.
const std::map<QString, void (*)()> kDeaths = {
    {QStringLiteral("av"), [] { says(), gFault(gPage); }},
    {QStringLiteral("threads"), [] { onThreads(4, [] {
         says();
         InterlockedDecrement(&gWaiting);
         while (gWaiting > 0)
             YieldProcessor();
         gFault(gPage);
     }); }},
    {QStringLiteral("overflow"), [] { says(), std::printf("%d\n", recurse(0)); }},
    {QStringLiteral("overflowthread"), [] { onThreads(1, [] { says(), std::printf("%d\n", recurse(0)); }); }},
    {QStringLiteral("heap"), corruptHeap},
    {QStringLiteral("abort"), [] { says(), std::abort(); }},
    {QStringLiteral("throw"), [] { says(), throw std::runtime_error("nobody catches this"); }},
};

// Helper processes of ours that this process started.
int helpers()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
        n += entry.th32ParentProcessID == GetCurrentProcessId() && !lstrcmpiW(entry.szExeFile, L"vaskdumper.exe");
    CloseHandle(snapshot);
    return n;
}

// A death of kDeaths after setupDump(); or "helpers": the helper processes
// before setupDump() and after two calls, then a normal end.
int crash(const QString &how)
{
    const int before = helpers();
    DmpHelper::setupDump();
    if (how == QLatin1String("helpers")) {
        DmpHelper::setupDump();
        Sleep(200);
        std::printf("helpers %d %d\n", before, helpers());
        return 0;
    }
    // The faulting function's bounds, from its unwind entry (without one,
    // its first byte).
    DWORD64 image = 0;
    const auto start = reinterpret_cast<DWORD64>(gFault);
    const RUNTIME_FUNCTION *entry = RtlLookupFunctionEntry(start, &image, nullptr);
    std::printf("function %#llx %#llx\n", entry ? image + entry->BeginAddress : start,
                entry ? image + entry->EndAddress : start + 1);
    gPage = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
    const auto death = kDeaths.find(how);
    if (death != kDeaths.end())
        death->second();
    std::printf("survived\n");
    return 1;
}

// Files under the dump names of 300 ms from 3 s on, as another process
// crashing at the same moment would leave them; then the wait until the
// middle of those 300 ms. False when planting took longer than the 3 s.
bool takeNames(const QString &base)
{
    const qint64 start = QDateTime::currentMSecsSinceEpoch() + 3000;
    for (qint64 t = start; t < start + 300; ++t) {
        QFile file(base + QStringLiteral("/vask_%1.dmp").arg(t));
        if (file.open(QIODevice::WriteOnly))
            file.write("taken");
    }
    std::printf("pid %lu\n", GetCurrentProcessId());
    const qint64 left = start + 150 - QDateTime::currentMSecsSinceEpoch();
    Sleep(DWORD(left >= 150 ? left : 0));
    return left >= 150;
}

int direct(const QStringList &bases)
{
    CONTEXT context = {};
    RtlCaptureContext(&context);
    // A code of its own, so the dump shows which record it was given.
    EXCEPTION_RECORD record = {0xE0564B53, 0, nullptr, reinterpret_cast<PVOID>(context.Rip), 0, {}};
    EXCEPTION_POINTERS pointers = {&record, &context};
    for (const QString &base : bases) {
        if (base == QLatin1String("setup")) {
            DmpHelper::setupDump(); // from here on the helper writes
            continue;
        }
        FileHelper::setBaseDirPath(base);
        std::printf("result %ld\n", DmpHelper::callback(&pointers));
    }
    std::printf("continued\n");
    return 0;
}

// Holds a file open with no sharing at all, as an editor or a copy in
// progress may, until its standard input ends (or a minute has passed).
int hold(const QString &path)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char byte;
    DWORD got = 0;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (ULONGLONG end = GetTickCount64() + 60000; GetTickCount64() < end;)
        if (!ReadFile(in, &byte, 1, &got, nullptr) || got == 0)
            break;
    CloseHandle(file);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);
    if (args.size() == 2 && mode == QLatin1String("hold"))
        return hold(args[1]);
    if (args.size() == 3 && mode == QLatin1String("crash")) {
        FileHelper::setBaseDirPath(args[1]);
        return crash(args[2]);
    }
    if (args.size() < 2 || (mode != QLatin1String("direct") && (mode != QLatin1String("taken") || args.size() != 2)))
        return 2;
    says(); // whose dump it must record
    // With setupDump() the helper process writes what callback asks for;
    // without it, callback writes it itself.
    if (mode == QLatin1String("taken")) {
        DmpHelper::setupDump();
        if (!takeNames(args[1]))
            return 3;
    }
    return direct(args.mid(1));
}
