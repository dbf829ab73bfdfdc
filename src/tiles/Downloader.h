// The transport of tile requests: libcurl behind an abortable downloader
// with the fixed request headers, and the tile URLs it is given.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AtlasAppType.h"
#include "Fault.h"
#include "FileRead.h"
#include "Settings.h"
#include "TileFreshness.h"
#include "TileSource.h"

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
    TCacheHeaders Cache;  // the last answer's validators and freshness
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
    // fails closes its connections. With a cached tile's record it asks
    // If-None-Match / If-Modified-Since with the validators it holds.
    TDownloadResult Get(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits,
                        bool freshConnection = false, const TTileRecord* cached = nullptr);
    // Closes every kept connection, e.g. after an answer the caller found
    // unusable, so that the next Get connects anew.
    void DropConnections();
    // Any thread. The transfer under way and every later one end as aborted.
    void Abort();

private:
    TDownloadResult Transfer(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits,
                             bool freshConnection, const TTileRecord* cached);

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

// The Host header's value, as curl itself parses the URL: the host name, and
// with withPort a port that differs from the scheme's own.
TReadResult<std::string> UrlHost(const std::string& url, bool withPort);
// Why a download brought no answer, as a reason the programs can say.
TFault DownloadFault(const TReadError& e, const TDownloadLimits& limits);
