#include "qrandreference.h"

#include <QtGlobal>

#include <cstdio>
#include <string>

// The reference is Qt's deprecated generator itself; the warning is expected.
QT_WARNING_DISABLE_DEPRECATED

namespace vasktest {

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
std::vector<long> qrandSequence(unsigned int seed, int n)
{
    qsrand(seed);
    return qrandContinue(n);
}

std::vector<long> qrandContinue(int n)
{
    std::vector<long> values;
    values.reserve(n);
    for (int i = 0; i < n; ++i)
        values.push_back(qrand());
    return values;
}
#else
// Qt 6 has no qrand(): the values come from Qt 5's own, drawn by
// qrand_reference, a program of this build linked to Qt 5.
std::vector<long> qrandSequence(unsigned int seed, int n)
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
