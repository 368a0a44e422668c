// Memory copied into a dump around the page cache (as large dumps are): the
// same bytes as the memory, a hole where a page can't be read, hardly a page
// of the file in the cache, and under a file size limit a copy that stops
// there, leaving the file visibly short. A file mapping copied whole, piece
// by piece, up to its file's end, and a range ending in an unreadable page.
// Only a dump that free memory can't hold goes around the cache. And what
// of each kind of mapping is written.
#include "dump_internal_linux_p.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iterator>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMiB = 1 << 20, kSize = 8 * kMiB, kUnreadable = 3 * kMiB, kAt = vask::lx::kPage;

TEST(MemoryCopy, DirectRunsHoldTheMemoryAndItsHoles)
{
    auto *memory = static_cast<unsigned char *>(
        mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (std::uint64_t i = 0; i < kSize; ++i)
        memory[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    ASSERT_EQ(mprotect(memory + kUnreadable, kAt, PROT_NONE), 0);
    vask::lx::Mapping m = {};
    m.start = reinterpret_cast<std::uint64_t>(memory), m.end = m.start + kSize;
    m.contents = vask::lx::Dense, m.dumpSize = kSize, m.dumpOffset = kAt;
    QTemporaryDir dir(QDir::currentPath() + "/memory_test-XXXXXX"); // the build's disk, not a tmpfs
    std::signal(SIGXFSZ, SIG_IGN);
    for (const rlim_t limit : {RLIM_INFINITY, rlim_t(kAt + 2 * kMiB)}) {
        const QByteArray path = QFile::encodeName(dir.filePath(QString::number(limit)));
        vask::lx::Output out = {open(path, O_RDWR | O_CREAT | O_EXCL, 0600)};
        out.direct = true;
        vask::lx::Workspace w;
        vask::lx::PageSource pages;
        const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY}, limited = {limit, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limited);
        vask::lx::copyMapping(out, w, pages, m);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        const std::uint64_t end = limit == RLIM_INFINITY ? kAt + kSize : limit;
        EXPECT_EQ(out.broken, limit != RLIM_INFINITY);
        ASSERT_EQ(std::uint64_t(lseek(out.fd, 0, SEEK_END)), end);
        if (limit == RLIM_INFINITY && !out.direct)
            GTEST_SKIP() << "this file system refuses O_DIRECT";
        void *view = mmap(nullptr, end, PROT_READ, MAP_SHARED, out.fd, 0);
        std::vector<unsigned char> cached(end / kAt);
        ASSERT_EQ(mincore(view, end, cached.data()), 0);
        EXPECT_LT(std::count_if(cached.begin(), cached.end(), [](unsigned char c) { return c & 1; }), 4) << "pages in the page cache";
        // Every byte as in memory, the unreadable page as zeros.
        const auto *file = static_cast<const unsigned char *>(view) + kAt;
        for (std::uint64_t i = 0; i < end - kAt; ++i)
            if (file[i] != (i - kUnreadable < kAt ? 0 : memory[i]))
                ADD_FAILURE() << "byte " << i;
        munmap(view, end);
        close(out.fd);
    }
}

TEST(MemoryCopy, FileMappingsUpToTheirFilesEnd)
{
    // More than one 64 MiB piece, and a mapping two pages longer than its file.
    constexpr std::uint64_t kFile = 64 * kMiB + 3 * kAt, kMapped = kFile + 2 * kAt;
    QTemporaryDir dir(QDir::currentPath() + "/memory_test-XXXXXX");
    const QByteArray source = QFile::encodeName(dir.filePath("source")), dump = QFile::encodeName(dir.filePath("dump"));
    const int fd = open(source, O_RDWR | O_CREAT | O_EXCL, 0600);
    std::vector<unsigned char> bytes(kFile);
    for (std::uint64_t i = 0; i < kFile; ++i)
        bytes[i] = static_cast<unsigned char>((i * 40503u) >> 7);
    ASSERT_EQ(pwrite(fd, bytes.data(), kFile, 0), ssize_t(kFile));
    void *mapped = mmap(nullptr, kMapped, PROT_READ, MAP_PRIVATE, fd, 0);
    struct stat st = {};
    ASSERT_EQ(fstat(fd, &st), 0);
    vask::lx::Mapping m = {};
    m.start = reinterpret_cast<std::uint64_t>(mapped), m.end = m.start + kMapped, m.inode = st.st_ino;
    m.contents = vask::lx::Dense, m.dumpSize = kMapped, m.dumpOffset = kAt;
    vask::lx::Output out = {open(dump, O_RDWR | O_CREAT | O_EXCL, 0600)};
    vask::lx::Workspace w;
    vask::lx::PageSource pages;
    vask::lx::copyMapping(out, w, pages, m);
    EXPECT_FALSE(out.broken);
    // The pages past the file's end are a hole (the kernel may still make
    // the dump's file a page longer with the write that fails there).
    const std::uint64_t end = std::uint64_t(lseek(out.fd, 0, SEEK_END));
    EXPECT_GE(end, kAt + kFile);
    EXPECT_LE(end, kAt + kMapped);
    std::vector<unsigned char> copied(kMapped);
    ASSERT_EQ(pread(out.fd, copied.data(), kMapped, off_t(kAt)), ssize_t(end - kAt));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), copied.begin()));
    EXPECT_TRUE(std::all_of(copied.begin() + kFile, copied.end(), [](unsigned char c) { return c == 0; }));
    // A few bytes inside a page past the file's end: nothing written, and
    // the copy ends there.
    vask::lx::copyMemory(out, m.start + kFile + 100, 50, 2 * kMapped);
    EXPECT_LE(std::uint64_t(lseek(out.fd, 0, SEEK_END)), 2 * kMapped);
    EXPECT_FALSE(out.broken);
    munmap(mapped, kMapped);
    close(fd);
    close(out.fd);

    struct sysinfo info = {};
    ASSERT_EQ(sysinfo(&info), 0);
    EXPECT_FALSE(vask::lx::wantsDirect(0));
    EXPECT_TRUE(vask::lx::wantsDirect(std::uint64_t(info.freeram) * info.mem_unit));
}

TEST(MemoryCopy, WhatOfEachMappingIsWritten)
{
    constexpr std::uint32_t kDisk = 8 << 20 | 1, kTmpfs = 0 << 20 | 40;
    constexpr std::uint64_t kLength = 16 * kAt, kAll = kLength >> 10, kUnknown = ~std::uint64_t(0);
    struct Row {
        const char *name;
        std::uint32_t device;
        std::uint64_t inode, residentKb;
        bool shared, dontDump;
        vask::lx::Contents contents;
        std::uint64_t dumpSize;
    };
    const Row rows[] = {
        {"/usr/lib/libx.so", kDisk, 7, 4, false, false, vask::lx::Dense, kLength}, // a disk file: whole
        {"/run/user/x", kTmpfs, 7, 4, true, false, vask::lx::Held, kLength}, // a memory file system: held pages
        {"", 0, 0, kAll, false, false, vask::lx::Dense, kLength}, // every page in use: whole, no walk
        {"[heap]", 0, 0, 4, false, false, vask::lx::Touched, kLength}, // some pages: the touched ones
        {"", 0, 0, kUnknown, false, false, vask::lx::Touched, kLength}, // no counts: the touched ones
        {"", 0, 0, 0, false, false, vask::lx::NoContents, kLength}, // never touched: a hole
        {"/dev/zero (deleted)", 0, 5, 4, true, false, vask::lx::Held, kLength}, // shared anonymous
        {"/dev/dri/card0", 0, 9, 4, true, false, vask::lx::NoContents, 0}, // device memory
        {"", 0, 0, kAll, false, true, vask::lx::NoContents, 0}, // MADV_DONTDUMP
    };
    vask::lx::Mapping maps[std::size(rows)] = {};
    char names[512] = {};
    std::uint32_t devices[] = {kTmpfs};
    vask::lx::Workspace w;
    w.maps = maps, w.names = names, w.memoryDevices = devices, w.memoryDeviceCount = 1, w.memoryDevicesKnown = true;
    for (const Row &r : rows) {
        vask::lx::Mapping &m = maps[w.mapCount++];
        m.start = 0x10000000 * w.mapCount, m.end = m.start + kLength, m.flags = PF_R | PF_W;
        m.inode = r.inode, m.device = r.device, m.residentKb = r.residentKb, m.shared = r.shared, m.dontDump = r.dontDump;
        m.nameOffset = std::uint32_t(w.namesUsed), m.nameLength = std::uint32_t(std::strlen(r.name));
        std::memcpy(names + w.namesUsed, r.name, m.nameLength + 1);
        w.namesUsed += m.nameLength + 1;
    }
    vask::lx::classify(w, true);
    for (std::size_t i = 0; i < w.mapCount; ++i) {
        EXPECT_EQ(maps[i].contents, rows[i].contents) << rows[i].name << " (row " << i << ")";
        EXPECT_EQ(maps[i].dumpSize, rows[i].dumpSize) << rows[i].name << " (row " << i << ")";
    }
}

} // namespace
