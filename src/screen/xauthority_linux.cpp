#include "xauthority_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vask {
namespace screen {

namespace {

// Real files hold a few entries; anything past this is not one.
constexpr off_t kLargestFile = 1 << 20;

// One field: a big-endian 16-bit length, then that many bytes.
bool readField(const std::string &file, size_t &at, std::string &out)
{
    if (file.size() - at < 2)
        return false;
    const size_t length = size_t(uint8_t(file[at])) << 8 | uint8_t(file[at + 1]);
    at += 2;
    if (file.size() - at < length)
        return false;
    out.assign(file, at, length);
    at += length;
    return true;
}

} // namespace

XAuthCookie findCookie(const std::string &file, uint16_t family, const std::string &address, const std::string &display)
{
    size_t at = 0;
    std::string host, number, name, data;
    while (file.size() - at >= 2) {
        const uint16_t entryFamily = uint16_t(uint8_t(file[at]) << 8 | uint8_t(file[at + 1]));
        at += 2;
        if (!readField(file, at, host) || !readField(file, at, number) || !readField(file, at, name)
            || !readField(file, at, data))
            break;
        const bool forHost = entryFamily == kFamilyWild || (entryFamily == family && host == address);
        if (forHost && (number.empty() || number == display) && name == "MIT-MAGIC-COOKIE-1")
            return {name, data};
    }
    return {};
}

std::string readXauthority()
{
    std::string path;
    const char *named = std::getenv("XAUTHORITY");
    const char *home = std::getenv("HOME");
    if (named && *named)
        path = named;
    else if (home && *home)
        path = std::string(home) + "/.Xauthority";
    else
        return {};

    // Only a regular file is opened, and checked again once open in case the
    // name was swapped in between; O_NONBLOCK keeps even that case from waiting.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    std::string bytes;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLargestFile) {
        bytes.resize(size_t(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = read(fd, &bytes[done], bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        bytes.resize(done);
    }
    close(fd);
    return bytes;
}

} // namespace screen
} // namespace vask
