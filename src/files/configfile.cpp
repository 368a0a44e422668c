#include "configfile_p.h"

#if defined(_WIN32)
#include <QFileInfo>
#else
#include <QFile>

#include "regularfile_p.h"
#endif

namespace vask {

#if defined(_WIN32)

// No FIFO can sit under a plain file name on Windows; the test keeps
// folders and devices out.
ConfigFile::ConfigFile(const QString &path) : mFile(path)
{
    if (QFileInfo(path).isFile())
        mFile.open(QIODevice::ReadOnly);
}

ConfigFile::~ConfigFile() = default;

bool ConfigFile::isOpen() const
{
    return mFile.isOpen();
}

qint64 ConfigFile::read(char *data, qint64 size)
{
    return qMax<qint64>(mFile.read(data, size), 0);
}

bool ConfigFile::rewind()
{
    return mFile.seek(0);
}

#else

ConfigFile::ConfigFile(const QString &path) : mFd(posix::openRegularFile(QFile::encodeName(path).constData()))
{ }

ConfigFile::~ConfigFile()
{
    if (mFd >= 0)
        posix::closeFile(mFd);
}

bool ConfigFile::isOpen() const
{
    return mFd >= 0;
}

qint64 ConfigFile::read(char *data, qint64 size)
{
    if (mFd < 0)
        return 0;
    return qMax<qint64>(posix::readSome(mFd, data, std::size_t(size)), 0);
}

bool ConfigFile::rewind()
{
    return mFd >= 0 && posix::rewindFile(mFd);
}

#endif

} // namespace vask
