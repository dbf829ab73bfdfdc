#include "GenerationRun.h"

#include <algorithm>

#include "Rectify.h"

TRunStatus StatusOfStop(TStopReason reason) {
    switch (reason) {
    case TStopReason::None: break;
    case TStopReason::ServiceNotAnswering: return TRunStatus::ServiceDead;
    case TStopReason::AccessRefused: return TRunStatus::AccessRefused;
    case TStopReason::CacheWriteFailed: return TRunStatus::CacheFull;
    }
    return TRunStatus::Downloading;
}

bool IsEarlyStop(TRunStatus status) { return status >= TRunStatus::Cancelled; }

TRateFigures TRateClock::Figures(std::int64_t done, std::int64_t total, TClock::time_point now) const {
    TRateFigures f{done, total};
    const double secs = std::chrono::duration<double>(now - Started).count();
    // A rate over the first fifth of a second is noise, a huge one at that.
    if (secs > 0.2) f.PerSecond = double(done - Baseline) / secs;
    if (f.PerSecond > 0) f.SecondsLeft = double(total - done) / f.PerSecond;
    return f;
}

void TGenerationRun::TakeSnapshot(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas) {
    Clear();
    Params = params;
    Snapshot = SnapshotHeader(params, deltas);
}

void TGenerationRun::Build(TDeltaPair viewPair) {
    Clear();
    Plan.Build(Params, viewPair, Snapshot);
    State = TRunStatus::Downloading;
}

void TGenerationRun::RequestTiles(const TRequest& request) {
    for (const TMapType type : AllMapTypes) {
        const auto& list = Plan.List(type);
        for (std::size_t i = 0; i < list.size(); ++i)
            if (request(list[i].Id())) TileCached(type, i);
    }
    // Tiles found in the cache arrive at once and would inflate the rate.
    Rate.Start(Figures().Done);
}

void TGenerationRun::RequestAgain(const std::vector<TTileId>& tiles, const TRequest& request) {
    for (const TTileId& tile : tiles) {
        Plan.MarkTilePending(tile);
        Failed.erase(tile);
    }
    if (State != TRunStatus::Closing) State = TRunStatus::Downloading;
    for (const TTileId& tile : tiles)
        if (request(tile)) TileArrived(tile, TTileOutcome::Cached);
    Rate.Start(Figures().Done);
}

bool TGenerationRun::HandleNotice(const TTileNotice& notice) {
    if (State != TRunStatus::Downloading) return false;
    if (notice.Kind == TNoticeKind::TileFailed) {
        // Tiles the pool refused once it had stopped failed nowhere: the
        // stop's own reason is reported, and the count stays what arrived.
        if (notice.Why.Kind == TFaultKind::RunStopped) return false;
        return TileFailed(notice.Tile, notice.Why);
    }
    if (notice.Kind != TNoticeKind::TileSaved || !TileArrived(notice.Tile, notice.Outcome)) return false;
    if (notice.Outcome == TTileOutcome::KeptStale) LastStaleWhy = notice.Why;
    return true;
}

void TGenerationRun::Stop(TRunStatus why, const TRunStop& detail) {
    if (State == TRunStatus::Idle || State == TRunStatus::Closing) return;
    // The first reason a download ended early is the one reported.
    if (IsEarlyStop(State) && why != TRunStatus::Closing) return;
    State = why;
    if (detail.Reason != TStopReason::None) StopRecord = detail;
}

TRunStatus TGenerationRun::EndDownload(const TTileCache& cache) {
    if (State == TRunStatus::ServiceDead) {
        KeepCachedAsStale(cache);
        if (Outstanding() == 0) State = TRunStatus::Downloading;
    }
    if (State == TRunStatus::Downloading && Outstanding() == 0)
        State = AllArrived() ? TRunStatus::Downloaded : TRunStatus::TilesFailed;
    return State;
}

TRateFigures TGenerationRun::Figures(TRateClock::TClock::time_point now) const {
    const TProgress p = Progress();
    return Rate.Figures(std::clamp<std::int64_t>(p.Done + p.Failed, 0, p.Total), p.Total, now);
}

std::array<bool, MapTypeCount> TGenerationRun::Rectified() const { return RectifiedTypes(Params); }

std::array<std::vector<TMapTile>, MapTypeCount> TGenerationRun::OutputLists() const {
    return OutputTileLists(Plan, Snapshot, Rectified());
}

void TGenerationRun::Clear() {
    Counted = {};
    Plan.FreeListItems();
    Failed.clear();
    State = TRunStatus::Idle;
    StopRecord = {};
    LastStaleWhy = {};
}

void TGenerationRun::TileCached(TMapType type, std::size_t index) {
    if (Plan.SetDone(type, index)) ++Counted.Cached;
}

bool TGenerationRun::TileArrived(const TTileId& tile, TTileOutcome outcome) {
    if (!Plan.MarkTileDone(tile)) return false;
    // A tile one worker gave up on may still arrive through another.
    Failed.erase(tile);
    switch (outcome) {
    case TTileOutcome::Downloaded: ++Counted.Downloaded; break;
    case TTileOutcome::Unchanged: ++Counted.Unchanged; break;
    case TTileOutcome::Updated: ++Counted.Updated; break;
    case TTileOutcome::KeptStale: ++Counted.KeptStale; break;
    case TTileOutcome::Cached: ++Counted.Cached; break;
    }
    return true;
}

bool TGenerationRun::TileFailed(const TTileId& tile, TFault why) {
    if (!Plan.IsTilePending(tile)) return false;
    return Failed.emplace(tile, std::move(why)).second;
}

void TGenerationRun::KeepCachedAsStale(const TTileCache& cache) {
    for (const auto& list : Plan.AllLists())
        for (const auto& entry : list) {
            const TTileId tile = entry.Id();
            if (Plan.IsTilePending(tile) && !Failed.count(tile) && cache.IsCached(tile))
                TileArrived(tile, TTileOutcome::KeptStale);
        }
}
