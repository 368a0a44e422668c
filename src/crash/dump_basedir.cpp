// The base-directory snapshot for the crash path. Two slots and a
// generation counter: a writer fills the slot that is not current, then
// makes it current. A reader copies the current slot and keeps the copy if
// no second write began meanwhile; a writer interrupted by a crash on its
// own thread never touched the current slot, so the reader always finishes.
// (Writers are kept on one thread at a time and x86-64 keeps stores in
// order, which is what makes the generation check enough.)
#include "dump_basedir_p.h"

#include <atomic>
#include <cstring>

#if defined(__linux__)
#include "dump_text_linux_p.h"
#endif

namespace vask {
namespace dump {

namespace {

constexpr std::size_t kCapacity = 4096;
constexpr std::size_t kUnusable = ~std::size_t(0);

// Plain arrays and lock-free atomics: constant-initialised and trivially
// destructible, so they are valid before any constructor and after every
// destructor of the process.
struct Slot {
    std::size_t length; // 0 unset, kUnusable
    char text[kCapacity];
};
Slot gSlots[2];
std::atomic<unsigned> gGeneration {0};
std::atomic<bool> gTornDown {false};
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal-safe counter");

// Copies bytes. On Linux the crash path calls nothing outside the library.
// Async-signal-safe.
void copyText(char *to, const char *from, std::size_t n)
{
#if defined(__linux__)
    lx::copyBytes(to, from, n);
#else
    std::memcpy(to, from, n);
#endif
}

// Whether `n` bytes hold a NUL, written out: see copyText. Async-signal-safe.
bool holdsNul(const char *bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] == '\0')
            return true;
    return false;
}

} // namespace

void rememberBaseDir(const char *bytes, std::size_t length)
{
    const unsigned generation = gGeneration.load(std::memory_order_relaxed);
    Slot &slot = gSlots[(generation + 1) & 1];
    if (length >= kCapacity || holdsNul(bytes, length)) {
        slot.length = kUnusable;
    } else {
        copyText(slot.text, bytes, length);
        slot.text[length] = '\0';
        slot.length = length;
    }
    gGeneration.store(generation + 1, std::memory_order_release);
}

void forgetBaseDirAtTeardown()
{
    gTornDown.store(true);
}

// Async-signal-safe.
BaseDir readBaseDir(char *out, std::size_t capacity, std::size_t &length)
{
    length = 0;
    if (gTornDown.load())
        return BaseDir::Unset;
    // A host that keeps replacing the base directory from another thread
    // can make every try fail; then no dump rather than a torn path.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const unsigned generation = gGeneration.load(std::memory_order_acquire);
        const Slot &slot = gSlots[generation & 1];
        const std::size_t n = slot.length;
        if (n == 0)
            return BaseDir::Unset;
        if (n == kUnusable || n >= capacity)
            return BaseDir::Unusable;
        copyText(out, slot.text, n);
        out[n] = '\0';
        // A write that could reach this slot starts only once another write
        // has moved the generation on. x86-64 keeps loads in order; the
        // compiler is kept from moving the copy past this check.
        std::atomic_signal_fence(std::memory_order_acq_rel);
        if (gGeneration.load(std::memory_order_acquire) == generation) {
            length = n;
            return BaseDir::Set;
        }
    }
    return BaseDir::Unusable;
}

} // namespace dump
} // namespace vask
