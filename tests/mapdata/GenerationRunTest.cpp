// The run's accounting without threads or windows: what each notice counts.
#include <gtest/gtest.h>

#include "GenerationRun.h"

#include <chrono>
#include <vector>

namespace {

// Zoom 10 only, road and satellite: 25 tiles each around the standard centre.
TGenerationRun StartedRun() {
    TGenerationParams params;
    params.CenterLon = 123.4259;
    params.CenterLat = 41.8123;
    params.CurrentZoom = params.MaxZoom = 10;
    params.Included = {true, false, true, false};
    TGenerationRun run;
    run.TakeSnapshot(params, {});
    run.Build({});
    return run;
}

}  // namespace

TEST(GenerationRun, NoticesCountOncePerPlannedTileAndFailuresUntilTheyArrive) {
    TGenerationRun run = StartedRun();
    const TTileRect r = run.Header().TileRects[10];
    ASSERT_EQ(run.Progress().Total, 50);
    run.TileCached(TMapType::Road, 0);  // the first road entry: (Left, Top)
    EXPECT_FALSE(run.TileArrived({TMapType::Road, 10, r.Left, r.Top})) << "cached already";
    EXPECT_TRUE(run.TileArrived({TMapType::Satellite, 10, r.Left, r.Top}));
    EXPECT_FALSE(run.TileArrived({TMapType::Satellite, 10, r.Left, r.Top})) << "a repeat";
    EXPECT_FALSE(run.TileArrived({TMapType::Satellite, 10, r.Right + 1, r.Top})) << "outside the plan";
    EXPECT_FALSE(run.TileArrived({TMapType::Terrain, 10, r.Left + 1, r.Top})) << "a type the plan does not hold";

    EXPECT_TRUE(run.TileFailed({TMapType::Road, 10, r.Left + 1, r.Top}, TFault(TFaultKind::AccessRefused)));
    EXPECT_EQ(run.FailedTiles().at({TMapType::Road, 10, r.Left + 1, r.Top}).Kind, TFaultKind::AccessRefused);
    EXPECT_FALSE(run.TileFailed({TMapType::Road, 10, r.Left + 1, r.Top})) << "failed twice counts once";
    EXPECT_FALSE(run.TileFailed({TMapType::Road, 10, r.Left, r.Top})) << "done tiles cannot fail";
    EXPECT_EQ(run.Progress().Done, 2);
    EXPECT_EQ(run.Progress().Failed, 1);
    EXPECT_EQ(run.Outstanding(), 47);

    // A tile one worker gave up on arrives through another: done, no longer failed.
    EXPECT_TRUE(run.TileArrived({TMapType::Road, 10, r.Left + 1, r.Top}));
    EXPECT_EQ(run.Progress().Failed, 0);
    EXPECT_EQ(run.Outstanding(), 47);
    EXPECT_FALSE(run.Finished());
}

TEST(GenerationRun, FinishesWhenEveryTileArrivedOrFailedOrOnCancel) {
    TGenerationRun run = StartedRun();
    const TTileRect r = run.Header().TileRects[10];
    for (TMapType type : {TMapType::Road, TMapType::Satellite})
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y)
                if (x != r.Right || y != r.Bottom || type != TMapType::Satellite) run.TileArrived({type, 10, x, y});
    EXPECT_FALSE(run.Finished());
    run.TileFailed({TMapType::Satellite, 10, r.Right, r.Bottom});
    EXPECT_TRUE(run.Finished());
    EXPECT_FALSE(run.AllArrived());
    run.TileArrived({TMapType::Satellite, 10, r.Right, r.Bottom});
    EXPECT_TRUE(run.AllArrived());

    TGenerationRun cancelled = StartedRun();
    cancelled.Stop(TRunStatus::Cancelled);
    EXPECT_TRUE(cancelled.Finished());
    EXPECT_FALSE(cancelled.AllArrived());
    // A new plan starts afresh; the snapshot's rectangles stay for whoever reads them.
    cancelled.Clear();
    EXPECT_NE(cancelled.Status(), TRunStatus::Cancelled);
    EXPECT_EQ(cancelled.Progress().Total, 0);
    EXPECT_EQ(cancelled.Header().TileRects[10], r);
}

// The request loop counts what the cache holds; notices count only while
// downloading; the first early stop is the one reported, except a close.
TEST(GenerationRun, StatusFollowsRequestsNoticesAndStops) {
    TGenerationRun run = StartedRun();
    EXPECT_EQ(run.Status(), TRunStatus::Downloading);
    std::vector<TTileId> asked;
    run.RequestTiles([&](const TTileId& tile) {
        asked.push_back(tile);
        return tile.Type == TMapType::Road;  // every road tile is cached
    });
    ASSERT_EQ(asked.size(), 50u);
    EXPECT_EQ(asked.front().Type, TMapType::Road);
    EXPECT_EQ(run.Outcomes().Cached, 25);
    EXPECT_TRUE(run.HandleNotice({TNoticeKind::TileSaved, asked[25], {}, {}, TTileOutcome::Updated}));
    EXPECT_TRUE(run.HandleNotice({TNoticeKind::TileFailed, asked[26], {}, TFault(TFaultKind::AccessRefused)}));
    EXPECT_FALSE(run.HandleNotice({TNoticeKind::TileFailed, asked[28], {}, TFault(TFaultKind::RunStopped)}))
        << "tiles the stopped pool refused are not the tiles' failures";
    EXPECT_EQ(run.Outcomes().Updated, 1);
    EXPECT_EQ(run.Progress().Failed, 1);

    run.Stop(TRunStatus::AccessRefused, {TStopReason::AccessRefused, "tiles.example", 403});
    run.Stop(TRunStatus::Cancelled);
    EXPECT_EQ(run.Status(), TRunStatus::AccessRefused);
    EXPECT_TRUE(run.Finished());
    EXPECT_FALSE(run.HandleNotice({TNoticeKind::TileSaved, asked[27]})) << "stopped runs count nothing";
    EXPECT_EQ(run.EndDownload(TTileCache("/nonexistent/", TServerConfig{})), TRunStatus::AccessRefused);
    EXPECT_EQ(run.StopDetail().HttpStatus, 403);
    run.Stop(TRunStatus::Closing);
    run.Stop(TRunStatus::Writing);
    EXPECT_EQ(run.Status(), TRunStatus::Closing);
    run.Clear();
    EXPECT_EQ(run.Status(), TRunStatus::Idle);
    run.Stop(TRunStatus::Cancelled);
    EXPECT_EQ(run.Status(), TRunStatus::Idle) << "no run, nothing to stop";
}

TEST(GenerationRun, EveryTileThereOrSomeFailedEndsTheDownload) {
    TGenerationRun run = StartedRun();
    run.RequestTiles([](const TTileId& tile) { return tile.Type == TMapType::Road; });
    const TTileRect r = run.Header().TileRects[10];
    for (int x = r.Left; x <= r.Right; ++x)
        for (int y = r.Top; y <= r.Bottom; ++y) run.TileFailed({TMapType::Satellite, 10, x, y});
    EXPECT_EQ(run.EndDownload(TTileCache("/nonexistent/", TServerConfig{})), TRunStatus::TilesFailed);

    TGenerationRun again = StartedRun();
    again.RequestTiles([](const TTileId&) { return true; });
    EXPECT_EQ(again.EndDownload(TTileCache("/nonexistent/", TServerConfig{})), TRunStatus::Downloaded);
    // An undecodable cached tile is asked again: the run downloads once more.
    again.RequestAgain({{TMapType::Satellite, 10, r.Left, r.Top}}, [](const TTileId&) { return false; });
    EXPECT_EQ(again.Status(), TRunStatus::Downloading);
    EXPECT_EQ(again.Outstanding(), 1);
}

TEST(RateClock, RateAndTimeLeftCountFromTheStartAndWaitAFifthOfASecond) {
    using namespace std::chrono_literals;
    const auto t0 = TRateClock::TClock::now();
    TRateClock clock;
    clock.Start(40, t0);  // 40 found in the cache
    EXPECT_EQ(clock.Figures(41, 100, t0 + 100ms).PerSecond, 0);
    EXPECT_LT(clock.Figures(41, 100, t0 + 100ms).SecondsLeft, 0);
    const TRateFigures f = clock.Figures(60, 100, t0 + 2s);
    EXPECT_DOUBLE_EQ(f.PerSecond, 10);
    EXPECT_DOUBLE_EQ(f.SecondsLeft, 4);
}
