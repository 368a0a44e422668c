// The X11 screen query built with a libXrandr name that doesn't exist, as on
// a machine with libX11 but without the RandR client library: a live server
// must not matter, the query fails quietly and writes nothing.
#include "screen_platform.h"
#include "xserver.h"

#include <gtest/gtest.h>

namespace {

TEST(ScreenWithoutXrandr, FailsQuietlyEvenWithAServer)
{
    vasktest::Xvfb server({"-screen", "0", "1920x1080x24"});
    ASSERT_TRUE(server.running()) << "Xvfb did not start; scripts/setup.sh test installs it";
    vasktest::ScopedEnv display("DISPLAY", server.display().c_str());

    vask::screen::Geometry g{1, 2, 3, 4};
    bool ok = true;
    EXPECT_EQ(vasktest::captureStderr([&] { ok = vask::screen::queryDesktopMonitor(g); }), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(g.screenWidth, 1);
    EXPECT_EQ(g.screenHeight, 2);
    EXPECT_EQ(g.pixelWidth, 3);
    EXPECT_EQ(g.pixelHeight, 4);
}

} // namespace
