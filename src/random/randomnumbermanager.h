#ifndef VASKSUPPORT_RANDOM_RANDOMNUMBERMANAGER_H
#define VASKSUPPORT_RANDOM_RANDOMNUMBERMANAGER_H

#include "randomnumber.h"
#include "vasksupport_global.h"

// The simulation's two vehicle random streams, each a RandomNumber table of
// 100000 values: vehicle base information and vehicle driving.
//
// Draws are made on the streams themselves, through the two public pointers
// (rand() or rand(cursor)). The manager keeps one seed per stream; the setters
// only store, and init() gives both streams their seeds and then refills
// both tables. A new manager has both seeds 0, and both streams start out with
// the same table.
//
// Assignment copies the two stored seeds and nothing else: each manager keeps
// owning its own two tables, untouched (values and cursors) until its next
// init(), which then rebuilds them from the copied seeds. No table is ever
// shared between managers, so destroying one can never leave another with a
// dangling stream. Copy construction is not offered, as it would have to
// decide the same question without an init() to follow.
//
// The manager has no lock of its own: the setters, the getters and init()
// must not run at the same time on one manager. Draws from other threads
// during init() wait for the refill (each table locks itself).
class VASKSUPPORT_EXPORT RandomNumberManager
{
public:
    // Both seeds 0; creates the base-information stream, then the driving
    // stream. If the second cannot be created the first is released.
    RandomNumberManager();
    // Destroys the base-information stream, then the driving stream.
    ~RandomNumberManager();

    RandomNumberManager(const RandomNumberManager &) = delete;
    // Copies the stored seeds only; see above.
    RandomNumberManager &operator=(const RandomNumberManager &other);

    // Gives each stream its stored seed, then refills the base-information
    // table, then the driving table; their own cursors return to the start.
    void init();

    // Stores seed for both streams.
    void setSeed(unsigned int seed);
    // The stored seeds: those the next init() uses, which differ from what the
    // tables were built from while a setter has run since the last init().
    // (Not const: hosts link against exactly these signatures.)
    unsigned int seedVehiBaseInfo();
    unsigned int seedVehiDriving();
    void setSeedVehiBaseInfo(unsigned int seed);
    void setSeedVehiDriving(unsigned int seed);

    // The streams, owned by this manager and never null.
    RandomNumber *mRandomVehiBaseInfo;
    RandomNumber *mRandomVehiDriving;

private:
    unsigned int mSeedVehiBaseInfo;
    unsigned int mSeedVehiDriving;
};

#endif // VASKSUPPORT_RANDOM_RANDOMNUMBERMANAGER_H
