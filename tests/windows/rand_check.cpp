// Qt 5's qsrand()/qrand() on Windows are the C runtime's srand()/rand(); this
// program checks that Qt5Rand draws exactly what the runtimes draw: the one it
// is linked with (msvcrt under MinGW-w64) and the UCRT that MSVC builds of Qt
// use, for a table of seeds, and on a thread that never seeds (seed 1).
// Prints one line per runtime and exits 0 when everything matched, else 1.
#include "qt5rand_p.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

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

DWORD WINAPI unseededThread(void *draw)
{
    return sameDraws(*static_cast<Draw *>(draw), 1u) ? 0 : 1;
}

bool check(const char *name, Seed seed, Draw draw)
{
    bool ok = seed != nullptr && draw != nullptr;
    for (unsigned int s : {0u, 1u, 2u, 12345u, 2147483647u, 2147483648u, 4294967295u, 0xdeadbeefu, 3141592653u}) {
        if (ok) {
            seed(s);
            ok = sameDraws(draw, s);
        }
    }
    // A new thread starts from the runtime's own initial state, whatever
    // this thread seeded.
    HANDLE thread = ok ? CreateThread(nullptr, 0, unseededThread, &draw, 0, nullptr) : nullptr;
    DWORD code = 1;
    ok = thread != nullptr && WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &code)
        && code == 0;
    if (thread != nullptr)
        CloseHandle(thread);
    std::printf("%s: %s\n", name, ok ? "match, 9 seeds and a new thread" : "MISMATCH or not found");
    return ok;
}

template <typename F>
F entry(HMODULE module, const char *name)
{
    // Through void(*)() so that the cast between function types is explicit.
    return module ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

} // namespace

int main()
{
    const HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
    const bool linked = check("linked runtime", &std::srand, &std::rand);
    const bool universal = check("ucrtbase", entry<Seed>(ucrt, "srand"), entry<Draw>(ucrt, "rand"));
    return linked && universal ? 0 : 1;
}
