// Memory copied into a dump around the page cache (as large dumps are): the
// same bytes as the memory, a hole where a page can't be read, and under a
// file size limit a copy that stops there, leaving the file visibly short.
#include "dump_internal_linux_p.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kMiB = 1 << 20, kSize = 8 * kMiB, kUnreadable = 3 * kMiB, kAt = vask::lx::kPage;

TEST(MemoryCopy, DirectRunsHoldTheMemoryAndItsHoles)
{
    auto *memory = static_cast<unsigned char *>(
        mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(memory, MAP_FAILED);
    for (std::uint64_t i = 0; i < kSize; ++i)
        memory[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    ASSERT_EQ(mprotect(memory + kUnreadable, kAt, PROT_NONE), 0);
    vask::lx::Mapping m = {};
    m.start = reinterpret_cast<std::uint64_t>(memory);
    m.end = m.start + kSize;
    m.contents = vask::lx::Dense;
    m.dumpSize = kSize;
    m.dumpOffset = kAt;
    QTemporaryDir dir(QDir::currentPath() + "/memory_test-XXXXXX"); // the build's disk, not a tmpfs
    const sighandler_t previous = std::signal(SIGXFSZ, SIG_IGN);
    for (const rlim_t limit : {RLIM_INFINITY, rlim_t(kAt + 2 * kMiB)}) {
        SCOPED_TRACE(limit);
        const QByteArray path = QFile::encodeName(dir.filePath(QString::number(limit)));
        const int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        rlimit before = {}, now = {limit, RLIM_INFINITY};
        getrlimit(RLIMIT_FSIZE, &before);
        vask::lx::Output out = {fd};
        out.direct = true;
        vask::lx::Workspace w;
        vask::lx::PageSource pages;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &now), 0);
        vask::lx::copyMapping(out, w, pages, m);
        setrlimit(RLIMIT_FSIZE, &before);
        struct stat st = {};
        fstat(fd, &st);
        const std::uint64_t end = limit == RLIM_INFINITY ? kAt + kSize : limit;
        EXPECT_EQ(out.broken, limit != RLIM_INFINITY);
        EXPECT_EQ(std::uint64_t(st.st_size), end);
        // Written around the cache: hardly any page of the file is in it.
        void *view = mmap(nullptr, end, PROT_READ, MAP_SHARED, fd, 0);
        std::vector<unsigned char> resident(end / kAt);
        ASSERT_EQ(mincore(view, end, resident.data()), 0);
        int cached = 0;
        for (const unsigned char r : resident)
            cached += r & 1;
        if (limit == RLIM_INFINITY && !out.direct)
            GTEST_SKIP() << "this file system refuses O_DIRECT";
        EXPECT_LT(cached, 4) << "pages in the page cache";
        munmap(view, end);
        // Every byte as in memory, the unreadable page as zeros.
        std::vector<unsigned char> file(end - kAt);
        const int reader = open(path, O_RDONLY); // fd may still be O_DIRECT
        ASSERT_EQ(pread(reader, file.data(), file.size(), kAt), ssize_t(file.size()));
        close(reader);
        for (std::uint64_t i = 0; i < file.size(); ++i)
            if (file[i] != (i - kUnreadable < kAt ? 0 : memory[i]))
                ADD_FAILURE() << "byte " << i;
        close(fd);
    }
    std::signal(SIGXFSZ, previous);
    munmap(memory, kSize);
}

} // namespace
