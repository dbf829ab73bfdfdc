#include "PlanEstimates.h"

#include <algorithm>
#include <cstdio>

#include "ChinaShift.h"
#include "NumberFormat.h"

std::optional<double> CalibrationResidual(const TGenerationParams& params, TDeltaPair viewPair,
                                          const std::array<TDeltaPair, MapTypeCount>& deltas) {
    const int maxZoom = params.MaxZoom;
    const TTileRect rect = GetZoomRect(params, maxZoom, maxZoom - params.CurrentZoom + 1, viewPair);
    // Pixel corners of the area, kept on the projection so latitudes stay finite.
    const std::int64_t limit = std::int64_t(TileCount(maxZoom)) * TileSize;
    auto clampPixel = [limit](std::int64_t v) { return std::int32_t(std::clamp<std::int64_t>(v, 0, limit)); };
    const std::int32_t x0 = clampPixel(std::int64_t(rect.Left) * TileSize);
    const std::int32_t y0 = clampPixel(std::int64_t(rect.Top) * TileSize);
    const std::int32_t x1 = clampPixel((std::int64_t(rect.Right) + 1) * TileSize);
    const std::int32_t y1 = clampPixel((std::int64_t(rect.Bottom) + 1) * TileSize);

    std::optional<double> worst;
    for (int t : {0, 1}) {  // road and terrain maps
        if (!params.Included[t]) continue;
        const TLonLat nw = PixelToLonLat(maxZoom, x0, y0, deltas[t]);
        const TLonLat se = PixelToLonLat(maxZoom, x1, y1, deltas[t]);
        const double e = MaxShiftError(deltas[t], nw.Lon, se.Lat, se.Lon, nw.Lat);
        worst = std::max(worst.value_or(0.0), e);
    }
    return worst;
}

namespace {

// Mean re-encoded size of up to SizeSampleMax cached tiles of one type,
// taken from a 7 x 7 block around the centre of each zoom's rectangle.
std::pair<std::int64_t, int> SampleCachedTiles(const TGenerationParams& params, TDeltaPair viewPair, TMapType type,
                                               const TTileCache& cache) {
    std::int64_t sum = 0;
    int count = 0;
    for (int z = params.MaxZoom; z >= params.CurrentZoom && count < SizeSampleMax; --z) {
        const TTileRect r = GetZoomRect(params, z, z - params.CurrentZoom + 1, viewPair);
        const std::int32_t cx = r.Left + (r.Right - r.Left) / 2, cy = r.Top + (r.Bottom - r.Top) / 2;
        for (std::int32_t dx = -3; dx <= 3 && count < SizeSampleMax; ++dx)
            for (std::int32_t dy = -3; dy <= 3 && count < SizeSampleMax; ++dy) {
                const std::int32_t x = cx + dx, y = cy + dy;
                if (x < r.Left || x > r.Right || y < r.Top || y > r.Bottom || !TileInGrid(z, x, y)) continue;
                try {
                    if (const auto jpeg = LoadTileJpeg(cache, {type, z, x, y})) {
                        sum += std::int64_t(jpeg->size());
                        ++count;
                    }
                } catch (const TMapDataError&) {
                    // An unreadable cache entry is no sample; the writer reports it later.
                }
            }
    }
    return {count > 0 ? sum / count : 0, count};
}

}  // namespace

TSizeEstimate EstimateMapDataSize(const TGenerationParams& params, TDeltaPair viewPair, const TTileCache& cache) {
    TSizeEstimate e;
    e.Entries = PlannedEntryCount(params);
    int types = 0;
    for (bool b : params.Included) types += b ? 1 : 0;
    const std::int64_t perType = types > 0 ? e.Entries / types : 0;
    e.Bytes = e.MinimumBytes = MapDataIndexStart + MapDataEntrySize * e.Entries;
    for (const TMapType type : AllMapTypes) {
        const std::size_t t = MapTypeIndex(type);
        if (!params.Included[t]) continue;
        const auto [mean, samples] = SampleCachedTiles(params, viewPair, type, cache);
        e.Samples[t] = samples;
        e.TileBytes[t] = samples >= SizeSampleMin ? mean : FallbackTileBytes[t];
        e.Bytes += perType * e.TileBytes[t];
        e.MinimumBytes += perType * SmallestTileBytes;
    }
    return e;
}

std::string FormatByteSize(std::int64_t bytes) {
    // FormatFixed: a point in every locale, like every number the program shows.
    const double b = double(bytes);
    if (bytes < (1 << 20)) return std::to_string((bytes + 1023) / 1024) + " KB";
    if (bytes < (std::int64_t(1) << 30)) return FormatFixed(b / (1 << 20), 1) + " MB";
    return FormatFixed(b / double(std::int64_t(1) << 30), 2) + " GB";
}

TCacheCounts CountCacheState(const TGenerationParams& params, TDeltaPair viewPair, const TTileCache& cache) {
    TGenerationPlan plan;
    TMapDataHeader header = SnapshotHeader(params, {});
    plan.Build(params, viewPair, header);
    TCacheCounts counts;
    for (const auto& list : plan.AllLists())
        for (const auto& entry : list) {
            const TTileId tile = entry.Id();
            // Beyond the grid there is nothing to ask for.
            if (!TileInGrid(tile.Zoom, tile.X, tile.Y)) continue;
            const TTileFreshness f = cache.Freshness(tile);
            counts.Missing += f == TTileFreshness::Missing;
            counts.Expired += f == TTileFreshness::Expired;
        }
    return counts;
}
