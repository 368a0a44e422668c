// What of each mapping goes into the dump: contents in full, only the pages
// in use, or none; and which file systems keep their files in memory.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

namespace vask {
namespace lx {

namespace {

// Skips one word and the spaces after it. Signal-safe.
void skipField(const char *&p, const char *end)
{
    while (p < end && *p != ' ')
        ++p;
    while (p < end && *p == ' ')
        ++p;
}

// Whether a file mapping's pages live in memory only. Without a full list
// of such file systems, every file on a device without a disk (major 0:
// tmpfs, but also network and FUSE file systems) counts, so that no dump
// ever allocates. Signal-safe.
bool onMemoryFileSystem(const Workspace &w, const Mapping &m)
{
    if (!w.memoryDevicesKnown)
        return (m.device >> 20) == 0;
    for (std::size_t i = 0; i < w.memoryDeviceCount; ++i)
        if (w.memoryDevices[i] == m.device)
            return true;
    return false;
}

} // namespace

// The devices of mounted file systems whose files live in memory (tmpfs,
// ramfs, hugetlbfs, devtmpfs): reading an unheld page of such a file
// through a mapping allocates it for good. From mountinfo:
// "id parent major:minor root point options [tags] - type source ...".
// Signal-safe.
void readMemoryDevices(Workspace &w)
{
    constexpr std::size_t kCapacity = 256;
    w.memoryDeviceCount = 0;
    const int fd = openOwnProc("mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    bool overflow = false;
    forEachLine(w, fd, [&](const char *p, const char *end) {
        skipField(p, end); // id
        skipField(p, end); // parent
        const std::uint64_t major = parseDecimal(p, end);
        if (p < end && *p == ':')
            ++p;
        const std::uint32_t dev = deviceNumber(major, parseDecimal(p, end));
        while (p + 2 < end && !(p[0] == ' ' && p[1] == '-' && p[2] == ' '))
            ++p;
        p += 3;
        const char *type = p;
        while (p < end && *p != ' ')
            ++p;
        const std::size_t n = std::size_t(p - type);
        if (!nameIs(type, n, "tmpfs") && !nameIs(type, n, "ramfs") && !nameIs(type, n, "hugetlbfs")
            && !nameIs(type, n, "devtmpfs"))
            return;
        if (w.memoryDeviceCount == kCapacity)
            overflow = true;
        else
            w.memoryDevices[w.memoryDeviceCount++] = dev;
    });
    w.memoryDevicesKnown = !overflow;
}

// Decides what of each mapping goes into the file. `pageInfo`: pagemap can
// tell touched pages from untouched ones. Signal-safe.
void classify(Workspace &w, bool pageInfo)
{
    constexpr std::uint64_t kHugeHoles = std::uint64_t(64) << 30;
    constexpr std::uint64_t kHugeDense = std::uint64_t(16) << 30;
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        Mapping &m = w.maps[i];
        const char *name = mappingName(w, m);
        const std::size_t n = m.nameLength;
        const std::uint64_t size = m.end - m.start;
        const bool kernelData
            = nameIs(name, n, "[vvar]") || nameIs(name, n, "[vvar_vclock]") || nameIs(name, n, "[vsyscall]");
        const bool zero = hasPrefix(name, n, "/dev/zero");
        // Device memory: reading it may have side effects. /dev/zero and
        // /dev/shm are ordinary memory.
        const bool deviceFile = hasPrefix(name, n, "/dev/") && !zero && !hasPrefix(name, n, "/dev/shm/");
        // Memory that belongs to no process: shared anonymous (/dev/zero),
        // System V, memfd, and every file of a memory file system. Its Rss
        // counts our page tables only, not what others (or write()) put
        // there, and reading a page it never held would allocate it.
        const bool memoryBacked = (m.shared && zero) || hasPrefix(name, n, "/SYSV") || hasPrefix(name, n, "/memfd:")
            || hasPrefix(name, n, "/dev/shm/") || (fileBacked(w, m) && onMemoryFileSystem(w, m));
        // Private memory of this process alone: untouched pages are zeros.
        const bool anonymous = !m.shared
            && (zero
                || (m.inode == 0
                    && (n == 0 || nameIs(name, n, "[heap]") || hasPrefix(name, n, "[stack")
                        || hasPrefix(name, n, "[anon:"))));
        m.dumpSize = 0;
        if (!(m.flags & PF_R) || m.dontDump || m.special || kernelData || deviceFile) {
            m.contents = NoContents;
        } else if (anonymous && m.residentKb == 0) {
            // Never touched: all zeros, a hole (unless absurdly large).
            m.contents = NoContents;
            m.dumpSize = size <= kHugeHoles ? size : 0;
        } else if (memoryBacked || (anonymous && (pageInfo || m.swapKb == 0))) {
            // Touched pages from pagemap; without it (a process that is not
            // dumpable may not read it) resident pages from mincore, which is
            // all of them when nothing is swapped out.
            m.contents = anonymous && pageInfo ? Touched : Held;
            m.dumpSize = size;
            // Every page of it in use: no hole to find, so no page walk.
            if (anonymous && m.residentKb != ~std::uint64_t(0) && m.residentKb >= size >> 10)
                m.contents = Dense;
        } else if (anonymous && size > kHugeDense) {
            // No way to tell touched pages from untouched ones, and reading
            // it all would populate page tables for the whole reservation.
            m.contents = NoContents;
        } else {
            m.contents = Dense;
            m.dumpSize = size;
        }
    }
}

} // namespace lx
} // namespace vask
