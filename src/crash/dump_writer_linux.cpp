// One dump into a file: the ELF core layout, the order of writing, and the
// file itself.
//
// The layout puts what a debugger needs most first: ELF header, program
// headers, notes, then the faulting thread's stack, the other threads'
// stacks, then every other mapping from small to large. The file is written
// front to back, so when the disk fills up what is lost is the end, and the
// file stays visibly short (gdb says a segment extends past its end) instead
// of holding zeros that look like data.
#include "dump_linux_p.h"

#include "dump_internal_linux_p.h"
#include "dump_sys_linux_p.h"

#include <sys/stat.h>

#include <cstring>

namespace vask {
namespace lx {

namespace {

// The order of writing: 0 the faulting thread's stack, 1 the other
// threads' stacks, then the rest from small to large, so that a cut dump
// keeps as many whole mappings as it can: the small ones hold what a
// debugger needs to find its way (the dynamic linker's list of libraries,
// the files' data and relocated tables, thread control blocks).
constexpr std::uint8_t kRanks = 6;

// Signal-safe.
void rank(Workspace &w, const user_regs_struct &faulting)
{
    const int others = w.published.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        Mapping &m = w.maps[i];
        auto holds = [&m](std::uint64_t sp) { return sp >= m.start && sp < m.end; };
        bool stack = false;
        for (int t = 0; t < others && !stack; ++t)
            stack = w.threads[t].haveRegs && holds(w.threads[t].regs.rsp);
        const std::uint64_t size = m.dumpSize;
        m.rank = holds(faulting.rsp) ? 0
            : stack                  ? 1
            : size <= 64 << 10       ? 2
            : size <= 1 << 20        ? 3
            : size <= 16 << 20       ? 4
                                     : 5;
    }
}

// Signal-safe.
void writeHeaders(Output &out, Workspace &w, std::size_t phnum, std::uint64_t notesOffset)
{
    const bool extended = phnum >= PN_XNUM;
    Elf64_Ehdr eh;
    std::memset(&eh, 0, sizeof eh);
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_ident[EI_OSABI] = ELFOSABI_NONE;
    eh.e_type = ET_CORE;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof(Elf64_Ehdr);
    eh.e_ehsize = sizeof(Elf64_Ehdr);
    eh.e_phentsize = sizeof(Elf64_Phdr);
    // More than 65534 segments: the count moves to section header 0.
    eh.e_phnum = extended ? PN_XNUM : Elf64_Half(phnum);
    const std::uint64_t sectionOffset = sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr);
    if (extended) {
        eh.e_shoff = sectionOffset;
        eh.e_shentsize = sizeof(Elf64_Shdr);
        eh.e_shnum = 1;
    }
    writeAt(out, &eh, sizeof eh, 0);

    // Program headers stay in address order; only the file offsets follow
    // the order of writing.
    Elf64_Phdr *ph = w.phdrs;
    std::memset(ph, 0, phnum * sizeof *ph);
    ph[0].p_type = PT_NOTE;
    ph[0].p_offset = notesOffset;
    ph[0].p_filesz = w.notesUsed;
    ph[0].p_align = 4;
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        Elf64_Phdr &p = ph[i + 1];
        p.p_type = PT_LOAD;
        p.p_flags = m.flags;
        p.p_offset = m.dumpOffset;
        p.p_vaddr = m.start;
        p.p_filesz = m.dumpSize;
        p.p_memsz = m.end - m.start;
        p.p_align = kPage;
    }
    writeAt(out, ph, phnum * sizeof *ph, sizeof(Elf64_Ehdr));
    if (extended) {
        Elf64_Shdr sh;
        std::memset(&sh, 0, sizeof sh);
        sh.sh_type = SHT_NULL;
        sh.sh_size = 1;
        sh.sh_info = Elf64_Word(phnum);
        writeAt(out, &sh, sizeof sh, sectionOffset);
    }
}

// Opens the dump file without ever blocking or writing anything but a file
// of ours: a new file, or else a regular file owned by us with one link
// (never a link, a FIFO, a device, or a file another user planted in a
// shared folder). O_NONBLOCK: a FIFO swapped in at the last moment can't
// hold us. Returns the descriptor, or -errno. Signal-safe.
int openDumpFile(const char *path)
{
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    const int created = openFile(path, kFlags | O_CREAT | O_EXCL, 0600);
    if (created != -EEXIST)
        return created;
    struct stat before;
    if (sys(SYS_newfstatat, AT_FDCWD, arg(path), arg(&before), AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(before.st_mode))
        return -EPERM;
    const int fd = openFile(path, kFlags);
    if (fd < 0)
        return fd;
    struct stat st;
    if (sys(SYS_fstat, fd, arg(&st)) != 0 || !S_ISREG(st.st_mode) || st.st_dev != before.st_dev
        || st.st_ino != before.st_ino || st.st_nlink != 1 || st.st_uid != unsigned(sys(SYS_geteuid))) {
        closeFile(fd);
        return -EPERM;
    }
    // The old contents go, and the file holds the whole memory: ours alone.
    sys(SYS_ftruncate, fd, 0);
    sys(SYS_fchmod, fd, 0600);
    return fd;
}

// Writes the dump with every signal of this thread blocked. Signal-safe.
bool writeCoreFrom(const char *path, int signo, const siginfo_t *info, const ucontext_t *uc)
{
    // Nothing of the host runs on this thread until we are done, and a file
    // size limit yields EFBIG instead of killing us with SIGXFSZ.
    const std::uint64_t all = ~std::uint64_t(0);
    std::uint64_t previous = 0;
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&all), arg(&previous), 8);

    // Everything the dump needs comes first: no empty file is left behind
    // when there is no memory to write it with.
    bool written = false;
    if (Workspace *w = acquireWorkspace()) {
        const int fd = openDumpFile(path);
        if (fd >= 0) {
            dumpProcess(*w, fd, signo, info, uc);
            closeFile(fd);
            written = true;
        }
        returnWorkspace(w);
    }
    if (written && !(previous & signalBit(SIGXFSZ))) {
        // Drop a SIGXFSZ we caused, or unblocking would deliver it.
        const std::uint64_t xfsz = signalBit(SIGXFSZ);
        struct timespec zero = {0, 0};
        sys(SYS_rt_sigtimedwait, arg(&xfsz), 0, arg(&zero), 8);
    }
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&previous), 0, 8);
    return written;
}

} // namespace

// Signal-safe.
void dumpProcess(Workspace &w, int fd, int signo, const siginfo_t *info, const ucontext_t *uc)
{
    w.pid = int(sys(SYS_getpid));
    w.faultTid = int(sys(SYS_gettid));
    const ProcessIds ids = {w.pid, int(sys(SYS_getppid)), int(sys(SYS_getpgid, 0)), int(sys(SYS_getsid, 0))};

    const int helper = countThreads(w) > 1 ? startHelper(w) : 0;

    Output out = {fd};
    PageSource pages;
    pages.fd = openOwnProc("pagemap", O_RDONLY | O_CLOEXEC);
    readMappings(w);
    classify(w, pages.fd >= 0);
    user_regs_struct regs;
    registersFromContext(uc, regs);
    rank(w, regs);
    addNotes(w, ids, signo, info, uc, regs);

    // Layout: ELF header, program headers, (extended count), notes, then
    // the mappings' contents page-aligned, rank by rank.
    const std::size_t phnum = 1 + w.mapCount;
    std::uint64_t offset = sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr);
    if (phnum >= PN_XNUM)
        offset += sizeof(Elf64_Shdr);
    const std::uint64_t notesOffset = offset;
    offset = alignUp(offset + w.notesUsed, kPage);
    for (std::uint8_t r = 0; r < kRanks; ++r)
        for (std::size_t i = 0; i < w.mapCount; ++i)
            if (w.maps[i].rank == r) {
                w.maps[i].dumpOffset = offset;
                offset += w.maps[i].dumpSize;
            }
    const std::uint64_t fileSize = offset;

    // What will be copied: whole dense mappings, the held pages of others.
    std::uint64_t memory = 0;
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        const Mapping &m = w.maps[i];
        const std::uint64_t held = m.residentKb < (m.dumpSize >> 10) ? m.residentKb << 10 : m.dumpSize;
        memory += m.contents == Dense ? m.dumpSize : m.contents == NoContents ? 0 : held;
    }
    out.direct = wantsDirect(memory);

    writeHeaders(out, w, phnum, notesOffset);
    writeAt(out, w.notes, w.notesUsed, notesOffset);
    for (std::uint8_t r = 0; r < kRanks; ++r)
        for (std::size_t i = 0; i < w.mapCount && !out.broken; ++i)
            if (w.maps[i].rank == r)
                copyMapping(out, w, pages, w.maps[i]);
    // Trailing holes count towards the length, but only in a whole dump: a
    // cut one must look cut.
    if (!out.broken)
        sys(SYS_ftruncate, fd, long(fileSize));

    if (pages.fd >= 0)
        closeFile(pages.fd);
    finishHelper(w, helper);
}

// Signal-safe.
bool writeCore(const char *path, int signo, const siginfo_t *info, const void *context)
{
    const DumpLock lock;
    if (context)
        return writeCoreFrom(path, signo, info, static_cast<const ucontext_t *>(context));
    // Captured here, in a frame that stays alive while the dump is written,
    // so the dump shows this thread inside the call that asked for it.
    ucontext_t now;
    if (getcontext(&now) != 0)
        return writeCoreFrom(path, signo, info, nullptr);
    return writeCoreFrom(path, signo, info, &now);
}

} // namespace lx
} // namespace vask
