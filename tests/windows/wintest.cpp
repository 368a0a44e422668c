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
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// Code of the hand-made exception record of `direct` mode, distinct from an
// access violation so the dump shows which record it was given.
constexpr DWORD kDirectCode = 0xE0564B53;

// What the screen query's outputs hold before the call.
constexpr int kUnset = -7;

std::wstring gFolder;

// What DmpHelper::callback does, with gFolder for FileHelper::appDir().
LONG WINAPI dumpFilter(EXCEPTION_POINTERS *pointers)
{
    return vask::win::dumpCallback(gFolder.c_str(), pointers);
}

int crash(const wchar_t *folder)
{
    gFolder = folder;
    vask::win::setupDump(dumpFilter);
    std::printf("thread %lu\n", static_cast<unsigned long>(GetCurrentThreadId()));
    std::fflush(stdout);
    // A store into a read-only page: an access violation on Windows and under
    // wine alike (wine keeps the page at address 0 mapped, so a null store
    // would not fault). The volatile store can't be optimised away.
    void *page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
    if (!page) {
        std::printf("no read-only page\n");
        return 1;
    }
    *static_cast<volatile int *>(page) = 1;
    std::printf("survived the fault\n");
    return 1;
}

int direct(int count, wchar_t **folders)
{
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.ExceptionCode = kDirectCode;
    record.ExceptionAddress = reinterpret_cast<PVOID>(context.Rip);
    EXCEPTION_POINTERS pointers = {&record, &context};

    std::printf("thread %lu\n", static_cast<unsigned long>(GetCurrentThreadId()));
    for (int i = 0; i < count; ++i) {
        gFolder = folders[i];
        const LONG result = dumpFilter(&pointers);
        std::printf("result %ld\n", static_cast<long>(result));
    }
    std::printf("continued\n");
    return 0;
}

void printGeometry(const char *label, bool ok, const vask::screen::Geometry &g)
{
    if (ok) {
        std::printf("%s true %d %d %d %d %.6f\n", label, g.screenWidth, g.screenHeight,
                    g.pixelWidth, g.pixelHeight,
                    static_cast<double>(g.pixelWidth) / static_cast<double>(g.screenWidth));
    } else {
        std::printf("%s false\n", label);
    }
}

int screen()
{
    vask::screen::Geometry first = {kUnset, kUnset, kUnset, kUnset};
    vask::screen::Geometry second = first;
    const bool ok1 = vask::screen::queryDesktopMonitor(first);
    const bool ok2 = vask::screen::queryDesktopMonitor(second);
    printGeometry("screen", ok1, first);
    printGeometry("again", ok2, second);
    // A failed query must leave the caller's values alone.
    auto untouched = [](const vask::screen::Geometry &g) {
        return g.screenWidth == kUnset && g.screenHeight == kUnset
            && g.pixelWidth == kUnset && g.pixelHeight == kUnset;
    };
    if ((!ok1 && !untouched(first)) || (!ok2 && !untouched(second))) {
        std::printf("outputs written on failure\n");
        return 3;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"crash") == 0)
        return crash(argv[2]);
    if (argc >= 3 && std::wcscmp(argv[1], L"direct") == 0)
        return direct(argc - 2, argv + 2);
    if (argc == 2 && std::wcscmp(argv[1], L"screen") == 0)
        return screen();
    std::fprintf(stderr, "usage: wintest crash <folder> | direct <folder>... | screen\n");
    return 2;
}
