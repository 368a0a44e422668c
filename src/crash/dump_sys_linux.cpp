// The few system-call helpers of the crash path that are more than a line,
// and the descriptors reserved for it.
#include "dump_sys_linux_p.h"

#include "dump_text_linux_p.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <initializer_list>

namespace vask {
namespace lx {

namespace {

// A few descriptors of one anonymous file of ours, so that each can be told
// from whatever a host may have put under the same number after closing
// ours. Held at high numbers, out of the way of a host that counts on its
// low ones (select() takes descriptors below 1024 only).
constexpr int kReserved = 4;
std::atomic<int> gReserved[kReserved] = {{-1}, {-1}, {-1}, {-1}};
std::atomic<std::uint64_t> gReservedDev {0}, gReservedIno {0};
std::atomic<long> gReservedPid {0};

// Signal-safe.
bool isReserved(int fd)
{
    struct stat st;
    return sys(SYS_fstat, fd, arg(&st)) == 0 && st.st_dev == gReservedDev.load() && st.st_ino == gReservedIno.load();
}

// A new reserved descriptor: a copy of one still held, else of a new file.
// Returns it or -errno. Signal-safe.
int newReserved()
{
    struct {
        std::uint64_t cur, max;
    } files;
    files.cur = files.max = 0;
    sys(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, arg(&files));
    const long high = files.cur > 1024 + 2 * kReserved ? 1024 : files.cur > 64 ? long(files.cur) - 2 * kReserved : 3;
    for (const std::atomic<int> &r : gReserved) {
        const int fd = r.load();
        if (fd >= 0 && isReserved(fd))
            return int(sys(SYS_fcntl, fd, F_DUPFD_CLOEXEC, high));
    }
    const long file = sys(SYS_memfd_create, arg("vask-reserved"), MFD_CLOEXEC);
    if (failed(file))
        return int(file);
    struct stat st;
    sys(SYS_fstat, file, arg(&st));
    gReservedDev.store(st.st_dev);
    gReservedIno.store(st.st_ino);
    const long fd = sys(SYS_fcntl, file, F_DUPFD_CLOEXEC, high);
    closeFile(int(file));
    return int(fd);
}

// Closes one reserved descriptor, making room for one open; false when none
// is left, or when called from another process (the dump's helper shares
// our memory, not our descriptors). Signal-safe.
bool giveUpReserved()
{
    if (sys(SYS_getpid) != gReservedPid.load())
        return false;
    for (std::atomic<int> &r : gReserved) {
        const int fd = r.exchange(-1);
        if (fd >= 0 && isReserved(fd)) {
            closeFile(fd);
            return true;
        }
    }
    return false;
}

// Reads from `fd` until the buffer is full or the file ends, then closes it.
// Signal-safe.
long readAndClose(int fd, char *buffer, std::size_t size)
{
    if (fd < 0)
        return fd;
    std::size_t used = 0;
    while (used < size) {
        const long r = readSome(fd, buffer + used, size - used);
        if (r <= 0)
            break;
        used += std::size_t(r);
    }
    closeFile(fd);
    return long(used);
}

} // namespace

// Signal-safe.
int openAt(int dir, const char *path, int flags, int mode)
{
    for (;;) {
        const long r = sys(SYS_openat, dir, arg(path), flags, mode);
        if (r == -EINTR)
            continue;
        if ((r == -EMFILE || r == -ENFILE) && giveUpReserved())
            continue;
        return int(r);
    }
}

// Not signal-safe: setup only.
void reserveDescriptors()
{
    restoreDescriptors();
}

// Signal-safe.
void restoreDescriptors()
{
    gReservedPid.store(sys(SYS_getpid));
    for (std::atomic<int> &r : gReserved) {
        const int held = r.load();
        if (held >= 0 && isReserved(held))
            continue;
        const int fd = newReserved();
        if (fd < 0)
            return;
        int expected = held;
        if (!r.compare_exchange_strong(expected, fd))
            closeFile(fd);
    }
}

// Signal-safe.
bool procIsForeign()
{
    char text[24];
    const long n = sys(SYS_readlink, arg("/proc/self"), arg(text), long(sizeof text));
    const char *p = text;
    return n > 0 && parseDecimal(p, text + n) != std::uint64_t(sys(SYS_getpid));
}

// Signal-safe.
int ownTid(int dir, const char *name, char *buffer, std::size_t size)
{
    char path[32];
    const std::size_t n = textLength(name);
    if (n + 8 > sizeof path || size < 2)
        return 0;
    copyBytes(path, name, n);
    copyBytes(path + n, "/status", 8);
    const long length = readAndClose(openAt(dir, path, O_RDONLY | O_CLOEXEC), buffer, size - 1);
    if (length <= 0)
        return 0;
    buffer[length] = '\0';
    // "NSpid:\t<in /proc's namespace>\t...\t<in the thread's own>"
    for (const char *p = buffer, *end = buffer + length; p < end; ++p) {
        if ((p != buffer && p[-1] != '\n') || !hasPrefix(p, std::size_t(end - p), "NSpid:"))
            continue;
        std::uint64_t last = 0;
        for (p += 6; p < end && *p != '\n';) {
            if (*p == '\t' || *p == ' ')
                ++p;
            else if (*p >= '0' && *p <= '9')
                last = parseDecimal(p, end, 0x3fffffff);
            else
                return 0;
        }
        return last <= 0x3fffffff ? int(last) : 0;
    }
    return 0;
}

// Signal-safe.
long readWhole(const char *path, char *buffer, std::size_t size)
{
    return readAndClose(openFile(path, O_RDONLY | O_CLOEXEC), buffer, size);
}

// Signal-safe.
int openOwnProc(const char *leaf, int flags)
{
    char path[64];
    for (const char *dir : {"/proc/thread-self/", "/proc/self/"}) {
        const std::size_t n = textLength(dir);
        const std::size_t m = textLength(leaf);
        if (n + m >= sizeof path)
            return -ENAMETOOLONG;
        copyBytes(path, dir, n);
        copyBytes(path + n, leaf, m + 1);
        const int fd = openFile(path, flags);
        if (fd != -ENOENT)
            return fd;
    }
    return -ENOENT;
}

// Signal-safe.
long readOwnProc(const char *leaf, char *buffer, std::size_t size)
{
    return readAndClose(openOwnProc(leaf, O_RDONLY | O_CLOEXEC), buffer, size);
}

} // namespace lx
} // namespace vask
