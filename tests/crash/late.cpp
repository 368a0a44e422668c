// A library finalized after every other one (-z initfirst): once armed, its
// finalizer faults, at a point where VaskSupport's statics are destroyed.
#include <cstdint>

namespace {
volatile bool gArmed = false;
}

extern "C" void vaskLateArm()
{
    gArmed = true;
}

__attribute__((destructor)) static void vaskLateFault()
{
    static volatile std::uintptr_t target = 0;
    if (gArmed)
        __asm__ volatile("movl $1, (%0)" : : "r"(target) : "memory");
}
