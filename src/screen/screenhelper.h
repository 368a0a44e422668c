#ifndef VASKSUPPORT_SCREEN_SCREENHELPER_H
#define VASKSUPPORT_SCREEN_SCREENHELPER_H

#include "vasksupport_global.h"

// The size of the screen the desktop lies on, measured two ways: the monitor
// rectangle as this process sees it, and the pixels of the display's current
// mode. Their width ratio tells a host how far the system scales its output
// (DPI virtualisation on Windows, a scaled or user-defined monitor on X11).
class VASKSUPPORT_EXPORT ScreenHelper
{
public:
    ScreenHelper();
    ~ScreenHelper();
    ScreenHelper(const ScreenHelper &) = default;
    // Holds nothing, so copies nothing.
    ScreenHelper &operator=(const ScreenHelper &);

    // Writes the monitor rectangle's width and height, the current mode's
    // width and height, and pixelWidth / screenWidth, then returns true.
    // Returns false, leaving all five untouched, when there is no desktop or
    // its monitor or mode can't be read.
    static bool screenPropties(int &screenWidth, int &screenHeight, int &pixelWidth, int &pixelHeight,
                               double &pixelRatio);
};

#endif // VASKSUPPORT_SCREEN_SCREENHELPER_H
