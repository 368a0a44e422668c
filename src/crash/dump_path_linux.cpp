// The dump file's path: "<folder>/vask_<milliseconds>.dmp", built in a
// fixed buffer on the crash path from copies taken beforehand.
#include "dump_linux_p.h"

#include "dump_basedir_p.h"
#include "dump_sys_linux_p.h"

#include <cstring>

namespace vask {
namespace lx {

namespace {

// The executable's folder, taken at setup: at crash time /proc may refuse
// us, and after the main thread has exited /proc/self/exe reads nothing.
char gExecutableDir[4096];
std::atomic<bool> gExecutableDirReady {false};

// Appends the folder of /proc/<self>/exe. Signal-safe.
void appendExecutableDirNow(PathText &path)
{
    if (path.overflow)
        return;
    char *target = path.text + path.length;
    const std::size_t room = sizeof path.text - path.length - 1;
    long n = sys(SYS_readlink, arg("/proc/thread-self/exe"), arg(target), long(room));
    if (n == -ENOENT)
        n = sys(SYS_readlink, arg("/proc/self/exe"), arg(target), long(room));
    if (n <= 0 || std::size_t(n) >= room) { // failed, or maybe cut short
        path.overflow = true;
        path.text[path.length] = '\0';
        return;
    }
    long slash = n - 1;
    while (slash > 0 && target[slash] != '/')
        --slash;
    path.length += std::size_t(slash);
    path.text[path.length] = '\0';
}

} // namespace

// Signal-safe.
void appendAscii(PathText &path, const char *text)
{
    const std::size_t n = std::strlen(text);
    if (path.overflow || path.length + n + 1 > sizeof path.text) {
        path.overflow = true;
        return;
    }
    std::memcpy(path.text + path.length, text, n);
    path.length += n;
    path.text[path.length] = '\0';
}

// Signal-safe.
void appendDecimal(PathText &path, long long value)
{
    char text[24];
    std::size_t k = 0;
    if (value < 0)
        text[k++] = '-';
    formatUnsigned(text + k,
                   value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value));
    appendAscii(path, text);
}

// Not signal-safe: setup only.
void rememberExecutableDir(const char *dir)
{
    if (gExecutableDirReady.load())
        return;
    PathText found;
    if (!dir) {
        appendExecutableDirNow(found);
        dir = found.text;
        if (found.overflow)
            return;
    }
    const std::size_t n = std::strlen(dir);
    if (n == 0 || n >= sizeof gExecutableDir)
        return;
    std::memcpy(gExecutableDir, dir, n + 1);
    gExecutableDirReady.store(true);
}

// Signal-safe.
bool buildDumpPath(PathText &path)
{
    path.length = 0;
    path.overflow = false;
    path.text[0] = '\0';
    const dump::BaseDir base = dump::readBaseDir(path.text, sizeof path.text, path.length);
    if (base == dump::BaseDir::Unusable)
        return false;
    if (base == dump::BaseDir::Unset) {
        if (gExecutableDirReady.load())
            appendAscii(path, gExecutableDir);
        else
            appendExecutableDirNow(path);
    }
    appendAscii(path, "/vask_");
    appendDecimal(path, clockMilliseconds(CLOCK_REALTIME));
    appendAscii(path, ".dmp");
    return !path.overflow;
}

} // namespace lx
} // namespace vask
