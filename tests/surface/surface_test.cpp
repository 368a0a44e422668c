// The library's exported surface: every defined symbol of the built shared
// object's dynamic symbol table, demangled by nm, must be listed in
// expected/*.txt, and every name listed there must be exported. A missing
// name or an internal helper leaking into the table fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

TEST(ExportedSurface, MatchesTheExpectedListExactly)
{
    std::set<std::string> actual, expected;
    FILE *nm = popen("nm --dynamic --defined-only --demangle --format=just-symbols '" VASK_LIBRARY_FILE "'", "r");
    char line[4096];
    while (nm && std::fgets(line, sizeof line, nm))
        actual.insert(std::string(line, std::strcspn(line, "\n")));
    ASSERT_TRUE(nm && pclose(nm) == 0) << "nm could not read " VASK_LIBRARY_FILE;
    for (const char *linker : {"_init", "_fini", "_edata", "_end", "__bss_start"}) // the linker's, not ours
        actual.erase(linker);
    for (const auto &file : std::filesystem::directory_iterator(VASK_SURFACE_DIR)) {
        std::ifstream in(file.path());
        for (std::string name; file.path().extension() == ".txt" && std::getline(in, name);)
            if (!name.empty() && name[0] != '#')
                expected.insert(name);
    }
    for (const std::string &name : expected)
        EXPECT_EQ(actual.count(name), 1u) << "missing: " << name;
    for (const std::string &name : actual)
        EXPECT_EQ(expected.count(name), 1u) << "not expected: " << name;
}
