// The mappings of a dump, from /proc/thread-self/smaps (or maps, which lacks
// the page counts).
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

namespace vask {
namespace lx {

namespace {

// Signal-safe.
void skipSpaces(const char *&p, const char *end)
{
    while (p < end && *p == ' ')
        ++p;
}

// Signal-safe.
void skipWord(const char *&p, const char *end)
{
    while (p < end && *p != ' ')
        ++p;
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
        Mapping m;
        fillBytes(&m, 0, sizeof m);
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
        m.device = deviceNumber(major, parseHex(p, end));
        skipSpaces(p, end);
        m.inode = parseDecimal(p, end);
        skipSpaces(p, end);
        const std::size_t nameLength = std::size_t(end - p);
        if (w.namesUsed + nameLength + 1 <= w.namesCapacity) {
            m.nameOffset = std::uint32_t(w.namesUsed);
            m.nameLength = std::uint32_t(nameLength);
            copyBytes(w.names + w.namesUsed, p, nameLength);
            w.names[w.namesUsed + nameLength] = '\0';
            w.namesUsed += nameLength + 1;
        }
        m.residentKb = haveCounts ? 0 : ~std::uint64_t(0);
        // Our own scratch memory is not part of the process's state.
        if ((m.start >= w.base && m.end <= w.base + w.size) || m.end <= m.start)
            return;
        current = &w.maps[w.mapCount++];
        copyBytes(current, &m, sizeof m);
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
    return true;
}

// Without /proc there is no list of mappings: the faulting thread's stack
// alone then, from just below its stack pointer (the red zone) up to the
// first address that isn't mapped, as mincore finds it. Signal-safe.
void addStackAlone(Workspace &w, std::uint64_t sp)
{
    constexpr std::uint64_t kMost = std::uint64_t(64) << 20;
    const std::uint64_t start = (sp - 128) / kPage * kPage;
    std::uint64_t end = start;
    unsigned char resident = 0;
    while (end - start < kMost && sys(SYS_mincore, long(end), long(kPage), arg(&resident)) == 0)
        end += kPage;
    if (end == start || w.mapCount == w.mapCapacity || w.namesUsed == w.namesCapacity)
        return;
    Mapping &m = w.maps[w.mapCount++];
    fillBytes(&m, 0, sizeof m);
    m.start = start;
    m.end = end;
    m.flags = PF_R | PF_W;
    m.residentKb = ~std::uint64_t(0);
    m.nameOffset = std::uint32_t(w.namesUsed);
    w.names[w.namesUsed++] = '\0';
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

} // namespace lx
} // namespace vask
