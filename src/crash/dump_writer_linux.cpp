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
#include "dump_text_linux_p.h"

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
void rank(Workspace &w)
{
    const user_regs_struct &faulting = w.faulting.regs;
    const int others = w.helper.published.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        Mapping &m = w.maps[i];
        auto holds = [&m](std::uint64_t sp) { return sp >= m.start && sp < m.end; };
        bool stack = false;
        for (int t = 0; t < others && !stack; ++t)
            stack = w.helper.threads[t].haveRegs && holds(w.helper.threads[t].regs.rsp);
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
    fillBytes(&eh, 0, sizeof eh);
    copyBytes(eh.e_ident, ELFMAG, SELFMAG);
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
    fillBytes(ph, 0, phnum * sizeof *ph);
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
        fillBytes(&sh, 0, sizeof sh);
        sh.sh_type = SHT_NULL;
        sh.sh_size = 1;
        sh.sh_info = Elf64_Word(phnum);
        writeAt(out, &sh, sizeof sh, sectionOffset);
    }
}

// The other threads: stopped by the helper with ptrace, or, where that is
// refused or a sandbox would trap it, each saving its own registers.
// Returns the helper's pid, 0 when there is none. Signal-safe.
int gatherThreads(Workspace &w, bool direct, bool &captured)
{
    HelperShared &h = w.helper;
    captured = false;
    h.taskDir = openFile("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    h.foreignProc = procIsForeign();
    int helper = 0;
    if (forEachTask(h.taskDir, false, w.io, w.ioSize, [](int) {}) > 1) {
        // A crash may name the helper as our tracer, which the host never
        // learns of; a direct dump leaves the host's choice alone.
        helper = trapsHandled() ? startHelper(h, !direct) : 0;
        if (helper == 0) {
            captureThreads(h);
            captured = true;
        }
    }
    if (h.taskDir >= 0)
        closeFile(h.taskDir);
    h.taskDir = -1;
    return helper;
}

} // namespace

// Signal-safe.
void dumpProcess(Workspace &w, int fd, int signo, const siginfo_t *info, bool direct)
{
    w.helper.pid = int(sys(SYS_getpid));
    w.helper.writerTid = int(sys(SYS_gettid));
    const ProcessIds ids = {w.helper.pid, int(sys(SYS_getppid)), int(sys(SYS_getpgid, 0)), int(sys(SYS_getsid, 0))};
    bool captured = false;
    const int helper = gatherThreads(w, direct, captured);

    Output out = {fd};
    PageSource pages;
    pages.fd = openOwnProc("pagemap", O_RDONLY | O_CLOEXEC);
    pages.scan = pages.populate = trapsHandled(); // calls a sandbox may trap
    if (!readMappings(w))
        addStackAlone(w, w.faulting.regs.rsp);
    readMemoryDevices(w);
    classify(w, pages.fd >= 0);
    rank(w);
    addNotes(w, ids, signo, info);

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
    finishHelper(w.helper, helper);
    if (captured)
        releaseCaptured();
}

} // namespace lx
} // namespace vask
