#include "MapViewState.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t Int32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t Int32Min = std::numeric_limits<std::int32_t>::min();

std::int32_t Clamp32(std::int64_t v) { return std::int32_t(std::clamp(v, Int32Min, Int32Max)); }

// Tile indices more than a world away hold nothing to show (they are blank);
// keeping them within that band keeps every pixel sum, also after twelve
// zoom-in steps, far inside 32 bits.
std::int32_t ClampIndex(std::int64_t v, int zoom) {
    const std::int64_t n = TileCount(zoom);
    return std::int32_t(std::clamp(v, -n, 2 * n));
}

}  // namespace

void TMapViewState::Init(int zoom, TViewSize size) {
    MapZoom = zoom;
    ViewSize = size;
    ClientSize = size;
    TilesAcross = std::max(size.Width, 0) / TileSize + 1;
    TileRect = {};
    Origin = {};
    DownPos = {};
    Position = {};
    Created = false;
}

std::int32_t TMapViewState::MosaicWidth() const { return Clamp32(TileRect.Width() * TileSize); }
std::int32_t TMapViewState::MosaicHeight() const { return Clamp32(TileRect.Height() * TileSize); }

TTileRect TMapViewState::InitTileRect(double lon, double lat) const {
    const TGlobalPixel p = LonLatToPixel(MapZoom, lon, lat, Pair);
    const std::int32_t tx = ClampIndex(p.X / TileSize, MapZoom);
    const std::int32_t ty = ClampIndex(p.Y / TileSize, MapZoom);
    const std::int32_t h = TilesAcross / 2;
    return {tx - h, ty - h, tx + h, ty + h};
}

void TMapViewState::SetCenter(double lon, double lat) {
    TileRect = InitTileRect(lon, lat);
    const TGlobalPixel p = LonLatToPixel(MapZoom, lon, lat, Pair);
    PlaceMosaic(Clamp32(std::int64_t(p.X) - std::int64_t(TileRect.Left) * TileSize),
                Clamp32(std::int64_t(p.Y) - std::int64_t(TileRect.Top) * TileSize));
    // The square is sized by the width at construction and centring shifts it
    // by up to a tile, so on its own it can leave a strip of the view bare
    // (no later resize comes to grow it without a window manager).
    GrowTileRect();
}

void TMapViewState::PlaceMosaic(std::int32_t ax, std::int32_t ay) {
    if (ax <= 0 || ax >= MosaicWidth() || ay <= 0 || ay >= MosaicHeight()) return;
    const std::int32_t dx = ax - ViewSize.Width / 2;
    if (dx > 0) Origin.X = -dx;
    const std::int32_t dy = ay - ViewSize.Height / 2;
    if (dy > 0) Origin.Y = -dy;
}

bool TMapViewState::GrowTileRect() {
    bool grew = false;
    const std::int32_t maxIndex = MaxTileIndex(MapZoom);
    if (Origin.X > 0 && TileRect.Left > 0) {
        do {
            --TileRect.Left;
            Origin.X -= TileSize;
        } while (TileRect.Left > 0 && Origin.X > 0);
        grew = true;
    }
    if (Origin.Y > 0 && TileRect.Top > 0) {
        do {
            --TileRect.Top;
            Origin.Y -= TileSize;
        } while (TileRect.Top > 0 && Origin.Y > 0);
        grew = true;
    }
    auto rightShort = [&] {
        return TileRect.Width() * TileSize + Origin.X < ClientSize.Width && TileRect.Right < maxIndex;
    };
    if (rightShort()) {
        do ++TileRect.Right;
        while (rightShort());
        grew = true;
    }
    auto bottomShort = [&] {
        return TileRect.Height() * TileSize + Origin.Y < ClientSize.Height && TileRect.Bottom < maxIndex;
    };
    if (bottomShort()) {
        do ++TileRect.Bottom;
        while (bottomShort());
        grew = true;
    }
    return grew;
}

bool TMapViewState::TrimTileRect() {
    // Half a view of slack on each side: panning back a little never
    // rebuilds, and the mosaic stays about twice the view at most.
    const std::int64_t slackX = std::max(ClientSize.Width / 2, TileSize);
    const std::int64_t slackY = std::max(ClientSize.Height / 2, TileSize);
    bool trimmed = false;
    while (TileRect.Width() > 1 && Origin.X + TileSize <= -slackX) {
        ++TileRect.Left;
        Origin.X += TileSize;
        trimmed = true;
    }
    while (TileRect.Width() > 1 && Origin.X + (TileRect.Width() - 1) * TileSize >= ClientSize.Width + slackX) {
        --TileRect.Right;
        trimmed = true;
    }
    while (TileRect.Height() > 1 && Origin.Y + TileSize <= -slackY) {
        ++TileRect.Top;
        Origin.Y += TileSize;
        trimmed = true;
    }
    while (TileRect.Height() > 1 && Origin.Y + (TileRect.Height() - 1) * TileSize >= ClientSize.Height + slackY) {
        --TileRect.Bottom;
        trimmed = true;
    }
    return trimmed;
}

bool TMapViewState::Regrow() {
    const std::int32_t oldLeft = TileRect.Left;
    const std::int32_t oldTop = TileRect.Top;
    // Trimming only with growth: the mosaic is rebuilt then anyway.
    const bool grew = GrowTileRect();
    if (grew) TrimTileRect();
    // Columns added or dropped on the left shift every mosaic coordinate by
    // 256 each; the grabbed point must follow or the next step looks like a jump.
    DownPos.X += (oldLeft - TileRect.Left) * TileSize;
    DownPos.Y += (oldTop - TileRect.Top) * TileSize;
    return grew;
}

void TMapViewState::SetTileRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
    // The widening rule, then a cap: values come from files the user opens.
    auto span = [&](std::int32_t low, std::int32_t high) {
        std::int64_t s = std::int64_t(high) - low;
        if (s < TilesAcross) s = TilesAcross;
        s = std::min<std::int64_t>(s, std::max(MaxRectSpan, TilesAcross));
        return Clamp32(std::int64_t(low) + s);
    };
    left = ClampIndex(left, MapZoom);
    top = ClampIndex(top, MapZoom);
    TileRect = {left, top, span(left, right), span(top, bottom)};
}

TGlobalPixel TMapViewState::TileAt(TViewPoint q) const {
    return {q.X / TileSize + TileRect.Left, q.Y / TileSize + TileRect.Top};
}

bool TMapViewState::Resize(TViewSize size) {
    if (!Created || size == ViewSize) {
        ClientSize = size;
        return false;
    }
    Origin.X -= (ViewSize.Width - size.Width) / 2;
    Origin.Y -= (ViewSize.Height - size.Height) / 2;
    ClientSize = size;
    GrowTileRect();
    ViewSize = size;
    return true;
}

TPanResult TMapViewState::PanStep(TViewPoint q, bool leftOnly) {
    TPanResult r;
    r.Point = q;
    if (!leftOnly) return r;
    const std::int32_t dx = q.X - DownPos.X;
    const std::int32_t dy = q.Y - DownPos.Y;
    if (dx > PanLimit || dx < -PanLimit || dy > PanLimit || dy < -PanLimit) {
        r.Ignored = true;
        return r;
    }
    Origin.X += dx;
    Origin.Y += dy;
    r.Moved = dx != 0 || dy != 0;
    const std::int32_t oldLeft = TileRect.Left;
    const std::int32_t oldTop = TileRect.Top;
    r.Grew = Regrow();
    r.Point = {q.X + (oldLeft - TileRect.Left) * TileSize, q.Y + (oldTop - TileRect.Top) * TileSize};
    return r;
}

bool TMapViewState::MoveByTile(int dx, int dy) {
    Origin.X += dx * TileSize;
    Origin.Y += dy * TileSize;
    return Regrow();
}

namespace {

// The mosaic point under view point p; outside the mosaic, its middle.
TViewPoint ZoomPoint(TViewPoint p, TViewPoint mosaicPos, std::int32_t w, std::int32_t h) {
    TViewPoint q{p.X - mosaicPos.X, p.Y - mosaicPos.Y};
    if (q.X < 0 || q.X > w || q.Y < 0 || q.Y > h) q = {w / 2 - 1, h / 2 - 1};
    return q;
}

}  // namespace

TZoomResult TMapViewState::ZoomInAt(TViewPoint p, TViewPoint mosaicPos) {
    TZoomResult r{false, MapZoom, MapZoom};
    if (MapZoom >= MaxMapZoom) return r;
    const TViewPoint q = ZoomPoint(p, mosaicPos, MosaicWidth(), MosaicHeight());
    const TGlobalPixel t = TileAt(q);
    const std::int32_t mx = q.X % TileSize;
    const std::int32_t my = q.Y % TileSize;
    const std::int32_t cx = (t.X - TileRect.Left) * TileSize + Origin.X;
    const std::int32_t cy = (t.Y - TileRect.Top) * TileSize + Origin.Y;
    ++MapZoom;
    TileRect = {2 * t.X, 2 * t.Y, 2 * t.X + 1, 2 * t.Y + 1};
    Origin = {cx - mx, cy - my};
    GrowTileRect();
    r.Changed = true;
    r.NewZoom = MapZoom;
    return r;
}

TZoomResult TMapViewState::ZoomOutAt(TViewPoint p, TViewPoint mosaicPos) {
    TZoomResult r{false, MapZoom, MapZoom};
    if (MapZoom <= MinMapZoom) return r;
    const TViewPoint q = ZoomPoint(p, mosaicPos, MosaicWidth(), MosaicHeight());
    const TGlobalPixel t = TileAt(q);
    const std::int32_t mx = (TileRect.Left * TileSize + q.X) % 512;
    const std::int32_t my = (TileRect.Top * TileSize + q.Y) % 512;
    const std::int32_t cx = (t.X - t.X % 2 - TileRect.Left) * TileSize + Origin.X;
    const std::int32_t cy = (t.Y - t.Y % 2 - TileRect.Top) * TileSize + Origin.Y;
    --MapZoom;
    TileRect = {t.X / 2, t.Y / 2, t.X / 2, t.Y / 2};
    Origin = {cx + mx / 2, cy + my / 2};
    GrowTileRect();
    r.Changed = true;
    r.NewZoom = MapZoom;
    return r;
}

int TMapViewState::ZoomBy(int count) {
    int changed = 0;
    const TViewPoint centre = ViewCenter();
    for (int i = 0; i < count; ++i) changed += ZoomInAt(centre).Changed;
    for (int i = 0; i < -count; ++i) changed += ZoomOutAt(centre).Changed;
    return changed;
}

TGlobalPixel TMapViewState::GlobalPixel(TViewPoint q) const {
    return {Clamp32(std::int64_t(TileRect.Left) * TileSize + q.X), Clamp32(std::int64_t(TileRect.Top) * TileSize + q.Y)};
}

TLonLat TMapViewState::ReportPosition(TViewPoint q) {
    const TGlobalPixel g = GlobalPixel(q);
    const TLonLat at = PixelToLonLat(MapZoom, g.X, g.Y, Pair);
    const std::int32_t hw = ClientSize.Width / 2;
    const std::int32_t hh = ClientSize.Height / 2;
    const TLonLat left = PixelToLonLat(MapZoom, TileRect.Left * TileSize + 1, TileRect.Top * TileSize + 1, Pair);
    const TLonLat right = PixelToLonLat(MapZoom, TileRect.Right * TileSize + 255, TileRect.Bottom * TileSize + 255, Pair);
    const TLonLat centre = ClickPosition();
    Position.LeftLon = left.Lon;
    Position.LeftLat = left.Lat;
    Position.RightLon = right.Lon;
    Position.RightLat = right.Lat;
    Position.ImgCenterLon = centre.Lon;
    Position.ImgCenterLat = centre.Lat;
    Position.ImgWidth = MosaicWidth();
    Position.ImgHeight = MosaicHeight();
    Position.CenterX = hw - Origin.X;
    Position.CenterY = hh - Origin.Y;
    return at;
}

TLonLat TMapViewState::ClickPosition() const {
    const TViewPoint c = ViewCenter();
    const TGlobalPixel g = GlobalPixel({c.X - Origin.X, c.Y - Origin.Y});
    return PixelToLonLat(MapZoom, g.X, g.Y, Pair);
}
