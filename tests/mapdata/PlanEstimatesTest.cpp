#include <gtest/gtest.h>

#include <algorithm>

#include "ChinaShift.h"
#include "TempDir.h"
#include "PlanEstimates.h"

namespace {

const std::array<TDeltaPair, MapTypeCount> DefaultDeltas{{
    {0.0059448, 0.0026895}, {0.0059448, 0.0026895}, {-0.000202834, 0.000290538}, {-0.000202834, 0.000290538}}};

TGenerationParams Params(int cur, int max, std::array<bool, 4> included) {
    return {123.4259, 41.8123, cur, max, included};
}

TEST(CalibrationResidual, StandardPlanAgreesWithDenseSampling) {
    const TGenerationParams p = Params(10, 12, {true, false, true, false});
    const auto residual = CalibrationResidual(p, DefaultDeltas[0], DefaultDeltas);
    ASSERT_TRUE(residual);
    // The same area sampled independently on a grid 6 times as dense.
    const TTileRect r = GetZoomRect(p, 12, 3, DefaultDeltas[0]);
    const TLonLat nw = PixelToLonLat(12, r.Left * TileSize, r.Top * TileSize, DefaultDeltas[0]);
    const TLonLat se = PixelToLonLat(12, (r.Right + 1) * TileSize, (r.Bottom + 1) * TileSize, DefaultDeltas[0]);
    double dense = 0;
    const int n = 769;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double lon = nw.Lon + (se.Lon - nw.Lon) * i / (n - 1), lat = se.Lat + (nw.Lat - se.Lat) * j / (n - 1);
            dense = std::max(dense, OffsetDistanceMetres(DefaultDeltas[0], ChinaShift(lon, lat), lat));
        }
    EXPECT_NEAR(*residual, dense, 0.5);
    EXPECT_GT(*residual, 33.0);  // worse than at the centre alone
    EXPECT_LT(*residual, 200.0);

    // Only road and terrain maps count.
    EXPECT_FALSE(CalibrationResidual(Params(10, 12, {false, false, true, true}), {}, DefaultDeltas));
}

TEST(SizeEstimate, FallbackFiguresAndTheTwoLimits) {
    TTempDir empty;
    const auto e = EstimateMapDataSize(Params(10, 12, {true, false, true, false}), {}, TTileCache(empty.DirString(), TServerConfig{}));
    EXPECT_EQ(e.Entries, 2070);
    EXPECT_EQ(e.Samples, (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(e.Bytes, 409 + 32 * 2070 + 1035 * (FallbackTileBytes[0] + FallbackTileBytes[2]));
    EXPECT_EQ(e.MinimumBytes, 409 + 2070 * (32 + SmallestTileBytes));

    // Zoom 5 to 12 of one type: the index fits, the smallest tiles do not.
    const auto hopeless = EstimateMapDataSize(Params(5, 12, {true, false, false, false}), {}, TTileCache(empty.DirString(), TServerConfig{}));
    EXPECT_TRUE(PlanFitsMapDataFile(hopeless.Entries));
    EXPECT_FALSE(MinimumFits(hopeless));
    // Zoom 5 to 11: it might fit, but the estimate says it will not.
    const auto doubtful = EstimateMapDataSize(Params(5, 11, {true, false, false, false}), {}, TTileCache(empty.DirString(), TServerConfig{}));
    EXPECT_TRUE(MinimumFits(doubtful));
    EXPECT_FALSE(EstimateFits(doubtful));

    EXPECT_EQ(FormatByteSize(35 * 1024), "35 KB");
    EXPECT_EQ(FormatByteSize(std::int64_t(12.3 * (1 << 20))), "12.3 MB");
    EXPECT_EQ(FormatByteSize(std::int64_t(3) << 30), "3.00 GB");
}

}  // namespace
