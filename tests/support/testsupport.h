#ifndef VASK_TESTSUPPORT_H
#define VASK_TESTSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <ostream>
#include <string>

#include "filehelper.h"

// Lets test failures show strings as text.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace vasktest {

// Whether this build runs under AddressSanitizer or ThreadSanitizer, whose
// runtimes change the process's address space, allocator and stack use (set
// by tests/CMakeLists.txt from VASK_SANITIZE).
constexpr bool kSanitized = VASK_TEST_SANITIZED;

// What a call wrote to standard output and to Qt's message log. An info
// entry without source-location context is logged as its bare text; any
// other entry is marked, so a comparison with the bare text fails.
struct Output {
    std::string out;
    QStringList log;
};
Output capture(const std::function<void()> &fn);

// Writes bytes to a file, creating or truncating it; false on failure.
bool writeFile(const QString &path, const QByteArray &bytes);
// The first `size` bytes of a file; empty when it can't be read.
QByteArray readFile(const QString &path, qint64 size = 1 << 20);

// Restores the library's base directory to "unset" when a test ends.
struct BaseDirGuard {
    ~BaseDirGuard() { FileHelper::setBaseDirPath(QString()); }
};

} // namespace vasktest

#endif
