// TAtlasThread: a download worker. It owns a FIFO queue of tile requests,
// downloads each missing tile over HTTP into the tile cache and posts a
// notice with the saved file's path (also for a tile it finds cached when its
// turn comes, since someone waits for it). Failed attempts are re-queued at
// the back after a growing delay (RetryDelay), three attempts in all; after
// the third the worker posts a failure notice. A service that asks to wait
// (429 or 503 with Retry-After) pauses its whole source through the shared
// TSourceGate, and the tile is asked again without using an attempt. The
// thread starts with the first request and sleeps whenever the queue is
// empty. Stop and destruction abort the download or wait under way at once
// and queue no retry, so no window ever waits on the network to close.
#pragma once

#include <atomic>
#include <cerrno>
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
#include "FileRead.h"
#include "NoticeTarget.h"
#include "Settings.h"
#include "SourceGate.h"
#include "TileCache.h"

// curl_global_init, once per process; false when it failed. Both programs
// call it before any thread starts; every worker calls it too, so forgetting
// it cannot break downloads.
bool InitDownloads();

// A completed HTTP exchange, whatever its status.
struct THttpAnswer {
    long HttpStatus = 0;
    std::vector<std::uint8_t> Body;
    // The last answer's Retry-After (seconds or an HTTP date) as a wait from
    // now; empty when it had none or one that cannot be read.
    std::optional<std::chrono::milliseconds> RetryAfter;
};
// A Retry-After value as a wait from now: delay-seconds or an HTTP date (a
// date already past is no wait). Empty for anything else.
std::optional<std::chrono::milliseconds> ParseRetryAfter(const std::string& value);
// The answer, or curl's reason why there is none. A transfer ended by
// TDownloader::Abort fails with ECANCELED.
using TDownloadResult = TReadResult<THttpAnswer>;
inline bool WasAborted(const TDownloadResult& result) { return !result && result.Error().Errno == ECANCELED; }

// Runs one transfer at a time on the calling thread and lets another thread
// end it at once: the transfer waits in curl_multi_poll, which Abort wakes.
class TDownloader {
public:
    TDownloader();
    ~TDownloader();
    TDownloader(const TDownloader&) = delete;
    TDownloader& operator=(const TDownloader&) = delete;

    // One HTTP/1.1 GET with the fixed request headers, redirects followed up
    // to 15 requests, no content decoding, certificates checked for https.
    // Never throws. It reuses the connection of the previous Get unless
    // identity.KeepAlive is off or freshConnection is set; a transfer that
    // fails closes its connections.
    TDownloadResult Get(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits,
                        bool freshConnection = false);
    // Closes every kept connection, e.g. after an answer the caller found
    // unusable, so that the next Get connects anew.
    void DropConnections();
    // Any thread. The transfer under way and every later one end as aborted.
    void Abort();
    bool IsAborted() const { return AbortRequested.load(); }

private:
    TDownloadResult Transfer(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits,
                             bool freshConnection);

    // CURLM holding the kept connections; replaced only by the Get thread, and
    // only under MultiLock, which Abort takes to wake it.
    void* Multi = nullptr;
    void* Easy = nullptr;  // CURL, kept across Get calls
    std::mutex MultiLock;
    std::atomic<bool> AbortRequested{false};
};

// A one-off TDownloader::Get.
TDownloadResult DownloadTile(const std::string& url, const TRequestIdentity& identity,
                             const TDownloadLimits& limits = {});
// The same with the default source's Referer and User-Agent.
TDownloadResult DownloadTile(const std::string& url, const TServerConfig& server,
                             const TDownloadLimits& limits = {});

// Default source: "http://<host N>[:port]/vt/lyrs=<t>@121&hl=zh-CN&x=<x>&y=<y>&z=<z>&s=Gali";
// a type with its own template: the template filled in, serverNumber choosing within its {s} range.
std::string BuildTileUrl(const TServerConfig& server, int serverNumber, const TTileId& tile);

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
    void AddTypedRequest(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode);
    void ClearRequests();
    // Queued requests, not counting the one being worked on. Approximate by design.
    int PendingCount() const;
    // Before the first request, and whenever it waits on an empty queue (a
    // retry waiting for its time keeps it busy).
    bool IsIdle() const;
    // Empties the queue and aborts the download under way; no retry and no
    // notice follow. The worker stays stopped; destroying it joins at once.
    void Stop();

    // Attempt outcomes so far: an owner can tell a service that never answers
    // from a slow one. Aborted attempts count as neither.
    int FailedAttempts() const { return Failed.load(); }
    int SucceededAttempts() const { return Succeeded.load(); }

    // Default type of AddRequest; GUI thread only.
    std::string TypeCode = "m";

    const std::string& CacheDir() const { return Cache.Folder(); }

private:
    using TClock = std::chrono::steady_clock;
    // A queued request and the time before which it is not asked.
    struct TQueued {
        TMapParam Request;
        TClock::time_point NotBefore{};
    };

    void Execute();
    // The first request whose time has come; false when none has.
    bool TakeRequest(TMapParam& request);
    // One attempt. True with the path when a file was saved.
    bool FetchTile(const TMapParam& request, std::string& path);
    // Queues the next attempt, or after the last one posts the failure with why.
    void RetryTile(const TMapParam& request, TFault why);
    void Notify(int message, const TTileId& tile, std::string path, TFault why = {});
    void RequeueRequest(const TTileId& tile, std::int32_t retryCount, TClock::time_point notBefore = {});
    void Enqueue(TMapParam request, TClock::time_point notBefore = {});
    // Throws TFileError with the cause.
    static void SaveTile(const std::string& path, const std::vector<std::uint8_t>& body);
    // Waits for the save under way, then posts its notice or queues its retry.
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
    bool Suspended = true;       // guarded by RequestLock
    bool Terminated = false;     // guarded by RequestLock
    std::thread Thread;          // started by the first request

    // A tile's save (its sync costs about a request) runs while the next tile
    // downloads; one at a time, worker thread only.
    struct TPendingSave {
        TMapParam Request;
        std::string Path;
        std::future<void> Saved;
    };
    std::optional<TPendingSave> PendingSave;
};
