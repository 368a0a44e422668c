// The few system-call helpers of the crash path that are more than a line.
#include "dump_sys_linux_p.h"

#include <cstring>
#include <initializer_list>

namespace vask {
namespace lx {

namespace {

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
long readWhole(const char *path, char *buffer, std::size_t size)
{
    return readAndClose(openFile(path, O_RDONLY | O_CLOEXEC), buffer, size);
}

// Signal-safe.
int openOwnProc(const char *leaf, int flags)
{
    char path[64];
    for (const char *dir : {"/proc/thread-self/", "/proc/self/"}) {
        const std::size_t n = std::strlen(dir);
        const std::size_t m = std::strlen(leaf);
        if (n + m >= sizeof path)
            return -ENAMETOOLONG;
        std::memcpy(path, dir, n);
        std::memcpy(path + n, leaf, m + 1);
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

// Signal-safe.
std::size_t formatUnsigned(char *out, unsigned long long v)
{
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}

} // namespace lx
} // namespace vask
