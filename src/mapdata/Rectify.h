// Rectified writing: the road and terrain maps, which the service draws in
// the nationally shifted coordinates, written in true coordinates. Each output
// tile of the plan is resampled (bilinear) from the shifted tiles that cover
// its footprint; the sample positions come from the control grid of
// TShiftField. The plan downloads those shifted tiles instead of the output
// tiles, and the file carries a zero offset pair for these types.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "TileCache.h"

// Road and terrain maps: the types drawn shifted.
bool IsShiftedType(TMapType type);

// What a file says of it: a road or terrain map it holds with a zero offset
// pair was written in true coordinates (no calibration of the shifted tiles
// comes out exactly zero). The format keeps no other mark.
bool IsRectifiedInFile(const TMapDataHeader& header, TMapType type);

// The types a run writes rectified: the shifted types it includes, when it rectifies.
std::array<bool, MapTypeCount> RectifiedTypes(const TGenerationParams& params);

// The offset pairs of a run: with rectification the shifted types' pairs are
// zero, so the plan's squares of those types are the true-coordinate ones and
// a reader places their tiles without correction.
std::array<TDeltaPair, MapTypeCount> RunDeltas(const TGenerationParams& params,
                                               const std::array<TDeltaPair, MapTypeCount>& deltas);

// The shifted tiles that the output tiles of rect at zoom need: all tiles
// holding a pixel that bilinear sampling reads. The rectangle itself where
// the shift does not apply. Since a sample position grows with its pixel in
// each direction, the rect's edge tiles bound it; only a rect across the
// region's edge, where the shift jumps, is scanned tile by tile (a huge one
// gets a margin of the largest shift instead).
TTileRect SourceRect(int zoom, const TTileRect& rect);

// Tiles a run downloads, every included type: source rectangles for the
// rectified types, the plan's squares for the others.
std::int64_t PlannedDownloadCount(const TGenerationParams& params, TDeltaPair viewPair);

// How far in metres a rectified map may still put a point: the control
// grid's bound plus the rounding of the bilinear weights (1/512 px), in
// metres per pixel of the deepest zoom over the planned area. Nothing when
// no road or terrain map is included.
std::optional<double> RectifiedResidual(const TGenerationParams& params, TDeltaPair viewPair);

// The tile lists the file holds: the plan's lists, except that a rectified
// type holds its output squares (header.TileRects) rather than the shifted
// tiles downloaded for them.
std::array<std::vector<TMapTile>, MapTypeCount> OutputTileLists(const TGenerationPlan& plan,
                                                                const TMapDataHeader& header,
                                                                const std::array<bool, MapTypeCount>& rectified);

// Decoded shifted tiles, shared by the writer's encoder threads: the last
// Capacity used ones stay, so that neighbouring output tiles, which share
// sources, decode each source about once while memory stays bounded. A tile
// wanted by two threads at once is decoded once.
class TSourceTiles {
public:
    TSourceTiles(const TTileCache& cache, std::size_t capacity);
    const TTileCache& Cache() const { return TileCache; }
    // The n tiles ids into held. The caller first decodes those nobody has
    // asked for, then waits for those another thread is decoding: threads
    // on neighbouring tiles each decode their share side by side instead
    // of taking turns.
    void Get(const TTileId* ids, std::size_t n, std::shared_ptr<const TCachedTile>* held);

private:
    using TFuture = std::shared_future<std::shared_ptr<const TCachedTile>>;
    struct TSlot {
        TFuture Tile;
        std::uint64_t LastUse = 0;
    };
    const TTileCache& TileCache;
    std::size_t Capacity;
    std::mutex Lock;
    std::unordered_map<TTileId, TSlot> Slots;
    std::uint64_t Uses = 0;
};

// Decoded tiles the writer keeps at most: about two columns of a large
// plan's sources, so each is decoded once or twice. 640 tiles are some 125 MB.
inline constexpr std::size_t SourceTilesKept = 640;

// Decoded tiles the writer keeps for these lists (written column by column):
// three columns of sources of the longest rectified column, so that each
// source is decoded once, at most SourceTilesKept. A smaller window spares
// memory and the clearing of fresh pages.
std::size_t SourceWindow(const std::array<std::vector<TMapTile>, MapTypeCount>& lists,
                         const std::array<bool, MapTypeCount>& rectified);

// The output tile in true coordinates as JPEG at quality 90, or nothing (with
// the reason in why) when a source tile it needs cannot be had. A tile the
// shift does not reach is its own source and comes out as LoadTileJpeg makes
// it, digest included; a resampled tile's digest is that of its JPEG, so
// that identical placeholders still count as identical. Throws TMapDataError
// like LoadTileJpeg. For an empty image, source receives the shifted tile at
// fault: that is the one to fetch again.
std::optional<std::vector<std::uint8_t>> RectifiedTileJpeg(TSourceTiles& sources, const TTileId& tile,
                                                           TBlankReason* why = nullptr, TTileDigest* digest = nullptr,
                                                           TTileId* source = nullptr);
