// The screen query on X11. The desktop window is the root window of the
// display that DISPLAY names; its monitor is the RandR monitor marked
// primary, else the one holding the root's origin, else the first. The
// rectangle is that monitor's geometry; the pixel size is the current mode of
// the CRTC that drives it, so a monitor defined smaller than its mode (or a
// scaled output) gives a ratio other than 1, as DPI virtualisation does on
// Windows.
//
// libX11 and libXrandr are opened at call time so that the library has no
// link-time dependency on X and still loads on a headless machine; the X
// headers are used for the types only.
#include "screen_platform.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

// The tests build this file with names that don't exist to check the
// missing-library path.
#ifndef VASK_X11_LIBRARY
#define VASK_X11_LIBRARY "libX11.so.6"
#endif
#ifndef VASK_XRANDR_LIBRARY
#define VASK_XRANDR_LIBRARY "libXrandr.so.2"
#endif

namespace vask { namespace screen {

namespace {

struct XApi {
    bool ok = false;
    Display *(*openDisplay)(const char *) = nullptr;
    int (*closeDisplay)(Display *) = nullptr;
    Window (*defaultRootWindow)(Display *) = nullptr;
    int (*defaultScreen)(Display *) = nullptr;
    int (*displayWidth)(Display *, int) = nullptr;
    int (*displayHeight)(Display *, int) = nullptr;
    XErrorHandler (*setErrorHandler)(XErrorHandler) = nullptr;
    int (*sync)(Display *, Bool) = nullptr;
    Bool (*queryExtension)(Display *, const char *, int *, int *, int *) = nullptr;

    Status (*queryVersion)(Display *, int *, int *) = nullptr;
    XRRMonitorInfo *(*getMonitors)(Display *, Window, Bool, int *) = nullptr;
    void (*freeMonitors)(XRRMonitorInfo *) = nullptr;
    XRRScreenResources *(*getScreenResourcesCurrent)(Display *, Window) = nullptr;
    void (*freeScreenResources)(XRRScreenResources *) = nullptr;
    XRROutputInfo *(*getOutputInfo)(Display *, XRRScreenResources *, RROutput) = nullptr;
    void (*freeOutputInfo)(XRROutputInfo *) = nullptr;
    XRRCrtcInfo *(*getCrtcInfo)(Display *, XRRScreenResources *, RRCrtc) = nullptr;
    void (*freeCrtcInfo)(XRRCrtcInfo *) = nullptr;
};

template <typename Fn>
bool resolve(void *library, const char *name, Fn &fn)
{
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

XApi loadApi()
{
    XApi x;
    // Never closed again: libX11 sets up its thread locks when it is loaded,
    // and the host may hold its own handle to the same libraries.
    void *x11 = dlopen(VASK_X11_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    void *xrandr = x11 ? dlopen(VASK_XRANDR_LIBRARY, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!x11 || !xrandr)
        return x;
    x.ok = resolve(x11, "XOpenDisplay", x.openDisplay) && resolve(x11, "XCloseDisplay", x.closeDisplay)
        && resolve(x11, "XDefaultRootWindow", x.defaultRootWindow)
        && resolve(x11, "XDefaultScreen", x.defaultScreen) && resolve(x11, "XDisplayWidth", x.displayWidth)
        && resolve(x11, "XDisplayHeight", x.displayHeight)
        && resolve(x11, "XSetErrorHandler", x.setErrorHandler) && resolve(x11, "XSync", x.sync)
        && resolve(x11, "XQueryExtension", x.queryExtension)
        && resolve(xrandr, "XRRQueryVersion", x.queryVersion)
        && resolve(xrandr, "XRRGetMonitors", x.getMonitors) && resolve(xrandr, "XRRFreeMonitors", x.freeMonitors)
        && resolve(xrandr, "XRRGetScreenResourcesCurrent", x.getScreenResourcesCurrent)
        && resolve(xrandr, "XRRFreeScreenResources", x.freeScreenResources)
        && resolve(xrandr, "XRRGetOutputInfo", x.getOutputInfo)
        && resolve(xrandr, "XRRFreeOutputInfo", x.freeOutputInfo)
        && resolve(xrandr, "XRRGetCrtcInfo", x.getCrtcInfo) && resolve(xrandr, "XRRFreeCrtcInfo", x.freeCrtcInfo);
    return x;
}

const XApi &api()
{
    static const XApi loaded = loadApi();
    return loaded;
}

// Xlib's error handler is one per process. While a query runs, errors on our
// own connection are noted instead of printed (the default handler would also
// exit); errors on any other connection still go to whoever handled them
// before. The mutex keeps two queries from swapping the handler at once;
// the handler itself may run on a host thread, hence the atomics.
std::mutex gQueryMutex;
std::atomic<Display *> gTrappedDisplay{nullptr};
std::atomic<XErrorHandler> gPreviousHandler{nullptr};
std::atomic<bool> gErrorSeen{false};

int onXError(Display *display, XErrorEvent *event)
{
    if (display == gTrappedDisplay) {
        gErrorSeen = true;
        return 0;
    }
    const XErrorHandler previous = gPreviousHandler;
    return previous ? previous(display, event) : 0;
}

class ErrorTrap
{
public:
    ErrorTrap(const XApi &x, Display *display) : mX(x), mDisplay(display)
    {
        gTrappedDisplay = display;
        gErrorSeen = false;
        gPreviousHandler = x.setErrorHandler(onXError);
    }
    ~ErrorTrap()
    {
        mX.setErrorHandler(gPreviousHandler);
        gTrappedDisplay = nullptr;
    }
    ErrorTrap(const ErrorTrap &) = delete;
    ErrorTrap &operator=(const ErrorTrap &) = delete;

    // Waits for every reply and error of the requests made so far.
    bool failed()
    {
        mX.sync(mDisplay, False);
        return gErrorSeen;
    }

private:
    const XApi &mX;
    Display *mDisplay;
};

// libxcb writes a server's refusal reason (for example "Authorization
// required ...") straight to file descriptor 2. A query that fails must stay
// silent, so descriptor 2 points at /dev/null while the connection is made.
// Output of other threads during that moment is lost as well; connecting to
// a local server takes about a millisecond.
class QuietStderr
{
public:
    QuietStderr()
    {
        // A closed descriptor 2 prints nothing anyway; redirecting it would
        // only let the X socket land on 2 and be replaced on the way out.
        if (fcntl(STDERR_FILENO, F_GETFD) < 0)
            return;
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0)
            return;
        mSaved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (mSaved >= 0 && dup2(null, STDERR_FILENO) < 0) {
            close(mSaved);
            mSaved = -1;
        }
        close(null);
    }
    ~QuietStderr()
    {
        if (mSaved >= 0) {
            dup2(mSaved, STDERR_FILENO);
            close(mSaved);
        }
    }
    QuietStderr(const QuietStderr &) = delete;
    QuietStderr &operator=(const QuietStderr &) = delete;

private:
    int mSaved = -1;
};

template <typename T>
using Owned = std::unique_ptr<T, void (*)(T *)>;

bool containsPoint(int x, int y, int width, int height, int px, int py)
{
    return px >= x && py >= y && px - x < width && py - y < height;
}

int pickMonitor(const XRRMonitorInfo *monitors, int count)
{
    for (int i = 0; i < count; ++i)
        if (monitors[i].primary)
            return i;
    for (int i = 0; i < count; ++i)
        if (containsPoint(monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height, 0, 0))
            return i;
    return 0;
}

// The CRTC that drives a monitor: the one of its first output that has a
// CRTC, or, for a monitor defined without outputs, the active CRTC under the
// monitor's top-left corner. 0 (None) when there is none.
RRCrtc crtcOfMonitor(const XApi &x, Display *display, XRRScreenResources *resources, const XRRMonitorInfo &monitor)
{
    for (int i = 0; i < monitor.noutput; ++i) {
        Owned<XRROutputInfo> output(x.getOutputInfo(display, resources, monitor.outputs[i]), x.freeOutputInfo);
        if (output && output->crtc != None)
            return output->crtc;
    }
    for (int i = 0; i < resources->ncrtc; ++i) {
        Owned<XRRCrtcInfo> crtc(x.getCrtcInfo(display, resources, resources->crtcs[i]), x.freeCrtcInfo);
        if (crtc && crtc->mode != None
            && containsPoint(crtc->x, crtc->y, int(crtc->width), int(crtc->height), monitor.x, monitor.y))
            return resources->crtcs[i];
    }
    return None;
}

bool readMonitor(const XApi &x, Display *display, Geometry &g)
{
    const Window root = x.defaultRootWindow(display);
    // Asked of Xlib, not libXrandr: libXrandr keeps a record per connection
    // that it never frees when the server lacks the extension.
    int opcode = 0, eventBase = 0, errorBase = 0, major = 0, minor = 0;
    const bool hasMonitors = x.queryExtension(display, "RANDR", &opcode, &eventBase, &errorBase)
        && x.queryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
    if (!hasMonitors) {
        // Without RandR 1.5 there is no monitor list: the screen is the one
        // monitor and its size is the mode.
        const int screen = x.defaultScreen(display);
        g.screenWidth = g.pixelWidth = x.displayWidth(display, screen);
        g.screenHeight = g.pixelHeight = x.displayHeight(display, screen);
        return true;
    }

    int count = 0;
    Owned<XRRMonitorInfo> monitors(x.getMonitors(display, root, True, &count), x.freeMonitors);
    if (!monitors || count <= 0)
        return false;
    const XRRMonitorInfo &monitor = monitors.get()[pickMonitor(monitors.get(), count)];

    Owned<XRRScreenResources> resources(x.getScreenResourcesCurrent(display, root), x.freeScreenResources);
    if (!resources)
        return false;
    const RRCrtc crtcId = crtcOfMonitor(x, display, resources.get(), monitor);
    if (crtcId == None)
        return false;
    Owned<XRRCrtcInfo> crtc(x.getCrtcInfo(display, resources.get(), crtcId), x.freeCrtcInfo);
    if (!crtc || crtc->mode == None)
        return false;
    for (int i = 0; i < resources->nmode; ++i) {
        const XRRModeInfo &mode = resources->modes[i];
        if (mode.id != crtc->mode)
            continue;
        // A mode is listed unrotated; a rotated CRTC shows it the other way
        // round, as the display settings of a portrait monitor do on Windows.
        const bool quarterTurn = (crtc->rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0;
        g.screenWidth = monitor.width;
        g.screenHeight = monitor.height;
        g.pixelWidth = int(quarterTurn ? mode.height : mode.width);
        g.pixelHeight = int(quarterTurn ? mode.width : mode.height);
        return true;
    }
    return false;
}

} // namespace

bool queryDesktopMonitor(Geometry &out)
{
    const XApi &x = api();
    if (!x.ok)
        return false;
    std::lock_guard<std::mutex> lock(gQueryMutex);
    Display *display = nullptr;
    {
        QuietStderr quiet;
        display = x.openDisplay(nullptr); // the display named by DISPLAY
    }
    if (!display)
        return false;

    Geometry g{};
    bool ok = false;
    {
        ErrorTrap trap(x, display);
        ok = readMonitor(x, display, g);
        ok = !trap.failed() && ok;
    }
    x.closeDisplay(display);
    if (!ok || g.screenWidth == 0)
        return false;
    out = g;
    return true;
}

} }
