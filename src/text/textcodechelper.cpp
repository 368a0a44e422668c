#include "textcodechelper.h"

#include <QByteArray>
#include <QTextCodec>

TextCodecHelper &TextCodecHelper::operator=(const TextCodecHelper &)
{
    return *this;
}

TextCodecHelper &TextCodecHelper::operator=(TextCodecHelper &&)
{
    return *this;
}

QString TextCodecHelper::localToUtf8(QString text)
{
    QTextCodec *locale = QTextCodec::codecForLocale();
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    const QByteArray bytes = text.toUtf8();
    const QString local = locale->toUnicode(bytes);
    const QByteArray encoded = utf8->fromUnicode(local);
    // What QString's QByteArray constructor does in Qt 5 (the library is
    // built without that implicit conversion): UTF-8 up to the first zero byte.
    return QString::fromUtf8(encoded.constData(), int(qstrnlen(encoded.constData(), uint(encoded.size()))));
}
