// Which tiles a generation run needs: one square tile rectangle per zoom,
// centred on the centre's tile and growing level by level, and from them the
// four per-type tile lists of the run. Also the figures the confirmation
// dialog shows and the run's progress arithmetic. Plain C++, no GUI.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AtlasAppType.h"
#include "Geometry.h"
#include "MapDataFile.h"

// The main window's generation parameters.
struct TGenerationParams {
    double CenterLon = 0.0;
    double CenterLat = 0.0;
    std::int32_t CurrentZoom = MinMapZoom;
    std::int32_t MaxZoom = MinMapZoom;
    std::array<bool, MapTypeCount> Included{};  // road, terrain, satellite, satellite with roads
    // Write the road and terrain maps in true coordinates (see Rectify.h).
    bool Rectify = false;
};

// Square of 2^(k+2) - 3 tiles around the centre's tile at zoom z, level k
// (k = z - current zoom + 1). The projection adds the given calibration pair.
TTileRect GetZoomRect(const TGenerationParams& params, int zoom, int level, TDeltaPair pair);

// Tiles per side of a level's rectangle: 2^(k+2) - 3.
std::int64_t LevelSide(int level);

// "1280 x 1280": the rectangle's size in pixels.
std::string MapSizeText(const TTileRect& rect);

// The confirmation dialog's figures. TotalTiles counts one map type only.
struct TPlanFigures {
    int LevelCount = 0;
    std::string MapSize;
    std::string MaxMapSize;
    std::int64_t TotalTiles = 0;
};
TPlanFigures PlanFigures(const TGenerationParams& params, TDeltaPair pair);

// The run's header snapshot, taken before the dialog: zoom range, included
// types, centre and the four offset pairs (zero for rectified road and
// terrain maps); TileRects zero, EntryCount 0.
TMapDataHeader SnapshotHeader(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas);

// Entries of the file the plan would produce (every included type), computed
// without allocating anything.
std::int64_t PlannedEntryCount(const TGenerationParams& params);

// False when the index alone (409 + 32 * count bytes) cannot fit a map data
// file, whose offsets are int32. Checked before a plan is built.
bool PlanFitsMapDataFile(std::int64_t entryCount);

// The gauge value 100 - floor(remaining * 100 / total), in 0..100; 64-bit so
// that no plan size can overflow it.
int ProgressPercent(std::int64_t remaining, std::int64_t total);

// Frees a list's entries and its storage; a missing list is fine.
template <class T>
void FreeListItems(std::vector<T>* list) {
    if (list) std::vector<T>().swap(*list);
}

// The four tile lists of one run, in map type order. Entries are appended a
// whole rectangle at a time (AddZoomTiles), which also records the rectangle
// so that MarkTileDone finds an entry by arithmetic.
// GUI thread only, like the run that owns it.
class TGenerationPlan {
public:
    using TTileList = std::vector<TMapTile>;

    // Types AddZoomTiles fills; Build sets them from the parameters.
    void SetIncluded(const std::array<bool, MapTypeCount>& included) { Included = included; }

    // Appends the rectangle's tiles, column by column and top to bottom within
    // a column, to the list of every included type.
    void AddZoomTiles(std::int32_t zoom, const TTileRect& rect);
    // The same for one type, included or not.
    void AddTypeTiles(TMapType type, std::int32_t zoom, const TTileRect& rect);

    // Marks the first not-done entry of this tile; false when there is none
    // (a repeat, a tile outside the plan).
    bool MarkTileDone(const TTileId& tile);
    // The tile has a planned entry that is not done yet.
    bool IsTilePending(const TTileId& tile) const;
    // Every done entry of the tile becomes pending again (its cached file
    // turned out unusable); how many did.
    int MarkTilePending(const TTileId& tile);
    // Marks one entry by position (a tile found in the cache when requested);
    // false when it was done already or the position does not exist.
    bool SetDone(TMapType type, std::size_t index);

    // Every entry of all four lists is done; empty lists count as done.
    bool AllTilesDone() const { return DoneCount == TotalCount(); }
    std::int64_t DoneTiles() const { return DoneCount; }
    std::int64_t TotalCount() const;

    const TTileList& List(TMapType type) const { return Lists[MapTypeIndex(type)]; }
    const std::array<TTileList, MapTypeCount>& AllLists() const { return Lists; }

    // Empties every list, or one list, and releases the memory.
    void FreeListItems();
    void FreeListItems(TMapType type);

    // Replaces the lists with the plan of the parameters: zeroes
    // header.TileRects, fills TileRects[z] for the run's zooms and sets
    // EntryCount to the tiles the file will hold. A rectified type's list
    // holds the shifted tiles its squares need (SourceRect), which are what
    // the run downloads. Throws std::invalid_argument for zooms outside 0..17 or out
    // of order, and std::length_error for a plan no map data file can hold
    // (callers check PlanFitsMapDataFile first). Other header fields are left.
    void Build(const TGenerationParams& params, TDeltaPair pair, TMapDataHeader& header);

private:
    // A run of entries appended by AddZoomTiles: entry Start + col * height + row
    // holds tile (Rect.Left + col, Rect.Top + row).
    struct TZoomSegment {
        std::int32_t Zoom = 0;
        TTileRect Rect;
        std::size_t Start = 0;
    };

    TMapTile* FirstPending(const TTileId& tile);

    std::array<TTileList, MapTypeCount> Lists;
    std::array<std::vector<TZoomSegment>, MapTypeCount> Segments;
    std::array<bool, MapTypeCount> Included{};
    std::int64_t DoneCount = 0;
};
