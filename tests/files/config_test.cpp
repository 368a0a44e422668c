// The configuration readers against real files in a temp base directory.
// Each case runs the reader in a child process with a deadline of 60 s (a
// reader that blocks or dies fails its case), as nobody (root reads any
// file), without standard input (as daemons run: a file then opens as
// descriptor 0, which must be closed again after); the child compares what
// it got and reports differences.
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "configfile_p.h"
#include "filehelper.h"
#include "testsupport.h"
#include "userkeys_p.h"
#include "utf8repair_p.h"

namespace {

constexpr qint64 kMiB = 1 << 20;
const char *const kBefore = R"({"before":1})"; // gJsonConfig as each case starts

const std::string kPath = "FileHelper::readConfigFile: from path: ";
const std::string kMissing = "FileHelper::readConfigFile: is not exist";
const std::string kUnopenable = "FileHelper::readConfigFile: can't be open in mode ReadOnly";
std::string parseError(int code) { return "FileHelper::readConfigFile: parse faild, error code: " + std::to_string(code); }
QJsonObject json(const QByteArray &text) { return QJsonDocument::fromJson(text).object(); }
std::string compact(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).left(200).toStdString(); }

// What one of the names holds.
struct Entry {
    enum Kind { Absent, Text, Folder, Fifo, DevZero, Sparse, Unreadable } kind = Absent;
    QByteArray bytes; // Text, Sparse, Unreadable: the file's first bytes
    qint64 size = 0;  // Sparse: the file's length, zeros after the bytes
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
        FileHelper::setBaseDirPath(mTemp.path());
        ASSERT_EQ(chmod(QFile::encodeName(mTemp.path()).constData(), 0755), 0); // for nobody
    }
    QString at(const char *name) const { return mTemp.path() + '/' + name; }
    void place(const char *name, const Entry &e)
    {
        const QByteArray path = QFile::encodeName(at(name));
        ASSERT_TRUE(QFile::remove(at(name)) || QDir(mTemp.path()).rmdir(name) || !QFileInfo::exists(at(name)));
        if (e.kind == Entry::Text || e.kind == Entry::Sparse || e.kind == Entry::Unreadable) {
            ASSERT_TRUE(vasktest::writeFile(at(name), e.bytes));
        }
        ASSERT_TRUE(e.kind == Entry::Folder       ? QDir(mTemp.path()).mkdir(name)
                    : e.kind == Entry::Fifo       ? mkfifo(path, 0644) == 0
                    : e.kind == Entry::DevZero    ? symlink("/dev/zero", path) == 0
                    : e.kind == Entry::Sparse     ? truncate(path, e.size) == 0
                    : e.kind == Entry::Unreadable ? chmod(path, 0) == 0
                                                  : true) << name;
    }

    void check(const Case &c, bool distributed)
    {
        SCOPED_TRACE(c.name);
        if (c.mapMiB > 0 && vasktest::kSanitized)
            return; // the sanitizer needs far more address space than that
        ASSERT_NO_FATAL_FAILURE(place(distributed ? "distributed_config.json" : "config.json", c.config));
        ASSERT_NO_FATAL_FAILURE(place("user.json", c.user));
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(60);
            QFile statm("/proc/self/statm");
            const qint64 mapped = statm.open(QIODevice::ReadOnly) ? statm.readLine().split(' ')[0].toLongLong() : 0;
            const rlimit limit = {rlim_t(mapped * sysconf(_SC_PAGESIZE) + c.mapMiB * kMiB), RLIM_INFINITY};
            if ((geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                || (c.mapMiB > 0 && setrlimit(RLIMIT_AS, &limit) != 0))
                _exit(3);
            gJsonConfig = json(kBefore);
            QJsonObject result;
            bool leaked = false;
            rusage before = {}, after = {};
            getrusage(RUSAGE_SELF, &before);
            const std::string printed = vasktest::capture([&] {
                close(STDIN_FILENO);
                result = distributed ? FileHelper::readDistributedConfigFile() : FileHelper::readConfigFile();
                leaked = fcntl(STDIN_FILENO, F_GETFD) != -1; // a file left open
            }).out;
            getrusage(RUSAGE_SELF, &after);
            const long growth = after.ru_maxrss - before.ru_maxrss;
            const bool ok = printed == (distributed ? "" : kPath + at("config.json").toStdString()) + c.printed
                && result == json(c.result) && gJsonConfig == (c.global ? json(c.global) : json(c.result))
                && (c.growthMiB == 0 || growth < c.growthMiB * 1024L) && !leaked;
            if (!ok)
                std::fprintf(stderr, "printed %s\nresult %s, gJsonConfig %s, peak memory grew by %ld KiB%s\n",
                             printed.c_str(), compact(result).c_str(), compact(gJsonConfig).c_str(), growth,
                             leaked ? ", a file left open" : "");
            _exit(ok ? 0 : 1);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0) << "the child found differences (above) or did not end on its own";
    }

    QTemporaryDir mTemp;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Config, Readers)
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
        {"user: malformed", text(user), text(R"({"b":2,})"), "", user},
        {"user: 40 MiB under a present key", text(R"({"big":1})"), text(zeros40MiB), "", R"({"big":1})", nullptr, 16},
        {"user: 3 GB after a NUL", text(user), sparse(R"({"b":2})", 3072 * kMiB), "", user, nullptr, 16},
    };
    for (const Case &c : cases)
        check(c, false);
    // The distributed reader prints nothing and stores only what it parsed.
    const Case distributed[] = {
        {"missing", kAbsent, kAbsent, "", "{}", kBefore},
        {"malformed", text(R"({"d":)"), kAbsent, "", "{}", kBefore},
        {"FIFO", kFifo, kAbsent, "", "{}", kBefore},
        {"/dev/zero", kDevZero, kAbsent, "", "{}", kBefore},
        {"parsed, user.json aside", text(R"({"d":1})"), text(user), "", R"({"d":1})"},
        {"array", text("[1]"), kAbsent, "", "{}"},
    };
    for (const Case &c : distributed)
        check(c, true);
}

// Backslashes become slashes and one slash is ensured at the end, more are
// kept; the messages of two calls run on together, and the second call sees
// the file as edited after the first.
TEST_F(Config, BaseDirectoryFormsAndEditsBetweenCalls)
{
    ASSERT_TRUE(vasktest::writeFile(at("user.json"), R"({"u":1})"));
    const QString forms[] = {QString(mTemp.path()).replace('/', '\\') + '\\', mTemp.path() + "//"};
    int edit = 0;
    const std::string printed = vasktest::capture([&] {
        for (const QString &base : forms) {
            vasktest::writeFile(at("config.json"), "{\"a\":" + QByteArray::number(++edit) + "}");
            FileHelper::setBaseDirPath(base);
            FileHelper::readConfigFile();
        }
    }).out;
    const std::string path = kPath + mTemp.path().toStdString();
    EXPECT_EQ(printed, path + "/config.json" + path + "//config.json");
    EXPECT_EQ(gJsonConfig, json(R"({"a":2,"u":1})"));
}

// Whether "user.json" may add a key to config, looked at in 64 KiB reads.
TEST_F(Config, UserKeyScan)
{
    const struct {
        QByteArray user;
        const char *config;
        bool adds;
    } cases[] = {
        {R"({"b":2})", R"({"u":1})", true},
        {R"({"u":2})", R"({"u":1})", false},
        {" \r\n{\"u\":2,\"b\":3}\t\n", R"({"u":1})", true},
        {R"({"u":{"b":1},"v":[{"c":2}]})", R"({"u":1,"v":1})", false},
        {R"({"u":[1,"]"],"b":{"c":"}"}})", R"({"u":1,"b":1})", false},
        {R"({"\u0075":2})", R"({"u":1})", false},
        {R"({"\u0062":2})", R"({"u":1})", true},
        {R"({"a\"b":2})", R"({"a\"b":1})", false},
        {"\xEF\xBB\xBF{\"b\":2}", R"({"u":1})", true},
        {"{\"" + QByteArray(100, 'k') + "\":1}", R"({"u":1})", true},
        // "bb" across two reads, and a last read of one byte
        {'{' + QByteArray(65533, ' ') + "\"bb\":1" + QByteArray(65532, ' ') + '}', R"({"b":1})", true},
        {R"([{"b":2}])", "{}", false},
        {R"({"b":2)", "{}", false},
        {"", "{}", false},
        {R"({"b":2} x)", "{}", false},
        {"{\"\xff\":1}", "{}", false}, // no key the parser takes
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(vasktest::writeFile(at("user.json"), c.user));
        vask::ConfigFile file(at("user.json"));
        EXPECT_EQ(vask::mayAddKeys(file, json(c.config)), c.adds) << c.user.left(100).constData();
    }
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
            EXPECT_EQ(repair.text(), QString::fromUtf8(input).toUtf8()) << input.toHex().constData() << " by " << piece;
        }
    }
    vask::Utf8Repair small(4, 8);
    EXPECT_TRUE(small.add("12345678", 8));
    EXPECT_FALSE(small.add("9\xff", 2) && small.finish());
}

} // namespace
