// DmpHelper: names the dump file and hands the writing to the platform file
// (dump_win.cpp, dump_linux.cpp).
#include "dmphelper.h"

#include "filehelper.h"

#if defined(_WIN32)
#include <QString>

#include <string>

#include "dump_win.h"
#else
#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <cstring>

#include "dump_linux.h"
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

// The executable's folder as Qt reports it, taken once by setupDump: it
// can't change, and asking Qt for it at crash time would allocate.
char gExecutableDir[4096];
std::atomic<bool> gExecutableDirReady{false};

void prepareExecutableDir()
{
    if (gExecutableDirReady.load() || !QCoreApplication::instance())
        return; // without the application object, /proc/self/exe at crash time
    const QByteArray dir = QCoreApplication::applicationDirPath().toUtf8();
    if (dir.isEmpty() || std::size_t(dir.size()) >= sizeof gExecutableDir)
        return;
    std::memcpy(gExecutableDir, dir.constData(), std::size_t(dir.size()) + 1);
    gExecutableDirReady.store(true);
}

void onFault(int signo, siginfo_t *info, void *context)
{
    EXCEPTION_POINTERS record = {signo, info, context};
    DmpHelper::callback(&record);
}

// The dump path, built in static storage rather than on the stack (a host's
// alternate signal stack may be small); DumpLock guards it.
vask::lx::PathText gPath;

} // namespace

void DmpHelper::setupDump()
{
    prepareExecutableDir();
    vask::lx::installFaultHandlers(onFault);
}

// Runs inside a signal handler: no allocation, and no lock but the one that
// lets a single dump run at a time. The base directory is read in place
// (constData and size don't allocate) and converted into a fixed buffer.
long DmpHelper::callback(EXCEPTION_POINTERS *pointers)
{
    const vask::lx::DumpLock lock;
    vask::lx::PathText &path = gPath;
    path.length = 0;
    path.overflow = false;
    path.text[0] = '\0';
    const QString &base = FileHelper::appDirPath;
    if (!base.isEmpty())
        vask::lx::appendUtf16(path, reinterpret_cast<const char16_t *>(base.constData()), std::size_t(base.size()));
    else if (gExecutableDirReady.load())
        vask::lx::appendAscii(path, gExecutableDir);
    else
        vask::lx::appendExecutableDir(path);
    vask::lx::appendAscii(path, "/vask_");
    vask::lx::appendDecimal(path, vask::lx::realtimeMilliseconds());
    vask::lx::appendAscii(path, ".dmp");
    if (!path.overflow) {
        if (pointers)
            vask::lx::writeCore(path.text, pointers->signalNumber, pointers->signalInfo, pointers->context);
        else
            vask::lx::writeCore(path.text, 0, nullptr, nullptr);
    }
    return 1;
}

#endif
