// The PT_NOTE segment of a dump, in the kernel's order: the faulting
// thread's NT_PRSTATUS first (gdb makes the first thread the current one),
// then the process-wide notes (NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE),
// then that thread's FP registers, then every other thread.
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <sys/prctl.h>
#include <sys/procfs.h>

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
    fillBytes(p, 0, total);
    const Elf64_Nhdr header = {std::uint32_t(sizeof kName), std::uint32_t(descSize), type};
    copyBytes(p, &header, sizeof header);
    copyBytes(p + sizeof header, kName, sizeof kName);
    w.notesUsed += total;
    return p + sizeof header + alignUp(sizeof kName, 4);
}

// Signal-safe.
void addNote(Workspace &w, std::uint32_t type, const void *desc, std::size_t size)
{
    if (void *d = addNote(w, type, size))
        copyBytes(d, desc, size);
}

// NT_PRSTATUS of one thread; its NT_PRFPREG, when fpValid, must follow
// before the next thread's status. Signal-safe.
void addStatus(Workspace &w, const ProcessIds &ids, int tid, int signo, const siginfo_t *info, std::uint64_t sighold,
               const user_regs_struct &regs, bool fpValid)
{
    elf_prstatus status;
    fillBytes(&status, 0, sizeof status);
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
    copyBytes(&status.pr_reg, &regs, sizeof regs);
    status.pr_fpvalid = fpValid;
    addNote(w, NT_PRSTATUS, &status, sizeof status);
}

// Signal-safe.
void addProcessInfo(Workspace &w, const ProcessIds &ids)
{
    elf_prpsinfo info;
    fillBytes(&info, 0, sizeof info);
    info.pr_sname = 'R';
    info.pr_uid = unsigned(sys(SYS_getuid));
    info.pr_gid = unsigned(sys(SYS_getgid));
    info.pr_pid = ids.pid;
    info.pr_ppid = ids.ppid;
    info.pr_pgrp = ids.pgrp;
    info.pr_sid = ids.sid;
    char *buffer = w.io;
    long n = readOwnProc("comm", buffer, sizeof info.pr_fname);
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
        copyBytes(&type, buffer + at, sizeof type);
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
        copyBytes(buffer, gAuxv, std::size_t(kept));
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
    copyBytes(desc, head, sizeof head);
    std::uint8_t *entry = desc + 16;
    char *text = reinterpret_cast<char *>(desc + 16 + count * 24);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        if (!fileBacked(w, m))
            continue;
        const std::uint64_t e[3] = {m.start, m.end, m.fileOffset / kPage};
        copyBytes(entry, e, sizeof e);
        entry += sizeof e;
        copyBytes(text, mappingName(w, m), m.nameLength + 1);
        text += m.nameLength + 1;
    }
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

// Signal-safe.
void addNotes(Workspace &w, const ProcessIds &ids, int signo, const siginfo_t *info)
{
    const FaultingThread &f = w.faulting;
    addStatus(w, ids, w.helper.writerTid, signo, info, f.sighold, f.regs, f.fpValid);
    addProcessInfo(w, ids);
    if (void *si = addNote(w, NT_SIGINFO, sizeof(siginfo_t))) {
        if (info)
            copyBytes(si, info, sizeof(siginfo_t));
        else
            copyBytes(si, &signo, sizeof signo); // si_signo comes first
    }
    const long auxv = readAuxv(w.io, w.ioSize);
    if (auxv > 0)
        addNote(w, NT_AUXV, w.io, std::size_t(auxv));
    addFileNote(w);
    if (f.fpValid)
        addNote(w, NT_PRFPREG, &f.fpregs, sizeof f.fpregs);
    const int others = w.helper.published.load(std::memory_order_acquire);
    for (int i = 0; i < others; ++i) {
        const ThreadRecord &t = w.helper.threads[i];
        if (!__atomic_load_n(&t.haveRegs, __ATOMIC_ACQUIRE))
            continue;
        addStatus(w, ids, t.tid, signo, nullptr, 0, t.regs, t.fpValid);
        if (t.fpValid)
            addNote(w, NT_PRFPREG, &t.fpregs, sizeof t.fpregs);
    }
}

} // namespace lx
} // namespace vask
