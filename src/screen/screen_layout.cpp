#include "screen_layout_p.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace vask {
namespace screen {

int chooseMonitor(const std::vector<MonitorArea> &monitors)
{
    for (size_t i = 0; i < monitors.size(); ++i)
        if (monitors[i].primary)
            return int(i);
    for (size_t i = 0; i < monitors.size(); ++i)
        if (contains(monitors[i].area, 0, 0))
            return int(i);
    return monitors.empty() ? -1 : 0;
}

bool combinedPixels(const std::vector<CrtcArea> &crtcs, int &width, int &height)
{
    int left = INT_MAX, top = INT_MAX;
    for (const CrtcArea &c : crtcs) {
        if (c.area.width > 0 && c.area.height > 0) {
            left = std::min(left, c.area.x);
            top = std::min(top, c.area.y);
        }
    }
    if (left == INT_MAX)
        return false;
    // 64-bit: offsets times mode sizes can pass the range of int.
    int64_t right = 0, bottom = 0;
    for (const CrtcArea &c : crtcs) {
        if (c.area.width <= 0 || c.area.height <= 0)
            continue;
        const int64_t x = (int64_t(c.area.x) - left) * c.modeWidth / c.area.width;
        const int64_t y = (int64_t(c.area.y) - top) * c.modeHeight / c.area.height;
        right = std::max(right, x + c.modeWidth);
        bottom = std::max(bottom, y + c.modeHeight);
    }
    if (right <= 0 || bottom <= 0 || right > INT_MAX || bottom > INT_MAX)
        return false;
    width = int(right);
    height = int(bottom);
    return true;
}

} // namespace screen
} // namespace vask
