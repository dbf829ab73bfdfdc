// TSourceGate: what the download workers of one run share about the tile
// sources they ask, so that they behave as one polite client: the pause a
// service asked for (Retry-After), each source's connections and pace, the
// refusals seen, and the reason the run has to stop. A pool of workers shares
// one; a lone worker makes its own. Every member is thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "AtlasAppType.h"
#include "Settings.h"

// Why a run stops before every tile has had its attempts.
enum class TStopReason {
    None,
    ServiceNotAnswering,  // only failures, for two rounds of time-outs
    AccessRefused,        // 401, 403 or 451 for several tiles and no success since
    CacheWriteFailed,     // the cache folder cannot take more tiles (full, read-only, refused)
};

struct TRunStop {
    TStopReason Reason = TStopReason::None;
    std::string Host;     // the service that refused or does not answer
    long HttpStatus = 0;  // AccessRefused: the refusal's status
    std::string Folder;   // CacheWriteFailed: the folder written into
    int Errno = 0;        // CacheWriteFailed: the system's error number
};

// Refusals of this many different tiles of one source, with no success in
// between, stop the run: a service that bans a client says so for every tile.
inline constexpr int RefusalsToStop = 3;

// Statuses by which a service refuses this client rather than a tile.
bool IsRefusalStatus(long httpStatus);
// A write error after which no further tile can be written into the folder.
bool IsFolderFullOrClosed(int err);

// The wait before a tile's next attempt after failedAttempts failures:
// FirstRetryDelayMs, doubled each time, capped at MaxRetryDelayMs, times a
// jitter of 0.8..1.2 drawn from unit (0..1), so that workers do not return
// in step.
std::chrono::milliseconds RetryDelay(const TDownloadLimits& limits, int failedAttempts, double unit);

class TSourceGate {
public:
    // Types whose source is the same (SourceKey) share its state.
    TSourceGate(const TServerConfig& server, const TDownloadLimits& limits);

    // Blocks until a request of the type may go: its source is not paused,
    // has a connection free and its pace allows one more. False, holding
    // nothing, when the run has stopped or abandoned() turns true (looked at
    // every 50 ms, so a stop takes effect at once). True must be followed by
    // Leave.
    bool Enter(TMapType type, const std::function<bool()>& abandoned);
    void Leave(TMapType type);

    // The service asked every client to wait; the whole source pauses. True
    // when the pause is taken; false when the run's pauses would then pass
    // MaxPauseMs, and the answer counts as a failed attempt.
    bool Pause(TMapType type, std::chrono::milliseconds wait);
    // Whole seconds left of the longest pause under way; 0 when none.
    int PausedSeconds() const;

    // An answer that could be cached: the source does not refuse this client.
    void Succeeded(TMapType type);
    // A refusal status for a tile; after RefusalsToStop different tiles the
    // run stops with AccessRefused.
    void Refused(TMapType type, const TTileId& tile, long httpStatus, const std::string& host);
    // A tile could not be written for a reason no retry mends: the run stops.
    void CacheWriteFailed(const std::string& folder, int err);

    bool Stopped() const;
    // The first stop reason, or None.
    TRunStop StopReason() const;

private:
    using TClock = std::chrono::steady_clock;
    struct TSource {
        int Connections = 0;  // 0: no limit of its own
        TClock::duration Spacing{};  // between requests; zero when unpaced
        int Busy = 0;
        TClock::time_point NextSlot{};
        TClock::time_point PausedUntil{};
        std::set<TTileId> RefusedTiles;  // since the last success
    };
    TSource& SourceOf(TMapType type);
    void StopWith(TRunStop stop);  // under Lock

    const TDownloadLimits Limits;
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::array<std::shared_ptr<TSource>, MapTypeCount> Sources;  // types of one source share it
    TClock::duration TotalPause{};
    TRunStop Stop;
};
