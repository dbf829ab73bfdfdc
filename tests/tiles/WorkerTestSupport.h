// What the worker and pool tests share: one tile server per suite (reset
// before every test), a fresh cache directory and a notice queue per test.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "AtlasThread.h"
#include "TempDir.h"
#include "TestTileServer.h"
#include "TileCache.h"
#include "WaitUntil.h"

// What the tests see of a worker beyond its interface.
struct TAtlasThreadProbe {
    // Asleep on an empty queue (or not started yet).
    static bool IsIdle(const TAtlasThread& worker) {
        std::lock_guard lock(worker.RequestLock);
        return worker.Suspended;
    }
};

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
