// One map type of a map data file (or of a generation plan's cached tiles)
// as an SQLite tileset that other map programs read, in one of two layouts:
//
// - MBTiles 1.3: a `metadata` table and a `tiles` table whose rows are
//   numbered from the south (TMS). GDAL, QGIS, MapLibre and many apps read it.
// - sqlitedb: the BigPlanet/RMaps layout, `tiles(x, y, z, s, image)` with
//   z = 17 - zoom and an `info` table, carrying OsmAnd's `info` columns that
//   say so. OsmAnd, RMaps, Locus and other phone apps read it.
//
// docs/export-formats.md gives both layouts and their sources. The images
// are the JPEG streams of the map data file, copied as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "MapDataFile.h"

struct sqlite3;
struct sqlite3_stmt;

enum class TTilesetFormat { MbTiles, SqliteDb };

// The format a file name's extension asks for (".mbtiles", ".sqlitedb", any case).
std::optional<TTilesetFormat> TilesetFormatOfName(const std::string& fileName);

struct TTilesetMetadata {
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
// tileset readers place them by the grid, so the calibration pair (which only
// moves what the program shows as a position) is added to the calibrated
// centre rather than applied to the bounds. The sqlitedb layout keeps only
// the zoom range.
TTilesetMetadata TilesetMetadataFor(const TMapDataHeader& header, TMapType type, std::string name,
                                    std::string attribution);

// TMS row of an XYZ row: counted from the south.
inline std::int32_t TmsRow(int zoom, std::int32_t y) { return TileCount(zoom) - 1 - y; }
// BigPlanet zoom: counted down from 17, so zooms 0..17 become 17..0.
inline int BigPlanetZoom(int zoom) { return 17 - zoom; }

// Writes a tileset atomically: the database is built inside one transaction
// in the temporary file of a TAtomicFile, which Commit renames over the
// target once it is on disk. Destroying an uncommitted writer removes the
// temporary file, so any failure leaves an existing target as it was. Errors
// throw TMapDataError naming the file and SQLite's reason.
class TTilesetWriter {
public:
    // maxPageCount > 0 caps the database's size in pages (tests simulate a full disk with it).
    TTilesetWriter(std::string target, TTilesetFormat format, std::int64_t maxPageCount = 0);
    ~TTilesetWriter();
    TTilesetWriter(const TTilesetWriter&) = delete;
    TTilesetWriter& operator=(const TTilesetWriter&) = delete;

    // Adds one tile (XYZ address). Empty images and tiles outside the grid
    // are left out (false); a repeated address keeps its first image.
    bool AddTile(int zoom, std::int32_t x, std::int32_t y, const std::vector<std::uint8_t>& image);
    void Commit(const TTilesetMetadata& metadata);

    std::int64_t TileCount() const { return Tiles; }

private:
    void Exec(const char* sql);
    void WriteMetadata(const TTilesetMetadata& metadata);
    [[noreturn]] void Fail() const;

    std::string Target;
    TTilesetFormat Format;
    // Created first, so that SQLite never opens someone else's file (an empty
    // file is an empty database to it); closed after Db.
    TAtomicFile File;
    sqlite3* Db = nullptr;
    sqlite3_stmt* Insert = nullptr;
    std::int64_t Tiles = 0;
};

struct TTilesetOptions {
    TTilesetFormat Format = TTilesetFormat::MbTiles;
    std::string Name;         // MBTiles; empty: the output file's name without its extension
    std::string Attribution;  // MBTiles
    std::int64_t MaxPageCount = 0;
};

// Exports one included type of an open map data file; refuses a type the file
// does not include. Progress counts the file's entries of that type. Returns
// the number of tiles written.
std::int64_t ExportTileset(const TMapDataReader& reader, TMapType type, const std::string& fileName,
                           const TTilesetOptions& options = {}, const TMapDataProgress& progress = {});

// Writes the planned tiles of one type straight from the cache, re-encoded as
// the map data file would hold them; tiles the cache cannot give are left out.
std::int64_t WriteTilesetFromCache(const std::string& fileName, const TMapDataHeader& header, TMapType type,
                                   const std::vector<TMapTile>& tiles, const TTileCache& cache,
                                   const TTilesetOptions& options = {}, const TMapDataProgress& progress = {});
