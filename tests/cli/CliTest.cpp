#include <gtest/gtest.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ChinaShift.h"
#include "AtlasVersion.h"
#include "CliArgs.h"
#include "CliRunner.h"
#include "MapDataFile.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileSource.h"

namespace {

class CliFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=" << Server.Port()
                                               << "\r\nREFERER=http://127.0.0.1\r\n";
    }
    std::vector<std::string> Generate(const std::string& zoom, const std::string& out) const {
        return {"generate", "--center", "123.4259,41.8123", "--zoom", zoom, "--types", "m,s", "--out",
                (Dir / out).string(), "--settings", (Dir / "AtlasPocket.Ini").string(), "--cache",
                Dir.DirString() + "FileMap", "--yes"};
    }
    TTempDir Dir;
    TTestTileServer Server;
};

TEST(CliArgs, BadArgumentsAreNamed) {
    EXPECT_THROW(ParseZoomArg("4-8"), TUsageError);
    EXPECT_THROW(ParseZoomArg("12-10"), TUsageError);
    EXPECT_THROW(ParseZoomArg("x"), TUsageError);
    EXPECT_EQ(ParseZoomArg("10-12").Max, 12);
    EXPECT_EQ(ParseZoomArg("17").Min, 17);
    EXPECT_THROW(ParseTypesArg("m,x"), TUsageError);
    EXPECT_THROW(ParseTypesArg(""), TUsageError);
    EXPECT_EQ(ParseTypesArg("s,y"), (std::array<bool, 4>{false, false, true, true}));
    EXPECT_THROW(ParseCenterArg("123.4"), TUsageError);
    EXPECT_THROW(ParseCenterArg("200,10"), TUsageError);
    EXPECT_EQ(ParseSourceUrlArg("y=http://t/{z}/{x}/{y}?a=b"), (std::pair<TMapType, std::string>{TMapType::SatelliteRoads, "http://t/{z}/{x}/{y}?a=b"}));
    EXPECT_THROW(ParseSourceUrlArg("http://t/{z}/{x}/{y}"), TUsageError);
    try {
        ParseTypesArg("m,q");
    } catch (const TUsageError& e) {
        EXPECT_NE(std::string(e.what()).find("--types: 'q'"), std::string::npos);
    }
}

TEST_F(CliFixture, PlanPrintsTheConfirmationFigures) {
    const auto r = RunCli({"plan", "--center", "123.4259,41.8123", "--zoom", "10-12", "--types", "m,s", "--settings",
                           (Dir / "AtlasPocket.Ini").string()},
                          Dir);
    ASSERT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Out.find("zoom levels:       3"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("map size:          1280 x 1280"), std::string::npos);
    EXPECT_NE(r.Out.find("maximum map size:  7424 x 7424"), std::string::npos);
    EXPECT_NE(r.Out.find("tiles per type:    1035"), std::string::npos);
    EXPECT_NE(r.Out.find("index entries:     2070"), std::string::npos);

    const auto bad = RunCli({"plan", "--center", "1,2", "--zoom", "3-8", "--types", "m"}, Dir);
    EXPECT_EQ(bad.Exit, 2);
    EXPECT_NE(bad.Err.find("--zoom"), std::string::npos) << bad.Err;
    const auto huge = RunCli({"plan", "--center", "1,2", "--zoom", "5-17", "--types", "m,p,s,y", "--settings",
                              (Dir / "AtlasPocket.Ini").string()},
                             Dir);
    EXPECT_EQ(huge.Exit, 1) << "a plan that no map data file can hold is refused";
    // The index fits, blank tiles would not: refused with the figures.
    const auto blank = RunCli({"plan", "--center", "1,2", "--zoom", "5-12", "--types", "m", "--settings",
                               (Dir / "AtlasPocket.Ini").string(), "--cache", Dir.DirString() + "FileMap"},
                              Dir);
    EXPECT_EQ(blank.Exit, 1);
    EXPECT_NE(blank.Err.find("even at 1600 bytes per tile the 1385912 tiles need"), std::string::npos) << blank.Err;
}

TEST_F(CliFixture, GenerateWritesAValidFileAndReusesTheCache) {
    const auto first = RunCli(Generate("10-11", "a.Dat"), Dir);
    ASSERT_EQ(first.Exit, 0) << first.Err;
    const long requests = Server.TotalRequests();
    EXPECT_EQ(requests, 2 * (25 + 169));

    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open((Dir / "a.Dat").string())), "");
    EXPECT_EQ(reader.Header().EntryCount, 2 * (25 + 169));
    EXPECT_EQ(reader.Header().MinZoom, 10);
    EXPECT_EQ(reader.Header().MaxZoom, 11);
    for (std::size_t i = 0; i < reader.Entries().size(); ++i) ASSERT_GT(reader.ImageSize(i), 0) << i;
    reader.Close();

    const auto second = RunCli(Generate("10-11", "b.Dat"), Dir);
    ASSERT_EQ(second.Exit, 0) << second.Err;
    EXPECT_EQ(Server.TotalRequests(), requests) << "every tile came from the cache";
    EXPECT_EQ(Slurp(Dir / "a.Dat"), Slurp(Dir / "b.Dat"));

    const auto inspect = RunCli({"inspect", (Dir / "a.Dat").string()}, Dir);
    EXPECT_EQ(inspect.Exit, 0) << inspect.Out;
    EXPECT_NE(inspect.Out.find("entries:       388"), std::string::npos) << inspect.Out;
    EXPECT_NE(inspect.Out.find("consistent:    yes"), std::string::npos);
    const auto json = RunCli({"inspect", (Dir / "a.Dat").string(), "--json"}, Dir);
    EXPECT_NE(json.Out.find("\"entryCount\": 388"), std::string::npos) << json.Out;
}

// Each worker keeps one connection, so the server's connection count is the worker count.
TEST_F(CliFixture, ConnectionsOptionSetsTheDownloadWorkers) {
    const struct { const char* Connections; int Exit; int Seen; } rows[] = {
        {nullptr, 0, 6}, {"1", 0, 1}, {"3", 0, 3}, {"0", 2, 0}, {"7", 2, 0},  // usage errors
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Connections ? row.Connections : "default");
        Server.Reset();
        auto args = Generate("10", "e" + std::to_string(++n) + ".Dat");
        args[args.size() - 2] = Dir.DirString() + "cache" + std::to_string(n);  // the --cache value
        if (row.Connections) args.insert(args.end(), {"--connections", row.Connections});
        const auto r = RunCli(args, Dir);
        EXPECT_EQ(r.Exit, row.Exit) << r.Err;
        const auto connections = Server.RequestConnections();
        EXPECT_EQ(std::set<int>(connections.begin(), connections.end()).size(), std::size_t(row.Seen));
    }
}

TEST_F(CliFixture, FailedTilesWriteNothing) {
    Server.SetFault("s", 10, 863, 380, "html");
    const auto r = RunCli(Generate("10", "c.Dat"), Dir);
    EXPECT_EQ(r.Exit, 3) << r.Err;
    EXPECT_FALSE(std::filesystem::exists(Dir / "c.Dat"));
    EXPECT_NE(r.Err.find("1 tiles could not be downloaded"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("s zoom 10 x 863 y 380"), std::string::npos) << r.Err;
    EXPECT_EQ(Server.Attempts("s", 10, 863, 380), 3);

    Server.Reset();
    const auto again = RunCli(Generate("10", "c.Dat"), Dir);
    EXPECT_EQ(again.Exit, 0) << again.Err;
    EXPECT_EQ(Server.TotalRequests(), 1) << "only the missing tile is fetched again";
}

TEST_F(CliFixture, GenerateWithoutConfirmationRefusesPolitely) {
    auto args = Generate("10", "d.Dat");
    args.pop_back();  // no --yes, and stdin is not a terminal
    const auto r = RunCli(args, Dir);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("--yes"), std::string::npos) << r.Err;
    EXPECT_EQ(Server.TotalRequests(), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "d.Dat"));
}

// Two figures of the plan and the run's own calibration: the estimate of a
// warm cache lies within a quarter of the real file, and --auto-calibrate
// puts the shift at the centre into the file's road and terrain offsets.
TEST_F(CliFixture, ResidualSizeEstimateAndAutoCalibration) {
    const std::vector<std::string> plan{"plan", "--center", "123.4259,41.8123", "--zoom", "10-12", "--types", "m,s",
                                        "--settings", (Dir / "AtlasPocket.Ini").string(), "--cache",
                                        Dir.DirString() + "FileMap"};
    const auto bytesOf = [](const std::string& out) {
        const auto at = out.find("estimated size:");
        return std::stoll(out.substr(out.find('(', at) + 1));
    };
    const auto residualOf = [](const std::string& out) {
        return std::stod(out.substr(out.find("calibration residual: ") + 22));
    };
    const auto cold = RunCli(plan, Dir);
    ASSERT_EQ(cold.Exit, 0) << cold.Err;
    EXPECT_NE(cold.Out.find("fixed figure"), std::string::npos) << cold.Out;
    auto calibratedPlan = plan;
    calibratedPlan.push_back("--auto-calibrate");
    EXPECT_LT(residualOf(RunCli(calibratedPlan, Dir).Out), residualOf(cold.Out));

    auto args = Generate("10-12", "e.Dat");
    args.push_back("--auto-calibrate");
    const auto run = RunCli(args, Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    TMapDataReader reader;
    ASSERT_EQ(ErrorText(reader.Open((Dir / "e.Dat").string())), "");
    const TDeltaPair shift = ChinaShift(123.4259, 41.8123);
    for (int t : {0, 1}) {
        EXPECT_EQ(reader.Header().Deltas[t].Lon, shift.Lon);
        EXPECT_EQ(reader.Header().Deltas[t].Lat, shift.Lat);
    }
    EXPECT_EQ(Slurp(Dir / "AtlasPocket.Ini").find("LON_M"), std::string::npos) << "the settings file is left alone";

    const auto warm = RunCli(plan, Dir);
    ASSERT_EQ(warm.Exit, 0) << warm.Err;
    EXPECT_NE(warm.Out.find("measured on 30 cached tiles"), std::string::npos) << warm.Out;
    const double fileSize = double(reader.FileSize());
    EXPECT_NEAR(double(bytesOf(warm.Out)) / fileSize, 1.0, 0.25) << warm.Out << fileSize;
}

TEST_F(CliFixture, TilesetsFromTheCacheAndFromTheMapDataFileAgree) {
    std::filesystem::create_directories(Dir / "gen");
    std::filesystem::create_directories(Dir / "exp");
    auto args = Generate("10", "a.Dat");
    args.insert(args.end(), {"--mbtiles", (Dir / "gen" / "city.mbtiles").string(), "--sqlitedb",
                             (Dir / "gen" / "city.sqlitedb").string(), "--mbtiles-type", "s", "--attribution", "test"});
    const auto gen = RunCli(args, Dir);
    ASSERT_EQ(gen.Exit, 0) << gen.Err;
    EXPECT_NE(gen.Out.find("city.mbtiles (25 tiles of type s)"), std::string::npos) << gen.Out;
    EXPECT_NE(gen.Out.find("city.sqlitedb (25 tiles of type s)"), std::string::npos) << gen.Out;
    const auto exp = RunCli({"export", (Dir / "a.Dat").string(), "--type", "s", "--mbtiles",
                             (Dir / "exp" / "city.mbtiles").string(), "--attribution", "test", "--sqlitedb",
                             (Dir / "exp" / "city.sqlitedb").string()},
                            Dir);
    ASSERT_EQ(exp.Exit, 0) << exp.Err;
    EXPECT_NE(exp.Out.find("city.sqlitedb (25 tiles)"), std::string::npos) << exp.Out;
    // Same tiles, same images, same metadata, inserted in the same order: the same database.
    EXPECT_EQ(Slurp(Dir / "gen" / "city.mbtiles"), Slurp(Dir / "exp" / "city.mbtiles"));
    EXPECT_EQ(Slurp(Dir / "gen" / "city.sqlitedb"), Slurp(Dir / "exp" / "city.sqlitedb"));
    // The same options for a sqlitedb alone: --tileset-type is --mbtiles-type's other name.
    auto alone = Generate("10", "b.Dat");
    alone.insert(alone.end(), {"--sqlitedb", (Dir / "b.sqlitedb").string(), "--tileset-type", "s"});
    ASSERT_EQ(RunCli(alone, Dir).Exit, 0);
    EXPECT_EQ(Slurp(Dir / "b.sqlitedb"), Slurp(Dir / "exp" / "city.sqlitedb"));

    const struct {
        std::vector<std::string> Args;
        int Exit;
        std::string Err;
    } refusals[] = {
        {{"export", (Dir / "a.Dat").string(), "--type", "x", "--mbtiles", (Dir / "x.mbtiles").string()}, 2, "--type"},
        {{"export", (Dir / "a.Dat").string(), "--type", "p", "--mbtiles", (Dir / "x.mbtiles").string()}, 1,
         "error: the map data file does not hold this map type\n"},
        {{"export", (Dir / "none.Dat").string(), "--type", "m", "--mbtiles", (Dir / "x.mbtiles").string()}, 1,
         "none.Dat: no such file\n"},
        {{"export", (Dir / "a.Dat").string(), "--type", "m", "--mbtiles", (Dir / "nowhere" / "x.mbtiles").string()}, 1,
         "error: cannot create \"" + (Dir / "nowhere" / "x.mbtiles").string() + "\": "},
        {{"generate", "--center", "1,2", "--zoom", "10", "--types", "m", "--yes"}, 2, "--sqlitedb"},
        {{"export", (Dir / "a.Dat").string(), "--type", "s"}, 2, "--sqlitedb"},
    };
    for (const auto& r : refusals) {
        const auto run = RunCli(r.Args, Dir);
        EXPECT_EQ(run.Exit, r.Exit) << r.Args[1];
        EXPECT_NE(run.Err.find(r.Err), std::string::npos) << run.Err;
        // English throughout; only the window's own verdict on a foreign file is quoted after it.
        const std::string english = run.Err.substr(0, run.Err.find("(\""));
        EXPECT_TRUE(std::all_of(english.begin(), english.end(), [](char c) { return (unsigned char)c < 0x80; })) << run.Err;
    }
    EXPECT_FALSE(std::filesystem::exists(Dir / "x.mbtiles"));

    const auto version = RunCli({"--version"}, Dir);
    EXPECT_EQ(version.Exit, 0);
    EXPECT_EQ(version.Out, std::string("atlaspocket-cli ") + AtlasVersion + "\n");
}

// The settings file keeps text after ';' on a value line: a comment there
// used to become part of the host name and fail every download.
TEST_F(CliFixture, HostWithACommentIsRefusedBeforeAnyRequest) {
    std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1 ; local tile server\r\nPORT="
                                           << Server.Port() << "\r\n";
    const auto r = RunCli(Generate("10", "e.Dat"), Dir);
    EXPECT_EQ(r.Exit, 1) << r.Err;
    EXPECT_NE(r.Err.find("[ATLAS_SERVER] HOST: it holds a blank"), std::string::npos) << r.Err;
    EXPECT_EQ(Server.TotalRequests(), 0);
    EXPECT_FALSE(std::filesystem::exists(Dir / "e.Dat"));
}

TEST_F(CliFixture, SourceUrlTemplatesArePrintedCheckedAndUsed) {
    const std::string base = "http://127.0.0.1:" + std::to_string(Server.Port());
    const std::string satellite = "s=" + base + "/{z}/{x}/{y}.jpg";
    auto plan = [&](const std::string& source) {
        return RunCli({"plan", "--center", "123.4259,41.8123", "--zoom", "10", "--types", "m,s", "--settings",
                       (Dir / "AtlasPocket.Ini").string(), "--source-url", source},
                      Dir);
    };
    const auto r = plan(satellite);
    ASSERT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Out.find("centre tile m:     " + base + "/vt/lyrs=m@121&hl=zh-CN&x=863&y=380&z=10&s=Gali\n"),
              std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("centre tile s:     " + base + "/10/863/380.jpg\n"), std::string::npos) << r.Out;

    const auto bad = plan("s=" + base + "/{z}/{x}/{q}.jpg");
    EXPECT_EQ(bad.Exit, 1);
    EXPECT_NE(bad.Err.find("[ATLAS_SOURCE] URL_S: unknown placeholder {q}"), std::string::npos) << bad.Err;
    EXPECT_EQ(plan("q=" + base + "/{z}/{x}/{y}.jpg").Exit, 2);

    auto args = Generate("10", "f.Dat");
    args.insert(args.end(), {"--source-url", satellite});
    const auto gen = RunCli(args, Dir);
    ASSERT_EQ(gen.Exit, 0) << gen.Err;
    EXPECT_EQ(Server.TotalRequests(), 2 * 25);
    const auto folder = Dir / "FileMap" / SourceDigest(base + "/{z}/{x}/{y}.jpg");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 25);
    EXPECT_TRUE(std::filesystem::exists(Dir / "FileMap" / "m_10-863-380.gif"));
}

TEST_F(CliFixture, InspectRefusesForeignFiles) {
    std::ofstream(Dir / "bad.Dat") << "NOT_A_MAP_DATA_FILE_AT_ALL";
    const auto r = RunCli({"inspect", (Dir / "bad.Dat").string()}, Dir);
    EXPECT_EQ(r.Exit, 1);
    // In English, the window's own verdict quoted after it.
    EXPECT_NE(r.Err.find("bad.Dat: not a map data file of this program (\"文件不是本程序生成的地图数据文件。\")"),
              std::string::npos) << r.Err;
    const auto missing = RunCli({"inspect", (Dir / "none.Dat").string()}, Dir);
    EXPECT_NE(missing.Err.find("none.Dat: no such file\n"), std::string::npos) << missing.Err;
}

// Rectangles whose tile counts overflow 64 bits must be named, not wrapped into agreement.
TEST_F(CliFixture, InspectNamesImpossibleRectangles) {
    const struct {
        TTileRect Rect;
        const char* Problem;
    } rows[] = {
        {{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, "zoom 12: rectangle (-2147483648, -2147483648) .. (2147483647, "
                                                       "2147483647) asks for more entries than a map data file holds"},
        {{5, 0, 4, 0}, "zoom 12: rectangle (5, 0) .. (4, 0) is not a valid tile rectangle"},
    };
    for (const auto& row : rows) {
        TMapDataHeader h;
        h.MinZoom = h.MaxZoom = 12;
        h.TypeIncluded[0] = 1;
        h.TileRects[12] = row.Rect;
        const auto bytes = EncodeMapDataHeader(h);
        std::ofstream(Dir / "crafted.Dat", std::ios::binary)
            << MapDataSignature << std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const auto r = RunCli({"inspect", (Dir / "crafted.Dat").string()}, Dir);
        EXPECT_EQ(r.Exit, 1) << r.Out << r.Err;
        EXPECT_NE(r.Out.find(row.Problem), std::string::npos) << r.Out << r.Err;
    }
}

// Two road map tiles at zoom 5 whose index holds these keys: a tile under
// another spelling of its key is one that no reader finds, and key bytes of
// any kind come out of --json as valid JSON with the problems of the text.
TEST_F(CliFixture, InspectNamesTilesNoReaderFinds) {
    const struct {
        std::vector<std::string> Keys;
        std::vector<std::string> Problems;
    } rows[] = {
        {{"m_5_0_0", "m_05_0_0"},
         {"1 key is not a canonical tile key, so no reader finds its entry: 'm_05_0_0'",
          "1 tile of the rectangles is missing (no entry under its key): m_5_1_0"}},
        {{"m_5_0_0", "m_5_1_\xff\"\n"},
         {"1 key is not a canonical tile key, so no reader finds its entry: 'm_5_1_\\xFF\"\\x0A'",
          "1 tile of the rectangles is missing (no entry under its key): m_5_1_0"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Keys[1]);
        TMapDataHeader h;
        h.MinZoom = h.MaxZoom = 5;
        h.TypeIncluded[0] = 1;
        h.TileRects[5] = {0, 0, 1, 0};
        h.EntryCount = std::int32_t(row.Keys.size());
        const auto head = EncodeMapDataHeader(h);
        std::ofstream file(Dir / "keys.Dat", std::ios::binary);
        file << MapDataSignature << std::string_view(reinterpret_cast<const char*>(head.data()), head.size());
        for (const std::string& key : row.Keys) {
            std::uint8_t entry[MapDataEntrySize];
            ASSERT_TRUE(EncodeMapDataEntry(key, std::int32_t(MapDataIndexStart + MapDataEntrySize * 2), entry));
            file.write(reinterpret_cast<const char*>(entry), sizeof entry);
        }
        file.close();

        const auto text = RunCli({"inspect", (Dir / "keys.Dat").string()}, Dir);
        EXPECT_EQ(text.Exit, 1) << text.Out << text.Err;
        EXPECT_EQ(text.Out.find("consistent"), std::string::npos) << text.Out;
        for (const std::string& p : row.Problems) EXPECT_NE(text.Out.find("  " + p + "\n"), std::string::npos) << text.Out;

        const auto json = RunCli({"inspect", (Dir / "keys.Dat").string(), "--json"}, Dir);
        EXPECT_EQ(json.Exit, 1) << json.Err;
        auto j = nlohmann::json::parse(json.Out, nullptr, false);  // a missing member reads as null
        ASSERT_FALSE(j.is_discarded()) << json.Out << json.Err;
        EXPECT_EQ(j["problems"], row.Problems) << json.Out;
        EXPECT_EQ(j["nonCanonicalKeys"]["count"], 1);
        EXPECT_EQ(j["missingTiles"]["first"], std::vector<std::string>{"m_5_1_0"});
    }
}

}  // namespace

