// The generation workers of a run: up to five TAtlasThread workers created on
// demand, each missing tile queued on the least-busy one. Owned by the map
// view (and by the CLI), which passes its notice target and cache directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AtlasThread.h"

class TGenWorkerPool {
public:
    static constexpr int MaxWorkers = 5;

    TGenWorkerPool(TNoticeTarget* notifyWindow, std::string cacheDir, TServerConfig server = Settings.Server,
                   TDownloadLimits limits = {});
    ~TGenWorkerPool();  // stops the workers

    // True when nothing needs downloading: the tile is cached, or lies outside
    // the grid of its zoom (the service has none). False when it was queued.
    bool RequestGenTile(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode,
                        const std::string& mapType = "m");
    // Empties the queues, waits until every worker is idle, destroys them in
    // creation order. Harmless without workers and when called twice.
    void StopGenWorkers();

    int WorkerCount() const { return int(GenWorkers.size()); }
    // For tests and progress displays.
    const TAtlasThread* Worker(int i) const { return GenWorkers.at(size_t(i)).get(); }

private:
    TNoticeTarget* NotifyWindow;
    std::string CacheDir;
    TServerConfig Server;
    TDownloadLimits Limits;
    std::vector<std::unique_ptr<TAtlasThread>> GenWorkers;
};
