// libFuzzer target for the configuration reader. The input is split into the
// bytes of "config.json" and "user.json" (at the first 0x1E record separator,
// or all of it as config.json), both are written into a temp base directory,
// and both readers run. Any crash, leak or sanitizer report is a finding, and
// so is a result other than the plain one: both files read whole and parsed
// by QJsonDocument, then merged key by key. That holds the reader's first
// look at "user.json" (which skips files that can add nothing) to the
// parser's own verdict.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "filehelper.h"

namespace {

void writeOrRemove(const QString &path, const QByteArray &bytes, bool present)
{
    QFile file(path);
    if (!present) {
        file.remove();
        return;
    }
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

struct Base {
    Base()
    {
        // The reader's messages would flood the fuzzer's output.
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            close(devnull);
        }
        FileHelper::setBaseDirPath(dir.path());
    }
    QTemporaryDir dir;
};

// The readers' result, computed the plain way.
QJsonObject expectedMerge(const QByteArray &config, const QByteArray &user, bool hasUser)
{
    QByteArray text = QString::fromUtf8(config.constData(), config.size()).toUtf8();
    if (text.indexOf('\0') >= 0)
        text.truncate(text.indexOf('\0'));
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(text, &error);
    const QJsonObject main = error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
    QJsonObject merged;
    document = QJsonDocument::fromJson(user, &error);
    if (hasUser && error.error == QJsonParseError::NoError && document.isObject())
        merged = document.object();
    for (auto it = main.constBegin(); it != main.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return merged;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Base base;
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const int split = input.indexOf('\x1e');
    const QByteArray config = split < 0 ? input : input.left(split);
    const QByteArray user = split < 0 ? QByteArray() : input.mid(split + 1);
    writeOrRemove(base.dir.filePath(QStringLiteral("config.json")), config, true);
    writeOrRemove(base.dir.filePath(QStringLiteral("user.json")), user, split >= 0);
    writeOrRemove(base.dir.filePath(QStringLiteral("distributed_config.json")), config, true);

    const QJsonObject merged = FileHelper::readConfigFile();
    if (merged != gJsonConfig || merged != expectedMerge(config, user, split >= 0))
        __builtin_trap();
    const QJsonObject distributed = FileHelper::readDistributedConfigFile();
    (void)distributed;
    return 0;
}
