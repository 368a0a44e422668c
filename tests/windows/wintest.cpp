// Drives the Windows platform files the way the library does, so that a
// script can check their effects from outside (files written, exit code,
// printed lines). Modes:
//   wintest crash <folder>             install the filter, then fault for real
//   wintest direct <folder> [folder..] call the filter by hand for each folder
//   wintest screen                     query the desktop monitor twice
//   wintest rand                       Qt5Rand against the C runtimes' rand()
// The filter is DmpHelper::callback with the folder given here in place of
// FileHelper::appDir(): the rest (time, path, file, dump, result) is
// dump_win.cpp, the code the library runs.
#include "dump_win_p.h"
#include "qt5rand_p.h"
#include "screen_platform_p.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <initializer_list>

namespace {

const wchar_t *gFolder = L"";

// What DmpHelper::callback does, with gFolder for FileHelper::appDir().
LONG WINAPI dumpFilter(EXCEPTION_POINTERS *pointers)
{
    return vask::win::dumpCallback(gFolder, pointers);
}

int crash()
{
    vask::win::setupDump(dumpFilter);
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
    for (int i = 0; i < count; ++i) {
        gFolder = folders[i];
        std::printf("result %ld\n", static_cast<long>(dumpFilter(&pointers)));
    }
    std::printf("continued\n");
    return 0;
}

// Two queries; a failed one shows whether it wrote the caller's values.
int screen()
{
    for (const char *label : {"screen", "again"}) {
        vask::screen::Geometry g = {-7, -7, -7, -7};
        const bool ok = vask::screen::queryDesktopMonitor(g);
        std::printf("%s %s %d %d %d %d %.6f\n", label, ok ? "true" : "false", g.screenWidth, g.screenHeight,
                    g.pixelWidth, g.pixelHeight, static_cast<double>(g.pixelWidth) / g.screenWidth);
    }
    return 0;
}

// Qt 5's qsrand()/qrand() on Windows are the C runtime's srand()/rand():
// Qt5Rand must draw what the runtimes draw, the one linked here (msvcrt under
// MinGW-w64) and the UCRT that MSVC builds of Qt use.
using Seed = void(__cdecl *)(unsigned int);
using Draw = int(__cdecl *)();

// The first 100000 draws on the calling thread against Qt5Rand(seed).
bool sameDraws(Draw draw, unsigned int seed)
{
    vask::random::Qt5Rand expected(seed);
    for (int i = 0; i < 100000; ++i) {
        if (draw() != expected.next()) {
            std::printf("seed %u differs at value %d\n", seed, i);
            return false;
        }
    }
    return true;
}

// A table of seeds on this thread.
bool sameAsRuntime(const char *name, Seed seed, Draw draw)
{
    bool ok = seed != nullptr && draw != nullptr;
    for (unsigned int s : {0u, 1u, 2u, 12345u, 2147483647u, 2147483648u, 4294967295u, 0xdeadbeefu, 3141592653u})
        ok = ok && (seed(s), sameDraws(draw, s));
    std::printf("%s: %s\n", name, ok ? "match, 9 seeds" : "MISMATCH or not found");
    return ok;
}

int sameRand()
{
    const HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
    // Through void(*)() so that the cast between function types is explicit.
    const auto entry = [ucrt](const char *name) {
        return ucrt ? reinterpret_cast<void (*)()>(GetProcAddress(ucrt, name)) : nullptr;
    };
    const bool linked = sameAsRuntime("linked runtime", &std::srand, &std::rand);
    const bool universal
        = sameAsRuntime("ucrtbase", reinterpret_cast<Seed>(entry("srand")), reinterpret_cast<Draw>(entry("rand")));
    return linked && universal ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *mode = argc > 1 ? argv[1] : L"";
    if (argc == 2 && std::wcscmp(mode, L"screen") == 0)
        return screen();
    if (argc == 2 && std::wcscmp(mode, L"rand") == 0)
        return sameRand();
    if (argc < 3 || (std::wcscmp(mode, L"direct") != 0 && (argc != 3 || std::wcscmp(mode, L"crash") != 0)))
        return 2;
    // Whose fault the dump must record.
    std::printf("thread %lu\n", static_cast<unsigned long>(GetCurrentThreadId()));
    std::fflush(stdout);
    gFolder = argv[2];
    return *mode == L'c' ? crash() : direct(argc - 2, argv + 2);
}
