// The configuration readers against real files in a temp base directory.
// Each case runs the reader in a child process that gives up root (root
// reads any file) and is killed after 60 s, so a reader that blocks or dies
// fails its case, and the child's peak memory can be measured.
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "filehelper.h"
#include "testsupport.h"
#include "utf8repair_p.h"

namespace {

using vasktest::captureStdout;

constexpr qint64 kMiB = 1 << 20;
const char *const kBefore = R"({"before":1})"; // gJsonConfig as each case starts

QJsonObject json(const QByteArray &text) { return QJsonDocument::fromJson(text).object(); }

// What one of the names holds.
struct Entry {
    enum Kind { Absent, Text, Folder, Fifo, DevZero, Sparse, Unreadable } kind = Absent;
    QByteArray bytes; // Sparse: what comes before the zeros
    qint64 size = 0;  // Sparse: the file's length
};
Entry text(const QByteArray &bytes) { return {Entry::Text, bytes, 0}; }
Entry sparse(const QByteArray &start, qint64 size) { return {Entry::Sparse, start, size}; }
const Entry kAbsent, kFolder{Entry::Folder, {}, 0}, kFifo{Entry::Fifo, {}, 0}, kDevZero{Entry::DevZero, {}, 0};

struct Case {
    const char *name;
    Entry config; // "config.json", or "distributed_config.json" for that reader
    Entry user;
    std::string printed; // after the path message
    QByteArray result;
    const char *global = nullptr; // gJsonConfig afterwards, when not the result
    int growthMiB = 0;            // when set, the peak memory grows less than this
    qint64 mapMiB = 0;            // when set, the child may map only this much more
};

class Config : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mTemp.isValid());
        mBase = mTemp.path();
        FileHelper::setBaseDirPath(mBase);
        // The child, no longer root, writes its report here.
        ASSERT_EQ(chmod(QFile::encodeName(mBase).constData(), 0777), 0);
    }
    QString at(const char *name) const { return mBase + QLatin1Char('/') + QLatin1String(name); }
    void put(const char *name, const QByteArray &bytes) { ASSERT_TRUE(vasktest::writeFile(at(name), bytes)); }
    void place(const char *name, const Entry &e)
    {
        const QByteArray path = QFile::encodeName(at(name));
        QFile::remove(at(name));
        QDir(mBase).rmdir(QLatin1String(name));
        if (e.kind == Entry::Text || e.kind == Entry::Sparse || e.kind == Entry::Unreadable)
            put(name, e.bytes);
        const bool ok = e.kind == Entry::Folder ? QDir(mBase).mkdir(QLatin1String(name))
                        : e.kind == Entry::Fifo    ? mkfifo(path.constData(), 0644) == 0
                        : e.kind == Entry::DevZero ? symlink("/dev/zero", path.constData()) == 0
                        : e.kind == Entry::Sparse  ? truncate(path.constData(), e.size) == 0
                        : e.kind == Entry::Unreadable ? chmod(path.constData(), 0) == 0 : true;
        ASSERT_TRUE(ok) << name;
    }

    // Runs one case's reader in the child, which writes a report: its peak
    // memory's growth, the result, gJsonConfig and what it printed.
    void check(const Case &c, bool distributed)
    {
        SCOPED_TRACE(c.name);
#if defined(__SANITIZE_ADDRESS__)
        if (c.mapMiB > 0)
            return; // the sanitizer needs far more address space than that
#endif
        ASSERT_NO_FATAL_FAILURE(place(distributed ? "distributed_config.json" : "config.json", c.config));
        ASSERT_NO_FATAL_FAILURE(place("user.json", c.user));
        QFile::remove(at("report"));
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(60);
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(3);
            QFile statm(QStringLiteral("/proc/self/statm"));
            const qint64 mapped = statm.open(QIODevice::ReadOnly) ? statm.readLine().split(' ')[0].toLongLong() : 0;
            const rlimit limit = {rlim_t(mapped * sysconf(_SC_PAGESIZE) + c.mapMiB * kMiB), RLIM_INFINITY};
            if (c.mapMiB > 0 && setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(4);
            gJsonConfig = json(kBefore);
            QJsonObject result;
            rusage before = {}, after = {};
            getrusage(RUSAGE_SELF, &before);
            const std::string printed = captureStdout([&] {
                result = distributed ? FileHelper::readDistributedConfigFile() : FileHelper::readConfigFile();
            });
            getrusage(RUSAGE_SELF, &after);
            const bool written = vasktest::writeFile(at("report"),
                QByteArray::number(qlonglong(after.ru_maxrss - before.ru_maxrss)) + '\n'
                + QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n'
                + QJsonDocument(gJsonConfig).toJson(QJsonDocument::Compact) + '\n' + printed.c_str());
            _exit(written ? 0 : 5);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        ASSERT_EQ(status, 0) << "the child did not end on its own";
        QFile file(at("report"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray growth = file.readLine(), result = file.readLine(), global = file.readLine();
        const std::string path = "FileHelper::readConfigFile: from path: " + mBase.toStdString() + "/config.json";
        EXPECT_EQ(file.readAll().toStdString(), distributed ? c.printed : path + c.printed);
        EXPECT_EQ(json(result), json(c.result));
        EXPECT_EQ(json(global), c.global ? json(c.global) : json(c.result));
        if (c.growthMiB > 0) {
            EXPECT_LT(growth.trimmed().toLong(), c.growthMiB * 1024L);
        }
    }

    QTemporaryDir mTemp;
    QString mBase;
    vasktest::BaseDirGuard mGuard;
};

const std::string kMissing = "FileHelper::readConfigFile: is not exist";
const std::string kUnopenable = "FileHelper::readConfigFile: can't be open in mode ReadOnly";
std::string parseError(int code) { return "FileHelper::readConfigFile: parse faild, error code: " + std::to_string(code); }

TEST_F(Config, MainReaderCases)
{
    const QByteArray user = R"({"u":1})";
    const QByteArray zeros40MiB = "{\"big\":[" + QByteArray(20 * kMiB, '0').replace("0", "0,").chopped(1) + "]}";
    const QByteArray big50MiB = "{\"big\":\"" + QByteArray(50 * kMiB, 'x') + "\"}";
    const Case cases[] = {
        {"nothing there", kAbsent, kAbsent, kMissing, "{}"},
        {"user.json alone", kAbsent, text(user), kMissing, user},
        {"merge", text(R"({"a":1,"b":2,"n":{"x":1}})"), text(R"({"b":3,"c":4,"n":{"y":2}})"), "",
         R"({"a":1,"b":2,"c":4,"n":{"x":1}})"},
        {"parse error", text("{"), text(user), parseError(1), user},
        {"array", text("[1,2]"), text(user), "", user},
        {"100000 levels", text(QByteArray(100000, '[') + QByteArray(100000, ']')), text(user), parseError(12), user},
        {"50 MiB string", text(big50MiB), kAbsent, "", big50MiB},
        {"after a NUL", text(QByteArray("{\"a\":1}\0{garbage", 16)), kAbsent, "", R"({"a":1})"},
        {"NUL inside", text(QByteArray("{\"a\":\0 1}", 9)), kAbsent, parseError(1), "{}"},
        {"malformed UTF-8", text("{\"s\":\"a\xff" "b\"}"), text("{\"t\":\"a\xff" "b\",\"u\":1}"), "",
         "{\"s\":\"a\xef\xbf\xbd" "b\"}"},
        {"folder", kFolder, text(user), kUnopenable, user},
        {"FIFO", kFifo, text(user), kUnopenable, user},
        {"/dev/zero", kDevZero, text(user), kUnopenable, user},
        {"unreadable", {Entry::Unreadable, user, 0}, kAbsent, kUnopenable, "{}"},
        {"1.2 GB after a NUL", sparse(R"({"a":1})", 1200 * kMiB), kAbsent, "", R"({"a":1})", nullptr, 64},
        {"3 GB after a NUL", sparse(R"({"a":1})", 3072 * kMiB), kAbsent, "", R"({"a":1})", nullptr, 64},
        {"only NULs", sparse("", 1200 * kMiB), text(user), parseError(5), user, nullptr, 64},
        {"no memory to parse", text(zeros40MiB), text(user), parseError(13), user, nullptr, 0, 256},
        // "user.json" only adds keys, and is ignored whole when unusable.
        {"user: folder", text(user), kFolder, "", user},
        {"user: FIFO", text(user), kFifo, "", user},
        {"user: /dev/zero", text(user), kDevZero, "", user},
        {"user: array", text(user), text(R"([{"b":2}])"), "", user},
        {"user: malformed", text(user), text(R"({"b":)"), "", user},
        {"user: empty", text(user), text(""), "", user},
        {"user: garbage after", text(user), text(R"({"b":2} x)"), "", user},
        {"user: escaped keys", text(user), text(R"({"\u0075":2,"\u0062":2})"), "", R"({"u":1,"b":2})"},
        {"user: byte-order mark", text(user), text("\xEF\xBB\xBF{\"b\":2}"), "", R"({"u":1,"b":2})"},
        {"user: brackets in strings, duplicates", text(user), text(R"({"b":1,"u":[1,"]"],"b":{"c":"}"}})"), "",
         R"({"u":1,"b":{"c":"}"}})"},
        {"user: 40 MiB under a present key", text(R"({"big":1})"), text(zeros40MiB), "", R"({"big":1})", nullptr, 16},
        {"user: 3 GB after a NUL", text(user), sparse(R"({"b":2})", 3072 * kMiB), "", user, nullptr, 16},
    };
    for (const Case &c : cases)
        check(c, false);
}

// It prints nothing, and stores only what it parsed.
TEST_F(Config, DistributedReaderCases)
{
    const Case cases[] = {
        {"missing", kAbsent, kAbsent, "", "{}", kBefore},
        {"malformed", text(R"({"d":)"), kAbsent, "", "{}", kBefore},
        {"FIFO", kFifo, kAbsent, "", "{}", kBefore},
        {"/dev/zero", kDevZero, kAbsent, "", "{}", kBefore},
        {"parsed, user.json aside", text(R"({"d":1})"), text(R"({"u":1})"), "", R"({"d":1})"},
        {"array", text("[1]"), kAbsent, "", "{}"},
    };
    for (const Case &c : cases)
        check(c, true);
}

TEST_F(Config, BaseDirectoryFormsAndEditsBetweenCalls)
{
    put("config.json", R"({"a":1})");
    put("user.json", R"({"u":1})");
    const std::string path = "FileHelper::readConfigFile: from path: " + mBase.toStdString();
    QString backslashed = mBase;
    FileHelper::setBaseDirPath(backslashed.replace(QLatin1Char('/'), QLatin1Char('\\')) + QLatin1Char('\\'));
    EXPECT_EQ(captureStdout([] { FileHelper::readConfigFile(); }), path + "/config.json");
    EXPECT_EQ(gJsonConfig, json(R"({"a":1,"u":1})"));

    // Two trailing slashes stay in the config path, user.json still merges,
    // two calls run on together on one line and see the edit between them.
    FileHelper::setBaseDirPath(mBase + QStringLiteral("//"));
    EXPECT_EQ(captureStdout([this] {
                  FileHelper::readConfigFile();
                  put("config.json", R"({"a":2})");
                  FileHelper::readConfigFile();
              }),
              path + "//config.json" + path + "//config.json");
    EXPECT_EQ(gJsonConfig, json(R"({"a":2,"u":1})"));
}

// Decoding in pieces gives what decoding the whole gives, wherever the
// pieces fall, and refuses a text past the limit.
TEST(Utf8Repair, PiecesMatchTheWhole)
{
    for (const QByteArray input : {"\xEF\xBB\xBF{\"a\":\"\xEF\xBB\xBF\"}", "ab\xE2\x82", "a\xE2\x82" "cd\xC0\xAF" "ef",
                                   "x\xED\xA0\x80yz\xF0\x9F\x98\x80" "12", "\xff\xfe" "ab\xEF\xBF\xBE" "cd\x80"}) {
        for (int piece = 1; piece <= 6; ++piece) {
            vask::Utf8Repair repair(piece);
            for (const char c : input)
                ASSERT_TRUE(repair.add(&c, 1));
            ASSERT_TRUE(repair.finish());
            EXPECT_EQ(repair.text(), QString::fromUtf8(input.constData(), input.size()).toUtf8())
                << input.toHex().constData() << " in pieces of " << piece;
        }
    }
    vask::Utf8Repair small(4, 8);
    EXPECT_TRUE(small.add("12345678", 8));
    EXPECT_FALSE(small.add("9\xff", 2) && small.finish());
}

} // namespace
