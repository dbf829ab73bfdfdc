#include "Downloader.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <tuple>

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

struct THeaderSink {
    std::string RetryAfter;
    TCacheHeaders Cache;
};

// Keeps the headers of the last answer: a redirect's are dropped when the
// next answer's status line arrives.
extern "C" std::size_t ReadHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<THeaderSink*>(user);
    const std::size_t n = size * count;
    const std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        *sink = {};
        return n;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    std::string* field = name == "retry-after"     ? &sink->RetryAfter
                         : name == "etag"          ? &sink->Cache.ETag
                         : name == "last-modified" ? &sink->Cache.LastModified
                         : name == "cache-control" ? &sink->Cache.CacheControl
                         : name == "expires"       ? &sink->Cache.Expires
                         : name == "date"          ? &sink->Cache.Date
                                                   : nullptr;
    if (!field) return n;
    const std::string_view value = line.substr(colon + 1);
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t\r\n");
    // Beyond any sane header the value is dropped rather than kept.
    if (first == std::string_view::npos || last - first + 1 > 4096) field->clear();
    else field->assign(value.substr(first, last - first + 1));
    return n;
}

TCurlHeaders AppendHeader(TCurlHeaders list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    list.release();
    return TCurlHeaders(grown, &curl_slist_free_all);
}

// The fixed request headers, in their fixed order.
TCurlHeaders RequestHeaders(const std::string& host, const TRequestIdentity& identity, const TTileRecord* cached) {
    TCurlHeaders headers(nullptr, &curl_slist_free_all);
    headers = AppendHeader(std::move(headers), "Host: " + host);
    headers = AppendHeader(std::move(headers), "Accept: image/gif,image/x-xbitmap,image/jpeg,image/pjpeg, */*");
    headers = AppendHeader(std::move(headers), "Accept-Encoding: gzip,deflate");
    headers = AppendHeader(std::move(headers), "Accept-Language: zh-cn");
    headers = AppendHeader(std::move(headers), "Referer: " + identity.Referer);
    headers = AppendHeader(std::move(headers), "User-Agent: " + identity.UserAgent);
    headers = AppendHeader(std::move(headers), "Connection: Keep-Alive");
    headers = AppendHeader(std::move(headers), "Content-Type: application/x-www-form-urlencoded");
    // Only an expired tile asks conditionally; every other request stays as it always was.
    // A validator holding a line break would forge headers: it is not sent.
    const auto sendable = [](const std::string& v) { return !v.empty() && v.find_first_of("\r\n") == std::string::npos; };
    if (cached && sendable(cached->ETag)) headers = AppendHeader(std::move(headers), "If-None-Match: " + cached->ETag);
    if (cached && sendable(cached->LastModified))
        headers = AppendHeader(std::move(headers), "If-Modified-Since: " + cached->LastModified);
    return headers;
}

// Everything of a request but its buffers and headers.
void SetRequestOptions(CURL* h, const std::string& url, const TRequestIdentity& identity,
                       const TDownloadLimits& limits, bool freshConnection) {
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
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
}

// A transfer that ended without an answer. The code travels with the text,
// for each program to say it in its language.
TReadError TransferError(CURLcode rc, const char* errorBuffer, bool overflow) {
    std::string why = std::string(curl_easy_strerror(rc)) + " (curl " + std::to_string(int(rc)) + ")";
    if (errorBuffer[0]) why += ": " + std::string(errorBuffer);
    if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE)
        why += " (a server certificate that is not publicly trusted can be trusted with [ATLAS_SOURCE] CA_FILE)";
    return TReadError{0, false, std::move(why), overflow ? int(CURLE_FILESIZE_EXCEEDED) : int(rc)};
}

}  // namespace

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
    const auto [type, zoom, x, y] = std::tuple(tile.Type, tile.Zoom, tile.X, tile.Y);
    if (HasOwnTemplate(server, type))
        return ExpandUrlTemplate(server.UrlTemplates[MapTypeIndex(type)], serverNumber, x, y, zoom);
    std::string host = server.HostPattern;
    if (const auto at = host.find("%d"); at != std::string::npos) host.replace(at, 2, std::to_string(serverNumber));
    std::string url = "http://";
    url.append(host);
    if (server.Port != 80) url.append(":").append(std::to_string(server.Port));
    url.append("/vt/lyrs=").append(MapTypeCode(type)).append("@121&hl=zh-CN&x=").append(std::to_string(x));
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
    return DownloadTile(url, RequestIdentity(server, std::nullopt), limits);
}

TDownloadResult DownloadTile(const std::string& url, const TRequestIdentity& identity, const TDownloadLimits& limits) {
    TDownloader downloader;
    return downloader.Get(url, identity, limits);
}

TDownloadResult TDownloader::Get(const std::string& url, const TRequestIdentity& identity,
                                 const TDownloadLimits& limits, bool freshConnection, const TTileRecord* cached) {
    TDownloadResult result = Transfer(url, identity, limits, freshConnection, cached);
    // A connection that just failed is never asked again.
    if (!result && !WasAborted(result)) DropConnections();
    return result;
}

TDownloadResult TDownloader::Transfer(const std::string& url, const TRequestIdentity& identity,
                                      const TDownloadLimits& limits, bool freshConnection,
                                      const TTileRecord* cached) {
    const auto failed = [](std::string why) -> TDownloadResult { return ContentError(std::move(why)); };
    const TReadError aborted{ECANCELED, false, "aborted"};
    if (AbortRequested) return aborted;
    THttpAnswer answer;
    try {
        if (!Multi) return failed("curl_multi_init failed");
        const auto host = UrlHost(url, identity.HostWithPort);
        if (!host) return host.Error();

        // The header list outlives the handle: declared first, destroyed last.
        const TCurlHeaders headers = RequestHeaders(*host, identity, cached);

        // One easy handle for the downloader's life, its options set afresh for every request.
        if (!Easy) Easy = curl_easy_init();
        if (!Easy) return failed("curl_easy_init failed");
        CURL* h = static_cast<CURL*>(Easy);
        curl_easy_reset(h);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        TBodySink sink{&answer.Body, limits.MaxBodyBytes};
        THeaderSink answerHeaders;
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
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &answerHeaders);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
        SetRequestOptions(h, url, identity, limits, freshConnection);

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
        // A broken exchange counts as failed even when part of a body arrived.
        if (rc != CURLE_OK) return TransferError(rc, errorBuffer, sink.Overflow);
        answer.RetryAfter = ParseRetryAfter(answerHeaders.RetryAfter);
        answer.Cache = std::move(answerHeaders.Cache);
        return answer;
    } catch (const std::exception& e) {
        return failed(e.what());
    } catch (...) {
        return failed("unknown failure");
    }
}

