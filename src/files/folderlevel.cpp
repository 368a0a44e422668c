#include "folderlevel_p.h"

#include <QDir>
#include <QFile>
#include <QLatin1String>
#include <QMessageLogger>

namespace vask {

bool ensureLevel(const QString &path, Presence test)
{
    const bool present = test == Presence::AnyEntry ? QFile::exists(path) : QDir(path).exists();
    if (present)
        return false;
    return QDir().mkdir(path);
}

QString refuse(const char *message)
{
    QMessageLogger().info("%s", message);
    return QString(QLatin1String(""));
}

} // namespace vask
