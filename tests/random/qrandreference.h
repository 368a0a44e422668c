#ifndef VASK_QRANDREFERENCE_H
#define VASK_QRANDREFERENCE_H

#include <QtGlobal>

#include <vector>

namespace vasktest {

// The first n results of qrand() after qsrand(seed) on the calling thread:
// what a table built from that seed must hold. Without a seed, the next n.
// The reference is Qt's deprecated generator itself.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
inline std::vector<long> qrandSequence(long long seed, int n)
{
    if (seed >= 0)
        qsrand(static_cast<unsigned int>(seed));
    std::vector<long> values(n);
    for (long &value : values)
        value = qrand();
    return values;
}
QT_WARNING_POP

} // namespace vasktest

#endif
