#ifndef VASK_TEST_XSERVER_H
#define VASK_TEST_XSERVER_H

// A real X server for the screen tests: Xvfb on a display number it picks
// itself (so parallel tests never collide), stopped when the object goes.

#include <functional>
#include <string>
#include <vector>

namespace vasktest {

class Xvfb
{
public:
    // args: what follows "Xvfb" besides the display choice, for example
    // {"-screen", "0", "1920x1080x24"}.
    explicit Xvfb(const std::vector<std::string> &args);
    ~Xvfb();
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;

    bool running() const { return mPid > 0; }
    int number() const { return mNumber; }
    std::string display() const { return ":" + std::to_string(mNumber); }
    void stop();

private:
    int mPid = -1;
    int mNumber = -1;
};

// A display name no server holds: a high number, far from the ones that
// Xvfb's own choice starts with, without socket or lock file.
std::string unusedDisplay();

// Sets (or, with nullptr, removes) an environment variable until destroyed.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string mName;
    std::string mOld;
    bool mHadOld;
};

// Runs a program from PATH with the current environment, its output
// discarded; returns its exit status (-1 when it could not run).
int runTool(const std::vector<std::string> &argv);

// Runs fn with file descriptor 2 sent to a file and returns what was
// written there, whoever wrote it.
std::string captureStderr(const std::function<void()> &fn);

} // namespace vasktest

#endif
