// The random tables against Qt's own generator: RandomNumber's two kinds of
// cursor and its 32-bit edges as scripts of steps, RandomNumberManager's
// seeds and rebuilds, and the Qt-free copy of qsrand/qrand.
#include "qt5rand_p.h"
#include "randomnumbermanager.h"

#include "qrandreference.h"

#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <vector>

// A count above 32 bits asks for an impossible allocation on purpose; under
// the sanitizers that must come back as a failed allocation (and so as
// std::bad_alloc from Qt) rather than end the process.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using vasktest::qrandSequence;
constexpr long kKeep = LONG_MIN + 1; // rand(cursor) goes on from where the cursor is
constexpr int kStream = 100000;

// 'r' rand(), 'c' rand(cursor) with the cursor set to arg first, 's'
// setSeed(arg), 'i' init(). `at` is the index of the value expected in the
// table the last init built (-1: 0 is expected); `cursor` is the caller's
// cursor afterwards.
struct Step {
    char op;
    long arg;
    int at;
    long cursor;
};

struct Script {
    const char *name;
    unsigned int seed;
    long count;
    std::vector<Step> steps;
};

const std::vector<Step> kEmpty = {{'r', 0, -1, 0},         {'c', 4, -1, 4},        {'c', -9, -1, -9},
                                  {'c', LONG_MAX, -1, LONG_MAX}, {'i', 0, -1, LONG_MAX}, {'r', 0, -1, LONG_MAX}};
const Script kScripts[] = {
    {"own cursor wraps", 3, 3, {{'r', 0, 0, 0}, {'r', 0, 1, 0}, {'r', 0, 2, 0}, {'r', 0, 0, 0}, {'r', 0, 1, 0},
                                {'r', 0, 2, 0}, {'r', 0, 0, 0}}},
    {"caller's cursor into range", 3, 3,
     {{'c', -5, 0, 1}, {'c', 2, 2, 3}, {'c', kKeep, 0, 1}, {'c', 7, 1, 2}, {'c', kKeep, 2, 3}, {'c', 0, 0, 1},
      {'c', (1L << 32) + 1, 2, 3}, {'c', LONG_MAX, 1, 2}, {'c', LONG_MIN, 0, 1}}},
    {"cursors apart", 3, 3, {{'r', 0, 0, 0}, {'c', 0, 0, 1}, {'c', kKeep, 1, 2}, {'r', 0, 1, 2}, {'r', 0, 2, 2},
                             {'c', kKeep, 2, 3}, {'r', 0, 0, 3}}},
    {"seed takes effect at init", 7, 4, {{'r', 0, 0, 0}, {'s', 8, -1, 0}, {'r', 0, 1, 0}, {'c', 1, 1, 2},
                                         {'i', 0, -1, 2}, {'r', 0, 0, 2}, {'c', kKeep, 2, 3}, {'r', 0, 1, 3}}},
    {"old seed rebuilds", 7, 4, {{'s', 9, -1, 0}, {'i', 0, -1, 0}, {'s', 7, -1, 0}, {'i', 0, -1, 0}, {'c', 0, 0, 1},
                                 {'c', 3, 3, 4}}},
    {"size 0", 5, 0, kEmpty},
    {"size -1", 5, -1, kEmpty},
    {"size below 32 bits", 5, LONG_MIN, kEmpty},
};

TEST(RandomNumber, Scripts)
{
    for (const Script &s : kScripts) {
        RandomNumber table(s.seed, s.count);
        std::vector<long> values = qrandSequence(s.seed, int(std::max(s.count, 0L)));
        unsigned int seed = s.seed;
        long cursor = 0;
        for (size_t i = 0; i < s.steps.size(); ++i) {
            const Step &step = s.steps[i];
            long got = 0;
            if (step.op == 'r') {
                got = table.rand();
            } else if (step.op == 'c') {
                cursor = step.arg == kKeep ? cursor : step.arg;
                got = table.rand(cursor);
            } else if (step.op == 's') {
                table.setSeed(seed = unsigned(step.arg));
            } else {
                table.init();
                values = qrandSequence(seed, int(std::max(s.count, 0L)));
            }
            EXPECT_EQ(got, step.at < 0 ? 0 : values[step.at]) << s.name << ", step " << i;
            EXPECT_EQ(cursor, step.cursor) << s.name << ", step " << i;
        }
    }
}

TEST(RandomNumber, FillAndWrap)
{
    // The fill reseeds whatever came before, and the calling thread's
    // generator goes on where the fill stopped.
    const std::vector<long> reference = qrandSequence(4242, 1010);
    RandomNumber table(4242, 1000);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    EXPECT_EQ(qrandSequence(-1, 10), std::vector<long>(reference.begin() + 1000, reference.end()));
#endif
    // Every small size holds exactly its values, then wraps.
    for (int n = 1; n <= 17; ++n) {
        std::vector<long> expected = qrandSequence(9, n), got;
        expected.push_back(expected.front());
        RandomNumber small(9, n);
        for (int i = 0; i <= n; ++i)
            got.push_back(small.rand());
        EXPECT_EQ(got, expected) << "size " << n;
    }
    // Cut to 32 bits this count would be 3; it asks for more than a Qt 5
    // table holds (a Qt 6 list takes 2^31 - 1 values, which may be granted).
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    EXPECT_THROW(RandomNumber(1, (1L << 32) + 3), std::bad_alloc);
#endif
}

// Every value of a stream, by a cursor of our own.
std::vector<long> table(RandomNumber *stream)
{
    std::vector<long> values(kStream);
    long cursor = 0;
    for (long &value : values)
        value = stream->rand(cursor);
    return values;
}

std::vector<long> seeds(RandomNumberManager &m) { return {long(m.seedVehiBaseInfo()), long(m.seedVehiDriving())}; }

// Setters only store, each its own seed, and assignment copies the seeds
// only; init rebuilds both tables from them. Each manager keeps its own
// tables: under AddressSanitizer a shared or dangling one shows up as a
// double free or a use after free.
TEST(RandomNumberManager, SeedsTakeEffectAtInit)
{
    RandomNumberManager m;
    RandomNumber *const streams[] = {m.mRandomVehiBaseInfo, m.mRandomVehiDriving};
    const struct {
        void (*act)(RandomNumberManager &);
        std::vector<long> seeds, tables;
    } steps[] = {
        {[](RandomNumberManager &) {}, {0, 0}, {0, 0}},
        {[](RandomNumberManager &m) { m.setSeed(4); }, {4, 4}, {0, 0}},
        {[](RandomNumberManager &m) { m.setSeedVehiBaseInfo(6); }, {6, 4}, {0, 0}},
        {[](RandomNumberManager &m) { m.setSeedVehiDriving(9); }, {6, 9}, {0, 0}},
        {[](RandomNumberManager &m) { m.init(); }, {6, 9}, {6, 9}},
        {[](RandomNumberManager &m) { m.setSeed(5), m.init(); }, {5, 5}, {5, 5}},
        {[](RandomNumberManager &m) {
             RandomNumberManager other;
             other.setSeedVehiBaseInfo(11), other.setSeedVehiDriving(12), other.init();
             m = other;
         }, {11, 12}, {5, 5}},
        {[](RandomNumberManager &m) { m = static_cast<RandomNumberManager &>(m), m.init(); }, {11, 12}, {11, 12}},
    };
    for (const auto &step : steps) {
        m.mRandomVehiBaseInfo->rand(); // moves the own cursor of one stream only
        step.act(m);
        EXPECT_EQ(seeds(m), step.seeds);
        EXPECT_TRUE(m.mRandomVehiBaseInfo == streams[0] && m.mRandomVehiDriving == streams[1]);
        EXPECT_EQ(table(m.mRandomVehiBaseInfo), qrandSequence(step.tables[0], kStream));
        EXPECT_EQ(table(m.mRandomVehiDriving), qrandSequence(step.tables[1], kStream));
    }
    // The last init put both own cursors back at the start.
    EXPECT_EQ(m.mRandomVehiBaseInfo->rand(), qrandSequence(11, 1)[0]);
}

TEST(Qt5Rand, DrawsWhatQrandDraws)
{
    for (unsigned int seed : {0u, 1u, 2u, 48271u, 2147483646u, 2147483647u, 2147483648u, 4294967295u, 0xdeadbeefu}) {
        vask::random::Qt5Rand generator(seed);
        std::vector<long> values(kStream);
        for (long &value : values)
            value = generator.next();
        EXPECT_EQ(values, qrandSequence(seed, kStream)) << "seed " << seed;
    }
}

} // namespace
