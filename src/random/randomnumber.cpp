#include "randomnumber.h"

#include "qt5rand_p.h"

#include <algorithm>
#include <limits>

#if defined(__SANITIZE_THREAD__)
#define VASK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VASK_TSAN 1
#endif
#endif
#ifdef VASK_TSAN
#include <sanitizer/tsan_interface.h>
#endif

static_assert(sizeof(unsigned int) == sizeof(quint32), "seeds are 32-bit");

namespace {

// The tables are the qrand() sequence after qsrand(seed), which hosts rely
// on. Qt 5 draws from its own generator (the calling thread's, as qrand()
// always did); Qt 6 has none, so its build draws from a copy of Qt 5's
// that gives the same values.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
class Generator
{
public:
    // Qt 5.15 deprecates qsrand/qrand in favour of QRandomGenerator; the
    // warning is silenced around these two calls and nowhere else.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    explicit Generator(quint32 seed) { qsrand(seed); }
    qint32 next() { return qrand(); }
    QT_WARNING_POP
};
#else
using Generator = vask::random::Qt5Rand;
#endif

qint32 saturatedCount(long count)
{
    return static_cast<qint32>(
        std::clamp<long>(count, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()));
}

// A list of `count` (> 0) zeros in one reserved block. QList has no bulk
// resize, and appending value by value costs an out-of-line call into Qt per
// value, which made a fill nearly twice as slow as the qrand() calls alone;
// growing the list by copying itself (a memcpy into reserved space) and then
// overwriting the slots in order keeps a fill at the generator's own cost.
QList<qint32> zeroFilled(qint32 count)
{
    QList<qint32> list;
    list.reserve(count);
    list.append(0);
    while (list.size() <= count / 2)
        list.append(list);
    if (list.size() < count)
        list.append(list.mid(0, count - list.size()));
    return list;
}

// Holds a lock for writing for one scope. Qt itself is not built with
// ThreadSanitizer, so under it the lock's hand-over between threads is
// announced explicitly; otherwise this is exactly lockForWrite()/unlock().
class WriteGuard
{
public:
    explicit WriteGuard(QReadWriteLock &lock) : mLock(lock)
    {
        mLock.lockForWrite();
#ifdef VASK_TSAN
        __tsan_acquire(&mLock);
#endif
    }
    ~WriteGuard()
    {
#ifdef VASK_TSAN
        __tsan_release(&mLock);
#endif
        mLock.unlock();
    }
    WriteGuard(const WriteGuard &) = delete;
    WriteGuard &operator=(const WriteGuard &) = delete;

private:
    QReadWriteLock &mLock;
};

} // namespace

RandomNumber::RandomNumber(unsigned int seed, long count)
    : mSeed(seed), mCount(saturatedCount(count)), mCursor(0), mLock(QReadWriteLock::NonRecursive)
{
    init();
}

// Members go in reverse order: the lock first, then the list.
RandomNumber::~RandomNumber() = default;

void RandomNumber::init()
{
    WriteGuard guard(mLock);
    mValues.clear();
    Generator generator(mSeed);
    if (mCount > 0) {
        // All memory is taken before the first value is drawn, so a fill
        // cannot fail halfway: a non-empty table always holds exactly mCount
        // values, and on failure the table stays empty.
        QList<qint32> table = zeroFilled(mCount);
        for (qint32 &value : table)
            value = generator.next();
        mValues.swap(table);
    }
    mCursor = 0;
}

long RandomNumber::rand()
{
    WriteGuard guard(mLock);
    const int size = mValues.size();
    if (size == 0)
        return 0;
    // Wrap at the start of the call that would read past the end, so after
    // the last value the cursor rests at the size until the next call.
    if (mCursor >= size)
        mCursor = 0;
    return mValues.at(mCursor++);
}

long RandomNumber::rand(long &cursor)
{
    WriteGuard guard(mLock);
    // A non-empty table holds exactly mCount values (see init()); bounding by
    // what it holds keeps every read inside it regardless.
    const long size = mValues.size();
    if (size == 0)
        return 0;
    long index = cursor;
    if (index < 0)
        index = 0;
    else if (index >= size)
        index %= size;
    cursor = index + 1;
    return mValues.at(static_cast<int>(index));
}

void RandomNumber::setSeed(unsigned int seed)
{
    mSeed = seed;
}
