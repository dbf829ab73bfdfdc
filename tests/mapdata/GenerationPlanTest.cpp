#include <gtest/gtest.h>

#include <stdexcept>

#include "GenerationPlan.h"

namespace {

constexpr TDeltaPair ZeroPair{0.0, 0.0};

TGenerationParams Params(int cur, int max, std::array<bool, 4> included = {true, false, false, false}, double lon = 123.4259) {
    return {lon, 41.8123, cur, max, included};
}

TEST(GenerationPlan, ZoomRectWorkedValuesPairAndGridEdge) {
    EXPECT_EQ(GetZoomRect(Params(5, 6), 5, 1, ZeroPair), (TTileRect{24, 9, 28, 13}));
    EXPECT_EQ(GetZoomRect(Params(5, 6), 6, 2, ZeroPair), (TTileRect{47, 17, 59, 29}));

    // The pair moves the rectangle.
    EXPECT_NE(GetZoomRect(Params(8, 8), 8, 1, {1.5, -0.75}), GetZoomRect(Params(8, 8), 8, 1, ZeroPair));

    TGenerationPlan plan;
    TMapDataHeader header;
    plan.Build(Params(5, 5, {true, false, false, false}, -179.99), ZeroPair, header);  // tile column 0: beyond the grid
    EXPECT_EQ(plan.List(TMapType::Road).front().X, -2);
    EXPECT_EQ(plan.List(TMapType::Road).size(), 25u);
}

TEST(GenerationPlan, DialogFigures) {
    const struct { int Cur, Max, Levels; const char* MaxSize; std::int64_t Total; } rows[] = {
        {10, 10, 1, "1280 x 1280", 25},
        {10, 12, 3, "7424 x 7424", 1035},
        {5, 17, 13, "8387840 x 8387840", 1431262693},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Max);
        const TPlanFigures f = PlanFigures(Params(r.Cur, r.Max, {true, true, true, true}), ZeroPair);
        EXPECT_EQ(f.LevelCount, r.Levels);
        EXPECT_EQ(f.MapSize, "1280 x 1280");
        EXPECT_EQ(f.MaxMapSize, r.MaxSize);
        EXPECT_EQ(f.TotalTiles, r.Total);  // one type only, whatever is included
    }
}

TEST(GenerationPlan, BuildFillsListsInOrderRectsAndEntryCount) {
    const TGenerationParams p = Params(10, 12, {true, false, true, false});
    TGenerationPlan plan;
    TMapDataHeader header;
    header.TileRects[3] = {1, 2, 3, 4};
    plan.Build(p, ZeroPair, header);

    EXPECT_EQ(header.EntryCount, 2070);
    EXPECT_EQ(PlannedEntryCount(p), 2070);
    EXPECT_EQ(plan.List(TMapType::Terrain).size() + plan.List(TMapType::SatelliteRoads).size(), 0u);
    for (int z = 0; z < ZoomTableSize; ++z)
        EXPECT_EQ(header.TileRects[z], z >= 10 && z <= 12 ? GetZoomRect(p, z, z - 9, ZeroPair) : TTileRect{}) << z;

    // Zoom, then column, then row; the satellite list mirrors the road list.
    ASSERT_EQ(plan.List(TMapType::Road).size(), 1035u);
    ASSERT_EQ(plan.List(TMapType::Satellite).size(), 1035u);
    std::size_t i = 0;
    for (int z = 10; z <= 12; ++z) {
        const TTileRect r = GetZoomRect(p, z, z - 9, ZeroPair);  // 5, 13 and 29 tiles square: 1035 in all
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y, ++i)
                for (const auto& [t, code] : {std::pair{0, TMapType::Road}, {2, TMapType::Satellite}}) {
                    const TMapTile& tile = plan.List(MapTypeAt(t))[i];
                    ASSERT_EQ(std::tie(tile.Type, tile.Zoom, tile.X, tile.Y), std::make_tuple(code, z, x, y)) << i;
                }
    }
}

TEST(GenerationPlan, MarkTileDoneCountsEachPlannedTileOnce) {
    TGenerationPlan plan;
    TMapDataHeader header;
    plan.Build(Params(10, 11, {true, false, true, false}), ZeroPair, header);
    const TMapTile first = plan.List(TMapType::Road)[0];
    const TMapTile last = plan.List(TMapType::Satellite).back();

    EXPECT_TRUE(plan.IsTilePending({TMapType::Road, first.Zoom, first.X, first.Y}));
    EXPECT_TRUE(plan.MarkTileDone({TMapType::Road, first.Zoom, first.X, first.Y}));
    EXPECT_FALSE(plan.IsTilePending({TMapType::Road, first.Zoom, first.X, first.Y}));
    EXPECT_TRUE(plan.IsTilePending({TMapType::Satellite, first.Zoom, first.X, first.Y}));
    EXPECT_FALSE(plan.MarkTileDone({TMapType::Road, first.Zoom, first.X, first.Y}));      // repeat
    EXPECT_FALSE(plan.MarkTileDone({TMapType::Road, 9, first.X, first.Y}));               // other zoom
    EXPECT_FALSE(plan.MarkTileDone({TMapType::Terrain, first.Zoom, first.X, first.Y}));      // type not included
    EXPECT_TRUE(plan.MarkTileDone({TMapType::Satellite, last.Zoom, last.X, last.Y}));
    EXPECT_EQ(plan.DoneTiles(), 2);

    EXPECT_FALSE(plan.SetDone(TMapType::Road, 0));  // already done
    EXPECT_TRUE(plan.SetDone(TMapType::Road, 1));
    for (int t = 0; t < MapTypeCount; ++t)
        for (const TMapTile& tile : plan.List(MapTypeAt(t))) plan.MarkTileDone(tile.Id());
    EXPECT_TRUE(plan.AllTilesDone());
    EXPECT_EQ(plan.DoneTiles(), 2 * (25 + 169));
    plan.FreeListItems();
    EXPECT_EQ(plan.TotalCount(), 0);
    EXPECT_TRUE(plan.AllTilesDone());  // empty lists count as done

    // Overlapping entries: each match is marked once, first come first.
    plan.SetIncluded({false, true, false, false});
    plan.AddZoomTiles(7, {0, 0, 2, 1});  // 3 columns of 2 rows
    plan.AddZoomTiles(7, {1, 1, 2, 2});
    ASSERT_EQ(plan.List(TMapType::Terrain).size(), 10u);
    EXPECT_TRUE(plan.MarkTileDone({TMapType::Terrain, 7, 1, 1}));
    EXPECT_TRUE(plan.List(TMapType::Terrain)[3].Done);  // (1,1) in the first rectangle
    EXPECT_TRUE(plan.MarkTileDone({TMapType::Terrain, 7, 1, 1}));
    EXPECT_TRUE(plan.List(TMapType::Terrain)[6].Done);  // then in the second
    EXPECT_FALSE(plan.MarkTileDone({TMapType::Terrain, 7, 1, 1}));
}

TEST(GenerationPlan, OversizedAndInvalidPlansAreRefusedBeforeAllocating) {
    const TGenerationParams all = Params(5, 17, {true, true, true, true});
    EXPECT_EQ(PlannedEntryCount(all), 4 * std::int64_t(1431262693));
    EXPECT_FALSE(PlanFitsMapDataFile(PlannedEntryCount(all)));
    EXPECT_TRUE(PlanFitsMapDataFile((MapDataMaxFileSize - 409) / 32));
    EXPECT_FALSE(PlanFitsMapDataFile((MapDataMaxFileSize - 409) / 32 + 1));

    TGenerationPlan plan;
    TMapDataHeader header;
    EXPECT_THROW(plan.Build(all, ZeroPair, header), std::length_error);
    EXPECT_THROW(plan.Build(Params(12, 11), ZeroPair, header), std::invalid_argument);
    EXPECT_EQ(plan.TotalCount(), 0);
}

TEST(GenerationPlan, ProgressPercent) {
    const struct { std::int64_t Remaining, Total; int Expected; } rows[] = {
        {1000, 1035, 4}, {1, 1035, 100}, {1035, 1035, 0}, {0, 0, 100},
        {5724000000, 5725050772, 1},  // beyond int32: a 32-bit product would overflow
    };
    for (const auto& r : rows) EXPECT_EQ(ProgressPercent(r.Remaining, r.Total), r.Expected) << r.Remaining;
}

}  // namespace
