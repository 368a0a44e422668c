// DmpHelper: names the dump file and hands the writing to the platform file
// (dump_win.cpp, dump_linux.cpp).
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

namespace {

// Runs inside the fatal-signal handler.
void onFault(int signo, siginfo_t *info, void *context)
{
    EXCEPTION_POINTERS record = {signo, info, context};
    DmpHelper::callback(&record);
}

} // namespace

void DmpHelper::setupDump()
{
    // The executable's folder as Qt reports it, encoded as Qt names files;
    // without the application object, the platform code reads
    // /proc/self/exe itself.
    const QByteArray dir
        = QCoreApplication::instance() ? QFile::encodeName(QCoreApplication::applicationDirPath()) : QByteArray();
    vask::lx::installFaultHandlers(onFault, dir.isEmpty() ? nullptr : dir.constData());
}

// Runs inside a signal handler: no allocation, no lock but the one that lets
// a single dump run at a time, no Qt object. The base directory comes from
// the copy FileHelper::setBaseDirPath keeps for this.
long DmpHelper::callback(EXCEPTION_POINTERS *pointers)
{
    const vask::lx::DumpLock lock;
    static vask::lx::PathText path; // static: a host's alternate stack may be small; DumpLock guards it
    if (vask::lx::buildDumpPath(path)) {
        if (pointers)
            vask::lx::writeCore(path.text, pointers->signalNumber, pointers->signalInfo, pointers->context);
        else
            vask::lx::writeCore(path.text, 0, nullptr, nullptr);
    }
    return 1;
}

#endif
