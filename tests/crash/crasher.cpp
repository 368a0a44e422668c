// A host that installs the crash handler and dies the way it is told, for
// dump_test to watch from outside. Its arguments are steps, run in order:
//   base=DIR     FileHelper::setBaseDirPath(DIR)
//   setup        DmpHelper::setupDump()
//   prior        a SIGSEGV handler of our own, which setupDump() must drop
//   threads=N    N idle threads
//   noptrace     ptrace fails with EPERM, as in a container
//   trap=C       a sandbox traps C (ptrace, clone or the PAGEMAP_SCAN ioctl)
//   blocker      a thread that blocks every signal; blocker=fork: which,
//                once a fault is under way, forks a process that faults too
//   spawn=N      N processes forked from this one run the remaining steps
//                from the same moment; this one waits for them (and what
//                they fork) and prints "child ended by signal <s>" for each
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
// at once) malloc (while another thread allocates), and dumps asked for:
// direct, together (two threads at once), racecrash (one of them faults).
// Each prints "result <return value>"; direct=watch then prints "idle threads
// held" if the idle threads stayed stopped through the dump, else "idle
// threads ran". After the last step it prints
// "survived" and exits 0.
//
// The faults are written in assembly so the compiler (or UBSan) can't turn
// them into something else.
#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
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
#include <unistd.h>

#include "crasher_parts.h"
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
std::atomic<long long> gLongestPause{0}; // of the idle threads, in microseconds
std::atomic<bool> gFaulting{false};
std::atomic<int> gIdle{0}; // idle threads in their loop

long long microseconds()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

int runSteps();

void *runRestOnThread(void *)
{
    usleep(100 * 1000); // until the main thread is gone
    std::exit(runSteps());
}

// Notes its longest pause; `forks` (a thread that blocks every signal, so
// it runs on through a crash dump without ptrace): once a fault is under
// way, forks a process that faults on its own.
void idle(bool forks)
{
    gIdle.fetch_add(1);
    for (long long last = microseconds(), now; !gStop.load(); last = now) {
        usleep(1000);
        now = microseconds();
        if (now - last > gLongestPause.load())
            gLongestPause.store(now - last);
        if (forks && gFaulting.load()) {
            forks = false;
            usleep(5000); // into the dump
            if (fork() == 0) {
                const sigset_t none = {};
                pthread_sigmask(SIG_SETMASK, &none, nullptr);
                vaskFault('s');
            }
        }
    }
}

// Starts an idle thread and returns once it is in its loop, so that no dump
// can catch it still starting (its pause would not count yet).
void startIdle(bool forks)
{
    gPool.emplace_back(idle, forks);
    while (gIdle.load() < int(gPool.size()))
        usleep(1000);
}

void directDump(bool watch)
{
    gLongestPause.store(0);
    const long long start = microseconds();
    std::printf("result %ld\n", DmpHelper::callback(nullptr));
    const long long took = microseconds() - start;
    if (watch) {
        // Stopped through the dump, the idle threads pause for most of it, or
        // (when a busy machine held the dump up before it stopped them) for
        // the writing, which takes more than 10 ms here. Released at once,
        // they pause for about a millisecond. They note it when they next
        // wake, which a busy machine may delay too.
        const auto held = [took] {
            const long long pause = gLongestPause.load();
            return pause * 2 >= took || pause >= 10000;
        };
        for (int i = 0; i < 2000 && !held(); ++i)
            usleep(1000);
        std::printf(held() ? "idle threads held\n" : "idle threads ran\n");
    }
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
             startIdle(false);
     }},
    {"noptrace", [](const std::string &) { check(denySyscall(__NR_ptrace, -1, 0, EPERM), "seccomp"); }},
    {"trap", [](const std::string &v) {
         const bool ok = v == "ptrace" ? denySyscall(__NR_ptrace, -1, 0, -1)
             : v == "clone"            ? denySyscall(__NR_clone, -1, 0, -1)
                                       : denySyscall(__NR_ioctl, 1, _IOWR('f', 16, char[96]), -1);
         check(ok, "seccomp");
     }},
    {"blocker", [](const std::string &v) {
         // The thread is born with every signal blocked: no window in
         // which a crash could still reach it.
         sigset_t all, was;
         sigfillset(&all);
         pthread_sigmask(SIG_BLOCK, &all, &was);
         startIdle(v == "fork");
         pthread_sigmask(SIG_SETMASK, &was, nullptr);
     }},
    {"keeptracer", [](const std::string &) { check(denySyscall(__NR_prctl, 0, PR_SET_PTRACER, -2), "seccomp"); }},
    {"fds", [](const std::string &v) { takeDescriptors(std::atoi(v.c_str())); }},
    {"spawn", [](const std::string &v) {
         if (!spawn(std::atoi(v.c_str())))
             gNext = gSteps.size(); // the children take the rest
     }},
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
    {"fault", [](const std::string &v) { gFaulting.store(true), vaskFault(v[0]); }},
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
    {"direct", [](const std::string &v) { directDump(v == "watch"); }},
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
