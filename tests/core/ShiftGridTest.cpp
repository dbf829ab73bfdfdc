// The control grid against the exact shift: every sample position it gives
// lies within ShiftGridBoundPx of the exact one, inside the region, outside it
// and across its edge.
#include <gtest/gtest.h>

#include <cmath>

#include "ChinaShift.h"
#include "ShiftGrid.h"

namespace {

struct TTileAt {
    int Zoom;
    std::int32_t X, Y;
};

TTileAt TileOf(int zoom, double lon, double lat) {
    const TGlobalPixel p = LonLatToPixel(zoom, lon, lat, {});
    return {zoom, p.X / TileSize, p.Y / TileSize};
}

// Largest distance between the field's sample positions and the exact ones,
// every third pixel, and whether every position lies within the field's bounds.
double WorstError(const TTileAt& t, bool& inBounds) {
    const TShiftField f(t.Zoom, t.X, t.Y);
    double worst = 0;
    inBounds = true;
    double sx[TileSize], sy[TileSize], spanX[TileSize], spanY[TileSize];
    TSampleSpan spans[TileSize];
    for (int j = 0; j < TileSize; j += 3) {
        f.Row(j, sx, sy);
        // The resampler's spans step along the same positions.
        for (int k = 0, n = f.Spans(j, spans); k < n; ++k)
            for (int i = spans[k].Begin; i < spans[k].End; ++i) {
                spanX[i] = spans[k].X + (i - spans[k].Begin) * spans[k].StepX;
                spanY[i] = spans[k].Y + (i - spans[k].Begin) * spans[k].StepY;
            }
        for (int i = 0; i < TileSize; i += 3) {
            EXPECT_NEAR(spanX[i], sx[i], 1e-9);
            EXPECT_NEAR(spanY[i], sy[i], 1e-9);
            double dx, dy;
            ShiftPixels(t.Zoom, double(t.X) * TileSize + i + 0.5, double(t.Y) * TileSize + j + 0.5, dx, dy);
            worst = std::max(worst, std::hypot(sx[i] - (i + dx), sy[i] - (j + dy)));
            inBounds = inBounds && sx[i] >= f.MinX() && sx[i] <= f.MaxX() && sy[i] >= f.MinY() && sy[i] <= f.MaxY();
        }
    }
    return worst;
}

TEST(ShiftGrid, InterpolationStaysWithinTheStatedBoundAtEveryZoom) {
    // Places all over the region, the far north (widest Mercator stretch) and
    // the south included, plus a spread of pseudo-random ones.
    std::vector<std::pair<double, double>> places = {
        {123.4259, 41.8123}, {87.6168, 43.8256}, {122.5, 53.3}, {109.5, 18.3}, {135.0, 48.0}, {75.99, 39.47}, {105.0, 35.0}};
    std::uint32_t s = 12345;
    for (int i = 0; i < 12; ++i) {
        s = s * 1103515245u + 12345u;
        const double lon = 73.0 + (s >> 8) % 6400 / 100.0;
        s = s * 1103515245u + 12345u;
        places.emplace_back(lon, 2.0 + (s >> 8) % 5300 / 100.0);
    }
    for (int zoom = 5; zoom <= 17; ++zoom) {
        double worst = 0;
        for (const auto& [lon, lat] : places) {
            bool inBounds = false;
            worst = std::max(worst, WorstError(TileOf(zoom, lon, lat), inBounds));
            EXPECT_TRUE(inBounds) << zoom << " " << lon << " " << lat;
        }
        EXPECT_LT(worst, ShiftGridBoundPx(zoom)) << "zoom " << zoom;
        EXPECT_LT(ShiftGridBoundPx(zoom), 0.1);
    }
    // The shift itself is hundreds of pixels at zoom 17: the test compares something.
    double dx, dy;
    const TTileAt t = TileOf(17, 123.4259, 41.8123);
    ShiftPixels(17, double(t.X) * TileSize, double(t.Y) * TileSize, dx, dy);
    EXPECT_GT(std::hypot(dx, dy), 300.0);
}

TEST(ShiftGrid, OutsideTheRegionNothingMovesAndAcrossItsEdgeEveryPixelIsExact) {
    const TShiftField paris(15, TileOf(15, 2.35, 48.85).X, TileOf(15, 2.35, 48.85).Y);
    EXPECT_TRUE(paris.IsZero());
    double sx[TileSize], sy[TileSize];
    paris.Row(7, sx, sy);
    EXPECT_EQ(sx[0], 0.0);
    EXPECT_EQ(sx[255], 255.0);
    EXPECT_EQ(sy[100], 7.0);

    // The western edge of the region at 72.004 degrees runs through this tile.
    const TTileAt edge = TileOf(12, 72.004, 38.0);
    const TShiftField f(edge.Zoom, edge.X, edge.Y);
    EXPECT_FALSE(f.IsZero());
    bool inBounds = false;
    EXPECT_LT(WorstError(edge, inBounds), 1e-3);
    EXPECT_TRUE(inBounds);
    f.Row(0, sx, sy);
    EXPECT_EQ(sx[0], 0.0);                // west of the edge: unshifted
    EXPECT_GT(sx[255] - 255.0, 1.0);      // east of it: shifted by the full amount
}

}  // namespace
