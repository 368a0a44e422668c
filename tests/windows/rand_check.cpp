// Qt 5's qsrand()/qrand() on Windows are the C runtime's srand()/rand(); this
// program checks that Qt5Rand draws exactly what the runtimes draw: the one it
// is linked with (msvcrt under MinGW-w64) and the UCRT that MSVC builds of Qt
// use, for a table of seeds, and on a thread that never seeds (seed 1).
// Prints one line per runtime and exits 0 when everything matched, else 1.
#include "qt5rand_p.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct Crt
{
    const char *name;
    void(__cdecl *seed)(unsigned int);
    int(__cdecl *draw)();
};

constexpr int kValues = 100000;
constexpr unsigned int kSeeds[] = {0u,          1u,          2u,          12345u,     2147483647u,
                                   2147483648u, 4294967295u, 0xdeadbeefu, 902841573u, 3141592653u};

// The first kValues draws of `crt` on the calling thread against Qt5Rand(seed).
bool sameDraws(const Crt &crt, unsigned int seed)
{
    vask::random::Qt5Rand expected(seed);
    for (int i = 0; i < kValues; ++i) {
        if (crt.draw() != expected.next()) {
            std::printf("%s: seed %u differs at value %d\n", crt.name, seed, i);
            return false;
        }
    }
    return true;
}

DWORD WINAPI unseededThread(void *crt)
{
    return sameDraws(*static_cast<const Crt *>(crt), 1u) ? 0 : 1;
}

bool check(const Crt &crt)
{
    bool ok = true;
    for (unsigned int seed : kSeeds) {
        crt.seed(seed);
        ok = sameDraws(crt, seed) && ok;
    }
    // A new thread starts from the runtime's own initial state, whatever this
    // thread seeded.
    HANDLE thread = CreateThread(nullptr, 0, unseededThread, const_cast<Crt *>(&crt), 0, nullptr);
    DWORD code = 1;
    if (thread == nullptr || WaitForSingleObject(thread, 60000) != WAIT_OBJECT_0 ||
        !GetExitCodeThread(thread, &code) || code != 0) {
        std::printf("%s: an unseeded thread does not draw the sequence of seed 1\n", crt.name);
        ok = false;
    }
    if (thread != nullptr)
        CloseHandle(thread);
    std::printf("%s: %s (%zu seeds and a new thread, %d values each)\n", crt.name, ok ? "match" : "MISMATCH",
                sizeof kSeeds / sizeof kSeeds[0], kValues);
    return ok;
}

template <typename F>
F entry(HMODULE module, const char *name)
{
    // Through void(*)() so that the cast between function types is explicit.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

int main()
{
    bool ok = check(Crt{"linked runtime", &std::srand, &std::rand});

    HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
    Crt universal{"ucrtbase", ucrt ? entry<void(__cdecl *)(unsigned int)>(ucrt, "srand") : nullptr,
                  ucrt ? entry<int(__cdecl *)()>(ucrt, "rand") : nullptr};
    if (universal.seed == nullptr || universal.draw == nullptr) {
        std::printf("ucrtbase: srand/rand not found\n");
        ok = false;
    } else {
        ok = check(universal) && ok;
    }
    return ok ? 0 : 1;
}
