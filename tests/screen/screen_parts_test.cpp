// The pieces of the X11 screen query that need no server: which monitor is
// the desktop's, what its CRTCs show together, DISPLAY's syntax and the
// Xauthority lookup.
#include "screen_layout_p.h"
#include "xauthority_p.h"
#include "xclient_p.h"
#include "xsocket_p.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <tuple>

namespace {

using namespace vask::screen;

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

TEST(ScreenSocket, ReachesDisplayZeroAndNoNumberPastTheLastPort)
{
    // A listener on display 0's abstract name; if a real server holds it, that one answers instead.
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, "\0/tmp/.X11-unix/X0"};
    bind(listener, reinterpret_cast<sockaddr *>(&address), socklen_t(offsetof(sockaddr_un, sun_path) + 18));
    listen(listener, 1);
    const Deadline deadline(std::chrono::milliseconds(500));
    XPeer peer;
    const int fd = connectToDisplay("", 0, deadline, peer);
    EXPECT_GT(fd, 2);
    EXPECT_TRUE(peer.family == kFamilyLocal && peer.display == "0");
    EXPECT_EQ(connectToDisplay("", -1, deadline, peer), -1);
    EXPECT_EQ(connectToDisplay("127.0.0.1", 65535 - 6000 + 1, deadline, peer), -1);
    close(fd), close(listener);
}

// One Xauthority entry: the family, then four length-prefixed fields.
std::string entry(uint16_t family, const std::string &address, const std::string &number, const std::string &name,
                  const std::string &data)
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

} // namespace
