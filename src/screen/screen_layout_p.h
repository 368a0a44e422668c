#ifndef VASKSUPPORT_SCREEN_SCREEN_LAYOUT_P_H
#define VASKSUPPORT_SCREEN_SCREEN_LAYOUT_P_H

// The arithmetic of the X11 screen query, apart from any server: which
// monitor is the desktop's, and how many pixels the CRTCs behind it show.

#include <vector>

namespace vask {
namespace screen {

struct Area {
    int x;
    int y;
    int width;
    int height;
};

struct MonitorArea {
    Area area;
    bool primary;
};

// What one CRTC shows: its area in screen coordinates and the size of its
// current mode as it appears there (width and height swapped when rotated a
// quarter turn). A scaled CRTC covers an area of another size than its mode.
struct CrtcArea {
    Area area;
    int modeWidth;
    int modeHeight;
};

inline bool contains(const Area &a, int px, int py)
{
    return px >= a.x && py >= a.y && px - a.x < a.width && py - a.y < a.height;
}

// The primary monitor, else the one holding the origin, else the first;
// -1 when there is none.
int chooseMonitor(const std::vector<MonitorArea> &monitors);

// The pixel size of what the CRTCs show together: the box around their
// areas, with each CRTC's offset and size counted in its own mode's pixels.
// Two 1920x1080 outputs side by side give 3840x1080, scaled or not. False
// when no CRTC shows anything.
bool combinedPixels(const std::vector<CrtcArea> &crtcs, int &width, int &height);

} // namespace screen
} // namespace vask

#endif // VASKSUPPORT_SCREEN_SCREEN_LAYOUT_P_H
