// TGenerationRun: the accounting of one generation run, the same for the
// main window and the command line. It holds the header snapshot and the
// plan and decides what each notice means: a saved tile counts once, a tile
// every attempt failed for counts as failed until it arrives after all, a
// tile already cached counts at once. It knows nothing of windows, threads or
// the network; its owner feeds it and shows what it says.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Fault.h"
#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "NoticeTarget.h"
#include "TileCache.h"

class TGenerationRun {
public:
    struct TProgress {
        std::int64_t Done = 0;    // arrived, cached ones included
        std::int64_t Failed = 0;  // given up on, not arrived since
        std::int64_t Total = 0;
    };

    // Takes the snapshot (zooms, types, centre, the four offset pairs) with
    // its rectangles zeroed; it stays when the user declines the run.
    void TakeSnapshot(const TGenerationParams& params, const std::array<TDeltaPair, MapTypeCount>& deltas);
    // Builds the plan of the snapshot's parameters projected with viewPair
    // (the pair of the type on display) and fills the snapshot's rectangles
    // and entry count. Throws like TGenerationPlan::Build.
    void Build(TDeltaPair viewPair);
    // Frees the plan; the snapshot stays for whoever reads it afterwards.
    void Clear();

    // The entry at this position of a type's list was found in the cache.
    void TileCached(int typeIndex, std::size_t index);
    // A saved-tile notice; true when it counted (a planned tile not yet done).
    bool TileArrived(const TTileId& tile, TTileOutcome outcome = TTileOutcome::Downloaded);
    // What became of the tiles that arrived by way of a request, per outcome.
    struct TOutcomes {
        std::int64_t Downloaded = 0, Unchanged = 0, Updated = 0, KeptStale = 0;
    };
    const TOutcomes& Outcomes() const { return Counted; }
    // A failure notice with its reason; true when it counted (a planned tile
    // not done and not yet failed).
    bool TileFailed(const TTileId& tile, TFault why = {});

    // The service stopped answering: every outstanding tile the cache still
    // holds (expired) arrives as kept stale. Returns how many did.
    std::int64_t KeepCachedAsStale(const TTileCache& cache);

    // Cached tiles that no longer decode: outstanding again, to be fetched anew.
    void FetchAgain(const std::vector<TTileId>& tiles);

    void Cancel() { Cancelled = true; }
    bool IsCancelled() const { return Cancelled; }
    // Nothing is outstanding any more, or the run was cancelled.
    bool Finished() const { return Cancelled || Outstanding() == 0; }
    bool AllArrived() const { return Plan.AllTilesDone(); }
    std::int64_t Outstanding() const { return Plan.TotalCount() - Plan.DoneTiles() - std::int64_t(Failed.size()); }
    TProgress Progress() const { return {Plan.DoneTiles(), std::int64_t(Failed.size()), Plan.TotalCount()}; }

    const TGenerationPlan& TilePlan() const { return Plan; }
    const TMapDataHeader& Header() const { return Snapshot; }
    // The types written in true coordinates (Rectify.h), and the tile lists
    // the file holds: the plan's, with a rectified type's output squares in
    // place of the shifted tiles downloaded for them.
    std::array<bool, MapTypeCount> Rectified() const;
    std::array<std::vector<TMapTile>, MapTypeCount> OutputLists() const;
    // The tiles given up on, each with the reason of its last attempt.
    const std::map<TTileId, TFault>& FailedTiles() const { return Failed; }

private:
    TGenerationPlan Plan;
    TGenerationParams Params;
    TMapDataHeader Snapshot;
    std::map<TTileId, TFault> Failed;
    TOutcomes Counted;
    bool Cancelled = false;
};
