#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MapDataFile.h"
#include "MapDataInspect.h"
#include "MapdataTestSupport.h"

namespace {

using TNames = std::vector<std::string>;

// Road map tiles at zoom 5 in the given rectangle, indexed under the given keys.
TMapDataInspection InspectCrafted(const TTileRect& rect, const TNames& keys) {
    TMapDataHeader h;
    h.MinZoom = h.MaxZoom = 5;
    h.TypeIncluded[0] = 1;
    h.TileRects[5] = rect;
    TTempDir dir;
    WriteBytes(dir / "f.Dat", CraftedMapData(h, keys));
    TMapDataReader reader;
    EXPECT_EQ(ErrorText(reader.Open(dir / "f.Dat")), "");
    return InspectMapData(reader);
}

// A tile counts as there only under its exact key, once: what the phone
// application and the viewer find when they look it up.
TEST(MapDataInspect, EveryTileHasExactlyOneEntryUnderItsKey) {
    const TTileRect two{0, 0, 1, 0};
    const struct {
        const char* What;
        TTileRect Rect;
        TNames Keys;
        TNames NonCanonical, Repeated;
        std::int64_t Missing;
        TNames MissingNames;
        std::size_t Problems;
    } rows[] = {
        {"plan order", two, {"m_5_0_0", "m_5_1_0"}, {}, {}, 0, {}, 0},
        {"any order", two, {"m_5_1_0", "m_5_0_0"}, {}, {}, 0, {}, 0},
        {"leading zero beside the key", two, {"m_5_0_0", "m_05_0_0"}, {"m_05_0_0"}, {}, 1, {"m_5_1_0"}, 2},
        {"leading zero alone", two, {"m_05_0_0", "m_5_1_0"}, {"m_05_0_0"}, {}, 1, {"m_5_0_0"}, 2},
        {"minus zero", two, {"m_5_-0_0", "m_5_1_0"}, {"m_5_-0_0"}, {}, 1, {"m_5_0_0"}, 2},
        {"repeated tile", two, {"m_5_0_0", "m_5_0_0"}, {}, {"m_5_0_0"}, 1, {"m_5_1_0"}, 2},
        // Named once however often it repeats; the extra entries break the count.
        {"tile three times", two, {"m_5_0_0", "m_5_1_0", "m_5_0_0", "m_5_0_0"}, {}, {"m_5_0_0"}, 0, {}, 2},
        {"missing tile", two, {"m_5_0_0"}, {}, {}, 1, {"m_5_1_0"}, 2},
        {"bytes that are not UTF-8", two, {"m_5_0_0", "m_5_1_\xff\x01"}, {"m_5_1_\\xFF\\x01"}, {}, 1, {"m_5_1_0"}, 2},
        // The search for names ends after the first few, however large the rectangle.
        {"huge rectangle, tiny index", {0, 0, 7999, 7999}, {"m_5_0_0"}, {}, {}, 64'000'000 - 1,
         {"m_5_0_1", "m_5_0_2", "m_5_0_3", "m_5_0_4", "m_5_0_5", "m_5_0_6", "m_5_0_7", "m_5_0_8", "m_5_0_9", "m_5_0_10"}, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.What);
        const TMapDataInspection r = InspectCrafted(row.Rect, row.Keys);
        EXPECT_EQ(r.NonCanonicalKeys.Names, row.NonCanonical);
        EXPECT_EQ(r.NonCanonicalKeys.Count, std::int64_t(row.NonCanonical.size()));
        EXPECT_EQ(r.RepeatedTiles.Names, row.Repeated);
        EXPECT_EQ(r.RepeatedTiles.Count, std::int64_t(row.Repeated.size()));
        EXPECT_EQ(r.MissingTiles.Count, row.Missing);
        EXPECT_EQ(r.MissingTiles.Names, row.MissingNames);
        EXPECT_EQ(r.Problems.size(), row.Problems) << ::testing::PrintToString(r.Problems);
        for (const std::string& p : r.Problems)
            EXPECT_TRUE(std::all_of(p.begin(), p.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) << p;
    }
}

TEST(MapDataInspect, ProblemsNameTheTilesAndCountTheRest) {
    const auto r = InspectCrafted({0, 0, 7999, 7999}, {"m_5_0_0", "m_05_0_0", "m_5_0_0"});
    const TNames want{
        "1 key is not a canonical tile key, so no reader finds its entry: 'm_05_0_0'",
        "1 tile has more than one entry (readers see the first): m_5_0_0",
        "63999999 tiles of the rectangles are missing (no entry under their keys): m_5_0_1, m_5_0_2, m_5_0_3, "
        "m_5_0_4, m_5_0_5, m_5_0_6, m_5_0_7, m_5_0_8, m_5_0_9, m_5_0_10 and 63999989 more",
        "the rectangles and types call for 64000000 entries, the header has 3",
    };
    EXPECT_EQ(r.Problems, want);
}

}  // namespace
