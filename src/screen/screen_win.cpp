#include "screen_platform_p.h"

#include <windows.h>

namespace vask {
namespace screen {

// The sizes the system checks the structures against; a header that lays
// them out differently would make both calls fail at run time.
static_assert(sizeof(MONITORINFOEXW) == 104, "MONITORINFOEXW layout");
static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW layout");

bool queryDesktopMonitor(Geometry &out)
{
    HWND desktop = GetDesktopWindow();
    if (!desktop)
        return false;

    HMONITOR monitor = MonitorFromWindow(desktop, MONITOR_DEFAULTTONEAREST);

    MONITORINFOEXW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info))
        return false;

    DEVMODEW mode;
    ZeroMemory(&mode, sizeof mode);
    mode.dmSize = sizeof mode;
    mode.dmDriverExtra = 0;
    if (!EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode))
        return false;

    const int width = info.rcMonitor.right - info.rcMonitor.left;
    // The caller divides the mode width by this one.
    if (width == 0)
        return false;

    // Only now, with every value read, does the caller see anything.
    out.screenWidth = width;
    out.screenHeight = info.rcMonitor.bottom - info.rcMonitor.top;
    out.pixelWidth = static_cast<int>(mode.dmPelsWidth);
    out.pixelHeight = static_cast<int>(mode.dmPelsHeight);
    return true;
}

} // namespace screen
} // namespace vask
