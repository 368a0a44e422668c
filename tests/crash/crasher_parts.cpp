// The pieces of dump_crasher's steps that are more than a line: how its
// threads and processes meet, and what it takes from the system.
#include "crasher_parts.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

void check(bool ok, const char *what)
{
    if (!ok) {
        std::perror(what);
        std::exit(3);
    }
}

// Runs `body` on `n` threads that start it at the same moment.
void together(int n, const std::function<void(int)> &body)
{
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            for (arrived.fetch_add(1); arrived.load() < n;) {
            }
            body(i);
        });
    for (std::thread &t : threads)
        t.join();
}

// Allocates and frees all the time, so that the crash lands while this
// thread holds the allocator's locks.
void churn()
{
    std::vector<void *> live(64, nullptr);
    for (unsigned n = 1;; n = n * 1103515245u + 12345u) {
        const unsigned slot = (n >> 8) % live.size();
        std::free(live[slot]);
        live[slot] = std::malloc(16 + (n >> 12) % 4096);
        static_cast<volatile char *>(live[slot])[0] = 1;
    }
}

// Maps a file shared: `size` bytes of it, made that long.
char *mapFile(const std::string &path, std::size_t size)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    check(fd >= 0 && ftruncate(fd, off_t(size)) == 0 && p != MAP_FAILED, path.c_str());
    return static_cast<char *>(p);
}

void limit(int resource, const std::string &value)
{
    const rlimit to = {rlim_t(std::atoll(value.c_str())), rlim_t(std::atoll(value.c_str()))};
    check(setrlimit(resource, &to) == 0, "setrlimit");
}

// Forks `n` processes that go on from the same moment, in a group of their
// own; waits for them and for what they fork (as their subreaper), printing
// how each ended, and kills the group after 20 s. True in the children.
bool spawn(int n)
{
    void *shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    check(shared != MAP_FAILED && prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "spawn");
    auto *gate = new (shared) std::atomic<int>(0);
    pid_t group = 0;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        check(pid >= 0, "fork");
        setpgid(pid, group); // the first one leads the group
        if (pid == 0) {
            for (gate->fetch_add(1); gate->load() < n;) {
            }
            return true;
        }
        group = group ? group : pid;
    }
    std::thread([group] { sleep(20), kill(-group, SIGKILL); }).detach();
    for (int status = 0; wait(&status) > 0;)
        std::printf("child ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return false;
}

// Takes every descriptor but `free` (from at most 65536).
void takeDescriptors(int free)
{
    rlimit files = {};
    check(getrlimit(RLIMIT_NOFILE, &files) == 0, "getrlimit");
    if (files.rlim_cur > 65536)
        limit(RLIMIT_NOFILE, "65536");
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        taken.push_back(fd);
    check(errno == EMFILE, "open");
    for (; free > 0 && !taken.empty(); --free, taken.pop_back())
        close(taken.back());
}

