// ScreenHelper::screenPropties against real X servers (Xvfb) that each test
// starts with the geometry it needs, and reshapes with xrandr.
#include "screenhelper.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using vasktest::captureStderr;
using vasktest::runTool;
using vasktest::ScopedEnv;
using vasktest::Xvfb;

namespace {

// The five outputs, starting from values no query would write.
struct Outputs {
    int screenWidth = -11;
    int screenHeight = -12;
    int pixelWidth = -13;
    int pixelHeight = -14;
    double pixelRatio = -15.5;

    bool query() { return ScreenHelper::screenPropties(screenWidth, screenHeight, pixelWidth, pixelHeight, pixelRatio); }
};

::testing::AssertionResult hasOutputs(const Outputs &o, int sw, int sh, int pw, int ph, double ratio)
{
    // The ratio is compared exactly: it is one division of two integers.
    if (o.screenWidth == sw && o.screenHeight == sh && o.pixelWidth == pw && o.pixelHeight == ph
        && o.pixelRatio == ratio)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
        << "got " << o.screenWidth << "x" << o.screenHeight << ", mode " << o.pixelWidth << "x" << o.pixelHeight
        << ", ratio " << o.pixelRatio << "; want " << sw << "x" << sh << ", mode " << pw << "x" << ph << ", ratio "
        << ratio;
}

::testing::AssertionResult untouched(const Outputs &o)
{
    return hasOutputs(o, -11, -12, -13, -14, -15.5);
}

std::vector<std::string> oneScreen(const char *geometry)
{
    return {"-screen", "0", geometry};
}

const char *kNoXvfb = "Xvfb did not start; scripts/setup.sh test installs it";

// Runs xrandr on the display in DISPLAY.
int xrandr(std::vector<std::string> args)
{
    args.insert(args.begin(), "xrandr");
    return runTool(args);
}

// One Xauthority entry (all fields big-endian length-prefixed) for the
// MIT-MAGIC-COOKIE-1 cookie below, for any address.
QByteArray authEntry(const std::string &number)
{
    auto field = [](const std::string &bytes) {
        QByteArray f;
        f.append(char(bytes.size() >> 8)).append(char(bytes.size() & 0xff));
        f.append(bytes.data(), int(bytes.size()));
        return f;
    };
    QByteArray entry;
    entry.append(char(0xff)).append(char(0xff)); // FamilyWild
    entry += field("") + field(number) + field("MIT-MAGIC-COOKIE-1")
        + field(std::string("\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef", 16));
    return entry;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

TEST(ScreenOnX11, ReportsTheScreenOfAPlainServer)
{
    for (const char *geometry : {"1920x1080x24", "1280x1024x24"}) {
        SCOPED_TRACE(geometry);
        Xvfb server(oneScreen(geometry));
        ASSERT_TRUE(server.running()) << kNoXvfb;
        ScopedEnv display("DISPLAY", server.display().c_str());
        Outputs o;
        ASSERT_TRUE(o.query());
        if (std::string(geometry) == "1920x1080x24")
            EXPECT_TRUE(hasOutputs(o, 1920, 1080, 1920, 1080, 1.0));
        else
            EXPECT_TRUE(hasOutputs(o, 1280, 1024, 1280, 1024, 1.0));
    }
}

TEST(ScreenOnX11, WorksWhileStandardErrorIsClosed)
{
    // A host may run with descriptor 2 closed: the query must neither take
    // it over nor lose its own connection on the way out.
    Xvfb server(oneScreen("1920x1080x24"));
    ASSERT_TRUE(server.running()) << kNoXvfb;
    ScopedEnv display("DISPLAY", server.display().c_str());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(STDERR_FILENO);
        Outputs o;
        const bool answered = o.query() && hasOutputs(o, 1920, 1080, 1920, 1080, 1.0);
        const bool stillClosed = fcntl(STDERR_FILENO, F_GETFD) < 0;
        _exit(answered && stillClosed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ScreenOnX11, AMonitorSmallerThanItsModeGivesTheScale)
{
    Xvfb server(oneScreen("1920x1080x24"));
    ASSERT_TRUE(server.running()) << kNoXvfb;
    ScopedEnv display("DISPLAY", server.display().c_str());

    // The monitor takes over Xvfb's only output, whose mode stays 1920x1080.
    ASSERT_EQ(xrandr({"--setmonitor", "scaled", "1280/339x720/191+0+0", "screen"}), 0);
    Outputs o;
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 1280, 720, 1920, 1080, 1.5));

    // Only the widths make the ratio.
    ASSERT_EQ(xrandr({"--delmonitor", "scaled"}), 0);
    ASSERT_EQ(xrandr({"--setmonitor", "scaled", "1920/508x720/191+0+0", "screen"}), 0);
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 1920, 720, 1920, 1080, 1.0));
}

TEST(ScreenOnX11, ChoosesThePrimaryMonitorThenTheOneAtTheOrigin)
{
    Xvfb server(oneScreen("1920x1080x24"));
    ASSERT_TRUE(server.running()) << kNoXvfb;
    ScopedEnv display("DISPLAY", server.display().c_str());

    // Neither is primary; the server lists "aright" first, yet the desktop's
    // origin lies on "left". A monitor without outputs is driven by the
    // CRTC under its corner.
    ASSERT_EQ(xrandr({"--setmonitor", "aright", "960/254x1080/286+960+0", "screen"}), 0);
    ASSERT_EQ(xrandr({"--setmonitor", "left", "800/211x600/158+0+0", "none"}), 0);
    Outputs o;
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 800, 600, 1920, 1080, 2.4));

    // A primary monitor wins wherever it lies.
    ASSERT_EQ(xrandr({"--delmonitor", "aright"}), 0);
    ASSERT_EQ(xrandr({"--setmonitor", "*aright", "960/254x1080/286+960+0", "screen"}), 0);
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 960, 1080, 1920, 1080, 2.0));
}

TEST(ScreenOnX11, UsesTheScreenThatDisplayNames)
{
    Xvfb server({"-screen", "0", "1920x1080x24", "-screen", "1", "1280x1024x24"});
    ASSERT_TRUE(server.running()) << kNoXvfb;
    ScopedEnv display("DISPLAY", (server.display() + ".1").c_str());
    Outputs o;
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 1280, 1024, 1280, 1024, 1.0));
}

TEST(ScreenOnX11, AServerWithoutRandrReportsItsScreenSize)
{
    Xvfb server({"-extension", "RANDR", "-screen", "0", "1600x900x24"});
    ASSERT_TRUE(server.running()) << kNoXvfb;
    ScopedEnv display("DISPLAY", server.display().c_str());
    Outputs o;
    ASSERT_TRUE(o.query());
    EXPECT_TRUE(hasOutputs(o, 1600, 900, 1600, 900, 1.0));
}

TEST(ScreenOnX11, FailsSilentlyWithoutAUsableServer)
{
    Outputs o;
    {
        SCOPED_TRACE("no DISPLAY");
        ScopedEnv display("DISPLAY", nullptr);
        bool ok = true;
        EXPECT_EQ(captureStderr([&] { ok = o.query(); }), "");
        EXPECT_FALSE(ok);
        EXPECT_TRUE(untouched(o));
    }
    {
        SCOPED_TRACE("no server behind DISPLAY");
        const std::string gone = vasktest::unusedDisplay();
        ASSERT_FALSE(gone.empty());
        ScopedEnv display("DISPLAY", gone.c_str());
        bool ok = true;
        EXPECT_EQ(captureStderr([&] { ok = o.query(); }), "");
        EXPECT_FALSE(ok);
        EXPECT_TRUE(untouched(o));
    }
    {
        SCOPED_TRACE("server refuses the connection");
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString serverAuth = dir.filePath(QStringLiteral("server.auth"));
        ASSERT_TRUE(writeBytes(serverAuth, authEntry("")));
        Xvfb server({"-auth", serverAuth.toStdString(), "-screen", "0", "1024x768x24"});
        ASSERT_TRUE(server.running()) << kNoXvfb;
        ScopedEnv display("DISPLAY", server.display().c_str());
        {
            ScopedEnv noCookie("XAUTHORITY", dir.filePath(QStringLiteral("absent")).toUtf8().constData());
            bool ok = true;
            EXPECT_EQ(captureStderr([&] { ok = o.query(); }), "");
            EXPECT_FALSE(ok);
            EXPECT_TRUE(untouched(o));
        }
        // The same server with the cookie: it was the refusal that failed.
        const QString clientAuth = dir.filePath(QStringLiteral("client.auth"));
        ASSERT_TRUE(writeBytes(clientAuth, authEntry(std::to_string(server.number()))));
        ScopedEnv cookie("XAUTHORITY", clientAuth.toUtf8().constData());
        ASSERT_TRUE(o.query());
        EXPECT_TRUE(hasOutputs(o, 1024, 768, 1024, 768, 1.0));
    }
}

// The example host's screen command, as a user runs it.
std::string runProbeScreen()
{
    std::string text;
    if (FILE *p = popen(VASKPROBE " screen 2>&1", "r")) {
        char buf[256];
        while (size_t n = fread(buf, 1, sizeof buf, p))
            text.append(buf, n);
        pclose(p);
    }
    return text;
}

TEST(ScreenProbe, PrintsTheServersGeometryOrThatThereIsNone)
{
    {
        Xvfb server(oneScreen("1280x1024x24"));
        ASSERT_TRUE(server.running()) << kNoXvfb;
        ScopedEnv display("DISPLAY", server.display().c_str());
        EXPECT_EQ(runProbeScreen(), "screenWidth    1280\nscreenHeight   1024\npixelWidth     1280\n"
                                    "pixelHeight    1024\npixelRatio     1\n");
    }
    ScopedEnv display("DISPLAY", nullptr);
    EXPECT_EQ(runProbeScreen(), "no screen found (no display, or its monitor could not be read)\n");
}

} // namespace
