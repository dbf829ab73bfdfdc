#include "GenerationRun.h"

#include "Rectify.h"

void TGenerationRun::TakeSnapshot(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas) {
    Clear();
    Params = params;
    Snapshot = SnapshotHeader(params, deltas);
}

void TGenerationRun::Build(TDeltaPair viewPair) {
    Clear();
    Plan.Build(Params, viewPair, Snapshot);
}

std::array<bool, MapTypeCount> TGenerationRun::Rectified() const { return RectifiedTypes(Params); }

std::array<std::vector<TMapTile>, MapTypeCount> TGenerationRun::OutputLists() const {
    return OutputTileLists(Plan, Snapshot, Rectified());
}

void TGenerationRun::Clear() {
    Counted = {};
    Plan.FreeListItems();
    Failed.clear();
    Cancelled = false;
}

void TGenerationRun::TileCached(int typeIndex, std::size_t index) { Plan.SetDone(typeIndex, index); }

bool TGenerationRun::TileArrived(const TTileId& tile, TTileOutcome outcome) {
    if (!Plan.MarkTileDone(tile)) return false;
    // A tile one worker gave up on may still arrive through another.
    Failed.erase(tile);
    switch (outcome) {
    case TTileOutcome::Downloaded: ++Counted.Downloaded; break;
    case TTileOutcome::Unchanged: ++Counted.Unchanged; break;
    case TTileOutcome::Updated: ++Counted.Updated; break;
    case TTileOutcome::KeptStale: ++Counted.KeptStale; break;
    case TTileOutcome::Cached: break;
    }
    return true;
}

bool TGenerationRun::TileFailed(const TTileId& tile, TFault why) {
    if (!Plan.IsTilePending(tile)) return false;
    return Failed.emplace(tile, std::move(why)).second;
}

std::int64_t TGenerationRun::KeepCachedAsStale(const TTileCache& cache) {
    std::int64_t kept = 0;
    for (const auto& list : Plan.AllLists())
        for (const auto& entry : list) {
            const TTileId tile = entry.Id();
            if (Plan.IsTilePending(tile) && !Failed.count(tile) && cache.IsCached(tile))
                kept += TileArrived(tile, TTileOutcome::KeptStale);
        }
    return kept;
}

void TGenerationRun::FetchAgain(const std::vector<TTileId>& tiles) {
    for (const TTileId& tile : tiles) {
        Plan.MarkTilePending(tile);
        Failed.erase(tile);
    }
    Cancelled = false;
}
