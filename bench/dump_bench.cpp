// What a crash dump costs against what writing the same memory must cost.
// For each size (1, 4 and 8 GiB touched, plus 1 GiB reserved and never
// touched) this process holds that memory and times, in rounds whose order
// of methods changes (see registerRound):
//   dump      DmpHelper::callback(nullptr), the library's dump of itself;
//   gcore     gdb's gcore of this same process, from outside;
//   buffered  pwrite() to one file of the memory a dump writes: the touched
//             memory and the file mappings (the page cache's floor);
//   direct    the same with O_DIRECT (the disk's floor);
//   dd        dd of zeros, as much, for context only.
// After each method its files are deleted, the disk synced and left idle
// for a second, untimed.
// A warm-up first writes and deletes a file of the largest size: on a
// virtual machine the first writes into fresh page-cache pages are slower,
// whichever method comes first. Sizes the machine has no memory or disk for
// are left out, saying so.
// Before every method a bystander file (256 MiB) is read into the page
// cache, untimed; after a dump, how much of it the cache lost is counted.
// Then, untimed too, as much memory as the method may take is touched and
// freed (see backFreeMemory).
// Last, at the largest size, the dump alone again with free memory short of
// the dump (a ballast held, kept out of the dump), where it writes around
// the page cache.
// Printed at the end: min and median per method, the ratios of medians, and
// how much the page cache grew during the dump and lost of the bystander.
//   dump_bench [--benchmark_filter=...]  sizes: VASK_BENCH_GIB="1 4 8",
//   rounds: VASK_BENCH_ROUNDS=10, folder: VASK_BENCH_DIR (else one under /tmp)
#include <benchmark/benchmark.h>

#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dmphelper.h"
#include "filehelper.h"

extern char **environ;

namespace {

constexpr std::uint64_t kGiB = std::uint64_t(1) << 30, kMiB = 1 << 20;
const char *const kMethods[] = {"dump", "gcore", "buffered", "direct", "dd"};
// Rounds unless VASK_BENCH_ROUNDS says otherwise.
const char *const kRounds = "10";

std::string gFolder;
struct Held {
    int gib = 0;
    std::uint64_t *touched = nullptr;
    void *reserved = nullptr;
} gHeld;
// Seconds per size and method, and the page cache's growth per dump (MiB).
std::map<int, std::map<std::string, std::vector<double>>> gSeconds;
// Per size and dump method ("dump", "dump-short"): the page cache's growth
// and the bystander's pages evicted, MiB.
std::map<int, std::map<std::string, std::vector<double>>> gCacheGrowth, gEvicted;
constexpr std::uint64_t kBystander = 256 * kMiB;
void *gBallast = nullptr;
std::map<int, std::pair<double, double>> gDumpFile; // length and on disk, GiB

const char *env(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A line of /proc/meminfo, in MiB.
double meminfo(const char *key)
{
    FILE *f = std::fopen("/proc/meminfo", "r");
    char line[256];
    double kib = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, std::strlen(key)) == 0 && line[std::strlen(key)] == ':')
            kib = std::atof(line + std::strlen(key) + 1);
    if (f)
        std::fclose(f);
    return kib / 1024;
}

// Touches and frees as much memory as a method may take into the page cache,
// so that it finds that much free memory that the machine's host backs
// already: a virtual machine that hands freed memory back to its host
// (free page reporting) makes the first touch of such a page slow, and how
// much of the free memory it has handed back when a method starts varies
// with what ran before (a floor of O_DIRECT frees no cache, gcore frees
// more than the dump).
// Never more than is free, less half a GiB: with the ballast held that is
// less than the method takes, and touching more would push out the cache.
void backFreeMemory(int gib)
{
    const double free = meminfo("MemFree") / 1024 - 0.5;
    const std::uint64_t bytes = std::uint64_t(std::min<double>(gib + 1, std::max(free, 0.0)) * kGiB) / 4096 * 4096;
    if (bytes == 0)
        return;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return;
    for (std::uint64_t at = 0; at < bytes; at += 4096)
        static_cast<char *>(p)[at] = 1;
    munmap(p, bytes);
}

// Holds `gib` GiB written (every word, so no page is the shared zero page)
// and 1 GiB reserved, dropping what was held before.
bool hold(int gib)
{
    if (gHeld.gib == gib)
        return true;
    if (gHeld.touched) {
        munmap(gHeld.touched, gHeld.gib * kGiB);
        munmap(gHeld.reserved, kGiB);
    }
    gHeld = {};
    void *t = mmap(nullptr, gib * kGiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void *r = mmap(nullptr, kGiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (t == MAP_FAILED || r == MAP_FAILED)
        return false;
    gHeld = {gib, static_cast<std::uint64_t *>(t), r};
    for (std::uint64_t i = 0; i < gib * kGiB / 8; ++i)
        gHeld.touched[i] = 0x9e3779b97f4a7c15ULL * (i + 1);
    return true;
}

// The paths of the folder's files whose names start with prefix.
std::vector<std::string> startingWith(const std::string &prefix)
{
    std::vector<std::string> paths;
    if (DIR *d = opendir(gFolder.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
                paths.push_back(gFolder + "/" + e->d_name);
        closedir(d);
    }
    return paths;
}

void removeStartingWith(const std::string &prefix)
{
    for (const std::string &path : startingWith(prefix))
        unlink(path.c_str());
}

std::string bystanderPath()
{
    return gFolder + "/bystander.bin";
}

// Writes the bystander file once; reads it all, so its pages are cached.
void readBystander()
{
    const int fd = open(bystanderPath().c_str(), O_RDWR | O_CREAT, 0600);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0)
        return;
    std::vector<char> piece(kMiB, 'b');
    for (std::uint64_t at = 0; at < kBystander; at += kMiB)
        if (std::uint64_t(st.st_size) < kBystander ? pwrite(fd, piece.data(), kMiB, off_t(at)) < 0
                                                   : pread(fd, piece.data(), kMiB, off_t(at)) < 0)
            break;
    close(fd);
}

// MiB of the bystander file the page cache does not hold.
double bystanderEvicted()
{
    const int fd = open(bystanderPath().c_str(), O_RDONLY);
    void *view = fd < 0 ? MAP_FAILED : mmap(nullptr, kBystander, PROT_READ, MAP_SHARED, fd, 0);
    std::vector<unsigned char> held(kBystander / 4096);
    double missing = -1;
    if (view != MAP_FAILED && mincore(view, kBystander, held.data()) == 0)
        missing = double(std::count_if(held.begin(), held.end(), [](unsigned char c) { return !(c & 1); })) * 4096 / kMiB;
    if (view != MAP_FAILED)
        munmap(view, kBystander);
    if (fd >= 0)
        close(fd);
    return missing;
}

// Holds touched memory, kept out of dumps, until free memory is two thirds
// of what a dump of the held memory needs to go through the page cache (the
// dump and a sixteenth of the machine's memory).
bool holdBallast()
{
    if (gBallast)
        return true;
    const double freeGiB = meminfo("MemFree") / 1024, keepFree = (gHeld.gib + meminfo("MemTotal") / 1024 / 16) * 2 / 3;
    const std::uint64_t bytes = freeGiB > keepFree ? std::uint64_t((freeGiB - keepFree) * kGiB) / 4096 * 4096 : 0;
    void *b = bytes ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : MAP_FAILED;
    if (b == MAP_FAILED)
        return false;
    madvise(b, bytes, MADV_DONTDUMP);
    std::memset(b, 1, bytes);
    gBallast = b;
    return true;
}

// Runs a command with its output discarded; true when it succeeded.
bool spawnAndWait(std::vector<std::string> argv)
{
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&quiet, 1, 2);
    pid_t pid = 0;
    int status = 0;
    const bool ok = posix_spawnp(&pid, args[0], &quiet, nullptr, args.data(), environ) == 0
        && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&quiet);
    return ok;
}

// The file mappings a dump copies whole besides the touched memory: every
// readable private mapping of a file (the libraries' code and data, 51 MB
// here), read once from /proc/self/maps.
struct Region {
    const char *start;
    std::uint64_t size;
};
std::vector<Region> gFileMappings;

void findFileMappings()
{
    FILE *f = std::fopen("/proc/self/maps", "r");
    char line[4096];
    while (f && std::fgets(line, sizeof line, f)) {
        unsigned long long start = 0, end = 0, inode = 0;
        char perms[8] = {}, path[4096] = {};
        if (std::sscanf(line, "%llx-%llx %7s %*s %*s %llu %4095s", &start, &end, perms, &inode, path) == 5 && perms[0] == 'r'
            && perms[3] == 'p' && inode != 0 && path[0] == '/' && std::strncmp(path, "/dev/", 5) != 0)
            gFileMappings.push_back({reinterpret_cast<const char *>(start), end - start});
    }
    if (f)
        std::fclose(f);
    // Every method finds their pages mapped in: none pays for the faults
    // that the first one to read them would.
    volatile char sink = 0;
    for (const Region &r : gFileMappings)
        for (std::uint64_t at = 0; at < r.size; at += 4096)
            sink = sink + r.start[at];
}

// Writes [bytes, bytes + size) at `at` with pwrite() in 64 MiB pieces (the
// size a dump's runs come in at most); false on a failed write.
bool writeRegion(int fd, const char *bytes, std::uint64_t size, std::uint64_t at)
{
    for (std::uint64_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, bytes + done, std::min<std::uint64_t>(64 * kMiB, size - done), off_t(at + done));
        if (n <= 0)
            return false;
        done += std::uint64_t(n);
    }
    return true;
}

// The memory a dump writes, into one file with pwrite(), O_DIRECT or
// buffered: the touched memory, then the file mappings, as a dump copies
// them. A file mapping that can't be read to its end (past its file's end)
// is written as far as it can be.
bool writeHeld(bool direct)
{
    const std::string path = gFolder + "/floor.bin";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | (direct ? O_DIRECT : 0), 0600);
    std::uint64_t at = gHeld.gib * kGiB;
    bool ok = fd >= 0 && writeRegion(fd, reinterpret_cast<const char *>(gHeld.touched), at, 0);
    for (const Region &r : gFileMappings) {
        if (ok)
            writeRegion(fd, r.start, r.size, at);
        at += r.size;
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

// Runs one method once; its wall time, or a negative number on failure.
double runOnce(int gib, const std::string &method)
{
    readBystander(); // untimed, for every method alike
    backFreeMemory(gib);
    const double cachedBefore = meminfo("Cached");
    const double start = now();
    bool ok = true;
    if (method == "dump" || method == "dump-short") {
        DmpHelper::callback(nullptr);
    } else if (method == "gcore") {
        ok = spawnAndWait({"gcore", "-o", gFolder + "/gcore", std::to_string(getpid())});
    } else if (method == "dd") {
        ok = spawnAndWait({"dd", "if=/dev/zero", "of=" + gFolder + "/dd.bin", "bs=64M",
                           "count=" + std::to_string(gib * 16), "status=none"});
    } else {
        ok = writeHeld(method == "direct");
    }
    const double seconds = now() - start;
    if (method == "dump" || method == "dump-short") {
        gCacheGrowth[gib][method].push_back(meminfo("Cached") - cachedBefore);
        gEvicted[gib][method].push_back(bystanderEvicted());
        const std::vector<std::string> dumps = startingWith("vask_");
        struct stat st = {};
        ok = dumps.size() == 1 && stat(dumps.front().c_str(), &st) == 0;
        if (ok)
            gDumpFile[gib] = {double(st.st_size) / kGiB, double(st.st_blocks) * 512 / kGiB};
    }
    // Untimed for every method alike: deleting a file (and its pages in the
    // cache) is no part of writing it.
    for (const char *prefix : {"vask_", "gcore", "dd.bin", "floor.bin"})
        removeStartingWith(prefix);
    // Untimed: the next method starts with no write-back of this one in
    // flight, and the kernel's estimate of the disk's pace settled.
    sync();
    usleep(1000000);
    return ok ? seconds : -1;
}

// One timed run of a method, as its own benchmark. "dump-short": the dump
// with the ballast held.
void registerRun(int gib, const std::string &method, int round)
{
    const std::string name = std::to_string(gib) + "GiB/" + method + "/round" + std::to_string(round);
    benchmark::RegisterBenchmark(name.c_str(),
                                 [gib, method](benchmark::State &state) {
                                     if (!hold(gib) || (method == "dump-short" && !holdBallast())) {
                                         state.SkipWithError("no memory to hold");
                                         return;
                                     }
                                     for (auto _ : state) {
                                         const double s = runOnce(gib, method);
                                         if (s < 0) {
                                             state.SkipWithError((method + " failed").c_str());
                                             return;
                                         }
                                         state.SetIterationTime(s);
                                         gSeconds[gib][method].push_back(s);
                                         if (!gCacheGrowth[gib][method].empty())
                                             state.counters["cache_growth_MiB"] = gCacheGrowth[gib][method].back();
                                     }
                                 })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// The order of the methods in round r: every ten rounds form a Williams design,
// in which every method comes first, and right after every other method,
// equally often (twice), so that neither the first place nor the method
// before (whose freed blocks the disk may still be discarding) favours one.
void registerRound(int gib, int round)
{
    const int base[5] = {0, 1, 4, 2, 3};
    for (int i = 0; i < 5; ++i) {
        const int k = (round / 5) % 2 ? 4 - i : i;
        registerRun(gib, kMethods[(base[k] + round) % 5], round);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string minAndMedian(const std::vector<double> &v)
{
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.2f s (min %.2f)", median(v), v.empty() ? 0 : *std::min_element(v.begin(), v.end()));
    return cell;
}

void printTable()
{
    std::printf("\n| touched | dump | gcore | buffered pwrite | O_DIRECT pwrite | dd (context) | gcore / dump | "
                "faster floor / dump | page cache growth in a dump | bystander evicted | dump file (on disk) |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (auto &[gib, methods] : gSeconds) {
        std::string row = "| " + std::to_string(gib) + " GiB";
        for (const char *m : kMethods)
            row += " | " + minAndMedian(methods[m]);
        const double dump = median(methods["dump"]);
        const double floor = std::min(median(methods["buffered"]), median(methods["direct"]));
        const double growth = median(gCacheGrowth[gib]["dump"]);
        char tail[200];
        std::snprintf(tail, sizeof tail, " | %.2f | %.2f | %.0f MiB (%.1f%% of the touched memory) | %.0f MiB | %.2f GiB (%.2f) |",
                      dump > 0 ? median(methods["gcore"]) / dump : 0, dump > 0 ? floor / dump : 0, growth,
                      100 * growth / (gib * 1024.0), median(gEvicted[gib]["dump"]), gDumpFile[gib].first,
                      gDumpFile[gib].second);
        std::printf("%s%s\n", row.c_str(), tail);
    }
    for (auto &[gib, methods] : gSeconds)
        if (!methods["dump-short"].empty()) {
            const double growth = median(gCacheGrowth[gib]["dump-short"]);
            std::printf("%d GiB with free memory short of the dump: dump %s, page cache growth %.0f MiB (%.1f%% of the "
                        "touched memory), bystander evicted %.0f MiB\n",
                        gib, minAndMedian(methods["dump-short"]).c_str(), growth, 100 * growth / (gib * 1024.0),
                        median(gEvicted[gib]["dump-short"]));
        }
    std::uint64_t files = 0;
    for (const Region &r : gFileMappings)
        files += r.size;
    std::printf("medians of %s rounds (min in brackets); the floors write the touched memory and %.0f MiB of file "
                "mappings\n",
                env("VASK_BENCH_ROUNDS", kRounds), double(files) / kMiB);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (const char *dir = std::getenv("VASK_BENCH_DIR")) {
        gFolder = dir;
    } else {
        char pattern[] = "/tmp/vask-dump-bench.XXXXXX";
        if (!mkdtemp(pattern))
            return 1;
        gFolder = pattern;
    }
    FileHelper::setBaseDirPath(QString::fromLocal8Bit(gFolder.c_str()));
    findFileMappings();
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0); // gcore attaches from a child

    // The sizes this machine can hold in memory and write twice over.
    std::istringstream wanted(env("VASK_BENCH_GIB", "1 4 8"));
    const int rounds = std::max(1, std::atoi(env("VASK_BENCH_ROUNDS", kRounds)));
    struct statvfs fs = {};
    statvfs(gFolder.c_str(), &fs);
    const double freeDisk = double(fs.f_bavail) * fs.f_frsize / kGiB, freeMemory = meminfo("MemAvailable") / 1024;
    int largest = 0;
    std::vector<int> sizes;
    for (int gib; wanted >> gib;) {
        if (gib + 2 > freeMemory || 2.0 * (gib + 1) > freeDisk) {
            std::printf("dump_bench: %d GiB left out: %.1f GiB of memory and %.1f GiB of disk free\n", gib, freeMemory,
                        freeDisk);
            continue;
        }
        sizes.push_back(gib);
        largest = std::max(largest, gib);
    }
    for (int gib : sizes)
        for (int round = 0; round < rounds; ++round)
            registerRound(gib, round);
    for (int round = 0; largest > 0 && round < rounds; ++round)
        registerRun(largest, "dump-short", round);

    // Warm-up: a file of the largest size, written and deleted.
    if (largest > 0)
        spawnAndWait({"dd", "if=/dev/zero", "of=" + gFolder + "/warm.bin", "bs=64M",
                      "count=" + std::to_string(largest * 16), "status=none"});
    removeStartingWith("warm.bin");

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printTable();
    unlink(bystanderPath().c_str());
    if (!std::getenv("VASK_BENCH_DIR"))
        rmdir(gFolder.c_str());
    return 0;
}
