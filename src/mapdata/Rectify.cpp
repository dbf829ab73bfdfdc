#include "Rectify.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

#include "ChinaShift.h"
#include "ShiftGrid.h"
#include "TileDigest.h"
#include "TileImage.h"

namespace {

// A pixel as four 16-bit channels (R, G, B, 0), so that one vector holds
// two pixels and one multiplication weighs every channel of both.
static_assert(std::endian::native == std::endian::little, "pixels are moved as little-endian words");
using TLanes = std::uint16_t __attribute__((vector_size(16)));
using TLaneBytes = std::uint8_t __attribute__((vector_size(8)));

// a (256 - w) + b w, rounded, for weights w of 0..255 in 1/256: written
// a 256 + (b - a) w + 128, whose 16-bit lanes wrap on the way but whose result fits.
inline TLanes Lerp(TLanes a, TLanes b, TLanes w) { return ((a << 8) + (b - a) * w + 128) >> 8; }

// Weights 0..255 for the lanes of one pixel.
struct TWeights {
    std::uint16_t Lanes[256][4]{};
    constexpr TWeights() {
        for (int w = 0; w < 256; ++w) std::fill_n(Lanes[w], 4, std::uint16_t(w));
    }
};
constexpr TWeights Weights;

// A position or step in pixels as 1/65536 px, rounded (no call into the maths library per span).
inline std::int32_t Fixed(double px) { return std::int32_t(std::int64_t(px * 65536.0 + 2147483648.5) - 2147483648); }

// The weights of two pixels' lanes for positions in 1/65536 px (fractions rounded to 1/256 px before).
inline TLanes PairWeights(std::int32_t f1, std::int32_t f2) {
    std::uint16_t w[8];
    std::memcpy(w, Weights.Lanes[f1 >> 8 & 255], 8);
    std::memcpy(w + 4, Weights.Lanes[f2 >> 8 & 255], 8);
    TLanes v;
    std::memcpy(&v, w, sizeof v);
    return v;
}

// The bilinear blends at two positions (fx1, fy1) and (fx2, fy2) in 1/65536
// px of a mosaic of such pixels, as six bytes R G B R G B in the low end.
// Each reads its pixel, the right and lower neighbours and the one
// diagonally below. The pair may be one position twice.
inline std::uint64_t SamplePair(const std::uint16_t* m, std::size_t stride, std::int32_t fx1, std::int32_t fy1,
                                std::int32_t fx2, std::int32_t fy2) {
    const std::uint16_t* p = m + std::size_t(fy1 >> 16) * stride + std::size_t(fx1 >> 16) * 4;
    const std::uint16_t* q = m + std::size_t(fy2 >> 16) * stride + std::size_t(fx2 >> 16) * 4;
    TLanes pu, pl, qu, ql;
    std::memcpy(&pu, p, sizeof pu);
    std::memcpy(&pl, p + stride, sizeof pl);
    std::memcpy(&qu, q, sizeof qu);
    std::memcpy(&ql, q + stride, sizeof ql);
    // Left and right pixels of the upper and lower rows, the first position's in the low half.
    const TLanes upperLeft = __builtin_shufflevector(pu, qu, 0, 1, 2, 3, 8, 9, 10, 11);
    const TLanes upperRight = __builtin_shufflevector(pu, qu, 4, 5, 6, 7, 12, 13, 14, 15);
    const TLanes lowerLeft = __builtin_shufflevector(pl, ql, 0, 1, 2, 3, 8, 9, 10, 11);
    const TLanes lowerRight = __builtin_shufflevector(pl, ql, 4, 5, 6, 7, 12, 13, 14, 15);
    const TLanes wx = PairWeights(fx1, fx2);
    const TLanes c = Lerp(Lerp(upperLeft, upperRight, wx), Lerp(lowerLeft, lowerRight, wx), PairWeights(fy1, fy2));
    // Every lane is at most 255 and the fourth of each pixel zero.
    const TLaneBytes bytes = __builtin_convertvector(c, TLaneBytes);
    std::uint64_t v;
    std::memcpy(&v, &bytes, sizeof v);
    return (v & 0xFFFFFFu) | (v >> 8 & 0xFFFFFF000000u);
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

bool IsShiftedType(TMapType type) { return type == TMapType::Road || type == TMapType::Terrain; }

bool IsRectifiedInFile(const TMapDataHeader& header, TMapType type) {
    if (!IsShiftedType(type) || !header.TypeIncluded[MapTypeIndex(type)]) return false;
    const TDeltaPair d = header.Deltas[MapTypeIndex(type)];
    return d.Lon == 0.0 && d.Lat == 0.0;
}

std::array<bool, MapTypeCount> RectifiedTypes(const TGenerationParams& params) {
    std::array<bool, MapTypeCount> r{};
    for (const TMapType type : AllMapTypes)
        r[MapTypeIndex(type)] = params.Rectify && IsShiftedType(type) && params.Included[MapTypeIndex(type)];
    return r;
}

std::array<TDeltaPair, MapTypeCount> RunDeltas(const TGenerationParams& params,
                                               const std::array<TDeltaPair, MapTypeCount>& deltas) {
    std::array<TDeltaPair, MapTypeCount> r = deltas;
    if (params.Rectify)
        for (const TMapType type : AllMapTypes)
            if (IsShiftedType(type)) r[MapTypeIndex(type)] = {};
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
    if (!params.Included[MapTypeIndex(TMapType::Road)] && !params.Included[MapTypeIndex(TMapType::Terrain)]) return std::nullopt;
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
    for (const TMapType type : AllMapTypes) {
        const std::size_t t = MapTypeIndex(type);
        auto& list = lists[t];
        if (!rectified[t]) {
            list = plan.List(type);
            continue;
        }
        for (int z = header.MinZoom; z <= header.MaxZoom && z < ZoomTableSize; ++z) {
            const TTileRect& r = header.TileRects[std::size_t(z)];
            if (r.Width() <= 0 || r.Height() <= 0) continue;
            list.reserve(list.size() + std::size_t(r.Count()));
            for (std::int64_t x = r.Left; x <= r.Right; ++x)
                for (std::int64_t y = r.Top; y <= r.Bottom; ++y)
                    list.push_back({{type, z, std::int32_t(x), std::int32_t(y)}, false});
        }
    }
    return lists;
}

std::size_t SourceWindow(const std::array<std::vector<TMapTile>, MapTypeCount>& lists,
                         const std::array<bool, MapTypeCount>& rectified) {
    std::size_t longest = 0;
    for (int t = 0; t < MapTypeCount; ++t) {
        if (!rectified[std::size_t(t)]) continue;
        std::size_t run = 0;
        const TMapTile* previous = nullptr;
        for (const TMapTile& tile : lists[std::size_t(t)]) {
            run = previous && previous->Zoom == tile.Zoom && previous->X == tile.X ? run + 1 : 1;
            longest = std::max(longest, run);
            previous = &tile;
        }
    }
    // A column's sources reach a tile or two beyond it; the encoder threads work a few tiles ahead.
    return std::min(SourceTilesKept, 3 * (longest + 4) + 32);
}

TSourceTiles::TSourceTiles(const TTileCache& cache, std::size_t capacity)
    : TileCache(cache), Capacity(std::max<std::size_t>(capacity, 16)) {}

void TSourceTiles::Get(const TTileId* ids, std::size_t n, std::shared_ptr<const TCachedTile>* held) {
    std::vector<TFuture> futures(n);
    std::vector<std::pair<std::size_t, std::promise<std::shared_ptr<const TCachedTile>>>> mine;
    {
        std::lock_guard lock(Lock);
        for (std::size_t i = 0; i < n; ++i) {
            if (auto it = Slots.find(ids[i]); it != Slots.end()) {
                it->second.LastUse = ++Uses;
                futures[i] = it->second.Tile;
                continue;
            }
            if (Slots.size() >= Capacity) {
                auto oldest = std::min_element(Slots.begin(), Slots.end(),
                                               [](const auto& a, const auto& b) { return a.second.LastUse < b.second.LastUse; });
                Slots.erase(oldest);  // whoever still waits on it holds its own future
            }
            mine.emplace_back(i, std::promise<std::shared_ptr<const TCachedTile>>());
            futures[i] = mine.back().second.get_future().share();
            Slots[ids[i]] = {futures[i], ++Uses};
        }
    }
    // Every promise taken is kept, value or error, before waiting on anyone else's.
    for (auto& [i, promise] : mine) {
        try {
            promise.set_value(std::make_shared<const TCachedTile>(TileCache.Load(ids[i])));
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }
    for (std::size_t i = 0; i < n; ++i) held[i] = futures[i].get();
}

namespace {

// The shifted pixels a rectified tile's samples read (global pixels, all
// bounds inclusive), the source tiles holding them, and the mosaic they are
// copied into.
struct TMosaic {
    std::int64_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    std::int64_t FirstColumn = 0, FirstRow = 0;  // of the source tiles
    int Columns = 0, Rows = 0;
    int Width = 0, Height = 0;
    // Pixels as four 16-bit channels, with a spare column and row of zeros
    // so that sampling reads the right and lower neighbour unchecked
    // (weighted zero at the edge).
    std::uint16_t* Pixels = nullptr;
    std::size_t Stride = 0;  // channels per row
};

TMosaic MosaicFor(const TShiftField& field, const TTileId& tile) {
    TMosaic m;
    const std::int64_t ox = std::int64_t(tile.X) * TileSize, oy = std::int64_t(tile.Y) * TileSize;
    m.Left = ox + std::int64_t(std::floor(field.MinX())), m.Top = oy + std::int64_t(std::floor(field.MinY()));
    m.Right = ox + std::int64_t(std::ceil(field.MaxX())), m.Bottom = oy + std::int64_t(std::ceil(field.MaxY()));
    m.FirstColumn = FloorDiv(m.Left, TileSize), m.FirstRow = FloorDiv(m.Top, TileSize);
    m.Columns = int(FloorDiv(m.Right, TileSize) - m.FirstColumn + 1);
    m.Rows = int(FloorDiv(m.Bottom, TileSize) - m.FirstRow + 1);
    // The shift changes by far less than a tile across one tile.
    if (m.Columns > 4 || m.Rows > 4)
        throw TMapDataError(OtherFault("rectifying " + TileKey(tile) + " would read too many tiles"));
    m.Width = int(m.Right - m.Left + 1), m.Height = int(m.Bottom - m.Top + 1);
    // Every pixel is overwritten by the sources; one buffer per encoder
    // thread saves a megabyte's allocation and clearing per tile.
    m.Stride = (std::size_t(m.Width) + 1) * 4;
    thread_local std::vector<std::uint16_t> buffer;
    buffer.resize(std::max(buffer.size(), m.Stride * (std::size_t(m.Height) + 1)));
    m.Pixels = buffer.data();
    for (int y = 0; y < m.Height; ++y) std::fill_n(m.Pixels + std::size_t(y) * m.Stride + std::size_t(m.Width) * 4, 4, 0);
    std::fill_n(m.Pixels + std::size_t(m.Height) * m.Stride, m.Stride, 0);
    return m;
}

// The part of the mosaic source tile id holds, widened from its picture.
void CopySource(const TBitmap& pic, const TTileId& id, const TMosaic& m) {
    const std::int64_t sx0 = std::max(m.Left, id.X * std::int64_t(TileSize));
    const std::int64_t sx1 = std::min(m.Right, id.X * std::int64_t(TileSize) + TileSize - 1);
    const std::int64_t sy0 = std::max(m.Top, id.Y * std::int64_t(TileSize));
    const std::int64_t sy1 = std::min(m.Bottom, id.Y * std::int64_t(TileSize) + TileSize - 1);
    for (std::int64_t y = sy0; y <= sy1; ++y) {
        const std::uint8_t* from = pic.Row(int(y - id.Y * std::int64_t(TileSize))) + (sx0 - id.X * std::int64_t(TileSize)) * 3;
        std::uint16_t* to = m.Pixels + std::size_t(y - m.Top) * m.Stride + std::size_t(sx0 - m.Left) * 4;
        // One store per pixel; the last is read bytewise, its word would run past the picture.
        for (std::int64_t x = sx0; x <= sx1; ++x, from += 3, to += 4) {
            std::uint32_t w;
            if (x < sx1) std::memcpy(&w, from, sizeof w);
            else w = std::uint32_t(from[0]) | std::uint32_t(from[1]) << 8 | std::uint32_t(from[2]) << 16;
            const std::uint64_t lanes = (w & 0xFFu) | (w & 0xFF00u) << 8 | std::uint64_t(w & 0xFF0000u) << 16;
            std::memcpy(to, &lanes, sizeof lanes);
        }
    }
}

// Fills the mosaic from the source tiles, or says why it cannot be filled;
// source receives the tile at fault.
std::optional<TBlankReason> FillMosaic(TSourceTiles& sources, const TTileId& tile, const TMosaic& m, TTileId* source) {
    TTileId ids[16];
    std::shared_ptr<const TCachedTile> held[16];
    for (int a = 0; a < m.Columns; ++a)
        for (int b = 0; b < m.Rows; ++b) {
            const TTileId id(tile.Type, tile.Zoom, std::int32_t(m.FirstColumn + a), std::int32_t(m.FirstRow + b));
            if (!TileInGrid(id.Zoom, id.X, id.Y)) {
                if (source) *source = id;
                return TBlankReason::OutsideGrid;
            }
            ids[a * m.Rows + b] = id;
        }
    sources.Get(ids, std::size_t(m.Columns * m.Rows), held);
    for (int i = 0; i < m.Columns * m.Rows; ++i) {
        if (source) *source = ids[i];
        const TCachedTile& cached = *held[i];
        if (const auto blank = BlankReasonOf(cached, sources.Cache(), ids[i])) return blank;
        if (cached.Picture.Width != TileSize || cached.Picture.Height != TileSize) return TBlankReason::Damaged;
        CopySource(cached.Picture, ids[i], m);
    }
    if (source) *source = tile;
    return std::nullopt;
}

// Samples the output tile from the mosaic along the control grid's spans.
void SampleTile(const TShiftField& field, const TTileId& tile, const TMosaic& m, TBitmap& out) {
    // Sample positions relative to the mosaic.
    const double mx0 = double(std::int64_t(tile.X) * TileSize - m.Left), my0 = double(std::int64_t(tile.Y) * TileSize - m.Top);
    // The largest positions read unchecked: the last column or row, its
    // neighbour in the spare one weighted zero. The window holds every
    // position, so only rounding dust lies beyond.
    const std::int32_t limitX = (std::int32_t(m.Width - 1) << 16) + 255, limitY = (std::int32_t(m.Height - 1) << 16) + 255;
    // Held in locals: the byte stores below may alias m, which would reload it per pixel.
    const std::uint16_t* const pixels = m.Pixels;
    const std::size_t stride = m.Stride;
    const int width = m.Width, height = m.Height;
    TSampleSpan spans[TileSize];
    for (int j = 0; j < TileSize; ++j) {
        const int n = field.Spans(j, spans);
        std::uint8_t* const dst = out.Row(j);
        for (int k = 0; k < n; ++k) {
            const TSampleSpan& s = spans[k];
            // The shift changes slowly, so a span's positions are stepped in
            // fixed point: 32 steps drift by well under 1/1000 px. Half of
            // 1/256 px is added once so that the weights come out rounded.
            std::int32_t fx = Fixed(mx0 + s.X) + 128, fy = Fixed(my0 + s.Y) + 128;
            const std::int32_t dx = Fixed(s.StepX), dy = Fixed(s.StepY);
            const std::int32_t last = s.End - s.Begin - 1;
            // Positions are linear along the span, so its ends bound it.
            const std::int64_t ex = std::int64_t(fx) + std::int64_t(dx) * last, ey = std::int64_t(fy) + std::int64_t(dy) * last;
            const bool inside = std::min<std::int64_t>(fx, ex) >= 0 && std::max<std::int64_t>(fx, ex) <= limitX &&
                                std::min<std::int64_t>(fy, ey) >= 0 && std::max<std::int64_t>(fy, ey) <= limitY;
            int i = s.Begin;
            if (inside) {
                // Two pixels at a time, stored as a word of eight bytes
                // whose last two the next pair overwrites; the row's last
                // pixels are stored bytewise below.
                for (const int end = std::min(s.End, TileSize - 2) - 1; i < end; i += 2, fx += 2 * dx, fy += 2 * dy) {
                    const std::uint64_t c = SamplePair(pixels, stride, fx, fy, fx + dx, fy + dy);
                    std::memcpy(dst + i * 3, &c, sizeof c);
                }
            }
            // Rounding dust at the window's edge, and the row's last pixel.
            for (; i < s.End; ++i, fx += dx, fy += dy) {
                const std::int32_t x = std::clamp(fx, 0, std::int32_t(width - 1) << 16);
                const std::int32_t y = std::clamp(fy, 0, std::int32_t(height - 1) << 16);
                const std::uint64_t c = SamplePair(pixels, stride, x, y, x, y);
                dst[i * 3] = std::uint8_t(c);
                dst[i * 3 + 1] = std::uint8_t(c >> 8);
                dst[i * 3 + 2] = std::uint8_t(c >> 16);
            }
        }
    }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> RectifiedTileJpeg(TSourceTiles& sources, const TTileId& tile,
                                                           TBlankReason* why, TTileDigest* digest, TTileId* source) {
    const TShiftField field(tile.Zoom, tile.X, tile.Y);
    if (field.IsZero()) return LoadTileJpeg(sources.Cache(), tile, why, digest);
    const TMosaic mosaic = MosaicFor(field, tile);
    if (const auto blank = FillMosaic(sources, tile, mosaic, source)) {
        if (why) *why = *blank;
        return std::nullopt;
    }
    thread_local TBitmap out;
    if (out.Width != TileSize || out.Height != TileSize) out = TBitmap(TileSize, TileSize);
    SampleTile(field, tile, mosaic, out);
    try {
        std::vector<std::uint8_t> jpeg = EncodeJpeg(out, 90);
        if (digest) *digest = TileDigest(jpeg);
        return jpeg;
    } catch (const TImageError& e) {
        throw TMapDataError(TFault(TFaultKind::CannotCompressTile, TileKey(tile), 0, e.what()));
    }
}
