// The library's exported surface, read from the dynamic symbol table of the
// built shared object and compared, demangled, with the lists in expected/.
// A name missing from the table or an internal helper leaking into it fails.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>

namespace {

std::string demangle(const char *name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || !text)
        return name;
    std::string out(text);
    std::free(text);
    return out;
}

// Every defined, non-local symbol of .dynsym, demangled. Symbols the linker
// itself puts there (_init, _fini, _edata ...) are absolute or in no section
// we own; they are filtered by name in linkerSymbols().
std::set<std::string> dynamicSymbols(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0
        || image[EI_CLASS] != ELFCLASS64) {
        error = "not a 64-bit ELF file: " + path;
        return names;
    }
    const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    if (eh->e_shoff + sizeof(Elf64_Shdr) * eh->e_shnum > image.size()) {
        error = "section headers out of range";
        return names;
    }
    const auto *sh = reinterpret_cast<const Elf64_Shdr *>(image.data() + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM)
            continue;
        const Elf64_Shdr &strtab = sh[sh[i].sh_link];
        const auto *sym = reinterpret_cast<const Elf64_Sym *>(image.data() + sh[i].sh_offset);
        const size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
        for (size_t k = 1; k < count; ++k) {
            const int bind = ELF64_ST_BIND(sym[k].st_info);
            if (sym[k].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE))
                continue;
            const char *name = image.data() + strtab.sh_offset + sym[k].st_name;
            names.insert(demangle(name));
        }
    }
    if (names.empty())
        error = "no dynamic symbols in " + path;
    return names;
}

bool linkerSymbol(const std::string &name)
{
    static const std::set<std::string> known = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    return known.count(name) != 0;
}

std::set<std::string> expectedSymbols()
{
    std::set<std::string> names;
    DIR *dir = opendir(VASK_SURFACE_DIR);
    if (!dir)
        return names;
    while (dirent *e = readdir(dir)) {
        const std::string file = e->d_name;
        if (file.size() < 4 || file.compare(file.size() - 4, 4, ".txt") != 0)
            continue;
        std::ifstream in(std::string(VASK_SURFACE_DIR) + "/" + file);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty() && line[0] != '#')
                names.insert(line);
    }
    closedir(dir);
    return names;
}

TEST(ExportedSurface, MatchesTheExpectedListExactly)
{
    std::string error;
    std::set<std::string> actual = dynamicSymbols(VASK_LIBRARY_FILE, error);
    ASSERT_TRUE(error.empty()) << error;
    const std::set<std::string> expected = expectedSymbols();
    ASSERT_FALSE(expected.empty());

    std::vector<std::string> missing, leaked;
    for (const std::string &name : expected)
        if (!actual.count(name))
            missing.push_back(name);
    for (const std::string &name : actual)
        if (!expected.count(name) && !linkerSymbol(name))
            leaked.push_back(name);
    std::string report;
    for (const std::string &name : missing)
        report += "  missing: " + name + "\n";
    for (const std::string &name : leaked)
        report += "  not expected: " + name + "\n";
    EXPECT_TRUE(report.empty()) << report;
}

} // namespace
