// The PT_NOTE segment of a dump, in the kernel's order: the faulting
// thread's NT_PRSTATUS first (gdb makes the first thread the current one),
// then the process-wide notes (NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE),
// then that thread's FP registers, then every other thread.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"

#include <asm/prctl.h>
#include <sys/prctl.h>
#include <sys/procfs.h>

#include <cstring>

namespace vask {
namespace lx {

namespace {

// PR_GET_AUXV (Linux 6.4); older headers lack it.
constexpr int kGetAuxv = 0x41555856;

// The auxiliary vector as taken at setup, for a process that can no longer
// read its own (not dumpable: /proc/self/auxv is then root's) on a kernel
// without PR_GET_AUXV.
char gAuxv[4096];
std::atomic<long> gAuxvLength {0};

// Appends a note header and name; returns its zeroed descriptor, or null
// when the buffer is full. Signal-safe.
void *addNote(Workspace &w, std::uint32_t type, std::size_t descSize)
{
    static const char kName[] = "CORE";
    const std::size_t total = sizeof(Elf64_Nhdr) + alignUp(sizeof kName, 4) + alignUp(descSize, 4);
    if (w.notesUsed + total > w.notesCapacity)
        return nullptr;
    std::uint8_t *p = w.notes + w.notesUsed;
    std::memset(p, 0, total);
    const Elf64_Nhdr header = {std::uint32_t(sizeof kName), std::uint32_t(descSize), type};
    std::memcpy(p, &header, sizeof header);
    std::memcpy(p + sizeof header, kName, sizeof kName);
    w.notesUsed += total;
    return p + sizeof header + alignUp(sizeof kName, 4);
}

// Signal-safe.
void addNote(Workspace &w, std::uint32_t type, const void *desc, std::size_t size)
{
    if (void *d = addNote(w, type, size))
        std::memcpy(d, desc, size);
}

// NT_PRSTATUS of one thread; its NT_PRFPREG, when fpValid, must follow
// before the next thread's status. Signal-safe.
void addStatus(Workspace &w, const ProcessIds &ids, int tid, int signo, const siginfo_t *info, std::uint64_t sighold,
               const user_regs_struct &regs, bool fpValid)
{
    elf_prstatus status;
    std::memset(&status, 0, sizeof status);
    status.pr_info.si_signo = signo;
    if (info) {
        status.pr_info.si_code = info->si_code;
        status.pr_info.si_errno = info->si_errno;
    }
    status.pr_cursig = short(signo);
    status.pr_sighold = sighold;
    status.pr_pid = tid;
    status.pr_ppid = ids.ppid;
    status.pr_pgrp = ids.pgrp;
    status.pr_sid = ids.sid;
    static_assert(sizeof status.pr_reg == sizeof regs, "elf_gregset_t is user_regs_struct");
    std::memcpy(&status.pr_reg, &regs, sizeof regs);
    status.pr_fpvalid = fpValid;
    addNote(w, NT_PRSTATUS, &status, sizeof status);
}

// Signal-safe.
void addProcessInfo(Workspace &w, const ProcessIds &ids)
{
    elf_prpsinfo info;
    std::memset(&info, 0, sizeof info);
    info.pr_sname = 'R';
    info.pr_uid = unsigned(sys(SYS_getuid));
    info.pr_gid = unsigned(sys(SYS_getgid));
    info.pr_pid = ids.pid;
    info.pr_ppid = ids.ppid;
    info.pr_pgrp = ids.pgrp;
    info.pr_sid = ids.sid;
    char *buffer = w.io;
    long n = readWhole("/proc/self/comm", buffer, sizeof info.pr_fname);
    for (long i = 0; i < n && buffer[i] != '\n'; ++i)
        info.pr_fname[i] = buffer[i];
    // The command line, arguments separated by spaces, as ps shows it.
    n = readOwnProc("cmdline", buffer, sizeof info.pr_psargs - 1);
    while (n > 0 && buffer[n - 1] == '\0')
        --n;
    for (long i = 0; i < n; ++i)
        info.pr_psargs[i] = buffer[i] == '\0' ? ' ' : buffer[i];
    addNote(w, NT_PRPSINFO, &info, sizeof info);
}

// The length of an auxiliary vector up to and including its AT_NULL entry,
// as /proc shows it (the kernel's own copy has room to spare). Signal-safe.
long throughEnd(const char *buffer, long length)
{
    for (long at = 0; at + 16 <= length; at += 16) {
        std::uint64_t type;
        std::memcpy(&type, buffer + at, sizeof type);
        if (type == 0)
            return at + 16;
    }
    return length;
}

// The auxiliary vector into `buffer`: from the kernel, else from /proc,
// else the copy taken at setup. Returns its length. Signal-safe.
long readAuxv(char *buffer, std::size_t size)
{
    const long n = sys(SYS_prctl, kGetAuxv, arg(buffer), long(size), 0, 0);
    if (n > 0 && std::size_t(n) <= size)
        return throughEnd(buffer, n);
    const long m = readOwnProc("auxv", buffer, size);
    if (m > 0)
        return m;
    const long kept = gAuxvLength.load();
    if (kept > 0 && std::size_t(kept) <= size)
        std::memcpy(buffer, gAuxv, std::size_t(kept));
    return kept;
}

// NT_FILE: which file backs which mapping, so gdb can find the executable
// and the libraries' build ids. Signal-safe.
void addFileNote(Workspace &w)
{
    std::size_t count = 0, nameBytes = 0;
    for (std::size_t i = 0; i < w.mapCount; ++i)
        if (fileBacked(w, w.maps[i])) {
            ++count;
            nameBytes += w.maps[i].nameLength + 1;
        }
    auto *desc = static_cast<std::uint8_t *>(addNote(w, NT_FILE, 16 + count * 24 + nameBytes));
    if (!desc)
        return;
    const std::uint64_t head[2] = {count, kPage};
    std::memcpy(desc, head, sizeof head);
    std::uint8_t *entry = desc + 16;
    char *text = reinterpret_cast<char *>(desc + 16 + count * 24);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        if (!fileBacked(w, m))
            continue;
        const std::uint64_t e[3] = {m.start, m.end, m.fileOffset / kPage};
        std::memcpy(entry, e, sizeof e);
        entry += sizeof e;
        std::memcpy(text, mappingName(w, m), m.nameLength + 1);
        text += m.nameLength + 1;
    }
}

// Signal-safe.
unsigned long segmentSelector(int which)
{
    unsigned long v = 0;
    switch (which) {
    case 0:
        __asm__ volatile("mov %%cs, %0" : "=r"(v));
        break;
    case 1:
        __asm__ volatile("mov %%ss, %0" : "=r"(v));
        break;
    case 2:
        __asm__ volatile("mov %%ds, %0" : "=r"(v));
        break;
    case 3:
        __asm__ volatile("mov %%es, %0" : "=r"(v));
        break;
    case 4:
        __asm__ volatile("mov %%fs, %0" : "=r"(v));
        break;
    default:
        __asm__ volatile("mov %%gs, %0" : "=r"(v));
        break;
    }
    return v & 0xffff;
}

} // namespace

void rememberAuxv()
{
    if (gAuxvLength.load() > 0)
        return;
    const long n = readAuxv(gAuxv, sizeof gAuxv);
    if (n > 0)
        gAuxvLength.store(n);
}

// The calling thread's registers as the signal frame (or getcontext) saved
// them, in the layout of NT_PRSTATUS. Signal-safe.
void registersFromContext(const ucontext_t *uc, user_regs_struct &r)
{
    std::memset(&r, 0, sizeof r);
    if (uc) {
        const greg_t *g = uc->uc_mcontext.gregs;
        r.r15 = g[REG_R15];
        r.r14 = g[REG_R14];
        r.r13 = g[REG_R13];
        r.r12 = g[REG_R12];
        r.rbp = g[REG_RBP];
        r.rbx = g[REG_RBX];
        r.r11 = g[REG_R11];
        r.r10 = g[REG_R10];
        r.r9 = g[REG_R9];
        r.r8 = g[REG_R8];
        r.rax = g[REG_RAX];
        r.rcx = g[REG_RCX];
        r.rdx = g[REG_RDX];
        r.rsi = g[REG_RSI];
        r.rdi = g[REG_RDI];
        r.rip = g[REG_RIP];
        r.eflags = g[REG_EFL];
        r.rsp = g[REG_RSP];
    }
    r.orig_rax = ~0ULL; // not inside a system call
    r.cs = segmentSelector(0);
    r.ss = segmentSelector(1);
    r.ds = segmentSelector(2);
    r.es = segmentSelector(3);
    r.fs = segmentSelector(4);
    r.gs = segmentSelector(5);
    // Same thread, same TLS: what gdb needs for thread-local variables.
    sys(SYS_arch_prctl, ARCH_GET_FS, arg(&r.fs_base));
    sys(SYS_arch_prctl, ARCH_GET_GS, arg(&r.gs_base));
}

// Signal-safe.
void addNotes(Workspace &w, const ProcessIds &ids, int signo, const siginfo_t *info, const ucontext_t *uc,
              const user_regs_struct &regs)
{
    const user_fpregs_struct *fp
        = uc && uc->uc_mcontext.fpregs ? reinterpret_cast<const user_fpregs_struct *>(uc->uc_mcontext.fpregs) : nullptr;
    std::uint64_t sighold = 0;
    if (uc)
        std::memcpy(&sighold, &uc->uc_sigmask, sizeof sighold);
    addStatus(w, ids, w.faultTid, signo, info, sighold, regs, fp != nullptr);
    addProcessInfo(w, ids);
    if (void *si = addNote(w, NT_SIGINFO, sizeof(siginfo_t))) {
        if (info)
            std::memcpy(si, info, sizeof(siginfo_t));
        else
            std::memcpy(si, &signo, sizeof signo); // si_signo comes first
    }
    const long auxv = readAuxv(w.io, w.ioSize);
    if (auxv > 0)
        addNote(w, NT_AUXV, w.io, std::size_t(auxv));
    addFileNote(w);
    if (fp)
        addNote(w, NT_PRFPREG, fp, sizeof *fp);
    const int others = w.published.load(std::memory_order_acquire);
    for (int i = 0; i < others; ++i) {
        const ThreadRecord &t = w.threads[i];
        if (!t.haveRegs)
            continue;
        addStatus(w, ids, t.tid, signo, nullptr, 0, t.regs, t.fpValid);
        if (t.fpValid)
            addNote(w, NT_PRFPREG, &t.fpregs, sizeof t.fpregs);
    }
}

} // namespace lx
} // namespace vask
