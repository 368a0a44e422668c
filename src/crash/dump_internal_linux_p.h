#ifndef VASKSUPPORT_CRASH_DUMP_INTERNAL_LINUX_P_H
#define VASKSUPPORT_CRASH_DUMP_INTERNAL_LINUX_P_H

// What the pieces of the Linux core writer share: the scratch workspace of
// one dump and the steps that fill it. Everything declared here runs on the
// crash path and is async-signal-safe (raw system calls, no allocation, no
// lock), unless its comment says otherwise.

#include <elf.h>
#include <signal.h>
#include <sys/user.h>
#include <ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vask {
namespace lx {

constexpr std::uint64_t kPage = 4096;

inline std::size_t alignUp(std::size_t v, std::size_t a)
{
    return (v + a - 1) / a * a;
}

struct ThreadRecord {
    int tid;
    bool seized; // we trace it
    bool stopped; // in a ptrace stop, to be detached
    bool haveRegs; // regs hold its registers
    bool fpValid;
    int stopStatus;
    user_regs_struct regs;
    user_fpregs_struct fpregs;
};

enum Contents : std::uint8_t {
    NoContents, // recorded, not read: unreadable, device, excluded, untouched
    Dense, // every page written
    Touched, // anonymous: only pages in memory or swap (pagemap)
    Held, // memory-backed (shared, tmpfs, memfd ...): only pages it holds
};

struct Mapping {
    std::uint64_t start, end, fileOffset, inode;
    std::uint64_t residentKb; // Rss + Swap; ~0 when unknown
    std::uint64_t swapKb;
    std::uint64_t dumpOffset, dumpSize;
    std::uint32_t nameOffset, nameLength;
    std::uint32_t device; // major << 20 | minor
    std::uint32_t flags; // PF_R | PF_W | PF_X
    bool shared, dontDump, special;
    std::uint8_t rank; // order of writing (dump_writer_linux.cpp)
    Contents contents;
};

struct PageRegion {
    std::uint64_t start, end, categories;
};

// Scratch memory for one dump: one anonymous mapping, carved into the
// arrays below, kept out of the dump itself.
struct Workspace {
    // Words shared with the helper process.
    std::atomic<int> go {0};
    std::atomic<int> stopped {0};
    std::atomic<int> release {0};
    std::atomic<int> published {0};
    int pid = 0;
    int faultTid = 0;

    std::uintptr_t base = 0;
    std::size_t size = 0;

    char *helperStack = nullptr;
    std::size_t helperStackSize = 0;
    char *helperIo = nullptr;
    std::size_t helperIoSize = 0;
    ThreadRecord *threads = nullptr;
    std::size_t threadCapacity = 0;

    char *io = nullptr;
    std::size_t ioSize = 0;
    Mapping *maps = nullptr;
    std::size_t mapCapacity = 0, mapCount = 0;
    char *names = nullptr;
    std::size_t namesCapacity = 0, namesUsed = 0;
    std::uint8_t *notes = nullptr;
    std::size_t notesCapacity = 0, notesUsed = 0;
    Elf64_Phdr *phdrs = nullptr;
    PageRegion *regions = nullptr;
    std::size_t regionCapacity = 0;
    std::uint64_t *pagemap = nullptr;
    std::size_t pagemapCapacity = 0;
    std::uint32_t *memoryDevices = nullptr; // devices of tmpfs, ramfs, hugetlbfs
    std::size_t memoryDeviceCount = 0;
    bool memoryDevicesKnown = false;
};

// dump_workspace_linux.cpp. acquireWorkspace maps a workspace sized for
// every mapping the kernel allows, or falls back on the one reserved by
// reserveWorkspace (taken at setup, so a process whose address space is
// exhausted still gets a dump). Callers hold DumpLock.
Workspace *acquireWorkspace();
void returnWorkspace(Workspace *w);
void reserveWorkspace(); // not signal-safe: setup only

// dump_threads_linux.cpp: the helper process that stops every thread but
// the calling one and reads their registers. startHelper returns its pid,
// or 0 when there is none; finishHelper lets the threads go.
int startHelper(Workspace &w);
void finishHelper(Workspace &w, int pid);
long countThreads(Workspace &w);

// dump_maps_linux.cpp: the mappings from smaps (or maps) and what of each
// goes into the file.
bool readMappings(Workspace &w);
void classify(Workspace &w, bool pageInfo);
const char *mappingName(const Workspace &w, const Mapping &m);
bool fileBacked(const Workspace &w, const Mapping &m);

// dump_memory_linux.cpp: copying memory into the file.
struct Output {
    int fd;
    bool broken = false; // disk full, file too large: stop writing
    // Large runs of memory go around the page cache (O_DIRECT) when the
    // dump is too large for the cache to take in without writing back
    // anyway; dropped for good once the file system refuses it.
    bool direct = false;
    bool directOn = false; // the descriptor's O_DIRECT flag as set now
};
// Whether a dump of `bytes` of memory should write around the page cache.
bool wantsDirect(std::uint64_t bytes);
struct PageSource {
    int fd = -1; // /proc/.../pagemap, or -1 where refused
    bool scan = true; // PAGEMAP_SCAN until the kernel says it has none
};
void writeAt(Output &out, const void *data, std::size_t size, std::uint64_t offset);
void copyMapping(Output &out, Workspace &w, PageSource &pages, const Mapping &m);

// dump_notes_linux.cpp: the PT_NOTE contents.
struct ProcessIds {
    int pid, ppid, pgrp, sid;
};
void addNotes(Workspace &w, const ProcessIds &ids, int signo, const siginfo_t *info, const ucontext_t *uc,
              const user_regs_struct &regs);
void registersFromContext(const ucontext_t *uc, user_regs_struct &r);
// Copies the auxiliary vector now, for dumps of a process that may later
// refuse /proc reads (not dumpable). Not signal-safe: setup only.
void rememberAuxv();

// dump_path_linux.cpp: keeps the executable's folder (`dir`, or the one of
// /proc/self/exe when null) for dumps without a base directory. Setup only.
void rememberExecutableDir(const char *dir);

// dump_writer_linux.cpp: one whole dump into an open file.
void dumpProcess(Workspace &w, int fd, int signo, const siginfo_t *info, const ucontext_t *uc);

} // namespace lx
} // namespace vask

#endif // VASKSUPPORT_CRASH_DUMP_INTERNAL_LINUX_P_H
