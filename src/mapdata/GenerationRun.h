// TGenerationRun: one generation run from its plan to its file, the same for
// the main window and the command line. It holds the header snapshot and the
// plan, requests the planned tiles, decides what each notice means (a saved
// tile counts once, a tile every attempt failed for counts as failed until it
// arrives after all, a tile already cached counts at once), knows where the
// run is (TRunStatus) and why it stopped, and works out the progress figures.
// It knows nothing of windows, threads or the network; its owner feeds it
// notices and stop reasons and shows what it says.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Fault.h"
#include "GenerationPlan.h"
#include "MapDataFile.h"
#include "NoticeTarget.h"
#include "SourceGate.h"
#include "TileCache.h"

// Where a run is. Downloading is the only status in which notices count; the
// statuses from Cancelled on are the reasons a download ends early.
enum class TRunStatus {
    Idle,           // no plan: before a run, after its clean-up
    Downloading,    // planned and requesting; notices count
    Downloaded,     // every tile arrived; the workers are stopped
    Writing,        // the files are being written
    TilesFailed,    // every tile had its attempts and some failed
    Cancelled,      // the user cancelled
    Closing,        // the window closes; it replaces any other status
    Interrupted,    // the command line got SIGINT or SIGTERM
    ServiceDead,    // the service stopped answering (TStopReason::ServiceNotAnswering)
    AccessRefused,  // the service refuses this client
    CacheFull,      // the cache folder takes no more tiles (TStopReason::CacheWriteFailed)
};

// The status a stop reason of the workers ends the download with.
TRunStatus StatusOfStop(TStopReason reason);
// The statuses that end a download before every tile had its attempts.
bool IsEarlyStop(TRunStatus status);

// The rate of a count and the time left: the progress line of the window and
// of every CLI command. The rate counts from Start, so what was done before
// (tiles found in the cache) does not inflate it.
struct TRateFigures {
    std::int64_t Done = 0, Total = 0;
    double PerSecond = 0;      // 0 in the first moments, when it means nothing yet
    double SecondsLeft = -1;   // below 0: unknown
};
class TRateClock {
public:
    using TClock = std::chrono::steady_clock;
    void Start(std::int64_t done, TClock::time_point now = TClock::now()) {
        Started = now;
        Baseline = done;
    }
    TRateFigures Figures(std::int64_t done, std::int64_t total, TClock::time_point now = TClock::now()) const;

private:
    TClock::time_point Started = TClock::now();
    std::int64_t Baseline = 0;
};

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
    // and entry count; the run is Downloading. Throws like TGenerationPlan::Build.
    void Build(TDeltaPair viewPair);
    // Frees the plan and goes Idle; the snapshot stays for whoever reads it afterwards.
    void Clear();

    // Asks for a tile; true when it needs no download (cached and fresh).
    using TRequest = std::function<bool(const TTileId&)>;
    // Requests every planned tile, type by type in list order, counts the
    // ones the request finds cached and starts the progress clock.
    void RequestTiles(const TRequest& request);
    // Cached tiles that no longer decode: outstanding again and requested
    // anew; the run is Downloading again.
    void RequestAgain(const std::vector<TTileId>& tiles, const TRequest& request);

    // A worker notice (TileSaved with its outcome, or TileFailed);
    // counted only while Downloading. True when it counted.
    bool HandleNotice(const TTileNotice& notice);

    TRunStatus Status() const { return State; }
    // Ends the download for why (an early stop, Downloaded, Writing) with the
    // workers' stop record, if any. Closing replaces any status and stays;
    // an Idle run stays Idle.
    void Stop(TRunStatus why, const TRunStop& detail = {});
    // After the wait: Downloaded when every tile is there, TilesFailed when
    // some failed, or the early stop. A service that stopped answering costs
    // freshness, never the run: when the cache still holds every outstanding
    // tile, they arrive as kept stale and the run is Downloaded.
    TRunStatus EndDownload(const TTileCache& cache);
    // What the workers said when they stopped the run; kept after EndDownload.
    const TRunStop& StopDetail() const { return StopRecord; }
    // Why the last tile kept stale by a notice could not be asked again.
    const TFault& StaleWhy() const { return LastStaleWhy; }

    // Tiles done (failed ones included) against the total, with the rate
    // since the requests went out.
    TRateFigures Figures(TRateClock::TClock::time_point now = TRateClock::TClock::now()) const;

    // The entry at this position of a type's list was found in the cache.
    void TileCached(TMapType type, std::size_t index);
    // A saved-tile notice; true when it counted (a planned tile not yet done).
    bool TileArrived(const TTileId& tile, TTileOutcome outcome = TTileOutcome::Downloaded);
    // What became of the tiles that arrived, per outcome; Cached counts the
    // tiles that needed no download.
    struct TOutcomes {
        std::int64_t Downloaded = 0, Unchanged = 0, Updated = 0, KeptStale = 0, Cached = 0;
    };
    const TOutcomes& Outcomes() const { return Counted; }
    // A failure notice with its reason; true when it counted (a planned tile
    // not done and not yet failed).
    bool TileFailed(const TTileId& tile, TFault why = {});

    // Nothing is outstanding any more, or the download stopped early.
    bool Finished() const { return IsEarlyStop(State) || Outstanding() == 0; }
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
    // Every outstanding tile the cache still holds (expired) arrives as kept stale.
    void KeepCachedAsStale(const TTileCache& cache);

    TGenerationPlan Plan;
    TGenerationParams Params;
    TMapDataHeader Snapshot;
    std::map<TTileId, TFault> Failed;
    TOutcomes Counted;
    TRunStatus State = TRunStatus::Idle;
    TRunStop StopRecord;
    TFault LastStaleWhy;
    TRateClock Rate;
};
