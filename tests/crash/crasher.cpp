// A host that installs the crash handler and dies the way it is told, for
// dump_test to watch from outside. Its arguments are steps, run in order:
//   base=DIR     FileHelper::setBaseDirPath(DIR)
//   setup        DmpHelper::setupDump()
//   prior        a SIGSEGV handler of our own, which setupDump() must drop
//   threads=N    N idle threads
//   noptrace     ptrace fails with EPERM, as in a container
//   trap=C       a sandbox traps C (ptrace, clone or the PAGEMAP_SCAN ioctl)
//   blocker      a thread that blocks every signal
//   fds=N        every descriptor taken but N
//   keeptracer   naming a tracer (PR_SET_PTRACER) kills the process: the
//                host's own choice must stay
//   noauxv       prctl(PR_GET_AUXV) fails, as before Linux 6.4
//   altstack=F   the 8 KiB file F, mapped shared, as this thread's alternate
//                signal stack
//   notdumpable  PR_SET_DUMPABLE 0 and, as root, become nobody
//   as=N         RLIMIT_AS: no new mapping can be made (a small N)
//   fsize=N      RLIMIT_FSIZE: writes past N bytes fail, as on a full disk
//   tmpfile=F    64 MiB of F mapped shared, one page touched; at the end
//                prints "file blocks <allocated blocks of F>"
//   mainexits    the main thread exits; a new one runs the remaining steps
//   late         arms a library that faults in its finalizer, which runs
//                after this library's statics are destroyed
// then ways to die: fault=s, f, i or t (SIGSEGV, SIGFPE, SIGILL or SIGTRAP
// in vaskFault), abort, stack, threadstack (an
// overflow on a thread that called setupDump()) threads4 (four threads fault
// at once) malloc (while another thread allocates), twins=N (N processes
// forked from this one fault at once; this one waits for them and prints
// "child ended by signal <s>" for each), and dumps asked for:
// direct, together (two threads at once), racecrash (one of them faults).
// Each prints "result <return value>". After the last step it prints
// "survived" and exits 0.
//
// The faults are written in assembly so the compiler (or UBSan) can't turn
// them into something else.
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "deny.h"
#include "dmphelper.h"
#include "filehelper.h"

extern "C" {

void vaskLateArm(); // late.cpp

// One frame that faults the way it is told: the top of the backtrace.
__attribute__((noinline)) void vaskFault(char how)
{
    static volatile std::uintptr_t null = 0;
    static volatile int zero = 0;
    int dividend = 1;
    if (how == 's')
        __asm__ volatile("movl $1, (%0)" : : "r"(null) : "memory");
    else if (how == 'f')
        __asm__ volatile("cltd\n\tidivl %1" : "+a"(dividend) : "r"(zero) : "rdx", "cc");
    else if (how == 'i')
        __asm__ volatile("ud2");
    else
        __asm__ volatile("int3");
    __asm__ volatile("" ::: "memory"); // keeps this frame: no tail call
}

// Recurses until the stack runs out; the limit only hides that from the
// compiler.
__attribute__((noinline)) int vaskRecurse(int depth)
{
    static volatile int limit = 1 << 30;
    volatile char frame[512];
    frame[0] = char(depth);
    return depth >= limit ? 0 : vaskRecurse(depth + 1) + frame[0];
}

} // extern "C"

namespace {

std::atomic<bool> gStop{false};
std::vector<std::thread> gPool;
std::vector<std::string> gSteps;
std::size_t gNext = 0;
std::string gTmpFile;

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

int runSteps();

void *runRestOnThread(void *)
{
    usleep(100 * 1000); // until the main thread is gone
    std::exit(runSteps());
}

// Forks `n` processes that fault at the same moment, and waits for them.
void twins(int n)
{
    void *shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    check(shared != MAP_FAILED, "mmap");
    auto *gate = new (shared) std::atomic<int>(0);
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        check(pid >= 0, "fork");
        if (pid == 0) {
            for (gate->fetch_add(1); gate->load() < n;) {
            }
            vaskFault('s');
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        check(waitpid(pid, &status, 0) == pid, "waitpid");
        std::printf("child ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
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

void dumpsAtOnce(bool oneCrashes)
{
    together(2, [oneCrashes](int i) {
        if (oneCrashes && i == 1)
            vaskFault('s');
        std::printf("result %ld\n", DmpHelper::callback(nullptr));
    });
}

using Step = std::function<void(const std::string &value)>;
const std::map<std::string, Step> kSteps = {
    {"base", [](const std::string &v) { FileHelper::setBaseDirPath(QString::fromLocal8Bit(v.c_str())); }},
    {"setup", [](const std::string &) { DmpHelper::setupDump(); }},
    {"prior", [](const std::string &) { std::signal(SIGSEGV, [](int) { _exit(42); }); }},
    {"threads", [](const std::string &v) {
         for (int i = std::atoi(v.c_str()); i > 0; --i)
             gPool.emplace_back([] {
                 while (!gStop.load())
                     usleep(1000);
             });
     }},
    {"noptrace", [](const std::string &) { check(denySyscall(__NR_ptrace, -1, 0, EPERM), "seccomp"); }},
    {"trap", [](const std::string &v) {
         const bool ok = v == "ptrace" ? denySyscall(__NR_ptrace, -1, 0, -1)
             : v == "clone"            ? denySyscall(__NR_clone, -1, 0, -1)
                                       : denySyscall(__NR_ioctl, 1, _IOWR('f', 16, char[96]), -1);
         check(ok, "seccomp");
     }},
    {"blocker", [](const std::string &) {
         sigset_t all;
         sigfillset(&all);
         gPool.emplace_back([all] {
             pthread_sigmask(SIG_BLOCK, &all, nullptr);
             while (!gStop.load())
                 usleep(1000);
         });
     }},
    {"keeptracer", [](const std::string &) { check(denySyscall(__NR_prctl, 0, PR_SET_PTRACER, -2), "seccomp"); }},
    {"fds", [](const std::string &v) { takeDescriptors(std::atoi(v.c_str())); }},
    {"twins", [](const std::string &v) { twins(std::atoi(v.c_str())); }},
    {"noauxv", [](const std::string &) { check(denySyscall(__NR_prctl, 0, 0x41555856, EINVAL), "seccomp"); }},
    {"altstack", [](const std::string &v) { // the painted file is 8 KiB
         const stack_t stack = {mapFile(v, 8192), 0, 8192};
         check(sigaltstack(&stack, nullptr) == 0, "sigaltstack");
     }},
    {"notdumpable", [](const std::string &) {
         check(prctl(PR_SET_DUMPABLE, 0) == 0
                   && (geteuid() != 0 || (setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0)),
               "notdumpable");
     }},
    {"as", [](const std::string &v) { limit(RLIMIT_AS, v); }},
    {"fsize", [](const std::string &v) { limit(RLIMIT_FSIZE, v); }},
    {"tmpfile", [](const std::string &v) { mapFile(gTmpFile = v, 64 << 20)[12345] = 1; }},
    {"mainexits", [](const std::string &) {
         for (std::thread &t : gPool)
             t.detach();
         pthread_t worker;
         check(pthread_create(&worker, nullptr, runRestOnThread, nullptr) == 0, "pthread_create");
         pthread_exit(nullptr);
     }},
    {"late", [](const std::string &) { vaskLateArm(); }},
    {"fault", [](const std::string &v) { vaskFault(v[0]); }},
    {"abort", [](const std::string &) { std::abort(); }},
    {"stack", [](const std::string &) { std::printf("%d\n", vaskRecurse(0)); }},
    {"threadstack", [](const std::string &) { // on a thread with the alternate stack setupDump() gives it
         std::thread([] {
             DmpHelper::setupDump();
             std::printf("%d\n", vaskRecurse(0));
         }).join();
     }},
    {"threads4", [](const std::string &) { together(4, [](int) { vaskFault('s'); }); }},
    {"malloc", [](const std::string &) {
         std::thread(churn).detach();
         usleep(50 * 1000);
         vaskFault('s');
     }},
    {"direct", [](const std::string &) { std::printf("result %ld\n", DmpHelper::callback(nullptr)); }},
    {"together", [](const std::string &) { dumpsAtOnce(false); }},
    {"racecrash", [](const std::string &) { dumpsAtOnce(true); }},
};

int runSteps()
{
    for (; gNext < gSteps.size(); std::fflush(stdout)) {
        const std::string &s = gSteps[gNext++];
        const std::size_t eq = s.find('=');
        const auto step = kSteps.find(s.substr(0, eq));
        check(step != kSteps.end(), s.c_str());
        step->second(eq == std::string::npos ? std::string() : s.substr(eq + 1));
    }
    struct stat st = {};
    if (!gTmpFile.empty() && stat(gTmpFile.c_str(), &st) == 0)
        std::printf("file blocks %lld\n", static_cast<long long>(st.st_blocks));
    std::printf("survived\n");
    gStop.store(true);
    for (std::thread &t : gPool)
        if (t.joinable())
            t.join();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    gSteps.assign(argv + 1, argv + argc);
    std::printf("pid %d\n", int(getpid()));
    return runSteps();
}
