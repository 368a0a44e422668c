#ifndef VASK_TESTS_CRASH_CRASHER_PARTS_H
#define VASK_TESTS_CRASH_CRASHER_PARTS_H

// Pieces of dump_crasher's steps (crasher_parts.cpp).
#include <cstddef>
#include <functional>
#include <string>

// Ends the crasher with exit code 3, saying why, unless `ok`.
void check(bool ok, const char *what);
// Runs `body` on `n` threads that start it at the same moment.
void together(int n, const std::function<void(int)> &body);
// Allocates and frees for ever.
void churn();
// Maps `size` bytes of a file shared, made that long.
char *mapFile(const std::string &path, std::size_t size);
// Sets a resource limit, soft and hard.
void limit(int resource, const std::string &value);
// Forks `n` processes that go on from the same moment; waits for them and
// what they fork, for at most 20 s. True in the children.
bool spawn(int n);
// Takes every descriptor but `free`.
void takeDescriptors(int free);

#endif
