#include "GenerationPlan.h"

#include <stdexcept>

#include "Rectify.h"
#include <optional>
#include <tuple>

TTileRect GetZoomRect(const TGenerationParams& params, int zoom, int level, TDeltaPair pair) {
    const TGlobalPixel p = LonLatToPixel(zoom, params.CenterLon, params.CenterLat, pair);
    // Pixels saturate at +-2^30, so the tile indices and the half-width stay
    // far inside int32 for every level a plan can reach.
    const std::int32_t tx = p.X / TileSize;
    const std::int32_t ty = p.Y / TileSize;
    const std::int32_t e = std::int32_t((LevelSide(level) - 1) / 2);
    return {tx - e, ty - e, tx + e, ty + e};
}

std::int64_t LevelSide(int level) {
    if (level < 1) level = 1;
    if (level > 20) level = 20;  // zooms stop at 17; keeps the shift defined
    return (std::int64_t(1) << (level + 2)) - 3;
}

std::string MapSizeText(const TTileRect& rect) {
    return std::to_string(rect.Width() * TileSize) + " x " + std::to_string(rect.Height() * TileSize);
}

TPlanFigures PlanFigures(const TGenerationParams& params, TDeltaPair pair) {
    TPlanFigures f;
    const int cur = params.CurrentZoom;
    const int max = params.MaxZoom;
    f.LevelCount = max - cur + 1;
    const TTileRect first = GetZoomRect(params, cur, 1, pair);
    const TTileRect last = GetZoomRect(params, max, max - cur + 1, pair);
    f.MapSize = MapSizeText(first);
    f.MaxMapSize = MapSizeText(last);
    // Level 1, then the last level, then those between: the order the dialog
    // has always summed in.
    f.TotalTiles = first.Count();
    if (max > cur) {
        f.TotalTiles += last.Count();
        for (int z = cur + 1; z < max; ++z) f.TotalTiles += GetZoomRect(params, z, z - cur + 1, pair).Count();
    }
    return f;
}

TMapDataHeader SnapshotHeader(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas) {
    TMapDataHeader h;
    h.MinZoom = params.CurrentZoom;
    h.MaxZoom = params.MaxZoom;
    for (int i = 0; i < MapTypeCount; ++i) h.TypeIncluded[i] = params.Included[i] ? 1 : 0;
    h.CenterLon = params.CenterLon;
    h.CenterLat = params.CenterLat;
    h.Deltas = RunDeltas(params, deltas);
    return h;
}

std::int64_t PlannedEntryCount(const TGenerationParams& params) {
    std::int64_t perType = 0;
    for (int z = params.CurrentZoom; z <= params.MaxZoom; ++z) {
        const std::int64_t side = LevelSide(z - params.CurrentZoom + 1);
        perType += side * side;
    }
    int types = 0;
    for (bool b : params.Included) types += b ? 1 : 0;
    return perType * types;
}

bool PlanFitsMapDataFile(std::int64_t entryCount) {
    if (entryCount < 0) return false;
    // Divide first: the product could overflow for absurd counts.
    return entryCount <= (MapDataMaxFileSize - MapDataIndexStart) / MapDataEntrySize;
}

int ProgressPercent(std::int64_t remaining, std::int64_t total) {
    if (total <= 0 || remaining <= 0) return 100;
    if (remaining >= total) return 0;
    // remaining < total <= int64 range / 100 for every real plan; guard anyway.
    if (remaining > INT64_MAX / 100) return int(100 - remaining / (total / 100));
    return int(100 - remaining * 100 / total);
}

void TGenerationPlan::AddZoomTiles(std::int32_t zoom, const TTileRect& rect) {
    for (const TMapType type : AllMapTypes)
        if (Included[MapTypeIndex(type)]) AddTypeTiles(type, zoom, rect);
}

void TGenerationPlan::AddTypeTiles(TMapType type, std::int32_t zoom, const TTileRect& rect) {
    const std::size_t t = MapTypeIndex(type);
    if (rect.Width() <= 0 || rect.Height() <= 0) return;
    TTileList& list = Lists[t];
    const std::size_t start = list.size();
    list.reserve(start + std::size_t(rect.Count()));
    for (std::int64_t x = rect.Left; x <= rect.Right; ++x)
        for (std::int64_t y = rect.Top; y <= rect.Bottom; ++y)
            list.push_back({{type, zoom, std::int32_t(x), std::int32_t(y)}, false});
    Segments[t].push_back({zoom, rect, start});
}

TMapTile* TGenerationPlan::FirstPending(const TTileId& tile) {
    const std::size_t t = MapTypeIndex(tile.Type);
    const auto [zoom, x, y] = std::tuple(tile.Zoom, tile.X, tile.Y);
    TTileList& list = Lists[t];
    // The list is the segments back to back, and within a segment each
    // address occurs once, so the first segment holding a not-done entry for
    // the address has the first such entry of the whole list.
    for (const TZoomSegment& s : Segments[t]) {
        if (s.Zoom != zoom || x < s.Rect.Left || x > s.Rect.Right || y < s.Rect.Top || y > s.Rect.Bottom) continue;
        const std::size_t i =
            s.Start + std::size_t((std::int64_t(x) - s.Rect.Left) * s.Rect.Height() + (std::int64_t(y) - s.Rect.Top));
        if (!list[i].Done) return &list[i];
    }
    return nullptr;
}

bool TGenerationPlan::MarkTileDone(const TTileId& tile) {
    TMapTile* entry = FirstPending(tile);
    if (!entry) return false;
    entry->Done = true;
    ++DoneCount;
    return true;
}

bool TGenerationPlan::IsTilePending(const TTileId& tile) const {
    return const_cast<TGenerationPlan*>(this)->FirstPending(tile) != nullptr;
}

int TGenerationPlan::MarkTilePending(const TTileId& tile) {
    const std::size_t t = MapTypeIndex(tile.Type);
    int n = 0;
    for (TMapTile& entry : Lists[t]) {
        if (!entry.Done || entry.Id() != tile) continue;
        entry.Done = false;
        --DoneCount;
        ++n;
    }
    return n;
}

bool TGenerationPlan::SetDone(TMapType type, std::size_t index) {
    TTileList& list = Lists[MapTypeIndex(type)];
    if (index >= list.size()) return false;
    TMapTile& tile = list[index];
    if (tile.Done) return false;
    tile.Done = true;
    ++DoneCount;
    return true;
}

std::int64_t TGenerationPlan::TotalCount() const {
    std::int64_t n = 0;
    for (const TTileList& l : Lists) n += std::int64_t(l.size());
    return n;
}

void TGenerationPlan::FreeListItems() {
    for (const TMapType type : AllMapTypes) FreeListItems(type);
}

void TGenerationPlan::FreeListItems(TMapType type) {
    const std::size_t t = MapTypeIndex(type);
    for (const TMapTile& tile : Lists[t]) DoneCount -= tile.Done ? 1 : 0;
    ::FreeListItems(&Lists[t]);
    ::FreeListItems(&Segments[t]);
}

void TGenerationPlan::Build(const TGenerationParams& params, TDeltaPair pair, TMapDataHeader& header) {
    const int cur = params.CurrentZoom;
    const int max = params.MaxZoom;
    if (cur < 0 || max >= ZoomTableSize || max < cur)
        throw std::invalid_argument("zoom range " + std::to_string(cur) + ".." + std::to_string(max) +
                                    " is not a valid plan");
    const std::int64_t count = PlannedEntryCount(params);
    if (!PlanFitsMapDataFile(count))
        throw std::length_error(std::to_string(count) + " tiles do not fit a map data file");

    FreeListItems();
    header.TileRects = {};
    SetIncluded(params.Included);
    const auto rectified = RectifiedTypes(params);
    try {
        for (int z = cur; z <= max; ++z) {
            const TTileRect rect = GetZoomRect(params, z, z - cur + 1, pair);
            header.TileRects[z] = rect;
            std::optional<TTileRect> source;
            for (const TMapType type : AllMapTypes) {
                const std::size_t t = MapTypeIndex(type);
                if (!params.Included[t]) continue;
                if (rectified[t] && !source) source = SourceRect(z, rect);
                AddTypeTiles(type, z, rectified[t] ? *source : rect);
            }
        }
    } catch (...) {
        FreeListItems();  // out of memory half way: leave no partial plan behind
        throw;
    }
    header.EntryCount = std::int32_t(count);
}
