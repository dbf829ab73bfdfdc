// Whole-file replacement: a write that cannot be completed leaves the target
// as it was and no temporary file beside it.
#include "AtomicFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "TempDir.h"

namespace fs = std::filesystem;

TEST(AtomicFile, AFailedReplacementLeavesTheTargetAndNoTemporaryFile) {
    const TTempDir dir;
    const std::string target = (dir / "m_10-863-380.gif").string();
    fs::create_directory(target);  // a directory where the file goes: the rename fails
    const std::vector<std::uint8_t> first{'G', 'I', 'F', '1'};
    try {
        WriteWholeFileUnsynced(target, first.data(), first.size());
        ADD_FAILURE() << "no error";
    } catch (const TFileError& e) {
        EXPECT_EQ(e.Fault.Kind, TFaultKind::CannotReplace);
    }
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1) << "no temporary file";
}
