// The plan of a rectified run: what it downloads, what the file holds and
// which offsets it carries.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "GenerationRun.h"
#include "MapdataTestSupport.h"
#include "Rectify.h"

namespace {

TGenerationParams ShenyangPlan(bool rectify) {
    TGenerationParams p;
    p.CenterLon = 123.4259;
    p.CenterLat = 41.8123;
    p.CurrentZoom = 14;
    p.MaxZoom = 15;
    p.Included = {true, false, true, false};
    p.Rectify = rectify;
    return p;
}

TEST(Rectify, PlanDownloadsTheShiftedSourcesAndWritesTheTrueSquares) {
    const auto deltas = TAtlasSettings().Deltas;
    TGenerationRun run;
    run.TakeSnapshot(ShenyangPlan(true), deltas);
    const TGenerationParams params = ShenyangPlan(true);
    const TDeltaPair viewPair = RunDeltas(params, deltas)[0];
    EXPECT_EQ(viewPair.Lon, 0.0);
    run.Build(viewPair);
    const TMapDataHeader& h = run.Header();
    EXPECT_EQ(h.Deltas[0].Lon, 0.0);
    EXPECT_EQ(h.Deltas[1].Lat, 0.0);
    EXPECT_EQ(h.Deltas[2].Lon, deltas[2].Lon);  // satellite maps keep their offsets
    EXPECT_EQ(h.EntryCount, PlannedEntryCount(params));
    EXPECT_EQ(run.Progress().Total, PlannedDownloadCount(params, viewPair));

    // The sources lie east and north of the squares (the shift is about 500 m
    // east and 270 m north here), a few pixels more than the squares' width.
    const TTileRect square = h.TileRects[15];
    const TTileRect source = SourceRect(15, square);
    EXPECT_GT(source.Right, square.Right);
    EXPECT_LT(source.Top, square.Top);
    EXPECT_LE(source.Width(), square.Width() + 1);
    EXPECT_LE(source.Height(), square.Height() + 1);
    EXPECT_EQ(run.TilePlan().List(TMapType::Road).back().Id(), TTileId(TMapType::Road, 15, source.Right, source.Bottom));
    EXPECT_EQ(run.TilePlan().List(TMapType::Satellite).back().Id(), TTileId(TMapType::Satellite, 15, square.Right, square.Bottom));

    const auto lists = OutputTileLists(run.TilePlan(), h, RectifiedTypes(params));
    EXPECT_EQ(lists[0].size(), std::size_t(square.Count() + h.TileRects[14].Count()));
    EXPECT_EQ(lists[0].back().Id(), TTileId(TMapType::Road, 15, square.Right, square.Bottom));
    EXPECT_EQ(lists[2].size(), run.TilePlan().List(TMapType::Satellite).size());
}

TEST(Rectify, WithoutRectificationThePlanIsAsBefore) {
    const auto deltas = TAtlasSettings().Deltas;
    TGenerationRun run;
    run.TakeSnapshot(ShenyangPlan(false), deltas);
    run.Build(deltas[0]);
    EXPECT_EQ(run.Header().Deltas[0].Lon, deltas[0].Lon);
    EXPECT_EQ(run.Progress().Total, PlannedEntryCount(ShenyangPlan(false)));
    EXPECT_EQ(RectifiedTypes(ShenyangPlan(false)), (std::array<bool, MapTypeCount>{}));
    // Where the shift does not apply, the sources are the squares themselves.
    const TTileRect paris{16598, 11270, 16602, 11274};
    EXPECT_EQ(SourceRect(15, paris), paris);
    EXPECT_EQ(RectifiedResidual(ShenyangPlan(true), {}).has_value(), true);
    EXPECT_LT(*RectifiedResidual(ShenyangPlan(true), {}), 0.1);
}

// The writer's threads share the window of decoded sources: any number of
// encoders writes the same bytes, and a missing source blanks only the output
// tiles that sample it.
TEST(Rectify, EncodersAgreeAndAMissingSourceBlanksOnlyItsTiles) {
    TTempDir dir;
    const TTileCache cache(dir.DirString(), TServerConfig{});
    TGenerationParams params = ShenyangPlan(true);
    params.CurrentZoom = params.MaxZoom = 15;
    params.Included = {true, false, false, false};
    TGenerationRun run;
    run.TakeSnapshot(params, TAtlasSettings().Deltas);
    run.Build({});
    int seed = 0;
    for (const TMapTile& t : run.TilePlan().List(TMapType::Road)) WriteBytes(cache.Path(t.Id()), PngBytes(MakeTilePicture(++seed)));

    const auto lists = run.OutputLists();
    auto write = [&](const std::string& name, int encoders) {
        return WriteMapData((dir / name).string(), run.Header(), lists, cache, {}, MapDataMaxFileSize, encoders, false,
                            run.Rectified());
    };
    EXPECT_EQ(write("one.Dat", 1).AllBlank().Total(), 0);
    EXPECT_EQ(write("three.Dat", 3).AllBlank().Total(), 0);
    EXPECT_EQ(ReadBytes((dir / "one.Dat").string()), ReadBytes((dir / "three.Dat").string()));

    std::filesystem::remove(cache.Path(run.TilePlan().List(TMapType::Road)[7].Id()));
    const TBlankTiles blank = write("gap.Dat", 3).AllBlank();
    EXPECT_GE(blank.Missing, 1);
    EXPECT_LE(blank.Missing, 4);
    EXPECT_EQ(blank.Total(), blank.Missing);
}

// The writer keeps three columns of sources of the longest rectified column,
// never more than SourceTilesKept, and nothing for types written as downloaded.
TEST(Rectify, SourceWindowFollowsTheLongestColumn) {
    std::array<std::vector<TMapTile>, MapTypeCount> lists;
    for (std::int32_t x = 0; x < 3; ++x)
        for (std::int32_t y = 0; y < 20; ++y) lists[0].push_back({{TMapType::Road, 15, x, y}, false});
    for (std::int32_t y = 0; y < 1000; ++y) lists[1].push_back({{TMapType::Terrain, 15, 0, y}, false});
    EXPECT_EQ(SourceWindow(lists, {true, false, false, false}), 3u * (20 + 4) + 32);
    EXPECT_EQ(SourceWindow(lists, {true, true, false, false}), SourceTilesKept);
}

}  // namespace
