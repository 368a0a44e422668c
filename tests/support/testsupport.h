#ifndef VASK_TESTSUPPORT_H
#define VASK_TESTSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <ostream>
#include <string>

// Lets test failures show strings as text.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace vasktest {

// Whether this build runs under a sanitizer, whose runtime changes the
// process's address space, allocator and stack use.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

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

// Restores the library's base directory to "unset" when a test ends.
struct BaseDirGuard {
    ~BaseDirGuard();
};

} // namespace vasktest

#endif
