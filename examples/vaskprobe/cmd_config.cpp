// config [--distributed]: reads the base directory's configuration, shows the
// reader's own messages, then the resulting object as indented JSON.
#include <QFile>
#include <QJsonDocument>

#include "filehelper.h"
#include "probe.h"

namespace {

int readAndShow(bool distributed)
{
    const QJsonObject config =
        distributed ? FileHelper::readDistributedConfigFile() : FileHelper::readConfigFile();
    // The main reader prints without a line end; end its line before ours.
    if (!distributed)
        probe::out(QString());
    probe::out(QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Indented)).trimmed());
    return 0;
}

int run(const QStringList &args)
{
    if (args.isEmpty())
        return readAndShow(false);
    if (args == QStringList{QStringLiteral("--distributed")})
        return readAndShow(true);
    probe::out(QStringLiteral("usage: vaskprobe [--base DIR] config [--distributed]"));
    return 2;
}

bool writeText(const QString &path, const char *text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) >= 0;
}

int tour()
{
    const QString dir = FileHelper::appDir();
    probe::out(QStringLiteral("-- no configuration yet:"));
    readAndShow(false);
    if (!writeText(dir + QStringLiteral("/config.json"), "{\"lanes\": 3, \"name\": \"ring road\"}\n")
        || !writeText(dir + QStringLiteral("/user.json"), "{\"lanes\": 5, \"theme\": \"dark\"}\n")
        || !writeText(dir + QStringLiteral("/distributed_config.json"), "{\"node\": 2}\n"))
        return 1;
    probe::out(QStringLiteral("-- config.json {lanes 3, name} over user.json {lanes 5, theme}:"));
    const QJsonObject merged = FileHelper::readConfigFile();
    probe::out(QString());
    probe::out(QString::fromUtf8(QJsonDocument(merged).toJson(QJsonDocument::Compact)));
    probe::out(QStringLiteral("-- distributed_config.json:"));
    readAndShow(true);
    return merged.value(QStringLiteral("lanes")).toInt() == 3 && merged.contains(QStringLiteral("theme")) ? 0 : 1;
}

const bool registered = probe::registerCommand(
    {"config", "config [--distributed]        read the configuration and print it", run, 20, tour});

} // namespace
