#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Geometry.h"

namespace {

constexpr TDeltaPair Zero{};
constexpr double EdgeLat = 85.0511287798;

TEST(Geometry, LonLatToPixelWorkedValues) {
    struct TRow {
        int Zoom;
        double Lon, Lat;
        TDeltaPair Pair;
        TGlobalPixel Expected;
    };
    const TRow rows[] = {
        {5, 123.4259, 41.8123, Zero, {6904, 3046}},
        {17, 123.4259, 41.8123, Zero, {28281343, 12479483}},
        {10, 123.4259, 41.8123, {0.0059448, 0.0026895}, {220952, 97493}},
        {0, -180, 0, Zero, {0, 128}},
        {0, 180, 0, Zero, {256, 128}},
        {10, 180, EdgeLat, Zero, {256 * 1024, 0}},
    };
    for (const TRow& r : rows) EXPECT_EQ(LonLatToPixel(r.Zoom, r.Lon, r.Lat, r.Pair), r.Expected) << r.Zoom << " " << r.Lon;
}

TEST(Geometry, PixelToLonLatWorkedValues) {
    const double rows[][4] = {{0, 0, -180, EdgeLat}, {128, 128, 0, 0}, {256, 256, 180, -EdgeLat}};
    for (const auto& r : rows) {
        const auto ll = PixelToLonLat(0, std::int32_t(r[0]), std::int32_t(r[1]), Zero);
        EXPECT_NEAR(ll.Lon, r[2], 1e-12);
        EXPECT_NEAR(ll.Lat, r[3], 1e-9);
    }
    for (int z = 0; z <= 17; ++z) {
        EXPECT_EQ(LonLatToPixel(z, 0, 0, Zero).Y, 128 * TileCount(z)) << z;
        EXPECT_EQ(LonLatToPixel(z, 0, EdgeLat, Zero).Y, 0) << z;
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
}

TEST(Geometry, LatitudesOutsideTheProjectionDoNotFail) {
    const double inputs[] = {90.0, -90.0, 91.0, -180.0, 1e308, -1e308, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()};
    for (double lat : inputs) {
        const auto p = LonLatToPixel(17, 1e300, lat, Zero);
        EXPECT_LE(std::abs(std::int64_t(p.X)), PixelLimit);
        EXPECT_LE(std::abs(std::int64_t(p.Y)), PixelLimit);
    }
    EXPECT_LT(LonLatToPixel(5, 0, 95, Zero).Y, 0);  // north of the grid stays north
    EXPECT_GT(LonLatToPixel(5, 0, -95, Zero).Y, 0);
}

}  // namespace
