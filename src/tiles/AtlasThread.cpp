#include "AtlasThread.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <tuple>

#include "AtomicFile.h"
#include "TileCache.h"
#include "TileDigest.h"
#include "TileImage.h"

namespace fs = std::filesystem;

bool InitDownloads() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return initialised;
}

namespace {

using TCurlHeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using TCurlUrl = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

struct TBodySink {
    std::vector<std::uint8_t>* Body;
    std::size_t MaxBytes;
    bool Overflow = false;
};

extern "C" std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<TBodySink*>(user);
    const std::size_t n = size * count;
    if (sink->Body->size() + n > sink->MaxBytes) {
        sink->Overflow = true;
        return 0;  // makes curl fail the transfer with CURLE_WRITE_ERROR
    }
    try {
        sink->Body->insert(sink->Body->end(), data, data + n);
    } catch (...) {
        return 0;
    }
    return n;
}

// Keeps the Retry-After of the last answer: a redirect's headers are dropped
// when the next answer's status line arrives.
extern "C" std::size_t ReadHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* retryAfter = static_cast<std::string*>(user);
    const std::size_t n = size * count;
    const std::string_view line(data, n);
    constexpr std::string_view name = "retry-after:";
    if (line.rfind("HTTP/", 0) == 0) {
        retryAfter->clear();
    } else if (line.size() > name.size()) {
        bool match = true;
        for (std::size_t i = 0; i < name.size() && match; ++i)
            match = char(std::tolower(static_cast<unsigned char>(line[i]))) == name[i];
        if (match) {
            std::string value(line.substr(name.size()));
            const auto first = value.find_first_not_of(" \t");
            const auto last = value.find_last_not_of(" \t\r\n");
            *retryAfter = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        }
    }
    return n;
}

// The Host header's value, as curl itself parses the URL: the host name, and
// with withPort a port that differs from the scheme's own.
TReadResult<std::string> UrlHost(const std::string& url, bool withPort) {
    TCurlUrl handle(curl_url(), &curl_url_cleanup);
    if (!handle) return ContentError("curl_url failed");
    if (CURLUcode rc = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0); rc != CURLUE_OK)
        return ContentError(std::string("bad URL: ") + curl_url_strerror(rc));
    char* part = nullptr;
    if (CURLUcode rc = curl_url_get(handle.get(), CURLUPART_HOST, &part, 0); rc != CURLUE_OK)
        return ContentError(std::string("URL without host: ") + curl_url_strerror(rc));
    std::string host = part;
    curl_free(part);
    if (withPort && curl_url_get(handle.get(), CURLUPART_PORT, &part, CURLU_NO_DEFAULT_PORT) == CURLUE_OK) {
        host.append(":").append(part);
        curl_free(part);
    }
    return host;
}

TCurlHeaders AppendHeader(TCurlHeaders list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    list.release();
    return TCurlHeaders(grown, &curl_slist_free_all);
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseRetryAfter(const std::string& value) {
    if (value.empty()) return std::nullopt;
    if (value.find_first_not_of("0123456789") == std::string::npos) {
        // Beyond a day it is no pause but a refusal; the cap keeps the arithmetic safe.
        if (value.size() > 9) return std::chrono::milliseconds(std::int64_t(999'999'999) * 1000);
        return std::chrono::milliseconds(std::stoll(value) * 1000);
    }
    const time_t when = curl_getdate(value.c_str(), nullptr);
    if (when == time_t(-1)) return std::nullopt;
    const auto left = std::chrono::system_clock::from_time_t(when) - std::chrono::system_clock::now();
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

std::string BuildTileUrl(const TServerConfig& server, int serverNumber, const TTileId& tile) {
    const auto [typeCode, zoom, x, y] = std::tuple(tile.TypeCode, tile.Zoom, tile.X, tile.Y);
    if (const int type = MapTypeIndex(typeCode); HasOwnTemplate(server, type))
        return ExpandUrlTemplate(server.UrlTemplates[size_t(type)], serverNumber, x, y, zoom);
    std::string host = server.HostPattern;
    if (const auto at = host.find("%d"); at != std::string::npos) host.replace(at, 2, std::to_string(serverNumber));
    std::string url = "http://";
    url.append(host);
    if (server.Port != 80) url.append(":").append(std::to_string(server.Port));
    url.append("/vt/lyrs=").append(1, typeCode).append("@121&hl=zh-CN&x=").append(std::to_string(x));
    url.append("&y=").append(std::to_string(y)).append("&z=").append(std::to_string(zoom)).append("&s=Gali");
    return url;
}

TDownloader::TDownloader() {
    InitDownloads();
    Multi = curl_multi_init();
}

TDownloader::~TDownloader() {
    if (Easy) curl_easy_cleanup(static_cast<CURL*>(Easy));
    if (Multi) curl_multi_cleanup(static_cast<CURLM*>(Multi));
}

void TDownloader::Abort() {
    AbortRequested = true;
    // Thread-safe by libcurl's contract; wakes a curl_multi_poll under way.
    std::lock_guard lock(MultiLock);
    if (Multi) curl_multi_wakeup(static_cast<CURLM*>(Multi));
}

void TDownloader::DropConnections() {
    // The connection cache belongs to the multi handle: a new one starts empty.
    CURLM* fresh = curl_multi_init();
    CURLM* old = nullptr;
    {
        std::lock_guard lock(MultiLock);
        old = static_cast<CURLM*>(Multi);
        Multi = fresh;
    }
    if (old) curl_multi_cleanup(old);
}

TDownloadResult DownloadTile(const std::string& url, const TServerConfig& server, const TDownloadLimits& limits) {
    return DownloadTile(url, RequestIdentity(server, -1), limits);
}

TDownloadResult DownloadTile(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits) {
    TDownloader downloader;
    return downloader.Get(url, identity, limits);
}

TDownloadResult TDownloader::Get(const std::string& url, const TRequestIdentity& identity,
                                 const TDownloadLimits& limits, bool freshConnection) {
    TDownloadResult result = Transfer(url, identity, limits, freshConnection);
    // A connection that just failed is never asked again.
    if (!result && !WasAborted(result)) DropConnections();
    return result;
}

TDownloadResult TDownloader::Transfer(const std::string& url, const TRequestIdentity& identity,
                                      const TDownloadLimits& limits, bool freshConnection) {
    const auto failed = [](std::string why) -> TDownloadResult { return ContentError(std::move(why)); };
    const TReadError aborted{ECANCELED, false, "aborted"};
    if (AbortRequested) return aborted;
    THttpAnswer answer;
    try {
        if (!Multi) return failed("curl_multi_init failed");
        const auto host = UrlHost(url, identity.HostWithPort);
        if (!host) return host.Error();

        // The header list outlives the handle: declared first, destroyed last.
        TCurlHeaders headers(nullptr, &curl_slist_free_all);
        headers = AppendHeader(std::move(headers), "Host: " + *host);
        headers = AppendHeader(std::move(headers), "Accept: image/gif,image/x-xbitmap,image/jpeg,image/pjpeg, */*");
        headers = AppendHeader(std::move(headers), "Accept-Encoding: gzip,deflate");
        headers = AppendHeader(std::move(headers), "Accept-Language: zh-cn");
        headers = AppendHeader(std::move(headers), "Referer: " + identity.Referer);
        headers = AppendHeader(std::move(headers), "User-Agent: " + identity.UserAgent);
        headers = AppendHeader(std::move(headers), "Connection: Keep-Alive");
        headers = AppendHeader(std::move(headers), "Content-Type: application/x-www-form-urlencoded");

        // One easy handle for the downloader's life, its options set afresh for every request.
        if (!Easy) Easy = curl_easy_init();
        if (!Easy) return failed("curl_easy_init failed");
        CURL* h = static_cast<CURL*>(Easy);
        curl_easy_reset(h);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        TBodySink sink{&answer.Body, limits.MaxBodyBytes};
        std::string retryAfter;
        // The kept handle must not point at this call's buffers once it returns.
        struct TForget {
            CURL* Easy;
            ~TForget() {
                curl_easy_setopt(Easy, CURLOPT_ERRORBUFFER, nullptr);
                curl_easy_setopt(Easy, CURLOPT_HTTPHEADER, nullptr);
                curl_easy_setopt(Easy, CURLOPT_WRITEDATA, nullptr);
                curl_easy_setopt(Easy, CURLOPT_HEADERDATA, nullptr);
            }
        } forget{h};
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, ReadHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &retryAfter);
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        // Fifteen requests in all: the first and at most fourteen redirects.
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 14L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        // An https source is never left for plain http, not even by a redirect.
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, identity.SecureOnly ? "https" : "http,https");
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!identity.CaFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, identity.CaFile.c_str());
        curl_easy_setopt(h, CURLOPT_NOPROXY, "127.0.0.1,localhost");
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.ConnectTimeoutMs);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.TransferTimeoutMs);
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.MaxBodyBytes));
        if (!identity.KeepAlive) curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        if (!identity.KeepAlive || freshConnection) curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);

        CURLM* multi = static_cast<CURLM*>(Multi);
        if (curl_multi_add_handle(multi, h) != CURLM_OK) return failed("curl_multi_add_handle failed");
        // Detached before the easy handle goes, on every way out.
        struct TDetach {
            CURLM* Multi;
            CURL* Easy;
            ~TDetach() { curl_multi_remove_handle(Multi, Easy); }
        } detach{multi, h};
        CURLcode rc = CURLE_OK;
        for (bool done = false; !done;) {
            if (AbortRequested) return aborted;
            int running = 0;
            if (CURLMcode mc = curl_multi_perform(multi, &running); mc != CURLM_OK)
                return failed(std::string("curl_multi_perform: ") + curl_multi_strerror(mc));
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
                    rc = msg->data.result;
                    done = true;
                }
            }
            // Sleeps until the socket is ready, a curl timer is due or Abort wakes it.
            if (!done) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.HttpStatus);
        if (rc != CURLE_OK) {
            // A broken exchange counts as failed even when part of a body arrived.
            std::string why = std::string(curl_easy_strerror(rc)) + " (curl " + std::to_string(int(rc)) + ")";
            if (errorBuffer[0]) why += ": " + std::string(errorBuffer);
            if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE)
                why += " (a server certificate that is not publicly trusted can be trusted with [ATLAS_SOURCE] CA_FILE)";
            // The code travels with the text, for each program to say it in its language.
            return TReadError{0, false, std::move(why), sink.Overflow ? int(CURLE_FILESIZE_EXCEEDED) : int(rc)};
        }
        answer.RetryAfter = ParseRetryAfter(retryAfter);
        return answer;
    } catch (const std::exception& e) {
        return failed(e.what());
    } catch (...) {
        return failed("unknown failure");
    }
}

TAtlasThread::TAtlasThread(TNoticeTarget* notifyWindow, std::string cacheDir, TServerConfig server,
                           TDownloadLimits limits, std::shared_ptr<TSourceGate> gate)
    : NotifyWindow(notifyWindow),
      Server(std::move(server)),
      Cache(std::move(cacheDir), Server),
      Limits(limits),
      Gate(gate ? std::move(gate) : std::make_shared<TSourceGate>(Server, limits)),
      Random(std::random_device{}()) {
    InitDownloads();
}

TAtlasThread::~TAtlasThread() {
    Stop();
    {
        std::lock_guard lock(RequestLock);
        Terminated = true;
    }
    WakeUp.notify_all();
    // The download under way was aborted, so this join is quick; the queue
    // and lock are members and outlive the thread.
    if (Thread.joinable()) Thread.join();
    ClearRequests();
}

void TAtlasThread::Stop() {
    Stopped = true;
    ClearRequests();
    Downloader.Abort();
    // A worker waiting for a retry's time finds its queue empty and sleeps.
    WakeUp.notify_all();
}

void TAtlasThread::AddRequest(std::int32_t zoom, std::int32_t x, std::int32_t y) {
    AddTypedRequest(zoom, x, y, TypeCode);
}

void TAtlasThread::AddTypedRequest(std::int32_t zoom, std::int32_t x, std::int32_t y, const std::string& typeCode) {
    Enqueue(TMapParam{{TypeCodeLetter(typeCode), zoom, x, y}, false, 0});
}

void TAtlasThread::RequeueRequest(const TTileId& tile, std::int32_t retryCount, TClock::time_point notBefore) {
    Enqueue(TMapParam{tile, false, retryCount}, notBefore);
}

void TAtlasThread::Enqueue(TMapParam request, TClock::time_point notBefore) {
    if (Stopped) return;
    std::lock_guard lock(RequestLock);
    Requests.push_back({std::move(request), notBefore});
    Pending.store(int(Requests.size()), std::memory_order_relaxed);
    if (Suspended) {
        // Resumed under the lock, so the wake-up cannot slip in between the
        // worker's empty check and its going to sleep.
        Suspended = false;
        if (!Thread.joinable()) Thread = std::thread(&TAtlasThread::Execute, this);
        else WakeUp.notify_one();
    } else {
        // It may be waiting for a retry's time while this one is due now.
        WakeUp.notify_one();
    }
}

void TAtlasThread::ClearRequests() {
    std::lock_guard lock(RequestLock);
    Requests.clear();
    Pending.store(0, std::memory_order_relaxed);
}

int TAtlasThread::PendingCount() const { return Pending.load(std::memory_order_relaxed); }

bool TAtlasThread::IsIdle() const {
    std::lock_guard lock(RequestLock);
    return Suspended;
}

bool TAtlasThread::TakeRequest(TMapParam& request) {
    std::lock_guard lock(RequestLock);
    const auto now = TClock::now();
    // Queue order among the requests whose time has come.
    const auto due = std::find_if(Requests.begin(), Requests.end(), [&](const TQueued& q) { return q.NotBefore <= now; });
    if (due == Requests.end()) return false;
    request = std::move(due->Request);
    Requests.erase(due);
    Pending.store(int(Requests.size()), std::memory_order_relaxed);
    return true;
}

void TAtlasThread::Execute() {
    for (;;) {
        TMapParam request;
        if (!TakeRequest(request)) {
            // Idle means every notice is out; a failed save may queue its retry.
            if (PendingSave) {
                FinishSave();
                continue;
            }
            std::unique_lock lock(RequestLock);
            if (Terminated) return;
            if (!Requests.empty()) {
                // Only retries waiting for their time: sleep until the first is
                // due, a new request comes or the worker is stopped.
                auto first = Requests.front().NotBefore;
                for (const TQueued& q : Requests) first = std::min(first, q.NotBefore);
                WakeUp.wait_until(lock, first);
                continue;
            }
            // Sleeps until a request or destruction. Suspended is set again on
            // every wake that finds nothing, so a queue emptied by ClearRequests
            // before this thread ran still leaves the worker idle.
            while (Requests.empty() && !Terminated) {
                Suspended = true;
                WakeUp.wait(lock);
            }
            Suspended = false;
            if (Terminated) return;
            continue;
        }
        std::string path;
        if (FetchTile(request, path)) Notify(WM_TILESAVED, request.Id(), std::move(path));
        {
            std::lock_guard lock(RequestLock);
            if (!Terminated) continue;
        }
        FinishSave();  // after a Stop: the file is completed, no notice follows
        return;
    }
}

void TAtlasThread::FinishSave() {
    if (!PendingSave) return;
    TPendingSave save = std::move(*PendingSave);
    PendingSave.reset();
    try {
        save.Saved.get();
    } catch (const TFileError& e) {
        // A full, read-only or closed folder takes no further tile: asking the
        // service for more would only fill the network, so the run stops.
        if (IsFolderFullOrClosed(e.Errno)) Gate->CacheWriteFailed(fs::path(save.Path).parent_path().string(), e.Errno);
        RetryTile(save.Request, e.Fault);
        return;
    } catch (const std::exception& e) {
        RetryTile(save.Request, OtherFault(e.what()));
        return;
    }
    Notify(WM_TILESAVED, save.Request.Id(), std::move(save.Path));
}

void TAtlasThread::Notify(int message, const TTileId& tile, std::string path, TFault why) {
    // A stopped worker's saves complete, but nobody waits for them any more.
    if (NotifyWindow && (message == WM_TILEFAILED || !Stopped))
        NotifyWindow->PostNotice({message, tile, std::move(path), std::move(why)});
}

namespace {

// Why a download brought no answer, as a reason the programs can say.
TFault DownloadFault(const TReadError& e, const TDownloadLimits& limits) {
    TFault why = OtherFault(e.Text);
    if (e.Code == CURLE_FILESIZE_EXCEEDED) {
        why.Kind = TFaultKind::BodyTooLarge;
        why.Number = std::int64_t(limits.MaxBodyBytes);
    } else if (e.Code != 0) {
        why.Kind = TFaultKind::Transfer;
        why.Code = e.Code;
    } else if (e.Text.starts_with("bad URL") || e.Text.starts_with("URL without host")) {
        why.Kind = TFaultKind::BadUrl;
    }
    return why;
}

// One of the pictures the source is known to send in place of a tile.
bool IsPlaceholder(const TServerConfig& server, int type, const std::vector<std::uint8_t>& body) {
    const std::vector<std::string> known = PlaceholderDigests(server, type);
    if (known.empty()) return false;
    return std::find(known.begin(), known.end(), DigestHex(TileDigest(body))) != known.end();
}

}  // namespace

bool TAtlasThread::FetchTile(const TMapParam& request, std::string& path) {
    const int type = MapTypeIndex(request.TypeCode);
    // A refused source gets no request at all; the settings' message says why.
    if (!SourceUsable(Server, type)) {
        Notify(WM_TILEFAILED, request.Id(), Cache.Path(request.Id()), TFault(TFaultKind::SourceRefused));
        return false;
    }
    path = Cache.Path(request.Id());
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    // The fallback cache location's parents may not exist yet either.
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
        RetryTile(request, TFault(TFaultKind::CacheFolderUncreatable, folder.string(), ec ? ec.value() : 0));
        return false;
    }
    // Someone else (another worker, another window, the command line) saved
    // it since it was queued: it has arrived all the same.
    if (Cache.IsCached(request.Id())) {
        FinishSave();  // notices keep the order of the requests
        return true;
    }

    // A stopped run sends nothing more; its owner reports why.
    if (!Gate->Enter(type, [this] { return Stopped.load(); })) {
        if (!Stopped) Notify(WM_TILEFAILED, request.Id(), path, TFault(TFaultKind::RunStopped));
        return false;
    }
    std::uniform_int_distribution<int> serverNumber(0, ServerChoiceCount(Server, type) - 1);
    const std::string url = BuildTileUrl(Server, serverNumber(Random), request.Id());
    // A retry never trusts a kept connection.
    TDownloadResult download = Downloader.Get(url, RequestIdentity(Server, type), Limits, request.RetryCount > 0);
    Gate->Leave(type);
    if (WasAborted(download)) return false;

    if (download) {
        const long status = download->HttpStatus;
        // Asked to wait: the whole source pauses, and the tile is asked again
        // without using an attempt, as long as the run's pauses stay in bounds.
        if ((status == 429 || status == 503) && download->RetryAfter) {
            if (Gate->Pause(type, *download->RetryAfter)) {
                RequeueRequest(request.Id(), request.RetryCount);
                return false;
            }
            ++Failed;
            TFault why{TFaultKind::PauseBeyondLimit};
            why.HttpStatus = status;
            why.Number = download->RetryAfter->count() / 1000;
            RetryTile(request, std::move(why));
            return false;
        }
        if (IsRefusalStatus(status)) {
            Downloader.DropConnections();
            const auto host = UrlHost(url, false);
            Gate->Refused(type, request.Id(), status, host ? *host : url);
            ++Failed;
            TFault why{TFaultKind::AccessRefused};
            why.HttpStatus = status;
            RetryTile(request, std::move(why));
            return false;
        }
    }
    std::optional<TFault> unusable;
    if (!download) unusable = DownloadFault(download.Error(), Limits);
    else if (download->Body.empty()) {
        unusable = TFault(TFaultKind::EmptyAnswer);
        unusable->HttpStatus = download->HttpStatus;
    } else if (IsPlaceholder(Server, type, download->Body)) {
        unusable = TFault(TFaultKind::PlaceholderPicture);
        unusable->HttpStatus = download->HttpStatus;
    } else
        unusable = CheckTileBody(download->Body, download->HttpStatus);
    if (unusable) {
        // An unusable answer ends its connection too; Get has dropped a failed one already.
        if (download) Downloader.DropConnections();
        ++Failed;
        RetryTile(request, std::move(*unusable));
        return false;
    }
    ++Succeeded;
    Gate->Succeeded(type);
    // A tile that cannot be written is retried like a failed download, but
    // says nothing about the service. Its notice or retry follows once the
    // save is done.
    FinishSave();
    auto body = std::make_shared<const std::vector<std::uint8_t>>(std::move(download->Body));
    std::future<void> saved;
    try {
        saved = std::async(std::launch::async, [path, body] { SaveTile(path, *body); });
    } catch (const std::system_error&) {
        // No thread to spare: saved here and now.
        std::promise<void> now;
        try {
            SaveTile(path, *body);
            now.set_value();
        } catch (...) {
            now.set_exception(std::current_exception());
        }
        saved = now.get_future();
    }
    PendingSave = TPendingSave{request, path, std::move(saved)};
    return false;
}

// Written beside the tile under a name that is no tile name, synced and then
// renamed, so that no reader, no later request and no crash ever leaves a
// partial tile under the tile's name.
void TAtlasThread::SaveTile(const std::string& path, const std::vector<std::uint8_t>& body) {
    TAtomicFile file(path);
    file.Write(body.data(), body.size());
    file.Commit();
}

void TAtlasThread::RetryTile(const TMapParam& request, TFault why) {
    if (Stopped) return;
    // A stopped run asks nothing more: the tile's last reason is final.
    if (request.RetryCount + 1 < 3 && !Gate->Stopped()) {
        std::uniform_real_distribution<double> jitter(0.0, 1.0);
        RequeueRequest(request.Id(), request.RetryCount + 1,
                       TClock::now() + RetryDelay(Limits, request.RetryCount + 1, jitter(Random)));
    } else {
        Notify(WM_TILEFAILED, request.Id(), Cache.Path(request.Id()), std::move(why));
    }
}
