#include "testsupport.h"

#include <QFile>

#include <gtest/gtest.h>

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
    ::testing::internal::CaptureStdout();
    fn();
    output.out = ::testing::internal::GetCapturedStdout();
    qInstallMessageHandler(previous);
    return output;
}

QByteArray readFile(const QString &path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(size) : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace vasktest
