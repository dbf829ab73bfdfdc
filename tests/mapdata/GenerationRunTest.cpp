// The run's accounting without threads or windows: what each notice counts.
#include <gtest/gtest.h>

#include "GenerationRun.h"

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
    run.TileCached(0, 0);  // the first road entry: (Left, Top)
    EXPECT_FALSE(run.TileArrived({'m', 10, r.Left, r.Top})) << "cached already";
    EXPECT_TRUE(run.TileArrived({'s', 10, r.Left, r.Top}));
    EXPECT_FALSE(run.TileArrived({'s', 10, r.Left, r.Top})) << "a repeat";
    EXPECT_FALSE(run.TileArrived({'s', 10, r.Right + 1, r.Top})) << "outside the plan";
    EXPECT_FALSE(run.TileArrived({'p', 10, r.Left + 1, r.Top})) << "a type the plan does not hold";
    EXPECT_FALSE(run.TileArrived({'?', 10, r.Left + 1, r.Top}));

    EXPECT_TRUE(run.TileFailed({'m', 10, r.Left + 1, r.Top}, TFault(TFaultKind::AccessRefused)));
    EXPECT_EQ(run.FailedTiles().at({'m', 10, r.Left + 1, r.Top}).Kind, TFaultKind::AccessRefused);
    EXPECT_FALSE(run.TileFailed({'m', 10, r.Left + 1, r.Top})) << "failed twice counts once";
    EXPECT_FALSE(run.TileFailed({'m', 10, r.Left, r.Top})) << "done tiles cannot fail";
    EXPECT_EQ(run.Progress().Done, 2);
    EXPECT_EQ(run.Progress().Failed, 1);
    EXPECT_EQ(run.Outstanding(), 47);

    // A tile one worker gave up on arrives through another: done, no longer failed.
    EXPECT_TRUE(run.TileArrived({'m', 10, r.Left + 1, r.Top}));
    EXPECT_EQ(run.Progress().Failed, 0);
    EXPECT_EQ(run.Outstanding(), 47);
    EXPECT_FALSE(run.Finished());
}

TEST(GenerationRun, FinishesWhenEveryTileArrivedOrFailedOrOnCancel) {
    TGenerationRun run = StartedRun();
    const TTileRect r = run.Header().TileRects[10];
    for (char type : {'m', 's'})
        for (int x = r.Left; x <= r.Right; ++x)
            for (int y = r.Top; y <= r.Bottom; ++y)
                if (x != r.Right || y != r.Bottom || type != 's') run.TileArrived({type, 10, x, y});
    EXPECT_FALSE(run.Finished());
    run.TileFailed({'s', 10, r.Right, r.Bottom});
    EXPECT_TRUE(run.Finished());
    EXPECT_FALSE(run.AllArrived());
    run.TileArrived({'s', 10, r.Right, r.Bottom});
    EXPECT_TRUE(run.AllArrived());

    TGenerationRun cancelled = StartedRun();
    cancelled.Cancel();
    EXPECT_TRUE(cancelled.Finished());
    EXPECT_FALSE(cancelled.AllArrived());
    // A new plan starts afresh; the snapshot's rectangles stay for whoever reads them.
    cancelled.Clear();
    EXPECT_FALSE(cancelled.IsCancelled());
    EXPECT_EQ(cancelled.Progress().Total, 0);
    EXPECT_EQ(cancelled.Header().TileRects[10], r);
}
