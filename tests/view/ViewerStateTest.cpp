// The viewer's geometry without pixels: the tile window stays bounded
// whatever rectangle a file gives.
#include "ViewerState.h"

#include <gtest/gtest.h>

namespace {

constexpr double CentreLon = 123.4259;
constexpr double CentreLat = 41.8123;

TEST(ViewerState, SmallExtentsAndDamagedRectanglesStayBounded) {
    const TTileRect rects[] = {
        {100, 200, 100, 200},  // a single tile
        {2147483640, 2147483640, 2147483647, 2147483647},
        {-2147483647 - 1, -2147483647 - 1, -2147483600, -2147483600},
        {50, 50, 10, 10},  // left beyond right
    };
    for (const TTileRect& r : rects) {
        TViewerState s;
        s.Extent = r;
        s.CentreOn(12, CentreLon, CentreLat);
        s.MouseDown(100, 100);
        s.MouseMove(-100000, 100000);
        s.MouseMove(100000, -100000);
        EXPECT_TRUE(s.Columns() >= 1 && s.Columns() <= 4) << s.Columns();
        EXPECT_TRUE(s.Rows() >= 1 && s.Rows() <= 4) << s.Rows();
    }
}

}  // namespace
