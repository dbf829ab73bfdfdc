// Rectified generation end to end: the local tile server draws marks where
// the shifted service shows the points of a true-coordinate grid, and the
// written file must hold every mark at its true position.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <set>

#include "CliRunner.h"
#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "Rectify.h"
#include "ShiftGrid.h"
#include "TestTileServer.h"
#include "TileImage.h"

namespace {

// The server's mark grid (see TileArt.h).
constexpr int MarkSpacing = 64;
constexpr double MarkOffsetX = 20.3, MarkOffsetY = 41.7;

double World(int zoom) { return std::ldexp(256.0, zoom); }
TLonLat ToLonLat(int zoom, double gx, double gy) {
    return {gx / World(zoom) * 360.0 - 180.0,
            InverseMercator((0.5 - gy / World(zoom)) * 2 * std::numbers::pi) * 180 / std::numbers::pi};
}
void ToPixel(int zoom, double lon, double lat, double& gx, double& gy) {
    gx = (lon + 180.0) / 360.0 * World(zoom);
    gy = (0.5 - Mercator(lat * std::numbers::pi / 180) / (2 * std::numbers::pi)) * World(zoom);
}

class CliRectifyTest : public ::testing::Test {
protected:
    CliRectifyTest() : Server({"--marks"}) {
        std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=" << Server.Port()
                                               << "\r\nREFERER=http://127.0.0.1\r\n";
    }
    std::vector<std::string> Generate(const std::string& center, const std::string& zoom, const std::string& out,
                                      bool rectify, const std::string& command = "generate") const {
        std::vector<std::string> a = {command, "--center", center, "--zoom", zoom, "--types", "m",
                                      "--settings", (Dir / "AtlasPocket.Ini").string(), "--cache", Dir.DirString() + "FileMap/"};
        if (command == "generate") a.insert(a.end(), {"--out", (Dir / out).string(), "--yes"});
        if (rectify) a.push_back("--rectify");
        return a;
    }

    // Farthest any mark of the file's road tiles lies from where the file's
    // offsets put its true point (infinity for a mark not found near there).
    static double WorstMarkError(const std::string& file) {
        TMapDataReader reader;
        EXPECT_TRUE(reader.Open(file));
        const TDeltaPair pair = reader.Header().Deltas[0];
        double worst = 0;
        int marks = 0;
        for (std::size_t e = 0; e < reader.Entries().size(); ++e) {
            const auto tile = ParseTileKey(reader.Entries()[e].KeyText());
            auto picture = reader.ReadTileImage(e);
            EXPECT_TRUE(picture && *picture) << reader.Entries()[e].KeyText();
            if (!picture || !*picture) return INFINITY;
            const TBitmap& bmp = **picture;
            const double ox = double(tile->X) * 256, oy = double(tile->Y) * 256;
            for (double gx = ox + MarkOffsetX; gx < ox + 256; gx += MarkSpacing)
                for (double gy = oy + MarkOffsetY; gy < oy + 256; gy += MarkSpacing) {
                    const TLonLat p = ToLonLat(tile->Zoom, gx, gy);
                    double ex, ey;
                    ToPixel(tile->Zoom, p.Lon + pair.Lon, p.Lat + pair.Lat, ex, ey);
                    ex -= ox;
                    ey -= oy;
                    // Darkness-weighted centroid of the pixels within 6 px of the expected spot.
                    double sum = 0, cx = 0, cy = 0;
                    for (int y = int(ey) - 6; y <= int(ey) + 6; ++y)
                        for (int x = int(ex) - 6; x <= int(ex) + 6; ++x) {
                            if (x < 0 || y < 0 || x > 255 || y > 255) continue;
                            const int ink = 255 - bmp.Row(y)[x * 3];
                            if (ink < 24) continue;
                            sum += ink;
                            cx += ink * (x + 0.5);
                            cy += ink * (y + 0.5);
                        }
                    ++marks;
                    worst = std::max(worst, sum < 600 ? INFINITY : std::hypot(cx / sum - ex, cy / sum - ey));
                }
        }
        EXPECT_GT(marks, 100);
        return worst;
    }

    TTempDir Dir;
    TTestTileServer Server;
};

TEST_F(CliRectifyTest, EveryMarkLiesAtItsTruePositionOnlyWhenRectified) {
    const std::string centre = "123.4259,41.8123";
    const TRun run = RunCli(Generate(centre, "16-17", "r.Dat", true), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out.find("blank"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("rectified types:   m"), std::string::npos) << run.Out;
    EXPECT_LT(WorstMarkError((Dir / "r.Dat").string()), 1.0);
    const TRun inspect = RunCli({"inspect", (Dir / "r.Dat").string()}, Dir);
    EXPECT_NE(inspect.Out.find("offsets 0, 0 (rectified: true coordinates)"), std::string::npos) << inspect.Out;

    // The margin: every shifted tile some output tile samples was fetched,
    // and nothing lies more than one tile beyond the tiles sampled.
    TMapDataReader reader;
    ASSERT_TRUE(reader.Open((Dir / "r.Dat").string()));
    EXPECT_EQ(reader.Header().Deltas[0].Lon, 0.0);
    std::set<std::string> needed;
    std::set<std::tuple<int, int, int>> neededTiles;
    for (const TMapDataEntry& e : reader.Entries()) {
        const TTileId t = *ParseTileKey(e.KeyText());
        const TShiftField f(t.Zoom, t.X, t.Y);
        for (int x = int(std::floor((t.X * 256.0 + f.MinX()) / 256)); x <= int(std::floor((t.X * 256.0 + std::ceil(f.MaxX())) / 256)); ++x)
            for (int y = int(std::floor((t.Y * 256.0 + f.MinY()) / 256)); y <= int(std::floor((t.Y * 256.0 + std::ceil(f.MaxY())) / 256)); ++y) {
                needed.insert("m/" + std::to_string(t.Zoom) + "/" + std::to_string(x) + "/" + std::to_string(y));
                neededTiles.insert({t.Zoom, x, y});
            }
    }
    const auto order = Server.RequestOrder();
    const std::set<std::string> fetched(order.begin(), order.end());
    for (const std::string& n : needed) EXPECT_TRUE(fetched.count(n)) << n << " was not downloaded";
    for (const std::string& f : fetched) {
        int z, x, y;
        ASSERT_EQ(std::sscanf(f.c_str(), "m/%d/%d/%d", &z, &x, &y), 3) << f;
        bool near = false;
        for (int dx = -1; dx <= 1 && !near; ++dx)
            for (int dy = -1; dy <= 1 && !near; ++dy) near = neededTiles.count({z, x + dx, y + dy}) > 0;
        EXPECT_TRUE(near) << f << " lies more than one tile beyond the sampled ones";
    }

    // The same plan without rectification misses by the shift.
    const TRun plain = RunCli(Generate(centre, "16-17", "p.Dat", false), Dir);
    ASSERT_EQ(plain.Exit, 0) << plain.Err;
    EXPECT_GT(WorstMarkError((Dir / "p.Dat").string()), 1.0);
}

TEST_F(CliRectifyTest, OutsideTheShiftedAreaRectificationChangesNothing) {
    const std::string paris = "2.3522,48.8566";
    const TRun plan = RunCli(Generate(paris, "12-13", "", true, "plan"), Dir);
    ASSERT_EQ(plan.Exit, 0) << plan.Err;
    EXPECT_NE(plan.Out.find("tiles to download: 194"), std::string::npos) << plan.Out;
    ASSERT_EQ(RunCli(Generate(paris, "12-13", "r.Dat", true), Dir).Exit, 0);
    ASSERT_EQ(RunCli(Generate(paris, "12-13", "p.Dat", false), Dir).Exit, 0);
    // Apart from the zero offsets of the road and terrain maps, byte for byte the same.
    std::ifstream a(Dir / "r.Dat", std::ios::binary), b(Dir / "p.Dat", std::ios::binary);
    std::string ra((std::istreambuf_iterator<char>(a)), {}), rb((std::istreambuf_iterator<char>(b)), {});
    ASSERT_EQ(ra.size(), rb.size());
    EXPECT_NE(ra.substr(49, 32), rb.substr(49, 32));
    EXPECT_EQ(ra.substr(0, 49) + ra.substr(81), rb.substr(0, 49) + rb.substr(81));
}

TEST_F(CliRectifyTest, FailedAndCancelledRectifiedRunsWriteNothing) {
    const std::string centre = "123.4259,41.8123";
    // A source tile outside the output square (the shift moves the sources
    // east and north) that fails every attempt.
    TGenerationParams params;
    params.CenterLon = 123.4259;
    params.CenterLat = 41.8123;
    const TTileRect square = GetZoomRect(params, 16, 1, {});
    const TTileRect source = SourceRect(16, square);
    ASSERT_GT(source.Right, square.Right);
    Server.SetFault("m", 16, source.Right, source.Top, "html");
    const TRun failed = RunCli(Generate(centre, "16", "f.Dat", true), Dir);
    EXPECT_EQ(failed.Exit, 3) << failed.Err;
    EXPECT_NE(failed.Err.find("1 tiles could not be downloaded"), std::string::npos) << failed.Err;
    EXPECT_FALSE(std::filesystem::exists(Dir / "f.Dat"));

    Server.Reset();
    Server.SetFault("*/*/*/*=slowfail:600000");
    TCliChild cli(Generate(centre, "16-17", "c.Dat", true), Dir);
    ASSERT_TRUE(cli.WaitForErr("downloading"));
    cli.Signal(SIGINT);
    const TRun cancelled = cli.Wait();
    EXPECT_EQ(cancelled.Exit, 130) << cancelled.Err;
    EXPECT_FALSE(std::filesystem::exists(Dir / "c.Dat"));
}

}  // namespace
