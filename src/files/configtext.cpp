#include "configtext_p.h"

#include <cstring>

#include "configfile_p.h"

namespace vask {

namespace {
constexpr int kReadSize = 1 << 16;
} // namespace

bool readConfigText(ConfigFile &file, QByteArray &text)
{
    QByteArray buffer(kReadSize, Qt::Uninitialized);
    Utf8Repair repair;
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n <= 0)
            break;
        const void *nul = std::memchr(buffer.constData(), 0, std::size_t(n));
        const int size = nul ? int(static_cast<const char *>(nul) - buffer.constData()) : int(n);
        if (!repair.add(buffer.constData(), size))
            return false;
        if (nul)
            break;
    }
    if (!repair.finish())
        return false;
    text = repair.text();
    return true;
}

bool readAllBytes(ConfigFile &file, QByteArray &bytes)
{
    QByteArray buffer(kReadSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n <= 0)
            return true;
        if (bytes.size() + n > kMaxConfigBytes)
            return false;
        bytes.append(buffer.constData(), int(n));
    }
}

} // namespace vask
