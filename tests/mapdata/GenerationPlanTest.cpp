#include <gtest/gtest.h>

#include <stdexcept>

#include "GenerationPlan.h"

namespace {

constexpr TDeltaPair ZeroPair{0.0, 0.0};

TGenerationParams Params(int cur, int max, std::array<bool, 4> included = {true, false, false, false}) {
    TGenerationParams p;
    p.CenterLon = 123.4259;
    p.CenterLat = 41.8123;
    p.CurrentZoom = cur;
    p.MaxZoom = max;
    p.Included = included;
    return p;
}

struct TZoomRectRow {
    int Zoom, Level;
    TTileRect Expected;
};

TEST(GenerationPlan, ZoomRectWorkedValues) {
    const TZoomRectRow rows[] = {
        {5, 1, {24, 9, 28, 13}},
        {6, 2, {47, 17, 59, 29}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Zoom);
        EXPECT_EQ(GetZoomRect(Params(5, 6), r.Zoom, r.Level, ZeroPair), r.Expected);
    }
}

TEST(GenerationPlan, ZoomRectUsesActivePairAndPlansBeyondTheGridEdge) {
    const TDeltaPair saved = ActiveDelta();
    SetActiveDelta({1.5, -0.75});
    const TTileRect viaActive = GetZoomRect(Params(8, 8), 8, 1);
    SetActiveDelta(saved);
    EXPECT_EQ(viaActive, GetZoomRect(Params(8, 8), 8, 1, {1.5, -0.75}));
    EXPECT_NE(viaActive, GetZoomRect(Params(8, 8), 8, 1, ZeroPair));

    TGenerationParams west = Params(5, 5);
    west.CenterLon = -179.99;  // tile column 0
    const TTileRect r = GetZoomRect(west, 5, 1, ZeroPair);
    EXPECT_EQ(r.Left, -2);
    EXPECT_EQ(r.Right, 2);

    TGenerationPlan plan;
    TMapDataHeader header;
    plan.Build(west, ZeroPair, header);
    EXPECT_EQ(plan.List(0).front().X, -2);
    EXPECT_EQ(plan.List(0).size(), 25u);
}

struct TFiguresRow {
    int Cur, Max;
    int Levels;
    const char* MaxSize;
    std::int64_t Total;
};

TEST(GenerationPlan, DialogFigures) {
    const TFiguresRow rows[] = {
        {10, 10, 1, "1280 x 1280", 25},
        {10, 12, 3, "7424 x 7424", 1035},
        {5, 17, 13, "8387840 x 8387840", 1431262693},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Cur * 100 + r.Max);
        const TPlanFigures f = PlanFigures(Params(r.Cur, r.Max, {true, true, true, true}), ZeroPair);
        EXPECT_EQ(f.LevelCount, r.Levels);
        EXPECT_EQ(f.MapSize, "1280 x 1280");
        EXPECT_EQ(f.MaxMapSize, r.MaxSize);
        EXPECT_EQ(f.TotalTiles, r.Total);  // one type only, whatever is included
    }
}

TEST(GenerationPlan, BuildFillsListsRectsAndEntryCount) {
    const TGenerationParams p = Params(10, 12, {true, false, true, false});
    TGenerationPlan plan;
    TMapDataHeader header;
    header.MinZoom = 10;  // the run's snapshot: Build must leave it
    header.TileRects[3] = {1, 2, 3, 4};
    plan.Build(p, ZeroPair, header);

    EXPECT_EQ(header.EntryCount, 2070);
    EXPECT_EQ(header.MinZoom, 10);
    EXPECT_EQ(PlannedEntryCount(p), 2070);
    EXPECT_EQ(plan.List(0).size(), 1035u);
    EXPECT_EQ(plan.List(1).size(), 0u);
    EXPECT_EQ(plan.List(2).size(), 1035u);
    EXPECT_EQ(plan.List(3).size(), 0u);
    for (int z = 0; z < ZoomTableSize; ++z) {
        SCOPED_TRACE(z);
        if (z >= 10 && z <= 12)
            EXPECT_EQ(header.TileRects[z], GetZoomRect(p, z, z - 9, ZeroPair));
        else
            EXPECT_EQ(header.TileRects[z], TTileRect{});
    }
    for (const TMapTile& t : plan.List(2)) ASSERT_EQ(t.TypeCode, 's');
    EXPECT_FALSE(plan.AllTilesDone());
}

TEST(GenerationPlan, ListOrderIsZoomThenColumnThenRow) {
    const TGenerationParams p = Params(10, 11);
    TGenerationPlan plan;
    TMapDataHeader header;
    plan.Build(p, ZeroPair, header);

    std::vector<TMapTile> expected;
    for (int z = 10; z <= 11; ++z) {
        const TTileRect r = GetZoomRect(p, z, z - 9, ZeroPair);
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y) expected.push_back({'m', false, z, x, y});
    }
    const auto& list = plan.List(0);
    ASSERT_EQ(list.size(), 25u + 169u);
    for (std::size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(list[i].Zoom, expected[i].Zoom);
        ASSERT_EQ(list[i].X, expected[i].X);
        ASSERT_EQ(list[i].Y, expected[i].Y);
    }
}

TEST(GenerationPlan, MarkTileDoneCountsEachPlannedTileOnce) {
    TGenerationPlan plan;
    TMapDataHeader header;
    plan.Build(Params(10, 11, {true, false, true, false}), ZeroPair, header);
    const TMapTile first = plan.List(0)[0];
    const TMapTile last = plan.List(2).back();

    EXPECT_TRUE(plan.MarkTileDone('m', first.Zoom, first.X, first.Y));
    EXPECT_TRUE(plan.List(0)[0].Done);
    EXPECT_FALSE(plan.MarkTileDone('m', first.Zoom, first.X, first.Y));         // repeat
    EXPECT_FALSE(plan.MarkTileDone('m', 9, first.X, first.Y));                  // other zoom
    EXPECT_FALSE(plan.MarkTileDone('m', first.Zoom, first.X - 1, first.Y));     // outside the rectangle
    EXPECT_FALSE(plan.MarkTileDone('p', first.Zoom, first.X, first.Y));         // type not included
    EXPECT_FALSE(plan.MarkTileDone('x', first.Zoom, first.X, first.Y));         // no such type
    EXPECT_TRUE(plan.MarkTileDone('s', last.Zoom, last.X, last.Y));
    EXPECT_TRUE(plan.List(2).back().Done);
    EXPECT_EQ(plan.DoneTiles(), 2);

    EXPECT_FALSE(plan.SetDone(0, 0));  // already done
    EXPECT_FALSE(plan.SetDone(0, 1u << 20));
    EXPECT_TRUE(plan.SetDone(0, 1));

    for (int t = 0; t < MapTypeCount; ++t)
        for (const TMapTile& tile : plan.List(t)) plan.MarkTileDone(tile.TypeCode, tile.Zoom, tile.X, tile.Y);
    EXPECT_TRUE(plan.AllTilesDone());
    EXPECT_EQ(plan.DoneTiles(), 2 * (25 + 169));
    for (int t = 0; t < MapTypeCount; ++t)
        for (const TMapTile& tile : plan.List(t)) ASSERT_TRUE(tile.Done);

    plan.FreeListItems(0);
    EXPECT_TRUE(plan.List(0).empty());
    EXPECT_TRUE(plan.AllTilesDone());
    plan.FreeListItems();
    EXPECT_EQ(plan.TotalCount(), 0);
    EXPECT_TRUE(plan.AllTilesDone());  // empty lists count as done
}

TEST(GenerationPlan, MarkTileDoneOnLooseAndOverlappingEntries) {
    // Lists built tile by tile, repeated addresses and a rectangle added
    // twice: each entry is marked once, first entries first.
    TGenerationPlan plan;
    plan.AddTile('y', 12, 5, 6);
    plan.AddTile('y', 12, 5, 6);
    plan.AddTile('q', 12, 5, 6);  // unknown code: nothing appended
    EXPECT_EQ(plan.TotalCount(), 2);
    EXPECT_TRUE(plan.MarkTileDone('y', 12, 5, 6));
    EXPECT_TRUE(plan.List(3)[0].Done);
    EXPECT_FALSE(plan.List(3)[1].Done);
    EXPECT_TRUE(plan.MarkTileDone('y', 12, 5, 6));
    EXPECT_FALSE(plan.MarkTileDone('y', 12, 5, 6));

    plan.SetIncluded({false, true, false, false});
    plan.AddZoomTiles(7, {0, 0, 2, 1});  // 3 columns of 2 rows
    plan.AddZoomTiles(7, {1, 1, 2, 2});
    ASSERT_EQ(plan.List(1).size(), 10u);
    EXPECT_TRUE(plan.MarkTileDone('p', 7, 1, 1));
    EXPECT_TRUE(plan.List(1)[3].Done);  // (1,1) in the first rectangle
    EXPECT_TRUE(plan.MarkTileDone('p', 7, 1, 1));
    EXPECT_TRUE(plan.List(1)[6].Done);  // then in the second
    EXPECT_FALSE(plan.MarkTileDone('p', 7, 1, 1));
    EXPECT_TRUE(plan.MarkTileDone('p', 7, 2, 0));
    EXPECT_TRUE(plan.List(1)[4].Done);
    EXPECT_FALSE(plan.MarkTileDone('p', 7, 0, 2));
    EXPECT_FALSE(plan.AllTilesDone());
}

TEST(GenerationPlan, OversizedAndInvalidPlansAreRefusedBeforeAllocating) {
    const TGenerationParams all = Params(5, 17, {true, true, true, true});
    EXPECT_EQ(PlannedEntryCount(all), 4 * std::int64_t(1431262693));
    EXPECT_FALSE(PlanFitsMapDataFile(PlannedEntryCount(all)));
    EXPECT_TRUE(PlanFitsMapDataFile(0));
    EXPECT_TRUE(PlanFitsMapDataFile((MapDataMaxFileSize - 409) / 32));
    EXPECT_FALSE(PlanFitsMapDataFile((MapDataMaxFileSize - 409) / 32 + 1));
    EXPECT_FALSE(PlanFitsMapDataFile(-1));

    TGenerationPlan plan;
    TMapDataHeader header;
    EXPECT_THROW(plan.Build(all, ZeroPair, header), std::length_error);
    EXPECT_THROW(plan.Build(Params(12, 11), ZeroPair, header), std::invalid_argument);
    EXPECT_THROW(plan.Build(Params(17, 18), ZeroPair, header), std::invalid_argument);
    EXPECT_EQ(plan.TotalCount(), 0);
}

TEST(GenerationPlan, ProgressPercent) {
    struct {
        std::int64_t Remaining, Total;
        int Expected;
    } rows[] = {
        {1000, 1035, 4}, {1, 1035, 100}, {1035, 1035, 0}, {0, 1035, 100},
        {0, 0, 100},     {std::int64_t(1) << 40, std::int64_t(1) << 41, 50},
        {5724000000, 5725050772, 1},  // beyond int32: the old 32-bit product overflowed
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Remaining);
        EXPECT_EQ(ProgressPercent(r.Remaining, r.Total), r.Expected);
    }
}

}  // namespace
