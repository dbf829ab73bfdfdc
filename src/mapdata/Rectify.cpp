#include "Rectify.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "ChinaShift.h"
#include "ShiftGrid.h"
#include "TileDigest.h"
#include "TileImage.h"

namespace {

// The RGB pixel at p as R | G << 8 | B << 16 (one unaligned little-endian load).
inline std::uint32_t Word(const std::uint8_t* p) {
    static_assert(std::endian::native == std::endian::little, "the channel masks assume little-endian words");
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Beyond this many tiles a rect across the region's edge is not scanned.
constexpr std::int64_t ScanLimit = 65536;
// More than the shift ever reaches (about 0.012 degrees at 56 degrees north).
constexpr double MaxShiftDegrees = 0.02;

// The longitude/latitude box of a tile rectangle, its pixels kept on the projection.
struct TBox {
    double West, South, East, North;
};
TBox BoxOf(int zoom, const TTileRect& rect) {
    const std::int64_t limit = std::int64_t(TileCount(zoom)) * TileSize;
    auto clampPixel = [limit](std::int64_t v) { return std::int32_t(std::clamp<std::int64_t>(v, 0, limit)); };
    const TLonLat nw = PixelToLonLat(zoom, clampPixel(std::int64_t(rect.Left) * TileSize),
                                     clampPixel(std::int64_t(rect.Top) * TileSize), {});
    const TLonLat se = PixelToLonLat(zoom, clampPixel((std::int64_t(rect.Right) + 1) * TileSize),
                                     clampPixel((std::int64_t(rect.Bottom) + 1) * TileSize), {});
    return {nw.Lon, se.Lat, se.Lon, nw.Lat};
}

}  // namespace

bool IsShiftedType(int type) { return type == 0 || type == 1; }

bool IsRectifiedInFile(const TMapDataHeader& header, int type) {
    if (!IsShiftedType(type) || !header.TypeIncluded[std::size_t(type)]) return false;
    const TDeltaPair d = header.Deltas[std::size_t(type)];
    return d.Lon == 0.0 && d.Lat == 0.0;
}

std::array<bool, MapTypeCount> RectifiedTypes(const TGenerationParams& params) {
    std::array<bool, MapTypeCount> r{};
    for (int t = 0; t < MapTypeCount; ++t) r[std::size_t(t)] = params.Rectify && IsShiftedType(t) && params.Included[std::size_t(t)];
    return r;
}

std::array<TDeltaPair, MapTypeCount> RunDeltas(const TGenerationParams& params,
                                               const std::array<TDeltaPair, MapTypeCount>& deltas) {
    std::array<TDeltaPair, MapTypeCount> r = deltas;
    if (params.Rectify)
        for (int t = 0; t < MapTypeCount; ++t)
            if (IsShiftedType(t)) r[std::size_t(t)] = {};
    return r;
}

TTileRect SourceRect(int zoom, const TTileRect& rect) {
    if (rect.Width() <= 0 || rect.Height() <= 0) return rect;
    const TBox box = BoxOf(zoom, rect);
    const bool touches = box.West <= 137.8347 && box.East >= 72.004 && box.South <= 55.8271 && box.North >= 0.8293;
    if (!touches) return rect;
    const bool across = !(InShiftedRegion(box.West, box.South) && InShiftedRegion(box.East, box.North));

    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    auto add = [&](std::int32_t x, std::int32_t y) {
        const TShiftField f(zoom, x, y);
        minX = std::min(minX, double(x) * TileSize + f.MinX());
        minY = std::min(minY, double(y) * TileSize + f.MinY());
        maxX = std::max(maxX, double(x) * TileSize + f.MaxX());
        maxY = std::max(maxY, double(y) * TileSize + f.MaxY());
    };
    if (across && rect.Count() > ScanLimit) {
        const double w = double(TileCount(zoom)) * TileSize;
        // Mercator stretches latitude by at most 1 / cos(56 degrees) inside the region.
        const std::int64_t pad = std::int64_t(std::ceil(MaxShiftDegrees / 360.0 * w / 0.55 / TileSize)) + 1;
        return {std::int32_t(rect.Left - pad), std::int32_t(rect.Top - pad), std::int32_t(rect.Right + pad),
                std::int32_t(rect.Bottom + pad)};
    }
    if (across) {
        for (std::int64_t x = rect.Left; x <= rect.Right; ++x)
            for (std::int64_t y = rect.Top; y <= rect.Bottom; ++y) add(std::int32_t(x), std::int32_t(y));
    } else {
        for (std::int64_t x = rect.Left; x <= rect.Right; ++x) {
            add(std::int32_t(x), rect.Top);
            add(std::int32_t(x), rect.Bottom);
        }
        for (std::int64_t y = rect.Top + 1; y < rect.Bottom; ++y) {
            add(rect.Left, std::int32_t(y));
            add(rect.Right, std::int32_t(y));
        }
    }
    // Sampling reads the pixel at floor(s) and, unless s is whole, the next one.
    return {std::int32_t(FloorDiv(std::int64_t(std::floor(minX)), TileSize)),
            std::int32_t(FloorDiv(std::int64_t(std::floor(minY)), TileSize)),
            std::int32_t(FloorDiv(std::int64_t(std::ceil(maxX)), TileSize)),
            std::int32_t(FloorDiv(std::int64_t(std::ceil(maxY)), TileSize))};
}

std::int64_t PlannedDownloadCount(const TGenerationParams& params, TDeltaPair viewPair) {
    const auto rectified = RectifiedTypes(params);
    std::int64_t n = 0;
    for (int z = params.CurrentZoom; z <= params.MaxZoom; ++z) {
        const TTileRect rect = GetZoomRect(params, z, z - params.CurrentZoom + 1, viewPair);
        std::optional<TTileRect> source;
        for (int t = 0; t < MapTypeCount; ++t) {
            if (!params.Included[std::size_t(t)]) continue;
            if (!rectified[std::size_t(t)]) {
                n += rect.Count();
                continue;
            }
            if (!source) source = SourceRect(z, rect);
            n += source->Count();
        }
    }
    return n;
}

std::optional<double> RectifiedResidual(const TGenerationParams& params, TDeltaPair viewPair) {
    if (!params.Included[0] && !params.Included[1]) return std::nullopt;
    const int z = params.MaxZoom;
    const TBox box = BoxOf(z, GetZoomRect(params, z, z - params.CurrentZoom + 1, viewPair));
    // A pixel is widest on the ground nearest the equator.
    const double lat = box.South <= 0 && box.North >= 0 ? 0.0 : std::min(std::fabs(box.South), std::fabs(box.North));
    const double metresPerPixel =
        2 * std::numbers::pi * 6371000.0 * std::cos(lat * std::numbers::pi / 180) / (double(TileCount(z)) * TileSize);
    return (ShiftGridBoundPx(z) + 1.0 / 512) * metresPerPixel;
}

std::array<std::vector<TMapTile>, MapTypeCount> OutputTileLists(const TGenerationPlan& plan,
                                                                const TMapDataHeader& header,
                                                                const std::array<bool, MapTypeCount>& rectified) {
    std::array<std::vector<TMapTile>, MapTypeCount> lists;
    for (int t = 0; t < MapTypeCount; ++t) {
        auto& list = lists[std::size_t(t)];
        if (!rectified[std::size_t(t)]) {
            list = plan.List(t);
            continue;
        }
        for (int z = header.MinZoom; z <= header.MaxZoom && z < ZoomTableSize; ++z) {
            const TTileRect& r = header.TileRects[std::size_t(z)];
            if (r.Width() <= 0 || r.Height() <= 0) continue;
            list.reserve(list.size() + std::size_t(r.Count()));
            for (std::int64_t x = r.Left; x <= r.Right; ++x)
                for (std::int64_t y = r.Top; y <= r.Bottom; ++y)
                    list.push_back({{MapTypes[std::size_t(t)].Code, z, std::int32_t(x), std::int32_t(y)}, false});
        }
    }
    return lists;
}

TSourceTiles::TSourceTiles(const TTileCache& cache, std::size_t capacity)
    : TileCache(cache), Capacity(std::max<std::size_t>(capacity, 16)) {}

std::shared_ptr<const TCachedTile> TSourceTiles::Get(const TTileId& tile) {
    std::promise<std::shared_ptr<const TCachedTile>> promise;
    TFuture mine;
    {
        std::unique_lock lock(Lock);
        if (auto it = Slots.find(tile); it != Slots.end()) {
            it->second.LastUse = ++Uses;
            TFuture f = it->second.Tile;
            lock.unlock();
            return f.get();
        }
        if (Slots.size() >= Capacity) {
            auto oldest = std::min_element(Slots.begin(), Slots.end(),
                                           [](const auto& a, const auto& b) { return a.second.LastUse < b.second.LastUse; });
            Slots.erase(oldest);  // whoever still waits on it holds its own future
        }
        mine = promise.get_future().share();
        Slots[tile] = {mine, ++Uses};
    }
    try {
        promise.set_value(std::make_shared<const TCachedTile>(TileCache.Load(tile)));
    } catch (...) {
        promise.set_exception(std::current_exception());
    }
    return mine.get();
}

std::optional<std::vector<std::uint8_t>> RectifiedTileJpeg(TSourceTiles& sources, const TTileId& tile,
                                                           TBlankReason* why, TTileDigest* digest, TTileId* source) {
    const TShiftField field(tile.Zoom, tile.X, tile.Y);
    if (field.IsZero()) return LoadTileJpeg(sources.Cache(), tile, why, digest);
    auto blank = [why](TBlankReason reason) -> std::optional<std::vector<std::uint8_t>> {
        if (why) *why = reason;
        return std::nullopt;
    };

    // The window of shifted pixels the samples read, in global pixels, and the tiles holding it.
    const std::int64_t ox = std::int64_t(tile.X) * TileSize, oy = std::int64_t(tile.Y) * TileSize;
    const std::int64_t left = ox + std::int64_t(std::floor(field.MinX())), top = oy + std::int64_t(std::floor(field.MinY()));
    const std::int64_t right = ox + std::int64_t(std::ceil(field.MaxX())), bottom = oy + std::int64_t(std::ceil(field.MaxY()));
    const std::int64_t tx0 = FloorDiv(left, TileSize), ty0 = FloorDiv(top, TileSize);
    const std::int64_t tx1 = FloorDiv(right, TileSize), ty1 = FloorDiv(bottom, TileSize);
    const int nx = int(tx1 - tx0 + 1), ny = int(ty1 - ty0 + 1);
    // The shift changes by far less than a tile across one tile.
    if (nx > 4 || ny > 4) throw TMapDataError(OtherFault("rectifying " + TileKey(tile) + " would read too many tiles"));

    const int mw = int(right - left + 1), mh = int(bottom - top + 1);
    // Every word is overwritten below; one buffer per encoder thread saves a
    // megabyte's allocation and clearing per tile.
    // RGB bytes, one spare at the end: each pixel is read as a 32-bit word.
    thread_local std::vector<std::uint8_t> mosaic;
    mosaic.resize(std::max(mosaic.size(), std::size_t(mw) * std::size_t(mh) * 3 + 1));
    for (int a = 0; a < nx; ++a)
        for (int b = 0; b < ny; ++b) {
            const TTileId id(tile.TypeCode, tile.Zoom, std::int32_t(tx0 + a), std::int32_t(ty0 + b));
            if (source) *source = id;
            if (!TileInGrid(id.Zoom, id.X, id.Y)) return blank(TBlankReason::OutsideGrid);
            const auto held = sources.Get(id);
            const TCachedTile& cached = *held;
            switch (cached.State) {
                case TTileState::Missing: return blank(TBlankReason::Missing);
                case TTileState::Unreadable: {
                    TFault fault(TFaultKind::CannotReadTile, sources.Cache().Path(id), cached.Error.Errno, cached.Error.Text);
                    fault.NotRegular = cached.Error.NotRegular;
                    throw TMapDataError(fault);
                }
                case TTileState::Unrecognised: return blank(TBlankReason::Unrecognised);
                case TTileState::Undecodable:
                    return blank(cached.TypeName == "GIF" ? TBlankReason::Gif : TBlankReason::Damaged);
                case TTileState::Decoded: break;
            }
            const TBitmap& pic = cached.Picture;
            if (pic.Width != TileSize || pic.Height != TileSize) return blank(TBlankReason::Damaged);
            // The part of the window this tile holds.
            const std::int64_t sx0 = std::max(left, id.X * std::int64_t(TileSize));
            const std::int64_t sx1 = std::min(right, id.X * std::int64_t(TileSize) + TileSize - 1);
            const std::int64_t sy0 = std::max(top, id.Y * std::int64_t(TileSize));
            const std::int64_t sy1 = std::min(bottom, id.Y * std::int64_t(TileSize) + TileSize - 1);
            for (std::int64_t y = sy0; y <= sy1; ++y)
                std::memcpy(&mosaic[(std::size_t(y - top) * std::size_t(mw) + std::size_t(sx0 - left)) * 3],
                            pic.Row(int(y - id.Y * std::int64_t(TileSize))) + (sx0 - id.X * std::int64_t(TileSize)) * 3,
                            std::size_t(sx1 - sx0 + 1) * 3);
        }

    if (source) *source = tile;
    // Blends two pixels' words (R | G << 8 | B << 16, the fourth byte
    // masked off) with weights 256 - w and w, rounded: red and blue share one
    // multiplication, green takes another.
    auto blend = [](std::uint32_t p, std::uint32_t q, std::uint32_t w) {
        const std::uint32_t v = 256 - w;
        const std::uint32_t rb = ((p & 0xFF00FFu) * v + (q & 0xFF00FFu) * w + 0x800080u) >> 8 & 0xFF00FFu;
        const std::uint32_t g = ((p & 0x00FF00u) * v + (q & 0x00FF00u) * w + 0x008000u) >> 8 & 0x00FF00u;
        return rb | g;
    };
    // Sample positions relative to the mosaic, in 1/256 px.
    const double mx0 = double(ox - left), my0 = double(oy - top);
    const int maxX = mw - 1, maxY = mh - 1;
    TBitmap out(TileSize, TileSize);
    // Held in locals: the byte stores below could alias any pointer the
    // compiler would otherwise reload on every pixel.
    const std::uint8_t* const m = mosaic.data();
    const std::size_t stride = std::size_t(mw) * 3;
    double sx[TileSize], sy[TileSize];
    for (int j = 0; j < TileSize; ++j) {
        field.Row(j, sx, sy);
        std::uint8_t* const dst = out.Row(j);
        for (int i = 0; i < TileSize; ++i) {
            // Rounded to 1/256 px; the mosaic starts at or before every
            // position, so none is negative but for rounding dust.
            const int fx = std::max(0, int((mx0 + sx[i]) * 256 + 0.5));
            const int fy = std::max(0, int((my0 + sy[i]) * 256 + 0.5));
            const int x0 = std::min(fx >> 8, maxX), y0 = std::min(fy >> 8, maxY);
            const std::uint32_t wx = std::uint32_t(fx & 255), wy = std::uint32_t(fy & 255);
            const int x1 = wx ? std::min(x0 + 1, maxX) : x0, y1 = wy ? std::min(y0 + 1, maxY) : y0;
            const std::uint8_t* r0 = m + std::size_t(y0) * stride;
            const std::uint8_t* r1 = m + std::size_t(y1) * stride;
            const std::uint32_t c = blend(blend(Word(r0 + x0 * 3), Word(r0 + x1 * 3), wx),
                                          blend(Word(r1 + x0 * 3), Word(r1 + x1 * 3), wx), wy);
            dst[i * 3] = std::uint8_t(c);
            dst[i * 3 + 1] = std::uint8_t(c >> 8);
            dst[i * 3 + 2] = std::uint8_t(c >> 16);
        }
    }
    try {
        std::vector<std::uint8_t> jpeg = EncodeJpeg(out, 90);
        if (digest) *digest = TileDigest(jpeg);
        return jpeg;
    } catch (const TImageError& e) {
        throw TMapDataError(TFault(TFaultKind::CannotCompressTile, TileKey(tile), 0, e.what()));
    }
}
