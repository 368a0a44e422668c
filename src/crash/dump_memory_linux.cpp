// Which pages of a mapping go into the dump: pages that were never touched,
// and pages that memory-backed objects don't hold, are left as holes; the
// rest is gathered into runs and copied (dump_output_linux.cpp).
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <sys/ioctl.h>
#include <sys/mman.h>

namespace vask {
namespace lx {

namespace {

// PAGEMAP_SCAN (Linux 6.7); declared here because older kernel headers lack it.
struct PmScanArg {
    std::uint64_t size, flags, start, end, walkEnd, vec, vecLen, maxPages;
    std::uint64_t categoryInverted, categoryMask, categoryAnyofMask, returnMask;
};
constexpr unsigned long kPagemapScan = _IOWR('f', 16, PmScanArg);
constexpr std::uint64_t kPageIsPresent = 1 << 3;
constexpr std::uint64_t kPageIsSwapped = 1 << 4;
constexpr std::uint64_t kPageIsPfnZero = 1 << 5;

// Gathers consecutive used pages of a mapping into runs and copies each run
// once it ends, so a mapping is written in as few pieces as it has runs.
struct RunCopier {
    Output &out;
    const Mapping &m;
    std::uint64_t start = 0;
    bool open = false;

    // Signal-safe.
    void page(std::uint64_t address, bool used)
    {
        if (used && !open) {
            start = address;
            open = true;
        } else if (!used) {
            close(address);
        }
    }
    // Signal-safe.
    void close(std::uint64_t end)
    {
        if (open)
            copyMemory(out, start, end - start, m.dumpOffset + (start - m.start));
        open = false;
    }
};

// The regions of an anonymous mapping that are in memory or swapped out, by
// PAGEMAP_SCAN. False when the kernel has no such ioctl. Signal-safe.
bool copyScanned(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    PmScanArg a;
    fillBytes(&a, 0, sizeof a);
    a.size = sizeof a;
    a.start = m.start;
    a.end = m.end;
    a.vec = reinterpret_cast<std::uint64_t>(w.regions);
    a.vecLen = w.regionCapacity;
    // Present or swapped, but not the shared zero page.
    a.categoryInverted = kPageIsPfnZero;
    a.categoryMask = kPageIsPfnZero;
    a.categoryAnyofMask = kPageIsPresent | kPageIsSwapped;
    a.returnMask = kPageIsPresent | kPageIsSwapped;
    for (;;) {
        const long n = sys(SYS_ioctl, pages.fd, long(kPagemapScan), arg(&a));
        if (n == -ENOTTY || n == -EINVAL || n == -EOPNOTSUPP || n == -ENOSYS) { // ENOSYS: a sandbox's trap
            pages.scan = false;
            return false;
        }
        if (n < 0) {
            copyMemory(out, a.start, m.end - a.start, m.dumpOffset + (a.start - m.start));
            return true;
        }
        for (long i = 0; i < n; ++i)
            copyMemory(out, w.regions[i].start, w.regions[i].end - w.regions[i].start,
                       m.dumpOffset + (w.regions[i].start - m.start));
        if (a.walkEnd >= m.end || a.walkEnd <= a.start || out.broken)
            return true;
        a.start = a.walkEnd;
    }
}

// Reads up to `count` pagemap words from `address` on; returns how many.
// Bit 63: present in our page tables; bit 62: swapped out. Signal-safe.
std::uint64_t readPagemap(Workspace &w, const PageSource &pages, std::uint64_t address, std::uint64_t count)
{
    if (pages.fd < 0)
        return 0;
    long r;
    do
        r = sys(SYS_pread64, pages.fd, arg(w.pagemap), long(count * 8), long(address / kPage * 8));
    while (r == -EINTR);
    return r > 0 ? std::uint64_t(r) / 8 : 0;
}

// Pages of an anonymous mapping in memory or swapped out, by pagemap.
// Signal-safe.
void copyTouched(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    if (pages.scan && copyScanned(out, w, pages, m))
        return;
    RunCopier runs {out, m};
    std::uint64_t address = m.start;
    while (address < m.end && !out.broken) {
        std::uint64_t count = (m.end - address) / kPage;
        if (count > w.pagemapCapacity)
            count = w.pagemapCapacity;
        count = readPagemap(w, pages, address, count);
        if (count == 0) {
            // No more page information: the rest goes in whole.
            runs.page(address, true);
            address = m.end;
            break;
        }
        for (std::uint64_t i = 0; i < count; ++i, address += kPage)
            runs.page(address, (w.pagemap[i] >> 62) != 0);
    }
    runs.close(address);
}

// Pages a mapping holds (mincore: in memory, ours or the page cache's) or
// has swapped out (pagemap, where we may read it). Used for memory-backed
// objects, where reading an unheld page would allocate it, and for
// anonymous memory when pagemap is refused. Signal-safe.
void copyHeld(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    auto *resident = reinterpret_cast<unsigned char *>(w.io);
    const std::uint64_t chunkPages = w.pagemapCapacity < w.ioSize ? w.pagemapCapacity : w.ioSize;
    RunCopier runs {out, m};
    for (std::uint64_t address = m.start; address < m.end && !out.broken;) {
        std::uint64_t count = (m.end - address) / kPage;
        if (count > chunkPages)
            count = chunkPages;
        long r;
        do
            r = sys(SYS_mincore, long(address), long(count * kPage), arg(resident));
        while (r == -EAGAIN || r == -EINTR);
        if (r == -ENOMEM) { // unmapped meanwhile: nothing to read
            runs.close(address);
            address += count * kPage;
            continue;
        }
        if (r < 0) // no residency information: all of it
            fillBytes(resident, 1, count);
        const std::uint64_t words = readPagemap(w, pages, address, count);
        for (std::uint64_t i = 0; i < count; ++i, address += kPage)
            runs.page(address, (resident[i] & 1) || (i < words && (w.pagemap[i] >> 62) != 0));
    }
    runs.close(m.end);
}

// A mapping of a file copied whole. Few of its pages are in our page
// tables yet: they are mapped in a piece at a time before the piece is
// copied, which costs half of what the copy's own page faults would.
// Signal-safe.
void copyFilePages(Output &out, PageSource &pages, const Mapping &m)
{
    constexpr long kPopulateRead = 22; // MADV_POPULATE_READ, Linux 5.14
    for (std::uint64_t done = 0; done < m.dumpSize && !out.broken; done += kCopyPiece) {
        const std::uint64_t n = m.dumpSize - done < kCopyPiece ? m.dumpSize - done : kCopyPiece;
        if (pages.populate) {
            // EFAULT (a page past the file's end) still maps what comes
            // before; the copy leaves the rest a hole.
            const long r = sys(SYS_madvise, long(m.start + done), long(n), kPopulateRead);
            if (r == -EINVAL || r == -ENOSYS || r == -EPERM)
                pages.populate = false;
        }
        copyMemory(out, m.start + done, n, m.dumpOffset + done);
    }
}

} // namespace

// Signal-safe.
void copyMapping(Output &out, Workspace &w, PageSource &pages, const Mapping &m)
{
    if (m.contents == Dense && m.inode != 0)
        copyFilePages(out, pages, m);
    else if (m.contents == Dense)
        copyMemory(out, m.start, m.dumpSize, m.dumpOffset);
    else if (m.contents == Touched)
        copyTouched(out, w, pages, m);
    else if (m.contents == Held)
        copyHeld(out, w, pages, m);
}

} // namespace lx
} // namespace vask
