// The library's exported surface: every defined symbol of the built shared
// object's dynamic symbol table, demangled by nm, must be listed in
// expected/*.txt, and every name listed there must be exported. A missing
// name or an internal helper leaking into the table fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

std::set<std::string> exported(std::string &error)
{
    std::set<std::string> names;
    FILE *nm = popen("nm --dynamic --defined-only --demangle --format=just-symbols '" VASK_LIBRARY_FILE "'", "r");
    char line[4096];
    while (nm && std::fgets(line, sizeof line, nm))
        names.insert(std::string(line, std::strcspn(line, "\n")));
    for (const char *linker : {"_init", "_fini", "_edata", "_end", "__bss_start"}) // the linker's, not ours
        names.erase(linker);
    if (!nm || pclose(nm) != 0 || names.empty())
        error = "nm could not read " VASK_LIBRARY_FILE;
    return names;
}

TEST(ExportedSurface, MatchesTheExpectedListExactly)
{
    std::string error;
    const std::set<std::string> actual = exported(error);
    ASSERT_TRUE(error.empty()) << error;
    std::set<std::string> expected;
    for (const auto &file : std::filesystem::directory_iterator(VASK_SURFACE_DIR)) {
        std::ifstream in(file.path());
        for (std::string line; file.path().extension() == ".txt" && std::getline(in, line);)
            if (!line.empty() && line[0] != '#')
                expected.insert(line);
    }
    ASSERT_FALSE(expected.empty());
    std::set<std::string> missing, leaked;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::inserter(missing, missing.end()));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::inserter(leaked, leaked.end()));
    EXPECT_TRUE(missing.empty()) << "missing: " << testing::PrintToString(missing);
    EXPECT_TRUE(leaked.empty()) << "not expected: " << testing::PrintToString(leaked);
}

} // namespace
