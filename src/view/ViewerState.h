// TViewerState: the geometry of the map data viewer, kept apart from the
// widgets so it can be checked without pixels. It knows the tile window the
// image shows, where the image sits in the panel and the drag in progress;
// the dialog only paints what it says and feeds it the pointer.
#pragma once

#include <cstdint>

#include "AtlasAppType.h"
#include "Geometry.h"

struct TViewerState {
    // The map panel's size; fixed by the dialog's layout.
    int PanelWidth = 469;
    int PanelHeight = 552;

    int ViewZoom = 0;
    TTileRect Extent;  // the file's rectangle of ViewZoom; may be anything in a damaged file
    TDeltaPair Pair;   // offsets of the shown type, as the file recorded them

    // The tile window (inclusive). 64-bit so that rectangles near the int32
    // limits from a hostile file cannot overflow the +-1 steps.
    std::int64_t ViewLeft = 0;
    std::int64_t ViewTop = 0;
    std::int64_t ViewRight = 0;
    std::int64_t ViewBottom = 0;
    // The image's top-left corner inside the panel.
    std::int64_t ImageLeft = 0;
    std::int64_t ImageTop = 0;
    // Pointer position on the image at the last press.
    std::int64_t DragX = 0;
    std::int64_t DragY = 0;

    std::int64_t Columns() const { return ViewRight - ViewLeft + 1; }
    std::int64_t Rows() const { return ViewBottom - ViewTop + 1; }
    std::int64_t ImageWidth() const { return Columns() * TileSize; }
    std::int64_t ImageHeight() const { return Rows() * TileSize; }

    // Places the tile of (lon, lat) under the panel centre, kept inside the
    // extent, then extends and trims the window. The caller rebuilds.
    void CentreOn(int zoom, double lon, double lat);

    // Grows the window until the image covers the panel, never beyond the
    // extent. True when it grew.
    bool ExtendWindow();

    // Drops columns and rows lying wholly outside the panel, keeping at least
    // one of each, so that a long drag over a large extent cannot grow the
    // image without bound. True when it shrank.
    bool TrimWindow();

    void MouseDown(std::int64_t x, std::int64_t y) { DragX = x; DragY = y; }

    // A pointer move to (x, y) on the image with the left button held. Moves
    // the image unless that would uncover the panel at the extent's edge.
    // True when the tile window changed and the image must be rebuilt.
    bool MouseMove(std::int64_t x, std::int64_t y);

    // Global pixel under the panel centre, and its calibrated position.
    TGlobalPixel CentrePixel() const;
    TLonLat CentrePosition() const;
};
