#ifndef VASKSUPPORT_FILES_CONFIGFILE_P_H
#define VASKSUPPORT_FILES_CONFIGFILE_P_H

#include <QString>
#include <QtGlobal>

#if defined(_WIN32)
#include <QFile>
#endif

namespace vask {

// A configuration file open for reading, or not open at all when its name
// is not a regular file (a folder, a FIFO, a device) or can't be opened:
// such a name is never opened, and opening never blocks.
class ConfigFile
{
public:
    explicit ConfigFile(const QString &path);
    ~ConfigFile();
    ConfigFile(const ConfigFile &) = delete;
    ConfigFile &operator=(const ConfigFile &) = delete;

    bool isOpen() const;
    // Up to size bytes; 0 at the end and after an error.
    qint64 read(char *data, qint64 size);
    // Back to the first byte; false on failure.
    bool rewind();

private:
#if defined(_WIN32)
    QFile mFile;
#else
    int mFd = -1;
#endif
};

} // namespace vask

#endif // VASKSUPPORT_FILES_CONFIGFILE_P_H
