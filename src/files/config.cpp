// The configuration readers: "config.json" completed by "user.json", or
// "distributed_config.json" alone.
//
// No exception leaves them: a text that can't be held (std::bad_alloc, or
// more than a QByteArray takes) is a failure like any other.
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLatin1String>

#include <cstdio>
#include <new>

#include "configfile_p.h"
#include "configtext_p.h"
#include "filehelper.h"
#include "userkeys_p.h"

namespace {

// The resolved application directory with backslashes turned into "/" and
// one "/" ensured at the end (more than one are kept).
QString configDirectory()
{
    QString dir = FileHelper::appDir();
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

enum class Outcome { Missing, Unopenable, Malformed, Parsed };

struct ConfigDocument {
    Outcome outcome = Outcome::Missing;
    QJsonDocument document;
    int parseError = 0;
};

// Reads a main configuration file. Only a regular file is opened. The bytes
// before the first NUL go through a UTF-8 decode and re-encode (malformed
// sequences become U+FFFD rather than failing the parse); nothing after the
// NUL is read. A text too large to hold fails as DocumentTooLarge.
ConfigDocument readConfigDocument(const QString &path)
{
    ConfigDocument result;
    if (!QFile::exists(path))
        return result;
    vask::ConfigFile file(path);
    if (!file.isOpen()) {
        result.outcome = Outcome::Unopenable;
        return result;
    }
    result.outcome = Outcome::Malformed;
    result.parseError = QJsonParseError::DocumentTooLarge;
    try {
        QByteArray text;
        if (!vask::readConfigText(file, text))
            return result;
        QJsonParseError error;
        result.document = QJsonDocument::fromJson(text, &error);
        result.parseError = error.error;
        if (error.error == QJsonParseError::NoError)
            result.outcome = Outcome::Parsed;
    } catch (const std::bad_alloc &) {
        result.document = QJsonDocument();
    }
    return result;
}

} // namespace

// The path of "user.json" in dir: backslashes become "/", every trailing "/"
// goes, then "/user.json" is appended.
static QString userConfigPath(const QString &dir)
{
    QString path = dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path + QLatin1String("/user.json");
}

// Adds to config the top-level keys of "user.json" in dir that it lacks, so
// the configuration wins. "user.json" is parsed from its raw bytes and
// ignored silently when missing, not a regular file, malformed, not an
// object or too large to hold. It is parsed only when a first look finds it
// can add a key: a large file under keys that config.json already has costs
// a read, not a parse.
static QJsonObject mergeUserConfig(const QJsonObject &config, const QString &dir)
{
    try {
        vask::ConfigFile file(userConfigPath(dir));
        QByteArray bytes;
        if (!file.isOpen() || !vask::mayAddKeys(file, config) || !file.rewind() || !vask::readAllBytes(file, bytes))
            return config;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        bytes = QByteArray();
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return config;
        const QJsonObject user = document.object();
        QJsonObject merged = config;
        for (auto it = user.constBegin(); it != user.constEnd(); ++it) {
            if (!config.contains(it.key()))
                merged.insert(it.key(), it.value());
        }
        return merged;
    } catch (const std::bad_alloc &) {
        return config;
    }
}

QJsonObject FileHelper::readConfigFile()
{
    try {
        const QString dir = configDirectory();
        const QString path = dir + QLatin1String("config.json");
        // The messages carry no line end; flushing keeps them in order with
        // whatever the host writes to the terminal next.
        std::printf("FileHelper::readConfigFile: from path: %s", path.toUtf8().constData());
        std::fflush(stdout);

        QJsonObject config;
        const ConfigDocument read = readConfigDocument(path);
        switch (read.outcome) {
        case Outcome::Missing:
            std::printf("FileHelper::readConfigFile: is not exist");
            break;
        case Outcome::Unopenable:
            std::printf("FileHelper::readConfigFile: can't be open in mode ReadOnly");
            break;
        case Outcome::Malformed:
            std::printf("FileHelper::readConfigFile: parse faild, error code: %d", read.parseError);
            break;
        case Outcome::Parsed:
            config = read.document.object(); // an array at the top gives {}
            break;
        }
        std::fflush(stdout);
        gJsonConfig = mergeUserConfig(config, dir);
        return gJsonConfig;
    } catch (const std::bad_alloc &) {
        return QJsonObject(); // not even the path could be held
    }
}

QJsonObject FileHelper::readDistributedConfigFile()
{
    try {
        const ConfigDocument read = readConfigDocument(configDirectory() + QLatin1String("distributed_config.json"));
        if (read.outcome != Outcome::Parsed)
            return QJsonObject();
        gJsonConfig = read.document.object();
        return gJsonConfig;
    } catch (const std::bad_alloc &) {
        return QJsonObject();
    }
}
