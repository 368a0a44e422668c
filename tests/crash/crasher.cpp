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
//   --altstack FILE   after setupDump(), use FILE (mapped shared) as this
//                     thread's alternate signal stack
//   --not-dumpable    PR_SET_DUMPABLE 0 and, as root, become nobody
//   --exhaust         cap the address space and allocate until it is full
//   --fsize BYTES     RLIMIT_FSIZE: writes past BYTES fail, as on a full disk
//   --main-exits      die on a new thread after the main thread has exited
//   --zero-map DIR    map 1 GiB of /dev/zero privately and 64 MiB of a file in
//                     DIR shared, one page touched each; after the mode,
//                     print the file's allocated blocks
// Mode `teardown` arms a library that faults in its finalizer, which runs
// after this library's statics are destroyed.
//
// The faults are written in assembly so the compiler (or UBSan) can't turn
// them into something else.
#include <QCoreApplication>
#include <QFile>
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
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "dmphelper.h"
#include "filehelper.h"
#include "late.h"

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

void die(const char *what)
{
    std::perror(what);
    std::exit(3);
}

void useAltStack(const char *file)
{
    const int fd = open(file, O_RDWR | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0)
        die("altstack file");
    stack_t stack = {};
    stack.ss_sp = mmap(nullptr, std::size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    stack.ss_size = std::size_t(st.st_size);
    if (stack.ss_sp == MAP_FAILED || sigaltstack(&stack, nullptr) != 0)
        die("sigaltstack");
}

void becomeNotDumpable()
{
    if (prctl(PR_SET_DUMPABLE, 0) != 0)
        die("PR_SET_DUMPABLE");
    if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
        die("setresuid");
}

void exhaustAddressSpace()
{
    std::size_t pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%zu", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    const rlim_t cap = rlim_t(pages) * 4096 + (8u << 20);
    const rlimit limit = {cap, cap};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
        die("RLIMIT_AS");
    std::size_t chunk = 1 << 20;
    while (chunk >= 4096) {
        if (!std::malloc(chunk))
            chunk /= 2;
    }
    while (mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
    }
    std::printf("exhausted\n");
}

QByteArray gZeroFile;

void mapZeroes(const QString &dir)
{
    const int zero = open("/dev/zero", O_RDWR | O_CLOEXEC);
    auto *anon = static_cast<char *>(mmap(nullptr, std::size_t(1) << 30, PROT_READ | PROT_WRITE, MAP_PRIVATE, zero, 0));
    gZeroFile = QFile::encodeName(dir + QStringLiteral("/shared"));
    const int fd = open(gZeroFile.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (zero < 0 || fd < 0 || anon == MAP_FAILED || ftruncate(fd, 64 << 20) != 0)
        die("zero-map");
    auto *shared = static_cast<char *>(mmap(nullptr, 64 << 20, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (shared == MAP_FAILED)
        die("zero-map shared");
    anon[12345] = 1;
    shared[12345] = 1;
}

void printZeroFileBlocks()
{
    struct stat st = {};
    if (!gZeroFile.isEmpty() && stat(gZeroFile.constData(), &st) == 0)
        std::printf("file blocks %lld\n", static_cast<long long>(st.st_blocks));
}

std::string gMode;


int usage()
{
    std::fprintf(stderr, "usage: dump_crasher [--base DIR] [--base-after DIR] [--pattern] [--threads N] [--wait]\n"
                         "       [--deny-ptrace] [--no-setup] [--setup-twice] [--prior-handler] MODE\n"
                         "modes: segv abort throw fpe ill trap raise-trap stack thread-stack threads4 malloc direct\n"
                         "       direct2 direct-crash\n");
    return 2;
}

int runMode(const std::string &mode)
{
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
    } else if (mode == "teardown") {
        vaskLateArm();
        return 0;
    } else {
        return usage();
    }
    printZeroFileBlocks();
    return 0;
}

void *runModeOnThread(void *)
{
    usleep(100 * 1000); // until the main thread is gone
    std::exit(runMode(gMode));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString base, baseAfter;
    bool pattern = false, wait = false, deny = false, setup = true, twice = false, prior = false;
    bool notDumpable = false, exhaust = false, mainExits = false;
    const char *altstack = nullptr;
    long long fsize = -1;
    QString zeroMap;
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
        else if (a == "--altstack" && i + 1 < argc)
            altstack = argv[++i];
        else if (a == "--not-dumpable")
            notDumpable = true;
        else if (a == "--exhaust")
            exhaust = true;
        else if (a == "--fsize" && i + 1 < argc)
            fsize = std::atoll(argv[++i]);
        else if (a == "--main-exits")
            mainExits = true;
        else if (a == "--zero-map" && i + 1 < argc)
            zeroMap = QString::fromLocal8Bit(argv[++i]);
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
    if (altstack)
        useAltStack(altstack);
    if (notDumpable)
        becomeNotDumpable();
    if (fsize >= 0) {
        const rlimit limit = {rlim_t(fsize), rlim_t(fsize)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            die("RLIMIT_FSIZE");
    }
    if (!zeroMap.isEmpty())
        mapZeroes(zeroMap);

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
    if (exhaust)
        exhaustAddressSpace();
    std::fflush(stdout);

    if (mainExits) {
        for (std::thread &t : pool)
            t.detach();
        gMode = mode;
        pthread_t worker;
        if (pthread_create(&worker, nullptr, runModeOnThread, nullptr) != 0)
            die("pthread_create");
        pthread_exit(nullptr);
    }
    const int rc = runMode(mode);
    if (rc != 0)
        return rc;
    std::printf("survived\n");
    std::fflush(stdout);
    gStop.store(true);
    for (std::thread &t : pool)
        t.join();
    return 0;
}
