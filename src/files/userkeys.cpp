#include "userkeys_p.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QString>

#include "configfile_p.h"

namespace vask {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A key as the parser decodes it. Printable ASCII is taken as it is; any
// other key goes through the parser itself, in the same place (an object's
// key), so escapes, byte-order marks and invalid UTF-8 come out the same.
bool decodeKey(const QByteArray &raw, QString &key)
{
    bool plain = true;
    for (const char c : raw)
        plain = plain && c >= 0x20 && c < 0x7f && c != '\\';
    if (plain) {
        key = QString::fromLatin1(raw);
        return true;
    }
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson('{' + ('"' + raw) + "\":0}", &error).object();
    if (error.error != QJsonParseError::NoError || object.isEmpty())
        return false;
    key = object.constBegin().key();
    return true;
}

// The raw text of a key holds at most 6 bytes per UTF-16 unit ("\\u0041"),
// plus a byte-order mark that decodes to nothing.
int longestRawKey(const QJsonObject &config)
{
    int longest = 0;
    for (auto it = config.constBegin(); it != config.constEnd(); ++it)
        longest = qMax(longest, it.key().size());
    return 6 * longest + 3;
}

} // namespace

bool mayAddKeys(ConfigFile &file, const QJsonObject &config)
{
    const int rawKeyLimit = longestRawKey(config);
    enum { Start, Body, Tail } part = Start;
    qint64 offset = 0;
    int depth = 0;
    bool inString = false, escaped = false, keyNext = false, inKey = false;
    bool adds = false;
    QByteArray key;
    QString decoded;

    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (qint64 n; (n = file.read(buffer.data(), buffer.size())) > 0; offset += n) {
        const char *p = buffer.constData();
        const char *end = p + n;
        if (part == Start && offset == 0 && n >= 3 && QByteArray::fromRawData(p, 3) == "\xEF\xBB\xBF")
            p += 3; // the parser skips a byte-order mark
        for (; p < end; ++p) {
            const char c = *p;
            if (part == Start) {
                if (isSpace(c))
                    continue;
                if (c != '{')
                    return false;
                part = Body;
                depth = 1;
                keyNext = true;
            } else if (part == Tail) {
                if (!isSpace(c))
                    return false;
            } else if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false;
                if (inString && inKey) {
                    key.append(c);
                    if (key.size() > rawKeyLimit) {
                        adds = true; // longer than any key of config
                        inKey = false;
                    }
                } else if (!inString && inKey) {
                    inKey = false;
                    if (!decodeKey(key, decoded))
                        return false;
                    adds = !config.contains(decoded);
                }
            } else if (c == '"') {
                inString = true;
                inKey = keyNext && !adds;
                keyNext = false;
                key.clear();
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (--depth == 0)
                    part = Tail;
            } else if (c == ',') {
                keyNext = depth == 1;
            }
        }
    }
    return part == Tail && adds;
}

} // namespace vask
