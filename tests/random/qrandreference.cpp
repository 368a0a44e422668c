#include "qrandreference.h"

#include <QtGlobal>

// The reference is Qt's deprecated generator itself; the warning is expected.
QT_WARNING_DISABLE_DEPRECATED

namespace vasktest {

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

} // namespace vasktest
