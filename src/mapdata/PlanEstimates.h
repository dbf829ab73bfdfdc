// Figures a user wants before a long run: how far the constant calibration
// pairs of the road and terrain maps are off over the planned area, and how
// large the map data file will be. Plain C++, shared by the window and the CLI.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "GenerationPlan.h"

// Largest distance in metres between the pair of each included road or
// terrain map and the true shift, over the area of the maximum zoom's
// rectangle (projected with viewPair, as the plan is). Each type's area is
// that rectangle read back with its own pair; MaxShiftError samples it.
// Nothing when neither type is included (satellite imagery is not shifted so).
std::optional<double> CalibrationResidual(const TGenerationParams& params, TDeltaPair viewPair,
                                          const std::array<TDeltaPair, MapTypeCount>& deltas);

// Mean JPEG sizes per tile, used when the cache holds too few tiles of a type
// near the centre to measure: the means of the local tile server's pictures
// (flat colour, a border and a line of text) over zoom 10..12 around the
// default centre. Real tiles differ; the cache measurement replaces these as
// soon as a few tiles of the area have been seen.
inline constexpr std::array<std::int64_t, MapTypeCount> FallbackTileBytes{8700, 7800, 9000, 10400};
// The smallest tile image that can land in a file: a blank 256x256 picture at
// quality 90 comes to 1649..1651 bytes with its headers and tables.
inline constexpr std::int64_t SmallestTileBytes = 1600;
// Cached tiles re-encoded per type to measure the mean, and the fewest that count.
inline constexpr int SizeSampleMax = 30;
inline constexpr int SizeSampleMin = 8;

struct TSizeEstimate {
    std::int64_t Entries = 0;
    std::int64_t Bytes = 0;         // the expected file size
    std::int64_t MinimumBytes = 0;  // with every tile at SmallestTileBytes
    std::array<std::int64_t, MapTypeCount> TileBytes{};  // mean per tile used, 0 for types not included
    std::array<int, MapTypeCount> Samples{};             // cached tiles measured; below SizeSampleMin the fallback is used
};

// The file size of the plan: signature, header and index, plus per included
// type its tile count times its mean tile size. The mean comes from up to
// SizeSampleMax cached tiles of the type nearest the centre (maximum zoom
// first, where most tiles are), re-encoded exactly as the writer would.
TSizeEstimate EstimateMapDataSize(const TGenerationParams& params, TDeltaPair viewPair, const TTileCache& cache);

// The planned tiles a run must ask for: not cached, and cached but expired.
struct TCacheCounts {
    std::int64_t Missing = 0;
    std::int64_t Expired = 0;
};
// Throws like TGenerationPlan::Build.
TCacheCounts CountCacheState(const TGenerationParams& params, TDeltaPair viewPair, const TTileCache& cache);

// Both sizes below the format's 2 GiB limit.
inline bool MinimumFits(const TSizeEstimate& e) { return e.MinimumBytes <= MapDataMaxFileSize; }
inline bool EstimateFits(const TSizeEstimate& e) { return e.Bytes <= MapDataMaxFileSize; }

// "35 KB", "12.3 MB", "2.41 GB" (binary units).
std::string FormatByteSize(std::int64_t bytes);
