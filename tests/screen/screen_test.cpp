// ScreenHelper::screenPropties against real X servers (Xvfb, Xorg with the
// dummy driver) reshaped with xrandr, and against servers that let it down.
// Whatever could hang or end a process runs in a child with a hard timeout.
#include "screenhelper.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

using namespace vasktest;

namespace {

// The five outputs in order: screen width and height, pixel width and
// height, ratio (compared exactly: one division of two integers).
using Five = std::array<double, 5>;
const Five kUntouched{-11, -12, -13, -14, -15.5}; // values no query writes
const Five k1024{1024, 768, 1024, 768, 1.0};
const char *kNoServer = "the X server did not start; scripts/setup.sh test installs Xvfb and Xorg's dummy driver";

bool query(Five &out)
{
    int w = int(out[0]), h = int(out[1]), pw = int(out[2]), ph = int(out[3]);
    const bool ok = ScreenHelper::screenPropties(w, h, pw, ph, out[4]);
    std::copy_n(std::array<double, 4>{double(w), double(h), double(pw), double(ph)}.begin(), 4, out.begin());
    return ok;
}

struct Step {
    std::vector<std::string> xrandr; // applied before the query
    Five want;
};
struct Layout {
    const char *name;
    XServer::Kind kind;
    std::vector<std::string> args;
    const char *screen; // after the display number
    std::vector<Step> steps;
};
const Layout kLayouts[] = {
    {"one screen, then monitors over its only output", XServer::Xvfb, {"-screen", "0", "1920x1080x24"}, "",
     {{{}, {1920, 1080, 1920, 1080, 1.0}},
      {{"--setmonitor scaled 1280/339x720/191+0+0 screen"}, {1280, 720, 1920, 1080, 1.5}},
      {{"--delmonitor scaled", "--setmonitor scaled 1920/508x720/191+0+0 screen"}, {1920, 720, 1920, 1080, 1.0}}}},
    // Neither is primary and "aright" is listed first, yet the origin lies on
    // "left", which has no output: the CRTC under its corner shows it. Then a
    // primary monitor wins wherever it lies.
    {"the monitor at the origin, then the primary one", XServer::Xvfb, {"-screen", "0", "1920x1080x24"}, "",
     {{{"--setmonitor aright 960/254x1080/286+960+0 screen", "--setmonitor left 800/211x600/158+0+0 none"},
       {800, 600, 1920, 1080, 2.4}},
      {{"--delmonitor aright", "--setmonitor *aright 960/254x1080/286+960+0 screen"}, {960, 1080, 1920, 1080, 2.0}}}},
    {"the second screen of two", XServer::Xvfb, {"-screen", "0", "1920x1080x24", "-screen", "1", "1280x1024x24"}, ".1",
     {{{}, {1280, 1024, 1280, 1024, 1.0}}}},
    {"a server without RandR", XServer::Xvfb, {"-extension", "RANDR", "-screen", "0", "1600x900x24"}, "",
     {{{}, {1600, 900, 1600, 900, 1.0}}}},
    // Each output a monitor of its own, the primary on the right; then one
    // monitor over both.
    {"two outputs side by side", XServer::XorgDummy, {}, "",
     {{{"--newmode m 148.5 1920 2008 2052 2200 1080 1084 1089 1125", "--addmode DUMMY0 m", "--addmode DUMMY1 m",
        "--output DUMMY0 --mode m --pos 0x0 --output DUMMY1 --mode m --pos 1920x0 --primary"},
       {1920, 1080, 1920, 1080, 1.0}},
      {{"--setmonitor both auto DUMMY0,DUMMY1"}, {3840, 1080, 3840, 1080, 1.0}}}},
};

TEST(ScreenOnX11, ReportsEachLayout)
{
    for (const Layout &layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        XServer server(layout.kind, layout.args);
        ASSERT_TRUE(server.running()) << kNoServer;
        ScopedEnv display("DISPLAY", (server.display() + layout.screen).c_str());
        for (const Step &step : layout.steps) {
            for (const std::string &args : step.xrandr)
                ASSERT_TRUE(xrandr(args)) << "xrandr " << args;
            Five got = kUntouched;
            ASSERT_TRUE(query(got));
            EXPECT_EQ(got, step.want);
        }
    }
}

long msSince(std::chrono::steady_clock::time_point start)
{
    using namespace std::chrono;
    return long(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

// In a child: one query that must give false within a second, silently.
int failsInTime(std::string &report)
{
    int errors[2];
    const bool captured = pipe2(errors, O_NONBLOCK) == 0 && dup2(errors[1], STDERR_FILENO) == STDERR_FILENO;
    const auto start = std::chrono::steady_clock::now();
    Five got = kUntouched;
    const bool answered = query(got);
    char c;
    const bool silent = captured && read(errors[0], &c, 1) < 0;
    report = (answered ? "answered" : "false") + std::string(" after ") + std::to_string(msSince(start)) + " ms"
        + (silent ? "" : ", not silently");
    return !answered && silent && got == kUntouched && msSince(start) < 1000 ? 0 : 1;
}

// One Xauthority entry, fields length-prefixed big-endian: a fixed
// MIT-MAGIC-COOKIE-1 cookie for any host (FamilyWild).
bool writeAuthority(const QString &path, const std::string &number)
{
    QByteArray entry("\xff\xff", 2);
    for (const std::string &field : {std::string(), number, std::string("MIT-MAGIC-COOKIE-1"), std::string(16, 'Z')})
        entry.append(char(field.size() >> 8)).append(char(field.size())).append(field.data(), int(field.size()));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(entry) == entry.size();
}

TEST(ScreenOnX11, FailsWithoutAUsableServer)
{
    QTemporaryDir dir;
    const QString serverAuth = dir.filePath(QStringLiteral("server"));
    const QString clientAuth = dir.filePath(QStringLiteral("client"));
    ASSERT_TRUE(writeAuthority(serverAuth, ""));
    XServer server(XServer::Xvfb, {"-auth", serverAuth.toStdString(), "-screen", "0", "1024x768x24"});
    ASSERT_TRUE(server.running()) << kNoServer;
    ScopedEnv noCookie("XAUTHORITY", clientAuth.toUtf8().constData()); // not written yet
    const std::string refusing = server.display();
    for (const char *display : {static_cast<const char *>(nullptr), "", "nonsense", ":59000", refusing.c_str()}) {
        ScopedEnv variable("DISPLAY", display);
        const auto child = runChild(failsInTime, 10000);
        EXPECT_TRUE(child.passed) << (display ? display : "(unset)") << ": " << child.report;
    }
    // With the cookie: it was the refusal that failed.
    ASSERT_TRUE(writeAuthority(clientAuth, std::to_string(server.number())));
    ScopedEnv variable("DISPLAY", refusing.c_str());
    Five got = kUntouched;
    ASSERT_TRUE(query(got));
    EXPECT_EQ(got, k1024);
}

TEST(ScreenOnX11, GivesUpInTimeOnAServerThatLetsItDown)
{
    XServer server(XServer::Xvfb, {"-screen", "0", "1024x768x24"});
    ASSERT_TRUE(server.running()) << kNoServer;
    // A whole conversation through the relay (TCP) answers, and gives the
    // length of what the server says: the setup answer (most of it), then
    // RandR replies.
    size_t total = 0;
    {
        Relay relay(server.number(), SIZE_MAX, false);
        ScopedEnv display("DISPLAY", relay.display().c_str());
        const auto answers = [](std::string &) {
            Five got = kUntouched;
            return query(got) && got == k1024 ? 0 : 1;
        };
        const auto child = runChild(answers, 10000, [&](int) { relay.pump(); });
        ASSERT_TRUE(child.passed);
        total = relay.passed();
    }
    const std::pair<const char *, size_t> cuts[] = {{"nothing", 0},
                                                    {"half the setup header", 4},
                                                    {"half the setup", total / 2},
                                                    {"all but the last replies", total - 100},
                                                    {"all but the last byte", total - 1}};
    for (const auto &cut : cuts) {
        for (const bool closes : {false, true}) {
            const std::string name = std::string("passes ") + cut.first + (closes ? ", then closes" : ", then silence");
            Relay relay(server.number(), cut.second, closes);
            ScopedEnv display("DISPLAY", relay.display().c_str());
            const auto child = runChild(failsInTime, 10000, [&](int) { relay.pump(); });
            EXPECT_TRUE(child.passed) << name << ": " << child.report;
            std::printf("server %s: %s\n", name.c_str(), child.report.c_str());
        }
    }
    ScopedEnv display("DISPLAY", server.display().c_str());
    kill(server.pid(), SIGSTOP); // accepts, never answers
    const auto child = runChild(failsInTime, 10000);
    EXPECT_TRUE(child.passed) << child.report;
    std::printf("server stopped: %s\n", child.report.c_str());
}

TEST(ScreenOnX11, LeavesTheHostUndisturbed)
{
    // In a child, queries go back to back for a second while a host thread
    // does its part; SIGPIPE keeps its default action, which ends a process.
    struct Host {
        const char *name;
        bool serverDies; // else every query must answer
        std::function<bool(const std::atomic<bool> &stop, int serverPid, std::string &report)> run;
    } const hosts[] = {
        {"writes to standard error, which it closed", false,
         [](const std::atomic<bool> &stop, int, std::string &report) {
             close(STDERR_FILENO);
             long landed = 0;
             while (!stop)
                 landed += write(STDERR_FILENO, "x", 1) == 1;
             report = std::to_string(landed) + " writes landed";
             return landed == 0 && fcntl(STDERR_FILENO, F_GETFD) < 0;
         }},
        {"uses Xlib, switching between error handlers of its own", false,
         [](const std::atomic<bool> &stop, int, std::string &report) { return xlibHostRuns(stop, report); }},
        {"sees the server stopped, then killed, mid-query", true,
         [](const std::atomic<bool> &, int serverPid, std::string &) {
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             kill(serverPid, SIGSTOP);
             std::this_thread::sleep_for(std::chrono::milliseconds(600));
             return kill(serverPid, SIGKILL) == 0;
         }},
    };
    for (const Host &host : hosts) {
        XServer server(XServer::Xvfb, {"-screen", "0", "1024x768x24"});
        ASSERT_TRUE(server.running()) << kNoServer;
        ScopedEnv display("DISPLAY", server.display().c_str());
        const auto child = runChild(
            [&](std::string &report) {
                std::atomic<bool> stop{false};
                bool hostFine = false;
                std::string hostReport;
                std::thread thread([&] { hostFine = host.run(stop, server.pid(), hostReport); });
                int answered = 0, failed = 0;
                long slowest = 0;
                for (const auto start = std::chrono::steady_clock::now(); msSince(start) < 1000;) {
                    const auto one = std::chrono::steady_clock::now();
                    Five got = kUntouched;
                    (query(got) && got == k1024 ? answered : failed) += 1;
                    slowest = std::max(slowest, msSince(one));
                }
                stop = true;
                thread.join();
                report = std::to_string(answered) + " answered, " + std::to_string(failed) + " failed, the slowest in "
                    + std::to_string(slowest) + " ms; " + hostReport;
                return hostFine && answered > 0 && slowest < 1000 && (failed > 0) == host.serverDies ? 0 : 1;
            },
            10000);
        EXPECT_TRUE(child.passed) << host.name << ": " << child.report;
        std::printf("host that %s: %s\n", host.name, child.report.c_str());
    }
}

// The example host's screen command, as a user runs it.
TEST(ScreenProbe, PrintsTheServersGeometryOrThatThereIsNone)
{
    XServer server(XServer::Xvfb, {"-screen", "0", "1280x1024x24"});
    ASSERT_TRUE(server.running()) << kNoServer;
    const std::string name = server.display();
    for (const char *display : {name.c_str(), static_cast<const char *>(nullptr)}) {
        ScopedEnv variable("DISPLAY", display);
        std::string text(512, '\0');
        FILE *p = popen(VASKPROBE " screen 2>&1", "r");
        text.resize(p ? fread(&text[0], 1, text.size(), p) : 0);
        EXPECT_TRUE(p && pclose(p) != -1);
        EXPECT_EQ(text, display ? "screenWidth    1280\nscreenHeight   1024\npixelWidth     1280\n"
                                  "pixelHeight    1024\npixelRatio     1\n"
                                : "no screen found (no display, or its monitor could not be read)\n");
    }
}

} // namespace
