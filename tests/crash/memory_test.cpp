// Memory copied into a dump around the page cache (as large dumps are): the
// same bytes as the memory, a hole where a page can't be read, hardly a page
// of the file in the cache, and under a file size limit a copy that stops
// there, leaving the file visibly short.
#include "dump_internal_linux_p.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
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

} // namespace
