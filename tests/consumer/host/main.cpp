// A host as the library's users write one: installed headers only, an
// exported class, functions and datum, and the version macros.
#include <QCoreApplication>

#include <cstdio>

#include "filehelper.h"
#include "vasksupport.h"

static_assert(VASKSUPPORT_VERSION >= VASKSUPPORT_VERSION_CHECK(1, 0, 0), "version macros");

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    VaskSupport a, b;
    a = b;
    FileHelper::setBaseDirPath(QStringLiteral("/nonexistent"));
    const QString temp = FileHelper::tempDir();
    std::printf("consumer: %s, VaskSupport %s\n", qPrintable(temp), VASKSUPPORT_VERSION_STR);
    return temp == QStringLiteral("/nonexistent/Temp") && gJsonConfig.isEmpty() ? 0 : 1;
}
