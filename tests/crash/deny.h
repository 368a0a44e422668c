#ifndef VASK_TESTS_CRASH_DENY_H
#define VASK_TESTS_CRASH_DENY_H

#include <cerrno>
#include <cstddef>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

// Makes a system call fail with `error` for the rest of this process, as a
// container or an older kernel would: every call, or (arg >= 0) those whose
// argument `arg` is `value`. An `error` of -1 traps the call instead, as a
// sandbox may: the calling thread gets SIGSYS; -2 kills the process.
inline bool denySyscall(long nr, int arg, unsigned value, int error)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, unsigned(nr), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, unsigned(offsetof(seccomp_data, args) + 8 * (arg < 0 ? 0 : arg))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, static_cast<unsigned char>(arg < 0 ? 0 : 1)),
        BPF_STMT(BPF_RET | BPF_K,
                 error == -2   ? SECCOMP_RET_KILL_PROCESS
                     : error < 0 ? SECCOMP_RET_TRAP
                                 : SECCOMP_RET_ERRNO | unsigned(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

#endif
