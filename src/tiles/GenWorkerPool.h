// The generation workers of a run: up to five TAtlasThread workers created on
// demand (the window's map view keeps the sixth connection), each missing tile
// queued on the least-busy one. Owned by the map view (and by the CLI, which
// has no map view and so may run six), which passes its notice target and
// cache directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AtlasThread.h"
#include "SourceGate.h"
#include "TileCache.h"

class TGenWorkerPool {
public:
    static constexpr int MaxWorkers = 5;

    // workerLimit: at most this many workers (at least one).
    TGenWorkerPool(TNoticeTarget* notifyWindow, std::string cacheDir, TServerConfig server,
                   TDownloadLimits limits = {}, int workerLimit = MaxWorkers);
    ~TGenWorkerPool();  // stops the workers

    // True when nothing needs downloading: the tile is cached and not expired, or lies outside
    // the grid of its zoom (the service has none). False when it was queued.
    bool RequestGenTile(const TTileId& tile);
    // The same for a type code; a code that is no map type queues nothing (true).
    bool RequestGenTile(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode);
    // Empties the queues, aborts the downloads under way and destroys the
    // workers in creation order; it never waits on the network. Harmless
    // without workers and when called twice.
    void StopGenWorkers();

    // True when the tile service looks dead rather than slow: since the pool
    // started, not one attempt has succeeded, every worker has failed at
    // least two attempts, and two transfer time-outs have passed. Against a
    // service that never answers that is two rounds of time-outs (about a
    // minute with the default limits). Once anything has arrived it stays false.
    bool ServiceNotAnswering() const;
    // Why the run must stop now: the service refuses access, the cache folder
    // takes no more tiles, or the service does not answer; None while it may
    // go on. The workers themselves send nothing more once the first two are
    // known.
    TRunStop StopReason() const;
    // Whole seconds the service asked the run to wait, 0 when it is not paused.
    int PausedSeconds() const { return Gate->PausedSeconds(); }

    int WorkerCount() const { return int(GenWorkers.size()); }
    // For tests and progress displays.
    const TAtlasThread* Worker(int i) const { return GenWorkers.at(size_t(i)).get(); }

private:
    TNoticeTarget* NotifyWindow;
    TServerConfig Server;
    TTileCache Cache;
    TDownloadLimits Limits;
    int WorkerLimit;
    std::shared_ptr<TSourceGate> Gate;  // created with the pool, shared by its workers
    std::vector<std::unique_ptr<TAtlasThread>> GenWorkers;
    std::chrono::steady_clock::time_point Started;  // creation of the first worker
};
