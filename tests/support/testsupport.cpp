#include "testsupport.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

#include "filehelper.h"

namespace vasktest {

namespace {
QStringList *gLog = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool plain = type == QtInfoMsg && !context.file && !context.line && !context.function;
    gLog->append(plain ? text : QStringLiteral("[type %1 or context] ").arg(type) + text);
}
} // namespace

Output capture(const std::function<void()> &fn)
{
    Output output;
    gLog = &output.log;
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    std::fflush(stdout);
    std::FILE *tmp = std::tmpfile();
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    qInstallMessageHandler(previous);
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;)
        output.out += char(c);
    std::fclose(tmp);
    return output;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

BaseDirGuard::~BaseDirGuard()
{
    FileHelper::setBaseDirPath(QString());
}

} // namespace vasktest
