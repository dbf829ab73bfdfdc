// Cache file names and recognition of tile content by its first bytes.
#include "TileCache.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

TEST(TileFileName, FormatsZoomBeforeColumnAndRow) {
    EXPECT_EQ(TileFileName("m", 5, 0, 31), "m_5-0-31.gif");
    EXPECT_EQ(TileFileName("s", 12, 3412, 1538), "s_12-3412-1538.gif");
    EXPECT_EQ(ParseTileFileName("/opt/atlas/FileMap/m_5-0-31.gif"), (TTileAddress{"m", 5, 0, 31}));
    EXPECT_EQ(ParseTileFileName("m_5-0-31.gif"), (TTileAddress{"m", 5, 0, 31}));
}

TEST(TileFileName, RoundTripsEveryAddressKind) {
    const std::vector<TTileAddress> addresses = {
        {"m", 5, 0, 31},        {"p", 0, 0, 0},          {"s", 12, 3412, 1538},
        {"y", 17, 131071, 131071}, {"m", 17, 999999, 100000}, {"p", 10, 7, 123456},
    };
    for (const auto& a : addresses) {
        const std::string name = TileFileName(a.TypeCode, a.Zoom, a.X, a.Y);
        EXPECT_EQ(ParseTileFileName(name), a) << name;
        EXPECT_EQ(ParseTileFileName("/tmp/cache dir/FileMap/" + name), a) << name;
    }
}

TEST(TileFileName, DamagedNamesReadAsZeroWithoutFailing) {
    struct TRow {
        std::string Path;
        TTileAddress Expected;
    };
    const std::vector<TRow> rows = {
        {"", {"", 0, 0, 0}},
        {"noseparators", {"noseparators", 0, 0, 0}},
        {"m_x-y-z.gif", {"m", 0, 0, 0}},
        {"_--.", {"", 0, 0, 0}},
        {"/", {"", 0, 0, 0}},
        {"dir/m_1-2-3.gif/", {"", 0, 0, 0}},
        {"m_5", {"m", 5, 0, 0}},
        {"m_5-0-31", {"m", 5, 0, 31}},
        {"m_5-0-31.gif.tmp", {"m", 5, 0, 31}},
        {"m_99999999999-1-2.gif", {"m", 0, 1, 2}},
        {"m_5-1x-2.gif", {"m", 5, 0, 2}},
        {"m_5-+7-2.gif", {"m", 5, 7, 2}},
        {"m_5-++7-2.gif", {"m", 5, 0, 2}},
        {std::string("m_5\0-1-2.gif", 12), {"m", 0, 1, 2}},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseTileFileName(row.Path), row.Expected) << row.Path;
}

TEST(DetectImageType, RecognisesByFirstFourBytes) {
    struct TRow {
        std::string Bytes;
        bool Recognised;
        std::string TypeName;
    };
    const std::vector<TRow> rows = {
        {"GIF8", true, "GIF"},
        {"gif9", true, "GIF"},
        {"GiF89a and more", true, "GIF"},
        {"GIF", false, ""},
        {"\x89PNG\r\n\x1a\n", true, "PNG"},
        {"xpng", true, "PNG"},
        {std::string("\xFF\xD8\xFF\xE0", 4), true, "JPG"},
        {std::string("\xFF\xD8\xFF\xE1", 4), false, ""},
        {std::string("\xFF\xD8\xFF", 3), false, ""},
        {std::string("\x1F\x8B\x08\x00", 4), false, ""},
        {"<html>", false, ""},
        {"", false, ""},
    };
    for (const auto& row : rows) {
        std::string type = "unchanged";
        const bool ok = DetectImageType(reinterpret_cast<const std::uint8_t*>(row.Bytes.data()), row.Bytes.size(), type);
        EXPECT_EQ(ok, row.Recognised) << row.Bytes;
        if (row.Recognised) {
            EXPECT_EQ(type, row.TypeName) << row.Bytes;
        }

        std::istringstream in(row.Bytes);
        std::string streamType;
        EXPECT_EQ(DetectImageType(in, streamType), row.Recognised) << row.Bytes;
        if (row.Recognised) {
            EXPECT_EQ(streamType, row.TypeName) << row.Bytes;
        }
    }
    std::string type;
    EXPECT_FALSE(DetectImageType(nullptr, 10, type));
}

TEST(DetectImageType, StreamKeepsItsReadPositionAndState) {
    std::istringstream in(std::string("\x89PNG\r\n\x1a\nrest", 12));
    char skipped[6];
    in.read(skipped, 6);
    std::string type;
    ASSERT_TRUE(DetectImageType(in, type));
    EXPECT_EQ(type, "PNG");
    EXPECT_EQ(in.tellg(), std::streampos(6));
    EXPECT_EQ(in.get(), 0x1a);

    // A stream already at its end stays there, with its end-of-file state.
    std::istringstream atEnd("GIF89a");
    std::string all;
    atEnd >> all;
    ASSERT_TRUE(atEnd.eof());
    EXPECT_TRUE(DetectImageType(atEnd, type));
    EXPECT_EQ(type, "GIF");
    EXPECT_TRUE(atEnd.eof());

    // Too short: not recognised, position untouched.
    std::istringstream shortIn("GIF");
    shortIn.get();
    EXPECT_FALSE(DetectImageType(shortIn, type));
    EXPECT_TRUE(shortIn.good());
    EXPECT_EQ(shortIn.tellg(), std::streampos(1));
}
