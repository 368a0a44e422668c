#ifndef VASKSUPPORT_SCREEN_SCREEN_PLATFORM_P_H
#define VASKSUPPORT_SCREEN_SCREEN_PLATFORM_P_H

// The platform half of ScreenHelper: one function per platform file
// (screen_win.cpp, screen_xcb.cpp), free of Qt so it can be built and tested
// on its own. Nothing here is exported from the library.

namespace vask {
namespace screen {

// The monitor rectangle as the calling process sees it, and the pixel size
// of that monitor's current display mode.
struct Geometry {
    int screenWidth;
    int screenHeight;
    int pixelWidth;
    int pixelHeight;
};

// Reads the monitor of the desktop window and its current mode; false (out untouched) when anything can't be read or
// the monitor width is 0.
bool queryDesktopMonitor(Geometry &out);

} // namespace screen
} // namespace vask

#endif // VASKSUPPORT_SCREEN_SCREEN_PLATFORM_P_H
