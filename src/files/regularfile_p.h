#ifndef VASKSUPPORT_FILES_REGULARFILE_P_H
#define VASKSUPPORT_FILES_REGULARFILE_P_H

// Reading a file that must be a regular one, without Qt. A configuration
// name may point at a FIFO or a device (by mistake, or swapped in while we
// look): open() on a FIFO blocks until a writer comes, and a device may never
// end. Neither may hold up or disturb the host.
#include <cstddef>

namespace vask {
namespace posix {

// Opens path (symbolic links followed) for reading only when it names a
// regular file; returns the descriptor, or -1. The name is tested with
// stat() first, so nothing else is ever opened; the open itself can't block
// (O_NONBLOCK, in case a FIFO was swapped in meanwhile), can't become the
// controlling terminal, is not inherited by children, and the descriptor is
// tested again with fstat().
int openRegularFile(const char *path);

// Up to size bytes into buffer, resuming after signals: the count, 0 at the
// end, -1 on an error.
long readSome(int fd, char *buffer, std::size_t size);

// Back to the first byte; false on failure.
bool rewindFile(int fd);

void closeFile(int fd);

} // namespace posix
} // namespace vask

#endif // VASKSUPPORT_FILES_REGULARFILE_P_H
