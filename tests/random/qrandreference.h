#ifndef VASK_QRANDREFERENCE_H
#define VASK_QRANDREFERENCE_H

#include <vector>

namespace vasktest {

// The first n results of qrand() after qsrand(seed), drawn on the calling
// thread: what a table built from that seed must hold.
std::vector<long> qrandSequence(unsigned int seed, int n);

// The next n results of qrand() on the calling thread, without reseeding
// (Qt 5 only: Qt 6 has no such generator).
std::vector<long> qrandContinue(int n);

} // namespace vasktest

#endif
