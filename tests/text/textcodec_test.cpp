// TextCodecHelper::localToUtf8 under locale codecs set for each case: the
// argument's UTF-8 bytes read in the locale's encoding, cut at the first NUL.
#include "textcodechelper.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QTextCodec>

namespace {

TEST(LocalToUtf8, ReadsTheUtf8BytesInTheLocaleEncoding)
{
    const QString all = QStringLiteral("UTF-8 GBK ISO-8859-1"), chinese = QStringLiteral("\u4E2D\u6587");
    const QString cases[][3] = {
        // the locale codecs, the text, what comes back
        {all, QStringLiteral("Lane 3"), QStringLiteral("Lane 3")},
        {all, QString(), QString()},
        {all, QStringLiteral("before\0after\0end"), QStringLiteral("before")},
        {all, QChar(0) + chinese, QString()},
        {QStringLiteral("UTF-8"), chinese, chinese},
        {QStringLiteral("UTF-8"), QStringLiteral("road \u8DEF\u7F51 \u00E9t\u00E9 \U0001F697"),
         QStringLiteral("road \u8DEF\u7F51 \u00E9t\u00E9 \U0001F697")}, // with a surrogate pair
        {QStringLiteral("GBK"), chinese, QStringLiteral("\u6D93\uE15F\u6783")}, // E4B8 ADE6 9687; ADE6 is user-defined
        {QStringLiteral("ISO-8859-1"), chinese, QStringLiteral("\xE4\xB8\xAD\xE6\x96\x87")},
        {QStringLiteral("ISO-8859-1"), QStringLiteral("\u00E9"), QStringLiteral("\xC3\xA9")},
    };
    for (const auto &c : cases)
        for (const QString &codec : c[0].split(QLatin1Char(' '))) {
            QTextCodec *locale = QTextCodec::codecForName(codec.toLatin1());
            ASSERT_NE(locale, nullptr) << qPrintable(codec);
            QTextCodec::setCodecForLocale(locale);
            EXPECT_EQ(TextCodecHelper().localToUtf8(c[1]), c[2]) << qPrintable(codec) << ' ' << qPrintable(c[1]);
        }
    QTextCodec::setCodecForLocale(nullptr);
}

} // namespace
