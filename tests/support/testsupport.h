#ifndef VASK_TESTSUPPORT_H
#define VASK_TESTSUPPORT_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <functional>
#include <string>

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

// One entry of Qt's message log as a test saw it.
struct LogEntry {
    QtMsgType type;
    QString text;
    bool hasContext; // file, line or function filled in
};

// Collects the Qt message log while alive.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    const QList<LogEntry> &entries() const;
    QStringList texts() const;

private:
    QtMessageHandler mPrevious;
};

// Runs fn with standard output redirected to a file and returns what it wrote.
std::string captureStdout(const std::function<void()> &fn);

// Writes bytes to a file, creating or truncating it; false on failure.
bool writeFile(const QString &path, const QByteArray &bytes);

// Restores the library's base directory to "unset" when a test ends.
class BaseDirGuard
{
public:
    BaseDirGuard() = default;
    ~BaseDirGuard();
};

} // namespace vasktest

#endif
