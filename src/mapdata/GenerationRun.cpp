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
    Plan.FreeListItems();
    Failed.clear();
    Cancelled = false;
}

void TGenerationRun::TileCached(int typeIndex, std::size_t index) { Plan.SetDone(typeIndex, index); }

bool TGenerationRun::TileArrived(const TTileId& tile) {
    if (!Plan.MarkTileDone(tile)) return false;
    // A tile one worker gave up on may still arrive through another.
    Failed.erase(tile);
    return true;
}

bool TGenerationRun::TileFailed(const TTileId& tile, TFault why) {
    if (!Plan.IsTilePending(tile)) return false;
    return Failed.emplace(tile, std::move(why)).second;
}

void TGenerationRun::FetchAgain(const std::vector<TTileId>& tiles) {
    for (const TTileId& tile : tiles) {
        Plan.MarkTilePending(tile);
        Failed.erase(tile);
    }
    Cancelled = false;
}
