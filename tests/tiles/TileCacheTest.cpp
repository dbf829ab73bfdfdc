// Cache file names, saving a tile, and recognition of tile content by its first bytes.
#include "TileCache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "FileRead.h"
#include "TempDir.h"

TEST(TileFileName, FormatsZoomBeforeColumnAndRowAndParsesBack) {
    EXPECT_EQ(TTileCache::TileFileName({TMapType::Road, 5, 0, 31}), "m_5-0-31.gif");
    const std::vector<TTileId> tiles = {{TMapType::Road, 5, 0, 31}, {TMapType::Satellite, 12, 3412, 1538}, {TMapType::SatelliteRoads, 17, 131071, 999999}};
    for (const auto& a : tiles) {
        const std::string name = TTileCache::TileFileName(a);
        EXPECT_EQ(TTileCache::ParseTileFileName(name), a) << name;
        EXPECT_EQ(TTileCache::ParseTileFileName("/tmp/cache dir/FileMap/" + name), a) << name;
    }
}

TEST(TileFileName, DamagedNamesReadAsZeroWithoutFailing) {
    // A type part that is no type code reads as no tile.
    const std::pair<std::string, std::optional<TTileId>> rows[] = {
        {"", std::nullopt},
        {"noseparators", std::nullopt},
        {"m_x-y-z.gif", TTileId{TMapType::Road, 0, 0, 0}},
        {"_--.", std::nullopt},
        {"dir/m_1-2-3.gif/", std::nullopt},
        {"m_5", TTileId{TMapType::Road, 5, 0, 0}},
        {"m_5-0-31.gif.tmp", TTileId{TMapType::Road, 5, 0, 31}},
        {"m_99999999999-1-2.gif", TTileId{TMapType::Road, 0, 1, 2}},
        {"m_5-1x-2.gif", TTileId{TMapType::Road, 5, 0, 2}},
        {"m_5-++7-2.gif", TTileId{TMapType::Road, 5, 0, 2}},
        {std::string("m_5\0-1-2.gif", 12), TTileId{TMapType::Road, 0, 1, 2}},
    };
    for (const auto& [path, expected] : rows) EXPECT_EQ(TTileCache::ParseTileFileName(path), expected) << path;
}

TEST(DetectImageType, RecognisesByFirstFourBytesInBuffersAndStreams) {
    const std::pair<std::string, std::string> rows[] = {  // bytes, type ("" = not recognised)
        {"GIF8", "GIF"},
        {"GiF89a and more", "GIF"},
        {"GIF", ""},
        {"\x89PNG\r\n\x1a\n", "PNG"},
        {"xpng", "PNG"},
        {std::string("\xFF\xD8\xFF\xE0", 4), "JPG"},
        {std::string("\xFF\xD8\xFF\xE1", 4), ""},
        {std::string("\x1F\x8B\x08\x00", 4), ""},
        {"<html>", ""},
    };
    for (const auto& [bytes, expected] : rows) {
        std::string type;
        EXPECT_EQ(DetectImageType(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), type),
                  !expected.empty()) << bytes;
        if (!expected.empty()) { EXPECT_EQ(type, expected) << bytes; }
        std::istringstream in(bytes);
        std::string streamType;
        EXPECT_EQ(DetectImageType(in, streamType), !expected.empty()) << bytes;
        if (!expected.empty()) { EXPECT_EQ(streamType, expected) << bytes; }
    }
}

TEST(DetectImageType, StreamKeepsItsReadPosition) {
    std::istringstream in(std::string("\x89PNG\r\n\x1a\nrest", 12));
    char skipped[6];
    in.read(skipped, 6);
    std::string type;
    ASSERT_TRUE(DetectImageType(in, type));
    EXPECT_EQ(type, "PNG");
    EXPECT_EQ(in.tellg(), std::streampos(6));

    // Too short: not recognised, position and state untouched.
    std::istringstream shortIn("GIF");
    shortIn.get();
    EXPECT_FALSE(DetectImageType(shortIn, type));
    EXPECT_TRUE(shortIn.good());
    EXPECT_EQ(shortIn.tellg(), std::streampos(1));
}

// A save replaces the tile whole and leaves no temporary name; a missing folder
// is made; a save that cannot be done leaves what was there.
TEST(TileCacheSave, ReplacesWholeRemakesAGoneFolderAndFailsCleanly) {
    namespace fs = std::filesystem;
    TTempDir dir;
    const TTileCache cache(dir.DirString() + "FileMap", TServerConfig{});
    const TTileId tile{TMapType::Road, 10, 863, 380};
    const std::vector<std::uint8_t> first{'G', 'I', 'F', '1'}, second{'G', 'I', 'F', '2', '2'};
    cache.Save(tile, first);  // the folder is not there yet
    cache.Save(tile, second);
    EXPECT_EQ(*ReadRegularFile(cache.Path(tile), 64), second);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "FileMap"), fs::directory_iterator()), 1);
    EXPECT_TRUE(cache.Sync());

    fs::remove(cache.Path(tile));
    fs::create_directory(cache.Path(tile));  // a directory where the file goes: the rename fails
    try {
        cache.Save(tile, first);
        ADD_FAILURE() << "no error";
    } catch (const TFileError& e) {
        EXPECT_EQ(e.Fault.Kind, TFaultKind::CannotReplace);
    }
    EXPECT_TRUE(fs::is_directory(cache.Path(tile)));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "FileMap"), fs::directory_iterator()), 1) << "no temporary file";
}
