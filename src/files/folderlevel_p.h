#ifndef VASKSUPPORT_FILES_FOLDERLEVEL_P_H
#define VASKSUPPORT_FILES_FOLDERLEVEL_P_H

#include <QString>

namespace vask {

// What counts as "already there" before a level is created.
enum class Presence {
    AnyEntry, // QFile::exists: a regular file of that name counts
    Folder, // QDir::exists: only a folder counts
};

// Tests one path and, when it is missing, creates that single level (never
// its parents). Returns whether the level was created by this call; callers
// that do not care ignore it, as the folder accessors do.
bool ensureLevel(const QString &path, Presence test);

// An accessor's refusal: writes message as one info-level entry without
// source-location context and returns the empty, non-null string.
QString refuse(const char *message);

} // namespace vask

#endif // VASKSUPPORT_FILES_FOLDERLEVEL_P_H
