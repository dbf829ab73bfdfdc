// TAtlasThread: a download worker. It owns a FIFO queue of tile requests,
// downloads each missing tile over HTTP into the tile cache and posts a
// notice with the saved file's path (also for a tile it finds cached when its
// turn comes, since someone waits for it). A new tile is written by the
// worker's save thread while the next one downloads. Failed attempts are re-queued at
// the back after a growing delay (RetryDelay), three attempts in all; after
// the third the worker posts a failure notice. A service that asks to wait
// (429 or 503 with Retry-After) pauses its whole source through the shared
// TSourceGate, and the tile is asked again without using an attempt. The
// thread starts with the first request and sleeps whenever the queue is
// empty. Stop and destruction abort the download or wait under way at once
// and queue no retry, so no window ever waits on the network to close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AtlasAppType.h"
#include "Downloader.h"
#include "NoticeTarget.h"
#include "SaveThread.h"
#include "Settings.h"
#include "SourceGate.h"
#include "TileCache.h"

class TAtlasThread {
public:
    // Created suspended: the thread starts with the first request. Workers
    // of one run share gate; without one the worker makes its own.
    TAtlasThread(TNoticeTarget* notifyWindow, std::string cacheDir, TServerConfig server,
                 TDownloadLimits limits = {}, std::shared_ptr<TSourceGate> gate = nullptr);
    ~TAtlasThread();
    TAtlasThread(const TAtlasThread&) = delete;
    TAtlasThread& operator=(const TAtlasThread&) = delete;

    void AddRequest(std::int32_t zoom, std::int32_t x, std::int32_t y);
    void AddTypedRequest(const TTileId& tile);
    void ClearRequests();
    // Queued requests, not counting the one being worked on. Approximate by design.
    int PendingCount() const;
    // Empties the queue and aborts the download under way; no retry and no
    // notice follow. The worker stays stopped; destroying it joins at once.
    void Stop();

    // Attempt outcomes so far: an owner can tell a service that never answers
    // from a slow one. Aborted attempts count as neither.
    int FailedAttempts() const { return Failed.load(); }
    int SucceededAttempts() const { return Succeeded.load(); }

    // Default type of AddRequest; GUI thread only.
    TMapType MapType = TMapType::Road;

    const std::string& CacheDir() const { return Cache.Folder(); }

private:
    friend struct TAtlasThreadProbe;  // the worker tests watch it fall asleep
    using TClock = std::chrono::steady_clock;
    // A queued request and the time before which it is not asked.
    struct TQueued {
        TMapParam Request;
        TClock::time_point NotBefore{};
    };

    // What one attempt came to; Report says it.
    enum class TFetchResult {
        AlreadyCached,  // fresh in the cache when its turn came
        Unchanged,      // the service confirmed the cached picture (304, or the same bytes again)
        Saving,         // a new picture is being written; its notice follows the save
        Saved,          // a save completed
        Failed,         // the attempt failed: retried, or after the last given up
        Refused,        // nothing may be asked for it (source unusable, run stopped): given up at once
        Postponed,      // the service asked to wait: asked again later without using an attempt
        Aborted,        // the worker was stopped: nothing follows
    };
    struct TFetch {
        TFetchResult Result;
        TFault Why{};                                      // Failed, Refused
        TTileOutcome Outcome = TTileOutcome::Downloaded;  // Saved
    };

    void Execute();
    // The first request whose time has come; false when none has.
    bool TakeRequest(TMapParam& request);
    // One attempt.
    TFetch FetchTile(const TMapParam& request);
    // The answer of a download that did not fail, as what it comes to.
    TFetch TakeAnswer(const TMapParam& request, TMapType type, const std::string& url, THttpAnswer& answer,
                      const std::optional<TTileRecord>& cached);
    // Posts the notice of what happened, or queues the retry: the one place notices leave the worker.
    void Report(const TMapParam& request, TFetch fetch);
    // The tile's folder exists (created when not); checked once per folder while it stays.
    std::optional<TFault> EnsureFolder(const std::string& folder);
    void Notify(TNoticeKind kind, const TTileId& tile, std::string path, TFault why = {},
                TTileOutcome outcome = TTileOutcome::Downloaded);
    void RequeueRequest(const TTileId& tile, std::int32_t retryCount, TClock::time_point notBefore = {});
    void Enqueue(TMapParam request, TClock::time_point notBefore = {});
    // Waits for the save under way, then reports it.
    void FinishSave();

    TNoticeTarget* NotifyWindow;
    const TServerConfig Server;
    const TTileCache Cache;
    const TDownloadLimits Limits;
    const std::shared_ptr<TSourceGate> Gate;
    std::mt19937 Random;  // server numbers and retry jitter; one generator per worker
    TDownloader Downloader;
    std::atomic<bool> Stopped{false};
    std::atomic<int> Failed{0};
    std::atomic<int> Succeeded{0};

    mutable std::mutex RequestLock;
    std::condition_variable WakeUp;
    std::deque<TQueued> Requests;
    std::atomic<int> Pending{0};
    // Before the first request, and whenever it waits on an empty queue (a
    // retry waiting for its time keeps it busy).
    bool Suspended = true;       // guarded by RequestLock
    bool Terminated = false;     // guarded by RequestLock
    std::thread Thread;          // started by the first request

    // Folders found or made by this worker: one check each, not one per tile.
    std::vector<std::string> KnownFolders;
    // A tile's save runs on the worker's save thread while the next tile
    // downloads; one at a time, worker thread only.
    struct TPendingSave {
        TMapParam Request;
        std::string Path;
        std::future<void> Saved;
        TTileRecord Record;  // remembered once the file is in place
        TTileOutcome Outcome;
    };
    std::optional<TPendingSave> PendingSave;
    TSaveThread Saver;  // after what its jobs use, so it ends first
};
