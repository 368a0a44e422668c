// The screen query on X11. The desktop window is the root window of the
// screen that DISPLAY names; its monitor is the RandR monitor marked primary,
// else the one holding the root's origin, else the first. The rectangle is
// that monitor's geometry; the pixel size is what the CRTCs of its outputs
// show together in their current modes, so a monitor defined smaller than
// its mode (or a scaled output) gives a ratio other than 1, as DPI
// virtualisation does on Windows, and one monitor over several outputs counts
// all of them.
//
// The whole query, from connecting to the last reply, ends at one deadline
// whatever the server does. It changes nothing in the process (no handlers,
// no signal dispositions, no standard streams), loads no library and keeps
// nothing between calls.
#include "screen_layout_p.h"
#include "screen_platform_p.h"
#include "xclient_p.h"

#include <xcb/randr.h>

#include <algorithm>

namespace vask {
namespace screen {

namespace {

// A local server answers a whole query in about a millisecond, a remote one
// in six round trips.
constexpr std::chrono::milliseconds kQueryBudget {500};

struct Monitor {
    MonitorArea area;
    std::vector<XId> outputs;
};

// RandR's major opcode when the server has RandR 1.5 (monitors), 0 when it
// has no monitors to list, -1 when the server didn't answer.
int randrOpcode(XClient &x)
{
    static const char kName[] = "RANDR";
    xcb_query_extension_request_t ask {};
    ask.major_opcode = XCB_QUERY_EXTENSION;
    ask.name_len = sizeof kName - 1;
    xcb_query_extension_reply_t extension;
    const Pending query = x.request(ask, kName);
    if (!x.flush() || !readAt(x.reply(query), 0, extension))
        return -1;
    if (!extension.present)
        return 0;
    xcb_randr_query_version_request_t version {};
    version.major_opcode = extension.major_opcode;
    version.minor_opcode = XCB_RANDR_QUERY_VERSION;
    version.major_version = 1;
    version.minor_version = 5;
    xcb_randr_query_version_reply_t answer;
    const Pending sequence = x.request(version);
    if (!x.flush() || !readAt(x.reply(sequence), 0, answer))
        return -1;
    const bool monitors = answer.major_version > 1 || (answer.major_version == 1 && answer.minor_version >= 5);
    return monitors ? extension.major_opcode : 0;
}

bool readMonitors(const std::string &reply, std::vector<Monitor> &monitors)
{
    xcb_randr_get_monitors_reply_t head;
    if (!readAt(reply, 0, head))
        return false;
    size_t at = sizeof head;
    for (uint32_t i = 0; i < head.nMonitors; ++i) {
        xcb_randr_monitor_info_t m;
        Monitor monitor;
        if (!readAt(reply, at, m) || !readArrayAt(reply, at + sizeof m, m.nOutput, monitor.outputs))
            return false;
        monitor.area = {{m.x, m.y, m.width, m.height}, m.primary != 0};
        monitors.push_back(monitor);
        at += sizeof m + m.nOutput * sizeof(xcb_randr_output_t);
    }
    return true;
}

bool crtcArea(const std::string &reply, const std::vector<xcb_randr_mode_info_t> &modes, CrtcArea &out)
{
    xcb_randr_get_crtc_info_reply_t crtc;
    if (!readAt(reply, 0, crtc) || crtc.mode == XCB_NONE)
        return false;
    const auto mode
        = std::find_if(modes.begin(), modes.end(), [&](const xcb_randr_mode_info_t &m) { return m.id == crtc.mode; });
    if (mode == modes.end())
        return false;
    // A mode is listed unrotated; a quarter turn shows it the other way
    // round, as the display settings of a portrait monitor do on Windows.
    const bool quarterTurn = (crtc.rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
    out = {{crtc.x, crtc.y, crtc.width, crtc.height},
           quarterTurn ? mode->height : mode->width,
           quarterTurn ? mode->width : mode->height};
    return true;
}

bool readMonitor(XClient &x, Geometry &g)
{
    const int opcode = randrOpcode(x);
    if (opcode < 0)
        return false;
    if (opcode == 0) {
        // No monitor list: the screen is the one monitor and its size the mode.
        g = {x.width(), x.height(), x.width(), x.height()};
        return true;
    }

    xcb_randr_get_monitors_request_t askMonitors {};
    askMonitors.major_opcode = uint8_t(opcode);
    askMonitors.minor_opcode = XCB_RANDR_GET_MONITORS;
    askMonitors.window = x.root();
    askMonitors.get_active = 1;
    xcb_randr_get_screen_resources_current_request_t askResources {};
    askResources.major_opcode = uint8_t(opcode);
    askResources.minor_opcode = XCB_RANDR_GET_SCREEN_RESOURCES_CURRENT;
    askResources.window = x.root();
    const Pending monitorsRequest = x.request(askMonitors);
    const Pending resourcesRequest = x.request(askResources);
    if (!x.flush())
        return false;
    std::vector<Monitor> monitors;
    if (!readMonitors(x.reply(monitorsRequest), monitors))
        return false;
    const std::string resourcesReply = x.reply(resourcesRequest);
    xcb_randr_get_screen_resources_current_reply_t resources;
    std::vector<XId> crtcs;
    std::vector<xcb_randr_mode_info_t> modes;
    if (!readAt(resourcesReply, 0, resources))
        return false;
    // CRTCs, then outputs, then modes.
    const size_t modesAt = sizeof resources + (size_t(resources.num_crtcs) + resources.num_outputs) * 4;
    if (!readArrayAt(resourcesReply, sizeof resources, resources.num_crtcs, crtcs)
        || !readArrayAt(resourcesReply, modesAt, resources.num_modes, modes))
        return false;

    std::vector<MonitorArea> areas;
    areas.reserve(monitors.size());
    for (const Monitor &m : monitors)
        areas.push_back(m.area);
    const int chosen = chooseMonitor(areas);
    if (chosen < 0)
        return false;
    const Monitor &monitor = monitors[size_t(chosen)];

    // One round trip for both: which CRTC drives each of the monitor's
    // outputs, and what every CRTC shows.
    std::vector<Pending> outputRequests, crtcRequests;
    for (const XId output : monitor.outputs) {
        xcb_randr_get_output_info_request_t ask {};
        ask.major_opcode = uint8_t(opcode);
        ask.minor_opcode = XCB_RANDR_GET_OUTPUT_INFO;
        ask.output = output.value;
        ask.config_timestamp = resources.config_timestamp;
        outputRequests.push_back(x.request(ask));
    }
    for (const XId crtc : crtcs) {
        xcb_randr_get_crtc_info_request_t ask {};
        ask.major_opcode = uint8_t(opcode);
        ask.minor_opcode = XCB_RANDR_GET_CRTC_INFO;
        ask.crtc = crtc.value;
        ask.config_timestamp = resources.config_timestamp;
        crtcRequests.push_back(x.request(ask));
    }
    if (!x.flush())
        return false;
    std::vector<XId> driving;
    for (const Pending request : outputRequests) {
        xcb_randr_get_output_info_reply_t output;
        if (readAt(x.reply(request), 0, output) && output.crtc != XCB_NONE)
            driving.push_back({output.crtc});
    }
    std::vector<CrtcArea> shown, corner;
    for (size_t i = 0; i < crtcs.size(); ++i) {
        CrtcArea area;
        if (!crtcArea(x.reply(crtcRequests[i]), modes, area))
            continue;
        if (std::any_of(driving.begin(), driving.end(), [&](XId d) { return d.value == crtcs[i].value; }))
            shown.push_back(area);
        else if (corner.empty() && contains(area.area, monitor.area.area.x, monitor.area.area.y))
            corner.push_back(area);
    }
    // A monitor defined without outputs (or whose outputs are off) shows
    // what the CRTC under its top-left corner shows.
    int pixelWidth = 0, pixelHeight = 0;
    if (!combinedPixels(shown.empty() ? corner : shown, pixelWidth, pixelHeight))
        return false;
    g = {monitor.area.area.width, monitor.area.area.height, pixelWidth, pixelHeight};
    return true;
}

} // namespace

bool queryDesktopMonitor(Geometry &out)
{
    const Deadline deadline(kQueryBudget);
    XClient x(deadline);
    Geometry g {};
    if (!x.ok() || !readMonitor(x, g) || g.screenWidth == 0)
        return false;
    out = g;
    return true;
}

} // namespace screen
} // namespace vask
