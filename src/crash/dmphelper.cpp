// DmpHelper: hands the dump to the platform's writer (dump_win.cpp; on
// Linux the dump_*_linux.cpp files behind dump_linux_p.h).
#include "dmphelper.h"

#include <QCoreApplication>

#if defined(_WIN32)
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "dump_win_p.h"
#else
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

namespace {

// The executable's folder as Qt reports it, for crashes while no base
// directory is set; empty without the application object, and the platform
// code then asks the system itself.
QString exeDirOfQt()
{
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

} // namespace

#if defined(_WIN32)

void DmpHelper::setupDump()
{
    const QString dir = exeDirOfQt();
    vask::win::setupDump(&DmpHelper::callback,
                         dir.isEmpty() ? nullptr : reinterpret_cast<const wchar_t *>(dir.utf16()));
}

// Installed as the last-chance filter, and callable directly: which of the
// two it is, the caller's address tells. Nothing else happens here: after a
// fault, only dump_win.cpp's code runs.
long DmpHelper::callback(EXCEPTION_POINTERS *pointers)
{
#if defined(_MSC_VER)
    const void *caller = _ReturnAddress();
#else
    const void *caller = __builtin_return_address(0);
#endif
    return vask::win::dumpCallback(pointers, caller);
}

#else

void DmpHelper::setupDump()
{
    // Encoded as Qt names files.
    const QByteArray dir = QFile::encodeName(exeDirOfQt());
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
