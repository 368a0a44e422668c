#include "testsupport.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

#include "filehelper.h"

namespace vasktest {

namespace {
QList<LogEntry> gEntries;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    gEntries.append({type, text, context.file != nullptr || context.line != 0 || context.function != nullptr});
}
} // namespace

LogCapture::LogCapture()
    : mPrevious(qInstallMessageHandler(collect))
{
    gEntries.clear();
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(mPrevious);
}

const QList<LogEntry> &LogCapture::entries() const
{
    return gEntries;
}

QStringList LogCapture::texts() const
{
    QStringList out;
    for (const LogEntry &e : gEntries)
        out << e.text;
    return out;
}

std::string captureStdout(const std::function<void()> &fn)
{
    std::fflush(stdout);
    std::FILE *tmp = std::tmpfile();
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    std::fclose(tmp);
    return text;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

BaseDirGuard::~BaseDirGuard()
{
    FileHelper::setBaseDirPath(QString());
}

} // namespace vasktest
