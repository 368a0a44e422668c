#include "xserver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vasktest {

namespace {

// The descriptor on which Xvfb reports its display number once it accepts
// connections.
constexpr int kDisplayFd = 9;

std::vector<char *> argvOf(std::vector<std::string> &args)
{
    std::vector<char *> out;
    for (std::string &a : args)
        out.push_back(&a[0]);
    out.push_back(nullptr);
    return out;
}

int spawnQuiet(std::vector<std::string> args, int extraFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (extraFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, extraFd, kDisplayFd);
    std::vector<char *> argv = argvOf(args);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

} // namespace

Xvfb::Xvfb(const std::vector<std::string> &args)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> command = {"Xvfb", "-displayfd", std::to_string(kDisplayFd), "-nolisten", "tcp",
                                        // Keeps monitors that a tool defined after it disconnects.
                                        "-noreset"};
    command.insert(command.end(), args.begin(), args.end());
    mPid = spawnQuiet(command, fds[1]);
    close(fds[1]);
    std::string text;
    pollfd p{fds[0], POLLIN, 0};
    while (mPid > 0 && text.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    close(fds[0]);
    if (text.find('\n') == std::string::npos) {
        stop();
        return;
    }
    mNumber = std::atoi(text.c_str());
}

Xvfb::~Xvfb()
{
    stop();
}

void Xvfb::stop()
{
    if (mPid <= 0)
        return;
    kill(mPid, SIGTERM);
    int status = 0;
    while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mPid = -1;
}

std::string unusedDisplay()
{
    for (int n = 640; n < 700; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (access(socket.c_str(), F_OK) != 0 && access(lock.c_str(), F_OK) != 0)
            return ":" + std::to_string(n);
    }
    return std::string();
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : mName(name)
{
    const char *old = std::getenv(name);
    mHadOld = old != nullptr;
    if (old)
        mOld = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (mHadOld)
        setenv(mName.c_str(), mOld.c_str(), 1);
    else
        unsetenv(mName.c_str());
}

int runTool(const std::vector<std::string> &argv)
{
    const int pid = spawnQuiet(argv, -1);
    if (pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string captureStderr(const std::function<void()> &fn)
{
    char path[] = "/tmp/vask-stderr-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0)
        return "(cannot capture standard error)";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    fn();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return text;
}

} // namespace vasktest
