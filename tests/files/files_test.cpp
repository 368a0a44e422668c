// The folder accessors and the configuration readers on a real temp base
// directory, one table of cases each over one harness.
#include <QCoreApplication>
#include <QDirIterator>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#if defined(_WIN32)
#include <QProcess>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "configfile_p.h"
#include "filehelper.h"
#include "testsupport.h"
#include "userkeys_p.h"
#include "utf8repair_p.h"

namespace {

// ---- Folders: a base ("" leaves it unset), entries laid out first (folders
// end in "/"), an accessor called twice; then the result, the tree and the
// log entry of each call. In paths "%" is the temp folder and "@" the
// executable's; a tree lists every entry below the temp folder, sorted,
// folders with a trailing "/". "~" is the temp folder in native separators.
using Root = const QString &; // the temp folder, for calls given a root
using Call = QString (*)(Root);

// Each accessor creates its levels, and refuses while the base is unset.
const std::tuple<Call, const char *, const char *> kAccessors[] = {
    {[](Root) { return FileHelper::dataDir(); }, "Data", "dataDir()"},
    {[](Root) { return FileHelper::logDir(""); }, "Log", "logDir()"},
    {[](Root) { return FileHelper::logDir("n"); }, "Log/n", "logDir()"},
    {[](Root) { return FileHelper::backupDir(); }, "Backup", "backupDir()"},
    {[](Root) { return FileHelper::tempDir(); }, "Temp", "tempDir()"},
    {[](Root) { return FileHelper::docDir(); }, "Doc", "docDir()"},
    {[](Root) { return FileHelper::chartDir(); }, "Chart", "chartDir()"},
    {[](Root) { return FileHelper::models3dDir(); }, "Models3d", "models3dDir()"},
    {[](Root) { return FileHelper::snapshotDir(); }, "Snapshot", "snapshotDir()"},
    {[](Root) { return FileHelper::roadStructureDir("L", "G"); }, "RoadStructure/G/L", "roadStructureDir(...)"},
    {[](Root) { return FileHelper::simuReusltDir("L", "G", ""); }, "SimuResult/G/L", "simuReusltDir(...)"},
    {[](Root) { return FileHelper::snapshotDir("L", "G", ""); }, "Snapshot/G/L", "snapshotDir(...)"},
};

// Base, entries before, call, result, tree after.
const std::tuple<const char *, const char *, Call, const char *, const char *> kFolders[] = {
    // The base is used verbatim: separators double, nothing is cleaned.
    {"%/", "", [](Root) { return FileHelper::chartDir(); }, "%//Chart", "Chart/"},
#if defined(_WIN32)
    // Backslashes and a drive letter, with and without a separator at the end.
    {"~", "", [](Root) { return FileHelper::dataDir(); }, "~/Data", "Data/"},
    {"~\\", "", [](Root) { return FileHelper::tempDir(); }, "~\\/Temp", "Temp/"},
    {"~", "", [](Root) { return FileHelper::roadStructureDir("L", "G"); }, "~/RoadStructure/G/L",
     "RoadStructure/ RoadStructure/G/ RoadStructure/G/L/"},
#endif
    // A regular file under a standard folder's name counts as the folder.
    {"%", "Doc", [](Root) { return FileHelper::docDir(); }, "%/Doc", "Doc"},
    {"", "", [](Root) { return FileHelper::appDir(); }, "@", ""},
    // A missing base or root is never created, nor anything below it.
    {"%/absent", "", [](Root) { return FileHelper::logDir("n"); }, "%/absent/Log/n", ""},
    {"%", "", [](Root t) { return FileHelper::simuReusltDir("L", "G", t + "/absent"); }, "%/absent/SimuResult/G/L", ""},
    // A regular file in the way stays; the levels below it fail, silently.
    {"%", "SimuResult", [](Root) { return FileHelper::simuReusltDir("L", "G", ""); }, "%/SimuResult/G/L", "SimuResult"},
    // One level at a time: a name of two levels needs its first one.
    {"%", "Log/", [](Root) { return FileHelper::logDir("n"); }, "%/Log/n", "Log/ Log/n/"},
    {"%", "", [](Root) { return FileHelper::logDir("a/b"); }, "%/Log/a/b", "Log/"},
    // Empty names collapse a level.
    {"%", "", [](Root) { return FileHelper::snapshotDir("L", "", ""); }, "%/Snapshot//L", "Snapshot/ Snapshot/L/"},
    {"%", "", [](Root) { return FileHelper::simuReusltDir("", "G", ""); }, "%/SimuResult/G/",
     "SimuResult/ SimuResult/G/"},
    // A root given to the call replaces the base, set or not, for that call.
    {"", "", [](Root t) { return FileHelper::snapshotDir("L", "G", t); }, "%/Snapshot/G/L",
     "Snapshot/ Snapshot/G/ Snapshot/G/L/"},
    {"%/o", "o/", [](Root t) { return FileHelper::simuReusltDir("L", "G", t); }, "%/SimuResult/G/L",
     "SimuResult/ SimuResult/G/ SimuResult/G/L/ o/"},
};

// ---- Configuration: the files laid out, then a reader run in a child.

constexpr qint64 kMiB = 1 << 20;
const char *const kBefore = R"({"before":1})"; // gJsonConfig as each case starts
const std::string kMissing = "FileHelper::readConfigFile: is not exist";
const std::string kUnopenable = "FileHelper::readConfigFile: can't be open in mode ReadOnly";
const std::string kParseError = "FileHelper::readConfigFile: parse faild, error code: ";
QJsonObject json(const QByteArray &text) { return QJsonDocument::fromJson(text).object(); }

// Lays out one name: what it holds or what it is.
using Entry = std::function<bool(const QString &path)>;
// A file of bytes, then zeros (sparse) up to size when that is longer.
Entry text(const QByteArray &bytes, qint64 size = 0)
{
    return [=](const QString &p) {
        const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        return vasktest::writeFile(p, bytes) && (size == 0 || QFile::resize(p, size)) && QFile::setPermissions(p, readable);
    };
}
const Entry kAbsent = [](const QString &) { return true; };
const Entry kFolder = [](const QString &p) { return QDir().mkdir(p); };
#if defined(_WIN32)
// A file another process holds open without sharing, until the case ends.
std::unique_ptr<QProcess> gHolder;
Entry held(const QByteArray &bytes)
{
    return [=](const QString &p) {
        gHolder = std::make_unique<QProcess>();
        gHolder->start(QCoreApplication::applicationDirPath() + "/wintest.exe", {"hold", p});
        return text(bytes)(p) && gHolder->waitForReadyRead(60000) && gHolder->readAll().startsWith("held");
    };
}
#else
Entry unreadable(const QByteArray &bytes)
{
    return [=](const QString &p) { return text(bytes)(p) && chmod(QFile::encodeName(p), 0) == 0; };
}
const Entry kFifo = [](const QString &p) { return mkfifo(QFile::encodeName(p), 0644) == 0; };
const Entry kDevZero = [](const QString &p) { return symlink("/dev/zero", QFile::encodeName(p)) == 0; };
#endif

struct Config {
    const char *name;
    Entry config; // "config.json", or "distributed_config.json" for that reader
    Entry user;
    std::string printed; // after the path message
    QByteArray result;
    const char *global = nullptr; // gJsonConfig afterwards, when not the result
    int growthMiB = 0; // when set, the peak memory grows less than this
    qint64 mapMiB = 0; // when set, the child may map only this much more
};

// The verdict on a reader's result and on gJsonConfig afterwards.
std::string verdict(const Config &c, const QJsonObject &result)
{
    const auto one = [](const QJsonObject &got, const QByteArray &want) {
        return got == json(want) ? "as expected" : QJsonDocument(got).toJson(QJsonDocument::Compact).left(200);
    };
    return "; result " + one(result, c.result).toStdString() + "; gJsonConfig "
        + one(gJsonConfig, c.global ? QByteArray(c.global) : c.result).toStdString();
}

#if !defined(_WIN32)
// The child: a deadline of 60 s (a reader that blocks or dies fails), run
// as nobody (root reads any file), without standard input (as daemons run: a
// file then opens as descriptor 0, which must be closed again after). What
// the reader prints and a verdict on the rest go to stderr for the parent.
[[noreturn]] void readInChild(const Config &c, bool distributed)
{
    alarm(60);
    QFile statm("/proc/self/statm");
    const qint64 mapped = statm.open(QIODevice::ReadOnly) ? statm.readLine().split(' ')[0].toLongLong() : 0;
    const rlimit limit = {rlim_t(mapped * sysconf(_SC_PAGESIZE) + c.mapMiB * kMiB), RLIM_INFINITY};
    if ((geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        || (c.mapMiB > 0 && setrlimit(RLIMIT_AS, &limit) != 0))
        _exit(3);
    gJsonConfig = json(kBefore);
    rusage before = {}, after = {};
    getrusage(RUSAGE_SELF, &before);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    close(STDIN_FILENO);
    const QJsonObject result = distributed ? FileHelper::readDistributedConfigFile() : FileHelper::readConfigFile();
    const bool leaked = fcntl(STDIN_FILENO, F_GETFD) != -1;
    getrusage(RUSAGE_SELF, &after);
    const long growth = after.ru_maxrss - before.ru_maxrss;
    std::fprintf(stderr, "%s%s%s", verdict(c, result).c_str(),
                 c.growthMiB && growth >= c.growthMiB * 1024L ? "; peak memory grew too much" : "",
                 leaked ? "; a file left open" : "");
    _exit(0);
}
#endif

class Files : public ::testing::Test
{
protected:
    QString path(const QString &text) const
    {
        return QString(text)
            .replace('%', mTemp.path())
            .replace('~', QDir::toNativeSeparators(mTemp.path()))
            .replace('@', QCoreApplication::applicationDirPath());
    }
    // The temp folder emptied, as the base directory.
    QString fresh()
    {
        EXPECT_TRUE(QDir(mTemp.path()).removeRecursively() && QDir().mkdir(mTemp.path()));
        FileHelper::setBaseDirPath(mTemp.path());
        return mTemp.path() + '/';
    }
    QString tree() const
    {
        QStringList entries;
        const auto flags = QDir::AllEntries | QDir::NoDotAndDotDot;
        for (QDirIterator it(mTemp.path(), flags, QDirIterator::Subdirectories); it.hasNext();) {
            const QFileInfo info(it.next());
            entries << info.filePath().mid(mTemp.path().size() + 1) + (info.isDir() ? "/" : "");
        }
        entries.sort();
        return entries.join(' ');
    }
    void checkFolder(const QString &base, const QString &before, Call call, const QString &result, const QString &after,
                     const QString &log = {})
    {
        SCOPED_TRACE(("base \"" + base + "\", before \"" + before + "\", result " + result).toStdString());
        fresh(); // a set base, so that "" must unset it
        for (const QString &entry : before.split(' ', Qt::SkipEmptyParts)) {
            const QString at = path("%/" + entry);
            ASSERT_TRUE(entry.endsWith('/') ? QDir().mkdir(at) : vasktest::writeFile(at, ""));
        }
        FileHelper::setBaseDirPath(path(base));
        for (int i = 0; i < 2; ++i) { // the second call finds all there
            QString got;
            const vasktest::Output output = vasktest::capture([&] { got = call(mTemp.path()); });
            EXPECT_FALSE(got.isNull());
            EXPECT_EQ(got + " | " + tree() + " | " + output.log.join(" + "),
                      path(result) + " | " + after + " | " + log);
        }
    }
    void checkConfig(const Config &c, bool distributed)
    {
        SCOPED_TRACE(c.name);
        if (c.mapMiB > 0 && vasktest::kSanitized)
            return; // the sanitizer needs far more address space than that
        const QString at = fresh(), file = at + (distributed ? "distributed_config.json" : "config.json");
        ASSERT_TRUE(c.config(file) && c.user(at + "user.json"));
        const std::string want = (distributed ? "" : "FileHelper::readConfigFile: from path: " + file.toStdString())
            + c.printed + "; result as expected; gJsonConfig as expected";
#if defined(_WIN32)
        // Nothing here can block a reader or needs limits of its own: it
        // runs in this process.
        gJsonConfig = json(kBefore);
        QJsonObject result;
        const std::string printed = vasktest::capture([&] {
            result = distributed ? FileHelper::readDistributedConfigFile() : FileHelper::readConfigFile();
        }).out;
        EXPECT_EQ(printed + verdict(c, result), want);
        gHolder.reset(); // its standard input closes, and it lets go
#else
        ASSERT_EQ(chmod(QFile::encodeName(at), 0755), 0);
        EXPECT_EXIT(readInChild(c, distributed), ::testing::ExitedWithCode(0),
                    ::testing::Matcher<const std::string &>(want));
#endif
    }
    QTemporaryDir mTemp;
    vasktest::BaseDirGuard mGuard;
};

TEST_F(Files, Folders)
{
    for (const auto &[call, made, refusal] : kAccessors) {
        QStringList levels;
        for (const QString &level : QString(made).split('/'))
            levels << levels.value(levels.size() - 1) + level + '/';
        checkFolder("%", "", call, "%/" + QString(made), levels.join(' '));
        checkFolder("", "", call, "", "", refusal + QString(": AppDirPath cannot be empty"));
    }
    for (const auto &[base, before, call, result, after] : kFolders)
        checkFolder(base, before, call, result, after);
}

TEST_F(Files, ConfigReaders)
{
    const QByteArray user = R"({"u":1})";
    const QByteArray zeros40MiB = "{\"big\":[" + QByteArray(20 * kMiB, '0').replace("0", "0,").chopped(1) + "]}";
    const QByteArray big50MiB = "{\"big\":\"" + QByteArray(50 * kMiB, 'x') + "\"}";
    const Config cases[] = {
        {"user.json alone", kAbsent, text(user), kMissing, user},
        {"merge", text(R"({"a":1,"b":2,"n":{"x":1}})"), text(R"({"b":3,"c":4,"n":{"y":2}})"), "",
         R"({"a":1,"b":2,"c":4,"n":{"x":1}})"},
        {"array", text("[1,2]"), text(user), "", user},
        {"50 MiB string", text(big50MiB), kAbsent, "", big50MiB},
        {"NUL inside", text(QByteArray("{\"a\":\0 1}", 9)), text(user), kParseError + "1", user},
        {"malformed UTF-8, then a NUL", text(QByteArray("{\"s\":\"a\xff" "b\"}\0{garbage", 20)),
         text("{\"t\":\"a\xff" "b\",\"u\":1}"), "", "{\"s\":\"a\xef\xbf\xbd" "b\"}"},
        {"folder", kFolder, text(user), kUnopenable, user},
        // "user.json" only adds keys, and is ignored whole when unusable.
        {"user: a folder", text(user), kFolder, "", user},
        {"user: 40 MiB under a present key", text(R"({"big":1})"), text(zeros40MiB), "", R"({"big":1})", nullptr, 16},
#if defined(_WIN32)
        {"held without sharing", held(user), text(R"({"b":2})"), kUnopenable, R"({"b":2})"},
        {"user: held without sharing", text(user), held(R"({"b":2})"), "", user},
#else
        {"FIFO", kFifo, text(user), kUnopenable, user},
        {"/dev/zero", kDevZero, text(user), kUnopenable, user},
        {"unreadable", unreadable(user), kAbsent, kUnopenable, "{}"},
        {"3 GB after a NUL", text(R"({"a":1})", 3072 * kMiB), kAbsent, "", R"({"a":1})", nullptr, 64},
        {"no memory to parse", text(zeros40MiB), text(user), kParseError + "13", user, nullptr, 0, 256},
        {"user: /dev/zero", text(user), kDevZero, "", user},
        {"user: 3 GB after a NUL", text(user), text(R"({"b":2})", 3072 * kMiB), "", user, nullptr, 16},
#endif
    };
    for (const Config &c : cases)
        checkConfig(c, false);
    // The distributed reader prints nothing and stores only what it parsed.
    const Config distributed[] = {
        {"missing", kAbsent, kAbsent, "", "{}", kBefore},
        {"malformed", text(R"({"d":)"), kAbsent, "", "{}", kBefore},
        {"parsed, user.json aside", text(R"({"d":1})"), text(user), "", R"({"d":1})"},
        {"array", text("[1]"), kAbsent, "", "{}"},
    };
    for (const Config &c : distributed)
        checkConfig(c, true);
}

// Backslashes become slashes and one slash is ensured at the end, more are
// kept; the messages of two calls run on together, and the second call sees
// the file as edited after the first.
TEST_F(Files, ConfigBaseDirectoryFormsAndEdits)
{
    ASSERT_TRUE(vasktest::writeFile(path("%/user.json"), R"({"u":1})"));
    std::string printed;
    for (const QString &base : {path("%").replace('/', '\\') + '\\', path("%//")}) {
        vasktest::writeFile(path("%/config.json"), "{\"a\":\"" + base.toUtf8().replace('\\', "\\\\") + "\"}");
        FileHelper::setBaseDirPath(base);
        printed += vasktest::capture([] { FileHelper::readConfigFile(); }).out;
    }
    const std::string from = "FileHelper::readConfigFile: from path: " + mTemp.path().toStdString();
    EXPECT_EQ(printed, from + "/config.json" + from + "//config.json");
    EXPECT_EQ(gJsonConfig, QJsonObject({{"a", path("%//")}, {"u", 1}}));
}

// Whether "user.json" may add a key to config, looked at in 64 KiB reads.
TEST_F(Files, UserKeyScan)
{
    const std::tuple<QByteArray, const char *, bool> cases[] = {
        {" \r\n{\"u\":2,\"b\":3}\t\n", R"({"u":1})", true},
        {R"({"u":{"b":1},"v":[{"c":2}]})", R"({"u":1,"v":1})", false},
        {R"({"u":[1,"]"],"b":{"c":"}"}})", R"({"u":1,"b":1})", false},
        {R"({"\u0075":2})", R"({"u":1})", false},
        {R"({"\u0062":2})", R"({"u":1})", true},
        {R"({"a\"b":2})", R"({"a\"b":1})", false},
        {"\xEF\xBB\xBF{\"b\":2}", R"({"u":1})", true},
        // "bb" across two reads, and a last read of one byte
        {'{' + QByteArray(65533, ' ') + "\"bb\":1" + QByteArray(65532, ' ') + '}', R"({"b":1})", true},
        {R"([{"b":2}])", "{}", false},
        {R"({"b":2)", "{}", false},
        {"", "{}", false},
        {R"({"b":2} x)", "{}", false},
        {"{\"\xff\":1}", "{}", false}, // no key the parser takes
    };
    for (const auto &[user, config, adds] : cases) {
        ASSERT_TRUE(vasktest::writeFile(path("%/user.json"), user));
        vask::ConfigFile file(path("%/user.json"));
        EXPECT_EQ(vask::mayAddKeys(file, json(config)), adds) << user.left(100).constData();
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
