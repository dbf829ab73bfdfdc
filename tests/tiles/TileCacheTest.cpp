// Cache file names, saving a tile and reading it back, and recognition of tile
// content by its first bytes.
#include "TileCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "FileRead.h"
#include "TempDir.h"
#include "TileFileName.h"
#include "TileImage.h"
#include "TilePictures.h"

namespace fs = std::filesystem;

TEST(TileFileName, FormatsZoomBeforeColumnAndRowAndParsesBack) {
    EXPECT_EQ(TTileCache::TileFileName({TMapType::Road, 5, 0, 31}), "m_5-0-31.gif");
    const std::vector<TTileId> tiles = {{TMapType::Road, 5, 0, 31}, {TMapType::Satellite, 12, 3412, 1538}, {TMapType::SatelliteRoads, 17, 131071, 999999}};
    for (const auto& a : tiles) {
        const std::string name = TTileCache::TileFileName(a);
        EXPECT_EQ(ParseTileFileName(name), a) << name;
        EXPECT_EQ(ParseTileFileName("/tmp/cache dir/FileMap/" + name), a) << name;
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
    for (const auto& [path, expected] : rows) EXPECT_EQ(ParseTileFileName(path), expected) << path;
}

TEST(DetectImageType, RecognisesByFirstFourBytes) {
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
    }
}

// A save replaces the tile whole and leaves no temporary name; a missing folder
// is made. (A save that cannot be done: AtomicFileTest.)
TEST(TileCacheSave, ReplacesWholeAndRemakesAGoneFolder) {
    TTempDir dir;
    const TTileCache cache(dir.DirString() + "FileMap", TServerConfig{});
    const TTileId tile{TMapType::Road, 10, 863, 380};
    const std::vector<std::uint8_t> first{'G', 'I', 'F', '1'}, second{'G', 'I', 'F', '2', '2'};
    cache.Save(tile, first);  // the folder is not there yet
    cache.Save(tile, second);
    EXPECT_EQ(*ReadRegularFile(cache.Path(tile), 64), second);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "FileMap"), fs::directory_iterator()), 1);
    EXPECT_TRUE(cache.Sync());
}

// The cache reads each tile once and says what it found; a type with a source
// of its own keeps its tiles apart.
TEST(TileCache, LoadTellsMissingUnreadableUnrecognisedUndecodableAndDecoded) {
    TTempDir dir;
    TServerConfig server;
    server.UrlTemplates[1] = "http://127.0.0.1:1/{z}/{x}/{y}.png";
    const TTileCache cache(dir.DirString(), server);
    EXPECT_EQ(cache.Path({TMapType::Road, 5, 1, 2}), (dir / "m_5-1-2.gif").string());
    EXPECT_EQ(cache.Path({TMapType::Terrain, 5, 1, 2}), (dir / SourceDigest(server.UrlTemplates[1]) / "p_5-1-2.gif").string());

    const TBitmap picture = MapLikeBitmap();
    WriteFile(dir, "m_5-0-0.gif", {'<', 'h', 't', 'm', 'l', '>'});
    WriteFile(dir, "m_5-0-1.gif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'});
    WriteFile(dir, "m_5-0-2.gif", PngOf(picture));
    ASSERT_EQ(::mkfifo((dir / "m_5-0-3.gif").c_str(), 0600), 0);
    fs::create_directories(dir / SourceDigest(server.UrlTemplates[1]));
    WriteFile(dir, SourceDigest(server.UrlTemplates[1]) + "/p_5-0-2.gif", EncodeJpeg(picture, 90));
    const std::pair<TTileId, TTileState> rows[] = {
        {{TMapType::Road, 5, 0, 9}, TTileState::Missing},     {{TMapType::Road, 5, 0, 0}, TTileState::Unrecognised},
        {{TMapType::Road, 5, 0, 1}, TTileState::Undecodable}, {{TMapType::Road, 5, 0, 2}, TTileState::Decoded},
        {{TMapType::Road, 5, 0, 3}, TTileState::Unreadable},  {{TMapType::Terrain, 5, 0, 2}, TTileState::Decoded},
    };
    for (const auto& [tile, state] : rows) {
        SCOPED_TRACE(TTileCache::TileFileName(tile));
        const TCachedTile got = cache.Load(tile);
        EXPECT_EQ(got.State, state);
        if (state == TTileState::Undecodable) EXPECT_EQ(got.TypeName, "GIF");
        if (state == TTileState::Unreadable) EXPECT_TRUE(got.Error.NotRegular);
        if (state == TTileState::Decoded) EXPECT_LE(MeanAbsError(got.Picture, picture), 2.0);
    }
    // The stand-in is the parent one zoom out.
    WriteFile(dir, "m_4-0-1.gif", PngOf(picture));
    EXPECT_EQ(cache.LoadStandIn({TMapType::Road, 5, 1, 3}).State, TTileState::Decoded);
    EXPECT_EQ(cache.LoadStandIn({TMapType::Road, 5, 2, 3}).State, TTileState::Missing);
}
