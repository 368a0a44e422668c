// The crash table: each case is a real dump_crasher process, judged by how
// it ends and by what gdb reads from its dumps (dump_test.cpp).
#include <signal.h>

#include "dump_case.h"

namespace vaskdump {

INSTANTIATE_TEST_SUITE_P(Cases, DumpTest, ::testing::Values(
    // Ways to die: each by its own signal, with the faulting function in the dump.
    Case{"Segv", "base={base} setup threads=3 fault=s", SIGSEGV, "base", "vaskFault", 4, " main ("},
    Case{"Fpe", "base={base} setup fault=f", SIGFPE, "base", "vaskFault"},
    Case{"Ill", "base={base} setup fault=i", SIGILL, "base", "vaskFault"},
    Case{"Trap", "base={base} setup fault=t", SIGTRAP, "base", "vaskFault"},
    Case{"Abort", "base={base} setup abort", SIGABRT, "base", "", 1, "crasher.cpp:"},
    Case{"StackOverflow", "base={base} setup stack", SIGSEGV, "base", "vaskRecurse"},
    Case{"StackOverflowOfAThreadThatCalledSetup", "base={base} setup threadstack", SIGSEGV, "base", "vaskRecurse", 2},
    Case{"FourThreadsFaultingAtOnceOneDump", "base={base} setup threads4", SIGSEGV, "base", "vaskFault", 5},
    // The other thread holds the allocator's lock now and then; a dump that
    // allocated would hang.
    Case{"InsideMalloc", "base={base} setup malloc", SIGSEGV, "base", "vaskFault", 2, "", 1, "", "", false, 3},
    // Where ptrace is refused every other thread saves its own registers,
    // but one that blocks every signal, which is left out. (Under a
    // sanitizer the blocker's mask is the runtime's to keep.)
    Case{"WithoutPtraceEveryThread", "base={base} setup threads=2 blocker noptrace fault=s", SIGSEGV, "base",
         "vaskFault", 3, " main (", 1, "", "", true},
    // (LeakSanitizer traces the process at exit: not with these filters.)
    Case{"WithoutPtraceDirect", "base={base} setup threads=2 noptrace direct=watch direct=watch", 0, "base", "", 3,
         "result 1\nidle threads held\nresult 1\nidle threads held\nsurvived| DmpHelper::callback (", 2, "", "", true},
    // Yama keeps one tracer per process, with no way to read it back: a
    // direct dump must not name one.
    Case{"DirectDumpNamesNoTracer", "base={base} setup threads=2 keeptracer direct", 0, "base", "", 3,
         "result 1\nsurvived", 1, "", "", true},
    // A sandbox that traps the calls a dump makes: the host lives through a
    // direct dump, and a crash dump still holds every thread.
    Case{"SandboxTrapsDirect", "base={base} setup threads=2 trap=ptrace trap=clone trap=ioctl direct", 0, "base", "",
         3, "result 1\nsurvived| DmpHelper::callback (", 1, "", "", true},
    Case{"SandboxTrapsCrash", "base={base} setup threads=2 trap=ptrace trap=clone trap=ioctl fault=s", SIGSEGV,
         "base", "vaskFault", 3},
    Case{"SandboxTrapsPtraceOnly", "base={base} setup threads=2 trap=ptrace fault=s", SIGSEGV, "base", "vaskFault", 3},
    // A leak took every descriptor (or all but a few): the dump is whole.
    // (A sanitizer's runtime needs descriptors of its own.)
    Case{"NoDescriptorFree", "base={base} setup threads=2 fds=0 fault=s", SIGSEGV, "base", "vaskFault", 3, " main (", 1,
         "", "", true},
    Case{"OneDescriptorFree", "base={base} setup threads=2 fds=1 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1, "",
         "", true},
    Case{"TwoDescriptorsFree", "base={base} setup threads=2 fds=2 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1, "",
         "", true},
    Case{"ThreeDescriptorsFree", "base={base} setup threads=2 fds=3 fault=s", SIGSEGV, "base", "vaskFault", 3, "", 1,
         "", "", true},
    // A direct dump cut short by a full disk: the host lives on (the
    // SIGXFSZ the dump caused is not its to get).
    Case{"DiskFullDirect", "base={base} setup threads=2 fsize=20000000 direct", 0, "base", "", 3,
         "result 1\nsurvived|extending past end of file", 1, "", "", true},
    // What a direct dump gave up it takes back: the next one is whole too.
    Case{"NoDescriptorFreeDirect", "base={base} setup threads=2 fds=0 direct direct", 0, "base", "", 3,
         "result 1\nresult 1\nsurvived", 2, "", "", true},
    // Processes of one host crashing in the same millisecond: a dump each.
    Case{"ProcessesCrashingTogether", "base={base} setup spawn=3 fault=s", 0, "base", "vaskFault", 1,
         "child ended by signal 11\nchild ended by signal 11\nchild ended by signal 11\nsurvived", 3, "", "", false,
         2},

    // A process forked during a crash dump crashes on its own: it dumps
    // too, and ends.
    Case{"ForkedDuringACrashDump", "base={base} setup noptrace spawn=1 blocker=fork fault=s", 0, "base", "vaskFault", 0,
         "child ended by signal 11\nchild ended by signal 11\nsurvived", 2, "", "", true},

    // (How it ends is not ours to say: AddressSanitizer's handler exits.)
    Case{"WithoutSetupNothing", "base={base} fault=s", -1, ""},
    // Where the dump goes, and what is already there.
    // A handler of the host's own is dropped; setup twice is setup once.
    Case{"BaseSetAfterSetup", "base={base} prior setup setup base={dir}/later fault=s", SIGSEGV, "later", "vaskFault"},
    Case{"BesideTheExecutableWithoutBase", "setup fault=s", SIGSEGV, "bin", "vaskFault"},
    Case{"BaseMissing", "base={dir}/missing setup fault=s", SIGSEGV, ""},
    // A base too long to keep for the crash path: no dump, not one elsewhere.
    Case{"BaseTooLong", "base={dir}/{long} setup fault=s", SIGSEGV, ""},
    // Whatever holds the name is left as it is; the dump takes another.
    Case{"SymbolicLinks", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "link"},
    Case{"Fifos", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "fifo"},
    Case{"HardLinks", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "hardlink"},
    Case{"FilesOfAnotherUser", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "foreign"},
    Case{"OldDumpOfOursKept", "base={base} setup fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "ours"},
    // When the disk fills up the dump stays visibly short.
    Case{"DiskFull", "base={base} setup threads=2 fsize=20000000 fault=s", SIGSEGV, "base", "vaskFault", 3,
         "extending past end of file", 1, "ours", "", true},
    // A process in trouble.
    Case{"AfterTeardown", "base={base} setup late", SIGSEGV, "bin", "vaskLateFault()"},
    Case{"MainThreadGone", "base={base} setup threads=2 mainexits fault=s", SIGSEGV, "base", "vaskFault", 3,
         "::runRestOnThread ("},
    Case{"NotDumpable", "base={base} setup noauxv notdumpable fault=s", SIGSEGV, "base", "vaskFault"},
    Case{"AddressSpaceExhausted", "base={base} setup as=4096 fault=s", SIGSEGV, "base", "vaskFault", 1, "", 1, "", "",
         true},
    Case{"SmallAltStack", "base={base} setup threads=2 altstack={dir}/altstack fault=s", SIGSEGV, "base", "vaskFault",
         3, "", 1, "", "", true},
    // A shared file on a tmpfs of its own (not /dev/shm), one page touched:
    // the dumps must not allocate the rest (8 blocks before, and after).
    Case{"TmpfsFileNotAllocated", "base={base} setup tmpfile={dir}/mem/shared direct", 0, "base", "", 1,
         "file blocks 8\n| DmpHelper::callback (", 1, "", "tmpfs"},
    // Called directly, the process goes on; each call has a file of its own;
    // the other threads stay stopped until the dump is written.
    Case{"DirectCalls", "base={base} setup threads=2 direct=watch direct=watch", 0, "base", "", 3,
         "result 1\nidle threads held\nresult 1\nidle threads held\nsurvived| DmpHelper::callback (|::runSteps (", 2},
    // Two at once take turns (they used to stop each other for good), so
    // they can't share a millisecond.
    Case{"TwoDirectCallsAtOnce", "base={base} setup together", 0, "base", "", 0,
         "result 1\nresult 1\nsurvived| DmpHelper::callback (", 2},
    // A crash waits for a direct dump, then dumps last; no direct dump
    // starts after it.
    Case{"CrashDuringADirectCall", "base={base} setup racecrash", SIGSEGV, "base", "vaskFault", 0, "", -2, "", "",
         false, 2},
    // As init of a PID namespace its own signal is ignored: it must end anyway.
    Case{"InitOfAPidNamespace", "base={base} setup abort", SIGABRT, "base", "", 1, "pid 1\n", 1, "", "pidns"},
    // No /proc at all: no list of mappings, so no libraries and no other
    // threads, but the faulting thread's stack, the whole backtrace. (A
    // sanitizer's runtime can't start without /proc.)
    Case{"WithoutProc", "base={base} setup threads=2 fault=s", SIGSEGV, "base", "vaskFault", 1, " main (", 1, "",
         "noproc", true},
    // Its /proc is the parent namespace's, where pid 1 is another process.
    Case{"ThreadsInAPidNamespace", "base={base} setup threads=2 fault=s", SIGSEGV, "base", "vaskFault", 3, "pid 1\n",
         1, "", "pidns"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace vaskdump
