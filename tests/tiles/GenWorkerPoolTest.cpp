// The generation worker pool: which tiles need a worker, how tiles spread
// over at most five workers, and how the pool stops.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "GenWorkerPool.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileCache.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class GenWorkerPoolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitDownloads();
        Server = new TTestTileServer();
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override { Server->Reset(); }

    std::string PathOf(const std::string& type, int z, int x, int y) const {
        return (Cache.Path() / TileFileName(type, z, x, y)).string();
    }

    static TTestTileServer* Server;
    TTempDir Cache;
    TNoticeQueue Notices;
    TGenWorkerPool Pool{&Notices, Cache.DirString(), Server->Config()};
};

TTestTileServer* GenWorkerPoolTest::Server = nullptr;

}  // namespace

TEST_F(GenWorkerPoolTest, CachedTileNeedsNoWorker) {
    { std::ofstream(PathOf("p", 9, 10, 11)) << "cached"; }
    EXPECT_TRUE(Pool.RequestGenTile(9, 10, 11, "p"));
    EXPECT_EQ(Pool.WorkerCount(), 0);
    EXPECT_EQ(Server->TotalRequests(), 0);
}

TEST_F(GenWorkerPoolTest, TilesOutsideTheGridAreNeverRequested) {
    struct TRow {
        int Zoom, X, Y;
    };
    const TRow rows[] = {{5, -1, 0}, {5, 0, -1}, {5, 32, 0}, {5, 0, 32}, {17, 131072, 5}, {0, 1, 0}};
    for (const TRow& r : rows) EXPECT_TRUE(Pool.RequestGenTile(r.Zoom, r.X, r.Y, "m")) << r.Zoom << "/" << r.X << "/" << r.Y;
    EXPECT_EQ(Pool.WorkerCount(), 0);
    // The last in-grid tiles are still fetched.
    EXPECT_FALSE(Pool.RequestGenTile(5, 31, 31, "m"));
    ASSERT_TRUE(Notices.Take(30s));
    EXPECT_EQ(Server->TotalRequests(), 1);
}

TEST_F(GenWorkerPoolTest, FiveWorkersThenTheLeastBusyEarliestFirst) {
    // Slow downloads keep every worker busy while the queue is filled.
    Server->SetFault("*/*/*/*=slowbody:1500");
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(Pool.RequestGenTile(10, i, 0, "s", "y"));
        EXPECT_EQ(Pool.WorkerCount(), i + 1);
    }
    EXPECT_EQ(Pool.Worker(0)->TypeCode, "y");
    // Each worker has taken its own tile.
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 5; ++i)
            if (Pool.Worker(i)->PendingCount() != 0) return false;
        return true;
    }));
    for (int i = 5; i < 12; ++i) EXPECT_FALSE(Pool.RequestGenTile(10, i, 0, "s"));
    EXPECT_EQ(Pool.WorkerCount(), 5);
    // Seven tiles over five equally busy workers: two rounds from the first.
    const int expected[] = {2, 2, 1, 1, 1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Pool.Worker(i)->PendingCount(), expected[i]) << i;

    Pool.StopGenWorkers();
    EXPECT_EQ(Pool.WorkerCount(), 0);
    // The five downloads under way were finished; nothing queued was fetched afterwards.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(fs::exists(PathOf("s", 10, i, 0))) << i;
    for (int i = 5; i < 12; ++i) EXPECT_EQ(Server->Attempts("s", 10, i, 0), 0) << i;
    const long total = Server->TotalRequests();
    EXPECT_EQ(total, 5);
    // A new request starts a new pool.
    Server->Reset();
    EXPECT_FALSE(Pool.RequestGenTile(10, 20, 0, "s"));
    EXPECT_EQ(Pool.WorkerCount(), 1);
}

TEST_F(GenWorkerPoolTest, StopWaitsForRetriesOfTheDownloadUnderWay) {
    // A slow first failure, so that the stop comes while it is under way.
    Server->SetFault("m", 11, 1, 1, "failfirst:2");
    Server->SetFault("m", 11, 1, 1, "slowfail:500@1");
    EXPECT_FALSE(Pool.RequestGenTile(11, 1, 1, "m"));
    ASSERT_TRUE(WaitUntil([&] { return Server->Attempts("m", 11, 1, 1) >= 1; }));
    Pool.StopGenWorkers();
    // Whatever attempt was under way, its retries were served before the worker went.
    const int attempts = Server->Attempts("m", 11, 1, 1);
    EXPECT_EQ(attempts, 3);
    EXPECT_TRUE(fs::exists(PathOf("m", 11, 1, 1)));
}

TEST_F(GenWorkerPoolTest, StopWithoutPoolAndTwiceIsHarmless) {
    Pool.StopGenWorkers();
    EXPECT_EQ(Pool.WorkerCount(), 0);
    EXPECT_FALSE(Pool.RequestGenTile(12, 1, 1, "m"));
    ASSERT_TRUE(Notices.Take(30s));
    Pool.StopGenWorkers();
    Pool.StopGenWorkers();
    EXPECT_EQ(Pool.WorkerCount(), 0);
    EXPECT_EQ(Server->TotalRequests(), 1);
}

TEST(GenWorkerPoolLifetime, DestructorStopsTheWorkers) {
    InitDownloads();
    TTestTileServer server;
    server.SetFault("*/*/*/*=slowbody:400");
    TTempDir cache;
    TNoticeQueue notices;
    {
        TGenWorkerPool pool(&notices, cache.DirString(), server.Config());
        for (int i = 0; i < 8; ++i) pool.RequestGenTile(13, i, 0, "m");
        ASSERT_TRUE(WaitUntil([&] { return server.TotalRequests() >= 1; }));
    }
    // At most the first tile of each worker was fetched; the queued ones were dropped.
    EXPECT_LE(server.TotalRequests(), 5);
    for (int i = 5; i < 8; ++i) EXPECT_EQ(server.Attempts("m", 13, i, 0), 0) << i;
}
