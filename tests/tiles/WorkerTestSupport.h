// What the worker and pool tests share: one tile server per suite (reset
// before every test), a fresh cache directory and a notice queue per test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "AtlasThread.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileCache.h"

class TWorkerTest : public ::testing::Test {
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
        return (Cache.Path() / TTileCache::TileFileName({*ParseMapType(type), z, x, y})).string();
    }

    static inline TTestTileServer* Server = nullptr;
    TTempDir Cache;
    TNoticeQueue Notices;
};

// Polls until pred holds; false after a generous limit.
template <class Pred>
bool WaitUntil(Pred pred) {
    using namespace std::chrono_literals;
    for (auto deadline = std::chrono::steady_clock::now() + 30s; !pred(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}
