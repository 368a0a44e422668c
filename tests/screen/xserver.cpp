#include "xserver.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace vasktest {

namespace {

constexpr int kDisplayFd = 9; // where the server writes its display number

int spawnQuiet(std::vector<std::string> args, int displayFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (displayFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, displayFd, kDisplayFd);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int waitFor(int pid)
{
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A screen wide enough for two 1920x1080 outputs side by side, and nothing
// taken from the machine: no input devices, no console switch (-sharevts).
const char kDummyConfig[] = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoAddGPU" "false"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 65536
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  SubSection "Display"
    Virtual 3840 1080
  EndSubSection
EndSection
)";

} // namespace

XServer::XServer(Kind kind, const std::vector<std::string> &args)
{
    std::vector<std::string> command = {"Xvfb"};
    char dir[] = "/tmp/vask-xorg-XXXXXX";
    if (kind == XorgDummy && mkdtemp(dir)) {
        mDir = dir;
        std::ofstream(mDir + "/dummy.conf") << kDummyConfig;
        command = {"Xorg", "-config", mDir + "/dummy.conf", "-logfile", mDir + "/log", "-sharevts", "-novtswitch"};
    }
    // -noreset keeps monitors that xrandr defined after it disconnects.
    command.insert(command.end(), {"-displayfd", std::to_string(kDisplayFd), "-nolisten", "tcp", "-noreset"});
    command.insert(command.end(), args.begin(), args.end());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    mPid = spawnQuiet(command, fds[1]);
    close(fds[1]);
    std::string text;
    pollfd p{fds[0], POLLIN, 0};
    char buf[32];
    for (ssize_t n = 1; mPid > 0 && n > 0 && text.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0;)
        text.append(buf, size_t(std::max<ssize_t>(0, n = read(fds[0], buf, sizeof buf))));
    close(fds[0]);
    mNumber = text.find('\n') == std::string::npos ? -1 : std::atoi(text.c_str());
    if (mNumber < 0)
        stop();
}

XServer::~XServer()
{
    stop();
}

void XServer::stop()
{
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        kill(mPid, SIGCONT); // a stopped server acts on SIGTERM once continued
        waitFor(mPid);
    }
    mPid = -1;
    std::error_code ignored;
    if (!mDir.empty())
        std::filesystem::remove_all(mDir, ignored);
    mDir.clear();
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : mName(name)
{
    const char *old = std::getenv(name);
    mHadOld = old != nullptr;
    mOld = old ? old : "";
    value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    mHadOld ? setenv(mName.c_str(), mOld.c_str(), 1) : unsetenv(mName.c_str());
}

bool xrandr(const std::string &args)
{
    std::vector<std::string> argv = {"xrandr"};
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    const int status = waitFor(spawnQuiet(argv, -1));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Relay::Relay(int serverNumber, size_t cut, bool closeAtCut)
    : mServerNumber(serverNumber), mCut(cut), mCloseAtCut(closeAtCut)
{
    mListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    for (int n = 100; n < 200 && mNumber < 0; ++n) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(6000 + n));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(mListen, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(mListen, 4) == 0)
            mNumber = n;
    }
}

Relay::~Relay()
{
    for (int fd : {mListen, mClient, mServer})
        if (fd >= 0)
            close(fd);
}

void Relay::pump()
{
    if (mServer < 0 && (mClient = accept4(mListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", mServerNumber);
        mServer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(mServer, reinterpret_cast<sockaddr *>(&address), sizeof address);
        fcntl(mServer, F_SETFL, O_NONBLOCK);
    }
    char buf[4096];
    ssize_t n = 0;
    while (mClient >= 0 && (n = recv(mClient, buf, sizeof buf, 0)) > 0)
        send(mServer, buf, size_t(n), MSG_NOSIGNAL);
    while (mClient >= 0 && mPassed < mCut && (n = recv(mServer, buf, std::min(sizeof buf, mCut - mPassed), 0)) > 0) {
        mPassed += size_t(n);
        for (ssize_t sent = 0, k = 0; sent < n && k >= 0; sent += k)
            k = send(mClient, buf + sent, size_t(n - sent), MSG_NOSIGNAL);
    }
    if (mClient >= 0 && mPassed >= mCut && mCloseAtCut) {
        close(mClient);
        mClient = -1;
    }
}

ChildResult runChild(const std::function<int(std::string &)> &body, int timeoutMs, const std::function<void(int)> &tick)
{
    ChildResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = fork();
    if (pid == 0) {
        std::string report;
        const int code = body(report);
        (void)!write(fds[1], report.data(), report.size());
        _exit(code);
    }
    close(fds[1]);
    const auto start = std::chrono::steady_clock::now();
    bool timedOut = false;
    for (ssize_t n = 1; n > 0 && !timedOut;) {
        pollfd p{fds[0], POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, 1) > 0 && (n = read(fds[0], buf, sizeof buf)) > 0)
            result.report.append(buf, size_t(n));
        using namespace std::chrono;
        const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
        if (tick)
            tick(int(ms));
        if ((timedOut = ms > timeoutMs))
            kill(pid, SIGKILL);
    }
    close(fds[0]);
    const int status = waitFor(pid);
    result.passed = !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (timedOut)
        result.report += " (killed after " + std::to_string(timeoutMs) + " ms)";
    return result;
}

namespace {

std::atomic<int> gXlibErrors[2];

template <int Handler>
int countXlibError(Display *, XErrorEvent *)
{
    ++gXlibErrors[Handler];
    return 0;
}

} // namespace

bool xlibHostRuns(const std::atomic<bool> &stop, std::string &report)
{
    Display *x = XOpenDisplay(nullptr);
    int made[2] = {0, 0};
    XWindowAttributes attributes;
    for (int i = 0; x && !stop; ++i) {
        const int handler = i / 100 % 2;
        if (i % 100 == 0)
            XSetErrorHandler(handler ? countXlibError<1> : countXlibError<0>);
        XGetWindowAttributes(x, 1, &attributes); // no such window
        ++made[handler];
    }
    if (x)
        XCloseDisplay(x);
    const int astray = std::abs(gXlibErrors[0] - made[0]);
    report = std::to_string(made[0] + made[1]) + " Xlib errors, " + std::to_string(astray) + " to the wrong handler";
    return x && made[1] > 0 && astray == 0 && gXlibErrors[1] == made[1];
}

} // namespace vasktest
