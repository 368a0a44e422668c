#ifndef VASKSUPPORT_TEXT_TEXTCODECHELPER_H
#define VASKSUPPORT_TEXT_TEXTCODECHELPER_H

#include "vasksupport_global.h"

#include <QString>

// Repairs text whose bytes are in the system locale's 8-bit encoding but
// were taken for UTF-8 on the way into a QString.
class VASKSUPPORT_EXPORT TextCodecHelper
{
public:
    TextCodecHelper() = default;
    TextCodecHelper(const TextCodecHelper &) = default;
    TextCodecHelper(TextCodecHelper &&) = default;
    // Holds nothing, so assigning copies nothing.
    TextCodecHelper &operator=(const TextCodecHelper &);
    TextCodecHelper &operator=(TextCodecHelper &&);

    // The locale codec's reading of text's UTF-8 bytes, cut at its first
    // U+0000. With a UTF-8 locale, text without U+0000 comes back unchanged.
    QString localToUtf8(QString text);
};

#endif // VASKSUPPORT_TEXT_TEXTCODECHELPER_H
