// The one way files are opened for reading: without blocking, regular files
// only, whole-file reads capped before anything is allocated.
#include "FileRead.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempDir.h"

namespace fs = std::filesystem;

TEST(FileRead, UnreadableAndOversizedFilesAreRefused) {
    constexpr std::size_t Limit = std::size_t(16) << 20;
    const TTempDir dir;
    // A FIFO without a writer would block a plain open for ever; a sparse file over the limit is refused from its size alone.
    const std::string missing = (dir / "missing").string(), fifo = (dir / "fifo").string(), big = (dir / "big").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big, std::ios::binary) << "\xFF\xD8\xFF\xE0";
    fs::resize_file(big, Limit + 1);
    for (const std::string& path : {missing, fifo, big}) {
        EXPECT_EQ(TReadableFile::Open(path).has_value(), path == big) << path;
        const auto bytes = ReadRegularFile(path, Limit);
        ASSERT_FALSE(bytes) << path;
        const std::string& error = bytes.Error().Text;
        EXPECT_NE(error.find(path == big ? std::string("limit") : path), std::string::npos) << error;
    }
}
