// Writing the dump's bytes. Memory goes to the file straight from where it
// is, with pwrite(): one copy, and a page that vanished or can't be read
// makes the call fail with EFAULT instead of faulting us. Long runs of a
// large dump go around the page cache (O_DIRECT), everything else through it.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"

#include <fcntl.h>
#include <sys/sysinfo.h>

namespace vask {
namespace lx {

namespace {

// Runs at least this long are written with O_DIRECT where the dump uses it.
constexpr std::uint64_t kDirectRun = 1 << 20;

// Sets or clears O_DIRECT on the dump's descriptor; false when the file
// system refuses it, which ends direct writing for this dump. Signal-safe.
bool setDirect(Output &out, bool on)
{
    if (out.directOn == on)
        return true;
    const long flags = sys(SYS_fcntl, out.fd, F_GETFL);
    if (flags < 0 || sys(SYS_fcntl, out.fd, F_SETFL, on ? flags | O_DIRECT : flags & ~long(O_DIRECT)) != 0) {
        out.direct = false;
        return false;
    }
    out.directOn = on;
    return true;
}

// One write of memory at most n bytes long: around the page cache for a
// long run where the dump does so, else through it. A direct write that the
// file system refuses is made again through the cache, and so is one of a
// single page that could not be pinned (the cache's copy reads what can be
// read). Signal-safe.
long writeMemory(Output &out, std::uint64_t address, std::uint64_t n, std::uint64_t offset, bool longRun)
{
    if (out.direct && longRun && setDirect(out, true)) {
        const long r = sys(SYS_pwrite64, out.fd, long(address), long(n), long(offset));
        if (r == -EINVAL)
            out.direct = false;
        else if (r != -EFAULT || n > kPage)
            return r;
    }
    setDirect(out, false);
    return sys(SYS_pwrite64, out.fd, long(address), long(n), long(offset));
}

} // namespace

// Copies process memory to the file. A page that can't be read (unmapped
// meanwhile, a file mapping past its end) leaves a hole. Signal-safe.
void copyMemory(Output &out, std::uint64_t address, std::uint64_t size, std::uint64_t offset)
{
    const bool longRun = size >= kDirectRun && address % kPage == 0 && offset % kPage == 0 && size % kPage == 0;
    std::uint64_t chunk = kCopyPiece;
    while (size > 0 && !out.broken) {
        const std::uint64_t n = size < chunk ? size : chunk;
        const long r = writeMemory(out, address, n, offset, longRun);
        if (r == -EINTR)
            continue;
        if (r == -EFAULT && n > kPage && out.direct && longRun) {
            // A direct write fails whole on a page it can't pin: halve the
            // piece until that page is alone (and a hole).
            chunk = n / 2 / kPage * kPage;
            continue;
        }
        std::uint64_t done;
        if (r > 0) {
            done = std::uint64_t(r);
            chunk = chunk < kCopyPiece / 2 ? chunk * 2 : kCopyPiece;
        } else if (r == -EFAULT || r == 0) {
            done = kPage - (address % kPage);
            if (done > size)
                done = size;
        } else {
            out.broken = true;
            return;
        }
        address += done;
        offset += done;
        size -= done;
    }
}

// The page cache takes a dump at memory speed, and a dump that free memory
// holds (with a sixteenth of the machine's memory to spare) costs nobody a
// cached page: it is written through the cache. A larger one would push out
// pages of the host and of everything else, and is throttled to the disk's
// pace anyway: its long runs go around the cache. Signal-safe.
bool wantsDirect(std::uint64_t bytes)
{
    struct sysinfo info;
    if (sys(SYS_sysinfo, arg(&info)) != 0)
        return false;
    const std::uint64_t unit = info.mem_unit, free = info.freeram * unit, total = info.totalram * unit;
    return bytes + total / 16 > free;
}

// Signal-safe.
void writeAt(Output &out, const void *data, std::size_t size, std::uint64_t offset)
{
    setDirect(out, false);
    const char *p = static_cast<const char *>(data);
    while (size > 0 && !out.broken) {
        const long r = sys(SYS_pwrite64, out.fd, arg(p), long(size), long(offset));
        if (r == -EINTR)
            continue;
        if (r <= 0) {
            out.broken = true;
            return;
        }
        p += r;
        size -= std::size_t(r);
        offset += std::uint64_t(r);
    }
}

} // namespace lx
} // namespace vask
