// Scratch memory for one dump. The crash path allocates nothing from the
// heap: it maps one workspace sized for every mapping the kernel allows, or,
// when the address space is exhausted (RLIMIT_AS, a failed mmap), uses a
// smaller one reserved at setup.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <sys/mman.h>
#include <sys/procfs.h>

#include <new>
#include <type_traits>

namespace vask {
namespace lx {

namespace {

constexpr std::size_t kHelperStack = 128 * 1024;
constexpr std::size_t kHelperIo = 32 * 1024;
constexpr std::size_t kIo = 1024 * 1024;
constexpr std::size_t kRegions = 4096;
constexpr std::size_t kPagemapWords = 8192;
constexpr std::size_t kMemoryDevices = 256;

// Lays out a workspace for up to `maps` mappings and `threads` threads and
// returns its size; with `w`, points w's arrays into it. A process beyond
// that still gets a dump, cut to what fits. Signal-safe.
std::size_t carve(std::size_t maps, std::size_t threads, Workspace *w)
{
    std::size_t at = alignUp(sizeof(Workspace), 64);
    auto take = [&](std::size_t bytes) {
        const std::size_t here = at;
        at = alignUp(at + bytes, 64);
        return here;
    };
    const std::size_t stackAt = take(kHelperStack);
    const std::size_t helperIoAt = take(kHelperIo);
    const std::size_t threadsAt = take(threads * sizeof(ThreadRecord));
    const std::size_t ioAt = take(kIo);
    const std::size_t mapsAt = take(maps * sizeof(Mapping));
    const std::size_t namesBytes = maps * 128;
    const std::size_t namesAt = take(namesBytes);
    // Notes: per thread a status and FP registers; NT_FILE lists at most
    // every mapping with its name; small fixed notes besides.
    const std::size_t notesBytes
        = (threads + 1) * (sizeof(elf_prstatus) + sizeof(user_fpregs_struct) + 64) + maps * 24 + namesBytes + 64 * 1024;
    const std::size_t notesAt = take(notesBytes);
    const std::size_t phdrsAt = take((maps + 1) * sizeof(Elf64_Phdr));
    const std::size_t regionsAt = take(kRegions * sizeof(PageRegion));
    const std::size_t pagemapAt = take(kPagemapWords * sizeof(std::uint64_t));
    const std::size_t devicesAt = take(kMemoryDevices * sizeof(std::uint32_t));
    if (w) {
        char *b = reinterpret_cast<char *>(w->base);
        w->helper.stack = b + stackAt;
        w->helper.stackSize = kHelperStack;
        w->helper.io = b + helperIoAt;
        w->helper.ioSize = kHelperIo;
        w->helper.threads = reinterpret_cast<ThreadRecord *>(b + threadsAt);
        w->helper.threadCapacity = threads;
        w->io = b + ioAt;
        w->ioSize = kIo;
        w->maps = reinterpret_cast<Mapping *>(b + mapsAt);
        w->mapCapacity = maps;
        w->names = b + namesAt;
        w->namesCapacity = namesBytes;
        w->notes = reinterpret_cast<std::uint8_t *>(b + notesAt);
        w->notesCapacity = notesBytes;
        w->phdrs = reinterpret_cast<Elf64_Phdr *>(b + phdrsAt);
        w->regions = reinterpret_cast<PageRegion *>(b + regionsAt);
        w->regionCapacity = kRegions;
        w->pagemap = reinterpret_cast<std::uint64_t *>(b + pagemapAt);
        w->pagemapCapacity = kPagemapWords;
        w->memoryDevices = reinterpret_cast<std::uint32_t *>(b + devicesAt);
    }
    return alignUp(at, kPage);
}

// How many mappings the kernel allows this process (vm.max_map_count).
// Signal-safe.
std::size_t mapLimit()
{
    char text[32];
    const long n = readWhole("/proc/sys/vm/max_map_count", text, sizeof text - 1);
    const char *p = text;
    const std::uint64_t v = n > 0 ? parseDecimal(p, text + n) : 0;
    return v > 0 && v < (std::uint64_t(1) << 24) ? std::size_t(v) : 65530;
}

// Places a fresh workspace of one shape at `base`. Signal-safe.
Workspace *placeWorkspace(long base, std::size_t maps, std::size_t threads)
{
    Workspace *w = new (reinterpret_cast<void *>(base)) Workspace;
    w->base = std::uintptr_t(base);
    w->size = carve(maps, threads, nullptr);
    carve(maps, threads, w);
    return w;
}

// Maps a workspace of one shape; null when the kernel refuses. Pages are
// touched only as a dump uses them (MAP_NORESERVE). Signal-safe.
Workspace *mapWorkspace(std::size_t maps, std::size_t threads)
{
    const std::size_t size = carve(maps, threads, nullptr);
    const long p
        = sys(SYS_mmap, 0, long(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (failed(p))
        return nullptr;
    // Its own VMA (never merged with a neighbour), and out of any kernel
    // core dump.
    sys(SYS_madvise, p, long(size), MADV_DONTDUMP);
    return placeWorkspace(p, maps, threads);
}

// Reserved at setup for ordinary processes: 4096 mappings, 256 threads,
// about 3.5 MiB of address space that holds no memory until used.
constexpr std::size_t kReservedMaps = 4096;
constexpr std::size_t kReservedThreads = 256;
std::atomic<std::uintptr_t> gReserved {0};
static_assert(std::is_trivially_destructible<Workspace>::value, "a workspace is dropped by unmapping it");

} // namespace

void reserveWorkspace()
{
    if (gReserved.load())
        return;
    Workspace *w = mapWorkspace(kReservedMaps, kReservedThreads);
    std::uintptr_t none = 0;
    if (w && !gReserved.compare_exchange_strong(none, w->base))
        sys(SYS_munmap, long(w->base), long(w->size));
}

// Signal-safe; the caller holds DumpLock.
Workspace *acquireWorkspace()
{
    if (Workspace *w = mapWorkspace(mapLimit() + 64, 8192))
        return w;
    // Under strict overcommit a smaller one may still be granted.
    if (Workspace *w = mapWorkspace(16384, 1024))
        return w;
    const std::uintptr_t reserved = gReserved.load();
    return reserved ? placeWorkspace(long(reserved), kReservedMaps, kReservedThreads) : nullptr;
}

// Signal-safe; the caller holds DumpLock.
void returnWorkspace(Workspace *w)
{
    if (w->base == gReserved.load()) {
        // Kept for the next dump, its pages handed back.
        sys(SYS_madvise, long(w->base), long(w->size), MADV_DONTNEED);
        return;
    }
    sys(SYS_munmap, long(w->base), long(w->size));
}

} // namespace lx
} // namespace vask
