// ScreenHelper::screenPropties against real X servers: Xvfb and Xorg's dummy
// driver reshaped with xrandr, then one server met in every way a host can
// meet one: refusing, silent, closing, lying about RandR, stopped or killed,
// beside a host that closed stderr or uses Xlib. The whole program has a hard
// timeout (CMakeLists.txt); a query that overran its own would fail its row.
#include "screenhelper.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <X11/Xlib.h> // after Qt and GoogleTest, whose names its macros would replace

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

namespace {

using namespace std::chrono;

// The five outputs in order; the ratio is compared exactly (one division).
using Five = std::array<double, 5>;
const Five kFails{-11, -12, -13, -14, -15.5}; // what a query that gives false leaves
const char *kNoServer = "the X server did not start; scripts/setup.sh test installs Xvfb and Xorg's dummy driver";

bool query(Five &out)
{
    int v[4] = {int(out[0]), int(out[1]), int(out[2]), int(out[3])};
    const bool ok = ScreenHelper::screenPropties(v[0], v[1], v[2], v[3], out[4]);
    std::copy(v, v + 4, out.begin());
    return ok;
}

bool xrandr(const std::string &args)
{
    return std::system(("xrandr " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// A server started by this command line on a display number of its own
// choosing, ended with the object or, should the test die, with the test.
// -noreset keeps the monitors xrandr defined after it disconnects.
struct XServer {
    explicit XServer(const std::string &command)
    {
        const std::string line = "exec " + command + " -displayfd 1 -nolisten tcp -noreset 2>/dev/null";
        int fds[2];
        if (pipe(fds) != 0)
            return;
        if ((pid = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(fds[1], STDOUT_FILENO);
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid < 0 || !(out = fdopen(fds[0], "r")) || std::fscanf(out, "%d", &number) != 1)
            number = -1;
    }
    ~XServer()
    {
        if (pid > 0)
            kill(pid, SIGTERM), kill(pid, SIGCONT), waitpid(pid, nullptr, 0);
        if (out)
            std::fclose(out); // only now: the server may not write into a closed pipe
    }
    std::string display() const { return ":" + std::to_string(number); }
    FILE *out = nullptr;
    int pid = -1, number = -1;
};

const struct {
    const char *name;
    const char *server; // Xvfb's arguments; none for Xorg's dummy driver with sixteen outputs
    const char *screen; // after the display number
    std::vector<std::pair<std::vector<std::string>, Five>> steps; // xrandr runs, then what a query gives
} kLayouts[] = {
    // Neither is primary and "aright" is listed first, yet the origin lies on
    // "left", which has no output: the CRTC under its corner shows it. Then a
    // primary monitor wins wherever it lies; the heights never enter the ratio.
    {"the monitor at the origin, then the primary one", "-screen 0 1920x1080x24", "",
     {{{"--setmonitor aright 960/254x1080/286+960+0 screen", "--setmonitor left 800/211x600/158+0+0 none"},
       {800, 600, 1920, 1080, 2.4}},
      {{"--delmonitor aright", "--setmonitor *aright 960/254x720/191+960+0 screen"}, {960, 720, 1920, 1080, 2.0}}}},
    {"the second screen of two", "-screen 0 1920x1080x24 -screen 1 1280x1024x24", ".1",
     {{{}, {1280, 1024, 1280, 1024, 1.0}}}},
    // Each output a monitor, the primary on the right; one monitor over both
    // CRTCs; then a primary monitor whose output is off, which is not active.
    {"two outputs side by side", nullptr, "",
     {{{"--newmode m 148.5 1920 2008 2052 2200 1080 1084 1089 1125", "--addmode DUMMY0 m", "--addmode DUMMY1 m",
        "--output DUMMY0 --mode m --pos 0x0 --output DUMMY1 --mode m --pos 1920x0 --primary"},
       {1920, 1080, 1920, 1080, 1.0}},
      {{"--setmonitor both auto DUMMY0,DUMMY1"}, {3840, 1080, 3840, 1080, 1.0}},
      {{"--delmonitor both", "--setmonitor *gone auto DUMMY1", "--output DUMMY1 --off"},
       {1920, 1080, 1920, 1080, 1.0}}}},
};

TEST(ScreenOnX11, ReportsEachLayout)
{
    QTemporaryDir dir;
    const std::string xorg = dir.path().toStdString();
    // Room for two 1920x1080 outputs side by side; nothing taken from the machine.
    std::ofstream(xorg + "/dummy.conf")
        << R"(Section "ServerFlags" Option "AutoAddDevices" "false" Option "AutoAddGPU" "false" EndSection
Section "Device" Identifier "d" Driver "dummy" VideoRam 65536 EndSection
Section "Screen" Identifier "s" Device "d" SubSection "Display" Virtual 3840 1080 EndSubSection EndSection)";
    for (const auto &layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        XServer server(layout.server ? std::string("Xvfb ") + layout.server
                                     : "Xorg -config " + xorg + "/dummy.conf -logfile " + xorg + "/log -sharevts"
                                           + " -novtswitch");
        ASSERT_GE(server.number, 0) << kNoServer;
        setenv("DISPLAY", (server.display() + layout.screen).c_str(), 1);
        for (const auto &step : layout.steps) {
            for (const std::string &args : step.first)
                ASSERT_TRUE(xrandr(args)) << "xrandr " << args;
            Five got = kFails;
            EXPECT_TRUE(query(got));
            EXPECT_EQ(got, step.second);
        }
    }
}

// What the host does in another thread while queries go on for a second.
using Host = bool (*)(const std::atomic<bool> &stop, int serverPid, std::string &report);

bool writesToClosedStderr(const std::atomic<bool> &stop, int, std::string &report)
{
    close(STDERR_FILENO);
    long landed = 0;
    while (!stop)
        landed += write(STDERR_FILENO, "x", 1) == 1;
    report += "; " + std::to_string(landed) + " writes landed";
    return landed == 0 && fcntl(STDERR_FILENO, F_GETFD) < 0;
}

std::atomic<int> gXlibErrors[2];

// Makes X errors, switching between two handlers of its own every 100: each
// must reach the handler set for it.
bool usesXlib(const std::atomic<bool> &stop, int, std::string &report)
{
    Display *x = XOpenDisplay(nullptr);
    int made[2] = {0, 0};
    XWindowAttributes attributes;
    for (int i = 0; x && !stop; ++made[i++ / 100 % 2]) {
        if (i % 100 == 0)
            XSetErrorHandler(i / 100 % 2 ? +[](Display *, XErrorEvent *) { return ++gXlibErrors[1], 0; }
                                         : +[](Display *, XErrorEvent *) { return ++gXlibErrors[0], 0; });
        XGetWindowAttributes(x, 1, &attributes); // no such window
    }
    if (x)
        XCloseDisplay(x);
    report += "; " + std::to_string(made[0] + made[1]) + " Xlib errors";
    return x && made[1] > 0 && gXlibErrors[0] == made[0] && gXlibErrors[1] == made[1];
}

bool killsServerMidQuery(const std::atomic<bool> &, int serverPid, std::string &)
{
    std::this_thread::sleep_for(milliseconds(200));
    kill(serverPid, SIGSTOP);
    std::this_thread::sleep_for(milliseconds(600));
    return kill(serverPid, SIGKILL) == 0;
}

// The server shows a monitor 1280 wide and 1080 tall on its 1920x1080 mode;
// without monitors a query sees the core screen.
const Five kMonitor{1280, 1080, 1920, 1080, 1.5}, kCore{1920, 1080, 1920, 1080, 1.0};

struct Situation {
    const char *name;
    const char *display; // nullptr: unset; "@": the server; "@tcp", "@tcp6": through a relay at 127.0.0.1, or
                         // at ::ffff:127.0.0.1; "@stopped": the server, stopped (accepts, never answers)
    bool cookie;         // XAUTHORITY holds this host's cookie, else names no file
    Five want;
    long cut = LONG_MAX; // through a relay: the server's bytes passed, then silence or a close; negative: all
                         // but that many
    size_t patchAt = 0;  // after the setup answer: RandR's QueryExtension reply at 0, QueryVersion's at 32
    std::string patch = {}; // written over what the server says there, little-endian as the client asks here
    Host host = nullptr;
};
const Situation kSituations[] = {
    {"no DISPLAY", nullptr, true, kFails},
    {"an empty DISPLAY", "", true, kFails},
    {"DISPLAY of no known form", "nonsense", true, kFails},
    {"no server at the display", ":59000", true, kFails},
    {"a server that wants a cookie the host lacks", "@", false, kFails},
    {"the server, with this host's cookie", "@", true, kMonitor},
    {"the server over TCP at 127.0.0.1", "@tcp", true, kMonitor},
    {"the server over TCP at an IPv4-mapped IPv6 address", "@tcp6", true, kMonitor},
    {"a server without RandR", "@tcp", true, kCore, LONG_MAX, 8, std::string(1, '\0')},
    {"a server with RandR 1.4", "@tcp", true, kCore, LONG_MAX, 32 + 8, std::string("\1\0\0\0\4\0\0\0", 8)},
    {"a server with RandR 1.5", "@tcp", true, kMonitor, LONG_MAX, 32 + 8, std::string("\1\0\0\0\5\0\0\0", 8)},
    {"a server with RandR 2.0", "@tcp", true, kMonitor, LONG_MAX, 32 + 8, std::string("\2\0\0\0\0\0\0\0", 8)},
    {"a server that passes nothing", "@tcp", true, kFails, 0},
    {"a server that passes half the setup header", "@tcp", true, kFails, 4},
    {"a server that passes part of the setup", "@tcp", true, kFails, 100},
    {"a server that passes all but the last replies", "@tcp", true, kFails, -100},
    {"a server that passes all but the last byte", "@tcp", true, kFails, -1},
    {"a stopped server", "@stopped", true, kFails},
    {"a host that writes to the stderr it closed", "@", true, kMonitor, LONG_MAX, 0, "", writesToClosedStderr},
    {"a host using Xlib with error handlers of its own", "@", true, kMonitor, LONG_MAX, 0, "", usesXlib},
    {"the server stopped, then killed, mid-query", "@", true, kMonitor, LONG_MAX, 0, "", killsServerMidQuery},
};

// Forwards one client to the server's socket. Of the server's answers it
// passes the first `cut` bytes, with the situation's patch written over them,
// then goes silent or closes. Returns how many bytes it passed.
size_t relay(int listener, int serverNumber, const Situation &s, size_t cut, bool closes, const std::atomic<bool> &stop)
{
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", serverNumber);
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address);
    fcntl(server, F_SETFL, O_NONBLOCK);
    int client = -1;
    std::string in, patch = s.patch;
    size_t sent = 0, at = SIZE_MAX;
    char buf[4096];
    for (ssize_t n; !stop && !(client >= 0 && sent >= cut && closes); std::this_thread::sleep_for(milliseconds(1))) {
        if (client < 0 && (client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0)
            continue;
        while ((n = recv(client, buf, sizeof buf, 0)) > 0)
            send(server, buf, size_t(n), MSG_NOSIGNAL);
        while ((n = recv(server, buf, sizeof buf, 0)) > 0)
            in.append(buf, size_t(n));
        // The setup answer counts its 4-byte units in bytes 6-7, in the byte order the client named: ours.
        uint16_t units = 0;
        if (at == SIZE_MAX && in.size() >= 8)
            at = 8 + 4 * size_t((std::memcpy(&units, &in[6], 2), units)) + s.patchAt;
        if (!patch.empty() && at != SIZE_MAX && in.size() >= at + patch.size())
            in.replace(at, patch.size(), patch), patch.clear();
        const size_t ready = std::min({in.size(), cut, patch.empty() ? SIZE_MAX : std::min(at, in.size())});
        sent += sent < ready ? size_t(std::max<ssize_t>(0, send(client, &in[sent], ready - sent, MSG_NOSIGNAL))) : 0;
    }
    close(client), close(server);
    return sent;
}

// Queries (one, or for a second beside a host) that must each give what the
// situation wants within a second, without a word on stderr.
bool meet(const Situation &s, int serverPid, int errors, std::string &report)
{
    std::atomic<bool> stop{false};
    bool hostFine = true;
    std::thread host([&] { hostFine = !s.host || s.host(stop, serverPid, report); });
    int right = 0, wrong = 0;
    long slowest = 0;
    for (const auto start = steady_clock::now(); right + wrong == 0 || (s.host && steady_clock::now() < start + 1s);) {
        const auto one = steady_clock::now();
        Five got = kFails;
        ++(query(got) != (s.want == kFails) && got == s.want ? right : wrong);
        slowest = std::max(slowest, long(duration_cast<milliseconds>(steady_clock::now() - one).count()));
    }
    stop = true;
    host.join();
    char c;
    const bool silent = read(errors, &c, 1) < 0;
    report += "; " + std::to_string(right) + " as wanted, " + std::to_string(wrong) + " not, the slowest in "
        + std::to_string(slowest) + " ms" + (silent ? "" : ", not silently");
    return hostFine && silent && right > 0 && (wrong > 0) == (s.host == killsServerMidQuery) && slowest < 1000;
}

TEST(ScreenOnX11, HoldsInEverySituationAHostMeets)
{
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    // Xauthority entries: a family, then host, display, kind and cookie, each length-prefixed big-endian.
    const auto entry = [](const char *family, const std::string &address) {
        std::string out(family, 2);
        for (const std::string &f : {address, std::string(), std::string("MIT-MAGIC-COOKIE-1"), std::string(16, 'Z')})
            out += std::string{char(f.size() >> 8), char(f.size())} + f;
        return out;
    };
    std::ofstream(base + "/server") << entry("\xff\xff", "");   // any host
    std::ofstream(base + "/client") << entry("\x01\x00", host); // this one, over its socket or loopback
    XServer server("Xvfb -auth " + base + "/server -screen 0 1920x1080x24");
    ASSERT_GE(server.number, 0) << kNoServer;
    const std::string name = server.display();
    setenv("DISPLAY", name.c_str(), 1);
    setenv("XAUTHORITY", (base + "/client").c_str(), 1);
    ASSERT_TRUE(xrandr("--setmonitor part 1280/339x1080/286+0+0 screen"));

    // The example host's screen command, as a user runs it.
    std::string text(512, '\0');
    FILE *probe = popen(VASKPROBE " screen 2>&1", "r");
    text.resize(probe ? std::fread(&text[0], 1, text.size(), probe) : 0);
    EXPECT_EQ(probe ? pclose(probe) : -1, 0);
    EXPECT_EQ(text, "screenWidth    1280\nscreenHeight   1080\npixelWidth     1920\npixelHeight    1080\n"
                    "pixelRatio     1.5\n");

    int errors[2]; // stands in for stderr, which the query must leave alone
    const int stderrCopy = dup(STDERR_FILENO);
    ASSERT_EQ(pipe2(errors, O_NONBLOCK | O_CLOEXEC), 0);
    size_t total = 0; // of a whole conversation through a relay
    for (const Situation &s : kSituations) {
        for (const bool closes : {false, true}) {
            if (closes && s.cut == LONG_MAX)
                break;
            dup2(errors[1], STDERR_FILENO); // first: nothing here may take the number of a stderr closed before
            const std::string display = s.display ? s.display : "";
            const bool relayed = display.rfind("@tcp", 0) == 0;
            s.display ? setenv("DISPLAY", display[0] == '@' ? name.c_str() : s.display, 1) : unsetenv("DISPLAY");
            setenv("XAUTHORITY", (base + (s.cookie ? "/client" : "/none")).c_str(), 1);
            // A port the system picks lies above 6000 + display 0 and below 6000 + the largest display.
            const int listener = relayed ? socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t size = sizeof address;
            if (relayed && bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(listener, 1) == 0
                && getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0)
                setenv("DISPLAY", ((display == "@tcp" ? "127.0.0.1:" : "[::ffff:127.0.0.1]:")
                                   + std::to_string(ntohs(address.sin_port) - 6000)).c_str(), 1);
            std::atomic<bool> stop{false};
            std::future<size_t> passed;
            if (relayed)
                passed = std::async(std::launch::async, relay, listener, server.number, std::cref(s),
                                    s.cut < 0 ? total + size_t(s.cut) : size_t(s.cut), closes, std::cref(stop));
            if (display == "@stopped")
                kill(server.pid, SIGSTOP);
            std::string report = s.name;
            report += s.cut == LONG_MAX ? "" : closes ? ", then closes" : ", then silence";
            EXPECT_TRUE(meet(s, server.pid, errors[0], report)) << report;
            std::printf("%s\n", report.c_str());
            kill(server.pid, SIGCONT);
            stop = true;
            const size_t sent = relayed ? passed.get() : 0;
            total = display == "@tcp" && s.cut == LONG_MAX && s.patch.empty() ? sent : total;
            close(listener);
        }
    }
    dup2(stderrCopy, STDERR_FILENO);
}

} // namespace
