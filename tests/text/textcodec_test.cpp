// TextCodecHelper::localToUtf8 under locale codecs that each test sets.
#include "textcodechelper.h"

#include <gtest/gtest.h>

#include <QString>
#include <QTextCodec>

#include <vector>

namespace {

// Makes a codec the locale's for one test and gives back the system's.
class LocaleCodec
{
public:
    explicit LocaleCodec(const char *name) : mCodec(QTextCodec::codecForName(name))
    {
        QTextCodec::setCodecForLocale(mCodec);
    }
    ~LocaleCodec() { QTextCodec::setCodecForLocale(nullptr); }
    LocaleCodec(const LocaleCodec &) = delete;
    LocaleCodec &operator=(const LocaleCodec &) = delete;
    bool found() const { return mCodec != nullptr; }

private:
    QTextCodec *mCodec;
};

std::vector<unsigned> units(const QString &s)
{
    std::vector<unsigned> out;
    for (QChar c : s)
        out.push_back(c.unicode());
    return out;
}

const QString kChinese = QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87"); // 中文

TEST(LocalToUtf8, UnderUtf8TextComesBackUnchanged)
{
    LocaleCodec codec("UTF-8");
    ASSERT_TRUE(codec.found());
    TextCodecHelper helper;
    const QString mixed = QString::fromUtf8("road \xe8\xb7\xaf\xe7\xbd\x91 \xc3\xa9t\xc3\xa9 \xf0\x9f\x9a\x97");
    EXPECT_EQ(helper.localToUtf8(kChinese), kChinese);
    EXPECT_EQ(helper.localToUtf8(mixed), mixed); // includes a surrogate pair
    EXPECT_EQ(helper.localToUtf8(QStringLiteral("plain ascii")), QStringLiteral("plain ascii"));
}

TEST(LocalToUtf8, UnderGbkUtf8BytesAreReadAsGbk)
{
    LocaleCodec codec("GBK");
    ASSERT_TRUE(codec.found());
    TextCodecHelper helper;
    // E4 B8 | AD E6 | 96 87: the middle pair is in GBK's user-defined area.
    EXPECT_EQ(units(helper.localToUtf8(kChinese)), (std::vector<unsigned>{0x6D93, 0xE15F, 0x6783}));
    EXPECT_EQ(helper.localToUtf8(QStringLiteral("Lane 3")), QStringLiteral("Lane 3"));
}

TEST(LocalToUtf8, UnderLatin1EveryByteBecomesOneCharacter)
{
    LocaleCodec codec("ISO-8859-1");
    ASSERT_TRUE(codec.found());
    TextCodecHelper helper;
    EXPECT_EQ(units(helper.localToUtf8(kChinese)), (std::vector<unsigned>{0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87}));
    // é is C3 A9 in UTF-8.
    EXPECT_EQ(units(helper.localToUtf8(QString::fromUtf8("\xc3\xa9"))), (std::vector<unsigned>{0xC3, 0xA9}));
    EXPECT_EQ(helper.localToUtf8(QStringLiteral("Lane 3")), QStringLiteral("Lane 3"));
}

TEST(LocalToUtf8, StopsAtTheFirstNulAndKeepsEmptyTextEmpty)
{
    for (const char *name : {"UTF-8", "ISO-8859-1", "GBK"}) {
        SCOPED_TRACE(name);
        LocaleCodec codec(name);
        ASSERT_TRUE(codec.found());
        TextCodecHelper helper;
        QString withNul = QStringLiteral("before");
        withNul.append(QChar(0)).append(QStringLiteral("after")).append(QChar(0)).append(QStringLiteral("end"));
        ASSERT_EQ(withNul.size(), 16);
        EXPECT_EQ(helper.localToUtf8(withNul), QStringLiteral("before"));
        EXPECT_EQ(helper.localToUtf8(QString(QChar(0)) + kChinese), QString());

        const QString empty = helper.localToUtf8(QString());
        EXPECT_TRUE(empty.isEmpty());
        EXPECT_TRUE(helper.localToUtf8(QStringLiteral("")).isEmpty());
    }
}

} // namespace
