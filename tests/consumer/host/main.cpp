// A host as the library's users write one: installed headers only.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

#include "filehelper.h"
#include "vasksupport.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    VaskSupport a;
    VaskSupport b;
    a = b;
    QTemporaryDir base;
    if (!base.isValid())
        return 1;
    FileHelper::setBaseDirPath(base.path());
    const QString data = FileHelper::dataDir();
    if (data != base.path() + QStringLiteral("/Data") || !QDir(data).exists()) {
        std::printf("consumer: unexpected dataDir %s\n", qPrintable(data));
        return 1;
    }
    if (!gJsonConfig.isEmpty())
        return 1;
    static_assert(VASKSUPPORT_VERSION >= VASKSUPPORT_VERSION_CHECK(1, 0, 0), "version macros");
    std::printf("consumer ok: %s, VaskSupport %s\n", qPrintable(data), VASKSUPPORT_VERSION_STR);
    return 0;
}
