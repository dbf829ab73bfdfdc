#include "TilesetFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "NumberFormat.h"

namespace {

constexpr double MaxMercatorLat = 85.0511287798066;
constexpr std::int64_t ProgressStep = 64;

// The corner of tile (x, y) in degrees of the grid, with x and y clipped to it.
TLonLat TileCorner(int zoom, std::int64_t x, std::int64_t y) {
    const std::int64_t n = TileCount(zoom);
    x = std::clamp<std::int64_t>(x, 0, n);
    y = std::clamp<std::int64_t>(y, 0, n);
    return PixelToLonLat(zoom, std::int32_t(x * TileSize), std::int32_t(y * TileSize), TDeltaPair{});
}

std::string DefaultName(const std::string& fileName) { return std::filesystem::path(fileName).stem().string(); }

void CloseDb(sqlite3* db) {
    // Statements are finalized before this; close_v2 would only defer the close.
    if (db) sqlite3_close(db);
}

// The tables of each layout and the insert of one tile. A repeated address
// keeps its first image in both.
const char* Schema(TTilesetFormat format) {
    switch (format) {
        case TTilesetFormat::MbTiles:
            return "CREATE TABLE metadata (name TEXT, value TEXT);"
                   "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB);"
                   "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);";
        case TTilesetFormat::SqliteDb:
            // s is the BigPlanet layout's variant column; every tile here has one picture.
            // android_metadata spares an Android reader from creating it in a file it may only read.
            return "CREATE TABLE tiles (x INTEGER, y INTEGER, z INTEGER, s INTEGER, image BLOB, PRIMARY KEY (x, y, z, s));"
                   "CREATE TABLE info (minzoom INTEGER, maxzoom INTEGER, tilenumbering TEXT, timecolumn TEXT,"
                   " ellipsoid INTEGER, inverted_y INTEGER, tilesize INTEGER);"
                   "CREATE TABLE android_metadata (locale TEXT);";
    }
    return "";
}

const char* InsertSql(TTilesetFormat format) {
    return format == TTilesetFormat::MbTiles ? "INSERT OR IGNORE INTO tiles VALUES (?, ?, ?, ?)"
                                             : "INSERT OR IGNORE INTO tiles VALUES (?, ?, ?, 0, ?)";
}

}  // namespace

std::optional<TTilesetFormat> TilesetFormatOfName(const std::string& fileName) {
    std::string ext = std::filesystem::path(fileName).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".mbtiles") return TTilesetFormat::MbTiles;
    if (ext == ".sqlitedb") return TTilesetFormat::SqliteDb;
    return std::nullopt;
}

TTilesetMetadata TilesetMetadataFor(const TMapDataHeader& header, TMapType type, std::string name,
                                    std::string attribution) {
    TTilesetMetadata m;
    m.Name = std::move(name);
    m.Attribution = std::move(attribution);
    m.MinZoom = header.MinZoom;
    m.MaxZoom = header.MaxZoom;
    bool any = false;
    for (int z = std::max(header.MinZoom, 0); z <= std::min(header.MaxZoom, ZoomTableSize - 1); ++z) {
        const TTileRect& rc = header.TileRects[std::size_t(z)];
        if (rc.Right < rc.Left || rc.Bottom < rc.Top) continue;
        const TLonLat nw = TileCorner(z, rc.Left, rc.Top);
        const TLonLat se = TileCorner(z, std::int64_t(rc.Right) + 1, std::int64_t(rc.Bottom) + 1);
        if (!any) {
            m.Left = nw.Lon, m.Top = nw.Lat, m.Right = se.Lon, m.Bottom = se.Lat;
            any = true;
        } else {
            m.Left = std::min(m.Left, nw.Lon), m.Top = std::max(m.Top, nw.Lat);
            m.Right = std::max(m.Right, se.Lon), m.Bottom = std::min(m.Bottom, se.Lat);
        }
    }
    const TDeltaPair pair = header.Deltas[MapTypeIndex(type)];
    m.CenterLon = std::clamp(header.CenterLon + pair.Lon, -180.0, 180.0);
    m.CenterLat = std::clamp(header.CenterLat + pair.Lat, -MaxMercatorLat, MaxMercatorLat);
    m.CenterZoom = header.MinZoom;
    return m;
}

TTilesetWriter::TTilesetWriter(std::string target, TTilesetFormat format, std::int64_t maxPageCount)
    : Target(std::move(target)), Format(format), File(Target) {
    if (sqlite3_open_v2(File.TemporaryPath().c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        const std::string reason = Db ? sqlite3_errmsg(Db) : "out of memory";
        CloseDb(Db);
        Db = nullptr;
        throw TMapDataError(TFault(TFaultKind::CannotCreate, Target, 0, reason));
    }
    try {
        // Nothing else sees the file before the rename and a failure discards
        // it whole, so a journal on disk would buy nothing; Commit syncs once.
        Exec("PRAGMA journal_mode=MEMORY");
        Exec("PRAGMA synchronous=OFF");
        if (maxPageCount > 0) Exec(("PRAGMA max_page_count=" + std::to_string(maxPageCount)).c_str());
        Exec("BEGIN");
        Exec(Schema(Format));
        if (sqlite3_prepare_v2(Db, InsertSql(Format), -1, &Insert, nullptr) != SQLITE_OK)
            Fail();
    } catch (...) {
        sqlite3_finalize(Insert);
        CloseDb(Db);
        throw;
    }
}

TTilesetWriter::~TTilesetWriter() {
    // Before File closes its descriptor of the same file.
    sqlite3_finalize(Insert);
    CloseDb(Db);
}

void TTilesetWriter::Fail() const {
    throw TMapDataError(TFault(TFaultKind::CannotWrite, Target, 0, Db ? sqlite3_errmsg(Db) : "database closed"));
}

void TTilesetWriter::Exec(const char* sql) {
    if (sqlite3_exec(Db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

bool TTilesetWriter::AddTile(int zoom, std::int32_t x, std::int32_t y, const std::vector<std::uint8_t>& image) {
    if (image.empty() || zoom < 0 || zoom >= ZoomTableSize || !TileInGrid(zoom, x, y)) return false;
    if (!Insert) Fail();
    sqlite3_reset(Insert);
    if (Format == TTilesetFormat::MbTiles) {
        sqlite3_bind_int(Insert, 1, zoom);
        sqlite3_bind_int(Insert, 2, x);
        sqlite3_bind_int(Insert, 3, TmsRow(zoom, y));
    } else {
        sqlite3_bind_int(Insert, 1, x);
        sqlite3_bind_int(Insert, 2, y);
        sqlite3_bind_int(Insert, 3, BigPlanetZoom(zoom));
    }
    sqlite3_bind_blob64(Insert, 4, image.data(), sqlite3_uint64(image.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(Insert);
    sqlite3_clear_bindings(Insert);
    if (rc != SQLITE_DONE) Fail();
    if (sqlite3_changes(Db) == 0) return false;
    ++Tiles;
    return true;
}

void TTilesetWriter::WriteMetadata(const TTilesetMetadata& m) {
    if (Format == TTilesetFormat::SqliteDb) {
        // minzoom and maxzoom are the least and greatest z of the tiles table, as
        // RMaps-style readers take them; tilenumbering tells OsmAnd that z is
        // counted down from 17. Spherical Mercator, rows from the north, no time column.
        Exec(("INSERT INTO info VALUES (" + std::to_string(BigPlanetZoom(m.MaxZoom)) + ", " +
              std::to_string(BigPlanetZoom(m.MinZoom)) + ", 'BigPlanet', 'no', 0, 0, " + std::to_string(TileSize) + ")")
                 .c_str());
        Exec("INSERT INTO android_metadata VALUES ('en_US')");
        return;
    }
    std::vector<std::pair<std::string, std::string>> rows = {
        {"name", m.Name},
        {"format", "jpg"},
        {"bounds", FormatReal(m.Left) + "," + FormatReal(m.Bottom) + "," + FormatReal(m.Right) + "," + FormatReal(m.Top)},
        {"center", FormatReal(m.CenterLon) + "," + FormatReal(m.CenterLat) + "," + std::to_string(m.CenterZoom)},
        {"minzoom", std::to_string(m.MinZoom)},
        {"maxzoom", std::to_string(m.MaxZoom)},
        {"type", "baselayer"},
    };
    if (!m.Attribution.empty()) rows.emplace_back("attribution", m.Attribution);
    sqlite3_stmt* meta = nullptr;
    if (sqlite3_prepare_v2(Db, "INSERT INTO metadata VALUES (?, ?)", -1, &meta, nullptr) != SQLITE_OK)
        Fail();
    int rc = SQLITE_DONE;
    for (const auto& [name, value] : rows) {
        sqlite3_reset(meta);
        sqlite3_bind_text(meta, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(meta, 2, value.c_str(), -1, SQLITE_TRANSIENT);
        if ((rc = sqlite3_step(meta)) != SQLITE_DONE) break;
    }
    sqlite3_finalize(meta);
    if (rc != SQLITE_DONE) Fail();
}

void TTilesetWriter::Commit(const TTilesetMetadata& m) {
    if (!Db) Fail();
    WriteMetadata(m);
    Exec("COMMIT");
    sqlite3_finalize(Insert);
    Insert = nullptr;
    if (sqlite3_close(Db) != SQLITE_OK) Fail();
    Db = nullptr;
    File.Commit();
}

std::int64_t ExportTileset(const TMapDataReader& reader, TMapType type, const std::string& fileName,
                           const TTilesetOptions& options, const TMapDataProgress& progress) {
    const TMapDataHeader& header = reader.Header();
    if (!header.TypeIncluded[MapTypeIndex(type)]) throw TMapDataError(TFault(TFaultKind::TypeNotInFile));
    std::vector<std::size_t> ofType;
    std::vector<TTileId> addresses;
    for (std::size_t i = 0; i < reader.Entries().size(); ++i) {
        const auto a = ParseTileKey(reader.Entries()[i].KeyText());
        if (!a || a->Type != type) continue;
        ofType.push_back(i);
        addresses.push_back(*a);
    }
    const std::int64_t total = std::int64_t(ofType.size());
    TTilesetWriter writer(fileName, options.Format, options.MaxPageCount);
    for (std::size_t k = 0; k < ofType.size(); ++k) {
        const auto image = reader.ImageBytes(ofType[k]);
        if (!image)
            throw TMapDataError(TFault(TFaultKind::CannotReadEntry, std::string(reader.Entries()[ofType[k]].KeyText()),
                                       image.Error().Errno, image.Error().Text));
        writer.AddTile(addresses[k].Zoom, addresses[k].X, addresses[k].Y, *image);
        if (progress && (std::int64_t(k + 1) % ProgressStep == 0)) progress(std::int64_t(k + 1), total);
    }
    if (progress) progress(total, total);
    writer.Commit(TilesetMetadataFor(header, type,
                                     options.Name.empty() ? DefaultName(fileName) : options.Name, options.Attribution));
    return writer.TileCount();
}

std::int64_t WriteTilesetFromCache(const std::string& fileName, const TMapDataHeader& header, TMapType type,
                                   const std::vector<TMapTile>& tiles, const TTileCache& cache,
                                   const TTilesetOptions& options, const TMapDataProgress& progress) {
    const std::int64_t total = std::int64_t(tiles.size());
    TTilesetWriter writer(fileName, options.Format, options.MaxPageCount);
    std::int64_t done = 0;
    for (const TMapTile& t : tiles) {
        if (t.Type == type && TileInGrid(t.Zoom, t.X, t.Y)) {
            if (const auto jpeg = LoadTileJpeg(cache, t.Id())) writer.AddTile(t.Zoom, t.X, t.Y, *jpeg);
        }
        if (progress && ++done % ProgressStep == 0) progress(done, total);
    }
    if (progress) progress(total, total);
    writer.Commit(TilesetMetadataFor(header, type,
                                     options.Name.empty() ? DefaultName(fileName) : options.Name, options.Attribution));
    return writer.TileCount();
}
