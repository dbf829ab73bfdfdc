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
#include "WorkerTestSupport.h"
#include "TileCache.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class GenWorkerPoolTest : public TWorkerTest {
protected:
    TGenWorkerPool Pool{&Notices, Cache.DirString(), Server->Config()};
};

}  // namespace

TEST_F(GenWorkerPoolTest, CachedAndOutOfGridTilesNeedNoWorker) {
    { std::ofstream(PathOf("p", 9, 10, 11)) << "cached"; }
    EXPECT_TRUE(Pool.RequestGenTile(9, 10, 11, "p"));
    const int outside[][3] = {{5, -1, 0}, {5, 0, -1}, {5, 32, 0}, {5, 0, 32}, {17, 131072, 5}, {0, 1, 0}};
    for (const auto& t : outside) EXPECT_TRUE(Pool.RequestGenTile(t[0], t[1], t[2], "m")) << t[0] << "/" << t[1] << "/" << t[2];
    EXPECT_EQ(Pool.WorkerCount(), 0);
    EXPECT_EQ(Server->TotalRequests(), 0);
    // The last in-grid tile is still fetched.
    EXPECT_FALSE(Pool.RequestGenTile(5, 31, 31, "m"));
    ASSERT_TRUE(Notices.Take(30s));
    EXPECT_EQ(Server->Attempts("m", 5, 31, 31), 1);
}

TEST_F(GenWorkerPoolTest, FiveWorkersThenTheLeastBusyEarliestFirst) {
    // Downloads that outlast the test keep every worker busy while the queue is filled.
    Server->SetFault("*/*/*/*=slowbody:600000");
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(Pool.RequestGenTile(10, i, 0, "s"));
        EXPECT_EQ(Pool.WorkerCount(), i + 1);
    }
    // Each worker has taken its own tile, and its request has reached the server.
    ASSERT_TRUE(WaitUntil([&] {
        int pending = 0;
        for (int i = 0; i < 5; ++i) pending += Pool.Worker(i)->PendingCount();
        return pending == 0 && Server->TotalRequests() >= 5;
    }));
    for (int i = 5; i < 12; ++i) EXPECT_FALSE(Pool.RequestGenTile(10, i, 0, "s"));
    EXPECT_EQ(Pool.WorkerCount(), 5);
    // Seven tiles over five equally busy workers: two rounds from the first.
    const int expected[] = {2, 2, 1, 1, 1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Pool.Worker(i)->PendingCount(), expected[i]) << i;

    const auto stopStart = std::chrono::steady_clock::now();
    Pool.StopGenWorkers();
    const auto stopTook = std::chrono::steady_clock::now() - stopStart;
    EXPECT_EQ(Pool.WorkerCount(), 0);
    // The five downloads under way were aborted, not waited for; nothing queued was fetched.
    EXPECT_LT(stopTook, 60s);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(fs::exists(PathOf("s", 10, i, 0))) << i;
    for (int i = 5; i < 12; ++i) EXPECT_EQ(Server->Attempts("s", 10, i, 0), 0) << i;
    EXPECT_EQ(Server->TotalRequests(), 5);
    EXPECT_EQ(Notices.Size(), 0u);
    // A new request starts a new pool.
    Server->Reset();
    EXPECT_FALSE(Pool.RequestGenTile(10, 20, 0, "s"));
    EXPECT_EQ(Pool.WorkerCount(), 1);
}

TEST_F(GenWorkerPoolTest, StopAbortsTheAttemptUnderWayAndRunsNoRetry) {
    // A failure that would come late, so that the stop comes while it is under way.
    Server->SetFault("m", 11, 1, 1, "slowfail:20000");
    EXPECT_FALSE(Pool.RequestGenTile(11, 1, 1, "m"));
    ASSERT_TRUE(WaitUntil([&] { return Server->Attempts("m", 11, 1, 1) >= 1; }));
    Pool.StopGenWorkers();  // joins the workers: nothing can retry after it
    EXPECT_EQ(Server->Attempts("m", 11, 1, 1), 1);
    EXPECT_FALSE(fs::exists(PathOf("m", 11, 1, 1)));
    EXPECT_EQ(Notices.Size(), 0u);
}

// Only failures, every worker at least twice, two time-outs' worth of time:
// the service is not answering. One success anywhere and it never is.
TEST_F(GenWorkerPoolTest, ServiceNotAnsweringNeedsOnlyFailuresOnEveryWorkerForTwoTimeOuts) {
    TDownloadLimits quick;
    quick.TransferTimeoutMs = 300;
    TGenWorkerPool dead(&Notices, Cache.DirString(), Server->Config(), quick);
    Server->SetFault("m/*/*/*=slowfail:60000");
    for (int x = 0; x < 7; ++x) EXPECT_FALSE(dead.RequestGenTile(12, x, 0, "m"));
    EXPECT_FALSE(dead.ServiceNotAnswering());
    EXPECT_TRUE(WaitUntil([&] { return dead.ServiceNotAnswering(); }));
    dead.StopGenWorkers();

    TGenWorkerPool alive(&Notices, Cache.DirString(), Server->Config(), quick);
    EXPECT_FALSE(alive.RequestGenTile(12, 0, 5, "s"));  // served normally
    for (int x = 1; x < 4; ++x) EXPECT_FALSE(alive.RequestGenTile(12, x, 0, "m"));
    ASSERT_TRUE(WaitUntil([&] { return alive.Worker(1)->FailedAttempts() >= 3 && alive.Worker(0)->SucceededAttempts() == 1; }));
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(alive.ServiceNotAnswering());
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
