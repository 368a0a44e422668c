// DmpHelper: hands the dump to the platform's writer (dump_win.cpp; on
// Linux the dump_*_linux.cpp files behind dump_linux_p.h).
#include "dmphelper.h"

#include "filehelper.h"

#if defined(_WIN32)
#include <QString>

#include <string>

#include "dump_win_p.h"
#else
#include <QCoreApplication>
#include <QFile>

#include "dump_linux_p.h"
#endif

DmpHelper &DmpHelper::operator=(const DmpHelper &)
{
    return *this;
}

DmpHelper &DmpHelper::operator=(DmpHelper &&)
{
    return *this;
}

#if defined(_WIN32)

void DmpHelper::setupDump()
{
    vask::win::setupDump(&DmpHelper::callback);
}

// Only the base directory comes from here; the time, the path, the file and
// the dump are dump_win.cpp's, which the wine test runs as it is.
long DmpHelper::callback(EXCEPTION_POINTERS *pointers)
{
    std::wstring base;
    try {
        base = FileHelper::appDir().toStdWString();
    } catch (...) {
        return 1; // EXCEPTION_EXECUTE_HANDLER: no memory, no dump
    }
    return vask::win::dumpCallback(base.c_str(), pointers);
}

#else

void DmpHelper::setupDump()
{
    // The executable's folder as Qt reports it, encoded as Qt names files;
    // without the application object, the platform code reads
    // /proc/self/exe itself.
    const QByteArray dir
        = QCoreApplication::instance() ? QFile::encodeName(QCoreApplication::applicationDirPath()) : QByteArray();
    vask::lx::installFaultHandlers(dir.isEmpty() ? nullptr : dir.constData());
}

// A crash never comes through here: the fatal-signal handler calls the
// writer itself. Signal-safe all the same (no allocation, no lock but the
// one that lets a single dump run at a time, no Qt object), so a host may
// call it from a handler of its own. The base directory comes from the
// copy FileHelper::setBaseDirPath keeps for this.
long DmpHelper::callback(EXCEPTION_POINTERS *pointers)
{
    if (pointers)
        vask::lx::dumpDirect(pointers->signalNumber, pointers->signalInfo, pointers->context);
    else
        vask::lx::dumpDirect(0, nullptr, nullptr);
    return 1;
}

#endif
