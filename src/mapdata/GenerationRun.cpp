#include "GenerationRun.h"

void TGenerationRun::TakeSnapshot(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas) {
    Clear();
    Params = params;
    Snapshot = SnapshotHeader(params, deltas);
}

void TGenerationRun::Build(TDeltaPair viewPair) {
    Clear();
    Plan.Build(Params, viewPair, Snapshot);
}

void TGenerationRun::Clear() {
    Plan.FreeListItems();
    Failed.clear();
    Cancelled = false;
}

void TGenerationRun::TileCached(int typeIndex, std::size_t index) { Plan.SetDone(typeIndex, index); }

bool TGenerationRun::TileArrived(char typeCode, std::int32_t zoom, std::int32_t x, std::int32_t y) {
    if (!Plan.MarkTileDone(typeCode, zoom, x, y)) return false;
    // A tile one worker gave up on may still arrive through another.
    Failed.erase({typeCode, zoom, x, y});
    return true;
}

bool TGenerationRun::TileFailed(char typeCode, std::int32_t zoom, std::int32_t x, std::int32_t y) {
    if (!Plan.IsTilePending(typeCode, zoom, x, y)) return false;
    return Failed.insert({typeCode, zoom, x, y}).second;
}
