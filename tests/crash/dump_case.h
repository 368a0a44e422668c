#ifndef VASK_TESTS_CRASH_DUMP_CASE_H
#define VASK_TESTS_CRASH_DUMP_CASE_H

// One case of the crash table (dump_table.cpp), run by dump_test.cpp.
#include <gtest/gtest.h>

#include <ostream>

namespace vaskdump {

struct Case {
    const char *name;
    const char *steps;       // "{base}" and "{dir}" stand for the folders, "{long}" for 4200 x
    int signal;              // it ends by this signal; 0: exits with 0; -1: either way
    const char *where;       // base, later or bin: the folder its dumps land in; "": none
    const char *top = "";    // at the top of each dump's backtrace (of one, after direct dumps)
    int threads = 1;         // threads with registers in each dump; 0: not checked
    const char *says = "";   // in its output or gdb's view of a dump, '|' between several
    int dumps = 1;           // how many; -2: one or two
    const char *plant = "";  // at every name a dump could take: fifo, link, hardlink, foreign, ours
    const char *wrap = "";   // pidns: as init of a PID namespace; tmpfs: {dir}/mem a tmpfs; noproc: no /proc
    bool unsanitized = false; // a sanitizer's runtime brings its own address space and stack use
    int runs = 1;            // a race: each run may catch it
};

inline void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

using DumpTest = ::testing::TestWithParam<Case>;

} // namespace vaskdump

#endif
