#ifndef VASK_TEST_XSERVER_H
#define VASK_TEST_XSERVER_H

// Real X servers, and servers that let their client down, for the screen tests.

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vasktest {

// A server on a display number it picks itself (-displayfd), stopped when the
// object goes. Xvfb has one output per screen; Xorg's dummy driver sixteen.
class XServer
{
public:
    enum Kind { Xvfb, XorgDummy };
    XServer(Kind kind, const std::vector<std::string> &args); // args: besides the display choice
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    bool running() const { return mPid > 0; }
    int pid() const { return mPid; }
    int number() const { return mNumber; }
    std::string display() const { return ":" + std::to_string(mNumber); }

private:
    void stop();

    int mPid = -1;
    int mNumber = -1;
    std::string mDir; // Xorg's configuration and log
};

// Sets (or, with nullptr, removes) an environment variable until destroyed.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string mName, mOld;
    bool mHadOld;
};

// Runs xrandr with these space-separated arguments on DISPLAY; true on success.
bool xrandr(const std::string &args);

// Listens on 127.0.0.1 (display()) and forwards one client to a local
// server, but passes only the first `cut` bytes of the server's answers;
// then it goes silent, or closes the connection when closeAtCut.
class Relay
{
public:
    Relay(int serverNumber, size_t cut, bool closeAtCut);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    std::string display() const { return "127.0.0.1:" + std::to_string(mNumber); }
    void pump(); // moves whatever is ready, without waiting
    size_t passed() const { return mPassed; }

private:
    int mServerNumber, mNumber = -1, mListen = -1, mClient = -1, mServer = -1;
    size_t mCut, mPassed = 0;
    bool mCloseAtCut;
};

struct ChildResult {
    bool passed = false; // exited with 0 before the timeout
    std::string report;
};

// Runs body in a forked child that exits with body's result and sends back
// its report; kills it after timeoutMs. tick(elapsed ms) runs about every ms.
ChildResult runChild(const std::function<int(std::string &report)> &body, int timeoutMs,
                     const std::function<void(int)> &tick = {});

// An Xlib client on DISPLAY makes X errors until stop, switching between two
// error handlers of its own every 100. True when each error reached the
// handler set for it.
bool xlibHostRuns(const std::atomic<bool> &stop, std::string &report);

} // namespace vasktest

#endif
