#include "AtlasThread.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "AtomicFile.h"
#include "TileCache.h"
#include "TileDigest.h"
#include "TileImage.h"

namespace fs = std::filesystem;

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
    AddTypedRequest({MapType, zoom, x, y});
}

void TAtlasThread::AddTypedRequest(const TTileId& tile) {
    Enqueue(TMapParam{tile, 0});
}

void TAtlasThread::RequeueRequest(const TTileId& tile, std::int32_t retryCount, TClock::time_point notBefore) {
    Enqueue(TMapParam{tile, retryCount}, notBefore);
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
        Report(request, FetchTile(request));
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
        // A folder gone is looked for again with the next tile.
        if (e.Errno == ENOENT) KnownFolders.clear();
        Report(save.Request, {TFetchResult::Failed, e.Fault});
        return;
    } catch (const std::exception& e) {
        Report(save.Request, {TFetchResult::Failed, OtherFault(e.what())});
        return;
    }
    Cache.Remember(save.Request.Id(), std::move(save.Record));
    Report(save.Request, {TFetchResult::Saved, {}, save.Outcome});
}

void TAtlasThread::Report(const TMapParam& request, TFetch fetch) {
    const TTileId& tile = request.Id();
    switch (fetch.Result) {
    case TFetchResult::Saving:
    case TFetchResult::Aborted:
        return;
    case TFetchResult::Postponed:
        RequeueRequest(tile, request.RetryCount);
        return;
    case TFetchResult::Failed:
        if (Stopped) return;
        // A stopped run asks nothing more: the tile's last reason is final.
        if (request.RetryCount + 1 < 3 && !Gate->Stopped()) {
            std::uniform_real_distribution<double> jitter(0.0, 1.0);
            RequeueRequest(tile, request.RetryCount + 1,
                           TClock::now() + RetryDelay(Limits, request.RetryCount + 1, jitter(Random)));
            return;
        }
        break;
    case TFetchResult::AlreadyCached:
    case TFetchResult::Unchanged:
    case TFetchResult::Saved:
    case TFetchResult::Refused:
        break;
    }
    // Every notice waits for the save before it, so notices keep the order of the requests.
    FinishSave();
    if (fetch.Result == TFetchResult::Refused) {
        Notify(TNoticeKind::TileFailed, tile, Cache.Path(tile), std::move(fetch.Why));
    } else if (fetch.Result == TFetchResult::Failed) {
        // An expired tile that could not be asked again serves as it is: a
        // run over a cached area never fails because the service is down.
        if (Cache.IsCached(tile)) Notify(TNoticeKind::TileSaved, tile, Cache.Path(tile), std::move(fetch.Why), TTileOutcome::KeptStale);
        else Notify(TNoticeKind::TileFailed, tile, Cache.Path(tile), std::move(fetch.Why));
    } else {
        const TTileOutcome outcome = fetch.Result == TFetchResult::AlreadyCached ? TTileOutcome::Cached
                                     : fetch.Result == TFetchResult::Unchanged   ? TTileOutcome::Unchanged
                                                                                 : fetch.Outcome;
        Notify(TNoticeKind::TileSaved, tile, Cache.Path(tile), {}, outcome);
    }
}

void TAtlasThread::Notify(TNoticeKind kind, const TTileId& tile, std::string path, TFault why, TTileOutcome outcome) {
    // A stopped worker's saves complete, but nobody waits for them any more.
    if (NotifyWindow && (kind == TNoticeKind::TileFailed || !Stopped))
        NotifyWindow->PostNotice({kind, tile, std::move(path), std::move(why), outcome});
}

std::optional<TFault> TAtlasThread::EnsureFolder(const std::string& folder) {
    if (std::find(KnownFolders.begin(), KnownFolders.end(), folder) != KnownFolders.end()) return std::nullopt;
    std::error_code ec;
    // The fallback cache location's parents may not exist yet either.
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) return TFault(TFaultKind::CacheFolderUncreatable, folder, ec ? ec.value() : 0);
    KnownFolders.push_back(folder);
    return std::nullopt;
}

namespace {

// One of the pictures the source is known to send in place of a tile.
bool IsPlaceholder(const TServerConfig& server, TMapType type, const std::vector<std::uint8_t>& body) {
    const std::vector<std::string> known = PlaceholderDigests(server, type);
    if (known.empty()) return false;
    return std::find(known.begin(), known.end(), DigestHex(TileDigest(body))) != known.end();
}

}  // namespace

TAtlasThread::TFetch TAtlasThread::FetchTile(const TMapParam& request) {
    const TMapType type = request.Type;
    // A refused source gets no request at all; the settings' message says why.
    if (!SourceUsable(Server, type)) return {TFetchResult::Refused, TFault(TFaultKind::SourceRefused)};
    const std::string path = Cache.Path(request.Id());
    if (auto why = EnsureFolder(fs::path(path).parent_path().string())) return {TFetchResult::Failed, std::move(*why)};
    // Someone else (another worker, another window, the command line) saved
    // it since it was queued: it has arrived all the same.
    const TTileFreshness freshness = Cache.Freshness(request.Id());
    if (freshness == TTileFreshness::Fresh) return {TFetchResult::AlreadyCached};
    // An expired tile is asked with its validators; the old file stays until a new one replaces it.
    std::optional<TTileRecord> cached;
    if (freshness == TTileFreshness::Expired) cached = Cache.Record(request.Id()).value_or(TTileRecord{});

    // A stopped run sends nothing more; its owner reports why.
    if (!Gate->Enter(type, [this] { return Stopped.load(); }))
        return Stopped ? TFetch{TFetchResult::Aborted} : TFetch{TFetchResult::Refused, TFault(TFaultKind::RunStopped)};
    std::uniform_int_distribution<int> serverNumber(0, ServerChoiceCount(Server, type) - 1);
    const std::string url = BuildTileUrl(Server, serverNumber(Random), request.Id());
    // A retry never trusts a kept connection.
    TDownloadResult download =
        Downloader.Get(url, RequestIdentity(Server, type), Limits, request.RetryCount > 0, cached ? &*cached : nullptr);
    Gate->Leave(type);
    if (WasAborted(download)) return {TFetchResult::Aborted};
    if (!download) {
        ++Failed;
        return {TFetchResult::Failed, DownloadFault(download.Error(), Limits)};
    }
    return TakeAnswer(request, type, url, *download, cached);
}

TAtlasThread::TFetch TAtlasThread::TakeAnswer(const TMapParam& request, TMapType type, const std::string& url,
                                              THttpAnswer& answer, const std::optional<TTileRecord>& cached) {
    const long status = answer.HttpStatus;
    // Asked to wait: the whole source pauses, and the tile is asked again
    // without using an attempt, as long as the run's pauses stay in bounds.
    if ((status == 429 || status == 503) && answer.RetryAfter) {
        if (Gate->Pause(type, *answer.RetryAfter)) return {TFetchResult::Postponed};
        ++Failed;
        TFault why{TFaultKind::PauseBeyondLimit};
        why.HttpStatus = status;
        why.Number = answer.RetryAfter->count() / 1000;
        return {TFetchResult::Failed, std::move(why)};
    }
    if (IsRefusalStatus(status)) {
        Downloader.DropConnections();
        const auto host = UrlHost(url, false);
        Gate->Refused(type, request.Id(), status, host ? *host : url);
        ++Failed;
        TFault why{TFaultKind::AccessRefused};
        why.HttpStatus = status;
        return {TFetchResult::Failed, std::move(why)};
    }
    // Not modified: the cached tile is renewed without a body.
    if (status == 304 && cached) {
        ++Succeeded;
        Gate->Succeeded(type);
        FinishSave();  // its record stays behind the save before it
        Cache.Remember(request.Id(), RecordOf(answer.Cache, *cached));
        return {TFetchResult::Unchanged};
    }
    std::optional<TFault> unusable;
    if (answer.Body.empty() || IsPlaceholder(Server, type, answer.Body)) {
        unusable = TFault(answer.Body.empty() ? TFaultKind::EmptyAnswer : TFaultKind::PlaceholderPicture);
        unusable->HttpStatus = status;
    } else {
        unusable = CheckTileBody(answer.Body, status);
    }
    if (unusable) {
        // An unusable answer ends its connection too; Get has dropped a failed one already.
        Downloader.DropConnections();
        ++Failed;
        return {TFetchResult::Failed, std::move(*unusable)};
    }
    ++Succeeded;
    Gate->Succeeded(type);
    // A tile that cannot be written is retried like a failed download, but
    // says nothing about the service. Its notice or retry follows once the
    // save is done; one save at a time.
    FinishSave();
    TTileRecord record = RecordOf(answer.Cache, cached.value_or(TTileRecord{}));
    const std::string path = Cache.Path(request.Id());
    if (cached) {
        // A service that ignores validators sends the same picture again: nothing to write.
        const auto old = ReadRegularFile(path, MaxTileFileBytes);
        if (old && *old == answer.Body) {
            Cache.Remember(request.Id(), std::move(record));
            return {TFetchResult::Unchanged};
        }
    }
    auto body = std::make_shared<const std::vector<std::uint8_t>>(std::move(answer.Body));
    std::future<void> saved = Saver.Run([cache = &Cache, tile = request.Id(), body] { cache->Save(tile, *body); });
    PendingSave = TPendingSave{request, path, std::move(saved), std::move(record),
                               cached ? TTileOutcome::Updated : TTileOutcome::Downloaded};
    return {TFetchResult::Saving};
}
