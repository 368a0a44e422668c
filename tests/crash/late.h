#ifndef VASK_TEST_DUMP_LATE_H
#define VASK_TEST_DUMP_LATE_H

// A library finalized after every other one (-z initfirst): once armed, its
// finalizer faults, at a point where VaskSupport's statics are destroyed.
extern "C" void vaskLateArm();

#endif
