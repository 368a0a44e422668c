#include "screenhelper.h"

#include "screen_platform_p.h"

ScreenHelper::ScreenHelper() = default;

ScreenHelper::~ScreenHelper() = default;

ScreenHelper &ScreenHelper::operator=(const ScreenHelper &)
{
    return *this;
}

bool ScreenHelper::screenPropties(int &screenWidth, int &screenHeight, int &pixelWidth, int &pixelHeight,
                                  double &pixelRatio)
{
    vask::screen::Geometry g;
    if (!vask::screen::queryDesktopMonitor(g))
        return false;
    screenWidth = g.screenWidth;
    screenHeight = g.screenHeight;
    pixelWidth = g.pixelWidth;
    pixelHeight = g.pixelHeight;
    pixelRatio = double(pixelWidth) / double(screenWidth);
    return true;
}
