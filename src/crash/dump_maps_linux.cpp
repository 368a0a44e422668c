// The mappings of a dump, from /proc/<self>/smaps (or maps, which lacks the
// page counts), and what of each goes into the file.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"

#include <cstring>

namespace vask {
namespace lx {

namespace {

// Signal-safe parsing helpers.
std::uint64_t parseHex(const char *&p, const char *end)
{
    std::uint64_t v = 0;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            v = v * 16 + std::uint64_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v * 16 + std::uint64_t(c - 'a' + 10);
        else
            break;
    }
    return v;
}

std::uint64_t parseDecimal(const char *&p, const char *end)
{
    std::uint64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        v = v * 10 + std::uint64_t(*p - '0');
    return v;
}

void skipSpaces(const char *&p, const char *end)
{
    while (p < end && *p == ' ')
        ++p;
}

void skipWord(const char *&p, const char *end)
{
    while (p < end && *p != ' ')
        ++p;
}

bool hasPrefix(const char *text, std::size_t length, const char *prefix)
{
    const std::size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(text, prefix, n) == 0;
}

bool nameIs(const char *text, std::size_t length, const char *name)
{
    return length == std::strlen(name) && std::memcmp(text, name, length) == 0;
}

std::uint32_t device(std::uint64_t major, std::uint64_t minor)
{
    return std::uint32_t(major << 20 | (minor & 0xfffff));
}

// Calls line(begin, end) for every line of an open file, read through the
// workspace's buffer; a line longer than the buffer is dropped. Signal-safe.
template <typename Fn> void forEachLine(Workspace &w, int fd, Fn line)
{
    std::size_t filled = 0;
    for (;;) {
        const long r = readSome(fd, w.io + filled, w.ioSize - filled);
        if (r <= 0)
            break;
        filled += std::size_t(r);
        std::size_t at = 0;
        for (;;) {
            const char *nl = static_cast<const char *>(std::memchr(w.io + at, '\n', filled - at));
            if (!nl)
                break;
            line(w.io + at, nl);
            at = std::size_t(nl - w.io) + 1;
        }
        if (at == 0 && filled == w.ioSize) {
            filled = 0;
            continue;
        }
        std::memmove(w.io, w.io + at, filled - at);
        filled -= at;
    }
    if (filled > 0)
        line(w.io, w.io + filled);
    closeFile(fd);
}

struct MapsReader {
    Workspace &w;
    bool haveCounts;
    Mapping *current = nullptr;

    // "start-end perms offset major:minor inode name". Signal-safe.
    void header(const char *p, const char *end)
    {
        current = nullptr;
        if (w.mapCount == w.mapCapacity)
            return;
        Mapping m = {};
        m.start = parseHex(p, end);
        if (p >= end || *p != '-')
            return;
        ++p;
        m.end = parseHex(p, end);
        skipSpaces(p, end);
        if (end - p < 4)
            return;
        m.flags = (p[0] == 'r' ? PF_R : 0) | (p[1] == 'w' ? PF_W : 0) | (p[2] == 'x' ? PF_X : 0);
        m.shared = p[3] == 's';
        p += 4;
        skipSpaces(p, end);
        m.fileOffset = parseHex(p, end);
        skipSpaces(p, end);
        const std::uint64_t major = parseHex(p, end);
        if (p < end && *p == ':')
            ++p;
        m.device = device(major, parseHex(p, end));
        skipSpaces(p, end);
        m.inode = parseDecimal(p, end);
        skipSpaces(p, end);
        const std::size_t nameLength = std::size_t(end - p);
        if (w.namesUsed + nameLength + 1 <= w.namesCapacity) {
            m.nameOffset = std::uint32_t(w.namesUsed);
            m.nameLength = std::uint32_t(nameLength);
            std::memcpy(w.names + w.namesUsed, p, nameLength);
            w.names[w.namesUsed + nameLength] = '\0';
            w.namesUsed += nameLength + 1;
        }
        m.residentKb = haveCounts ? 0 : ~std::uint64_t(0);
        // Our own scratch memory is not part of the process's state.
        if ((m.start >= w.base && m.end <= w.base + w.size) || m.end <= m.start)
            return;
        w.maps[w.mapCount] = m;
        current = &w.maps[w.mapCount++];
    }

    // Signal-safe.
    void field(const char *p, const char *end)
    {
        if (!current)
            return;
        const std::size_t n = std::size_t(end - p);
        const bool swap = hasPrefix(p, n, "Swap:");
        if (hasPrefix(p, n, "Rss:") || swap) {
            skipWord(p, end);
            skipSpaces(p, end);
            const std::uint64_t kb = parseDecimal(p, end);
            current->residentKb += kb;
            if (swap)
                current->swapKb = kb;
        } else if (hasPrefix(p, n, "VmFlags:")) {
            p += 8;
            while (p + 1 < end) {
                skipSpaces(p, end);
                if (end - p >= 2) {
                    if (p[0] == 'd' && p[1] == 'd')
                        current->dontDump = true;
                    else if ((p[0] == 'i' && p[1] == 'o') || (p[0] == 'p' && p[1] == 'f'))
                        current->special = true; // device memory: reading it may have effects
                }
                skipWord(p, end);
            }
        }
    }

    // Field names start with a capital letter; mapping lines with a
    // lower-case hex digit. Signal-safe.
    void line(const char *p, const char *end)
    {
        if (p < end && ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            header(p, end);
        else
            field(p, end);
    }
};

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
        skipWord(p, end); // id
        skipSpaces(p, end);
        skipWord(p, end); // parent
        skipSpaces(p, end);
        const std::uint64_t major = parseDecimal(p, end);
        if (p < end && *p == ':')
            ++p;
        const std::uint32_t dev = device(major, parseDecimal(p, end));
        while (p + 2 < end && !(p[0] == ' ' && p[1] == '-' && p[2] == ' '))
            ++p;
        p += 3;
        const char *type = p;
        skipWord(p, end);
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

// Signal-safe.
bool readMappings(Workspace &w)
{
    bool haveCounts = true;
    int fd = openOwnProc("smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        haveCounts = false;
        fd = openOwnProc("maps", O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        return false;
    MapsReader reader {w, haveCounts};
    forEachLine(w, fd, [&reader](const char *p, const char *end) { reader.line(p, end); });
    readMemoryDevices(w);
    return true;
}

// Signal-safe.
const char *mappingName(const Workspace &w, const Mapping &m)
{
    return w.names + m.nameOffset;
}

// Signal-safe.
bool fileBacked(const Workspace &w, const Mapping &m)
{
    return m.inode != 0 && m.nameLength > 0 && mappingName(w, m)[0] == '/';
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
