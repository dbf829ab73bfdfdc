// One map type of a map data file (or of a generation plan's cached tiles)
// as an MBTiles 1.3 tileset: an SQLite database with a `metadata` table and a
// `tiles` table whose rows are numbered from the south (TMS). Other offline
// map programs, GDAL and QGIS read it. The images are the JPEG streams of the
// map data file, copied as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MapDataFile.h"

struct sqlite3;
struct sqlite3_stmt;

struct TMbTilesMetadata {
    std::string Name;
    std::string Attribution;  // written only when not empty
    // Degrees of the tiles' own Web-Mercator grid: left, bottom, right, top.
    double Left = -180, Bottom = -85.0511287798066, Right = 180, Top = 85.0511287798066;
    double CenterLon = 0, CenterLat = 0;
    int CenterZoom = 0;
    int MinZoom = 0, MaxZoom = 0;
};

// The metadata of one type of a map data file. Bounds are the union of the
// header's tile rectangles, clipped to the grid. They and the centre are in
// the tiles' own coordinates: the tiles lie where the service drew them, and
// MBTiles readers place them by the grid, so the calibration pair (which only
// moves what the program shows as a position) is added to the calibrated
// centre rather than applied to the bounds.
TMbTilesMetadata MbTilesMetadataFor(const TMapDataHeader& header, int typeIndex, std::string name,
                                    std::string attribution);

// TMS row of an XYZ row: counted from the south.
inline std::int32_t TmsRow(int zoom, std::int32_t y) { return TileCount(zoom) - 1 - y; }

// Writes an MBTiles file atomically: the database is built in a hidden
// temporary file beside the target inside one transaction and renamed over
// the target only by Commit, after it is on disk. Destroying an uncommitted
// writer removes the temporary file, so any failure leaves an existing target
// as it was. Errors throw TMapDataError naming the file and SQLite's reason.
class TMbTilesWriter {
public:
    // maxPageCount > 0 caps the database's size in pages (tests simulate a full disk with it).
    explicit TMbTilesWriter(std::string target, std::int64_t maxPageCount = 0);
    ~TMbTilesWriter();
    TMbTilesWriter(const TMbTilesWriter&) = delete;
    TMbTilesWriter& operator=(const TMbTilesWriter&) = delete;

    // Adds one tile (XYZ row). Empty images and tiles outside the grid are
    // left out (false); a repeated address keeps its first image.
    bool AddTile(int zoom, std::int32_t x, std::int32_t y, const std::vector<std::uint8_t>& image);
    void Commit(const TMbTilesMetadata& metadata);

    std::int64_t TileCount() const { return Tiles; }
    const std::string& TempName() const { return Temp; }

private:
    void Exec(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string Target;
    std::string Temp;
    sqlite3* Db = nullptr;
    sqlite3_stmt* Insert = nullptr;
    std::int64_t Tiles = 0;
    bool Committed = false;
};

struct TMbTilesOptions {
    std::string Name;  // empty: the output file's name without its extension
    std::string Attribution;
    std::int64_t MaxPageCount = 0;
};

// Exports one included type of an open map data file; refuses a type the file
// does not include. Progress counts the file's entries of that type. Returns
// the number of tiles written.
std::int64_t ExportMbTiles(const TMapDataReader& reader, int typeIndex, const std::string& fileName,
                           const TMbTilesOptions& options = {}, const TMapDataProgress& progress = {});

// Writes the planned tiles of one type straight from the cache, re-encoded as
// the map data file would hold them; tiles the cache cannot give are left out.
std::int64_t WriteMbTilesFromCache(const std::string& fileName, const TMapDataHeader& header, int typeIndex,
                                   const std::vector<TMapTile>& tiles, const TTileCache& cache,
                                   const TMbTilesOptions& options = {}, const TMapDataProgress& progress = {});
