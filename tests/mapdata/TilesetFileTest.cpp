#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <memory>

#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "MapdataTestSupport.h"
#include "TileCache.h"
#include "TilesetFile.h"

namespace {

using TBlob = std::vector<std::uint8_t>;

// A file opened read-only through SQLite, each query's rows handed to a function.
class TReadOnlyDb {
public:
    explicit TReadOnlyDb(const std::string& fileName) {
        sqlite3* raw = nullptr;
        EXPECT_EQ(sqlite3_open_v2(fileName.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK) << fileName;
        Db.reset(raw);
    }
    void Query(const char* sql, const std::function<void(sqlite3_stmt*)>& row) const {
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(Db.get(), sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(Db.get());
        while (sqlite3_step(st) == SQLITE_ROW) row(st);
        sqlite3_finalize(st);
    }

private:
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> Db{nullptr, sqlite3_close};
};

// An MBTiles file read back through SQLite.
struct TMbTilesContent {
    std::map<std::tuple<int, int, int>, TBlob> Tiles;  // (zoom, column, TMS row)
    std::map<std::string, std::string> Metadata;
    std::string TileIndexSql;
};

TMbTilesContent ReadMbTiles(const std::string& fileName) {
    TMbTilesContent c;
    const TReadOnlyDb db(fileName);
    const auto query = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) { db.Query(sql, row); };
    auto text = [](sqlite3_stmt* st, int col) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, col)));
    };
    query("SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles", [&](sqlite3_stmt* st) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 3));
        c.Tiles[{sqlite3_column_int(st, 0), sqlite3_column_int(st, 1), sqlite3_column_int(st, 2)}] =
            TBlob(p, p + sqlite3_column_bytes(st, 3));
    });
    query("SELECT name, value FROM metadata", [&](sqlite3_stmt* st) { c.Metadata[text(st, 0)] = text(st, 1); });
    query("SELECT sql FROM sqlite_master WHERE type = 'index' AND name = 'tile_index'",
          [&](sqlite3_stmt* st) { c.TileIndexSql = text(st, 0); });
    return c;
}

// A sqlitedb file read back through SQLite.
struct TSqliteDbContent {
    std::map<std::tuple<int, int, int, int>, TBlob> Tiles;  // (x, y, z, s)
    std::map<std::string, std::string> Info;                // column -> value as text
    std::string TilesSql;
};

TSqliteDbContent ReadSqliteDb(const std::string& fileName) {
    TSqliteDbContent c;
    const TReadOnlyDb db(fileName);
    const auto query = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) { db.Query(sql, row); };
    query("SELECT x, y, z, s, image FROM tiles", [&](sqlite3_stmt* st) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 4));
        c.Tiles[{sqlite3_column_int(st, 0), sqlite3_column_int(st, 1), sqlite3_column_int(st, 2),
                 sqlite3_column_int(st, 3)}] = TBlob(p, p + sqlite3_column_bytes(st, 4));
    });
    int rows = 0;
    query("SELECT * FROM info", [&](sqlite3_stmt* st) {
        ++rows;
        for (int i = 0; i < sqlite3_column_count(st); ++i)
            c.Info[sqlite3_column_name(st, i)] = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    });
    EXPECT_EQ(rows, 1) << "info holds one row";
    query("SELECT sql FROM sqlite_master WHERE name = 'tiles'",
          [&](sqlite3_stmt* st) { c.TilesSql = reinterpret_cast<const char*>(sqlite3_column_text(st, 0)); });
    return c;
}

std::vector<double> Numbers(const std::string& csv) {
    std::vector<double> v;
    std::size_t pos = 0;
    while (pos <= csv.size()) {
        const std::size_t comma = std::min(csv.find(',', pos), csv.size());
        v.push_back(std::stod(csv.substr(pos, comma - pos)));
        pos = comma + 1;
    }
    return v;
}

// A map data file of road (PNG in the cache) and satellite (JPEG) tiles at
// zooms 10..11 with one missing road tile, and the cache it came from.
class TilesetTest : public ::testing::Test {
protected:
    void SetUp() override {
        const TGenerationParams p{123.4259, 41.8123, 10, 11, {true, false, true, false}};
        Header = SnapshotHeader(p, {{{0.0059448, 0.0026895}, {}, {-0.0002, 0.0003}, {}}});
        Plan.Build(p, TDeltaPair{}, Header);
        for (int t : {0, 2}) {
            const auto& list = Plan.List(MapTypeAt(t));
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (t == 0 && i == 5) continue;
                const TBitmap picture = MakeTilePicture(int(100 * t + i));
                WriteBytes(Cache / TTileCache::TileFileName(list[i].Id()),
                           t == 0 ? PngBytes(picture) : JpegBytes(picture));
            }
        }
        WriteMapData(DatFile, Header, Plan.AllLists(), TTileCache(Cache.DirString(), TServerConfig{}));
        ASSERT_EQ(ErrorText(Reader.Open(DatFile)), "");
    }

    // The non-empty images of one type in the map data file, by (zoom, column, TMS row).
    std::map<std::tuple<int, int, int>, TBlob> ExpectedTiles(TMapType code) const {
        std::map<std::tuple<int, int, int>, TBlob> m;
        for (std::size_t i = 0; i < Reader.Entries().size(); ++i) {
            const auto a = ParseTileKey(Reader.Entries()[i].KeyText());
            if (a->Type != code || Reader.ImageSize(i) == 0) continue;
            m[{a->Zoom, a->X, (1 << a->Zoom) - 1 - a->Y}] = *Reader.ImageBytes(i);
        }
        return m;
    }

    TTempDir Cache, Out;
    TMapDataHeader Header;
    TGenerationPlan Plan;
    std::string DatFile = Out / "city.Dat";
    std::string Target = Out / "city.mbtiles";
    TMapDataReader Reader;
};

TEST_F(TilesetTest, ExportHoldsEveryTileAndTheMetadata) {
    std::int64_t lastDone = -1, lastTotal = -1;
    const std::int64_t n = ExportTileset(Reader, TMapType::Road, Target, {TTilesetFormat::MbTiles, "", "© test", 0},
                                         [&](std::int64_t d, std::int64_t t) { lastDone = d, lastTotal = t; });
    const auto content = ReadMbTiles(Target);
    const auto expected = ExpectedTiles(TMapType::Road);
    EXPECT_EQ(n, std::int64_t(Plan.List(TMapType::Road).size()) - 1);  // the missing tile is left out
    EXPECT_EQ(std::make_pair(lastDone, lastTotal), std::make_pair(std::int64_t(Plan.List(TMapType::Road).size()), lastDone));
    ASSERT_EQ(content.Tiles.size(), expected.size());
    EXPECT_TRUE(content.Tiles == expected) << "tiles differ in address or bytes";
    EXPECT_NE(content.TileIndexSql.find("UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)"),
              std::string::npos) << content.TileIndexSql;

    const auto& md = content.Metadata;
    EXPECT_EQ(md.at("name"), "city");
    EXPECT_EQ(md.at("format"), "jpg");
    EXPECT_EQ(md.at("type"), "baselayer");
    EXPECT_EQ(md.at("attribution"), "© test");
    EXPECT_EQ(md.at("minzoom"), "10");
    EXPECT_EQ(md.at("maxzoom"), "11");
    // Bounds: the union of the zooms' tile edges in grid degrees; centre: the calibrated centre plus the pair.
    std::vector<double> wantBounds{180, 90, -180, -90};
    for (int z : {10, 11}) {
        const TTileRect& rc = Header.TileRects[size_t(z)];
        const TLonLat nw = PixelToLonLat(z, rc.Left * 256, rc.Top * 256, {});
        const TLonLat se = PixelToLonLat(z, (rc.Right + 1) * 256, (rc.Bottom + 1) * 256, {});
        wantBounds = {std::min(wantBounds[0], nw.Lon), std::min(wantBounds[1], se.Lat), std::max(wantBounds[2], se.Lon),
                      std::max(wantBounds[3], nw.Lat)};
    }
    const auto bounds = Numbers(md.at("bounds"));
    ASSERT_EQ(bounds.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(bounds[size_t(i)], wantBounds[size_t(i)], 1e-9) << i;
    const auto center = Numbers(md.at("center"));
    ASSERT_EQ(center.size(), 3u);
    EXPECT_NEAR(center[0], 123.4259 + 0.0059448, 1e-9);
    EXPECT_NEAR(center[1], 41.8123 + 0.0026895, 1e-9);
    EXPECT_EQ(center[2], 10);
    EXPECT_EQ(DirectoryNames(Out.Path()), (std::vector<std::string>{"city.Dat", "city.mbtiles"}));
}

TEST_F(TilesetTest, CacheWriterHoldsTheMapDataFilesImages) {
    for (int type : {0, 2}) {
        SCOPED_TRACE(type);
        WriteTilesetFromCache(Target, Header, MapTypeAt(type), Plan.List(MapTypeAt(type)), TTileCache(Cache.DirString(), TServerConfig{}), {TTilesetFormat::MbTiles, "named", "", 0});
        const auto content = ReadMbTiles(Target);
        EXPECT_TRUE(content.Tiles == ExpectedTiles(MapTypeAt(size_t(type))));
        EXPECT_EQ(content.Metadata.at("name"), "named");
        EXPECT_EQ(content.Metadata.count("attribution"), 0u);
    }
}

// Every planned tile that the file holds lies under its BigPlanet address
// (z = 17 - zoom, rows from the north, s = 0) with the map data file's bytes;
// the cache writer gives the same database content.
TEST_F(TilesetTest, SqliteDbHoldsThePlannedTilesUnderBigPlanetAddresses) {
    const std::string target = Out / "city.sqlitedb";
    for (int type : {0, 2}) {
        SCOPED_TRACE(type);
        std::map<std::tuple<int, int, int, int>, TBlob> expected;
        const auto& list = Plan.List(MapTypeAt(type));
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (type == 0 && i == 5) continue;  // not in the cache: left out
            const TTileId id = list[i].Id();
            const std::int64_t entry = Reader.FindEntry(TileKey(id));
            ASSERT_GE(entry, 0);
            expected[{id.X, id.Y, 17 - id.Zoom, 0}] = *Reader.ImageBytes(std::size_t(entry));
        }
        const std::int64_t n = ExportTileset(Reader, MapTypeAt(type), target, {TTilesetFormat::SqliteDb});
        const auto exported = ReadSqliteDb(target);
        EXPECT_EQ(n, std::int64_t(expected.size()));
        ASSERT_EQ(exported.Tiles.size(), expected.size());
        EXPECT_TRUE(exported.Tiles == expected) << "tiles differ in address or bytes";

        WriteTilesetFromCache(target, Header, MapTypeAt(type), list, TTileCache(Cache.DirString(), TServerConfig{}),
                              {TTilesetFormat::SqliteDb});
        const auto cached = ReadSqliteDb(target);
        EXPECT_TRUE(cached.Tiles == expected);
        EXPECT_EQ(cached.Info, exported.Info);
    }
    const auto content = ReadSqliteDb(target);
    EXPECT_NE(content.TilesSql.find("PRIMARY KEY (x, y, z, s)"), std::string::npos) << content.TilesSql;
    // Zooms 10..11 are z 7..6: minzoom and maxzoom bound the z column.
    EXPECT_EQ(content.Info, (std::map<std::string, std::string>{{"minzoom", "6"},
                                                                {"maxzoom", "7"},
                                                                {"tilenumbering", "BigPlanet"},
                                                                {"timecolumn", "no"},
                                                                {"ellipsoid", "0"},
                                                                {"inverted_y", "0"},
                                                                {"tilesize", "256"}}));
    EXPECT_EQ(DirectoryNames(Out.Path()), (std::vector<std::string>{"city.Dat", "city.sqlitedb"}));
    EXPECT_EQ(TilesetFormatOfName("a/b.SQLiteDB"), TTilesetFormat::SqliteDb);
    EXPECT_EQ(TilesetFormatOfName("b.mbtiles"), TTilesetFormat::MbTiles);
    EXPECT_EQ(TilesetFormatOfName("b.sqlite"), std::nullopt);
}

TEST_F(TilesetTest, FailuresLeaveTheOldFileAndNoTemporaryFile) {
    WriteBytes(Target, {'o', 'l', 'd'});
    for (const TTilesetFormat format : {TTilesetFormat::MbTiles, TTilesetFormat::SqliteDb}) {
        SCOPED_TRACE(int(format));
        // A database capped at three pages fills up like a full disk.
        try {
            ExportTileset(Reader, TMapType::Satellite, Target, {format, "", "", 3});
            ADD_FAILURE() << "a full database must fail";
        } catch (const TMapDataError& e) {
            EXPECT_NE(std::string(e.what()).find("full"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(Target), std::string::npos) << e.what();
        }
        // A type the file does not hold is refused.
        EXPECT_THROW(ExportTileset(Reader, TMapType::Terrain, Target, {format}), TMapDataError);
        EXPECT_EQ(ReadBytes(Target), (TBlob{'o', 'l', 'd'}));
        EXPECT_EQ(DirectoryNames(Out.Path()), (std::vector<std::string>{"city.Dat", "city.mbtiles"}));
    }

    // A directory in the way: the rename fails after a complete database was built.
    const std::string blocked = Out / "dir.mbtiles";
    std::filesystem::create_directory(blocked);
    EXPECT_THROW(ExportTileset(Reader, TMapType::Road, blocked), TMapDataError);
    EXPECT_EQ(DirectoryNames(Out.Path()), (std::vector<std::string>{"city.Dat", "city.mbtiles", "dir.mbtiles"}));
}

TEST(TilesetWriter, LeavesOutTilesItCannotPlace) {
    TTempDir dir;
    TTilesetWriter w(dir / "t.mbtiles", TTilesetFormat::MbTiles);
    const TBlob jpeg{0xFF, 0xD8, 0xFF, 0xD9};
    struct TRow {
        int Zoom, X, Y;
        TBlob Image;
        bool Added;
    } rows[] = {{5, 3, 0, jpeg, true},   {5, 3, 0, {9}, false},  {5, -1, 0, jpeg, false},
                {5, 0, 32, jpeg, false}, {5, 1, 1, {}, false},   {0, 0, 0, jpeg, true}};
    for (const TRow& r : rows) EXPECT_EQ(w.AddTile(r.Zoom, r.X, r.Y, r.Image), r.Added) << r.Zoom << "/" << r.X << "/" << r.Y;
    w.Commit({});
    const auto content = ReadMbTiles(dir / "t.mbtiles");
    EXPECT_EQ(content.Tiles.size(), 2u);
    EXPECT_EQ(content.Tiles.at({5, 3, 31}), jpeg);  // TMS: row 0 at the top is row 31 from the south
}

// GDAL is an independent reader of the exports; scripts/setup installs it
// (gdal-bin) so that this runs wherever the tests do. -checksum decodes every
// tile of the first band.
TEST_F(TilesetTest, GdalReadsTheExport) {
    ASSERT_EQ(std::system("command -v gdalinfo >/dev/null 2>&1"), 0)
        << "gdalinfo is missing: run scripts/setup, which installs the Debian package gdal-bin";
    ExportTileset(Reader, TMapType::Satellite, Target);
    const std::string command = "gdalinfo -checksum '" + Target + "' 2>&1";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(::popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string out;
    char buf[4096];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, pipe.get())) out.append(buf, n);
    for (const std::string& want : std::vector<std::string>{"Driver: MBTiles/MBTiles", "ZOOM_LEVEL=11", "minzoom=10", "maxzoom=11",
                                    "bounds=" + ReadMbTiles(Target).Metadata.at("bounds"), "Overviews:", "Checksum="})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

}  // namespace
