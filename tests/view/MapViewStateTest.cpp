// Geometry of the map view without pixels: zoom steps, panning, growth,
// the square around a centre, resize and the reported positions. The zoom
// examples themselves go through the widget's wheel (AtlasClassTest).
#include <gtest/gtest.h>

#include <limits>

#include "MapViewState.h"

namespace {

class MapViewStateTest : public ::testing::Test {
protected:
    // Zoom 10, a mosaic from tile (100, 50), Origin (-300, -200) in an 800x600 view.
    static TMapViewState ZoomExample() {
        TMapViewState s;
        s.Init(10, {800, 600});
        s.Created = true;
        s.TileRect = {100, 50, 104, 54};
        s.Origin = {-300, -200};
        return s;
    }
    static TGlobalPixel UnderViewPoint(const TMapViewState& s, TViewPoint p) {
        return s.GlobalPixel({p.X - s.Origin.X, p.Y - s.Origin.Y});
    }
    static TMapViewState Fresh(TViewSize size = {800, 600}) {
        TMapViewState s;
        s.Init(10, size);
        return s;
    }
};

void ExpectLonLat(double lon, double lat, const TLonLat& expected) {
    EXPECT_DOUBLE_EQ(lon, expected.Lon);
    EXPECT_DOUBLE_EQ(lat, expected.Lat);
}

TEST_F(MapViewStateTest, PointerOutsideTheMosaicZoomsAboutItsMiddle) {
    TMapViewState s = ZoomExample();
    s.TileRect = {100, 50, 100, 50};  // one tile, so most of the view is uncovered
    s.Origin = {0, 0};
    TMapViewState expected = s;
    s.ZoomInAt({700, 500});
    expected.ZoomInAt({127, 127});  // mosaic middle minus one, in view terms at Origin (0, 0)
    EXPECT_EQ(s.TileRect, expected.TileRect);
    EXPECT_EQ(s.Origin, expected.Origin);
    // A hidden part of the mosaic counts as inside: left of the view, x < 0.
    TMapViewState h = ZoomExample();
    const TGlobalPixel before = UnderViewPoint(h, {-100, 300});
    h.ZoomInAt({-100, 300});
    EXPECT_EQ(UnderViewPoint(h, {-100, 300}), (TGlobalPixel{2 * before.X, 2 * before.Y}));
}

TEST_F(MapViewStateTest, GrowthOnTheLeftKeepsTheDragGoing) {
    TMapViewState s = ZoomExample();
    s.Origin = {-50, -200};
    s.Press({300, 300});
    const TPanResult r = s.PanStep({380, 300}, true);  // Origin.x 30: one column added on the left
    EXPECT_TRUE(r.Grew);
    EXPECT_EQ(s.TileRect.Left, 99);
    EXPECT_EQ(s.Origin.X, 30 - 256);
    EXPECT_EQ(s.DownPos, (TViewPoint{556, 300}));
    EXPECT_EQ(s.GlobalPixel(r.Point).X, 100 * 256 + 380);  // the pointer's real place
    // The next small step is a pan, not a jump over the limit.
    const TPanResult next = s.PanStep({556 + 20, 300}, true);
    EXPECT_FALSE(next.Ignored);
    EXPECT_EQ(s.Origin.X, 30 - 256 + 20);
}

TEST_F(MapViewStateTest, LongPanKeepsTheMosaicBoundedAndTheMapInPlace) {
    // 30 tiles east and 20 south (and back) in drag steps of 64 pixels.
    const struct { int Dx, Dy, Steps; } legs[] = {{-64, 0, 120}, {0, -64, 80}, {64, 64, 80}};
    TMapViewState s = ZoomExample();
    for (const auto& leg : legs)
        for (int i = 0; i < leg.Steps; ++i) {
            const TViewPoint at{400, 300};  // the pointer, in view coordinates
            s.Press({at.X - s.Origin.X, at.Y - s.Origin.Y});
            const TGlobalPixel grabbed = UnderViewPoint(s, at);
            const TGlobalPixel reported = UnderViewPoint(s, {at.X + leg.Dx, at.Y + leg.Dy});
            const TPanResult r = s.PanStep({at.X - s.Origin.X + leg.Dx, at.Y - s.Origin.Y + leg.Dy}, true);
            ASSERT_FALSE(r.Ignored);
            // The grabbed map point follows the pointer, whatever was added or dropped.
            EXPECT_EQ(UnderViewPoint(s, {at.X + leg.Dx, at.Y + leg.Dy}), grabbed);
            EXPECT_EQ(s.GlobalPixel(r.Point), reported);
            EXPECT_EQ(s.GlobalPixel(s.DownPos), grabbed);
            // The view stays covered, and the mosaic at most twice the view plus a tile each way.
            ASSERT_LE(s.Origin.X, 0);
            ASSERT_LE(s.Origin.Y, 0);
            ASSERT_GE(s.Origin.X + s.MosaicWidth(), 800);
            ASSERT_GE(s.Origin.Y + s.MosaicHeight(), 600);
            ASSERT_LE(s.MosaicWidth(), 2 * 800 + 2 * 256);
            ASSERT_LE(s.MosaicHeight(), 2 * 600 + 2 * 256);
        }
}

TEST_F(MapViewStateTest, GrowthStopsAtTheEdgesOfTheGrid) {
    TMapViewState s;
    s.Init(5, {800, 600});
    s.TileRect = {0, 0, 0, 0};
    s.Origin = {300, 300};
    EXPECT_TRUE(s.GrowTileRect());  // right and bottom only
    EXPECT_EQ(s.TileRect, (TTileRect{0, 0, 1, 1}));
    EXPECT_EQ(s.Origin, (TViewPoint{300, 300}));

    s.TileRect = {30, 30, 31, 31};
    s.Origin = {-300, -300};
    EXPECT_FALSE(s.GrowTileRect());  // 31 is the last index at zoom 5
    EXPECT_EQ(s.TileRect, (TTileRect{30, 30, 31, 31}));
}

TEST_F(MapViewStateTest, FreshSquareDependsOnTheWidthOnlyAndCentresThePoint) {
    struct Row { int Width; int Across; int Tiles; };
    for (const Row row : {Row{1000, 4, 5}, Row{700, 3, 3}, Row{255, 1, 1}}) {
        SCOPED_TRACE(row.Width);
        TMapViewState s = Fresh({row.Width, 300});
        EXPECT_EQ(s.TilesAcross, row.Across);
        const TTileRect square = s.InitTileRect(123.4259, 41.8123);
        EXPECT_EQ(square.Width(), row.Tiles);
        EXPECT_EQ(square.Height(), row.Tiles);
        EXPECT_EQ(square.Left + row.Tiles / 2, LonLatToPixel(10, 123.4259, 41.8123, s.Pair).X / 256);
        // SetCenter starts from the square and grows it where the view is larger.
        s.SetCenter(123.4259, 41.8123);
        EXPECT_EQ(s.TileRect.Left, square.Left);
        EXPECT_EQ(s.TileRect.Top, square.Top);
        EXPECT_EQ(s.TileRect.Height(), std::max(row.Tiles, 2));  // 300 pixels need two rows
        EXPECT_GE(s.MosaicWidth() + s.Origin.X, row.Width);
        // At 700 the point lies too near the mosaic's left edge to be centred.
        if (row.Tiles == 5) {
            EXPECT_EQ(UnderViewPoint(s, {row.Width / 2, 150}), LonLatToPixel(10, 123.4259, 41.8123, s.Pair));
        }
    }
}

TEST_F(MapViewStateTest, PlaceMosaicNeverMovesItRightOfTheView) {
    // Centre 100 pixels into the mosaic: the mosaic keeps its left position.
    TMapViewState e = Fresh();
    e.Origin = {-7, -9};
    e.TileRect = {0, 0, 4, 4};
    e.PlaceMosaic(100, 500);
    EXPECT_EQ(e.Origin, (TViewPoint{-7, -200}));
    e.PlaceMosaic(0, 500);  // on the mosaic's edge: nothing
    EXPECT_EQ(e.Origin, (TViewPoint{-7, -200}));
}

TEST_F(MapViewStateTest, SetTileRectWidensAndRefusesHugeRectangles) {
    TMapViewState s = Fresh({1000, 700});
    s.Origin = {-5, -6};
    s.SetTileRect(10, 10, 11, 11);
    EXPECT_EQ(s.TileRect, (TTileRect{10, 10, 14, 14}));
    EXPECT_EQ(s.Origin, (TViewPoint{-5, -6}));
    s.SetTileRect(20, 30, 40, 50);
    EXPECT_EQ(s.TileRect, (TTileRect{20, 30, 40, 50}));

    constexpr auto Max = std::numeric_limits<std::int32_t>::max();
    constexpr auto Min = std::numeric_limits<std::int32_t>::min();
    for (const TTileRect in : {TTileRect{0, 0, Max, Max}, TTileRect{Max, Max, Min, Min}, TTileRect{Min, Min, Max, Max}}) {
        s.SetTileRect(in.Left, in.Top, in.Right, in.Bottom);
        EXPECT_LE(s.TileRect.Width(), TMapViewState::MaxRectSpan + 1);
        EXPECT_LE(s.TileRect.Height(), TMapViewState::MaxRectSpan + 1);
        EXPECT_LE(std::abs(std::int64_t(s.TileRect.Right)) * 256, Max / 4);
        // Zooming in from there stays within 32 bits.
        s.MapZoom = 16;
        EXPECT_TRUE(s.ZoomInAt({500, 350}).Changed);
        s.MapZoom = 10;
    }
}

TEST_F(MapViewStateTest, ResizeKeepsTheCentrePointAndGrows) {
    TMapViewState s = Fresh();
    s.SetCenter(123.4259, 41.8123);
    EXPECT_FALSE(s.Resize({1200, 900}));  // construction not finished
    EXPECT_EQ(s.ViewSize, (TViewSize{800, 600}));

    s.Created = true;
    const TGlobalPixel centre = UnderViewPoint(s, {400, 300});
    EXPECT_TRUE(s.Resize({1200, 900}));
    EXPECT_EQ(s.ViewSize, (TViewSize{1200, 900}));
    EXPECT_EQ(UnderViewPoint(s, {600, 450}), centre);
    EXPECT_GE(s.MosaicWidth() + s.Origin.X, 1200);
    EXPECT_GE(s.MosaicHeight() + s.Origin.Y, 900);
    EXPECT_EQ(s.TilesAcross, 4);  // fixed at construction
}

TEST_F(MapViewStateTest, ReportsComputeFromTheTileRectAndOrigin) {
    TMapViewState s = ZoomExample();
    s.Pair = {0.0059448, 0.0026895};
    const TLonLat at = s.ReportPosition({10, 20});
    ExpectLonLat(at.Lon, at.Lat, PixelToLonLat(10, 25600 + 10, 12800 + 20, s.Pair));
    ExpectLonLat(s.Position.LeftLon, s.Position.LeftLat, PixelToLonLat(10, 25601, 12801, s.Pair));
    ExpectLonLat(s.Position.RightLon, s.Position.RightLat, PixelToLonLat(10, 104 * 256 + 255, 54 * 256 + 255, s.Pair));
    ExpectLonLat(s.Position.ImgCenterLon, s.Position.ImgCenterLat, PixelToLonLat(10, 25600 + 700, 12800 + 500, s.Pair));
    EXPECT_EQ(std::make_pair(s.Position.ImgWidth, s.Position.ImgHeight), std::make_pair(1280, 1280));
    EXPECT_EQ(std::make_pair(s.Position.CenterX, s.Position.CenterY), std::make_pair(700, 500));
}

}  // namespace
