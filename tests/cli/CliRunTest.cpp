// The command line's run against a tile service that stalls, dies or sends
// what cannot be decoded, and against being interrupted or killed: it stops
// at once, says why, and leaves nothing half-written behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "MapDataFile.h"
#include "TestTileServer.h"
#include "TileCache.h"
#include "TileFileName.h"
#include "TileFileDecode.h"
#include "TileImage.h"
#include "WaitUntil.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class CliRunTest : public ::testing::Test {
protected:
    explicit CliRunTest(std::vector<std::string> serverArgs = {}) : Server(std::move(serverArgs)) {}
    void SetUp() override { WriteSettings(""); }
    void WriteSettings(const std::string& extra) const {
        std::ofstream(Dir / "AtlasPocket.Ini") << "[ATLAS_SERVER]\r\nHOST=127.0.0.1\r\nPORT=" << Server.Port()
                                               << "\r\nREFERER=http://127.0.0.1\r\n" << extra;
    }
    std::vector<std::string> Generate(const std::string& zoom, const std::string& types, const std::string& out) const {
        return {"generate", "--center", "123.4259,41.8123", "--zoom", zoom, "--types", types, "--out",
                (Dir / out).string(), "--settings", (Dir / "AtlasPocket.Ini").string(), "--cache", Cache(), "--yes"};
    }
    std::string Cache() const { return Dir.DirString() + "FileMap/"; }
    // Every file of the cache under a tile's name decodes; the names of the others.
    std::vector<std::string> UndecodableTiles() const {
        std::vector<std::string> bad;
        for (const auto& e : fs::directory_iterator(Cache())) {
            const std::string name = e.path().filename().string();
            if (name[0] == '.' || e.path().extension() != ".gif") continue;
            const auto type = GetTileFileType(e.path().string());
            if (!type || type->empty() || !DecodeTileFile(e.path().string(), *type)) bad.push_back(name);
        }
        return bad;
    }
    static int Count(const fs::path& dir, const std::string& ending) {
        int n = 0;
        for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().ends_with(ending);
        return n;
    }

    TTempDir Dir;
    TTestTileServer Server;
};

// A server that takes 40 ms per answer, so that a run lasts long enough to be caught in the middle.
class CliSlowRunTest : public CliRunTest {
protected:
    CliSlowRunTest() : CliRunTest({"--latency-ms", "40"}) {}
};

}  // namespace

// Ctrl-C against a service that never answers ends the run at once; one whose
// every attempt times out is given up after two rounds of time-outs.
TEST_F(CliRunTest, StallsAreCutShortByCtrlCAndByTheDeadServiceRule) {
    Server.SetFault("*/*/*/*=slowfail:600000");
    {
        TCliChild cli(Generate("10", "m", "a.Dat"), Dir);
        ASSERT_TRUE(cli.WaitForErr("downloading"));
        WaitUntil([&] { return Server.TotalRequests() > 0; });  // transfers under way when the signal comes
        const auto start = Clock::now();
        cli.Signal(SIGINT);
        const TRun r = cli.Wait();
        std::printf("Ctrl-C to exit against a server that never answers: %lld ms\n", MsSince(start));
        EXPECT_EQ(r.Exit, 130) << r.Err;
        EXPECT_LT(MsSince(start), 20000) << "a transfer of 600 s was waited for";
    }
    WriteSettings("TRANSFER_TIMEOUT=0.4\r\n");
    const auto start = Clock::now();
    const TRun dead = RunCli(Generate("10", "m", "a.Dat"), Dir);
    std::printf("run against a dead service (0.4 s time-outs) stopped after %lld ms\n", MsSince(start));
    EXPECT_EQ(dead.Exit, 3) << dead.Err;
    EXPECT_NE(dead.Err.find("the tile service at 127.0.0.1 is not answering"), std::string::npos) << dead.Err;
    EXPECT_FALSE(fs::exists(Dir / "a.Dat"));
}

// Two runs over the same area share one cache: tiles the other run saved
// first still count, so both end and both files are whole.
TEST_F(CliSlowRunTest, OverlappingRunsBothFinish) {
    TCliChild a(Generate("10-11", "m", "a.Dat"), Dir, "a");
    TCliChild b(Generate("10-11", "m", "b.Dat"), Dir, "b");
    const TRun ra = a.Wait(), rb = b.Wait();
    ASSERT_EQ(ra.Exit, 0) << ra.Err;
    ASSERT_EQ(rb.Exit, 0) << rb.Err;
    EXPECT_EQ(Slurp(Dir / "a.Dat"), Slurp(Dir / "b.Dat"));
}

// Ctrl-C while the file is written: nothing is written, the old file stays,
// no temporary file is left. Leftovers of dead processes go at the next run;
// a cached GIF, which nothing could show, is fetched again rather than written blank.
TEST_F(CliSlowRunTest, InterruptedWritingLeftoversAndBlankTiles) {
    ASSERT_EQ(RunCli(Generate("10-12", "m,s", "first.Dat"), Dir).Exit, 0);
    std::ofstream(Dir / "out.Dat") << "the user's old file";
    TCliChild cli(Generate("10-12", "m,s", "out.Dat"), Dir);
    ASSERT_TRUE(cli.WaitForErr("writing"));
    cli.Signal(SIGINT);
    const TRun r = cli.Wait();
    EXPECT_EQ(r.Exit, 130) << r.Err;
    EXPECT_EQ(Slurp(Dir / "out.Dat"), "the user's old file");
    EXPECT_EQ(Count(Dir.Path(), ".tmp"), 0);

    // Leftovers of a process that is gone, and one of a live process (this test).
    const std::string deadPid = "999999";
    for (const fs::path& f : {Dir / (".out.Dat.atlaspocket-" + deadPid + "-0.tmp"),
                              fs::path(Cache()) / (".m_10-1-1.gif.atlaspocket-" + deadPid + "-3.tmp"),
                              fs::path(Cache()) / (".m_10-1-2.gif." + deadPid + ".0.tmp"),
                              fs::path(Cache()) / (".m_10-1-3.gif.atlaspocket-" + std::to_string(::getpid()) + "-0.tmp")})
        std::ofstream(f) << "partial";
    // A GIF an earlier version cached: it cannot be shown, so it is fetched again, not written blank.
    const int asked = Server.Attempts("s", 10, 863, 380);
    std::ofstream(fs::path(Cache()) / TTileCache::TileFileName({TMapType::Satellite, 10, 863, 380}), std::ios::binary)
        << std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13);
    const TRun blank = RunCli(Generate("10", "m,s", "out.Dat"), Dir);
    ASSERT_EQ(blank.Exit, 0) << blank.Err;
    EXPECT_EQ(Count(Dir.Path(), ".tmp"), 0);
    EXPECT_EQ(Count(Cache(), ".tmp"), 1) << "the live process's file stays";
    EXPECT_NE(blank.Err.find("1 cached tiles no longer decode; fetching them again"), std::string::npos) << blank.Err;
    EXPECT_EQ(blank.Out.find("blank"), std::string::npos) << blank.Out;
    EXPECT_EQ(Server.Attempts("s", 10, 863, 380), asked + 1);
    const TRun inspect = RunCli({"inspect", (Dir / "out.Dat").string()}, Dir);
    EXPECT_NE(inspect.Out.find("25 entries (0 blank)"), std::string::npos) << inspect.Out;
}

// SIGKILL at several moments of the downloads and of the writing: no tile name
// ever holds a partial image, no map data file is partial, an existing one is
// kept, and the next run removes the leftovers and fetches only what is missing.
TEST_F(CliSlowRunTest, KilledRunsLeaveNothingHalfWritten) {
    for (const auto delay : {150ms, 400ms, 700ms}) {
        TCliChild cli(Generate("10-11", "m,s", "a.Dat"), Dir);
        ASSERT_TRUE(cli.WaitForErr("downloading"));
        std::this_thread::sleep_for(delay);
        cli.Signal(SIGKILL);
        EXPECT_EQ(cli.Wait().Exit, 128 + SIGKILL);
        EXPECT_EQ(UndecodableTiles(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(Dir / "a.Dat"));
    }
    int cached = 0;
    for (const auto& e : fs::directory_iterator(Cache())) cached += e.path().extension() == ".gif";
    const long before = Server.TotalRequests();
    const TRun rerun = RunCli(Generate("10-11", "m,s", "a.Dat"), Dir);
    ASSERT_EQ(rerun.Exit, 0) << rerun.Err;
    EXPECT_EQ(Server.TotalRequests() - before, 2 * (25 + 169) - cached) << "only the missing tiles are fetched";
    EXPECT_EQ(Count(Cache(), ".tmp"), 0);

    const std::string file = Slurp(Dir / "a.Dat");
    for (const auto delay : {0ms, 30ms, 120ms}) {
        TCliChild cli(Generate("10-11", "m,s", "a.Dat"), Dir);
        ASSERT_TRUE(cli.WaitForErr("writing"));
        std::this_thread::sleep_for(delay);
        cli.Signal(SIGKILL);
        cli.Wait();
        EXPECT_EQ(Slurp(Dir / "a.Dat"), file) << "the existing file is kept byte for byte";
    }
    const TRun last = RunCli(Generate("10-11", "m,s", "a.Dat"), Dir);
    ASSERT_EQ(last.Exit, 0) << last.Err;
    EXPECT_EQ(Count(Dir.Path(), ".tmp"), 0) << "the next run removed the killed writers' files";
    EXPECT_EQ(Slurp(Dir / "a.Dat"), file);
}

// Tiles are saved without a sync each, so a power cut may leave a cached file
// truncated, zeroed or gone: behind the program's back each is made so, and
// the next run fetches exactly those again and writes no blank tile.
TEST_F(CliRunTest, TilesTornByAPowerCutAreFetchedAgain) {
    ASSERT_EQ(RunCli(Generate("10", "m", "a.Dat"), Dir).Exit, 0);
    const auto path = [&](int x, int y) { return fs::path(Cache()) / TTileCache::TileFileName({TMapType::Road, 10, x, y}); };
    const std::vector<std::pair<int, int>> torn = {{863, 379}, {864, 380}, {865, 381}, {862, 378}};
    fs::resize_file(path(863, 379), fs::file_size(path(863, 379)) / 2);
    fs::resize_file(path(864, 380), 0);
    const auto size = fs::file_size(path(865, 381));
    std::ofstream(path(865, 381), std::ios::binary | std::ios::trunc) << std::string(size, '\0');
    fs::remove(path(862, 378));
    std::map<std::pair<int, int>, int> asked;
    for (const auto& [x, y] : torn) asked[std::pair(x, y)] = Server.Attempts("m", 10, x, y);
    const long before = Server.TotalRequests();

    const TRun run = RunCli(Generate("10", "m", "a.Dat"), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Err.find("3 cached tiles no longer decode; fetching them again"), std::string::npos) << run.Err;
    for (const auto& [x, y] : torn) EXPECT_EQ(Server.Attempts("m", 10, x, y), asked[std::pair(x, y)] + 1) << x << "," << y;
    EXPECT_EQ(Server.TotalRequests() - before, 4) << "nothing else is asked";
    EXPECT_EQ(UndecodableTiles(), std::vector<std::string>{});
    EXPECT_EQ(run.Out.find("blank"), std::string::npos) << run.Out;
    const TRun inspect = RunCli({"inspect", (Dir / "a.Dat").string()}, Dir);
    EXPECT_NE(inspect.Out.find("25 entries (0 blank)"), std::string::npos) << inspect.Out;
}

// Services on a bad day. Each row: a fault of every request, and what the run
// makes of it; the figures printed are the times asked for in reviews.
TEST_F(CliRunTest, AServiceAskingToWaitIsWaitedForWithoutUsingAttempts) {
    // Restarting: 503 with Retry-After: 1 for its first two seconds.
    Server.SetFault("*/*/*/*=retryafter:1~2000");
    auto start = Clock::now();
    const TRun restart = RunCli(Generate("10", "m", "a.Dat"), Dir);
    const long long restartMs = MsSince(start);
    ASSERT_EQ(restart.Exit, 0) << restart.Err;
    EXPECT_GE(restartMs, 1000) << "Retry-After: 1 was not honoured";
    EXPECT_NE(restart.Err.find("paused by the tile service for 1 s"), std::string::npos) << restart.Err;

    // Rate limiting: 429 with Retry-After: 2 on each tile's first request.
    Server.Reset();
    fs::remove_all(Cache());
    Server.SetFault("*/*/*/*=ratelimit:2#1");
    start = Clock::now();
    const TRun limited = RunCli(Generate("10", "m", "b.Dat"), Dir);
    const long long limitedMs = MsSince(start);
    ASSERT_EQ(limited.Exit, 0) << limited.Err;
    EXPECT_GE(limitedMs, 2000) << "Retry-After: 2 was not honoured";
    EXPECT_EQ(Server.TotalRequests(), 50) << "each tile is asked twice, no attempt is wasted";
    std::printf("restarting service: written after %lld ms; rate-limited service: 50 requests in %lld ms\n", restartMs,
                limitedMs);
}

TEST_F(CliRunTest, ABanStopsTheRunEarlyNamingTheServiceAndTheStatus) {
    Server.SetFault("*/*/*/*=refuseafter:5");
    const TRun run = RunCli(Generate("10", "m", "a.Dat"), Dir);
    EXPECT_EQ(run.Exit, 4) << run.Err;
    EXPECT_NE(run.Err.find("the tile service at 127.0.0.1 refuses access (HTTP 403"), std::string::npos) << run.Err;
    EXPECT_FALSE(fs::exists(Dir / "a.Dat"));
    const long after = Server.TotalRequests() - 5;
    std::printf("requests sent after the first refusal: %ld\n", after);
    // Six connections may each have one under way and a few retries due; never the 60 of before.
    EXPECT_LE(after, 15);
    EXPECT_NE(RunCli({"generate", "--help"}, Dir).Out.find("4 the tile service refuses access"), std::string::npos);
}

TEST_F(CliRunTest, OnlyPicturesOfATileAreCachedOrWritten) {
    for (const char* fault : {"bigpng:30000", "picture:300"}) {
        SCOPED_TRACE(fault);
        Server.Reset();
        Server.SetFault(std::string("*/*/*/*=") + fault);
        const TRun run = RunCli(Generate("10", "m", "a.Dat"), Dir);
        EXPECT_EQ(run.Exit, 3) << run.Err;
        const std::string side = fault[0] == 'b' ? "30000" : "300";
        EXPECT_NE(run.Err.find("picture " + side + "×" + side), std::string::npos) << run.Err;
        EXPECT_FALSE(fs::exists(Dir / "a.Dat"));
        EXPECT_EQ(Count(Cache(), ".gif"), 0);
    }
}

// A "blocked" picture of a tile's size served for every tile: the run says so,
// inspect says so, and once its digest is a PLACEHOLDER_M it is refused.
TEST_F(CliRunTest, OnePictureForEveryTileIsReportedAndRefusedOnceNamed) {
    Server.SetFault("*/*/*/*=picture:256");
    const TRun run = RunCli(Generate("10", "m", "a.Dat"), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const std::string said = "warning: type m: 25 of 25 tiles are byte-identical (SHA-256 ";
    const auto at = run.Out.find(said);
    ASSERT_NE(at, std::string::npos) << run.Out;
    const std::string digest = run.Out.substr(at + said.size(), 64);
    EXPECT_NE(run.Out.find("perhaps the tile service's placeholder picture"), std::string::npos) << run.Out;
    const TRun inspect = RunCli({"inspect", (Dir / "a.Dat").string()}, Dir);
    EXPECT_NE(inspect.Out.find("same images:   type m: 25 of 25 tiles are byte-identical"), std::string::npos)
        << inspect.Out;

    fs::remove_all(Cache());
    WriteSettings("[ATLAS_SOURCE]\r\nPLACEHOLDER_M=" + digest + "\r\n");
    const TRun named = RunCli(Generate("10", "m", "b.Dat"), Dir);
    EXPECT_EQ(named.Exit, 3) << named.Err;
    EXPECT_NE(named.Err.find("HTTP 200, placeholder picture"), std::string::npos) << named.Err;
    EXPECT_FALSE(fs::exists(Dir / "b.Dat"));
}

// The cache on a 2 MB file system (a tmpfs in a user namespace of its own):
// the first full write stops the run, naming the folder, the reason and the
// space still needed.
TEST_F(CliRunTest, AFullCacheStopsTheRunAtTheFirstFailedWrite) {
    fs::create_directories(Cache());
    const std::vector<std::string> launcher{
        "unshare", "-rm", "sh", "-c", "mount -t tmpfs -o size=2m tmpfs \"$0\" && exec \"$@\"", Cache()};
    if (RunCli({"--version"}, Dir).Exit != 0 ||
        TCliChild({"--version"}, Dir, "probe", launcher).Wait().Exit != 0)
        GTEST_SKIP() << "no user namespace with a tmpfs here";
    TCliChild cli(Generate("10-12", "m", "a.Dat"), Dir, "full", launcher);
    const TRun run = cli.Wait();
    EXPECT_EQ(run.Exit, 5) << run.Err;
    EXPECT_NE(run.Err.find("cannot write into the cache folder " + Cache().substr(0, Cache().size() - 1) +
                           ": No space left on device; the plan still needs about"),
              std::string::npos)
        << run.Err;
    EXPECT_FALSE(fs::exists(Dir / "a.Dat"));
    // The message counts the tiles still missing; those saved filled the 2 MB.
    const auto at = run.Err.find(" for ");
    ASSERT_NE(at, std::string::npos);
    const long saved = 1035 - std::atol(run.Err.c_str() + at + 5);
    const long after = Server.TotalRequests() - saved - 1;
    std::printf("%ld tiles saved; requests sent after the first failed write: %ld\n", saved, after);
    EXPECT_LE(after, 15);
}

namespace {

std::string FileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every cached tile's bytes by file name.
std::map<std::string, std::string> CachedTiles(const std::string& cache) {
    std::map<std::string, std::string> tiles;
    for (const auto& e : fs::directory_iterator(cache))
        if (e.path().extension() == ".gif") tiles[e.path().filename().string()] = FileBytes(e.path());
    return tiles;
}

std::vector<std::string> WithFlags(std::vector<std::string> args, std::initializer_list<const char*> flags) {
    args.insert(args.end(), flags.begin(), flags.end());
    return args;
}

}  // namespace

// --max-age 0 asks every cached tile again with its validators: unchanged
// tiles cost a 304 and the file stays byte for byte; after the service
// updates two tiles exactly those two are replaced.
TEST_F(CliRunTest, ExpiredTilesAreRevalidatedAndOnlyChangedOnesReplaced) {
    ASSERT_EQ(RunCli(Generate("10", "m", "a.Dat"), Dir).Exit, 0);
    const auto before = CachedTiles(Cache());
    const long first = Server.TotalRequests();
    ASSERT_GT(first, 2);

    Server.Reset();
    TRun run = RunCli(WithFlags(Generate("10", "m", "b.Dat"), {"--max-age", "0"}), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("tiles expired:     " + std::to_string(first)), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("downloaded: 0, revalidated unchanged: " + std::to_string(first) + ", updated: 0"),
              std::string::npos) << run.Out;
    EXPECT_EQ(Server.ConditionalRequests(), first);
    EXPECT_EQ(Server.NotModifiedAnswers(), first);
    EXPECT_EQ(FileBytes(Dir / "a.Dat"), FileBytes(Dir / "b.Dat"));

    // Two tiles of the plan get a new edition.
    std::vector<std::string> changed;
    for (const auto& [name, bytes] : before) {
        const TTileId t = *ParseTileFileName(name);
        if (changed.size() < 2) {
            changed.push_back(name);
            Server.NewEdition("m/" + std::to_string(t.Zoom) + "/" + std::to_string(t.X) + "/" + std::to_string(t.Y));
        }
    }
    run = RunCli(WithFlags(Generate("10", "m", "c.Dat"), {"--max-age", "0"}), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("revalidated unchanged: " + std::to_string(first - 2) + ", updated: 2, kept stale: 0"),
              std::string::npos) << run.Out;
    const auto after = CachedTiles(Cache());
    ASSERT_EQ(after.size(), before.size());
    std::vector<std::string> differing;
    for (const auto& [name, bytes] : after)
        if (before.at(name) != bytes) differing.push_back(name);
    EXPECT_EQ(differing, changed);
    EXPECT_NE(FileBytes(Dir / "b.Dat"), FileBytes(Dir / "c.Dat"));

    // Without asking, nothing is sent at all.
    Server.Reset();
    run = RunCli(WithFlags(Generate("10", "m", "d.Dat"), {"--no-refresh"}), Dir);
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(Server.TotalRequests(), 0);
}

// A service that fails every request cannot make a run over a cached area fail.
TEST_F(CliRunTest, ADownServiceLeavesExpiredTilesServingAsCached) {
    ASSERT_EQ(RunCli(Generate("10", "m", "a.Dat"), Dir).Exit, 0);
    const long tiles = Server.TotalRequests();
    Server.SetFault("*/*/*/*=status:500");
    const TRun run = RunCli(WithFlags(Generate("10", "m", "b.Dat"), {"--max-age", "0"}), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("kept stale: " + std::to_string(tiles)), std::string::npos) << run.Out;
    EXPECT_NE(run.Err.find("expired tiles could not be asked again and serve as cached (HTTP 500"), std::string::npos)
        << run.Err;
    EXPECT_EQ(FileBytes(Dir / "a.Dat"), FileBytes(Dir / "b.Dat"));
}

// Tiles cached before the index existed count as fetched at their file time,
// without validators: a source whose tiles expire asks them again plainly.
TEST_F(CliRunTest, TilesCachedBeforeTheIndexAgeByTheirFileTime) {
    ASSERT_EQ(RunCli(Generate("10", "m", "a.Dat"), Dir).Exit, 0);
    const long tiles = Server.TotalRequests();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(Cache() + "freshness.sqlite" + suffix);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 40);
    for (const auto& e : fs::directory_iterator(Cache()))
        if (e.path().extension() == ".gif") fs::last_write_time(e.path(), old);
    WriteSettings("[ATLAS_SOURCE]\r\nMAX_AGE_DAYS_M=30\r\n");

    Server.Reset();
    const TRun run = RunCli(Generate("10", "m", "b.Dat"), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("tiles expired:     " + std::to_string(tiles)), std::string::npos) << run.Out;
    // Without validators the service sends the same picture, which is not written again.
    EXPECT_NE(run.Out.find("downloaded: 0, revalidated unchanged: " + std::to_string(tiles)), std::string::npos)
        << run.Out;
    EXPECT_EQ(Server.ConditionalRequests(), 0);
    EXPECT_EQ(FileBytes(Dir / "a.Dat"), FileBytes(Dir / "b.Dat"));
}

// --json: one object on stdout at the end, the run's other lines on stderr;
// also when the run stops, with its exit code and reason.
TEST_F(CliRunTest, JsonReportsTheRunsCountsAndItsStop) {
    ASSERT_EQ(RunCli(Generate("10", "m", "a.Dat"), Dir).Exit, 0);
    const long tiles = Server.TotalRequests();
    TRun run = RunCli(WithFlags(Generate("10", "m", "b.Dat"), {"--max-age", "0", "--json"}), Dir);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    auto j = nlohmann::json::parse(run.Out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.Out;
    EXPECT_EQ(j["exitCode"], 0);
    EXPECT_EQ(j["written"], nlohmann::json::array({(Dir / "b.Dat").string()}));
    EXPECT_EQ(j["tiles"], (nlohmann::json{{"total", tiles}, {"fromCache", 0}, {"downloaded", 0}, {"unchanged", tiles},
                                          {"updated", 0}, {"keptStale", 0}, {"failed", 0}}));
    EXPECT_EQ(j["stop"], nullptr);
    EXPECT_NE(run.Err.find("revalidated unchanged: " + std::to_string(tiles)), std::string::npos) << run.Err;

    Server.SetFault("*/*/*/*=status:403");
    run = RunCli(WithFlags(Generate("11", "m", "c.Dat"), {"--json"}), Dir);
    EXPECT_EQ(run.Exit, 4) << run.Err;
    j = nlohmann::json::parse(run.Out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.Out;
    EXPECT_EQ(j["exitCode"], 4);
    EXPECT_EQ(j["written"], nlohmann::json::array());
    EXPECT_EQ(j["stop"]["reason"], "accessRefused");
    EXPECT_NE(j["stop"]["message"].get<std::string>().find("refuses access (HTTP 403"), std::string::npos) << run.Out;
}
