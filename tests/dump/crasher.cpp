// A host that installs the crash handler and then dies the way it is told,
// for dump_test to watch from outside.
//
//   dump_crasher [options] MODE
//   --base DIR        base directory set before setupDump()
//   --base-after DIR  base directory set after setupDump()
//   --pattern         fill 64 MiB with a known pattern; prints "pattern 0x<address>"
//   --threads N       start N idle threads first
//   --wait            print "ready" and wait for a line on stdin before dying
//   --deny-ptrace     make ptrace fail with EPERM (seccomp), as in a container
//   --no-setup        don't call setupDump()
//   --setup-twice     call setupDump() twice
//   --prior-handler   install a SIGSEGV handler of our own before setupDump()
//
// The faults are written in assembly so the compiler (or UBSan) can't turn
// them into something else.
#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "dmphelper.h"
#include "filehelper.h"

extern "C" {

__attribute__((noinline)) void vaskCrashNullWrite()
{
    static volatile std::uintptr_t target = 0;
    __asm__ volatile("movl $1, (%0)" : : "r"(target) : "memory");
}

__attribute__((noinline)) void vaskCrashAbort()
{
    std::abort();
}

__attribute__((noinline)) void vaskCrashThrow()
{
    throw std::runtime_error("nobody catches this");
}

__attribute__((noinline)) int vaskCrashDivide(int dividend, int divisor)
{
    int quotient;
    __asm__ volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(dividend), "r"(divisor) : "rdx", "cc");
    return quotient;
}

__attribute__((noinline)) void vaskCrashIllegal()
{
    __asm__ volatile("ud2");
}

__attribute__((noinline)) void vaskCrashTrap()
{
    __asm__ volatile("int3");
}

__attribute__((noinline)) void vaskRaiseTrap()
{
    raise(SIGTRAP);
}

// Recurses until the stack runs out; the limit only hides that from the
// compiler.
__attribute__((noinline)) int vaskCrashRecurse(int depth)
{
    static volatile int limit = 1 << 30;
    volatile char frame[512];
    frame[0] = char(depth);
    if (depth >= limit)
        return 0;
    return vaskCrashRecurse(depth + 1) + frame[0];
}

__attribute__((noinline)) void vaskCrashInThread()
{
    vaskCrashNullWrite();
    __asm__ volatile("" ::: "memory"); // keeps this frame: no tail call
}

__attribute__((noinline)) void vaskDirectDump()
{
    std::printf("result %ld\n", DmpHelper::callback(nullptr));
    EXCEPTION_POINTERS record = {SIGUSR1, nullptr, nullptr};
    std::printf("result %ld\n", DmpHelper::callback(&record));
    std::fflush(stdout);
}

// Two threads asking for a dump at the same moment; with `crash`, the
// second faults instead.
__attribute__((noinline)) void vaskDumpTogether(bool crash)
{
    std::atomic<int> arrived{0};
    auto meet = [&arrived] {
        arrived.fetch_add(1);
        while (arrived.load() < 2) {
        }
    };
    std::thread first([&meet] {
        meet();
        std::printf("result %ld\n", DmpHelper::callback(nullptr));
    });
    std::thread second([&meet, crash] {
        meet();
        if (crash)
            vaskCrashInThread();
        else
            std::printf("result %ld\n", DmpHelper::callback(nullptr));
    });
    first.join();
    second.join();
    std::fflush(stdout);
}

} // extern "C"

namespace {

void denyPtrace()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("seccomp");
        std::exit(3);
    }
}

std::atomic<bool> gStop{false};

void idle()
{
    while (!gStop.load())
        usleep(1000);
}

// Allocates and frees all the time, so that the crash lands while this
// thread holds the allocator's locks.
void churn()
{
    std::vector<void *> live(64, nullptr);
    unsigned n = 1;
    for (;;) {
        n = n * 1103515245u + 12345u;
        const unsigned slot = (n >> 8) % live.size();
        std::free(live[slot]);
        live[slot] = std::malloc(16 + (n >> 12) % 4096);
        static_cast<volatile char *>(live[slot])[0] = 1;
    }
}

void priorHandler(int)
{
    static const char text[] = "prior handler\n";
    (void)!write(1, text, sizeof text - 1);
    _exit(42);
}

// A thread that installs the handler for itself (which gives it an
// alternate signal stack) and then overflows its stack.
void overflowOnThread()
{
    DmpHelper::setupDump();
    std::printf("%d\n", vaskCrashRecurse(0));
}

int usage()
{
    std::fprintf(stderr, "usage: dump_crasher [--base DIR] [--base-after DIR] [--pattern] [--threads N] [--wait]\n"
                         "       [--deny-ptrace] [--no-setup] [--setup-twice] [--prior-handler] MODE\n"
                         "modes: segv abort throw fpe ill trap raise-trap stack thread-stack threads4 malloc direct\n"
                         "       direct2 direct-crash\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString base, baseAfter;
    bool pattern = false, wait = false, deny = false, setup = true, twice = false, prior = false;
    int threads = 0;
    std::string mode;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--base" && i + 1 < argc)
            base = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--base-after" && i + 1 < argc)
            baseAfter = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--pattern")
            pattern = true;
        else if (a == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (a == "--wait")
            wait = true;
        else if (a == "--deny-ptrace")
            deny = true;
        else if (a == "--no-setup")
            setup = false;
        else if (a == "--setup-twice")
            twice = true;
        else if (a == "--prior-handler")
            prior = true;
        else if (mode.empty() && a[0] != '-')
            mode = a;
        else
            return usage();
    }
    if (mode.empty())
        return usage();

    if (!base.isEmpty())
        FileHelper::setBaseDirPath(base);
    if (prior)
        std::signal(SIGSEGV, priorHandler);
    if (setup)
        DmpHelper::setupDump();
    if (twice)
        DmpHelper::setupDump();
    if (!baseAfter.isEmpty())
        FileHelper::setBaseDirPath(baseAfter);
    if (deny)
        denyPtrace();

    if (pattern) {
        const std::size_t words = (64u << 20) / sizeof(std::uint64_t);
        auto *buffer = static_cast<std::uint64_t *>(std::malloc(words * sizeof(std::uint64_t)));
        for (std::size_t i = 0; i < words; ++i)
            buffer[i] = 0x564b000000000000ULL | i;
        std::printf("pattern %p\n", static_cast<void *>(buffer));
    }
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(idle);
    std::printf("pid %d\n", int(getpid()));
    if (wait) {
        std::printf("ready\n");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 4;
    }
    std::fflush(stdout);

    if (mode == "segv") {
        vaskCrashNullWrite();
    } else if (mode == "abort") {
        vaskCrashAbort();
    } else if (mode == "throw") {
        vaskCrashThrow();
    } else if (mode == "fpe") {
        std::printf("%d\n", vaskCrashDivide(1, 0));
    } else if (mode == "ill") {
        vaskCrashIllegal();
    } else if (mode == "trap") {
        vaskCrashTrap();
    } else if (mode == "raise-trap") {
        vaskRaiseTrap();
    } else if (mode == "stack") {
        std::printf("%d\n", vaskCrashRecurse(0));
    } else if (mode == "thread-stack") {
        std::thread(overflowOnThread).join();
    } else if (mode == "threads4") {
        std::atomic<int> arrived{0};
        std::vector<std::thread> faulting;
        for (int i = 0; i < 4; ++i)
            faulting.emplace_back([&arrived] {
                arrived.fetch_add(1);
                while (arrived.load() < 4) {
                }
                vaskCrashInThread();
            });
        for (std::thread &t : faulting)
            t.join();
    } else if (mode == "malloc") {
        std::thread(churn).detach();
        usleep(50 * 1000);
        vaskCrashNullWrite();
    } else if (mode == "direct") {
        vaskDirectDump();
        std::printf("alive\n");
    } else if (mode == "direct2" || mode == "direct-crash") {
        vaskDumpTogether(mode == "direct-crash");
        std::printf("alive\n");
    } else {
        return usage();
    }
    std::printf("survived\n");
    std::fflush(stdout);
    gStop.store(true);
    for (std::thread &t : pool)
        t.join();
    return 0;
}
