// The dump file: its path "<folder>/vask_<milliseconds>.dmp", built in a
// fixed buffer on the crash path from copies taken beforehand, and the file
// itself, always a new one.
#include "dump_linux_p.h"

#include "dump_basedir_p.h"
#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

namespace vask {
namespace lx {

namespace {

// The executable's folder, taken at setup: at crash time /proc may refuse
// us, and after the main thread has exited /proc/self/exe reads nothing.
char gExecutableDir[4096];
std::atomic<bool> gExecutableDirReady {false};

// Appends the folder of /proc/self/exe. Signal-safe.
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
    const std::size_t n = textLength(text);
    if (path.overflow || path.length + n + 1 > sizeof path.text) {
        path.overflow = true;
        return;
    }
    copyBytes(path.text + path.length, text, n);
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
    const std::size_t n = textLength(dir);
    if (n == 0 || n >= sizeof gExecutableDir)
        return;
    copyBytes(gExecutableDir, dir, n + 1);
    gExecutableDirReady.store(true);
}

// Signal-safe.
bool buildDumpStem(PathText &path)
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
    return !path.overflow;
}

// Creates the file as a new one, never opening anything already there: a
// dump of another process that crashed in the same millisecond (or an old
// one, a link, a FIFO, a file of another user) keeps its name, and this
// dump takes "<stem>-<pid>.dmp", then "<stem>-<pid>-2.dmp" and so on.
// O_NONBLOCK and O_NOFOLLOW: nothing swapped in at the last moment can hold
// us or lead us elsewhere. Returns the descriptor, or -errno. Signal-safe.
int createDumpFile(PathText &path)
{
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    const std::size_t stem = path.length;
    int fd = -EEXIST;
    for (int k = 0; k < 10 && fd == -EEXIST; ++k) {
        path.length = stem;
        path.overflow = false;
        if (k > 0) {
            appendAscii(path, "-");
            appendDecimal(path, sys(SYS_getpid));
        }
        if (k > 1) {
            appendAscii(path, "-");
            appendDecimal(path, k);
        }
        appendAscii(path, ".dmp");
        fd = path.overflow ? -ENAMETOOLONG : openFile(path.text, kFlags, 0600);
    }
    return fd;
}

} // namespace lx
} // namespace vask
