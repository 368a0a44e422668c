#include "testsupport.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

namespace vasktest {

static QStringList *gLog = nullptr;

Output capture(const std::function<void()> &fn)
{
    Output output;
    gLog = &output.log;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                                                                const QString &text) {
        const bool plain = type == QtInfoMsg && !context.file && !context.line && !context.function;
        gLog->append(plain ? text : QStringLiteral("[type %1 or context] ").arg(type) + text);
    });
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

} // namespace vasktest
