#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Geometry.h"

namespace {

constexpr TDeltaPair Zero{};
constexpr double EdgeLat = 85.0511287798;

struct PixelCase {
    int zoom;
    double lon, lat;
    TDeltaPair pair;
    int px, py;
};

class LonLatToPixelTest : public ::testing::TestWithParam<PixelCase> {};

TEST_P(LonLatToPixelTest, WorkedValues) {
    const auto& c = GetParam();
    EXPECT_EQ(LonLatToPixel(c.zoom, c.lon, c.lat, c.pair), (TGlobalPixel{c.px, c.py}));
}

INSTANTIATE_TEST_SUITE_P(Geometry, LonLatToPixelTest,
                         ::testing::Values(PixelCase{5, 123.4259, 41.8123, Zero, 6904, 3046},
                                           PixelCase{17, 123.4259, 41.8123, Zero, 28281343, 12479483},
                                           PixelCase{10, 123.4259, 41.8123, {0.0059448, 0.0026895}, 220952, 97493},
                                           PixelCase{0, -180, 0, Zero, 0, 128},
                                           PixelCase{0, 180, 0, Zero, 256, 128},
                                           PixelCase{10, 180, EdgeLat, Zero, 256 * 1024, 0}));

TEST(Geometry, TileCountAndMaxIndex) {
    EXPECT_EQ(TileCount(-3), 1);
    EXPECT_EQ(TileCount(0), 1);
    EXPECT_EQ(TileCount(5), 32);
    EXPECT_EQ(TileCount(17), 131072);
    EXPECT_EQ(MaxTileIndex(0), 0);
    EXPECT_EQ(MaxTileIndex(5), 31);
    EXPECT_TRUE(TileInGrid(5, 31, 0));
    EXPECT_FALSE(TileInGrid(5, 32, 0));
    EXPECT_FALSE(TileInGrid(5, -1, 3));
}

TEST(Geometry, PixelToLonLatWorkedValues) {
    auto a = PixelToLonLat(0, 0, 0, Zero);
    EXPECT_NEAR(a.Lon, -180, 1e-12);
    EXPECT_NEAR(a.Lat, EdgeLat, 1e-9);
    auto b = PixelToLonLat(0, 128, 128, Zero);
    EXPECT_NEAR(b.Lon, 0, 1e-12);
    EXPECT_NEAR(b.Lat, 0, 1e-12);
    auto c = PixelToLonLat(0, 256, 256, Zero);
    EXPECT_NEAR(c.Lon, 180, 1e-12);
    EXPECT_NEAR(c.Lat, -EdgeLat, 1e-9);
}

TEST(Geometry, EquatorAndNorthEdgeAtEveryZoom) {
    for (int z = 0; z <= 17; ++z) {
        const int n = TileCount(z);
        EXPECT_EQ(LonLatToPixel(z, 0, 0, Zero).Y, 128 * n) << z;
        EXPECT_EQ(LonLatToPixel(z, 0, EdgeLat, Zero).Y, 0) << z;
        EXPECT_EQ(LonLatToPixel(z, -180, 0, Zero).X, 0) << z;
    }
}

TEST(Geometry, CalibrationPairShiftsCoordinatesNotTheGrid) {
    const TDeltaPair pair{0.25, -0.5};
    for (int z : {5, 10, 17}) {
        const int n = TileCount(z);
        const auto mid = PixelToLonLat(z, 128 * n, 128 * n, pair);
        EXPECT_NEAR(mid.Lon, -pair.Lon, 1e-9);
        EXPECT_NEAR(mid.Lat, -pair.Lat, 1e-9);
        // The pair cancels out on the way back; the floored corner may land one pixel short.
        const auto ll = PixelToLonLat(z, 1000, 2000, pair);
        const auto back = LonLatToPixel(z, ll.Lon, ll.Lat, pair);
        EXPECT_LE(std::abs(back.X - 1000), 1);
        EXPECT_LE(std::abs(back.Y - 2000), 1);
    }
    const auto plain = PixelToLonLat(12, 5000, 7000, Zero);
    const auto shifted = PixelToLonLat(12, 5000, 7000, pair);
    EXPECT_NEAR(plain.Lon - shifted.Lon, pair.Lon, 1e-12);
    EXPECT_NEAR(plain.Lat - shifted.Lat, pair.Lat, 1e-12);
}

TEST(Geometry, ActivePairIsUsedByDefault) {
    const TDeltaPair saved = ActiveDelta();
    SetActiveDelta({0.0059448, 0.0026895});
    EXPECT_EQ(LonLatToPixel(10, 123.4259, 41.8123), (TGlobalPixel{220952, 97493}));
    SetActiveDelta(saved);
}

TEST(Geometry, LatitudesOutsideTheProjectionDoNotFail) {
    const double inputs[] = {90.0, -90.0, 91.0, -180.0, 1e308, -1e308, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()};
    for (double lat : inputs) {
        const auto p = LonLatToPixel(17, 1e300, lat, Zero);
        EXPECT_LE(std::abs(std::int64_t(p.X)), PixelLimit);
        EXPECT_LE(std::abs(std::int64_t(p.Y)), PixelLimit);
    }
    EXPECT_LT(LonLatToPixel(5, 0, 95, Zero).Y, 0);   // north of the grid stays north
    EXPECT_GT(LonLatToPixel(5, 0, -95, Zero).Y, 0);
}

}  // namespace
