// The download worker against the local tile server: what it sends, what it
// keeps, how it retries and how it ends.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "AtlasThread.h"
#include "RawHttpCapture.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "WorkerTestSupport.h"
#include "TileCache.h"
#include "TileFreshness.h"
#include "TileDigest.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto NoticeWait = 30s;

class AtlasThreadTest : public TWorkerTest {
protected:
    std::unique_ptr<TAtlasThread> NewWorker(TDownloadLimits limits = {}) {
        return std::make_unique<TAtlasThread>(&Notices, Cache.DirString(), Server->Config(), limits);
    }
    // The next notice, or an empty one (message 0) when none comes.
    TTileNotice Next() { return Notices.Take(NoticeWait).value_or(TTileNotice{}); }
};

}  // namespace

// Kept connections or not, the request is the same to the byte.
TEST_F(AtlasThreadTest, SendsExactlyTheFixedRequest) {
    for (bool keepAlive : {true, false}) {
        SCOPED_TRACE(keepAlive);
        TRawHttpCapture capture;
        TServerConfig config = Server->Config();
        config.Port = capture.Port();  // no [ATLAS_SOURCE] entries: today's request
        config.KeepAlive = keepAlive;
        TAtlasThread worker(&Notices, Cache.DirString(), config);
        worker.AddRequest(5, 1, 2);
        const auto request = capture.Captured(NoticeWait);
        ASSERT_TRUE(request);
        EXPECT_EQ(*request,
                  "GET /vt/lyrs=m@121&hl=zh-CN&x=1&y=2&z=5&s=Gali HTTP/1.1\r\n"
                  "Host: 127.0.0.1\r\n"
                  "Accept: image/gif,image/x-xbitmap,image/jpeg,image/pjpeg, */*\r\n"
                  "Accept-Encoding: gzip,deflate\r\n"
                  "Accept-Language: zh-cn\r\n"
                  "Referer: http://127.0.0.1\r\n"
                  "User-Agent: Mozilla/4.0 (compatible; MSTE 6.0; Windows NT 5.1; SV1; Maxthon)\r\n"
                  "Connection: Keep-Alive\r\n"
                  "Content-Type: application/x-www-form-urlencoded\r\n"
                  "\r\n");
        EXPECT_EQ(Next().Kind, TNoticeKind::TileSaved);
        fs::remove(PathOf("m", 5, 1, 2));
    }
}

// Each row: the answer to the first attempt at the second of three tiles, and
// the connection (numbered by first use) each attempt came on, in order
// t1, t2, t3 and the retry of t2 at the back.
TEST_F(AtlasThreadTest, KeepsItsConnectionUntilAnAttemptFails) {
    const struct { const char* Fault; bool KeepAlive; std::vector<int> Connections; } rows[] = {
        {nullptr, true, {1, 1, 1}},
        {"reset:300@1", true, {1, 1, 2, 3}},  // cut off
        {"html@1", true, {1, 1, 2, 3}},       // unusable body
        {"empty@1", true, {1, 1, 2, 3}},
        {nullptr, false, {1, 2, 3}},          // KEEP_ALIVE=0
        {"html@1", false, {1, 2, 3, 4}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.Fault ? row.Fault : "none") + (row.KeepAlive ? " kept" : " not kept"));
        Server->Reset();
        if (row.Fault) Server->SetFault("m", 10, 2, 0, row.Fault);
        TServerConfig config = Server->Config();
        config.KeepAlive = row.KeepAlive;
        {
            TAtlasThread worker(&Notices, Cache.DirString(), config);
            for (int x = 1; x <= 3; ++x) worker.AddRequest(10, x, 0);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(Next().Kind, TNoticeKind::TileSaved);
        }
        EXPECT_EQ(Server->RequestConnections(), row.Connections);
        for (const auto& entry : fs::directory_iterator(Cache.Path())) fs::remove(entry.path());
    }
}

TEST(AtlasThreadUrl, BuildsHostPortPathAndQuery) {
    const std::string query = "/vt/lyrs=s@121&hl=zh-CN&x=3412&y=1538&z=12&s=Gali";
    TServerConfig server;
    EXPECT_EQ(BuildTileUrl(server, 2, {TMapType::Satellite, 12, 3412, 1538}), "http://mt2.google.cn" + query);
    server.Port = 8080;
    EXPECT_EQ(BuildTileUrl(server, 0, {TMapType::Satellite, 12, 3412, 1538}), "http://mt0.google.cn:8080" + query);
    server.HostPattern = "127.0.0.1";
    server.Port = 5000;
    EXPECT_EQ(BuildTileUrl(server, 3, {TMapType::Satellite, 12, 3412, 1538}), "http://127.0.0.1:5000" + query);
    server.UrlTemplates[2] = "https://t{s:1-2}.example/{z}/{x}/{y}.jpg";
    EXPECT_EQ(BuildTileUrl(server, 3, {TMapType::Satellite, 12, 3412, 1538}), "https://t2.example/12/3412/1538.jpg");
    EXPECT_EQ(BuildTileUrl(server, 3, {TMapType::Road, 5, 1, 2}), "http://127.0.0.1:5000/vt/lyrs=m@121&hl=zh-CN&x=1&y=2&z=5&s=Gali");
}

TEST_F(AtlasThreadTest, CreatesTheCacheDirectoryAndSavesTheServedBodyByteForByte) {
    const fs::path dir = Cache.Path() / "a" / "FileMap";
    TAtlasThread worker(&Notices, dir.string() + "/", Server->Config());
    const std::string types[] = {"m", "p", "s", "y"};
    for (const std::string& t : types) worker.AddTypedRequest({*ParseMapType(t), 7, 100, 50});
    for (const std::string& t : types) {
        const TTileNotice notice = Next();
        EXPECT_EQ(notice.Kind, TNoticeKind::TileSaved);
        ASSERT_EQ(fs::path(notice.Path), dir / TTileCache::TileFileName({*ParseMapType(t), 7, 100, 50}));
        std::ifstream in(notice.Path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), Server->TileBody(t, 7, 100, 50)) << t;
    }
}

// Each row: what the server does on every request for one tile, and what the worker makes of it.
TEST_F(AtlasThreadTest, AnswersAreAcceptedOrRetriedByTheirBody) {
    const struct { const char* Fault; bool Saved; int Attempts; } rows[] = {
        {"html", false, 3},
        {"gzip", false, 3},
        {"garbage", false, 3},
        {"empty", false, 3},
        {"reset:300", false, 3},  // part of a PNG arrived before the connection broke
        {"pad:200000", false, 3},  // a valid image over the body size cap
        {"status404image", true, 1},
        {"redirect:3", true, 1},
        {"redirect:14", true, 1},  // fifteen requests in all
        {"redirect:15", false, 3},
        {"failfirst:2", true, 3},
        {"bigpng:30000", false, 3},  // a header claiming 30000 x 30000 pixels
        {"picture:300", false, 3},   // a picture, but not a tile's
        {"gif", false, 3},           // nothing here decodes GIF
    };
    TDownloadLimits limits;
    limits.MaxBodyBytes = 64 * 1024;
    limits.FirstRetryDelayMs = 10;
    auto worker = NewWorker(limits);
    int x = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Fault);
        Server->SetFault("m", 9, ++x, 1, row.Fault);
        worker->AddRequest(9, x, 1);
        const TTileNotice notice = Next();
        EXPECT_EQ(notice.Kind, row.Saved ? TNoticeKind::TileSaved : TNoticeKind::TileFailed);
        EXPECT_EQ(notice.Path, PathOf("m", 9, x, 1));
        if (std::string(row.Fault) == "bigpng:30000") EXPECT_EQ(FaultText(notice.Why), "HTTP 200, picture 30000×30000");
        if (std::string(row.Fault) == "picture:300") EXPECT_EQ(FaultText(notice.Why), "HTTP 200, picture 300×300");
        const auto saved = GetTileFileType(notice.Path);  // an error when no file is there
        EXPECT_EQ(saved && !saved->empty(), row.Saved);
        EXPECT_EQ(Server->Attempts("m", 9, x, 1), row.Attempts);
        // The next request finds it sometimes still finishing, sometimes asleep: no lost wake-up.
        EXPECT_TRUE(x % 2 || WaitUntil([&] { return TAtlasThreadProbe::IsIdle(*worker); }));
    }
    // Nothing but finished tiles and the cache's freshness index (with its
    // journal, written when its batch is due): no temporary file is left behind.
    for (const auto& entry : fs::directory_iterator(Cache.Path()))
        if (!entry.path().filename().string().starts_with(TFreshnessStore::FileName))
            EXPECT_EQ(entry.path().extension(), ".gif") << entry.path();
    EXPECT_EQ(Notices.Size(), 0u);
}

// A picture the settings name as the source's placeholder is a failed attempt, never a cached tile.
TEST_F(AtlasThreadTest, KnownPlaceholderPictureIsRefused) {
    Server->SetFault("m", 9, 1, 1, "picture:256");
    Server->SetFault("m", 9, 2, 1, "picture:256");
    TDownloadLimits limits;
    limits.FirstRetryDelayMs = 10;
    std::string digest;
    {
        auto plain = NewWorker(limits);
        plain->AddRequest(9, 1, 1);
        const TTileNotice saved = Next();
        ASSERT_EQ(saved.Kind, TNoticeKind::TileSaved);
        std::ifstream in(saved.Path, std::ios::binary);
        const std::string body(std::istreambuf_iterator<char>(in), {});
        digest = DigestHex(TileDigest(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    }
    for (char& c : digest) c = char(std::toupper(static_cast<unsigned char>(c)));  // either case names it
    TServerConfig config = Server->Config();
    config.Placeholders[0] = std::string(64, '0') + " , " + digest;
    TAtlasThread worker(&Notices, Cache.DirString(), config, limits);
    worker.AddRequest(9, 2, 1);
    const TTileNotice refused = Next();
    EXPECT_EQ(refused.Kind, TNoticeKind::TileFailed);
    EXPECT_EQ(FaultText(refused.Why), "HTTP 200, placeholder picture");
    EXPECT_EQ(Server->Attempts("m", 9, 2, 1), 3);
    EXPECT_FALSE(fs::exists(PathOf("m", 9, 2, 1)));
    worker.AddRequest(9, 3, 1);  // the map itself still arrives
    EXPECT_EQ(Next().Kind, TNoticeKind::TileSaved);
}

// Saved by someone else since it was queued: whoever waits for it hears of it, and nothing is fetched.
TEST_F(AtlasThreadTest, CachedTileIsNotRequestedButCountsAsArrived) {
    { std::ofstream(PathOf("m", 8, 4, 4)) << "not even an image"; }
    auto worker = NewWorker();
    worker->AddRequest(8, 4, 4);
    worker->AddRequest(8, 5, 5);
    const TTileNotice first = Next();
    EXPECT_EQ(first.Kind, TNoticeKind::TileSaved);
    EXPECT_EQ(first.Path, PathOf("m", 8, 4, 4));
    EXPECT_EQ(Next().Path, PathOf("m", 8, 5, 5));
    EXPECT_EQ(Server->Attempts("m", 8, 4, 4), 0);
}

TEST_F(AtlasThreadTest, RequestsRunInQueueOrderWithRetriesAtTheBack) {
    // A slow first tile holds the worker while the others are queued behind it.
    Server->SetFault("m", 12, 0, 0, "slowbody:600");
    Server->SetFault("m", 12, 1, 0, "failfirst:1");
    auto worker = NewWorker();
    for (int x = 0; x < 4; ++x) worker->AddRequest(12, x, 0);
    // Read only once all have come, the quick notices each carry their own path.
    ASSERT_TRUE(WaitUntil([&] { return Notices.Size() == 4; }));
    for (int x : {0, 2, 3, 1}) EXPECT_EQ(Next().Path, PathOf("m", 12, x, 0));
    EXPECT_EQ(Server->RequestOrder(),
              (std::vector<std::string>{"m/12/0/0", "m/12/1/0", "m/12/2/0", "m/12/3/0", "m/12/1/0"}));
}

// The download under way is aborted, not waited for: nothing is saved, retried
// or noticed, and the queued tile is dropped.
TEST_F(AtlasThreadTest, DestroyingDuringADownloadAbortsItAndDropsTheRest) {
    Server->SetFault("m", 14, 1, 1, "slowbody:20000");
    Server->SetFault("m", 14, 2, 1, "slowfail:20000");
    for (int x : {1, 2}) {
        SCOPED_TRACE(x);
        auto worker = NewWorker();
        worker->AddRequest(14, x, 1);
        worker->AddRequest(14, 9, 9);
        ASSERT_TRUE(WaitUntil([&] { return Server->Attempts("m", 14, x, 1) == 1; }));
        const auto start = std::chrono::steady_clock::now();
        worker.reset();
        const auto took = std::chrono::steady_clock::now() - start;
        std::printf("worker destroyed %lld ms into a 20 s answer\n",
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
        EXPECT_LT(took, 15s);
        EXPECT_EQ(Server->Attempts("m", 14, x, 1), 1);
        EXPECT_EQ(Server->Attempts("m", 14, 9, 9), 0);
        EXPECT_FALSE(fs::exists(PathOf("m", 14, x, 1)));
        EXPECT_EQ(Notices.Size(), 0u);
    }
}

TEST_F(AtlasThreadTest, UnusableCacheDirectoryFailsTheTileAndTheWorkerGoesOn) {
    { std::ofstream(Cache.Path() / "blocker") << "a file where the directory should be"; }
    TAtlasThread worker(&Notices, (Cache.Path() / "blocker" / "FileMap").string() + "/", Server->Config());
    worker.AddRequest(5, 1, 1);
    worker.AddRequest(5, 2, 2);
    EXPECT_EQ(Next().Kind, TNoticeKind::TileFailed);
    EXPECT_EQ(Next().Kind, TNoticeKind::TileFailed);
    EXPECT_EQ(Server->TotalRequests(), 0);
}

TEST(RetryDelay, DoublesFromTheFirstDelayUpToTheCapWithinItsJitter) {
    TDownloadLimits limits;
    limits.FirstRetryDelayMs = 500;
    limits.MaxRetryDelayMs = 3000;
    EXPECT_EQ(RetryDelay(limits, 1, 0.5), 500ms);
    EXPECT_EQ(RetryDelay(limits, 2, 0.5), 1000ms);
    EXPECT_EQ(RetryDelay(limits, 3, 0.5), 2000ms);
    EXPECT_EQ(RetryDelay(limits, 4, 0.5), 3000ms);
    EXPECT_EQ(RetryDelay(limits, 40, 0.5), 3000ms);
    EXPECT_EQ(RetryDelay(limits, 2, 0.0), 800ms);
    EXPECT_EQ(RetryDelay(limits, 2, 1.0), 1200ms);
}

TEST(RetryAfter, SecondsOrAnHttpDate) {
    EXPECT_EQ(ParseRetryAfter("2"), 2000ms);
    EXPECT_EQ(ParseRetryAfter("0"), 0ms);
    EXPECT_EQ(ParseRetryAfter("Wed, 21 Oct 2015 07:28:00 GMT"), 0ms);  // past: no wait
    const auto future = ParseRetryAfter("Fri, 31 Dec 2100 23:59:59 GMT");
    ASSERT_TRUE(future);
    EXPECT_GT(*future, std::chrono::hours(24 * 365));
    for (const char* bad : {"", "-1", "soon", "1.5"}) EXPECT_FALSE(ParseRetryAfter(bad)) << bad;
}

// A failed attempt waits before its tile is asked again, and a stop ends the wait at once.
TEST_F(AtlasThreadTest, RetriesWaitLongerEachTimeAndAStopEndsTheWait) {
    Server->SetFault("m", 11, 1, 1, "html");
    TDownloadLimits limits;
    limits.FirstRetryDelayMs = 200;
    auto worker = NewWorker(limits);
    const auto start = std::chrono::steady_clock::now();
    worker->AddRequest(11, 1, 1);
    EXPECT_EQ(Next().Kind, TNoticeKind::TileFailed);
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("three attempts with 200 ms and 400 ms between them took %lld ms\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    EXPECT_GE(took, 0.8 * (200ms + 400ms));
    EXPECT_EQ(Server->Attempts("m", 11, 1, 1), 3);

    limits.FirstRetryDelayMs = 600'000;
    worker = NewWorker(limits);
    worker->AddRequest(11, 1, 1);
    ASSERT_TRUE(WaitUntil([&] { return Server->Attempts("m", 11, 1, 1) == 4; }));
    const auto stopStart = std::chrono::steady_clock::now();
    worker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 5s);  // a hang guard; it takes milliseconds
    EXPECT_EQ(Notices.Size(), 0u);
}
