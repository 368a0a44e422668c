// Drives the Windows platform files the way the library does, so that a
// script can check their effects from outside (files written, exit code,
// printed geometry). Modes:
//   wintest crash <folder>             install the filter, then fault for real
//   wintest direct <folder> [folder..] call the filter by hand for each folder
//   wintest screen                     query the desktop monitor twice
// The filter is DmpHelper::callback with the folder given here in place of
// FileHelper::appDir(): the rest (time, path, file, dump, result) is
// dump_win.cpp, the code the library runs.
#include "dump_win_p.h"
#include "screen_platform_p.h"

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

const wchar_t *gFolder = L"";

// What DmpHelper::callback does, with gFolder for FileHelper::appDir().
LONG WINAPI dumpFilter(EXCEPTION_POINTERS *pointers)
{
    return vask::win::dumpCallback(gFolder, pointers);
}

void printThread()
{
    std::printf("thread %lu\n", static_cast<unsigned long>(GetCurrentThreadId()));
    std::fflush(stdout);
}

int crash()
{
    vask::win::setupDump(dumpFilter);
    printThread();
    // A store into a read-only page: an access violation on Windows and under
    // wine alike (wine keeps the page at address 0 mapped, so a null store
    // would not fault). The volatile store can't be optimised away.
    void *page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
    if (page)
        *static_cast<volatile int *>(page) = 1;
    std::printf(page ? "survived the fault\n" : "no read-only page\n");
    return 1;
}

int direct(int count, wchar_t **folders)
{
    CONTEXT context = {};
    RtlCaptureContext(&context);
    // A code of its own, so the dump shows which record it was given.
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0564B53;
    record.ExceptionAddress = reinterpret_cast<PVOID>(context.Rip);
    EXCEPTION_POINTERS pointers = {&record, &context};
    printThread();
    for (int i = 0; i < count; ++i) {
        gFolder = folders[i];
        std::printf("result %ld\n", static_cast<long>(dumpFilter(&pointers)));
    }
    std::printf("continued\n");
    return 0;
}

// Two queries; a failed one must leave the caller's values alone.
int screen()
{
    int failedButWritten = 0;
    for (const char *label : {"screen", "again"}) {
        vask::screen::Geometry g = {-7, -7, -7, -7};
        if (vask::screen::queryDesktopMonitor(g)) {
            std::printf("%s true %d %d %d %d %.6f\n", label, g.screenWidth, g.screenHeight, g.pixelWidth,
                        g.pixelHeight, static_cast<double>(g.pixelWidth) / static_cast<double>(g.screenWidth));
        } else {
            std::printf("%s false\n", label);
            failedButWritten += g.screenWidth != -7 || g.screenHeight != -7 || g.pixelWidth != -7 || g.pixelHeight != -7;
        }
    }
    if (failedButWritten)
        std::printf("outputs written on failure\n");
    return failedButWritten ? 3 : 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"crash") == 0) {
        gFolder = argv[2];
        return crash();
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"direct") == 0)
        return direct(argc - 2, argv + 2);
    if (argc == 2 && std::wcscmp(argv[1], L"screen") == 0)
        return screen();
    std::fprintf(stderr, "usage: wintest crash <folder> | direct <folder>... | screen\n");
    return 2;
}
