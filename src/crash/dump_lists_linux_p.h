#ifndef VASKSUPPORT_CRASH_DUMP_LISTS_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_LISTS_LINUX_P_H

// The two ways the crash path walks what /proc lists: the entries of a
// folder (threads) and the lines of a file (mappings, mounts). Included by
// dump_internal_linux_p.h, which declares them. Signal-safe.

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

namespace vask {
namespace lx {

namespace detail {

struct LinuxDirent64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

} // namespace detail

// A thread listed as `name` in the task folder `dir` of a /proc that belongs
// to another PID namespace than ours: its id as we know it (the last of
// the NSpid line of its status), or 0. `buffer` holds the status.
// Signal-safe.
int ownTid(int dir, const char *name, char *buffer, std::size_t size);

// Whether the mounted /proc belongs to another PID namespace than ours
// (a container that mounts its parent's), where the ids it lists are not
// the ones we know. Signal-safe.
bool procIsForeign();

// Signal-safe.
template <typename Fn> long forEachTask(int dir, bool foreign, char *buffer, std::size_t size, Fn fn)
{
    if (dir < 0 || sys(SYS_lseek, dir, 0, SEEK_SET) != 0)
        return -1;
    // The second half holds a thread's status while the first lists them.
    const std::size_t half = size / 2;
    long count = 0;
    for (;;) {
        const long n = sys(SYS_getdents64, dir, arg(buffer), long(half));
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const auto *d = reinterpret_cast<const detail::LinuxDirent64 *>(buffer + at);
            at += d->reclen;
            const char *name = d->name;
            const char *end = name + textLength(name);
            const std::uint64_t listed = parseDecimal(name, end, 0x3fffffff);
            if (name != end || listed == 0 || listed > 0x3fffffff) // "." and ".." are no threads
                continue;
            const int tid = foreign ? ownTid(dir, d->name, buffer + half, size - half) : int(listed);
            if (tid > 0) {
                ++count;
                fn(tid);
            }
        }
    }
    return count;
}

// Calls line(begin, end) for every line of an open file, read through the
// workspace's buffer, then closes it; a line longer than the buffer is
// dropped. Signal-safe.
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
            const char *nl = findByte(w.io + at, '\n', filled - at);
            if (!nl)
                break;
            line(w.io + at, nl);
            at = std::size_t(nl - w.io) + 1;
        }
        if (at == 0 && filled == w.ioSize) {
            filled = 0;
            continue;
        }
        moveDown(w.io, w.io + at, filled - at);
        filled -= at;
    }
    if (filled > 0)
        line(w.io, w.io + filled);
    closeFile(fd);
}

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_LISTS_LINUX_P_H
