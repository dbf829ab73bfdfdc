#include <gtest/gtest.h>

#include "ChinaShift.h"

namespace {

TEST(ChinaShift, PublishedReferenceValues) {
    struct Row {
        const char* Place;
        double Lon, Lat, ShiftLon, ShiftLat;
    };
    const Row rows[] = {
        {"Shenyang", 123.4259, 41.8123, 0.006143, 0.002435},
        {"Beijing", 116.3975, 39.9087, 0.006244, 0.001403},
        {"Guangzhou", 113.2644, 23.1291, 0.005330, -0.002677},
        {"Tokyo", 139.6917, 35.6895, 0.0, 0.0},      // east of the box
        {"Singapore", 103.8198, 0.3521, 0.0, 0.0},   // south of it
        {"Paris", 2.3522, 48.8566, 0.0, 0.0},
    };
    for (const Row& r : rows) {
        const TDeltaPair s = ChinaShift(r.Lon, r.Lat);
        EXPECT_NEAR(s.Lon, r.ShiftLon, 1e-6) << r.Place;
        EXPECT_NEAR(s.Lat, r.ShiftLat, 1e-6) << r.Place;
    }
}

TEST(ChinaShift, ResidualIsZeroAtThePointAndGrowsWithTheArea) {
    const double lon = 123.4259, lat = 41.8123;
    const TDeltaPair here = ChinaShift(lon, lat);
    EXPECT_EQ(MaxShiftError(here, lon, lat, lon, lat), 0.0);
    double previous = 0.0;
    for (double half : {0.01, 0.1, 0.5, 2.0}) {
        const double e = MaxShiftError(here, lon - half, lat - half, lon + half, lat + half);
        EXPECT_GT(e, previous) << half;
        previous = e;
    }
    // A box reaching out of the region meets a shift of zero: the pair itself is the error.
    EXPECT_NEAR(MaxShiftError(here, 137.0, 40.0, 139.0, 41.0), OffsetDistanceMetres(here, {}, 40.0), 1e-6);
}

}  // namespace
