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

// A device number as the dump keeps it: major << 20 | minor.
inline std::uint32_t deviceNumber(std::uint64_t major, std::uint64_t minor)
{
    return std::uint32_t(major << 20 | (minor & 0xfffff));
}

// Another thread of the process, as the dump records it.
struct ThreadRecord {
    int tid;
    bool seized; // we trace it
    bool stopped; // in a ptrace stop, to be detached
    bool haveRegs; // regs hold its registers (set last)
    bool fpValid;
    int stopStatus;
    user_regs_struct regs;
    user_fpregs_struct fpregs;
};

// The faulting (or calling) thread: its registers as the signal frame saved
// them, or as they were at a direct call.
struct FaultingThread {
    user_regs_struct regs;
    user_fpregs_struct fpregs;
    bool fpValid;
    std::uint64_t sighold;
};

// Everything the helper process may touch: it shares our memory but is
// another process, so it sees only what is placed here, and all that the
// dumping thread reads back from it is `published` records of `threads`.
struct HelperShared {
    std::atomic<int> go {0}; // set by the dumping thread: start
    std::atomic<int> stopped {0}; // set by the helper: threads stopped
    std::atomic<int> refused {0}; // set by the helper: ptrace is refused here
    std::atomic<int> release {0}; // set by the dumping thread: the dump is done
    std::atomic<int> published {0}; // records of `threads` filled in
    int pid = 0; // the dumping process
    int writerTid = 0; // the dumping thread, which is left alone
    int taskDir = -1; // the dumping process's /proc/self/task, open
    bool foreignProc = false; // taskDir lists ids of another PID namespace
    ThreadRecord *threads = nullptr;
    std::size_t threadCapacity = 0;
    char *stack = nullptr;
    std::size_t stackSize = 0;
    char *io = nullptr; // for reading taskDir
    std::size_t ioSize = 0;
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
    HelperShared helper;
    FaultingThread faulting;

    std::uintptr_t base = 0;
    std::size_t size = 0;

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

// Calls fn(tid) for every thread listed in the open folder `dir` (a
// /proc/.../task), read from its start through `buffer`; returns the count,
// or -1 when it can't be read. The one way the crash path lists threads.
// Signal-safe.
// `foreign`: the /proc of another PID namespace, whose ids are translated.
template <typename Fn> long forEachTask(int dir, bool foreign, char *buffer, std::size_t size, Fn fn);

// dump_threads_linux.cpp: the helper process that stops every thread but
// the dumping one with ptrace and reads their registers. startHelper
// returns its pid, or 0 when there is none or ptrace is refused;
// finishHelper lets the threads go.
int startHelper(HelperShared &h, bool nameTracer);
void finishHelper(HelperShared &h, int pid);

// dump_capture_linux.cpp: where ptrace is refused, each other thread is
// asked by a signal to save its own registers and wait for the end of the
// dump. The signal is chosen at setup (useCaptureSignal, not signal-safe)
// and handled by onCapture.
void onCapture(int signo, siginfo_t *info, void *context);
int captureSignal();
bool reserveCaptureSlots();
void useCaptureSignal(int signo);
void captureThreads(HelperShared &h);
void releaseCaptured();

// dump_maps_linux.cpp: the mappings from smaps (or maps).
template <typename Fn> void forEachLine(Workspace &w, int fd, Fn line);
bool readMappings(Workspace &w);
void addStackAlone(Workspace &w, std::uint64_t sp);
const char *mappingName(const Workspace &w, const Mapping &m);
bool fileBacked(const Workspace &w, const Mapping &m);

// dump_classify_linux.cpp: what of each mapping goes into the file.
void readMemoryDevices(Workspace &w);
void classify(Workspace &w, bool pageInfo);

// dump_output_linux.cpp: writing into the file.
struct Output {
    int fd;
    bool broken = false; // disk full, file too large: stop writing
    // Large runs of memory go around the page cache (O_DIRECT) when free
    // memory can't hold the dump; dropped for good once the file system
    // refuses it.
    bool direct = false;
    bool directOn = false; // the descriptor's O_DIRECT flag as set now
};
// The largest piece of memory written at once (copyMemory) and mapped in
// ahead of its copy (a file's pages).
constexpr std::uint64_t kCopyPiece = 64 << 20;
// Whether a dump of `bytes` of memory should write around the page cache.
bool wantsDirect(std::uint64_t bytes);
void writeAt(Output &out, const void *data, std::size_t size, std::uint64_t offset);
// Process memory; a page that can't be read leaves a hole.
void copyMemory(Output &out, std::uint64_t address, std::uint64_t size, std::uint64_t offset);

// dump_memory_linux.cpp: the pages of a mapping that go into the file.
struct PageSource {
    int fd = -1; // /proc/.../pagemap, or -1 where refused
    bool scan = true; // PAGEMAP_SCAN until the kernel says it has none
    // File pages are mapped in ahead of copying them (MADV_POPULATE_READ),
    // until the kernel says it can't.
    bool populate = true;
};
void copyMapping(Output &out, Workspace &w, PageSource &pages, const Mapping &m);

// dump_notes_linux.cpp: the PT_NOTE contents.
struct ProcessIds {
    int pid, ppid, pgrp, sid;
};
void addNotes(Workspace &w, const ProcessIds &ids, int signo, const siginfo_t *info);
// Copies the auxiliary vector now, for dumps of a process that may later
// refuse /proc reads (not dumpable). Not signal-safe: setup only.
void rememberAuxv();

// dump_regs_linux.cpp: registers in the layout of NT_PRSTATUS, from a
// signal frame or from the calling thread as it is.
// A direct dump saves its caller's registers with vaskSaveCaller into
// callerState() (under DumpLock), from a frame that stays alive until the
// dump is written, so that the dump shows the thread inside that frame.
struct CallerState {
    user_regs_struct regs;
    alignas(16) user_fpregs_struct fp; // FXSAVE wants 16-byte alignment
};
CallerState &callerState();
void registersFromContext(const ucontext_t *uc, FaultingThread &t);
void registersFromCaller(FaultingThread &t, std::uint64_t sighold);
void registersFromSignal(const ucontext_t *uc, user_regs_struct &r, user_fpregs_struct &fp, bool &fpValid);

// dump_path_linux.cpp: keeps the executable's folder (`dir`, or the one of
// /proc/self/exe when null) for dumps without a base directory. Setup only.
void rememberExecutableDir(const char *dir);

// dump_writer_linux.cpp: one whole dump into an open file, of the process
// as it is, w.faulting filled in. `direct`: the process goes on after it.
void dumpProcess(Workspace &w, int fd, int signo, const siginfo_t *info, bool direct);

// dump_core_linux.cpp: the dump of a crash; the caller holds DumpLock.
void dumpCrash(int signo, const siginfo_t *info, const void *context);

// dump_signals_linux.cpp: the handler of every fatal signal.
void onFatalSignal(int signo, siginfo_t *info, void *context);
// Whether a sandbox's SIGSYS for one of our own
// calls reaches our handler, which turns it into a failed call. When it
// doesn't, calls a sandbox is known to trap (clone, ptrace, ioctl) are
// not made. Signal-safe.
bool trapsHandled();

} // namespace lx
} // namespace vask

// Signal-safe.
extern "C" void vaskSaveCaller(user_regs_struct *regs, void *fxsave);

#include "dump_lists_linux_p.h"

#endif // VASKSUPPORT_CRASH_DUMP_INTERNAL_LINUX_P_H
