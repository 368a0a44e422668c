// TextCodecHelper::localToUtf8 under locale codecs set for each case: the
// argument's UTF-8 bytes read in the locale's encoding, cut at the first NUL.
#include "textcodechelper.h"

#include <gtest/gtest.h>

#include <QTextCodec>

namespace {

QString units(std::initializer_list<ushort> codes)
{
    QString out;
    for (const ushort c : codes)
        out.append(QChar(c));
    return out;
}

TEST(LocalToUtf8, ReadsTheUtf8BytesInTheLocaleEncoding)
{
    const QString chinese = QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87"); // E4 B8 AD E6 96 87
    const QString mixed = QString::fromUtf8("road \xe8\xb7\xaf\xe7\xbd\x91 \xc3\xa9t\xc3\xa9 \xf0\x9f\x9a\x97");
    const QString nulInside =
        QStringLiteral("before") + QChar(0) + QStringLiteral("after") + QChar(0) + QStringLiteral("end");
    const struct {
        const char *codec;
        QString text, want;
    } cases[] = {
        {"UTF-8", chinese, chinese},
        {"UTF-8", mixed, mixed}, // with a surrogate pair
        {"GBK", chinese, units({0x6D93, 0xE15F, 0x6783})}, // AD E6 lies in GBK's user-defined area
        {"ISO-8859-1", chinese, units({0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87})},
        {"ISO-8859-1", QString::fromUtf8("\xc3\xa9"), units({0xC3, 0xA9})},
    };
    for (const auto &c : cases) {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(c.codec));
        EXPECT_EQ(TextCodecHelper().localToUtf8(c.text), c.want) << c.codec;
    }
    for (const char *codec : {"UTF-8", "GBK", "ISO-8859-1"}) {
        ASSERT_NE(QTextCodec::codecForName(codec), nullptr) << codec;
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(codec));
        TextCodecHelper helper;
        EXPECT_EQ(helper.localToUtf8(QStringLiteral("Lane 3")), QStringLiteral("Lane 3")) << codec;
        EXPECT_EQ(helper.localToUtf8(nulInside), QStringLiteral("before")) << codec;
        EXPECT_EQ(helper.localToUtf8(QChar(0) + chinese), QString()) << codec;
        EXPECT_TRUE(helper.localToUtf8(QString()).isEmpty() && helper.localToUtf8(QStringLiteral("")).isEmpty());
    }
    QTextCodec::setCodecForLocale(nullptr);
}

} // namespace
