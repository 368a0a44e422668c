#ifndef VASKSUPPORT_RANDOM_RANDOMNUMBER_H
#define VASKSUPPORT_RANDOM_RANDOMNUMBER_H

#include <QList>
#include <QReadWriteLock>
#include <QtGlobal>

#include "vasksupport_global.h"

// A table of pseudo-random integers generated in one go from a seed, then
// served in order. The same seed and size always give the same table: it holds
// the first `count` results of qrand() after qsrand(seed), each between 0 and
// RAND_MAX.
//
// Two kinds of reader share a table: rand() walks the table's own cursor,
// rand(cursor) walks a cursor the caller keeps, so several consumers can read
// one table independently of each other and of the own cursor. Both wrap to
// the start after the last value.
//
// Integer widths: the table keeps a 32-bit size and 32-bit values; the
// interface uses `long` for the size, the cursors and the values (32 bits on
// Windows, 64 on LP64 systems):
//  - a count outside the 32-bit range is saturated to it: a count above
//    2147483647 asks for that many values (more than a QList can hold, so the
//    allocation fails with std::bad_alloc as any too-large table does), a
//    count below the range makes an empty table like any count <= 0;
//  - a caller's cursor is brought into range with its full width: below 0 it
//    becomes 0, at or above the size it becomes the remainder of the whole
//    value, so no cursor ever overflows or reads outside the table.
//
// Thread safety: init(), rand() and rand(cursor) each hold the table's lock
// for writing for their whole run, so any thread may call them and threads may
// share one cursor variable as long as they pass it to the same table.
// setSeed() takes no lock and must not run alongside init() on the same table.
// The qsrand/qrand state belongs to the calling thread: init() seeds it and
// draws the whole table, so afterwards that thread's generator continues from
// where the fill stopped.
class VASKSUPPORT_EXPORT RandomNumber
{
public:
    // Stores seed and count, then fills the table (see init()).
    RandomNumber(unsigned int seed, long count);
    ~RandomNumber();

    // The lock can be neither copied nor moved, and neither can the table.
    RandomNumber(const RandomNumber &) = delete;
    RandomNumber &operator=(const RandomNumber &) = delete;

    // Empties the table and refills it from the stored seed; the own cursor
    // returns to the start. Callers' cursors are theirs and stay where they are.
    void init();

    // The next value by the own cursor; 0 when the table is empty.
    long rand();

    // The value at the caller's cursor, which is first brought into range
    // (below 0 -> 0, at or above the size -> the remainder) and then advanced
    // by one. On an empty table: 0, and the cursor is left as it was.
    long rand(long &cursor);

    // Stores the seed for the next init(); the table stays as it is.
    void setSeed(unsigned int seed);

private:
    QList<qint32> mValues;
    quint32 mSeed;
    qint32 mCount; // as given, saturated to 32 bits; fixed for life
    qint32 mCursor; // index of the value the next rand() returns, 0..mCount
    QReadWriteLock mLock; // non-recursive; only ever taken for writing
};

#endif // VASKSUPPORT_RANDOM_RANDOMNUMBER_H
