#include "GenWorkerPool.h"

#include <algorithm>
#include <chrono>

#include "Geometry.h"
#include "TileCache.h"

TGenWorkerPool::TGenWorkerPool(TNoticeTarget* notifyWindow, std::string cacheDir, TServerConfig server,
                               TDownloadLimits limits, int workerLimit)
    : NotifyWindow(notifyWindow),
      Server(std::move(server)),
      Cache(std::move(cacheDir), Server),
      Limits(limits),
      WorkerLimit(std::max(1, workerLimit)),
      Gate(std::make_shared<TSourceGate>(Server, Limits)) {}

TGenWorkerPool::~TGenWorkerPool() { StopGenWorkers(); }

bool TGenWorkerPool::RequestGenTile(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode) {
    const std::optional<TMapType> type = ParseMapType(typeCode);
    return !type || RequestGenTile({*type, zoom, x, y});
}

bool TGenWorkerPool::RequestGenTile(const TTileId& tile) {
    // The service has no tiles outside the grid; asking would only fail three times.
    if (!TileInGrid(tile.Zoom, tile.X, tile.Y)) return true;
    if (Cache.Freshness(tile) == TTileFreshness::Fresh) return true;

    if (int(GenWorkers.size()) < WorkerLimit) {
        if (GenWorkers.empty()) {
            // A new run: nothing of the last one's pauses, refusals or stop carries over.
            Started = std::chrono::steady_clock::now();
            Gate = std::make_shared<TSourceGate>(Server, Limits);
        }
        auto worker = std::make_unique<TAtlasThread>(NotifyWindow, Cache.Folder(), Server, Limits, Gate);
        worker->AddTypedRequest(tile);
        GenWorkers.push_back(std::move(worker));
        return false;
    }
    // Least busy; the strict comparison keeps the earliest created among equals.
    TAtlasThread* best = nullptr;
    int bestCount = 0;
    for (const auto& worker : GenWorkers) {
        const int count = worker->PendingCount();
        if (!best || count < bestCount) {
            best = worker.get();
            bestCount = count;
        }
    }
    best->AddTypedRequest(tile);
    return false;
}

void TGenWorkerPool::StopGenWorkers() {
    if (GenWorkers.empty()) return;
    // All aborted first, so the joins below overlap nothing slow.
    for (const auto& worker : GenWorkers) worker->Stop();
    while (!GenWorkers.empty()) {
        std::unique_ptr<TAtlasThread> worker = std::move(GenWorkers.front());
        GenWorkers.erase(GenWorkers.begin());
        worker.reset();
    }
    GenWorkers.shrink_to_fit();
}

bool TGenWorkerPool::ServiceNotAnswering() const {
    if (GenWorkers.empty()) return false;
    for (const auto& worker : GenWorkers)
        if (worker->SucceededAttempts() > 0 || worker->FailedAttempts() < 2) return false;
    return std::chrono::steady_clock::now() - Started >= std::chrono::milliseconds(2 * Limits.TransferTimeoutMs);
}

TRunStop TGenWorkerPool::StopReason() const {
    if (TRunStop stop = Gate->StopReason(); stop.Reason != TStopReason::None) return stop;
    if (ServiceNotAnswering()) return {TStopReason::ServiceNotAnswering, Server.HostPattern, 0, {}, {}};
    return {};
}
