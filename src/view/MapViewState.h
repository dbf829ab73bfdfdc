// TMapViewState: the geometry of the map view with no pixels and no Qt. It
// keeps the tile rectangle, where the mosaic sits in the view, the zoom and
// the drag anchor, and answers which operations need the mosaic rebuilt; the
// widget (TAtlasClass) paints and routes input. Integer division truncates
// toward zero everywhere (C++ / and %), as the positions reported rely on it.
#pragma once

#include <cstdint>

#include "AtlasAppType.h"
#include "Geometry.h"

// A point in view or mosaic pixels.
struct TViewPoint {
    std::int32_t X = 0;
    std::int32_t Y = 0;
    friend bool operator==(const TViewPoint&, const TViewPoint&) = default;
};

struct TViewSize {
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    friend bool operator==(const TViewSize&, const TViewSize&) = default;
};

// The ten read-only values a position report refreshes.
struct TPositionValues {
    double LeftLon = 0, LeftLat = 0;
    double RightLon = 0, RightLat = 0;
    double ImgCenterLon = 0, ImgCenterLat = 0;
    std::int32_t ImgWidth = 0, ImgHeight = 0;
    std::int32_t CenterX = 0, CenterY = 0;
};

// What a pointer move did to the view.
struct TPanResult {
    bool Ignored = false;   // a step over the 100-pixel limit: no pan and no report
    bool Moved = false;     // Origin changed
    bool Grew = false;      // the tile rectangle grew (and may have shed far tiles): rebuild the mosaic
    TViewPoint Point;       // the pointer in mosaic coordinates after the step, for the report
};

// What a zoom step did.
struct TZoomResult {
    bool Changed = false;   // false at the zoom limits: nothing else changed either
    int OldZoom = 0;
    int NewZoom = 0;
};

class TMapViewState {
public:
    static constexpr int PanLimit = 100;
    // SetTileRect makes a mosaic no wider or higher than this many tiles
    // beyond its first, and keeps indices within a world of the grid, so a
    // damaged map parameter file cannot ask for gigabytes or overflow pixels.
    static constexpr std::int32_t MaxRectSpan = 64;

    // Sets up a fresh state for a view of the given client size at a zoom:
    // TileRect and Origin zero, TilesAcross from the width (fixed from then on).
    void Init(int zoom, TViewSize size);

    TTileRect TileRect;
    TViewPoint Origin;       // the mosaic's top-left corner in the view
    TViewPoint DownPos;      // last button press over the map, mosaic coordinates
    TViewSize ViewSize;      // size as last recorded by Init or Resize
    TViewSize ClientSize;    // current client size; GrowTileRect and reports use it
    std::int32_t TilesAcross = 1;
    int MapZoom = MinMapZoom;
    TDeltaPair Pair;         // offsets of the shown type, used by every conversion
    bool Created = false;    // resizes are ignored until the widget has finished construction
    TPositionValues Position;  // zero until the first report

    std::int32_t MosaicWidth() const;
    std::int32_t MosaicHeight() const;

    // The (2h+1)x(2h+1) square around a point, h = TilesAcross / 2. Not clamped.
    TTileRect InitTileRect(double lon, double lat) const;
    // Replaces TileRect by the square, brings the point to the view centre
    // where PlaceMosaic allows and grows the mosaic to cover the client area.
    // The mosaic must be rebuilt afterwards.
    void SetCenter(double lon, double lat);
    // Brings mosaic pixel (ax, ay) to the view centre, never moving the mosaic
    // right of or below the view's top-left corner. Points outside do nothing.
    void PlaceMosaic(std::int32_t ax, std::int32_t ay);
    // Extends TileRect until the mosaic covers the client area, within the grid.
    // Columns or rows added on the left/top shift Origin by -256 each. True when it grew.
    bool GrowTileRect();
    // Drops columns and rows lying more than half a view outside the client
    // area, so a long pan keeps the mosaic bounded. Columns dropped on the
    // left/top shift Origin by +256 each; nothing moves on screen. True when it shrank.
    bool TrimTileRect();
    // Widens the rectangle to at least TilesAcross; Origin is kept. Rebuild afterwards.
    void SetTileRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);
    TGlobalPixel TileAt(TViewPoint mosaicPoint) const;

    // A change of client size. False when nothing changed (before construction
    // has finished, or the same size); true means the mosaic must be rebuilt.
    // The mosaic stays at Origin, which keeps the old centre point under the new centre.
    bool Resize(TViewSize size);

    // Records a button press at a mosaic point.
    void Press(TViewPoint mosaicPoint) { DownPos = mosaicPoint; }
    // One pointer move at a mosaic point; pans only when leftOnly (the left
    // button and nothing else held). Growth on the left/top shifts DownPos
    // with the mosaic, so the drag goes on and reports where the pointer is.
    TPanResult PanStep(TViewPoint mosaicPoint, bool leftOnly);
    // Arrow keys: Origin moves by (dx, dy) tiles' worth of pixels. True when it grew.
    bool MoveByTile(int dx, int dy);

    // One zoom level about view point p, the mosaic being at mosaicPos in the
    // view. The map point under p stays in place. Rebuild after a change.
    TZoomResult ZoomInAt(TViewPoint p, TViewPoint mosaicPos);
    TZoomResult ZoomOutAt(TViewPoint p, TViewPoint mosaicPos);
    TZoomResult ZoomInAt(TViewPoint p) { return ZoomInAt(p, Origin); }
    TZoomResult ZoomOutAt(TViewPoint p) { return ZoomOutAt(p, Origin); }
    // Steps about the view centre; returns how many steps changed the zoom.
    int ZoomBy(int count);

    // Refreshes Position and returns the longitude/latitude of a mosaic point.
    TLonLat ReportPosition(TViewPoint mosaicPoint);
    // The point under the view's centre pixel, where the cross lies.
    TLonLat ClickPosition() const;
    // The global pixel of a mosaic point at MapZoom.
    TGlobalPixel GlobalPixel(TViewPoint mosaicPoint) const;
    TViewPoint ViewCenter() const { return {ClientSize.Width / 2, ClientSize.Height / 2}; }

private:
    // Grows to cover the client area, trims when it grew, and keeps DownPos on
    // the grabbed map point. True when the mosaic must be rebuilt.
    bool Regrow();
};
