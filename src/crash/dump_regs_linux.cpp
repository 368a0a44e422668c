// Registers in the layout of NT_PRSTATUS and NT_PRFPREG: from a signal
// frame, or from the calling thread as it is at a direct call (saved by a
// few instructions of our own, so that no ucontext_t has to sit in the
// frame of every dump).
#include "dump_internal_linux_p.h"

#include "dump_sys_linux_p.h"
#include "dump_text_linux_p.h"

#include <asm/prctl.h>

#include <cstddef>

// The caller's callee-saved registers, stack pointer and return address,
// flags, and FXSAVE image (declared in dump_internal_linux_p.h).
// Signal-safe.
__asm__(".text\n"
        ".globl vaskSaveCaller\n"
        ".hidden vaskSaveCaller\n"
        ".type vaskSaveCaller, @function\n"
        "vaskSaveCaller:\n"
        "    mov %r15, 0(%rdi)\n"
        "    mov %r14, 8(%rdi)\n"
        "    mov %r13, 16(%rdi)\n"
        "    mov %r12, 24(%rdi)\n"
        "    mov %rbp, 32(%rdi)\n"
        "    mov %rbx, 40(%rdi)\n"
        "    mov (%rsp), %rax\n"
        "    mov %rax, 128(%rdi)\n" // rip: where the caller goes on
        "    lea 8(%rsp), %rax\n"
        "    mov %rax, 152(%rdi)\n" // rsp: the caller's, once we return
        "    pushfq\n"
        "    pop %rax\n"
        "    mov %rax, 144(%rdi)\n"
        "    fxsave64 (%rsi)\n"
        "    ret\n"
        ".size vaskSaveCaller, .-vaskSaveCaller\n");

namespace vask {
namespace lx {

namespace {

static_assert(offsetof(user_regs_struct, rbx) == 40 && offsetof(user_regs_struct, rip) == 128
                  && offsetof(user_regs_struct, eflags) == 144 && offsetof(user_regs_struct, rsp) == 152,
              "vaskSaveCaller writes the kernel's register layout");
static_assert(sizeof(user_fpregs_struct) == 512, "the FXSAVE image");

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

// What is the same for every register source: segments and this thread's
// TLS bases (what gdb needs for thread-local variables). Signal-safe.
void addSegments(user_regs_struct &r)
{
    r.orig_rax = ~0ULL; // not inside a system call
    r.cs = segmentSelector(0);
    r.ss = segmentSelector(1);
    r.ds = segmentSelector(2);
    r.es = segmentSelector(3);
    r.fs = segmentSelector(4);
    r.gs = segmentSelector(5);
    sys(SYS_arch_prctl, ARCH_GET_FS, arg(&r.fs_base));
    sys(SYS_arch_prctl, ARCH_GET_GS, arg(&r.gs_base));
}

CallerState gCaller;

} // namespace

// Signal-safe.
CallerState &callerState()
{
    return gCaller;
}

// Runs on the thread the frame belongs to. Signal-safe.
void registersFromSignal(const ucontext_t *uc, user_regs_struct &r, user_fpregs_struct &fp, bool &fpValid)
{
    fillBytes(&r, 0, sizeof r);
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
    addSegments(r);
    fpValid = uc->uc_mcontext.fpregs != nullptr;
    if (fpValid)
        copyBytes(&fp, uc->uc_mcontext.fpregs, sizeof fp);
}

// Signal-safe.
void registersFromContext(const ucontext_t *uc, FaultingThread &t)
{
    registersFromSignal(uc, t.regs, t.fpregs, t.fpValid);
    copyBytes(&t.sighold, &uc->uc_sigmask, sizeof t.sighold);
}

// From what vaskSaveCaller saved in callerState(). Signal-safe.
void registersFromCaller(FaultingThread &t, std::uint64_t sighold)
{
    const CallerState &c = callerState();
    copyBytes(&t.regs, &c.regs, sizeof t.regs);
    addSegments(t.regs);
    copyBytes(&t.fpregs, &c.fp, sizeof t.fpregs);
    t.fpValid = true;
    t.sighold = sighold;
}

} // namespace lx
} // namespace vask
