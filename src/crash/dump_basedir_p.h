#ifndef VASKSUPPORT_CRASH_DUMP_BASEDIR_P_H
#define VASKSUPPORT_CRASH_DUMP_BASEDIR_P_H

// The base directory as the crash path reads it: a copy of its encoded
// bytes in static storage that is never destroyed, refreshed by
// FileHelper::setBaseDirPath. A crash can come at any moment, even while
// the base directory is being replaced or after the library's own statics
// are gone, and must never read a QString then. Qt-free, not exported.

#include <cstddef>

namespace vask {
namespace dump {

// Records the base directory's encoded bytes; length 0 means unset. A text
// that cannot be kept (too long, or holding a NUL byte) is remembered as
// unusable, so that no dump goes to a third place. Writers are kept apart by
// the host, as for the base directory itself.
void rememberBaseDir(const char *bytes, std::size_t length);

// Called as the library's statics are destroyed: from then on the base
// directory counts as unset.
void forgetBaseDirAtTeardown();

enum class BaseDir { Unset, Set, Unusable };

// Copies the current base directory into `out` (NUL-terminated) and says
// what it found. Never blocks, even when a crash interrupted a writer.
// Async-signal-safe.
BaseDir readBaseDir(char *out, std::size_t capacity, std::size_t &length);

} // namespace dump
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_BASEDIR_P_H
