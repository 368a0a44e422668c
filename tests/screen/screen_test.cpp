// The X11 screen query. Its pure pieces directly: which monitor is the
// desktop's, what its CRTCs show together, DISPLAY's syntax, the Xauthority
// lookup. Then ScreenHelper::screenPropties against real X servers: Xorg's
// dummy driver and Xvfb reshaped with xrandr, then one server met in every
// way a host can meet one: refusing, silent, closing, lying about RandR,
// stopped then killed, beside a host that closed stderr. The whole program
// has a hard timeout (CMakeLists.txt); a query that overran its own would
// fail its row.
#include "screen_layout_p.h"
#include "screenhelper.h"
#include "xauthority_p.h"
#include "xclient_p.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

namespace {

using namespace vask::screen;
using namespace std::chrono;

TEST(ScreenLayout, ChoosesThePrimaryElseTheMonitorAtTheOriginElseTheFirst)
{
    // Each of the first four ends or starts right next to the origin.
    const MonitorArea left{{-800, 0, 800, 600}, false}, above{{0, -600, 800, 600}, false},
        below{{0, 1, 800, 600}, false}, right{{1, 0, 800, 600}, false}, origin{{0, 0, 1, 1}, false},
        wide{{-1, -1, 9, 9}, false}, primary{{5000, 5000, 800, 600}, true};
    const std::pair<std::vector<MonitorArea>, int> cases[] = {
        {{}, -1}, {{left, above, below, right}, 0}, {{left, above, below, right, origin}, 4}, {{origin, wide}, 0},
        {{primary, origin}, 0}, {{origin, left, primary}, 2}};
    for (const auto &c : cases)
        EXPECT_EQ(chooseMonitor(c.first), c.second) << c.first.size() << " monitors";
}

TEST(ScreenLayout, CombinesTheCrtcsOfAMonitor)
{
    const struct {
        const char *name;
        std::vector<CrtcArea> crtcs;
        int width, height; // 0: false
    } cases[] = {
        {"none", {}, 0, 0},
        {"one, off the origin", {{{1920, 0, 1280, 1024}, 1280, 1024}}, 1280, 1024},
        {"a monitor smaller than its mode", {{{0, 0, 1280, 720}, 1920, 1080}}, 1920, 1080},
        {"two stacked, rotated", {{{0, 0, 1080, 1920}, 1080, 1920}, {{0, 1920, 1080, 1920}, 1080, 1920}}, 1080, 3840},
        {"a 2x2 wall, the top left last", {{{960, 0, 960, 540}, 960, 540}, {{0, 540, 960, 540}, 960, 540},
                                           {{960, 540, 960, 540}, 960, 540}, {{0, 0, 960, 540}, 960, 540}}, 1920, 1080},
        {"two scaled by 2, counted in their modes' pixels",
         {{{0, 0, 3840, 2160}, 1920, 1080}, {{3840, 0, 3840, 2160}, 1920, 1080}}, 3840, 1080},
        {"empty CRTCs nearer the origin",
         {{{0, 0, 800, 0}, 800, 600}, {{0, 0, 0, 600}, 800, 600}, {{100, 50, 800, 600}, 800, 600}}, 800, 600},
        {"a mode without width", {{{0, 0, 800, 600}, 0, 600}}, 0, 0},
        {"a mode without height", {{{0, 0, 800, 600}, 800, 0}}, 0, 0},
        {"exactly as large as an int reaches", {{{0, 0, 1, 1}, INT_MAX, INT_MAX}}, INT_MAX, INT_MAX},
        {"wider than an int reaches", {{{0, 0, 1, 1}, 1, 1}, {{1, 0, 1, 1}, INT_MAX, 1}}, 0, 0},
        {"taller than an int reaches", {{{0, 0, 1, 1}, 1, 1}, {{0, 1, 1, 1}, 1, INT_MAX}}, 0, 0},
    };
    for (const auto &c : cases) {
        int width = 0, height = 0;
        const bool ok = combinedPixels(c.crtcs, width, height);
        EXPECT_EQ(std::make_tuple(ok, width, height), std::make_tuple(c.width != 0, c.width, c.height)) << c.name;
    }
}

TEST(ScreenDisplayName, ReadsWhatDisplayNames)
{
    const struct {
        const char *display;
        bool ok;
        const char *host;
        int number, screen;
    } cases[] = {{":0", true, "", 0, 0}, {":12.1", true, "", 12, 1}, {"unix:3", true, "", 3, 0},
                 {"unix/host:4", true, "", 4, 0}, {"localhost:10.0", true, "localhost", 10, 0},
                 {"tcp/10.1.2.3:2", true, "10.1.2.3", 2, 0}, {"[::1]:5", true, "::1", 5, 0},
                 {"::1:5", true, "::1", 5, 0}, {"", false, "", 0, 0}, {"nonsense", false, "", 0, 0},
                 {"host::0", false, "", 0, 0}, {":", false, "", 0, 0}, {":x", false, "", 0, 0},
                 {":0.", false, "", 0, 0}, {":123456", false, "", 0, 0}};
    for (const auto &c : cases) {
        DisplayName name;
        EXPECT_EQ(parseDisplay(c.display, name), c.ok) << c.display;
        EXPECT_TRUE(!c.ok || (name.host == c.host && name.display == c.number && name.screen == c.screen)) << c.display;
    }
}

// One Xauthority entry: the family, then four length-prefixed fields.
std::string entry(uint16_t family, const std::string &address, const std::string &number,
                  const std::string &name = "MIT-MAGIC-COOKIE-1", const std::string &data = std::string(16, 'Z'))
{
    std::string out{char(family >> 8), char(family & 0xff)};
    for (const std::string &f : {address, number, name, data})
        out += std::string{char(f.size() >> 8), char(f.size() & 0xff)} + f;
    return out;
}

TEST(ScreenXauthority, FindsTheCookieForThisHostAndDisplay)
{
    const std::string magic = "MIT-MAGIC-COOKIE-1", address("\x7f\0\0\1", 4);
    const std::string file = entry(kFamilyLocal, "other", "0", magic, "a") // another host
        + entry(kFamilyLocal, "box", "1", magic, "b")                        // another display
        + entry(kFamilyLocal, "box", "0", "XDM-AUTHORIZATION-1", "c")        // a kind not spoken
        + entry(kFamilyInternet, address, "0", magic, "d")                    // another family
        + entry(kFamilyLocal, "box", "0", magic, "e")                        // this one
        + entry(kFamilyWild, "", "", magic, "f");
    EXPECT_EQ(findCookie(file, kFamilyLocal, "box", "0").data, "e");
    EXPECT_EQ(findCookie(file, kFamilyLocal, "box", "7").data, "f");
    EXPECT_EQ(findCookie(file, kFamilyInternet, address, "0").data, "d");
    EXPECT_EQ(findCookie(file.substr(0, file.size() - 3), kFamilyLocal, "box", "7").name, ""); // cut short
    EXPECT_EQ(findCookie(file, kFamilyLocal, "box", "0").name, magic);
}

// ---------------------------------------------------------------------------
// Real servers.

// The five outputs in order; the ratio is compared exactly (one division).
using Five = std::array<double, 5>;
const Five kFails{-11, -12, -13, -14, -15.5}; // what a query that gives false leaves

bool query(Five &out)
{
    int v[4] = {int(out[0]), int(out[1]), int(out[2]), int(out[3])};
    const bool ok = ScreenHelper::screenPropties(v[0], v[1], v[2], v[3], out[4]);
    std::copy(v, v + 4, out.begin());
    return ok;
}

// A server started by this command line on a display number of its own
// choosing, ended with the object or, should the test die, with the test.
// -noreset keeps the monitors xrandr defined after it disconnects.
struct XServer {
    explicit XServer(const std::string &command)
        : out(popen(("echo $$; exec setpriv --pdeathsig KILL " + command + " -displayfd 1 -nolisten tcp -noreset"
                     + " 2>/dev/null").c_str(), "r"))
    {
        if (!out || std::fscanf(out, "%d %d", &pid, &number) != 2)
            number = -1;
        EXPECT_GE(number, 0) << "no X server; scripts/setup.sh test installs Xvfb and Xorg's dummy driver";
    }
    ~XServer()
    {
        if (pid > 0)
            kill(pid, SIGTERM), kill(pid, SIGCONT);
        if (out)
            pclose(out); // only now: the server may not write into a closed pipe
    }
    FILE *out;
    int pid = -1, number = -1;
};

// Reshapes the screen DISPLAY names step by step: xrandr runs, then what a query gives.
using Steps = std::vector<std::pair<std::vector<std::string>, Five>>;
void reshape(const std::string &display, const Steps &steps)
{
    setenv("DISPLAY", display.c_str(), 1);
    for (const auto &step : steps) {
        for (const std::string &args : step.first)
            ASSERT_EQ(std::system(("xrandr " + args + " >/dev/null 2>&1").c_str()), 0) << "xrandr " << args;
        Five got = kFails;
        EXPECT_TRUE(query(got) && got == step.second) << display << ": " << ::testing::PrintToString(got);
    }
}

TEST(ScreenOnX11, ShowsWhatTheCrtcsOfTheMonitorShow)
{
    QTemporaryDir dir;
    const std::string xorg = dir.path().toStdString();
    // Room for two 1920x1080 outputs side by side (of sixteen); nothing taken from the machine.
    std::ofstream(xorg + "/dummy.conf")
        << R"(Section "ServerFlags" Option "AutoAddDevices" "false" Option "AutoAddGPU" "false" EndSection
Section "Device" Identifier "d" Driver "dummy" VideoRam 65536 EndSection
Section "Screen" Identifier "s" Device "d" SubSection "Display" Virtual 3840 1080 EndSubSection EndSection)";
    XServer server("Xorg -config " + xorg + "/dummy.conf -logfile " + xorg + "/log -sharevts -novtswitch");
    ASSERT_GE(server.number, 0);
    // Each output a monitor, the primary on the right; one monitor over both
    // CRTCs; then a primary monitor whose output is off, which is not active.
    reshape(":" + std::to_string(server.number),
            {{{"--newmode m 148.5 1920 2008 2052 2200 1080 1084 1089 1125", "--addmode DUMMY0 m", "--addmode DUMMY1 m",
               "--output DUMMY0 --mode m --pos 0x0 --output DUMMY1 --mode m --pos 1920x0 --primary"},
              {1920, 1080, 1920, 1080, 1.0}},
             {{"--setmonitor both auto DUMMY0,DUMMY1"}, {3840, 1080, 3840, 1080, 1.0}},
             {{"--delmonitor both", "--setmonitor *gone auto DUMMY1", "--output DUMMY1 --off"},
              {1920, 1080, 1920, 1080, 1.0}}});
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

bool killsServerMidQuery(const std::atomic<bool> &, int serverPid, std::string &)
{
    std::this_thread::sleep_for(milliseconds(200));
    kill(serverPid, SIGSTOP);
    std::this_thread::sleep_for(milliseconds(600));
    return kill(serverPid, SIGKILL) == 0;
}

// The server ends up showing a primary monitor 1280x900 on its 1920x1080
// mode; without monitors a query sees the core screen.
const Five kMonitor{1280, 900, 1920, 1080, 1.5}, kCore{1920, 1080, 1920, 1080, 1.0};

struct Situation {
    const char *name;
    const char *display; // nullptr: unset; '@' stands for the server's number, or (after an address) for a relay's
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
    {"DISPLAY of no known form", "nonsense", true, kFails},
    {"no server at the display", ":59000", true, kFails},
    {"a server that wants a cookie the host lacks", ":@", false, kFails},
    {"the server over TCP at 127.0.0.1", "127.0.0.1:@", true, kMonitor},
    {"the server over TCP at an IPv4-mapped IPv6 address", "[::ffff:127.0.0.1]:@", true, kMonitor},
    {"a server without RandR", "127.0.0.1:@", true, kCore, LONG_MAX, 8, std::string(1, '\0')},
    {"a server with RandR 1.4", "127.0.0.1:@", true, kCore, LONG_MAX, 32 + 8, std::string("\1\0\0\0\4\0\0\0", 8)},
    {"a server with RandR 1.5", "127.0.0.1:@", true, kMonitor, LONG_MAX, 32 + 8, std::string("\1\0\0\0\5\0\0\0", 8)},
    {"a server with RandR 2.0", "127.0.0.1:@", true, kMonitor, LONG_MAX, 32 + 8, std::string("\2\0\0\0\0\0\0\0", 8)},
    {"a server that passes half the setup header", "127.0.0.1:@", true, kFails, 4},
    {"a server that passes part of the setup", "127.0.0.1:@", true, kFails, 100},
    {"a server that passes all but the last byte", "127.0.0.1:@", true, kFails, -1},
    {"a host that writes to the stderr it closed", ":@", true, kMonitor, LONG_MAX, 0, "", writesToClosedStderr},
    {"the server stopped, then killed, mid-query", ":@", true, kMonitor, LONG_MAX, 0, "", killsServerMidQuery},
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

TEST(ScreenOnX11, HoldsInEverySituationAHostMeets)
{
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::ofstream(base + "/server") << entry(kFamilyWild, "", "");   // any host
    std::ofstream(base + "/client") << entry(kFamilyLocal, host, ""); // this one, over its socket or loopback
    setenv("XAUTHORITY", (base + "/client").c_str(), 1);
    XServer server("Xvfb -auth " + base + "/server -screen 0 1920x1080x24 -screen 1 1280x1024x24");
    ASSERT_GE(server.number, 0);
    const std::string name = ":" + std::to_string(server.number);
    reshape(name + ".1", {{{}, {1280, 1024, 1280, 1024, 1.0}}});
    // Neither is primary and "aright" is listed first, yet the origin lies on
    // "left", which has no output: the CRTC under its corner shows it. Then a
    // primary monitor wins wherever it lies; the heights never enter the ratio.
    reshape(name, {{{"--setmonitor aright 960/254x1080/286+960+0 screen", "--setmonitor left 800/211x600/158+0+0 none"},
                    {800, 600, 1920, 1080, 2.4}},
                   {{"--delmonitor aright", "--setmonitor *aright 1280/339x900/238+640+0 screen"}, kMonitor}});

    int errors[2]; // stands in for stderr, which the query must leave alone
    const int stderrCopy = dup(STDERR_FILENO);
    ASSERT_EQ(pipe2(errors, O_NONBLOCK | O_CLOEXEC), 0);
    size_t total = 0; // of a whole conversation through a relay
    for (const Situation &s : kSituations) {
        for (const bool closes : {false, true}) {
            if (closes && s.cut == LONG_MAX)
                break;
            dup2(errors[1], STDERR_FILENO); // first: nothing here may take the number of a stderr closed before
            std::string display = s.display ? s.display : "";
            const bool marked = !display.empty() && display.back() == '@', relayed = marked && display[0] != ':';
            setenv("XAUTHORITY", (base + (s.cookie ? "/client" : "/none")).c_str(), 1);
            // A port the system picks lies above 6000 + display 0 and below 6000 + the largest display.
            const int listener = relayed ? socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t size = sizeof address;
            ASSERT_TRUE(!relayed || (bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0
                                     && listen(listener, 1) == 0
                                     && getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0));
            if (marked)
                display.replace(display.size() - 1, 1,
                                std::to_string(relayed ? ntohs(address.sin_port) - 6000 : server.number));
            s.display ? setenv("DISPLAY", display.c_str(), 1) : unsetenv("DISPLAY");
            std::atomic<bool> stop{false};
            std::future<size_t> passed;
            if (relayed)
                passed = std::async(std::launch::async, relay, listener, server.number, std::cref(s),
                                    s.cut < 0 ? total + size_t(s.cut) : size_t(s.cut), closes, std::cref(stop));
            // Queries (one, or for a second beside a host) that must each give
            // what the situation wants within a second, without a word on stderr.
            std::string report = s.name;
            report += s.cut == LONG_MAX ? "" : closes ? ", then closes" : ", then silence";
            bool hostFine = true;
            std::thread host([&] { hostFine = !s.host || s.host(stop, server.pid, report); });
            int right = 0, wrong = 0;
            long slowest = 0;
            const auto start = steady_clock::now();
            while (right + wrong == 0 || (s.host && steady_clock::now() < start + 1s)) {
                const auto one = steady_clock::now();
                Five got = kFails;
                ++(query(got) != (s.want == kFails) && got == s.want ? right : wrong);
                slowest = std::max(slowest, long(duration_cast<milliseconds>(steady_clock::now() - one).count()));
            }
            stop = true;
            host.join();
            char c;
            EXPECT_TRUE(hostFine && read(errors[0], &c, 1) < 0 && right > 0 && slowest < 1000
                        && (wrong > 0) == (s.host == killsServerMidQuery))
                << report << "; " << right << " as wanted, " << wrong << " not, the slowest in " << slowest << " ms";
            kill(server.pid, SIGCONT);
            const size_t sent = relayed ? passed.get() : 0;
            total = relayed && s.cut == LONG_MAX && s.patch.empty() ? sent : total;
            close(listener);
        }
    }
    dup2(stderrCopy, STDERR_FILENO);
    // It loads no X library: it can't disturb a host's own use of Xlib or xcb.
    std::ifstream maps("/proc/self/maps");
    const std::string mapped{std::istreambuf_iterator<char>(maps), {}};
    EXPECT_TRUE(mapped.find("libX11") == std::string::npos && mapped.find("libxcb") == std::string::npos);
}

} // namespace
