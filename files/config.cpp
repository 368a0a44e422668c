// The configuration readers: "config.json" completed by "user.json", or
// "distributed_config.json" alone.
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLatin1String>

#include <cstdio>

#include "filehelper.h"

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

// Reads a main configuration file. The bytes go through a UTF-8 decode and
// re-encode (malformed sequences become U+FFFD rather than failing the
// parse) and are cut at the first NUL byte: nothing after it is parsed.
ConfigDocument readConfigDocument(const QString &path)
{
    ConfigDocument result;
    if (!QFile::exists(path))
        return result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.outcome = Outcome::Unopenable;
        return result;
    }
    const QByteArray raw = file.readAll();
    file.close();
    QByteArray text = QString::fromUtf8(raw.constData(), raw.size()).toUtf8();
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    QJsonParseError error;
    result.document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        result.outcome = Outcome::Malformed;
        result.parseError = error.error;
        return result;
    }
    result.outcome = Outcome::Parsed;
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

// Lays the top-level keys of config over those of "user.json" in dir, so the
// configuration wins. "user.json" is parsed from its raw bytes and ignored
// silently when missing, unreadable, malformed or not an object.
static QJsonObject mergeUserConfig(const QJsonObject &config, const QString &dir)
{
    QJsonObject user;
    QFile file(userConfigPath(dir));
    if (file.exists() && file.open(QIODevice::ReadOnly)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            user = document.object();
    }
    QJsonObject merged = user;
    for (auto it = config.constBegin(); it != config.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return merged;
}

QJsonObject FileHelper::readConfigFile()
{
    const QString dir = configDirectory();
    const QString path = dir + QLatin1String("config.json");
    std::printf("FileHelper::readConfigFile: from path: %s", path.toUtf8().constData());

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
    // The messages carry no line end; flushing keeps them in order with
    // whatever the host writes to the terminal next.
    std::fflush(stdout);
    gJsonConfig = mergeUserConfig(config, dir);
    return gJsonConfig;
}

QJsonObject FileHelper::readDistributedConfigFile()
{
    const ConfigDocument read = readConfigDocument(configDirectory() + QLatin1String("distributed_config.json"));
    if (read.outcome != Outcome::Parsed)
        return QJsonObject();
    gJsonConfig = read.document.object();
    return gJsonConfig;
}
