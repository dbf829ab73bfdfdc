#include "ViewerState.h"

#include <algorithm>
#include <limits>

namespace {

std::int32_t ClampToInt32(std::int64_t v) {
    return std::int32_t(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

void TViewerState::CentreOn(int zoom, double lon, double lat) {
    const TGlobalPixel p = LonLatToPixel(zoom, lon, lat, Pair);
    // Integer division and remainder truncate toward zero, as the viewer has always done.
    ViewLeft = ViewRight = p.X / TileSize;
    ViewTop = ViewBottom = p.Y / TileSize;
    if (ViewLeft < Extent.Left) {
        ViewLeft = Extent.Left;
        ViewRight = std::int64_t(Extent.Left) + 1;
    } else if (ViewRight > Extent.Right) {
        ViewRight = Extent.Right;
        ViewLeft = std::int64_t(Extent.Right) - 1;
    }
    if (ViewTop < Extent.Top) {
        ViewTop = Extent.Top;
        ViewBottom = std::int64_t(Extent.Top) + 1;
    } else if (ViewBottom > Extent.Bottom) {
        ViewBottom = Extent.Bottom;
        ViewTop = std::int64_t(Extent.Bottom) - 1;
    }
    ImageLeft = PanelWidth / 2 - p.X % TileSize;
    ImageTop = PanelHeight / 2 - p.Y % TileSize;
    ExtendWindow();
}

bool TViewerState::ExtendWindow() {
    bool grew = false;
    if (ImageLeft > 0) {
        while (ViewLeft > Extent.Left && ImageLeft > 0) {
            --ViewLeft;
            ImageLeft -= TileSize;
            grew = true;
        }
        if (ImageLeft > 0) ImageLeft = 0;
    }
    if (ImageTop > 0) {
        while (ViewTop > Extent.Top && ImageTop > 0) {
            --ViewTop;
            ImageTop -= TileSize;
            grew = true;
        }
        if (ImageTop > 0) ImageTop = 0;
    }
    while (ImageWidth() + ImageLeft < PanelWidth && ViewRight < Extent.Right) {
        ++ViewRight;
        grew = true;
    }
    if (ImageWidth() + ImageLeft < PanelWidth) ImageLeft = PanelWidth - ImageWidth();
    while (ImageHeight() + ImageTop < PanelHeight && ViewBottom < Extent.Bottom) {
        ++ViewBottom;
        grew = true;
    }
    if (ImageHeight() + ImageTop < PanelHeight) ImageTop = PanelHeight - ImageHeight();
    return grew;
}

bool TViewerState::TrimWindow() {
    bool shrank = false;
    while (Columns() > 1 && ImageLeft + TileSize <= 0) {
        ++ViewLeft;
        ImageLeft += TileSize;
        shrank = true;
    }
    while (Columns() > 1 && ImageLeft + (Columns() - 1) * TileSize >= PanelWidth) {
        --ViewRight;
        shrank = true;
    }
    while (Rows() > 1 && ImageTop + TileSize <= 0) {
        ++ViewTop;
        ImageTop += TileSize;
        shrank = true;
    }
    while (Rows() > 1 && ImageTop + (Rows() - 1) * TileSize >= PanelHeight) {
        --ViewBottom;
        shrank = true;
    }
    return shrank;
}

bool TViewerState::MouseMove(std::int64_t x, std::int64_t y) {
    const std::int64_t dx = x - DragX;
    const std::int64_t dy = y - DragY;
    // The image may leave a panel edge uncovered only while the extent holds
    // more tiles on that side; otherwise the whole step is refused.
    if (dx > 0) {
        if (ImageLeft + dx <= 0 || ViewLeft > Extent.Left) ImageLeft += dx;
    } else if (dx < 0) {
        if (ImageWidth() + ImageLeft + dx >= PanelWidth || ViewRight < Extent.Right) ImageLeft += dx;
    }
    if (dy > 0) {
        if (ImageTop + dy <= 0 || ViewTop > Extent.Top) ImageTop += dy;
    } else if (dy < 0) {
        if (ImageHeight() + ImageTop + dy >= PanelHeight || ViewBottom < Extent.Bottom) ImageTop += dy;
    }
    const std::int64_t oldLeft = ViewLeft;
    const std::int64_t oldTop = ViewTop;
    const std::int64_t oldCols = Columns();
    const std::int64_t oldRows = Rows();
    ExtendWindow();
    TrimWindow();
    // Columns added or dropped on the left shift image coordinates; move the
    // pressed point with them so the map does not jump a tile under the pointer.
    DragX += (oldLeft - ViewLeft) * TileSize;
    DragY += (oldTop - ViewTop) * TileSize;
    return ViewLeft != oldLeft || ViewTop != oldTop || Columns() != oldCols || Rows() != oldRows;
}

TGlobalPixel TViewerState::CentrePixel() const {
    return {ClampToInt32(PanelWidth / 2 - ImageLeft + ViewLeft * TileSize),
            ClampToInt32(PanelHeight / 2 - ImageTop + ViewTop * TileSize)};
}

TLonLat TViewerState::CentrePosition() const {
    const TGlobalPixel p = CentrePixel();
    return PixelToLonLat(ViewZoom, p.X, p.Y, Pair);
}
