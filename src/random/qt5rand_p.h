#ifndef VASKSUPPORT_RANDOM_QT5RAND_P_H
#define VASKSUPPORT_RANDOM_QT5RAND_P_H

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace vask::random {

// The sequence of Qt 5's qsrand(seed) followed by qrand() calls, computed
// without Qt, so that a table holds the same values for a seed whichever Qt
// the library is built with. Qt 5.10 to 5.15 keep that generator per thread:
//  - on Windows it is the C runtime's srand()/rand() (msvcrt and the UCRT
//    alike): state = state * 214013 + 2531011 modulo 2^32, and each value is
//    bits 16 to 30 of the new state, 0 to 32767;
//  - everywhere else a thread-local std::minstd_rand: state = state * 48271
//    modulo 2^31 - 1, and each value is the new state, 1 to 2^31 - 2. Seeding
//    reduces the seed modulo 2^31 - 1 and turns 0 into 1, so the seeds 0, 1,
//    2^31 - 1, 2^31 and 2^32 - 1 all give one sequence.
// A thread that draws without seeding first gets the sequence of seed 1 on
// both. Each object is one independent generator: no thread's or runtime's
// state is read or changed.
class Qt5Rand
{
public:
    explicit Qt5Rand(unsigned int seed) noexcept
#ifdef _WIN32
        : mState(seed)
#else
        : mState(seed % kModulus == 0 ? 1u : static_cast<std::uint32_t>(seed % kModulus))
#endif
    { }

    // The next value, as the next qrand() would return it.
    int next() noexcept
    {
#ifdef _WIN32
        mState = mState * 214013u + 2531011u;
        return static_cast<int>((mState >> 16) & 0x7fffu);
#else
        mState = static_cast<std::uint32_t>(std::uint64_t {mState} * 48271u % kModulus);
        // Qt folds the value into 0..RAND_MAX where RAND_MAX is not INT_MAX.
        if constexpr (RAND_MAX != INT_MAX)
            return static_cast<int>(mState % (static_cast<std::uint32_t>(RAND_MAX) + 1u));
        return static_cast<int>(mState);
#endif
    }

private:
#ifndef _WIN32
    static constexpr std::uint32_t kModulus = 2147483647u; // 2^31 - 1
#endif
    std::uint32_t mState;
};

} // namespace vask::random

#endif // VASKSUPPORT_RANDOM_QT5RAND_P_H
