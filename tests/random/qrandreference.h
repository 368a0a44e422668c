#ifndef VASK_QRANDREFERENCE_H
#define VASK_QRANDREFERENCE_H

#include <QtGlobal>

#include <cstdio>
#include <string>
#include <vector>

namespace vasktest {

// The first n results of qrand() after qsrand(seed) on the calling thread:
// what a table built from that seed must hold. Without a seed (Qt 5 only),
// the next n. The reference is Qt's deprecated generator itself.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
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
#else
// Qt 6 has no qrand(): the values come from Qt 5's own, drawn by
// qrand_reference, a program of this build linked to Qt 5.
inline std::vector<long> qrandSequence(long long seed, int n)
{
    std::vector<long> values;
    const std::string command = std::string(VASK_QRAND_REFERENCE) + " " + std::to_string(seed) + " " + std::to_string(n);
    if (FILE *pipe = popen(command.c_str(), "r")) {
        long v = 0;
        while (int(values.size()) < n && std::fscanf(pipe, "%ld", &v) == 1)
            values.push_back(v);
        pclose(pipe);
    }
    return values;
}
#endif

} // namespace vasktest

#endif
