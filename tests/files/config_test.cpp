// The configuration readers against real files in a temp base directory.
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "filehelper.h"
#include "testsupport.h"

namespace {

using vasktest::captureStdout;

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

class Config : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mTemp.isValid());
        mBase = mTemp.path();
        FileHelper::setBaseDirPath(mBase);
        gJsonConfig = QJsonObject();
    }
    void put(const char *name, const QByteArray &bytes)
    {
        ASSERT_TRUE(vasktest::writeFile(mBase + QLatin1Char('/') + QLatin1String(name), bytes));
    }
    // Runs the main reader; returns what it printed and stores its result.
    std::string read()
    {
        return captureStdout([this] { mResult = FileHelper::readConfigFile(); });
    }
    std::string pathMessage() const
    {
        return "FileHelper::readConfigFile: from path: " + mBase.toStdString() + "/config.json";
    }

    QTemporaryDir mTemp;
    QString mBase;
    QJsonObject mResult;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Config, MergeKeepsConfigValuesAndAddsOnlyMissingUserKeys)
{
    put("config.json", R"({"a":1,"b":2,"n":{"x":1}})");
    put("user.json", R"({"b":3,"c":4,"n":{"y":2}})");
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult, json(R"({"a":1,"b":2,"c":4,"n":{"x":1}})"));
    EXPECT_EQ(gJsonConfig, mResult);
}

TEST_F(Config, UnusableUserFileIsIgnoredSilently)
{
    put("config.json", R"({"a":1})");
    for (const QByteArray &user : {QByteArray(R"([{"b":2}])"), QByteArray(R"({"b":)"), QByteArray("")}) {
        put("user.json", user);
        EXPECT_EQ(read(), pathMessage()) << user.constData();
        EXPECT_EQ(mResult, json(R"({"a":1})")) << user.constData();
    }
    QDir(mBase).remove(QStringLiteral("user.json"));
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult, json(R"({"a":1})"));
}

TEST_F(Config, FailurePathsPrintOnOneLineAndKeepUserKeys)
{
    EXPECT_EQ(read(), pathMessage() + "FileHelper::readConfigFile: is not exist");
    EXPECT_TRUE(mResult.isEmpty());

    put("user.json", R"({"u":1})");
    EXPECT_EQ(read(), pathMessage() + "FileHelper::readConfigFile: is not exist");
    EXPECT_EQ(mResult, json(R"({"u":1})"));

    put("config.json", "{");
    const std::string printed = read();
    const std::string prefix = pathMessage() + "FileHelper::readConfigFile: parse faild, error code: ";
    ASSERT_EQ(printed.compare(0, prefix.size(), prefix), 0) << printed;
    EXPECT_GT(std::stoi(printed.substr(prefix.size())), 0);
    EXPECT_EQ(mResult, json(R"({"u":1})"));

    // An array is no failure: no message, and the user keys remain.
    put("config.json", "[1,2]");
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult, json(R"({"u":1})"));

    // Two calls run on together as well.
    QDir(mBase).remove(QStringLiteral("config.json"));
    const std::string twice = captureStdout([] {
        FileHelper::readConfigFile();
        FileHelper::readConfigFile();
    });
    const std::string once = pathMessage() + "FileHelper::readConfigFile: is not exist";
    EXPECT_EQ(twice, once + once);
}

TEST_F(Config, AFolderNamedConfigJsonCannotBeOpened)
{
    ASSERT_TRUE(QDir(mBase).mkdir(QStringLiteral("config.json")));
    put("user.json", R"({"u":1})");
    EXPECT_EQ(read(), pathMessage() + "FileHelper::readConfigFile: can't be open in mode ReadOnly");
    EXPECT_EQ(gJsonConfig, json(R"({"u":1})"));
}

TEST_F(Config, UnreadableFileCannotBeOpened)
{
    // Root reads any file, so the reader runs in a child that gave up root.
    put("config.json", R"({"a":1})");
    ASSERT_EQ(chmod(QFile::encodeName(mBase + QStringLiteral("/config.json")).constData(), 0), 0);
    ASSERT_EQ(chmod(QFile::encodeName(mBase).constData(), 0755), 0);
    const std::string expected = pathMessage() + "FileHelper::readConfigFile: can't be open in mode ReadOnly";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        const std::string printed = captureStdout([] { FileHelper::readConfigFile(); });
        _exit(printed == expected && gJsonConfig.isEmpty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Config, EverythingAfterANulByteIsIgnored)
{
    put("config.json", QByteArray("{\"a\":1}\0{garbage", 16));
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult, json(R"({"a":1})"));
    // A NUL inside the object cuts it short: a parse error.
    put("config.json", QByteArray("{\"a\":\0 1}", 9));
    EXPECT_NE(read(), pathMessage());
}

TEST_F(Config, MalformedUtf8IsRepairedInConfigButRejectsUserJson)
{
    put("config.json", "{\"s\":\"a\xff" "b\"}");
    put("user.json", "{\"t\":\"a\xff" "b\",\"u\":1}");
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult.value(QStringLiteral("s")).toString(), QString::fromUtf8("a\xef\xbf\xbd" "b"));
    EXPECT_FALSE(mResult.contains(QStringLiteral("t")));
    EXPECT_FALSE(mResult.contains(QStringLiteral("u")));
}

TEST_F(Config, BaseDirectoryFormsLeadToTheSameFiles)
{
    put("config.json", R"({"a":1})");
    put("user.json", R"({"u":1})");
    QString backslashed = mBase;
    backslashed.replace(QLatin1Char('/'), QLatin1Char('\\'));
    FileHelper::setBaseDirPath(backslashed + QLatin1Char('\\'));
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult, json(R"({"a":1,"u":1})"));

    // Two trailing slashes stay in the config path; user.json still merges.
    FileHelper::setBaseDirPath(mBase + QStringLiteral("//"));
    EXPECT_EQ(read(), "FileHelper::readConfigFile: from path: " + mBase.toStdString() + "//config.json");
    EXPECT_EQ(mResult, json(R"({"a":1,"u":1})"));
}

TEST_F(Config, EditsBetweenCallsArePickedUp)
{
    put("config.json", R"({"a":1})");
    read();
    put("config.json", R"({"a":2})");
    read();
    EXPECT_EQ(mResult, json(R"({"a":2})"));
    EXPECT_EQ(gJsonConfig, json(R"({"a":2})"));
}

TEST_F(Config, DistributedReaderReplacesOnSuccessOnly)
{
    put("config.json", R"({"a":1})");
    put("user.json", R"({"u":1})");
    read();
    const QJsonObject before = gJsonConfig;

    QJsonObject result;
    EXPECT_EQ(captureStdout([&] { result = FileHelper::readDistributedConfigFile(); }), "");
    EXPECT_TRUE(result.isEmpty());
    EXPECT_EQ(gJsonConfig, before);

    put("distributed_config.json", R"({"d":)");
    EXPECT_EQ(captureStdout([&] { result = FileHelper::readDistributedConfigFile(); }), "");
    EXPECT_TRUE(result.isEmpty());
    EXPECT_EQ(gJsonConfig, before);

    put("distributed_config.json", R"({"d":1})");
    EXPECT_EQ(captureStdout([&] { result = FileHelper::readDistributedConfigFile(); }), "");
    EXPECT_EQ(result, json(R"({"d":1})"));
    EXPECT_EQ(gJsonConfig, json(R"({"d":1})"));

    // An array parses: the empty object replaces the configuration.
    put("distributed_config.json", "[1]");
    result = FileHelper::readDistributedConfigFile();
    EXPECT_TRUE(result.isEmpty());
    EXPECT_TRUE(gJsonConfig.isEmpty());
}

// Oversized and hostile input costs nothing but the documented outcome.
TEST_F(Config, LargeAndDeepDocuments)
{
    QByteArray big = "{\"big\":\"";
    big.append(QByteArray(50 * 1024 * 1024, 'x'));
    big.append("\"}");
    put("config.json", big);
    EXPECT_EQ(read(), pathMessage());
    EXPECT_EQ(mResult.value(QStringLiteral("big")).toString().size(), 50 * 1024 * 1024);

    put("user.json", R"({"u":1})");
    put("config.json", QByteArray(100000, '[') + QByteArray(100000, ']'));
    const std::string printed = read();
    EXPECT_NE(printed.find("parse faild, error code: "), std::string::npos) << printed.substr(0, 200);
    EXPECT_EQ(gJsonConfig, json(R"({"u":1})"));
}

} // namespace
