#include "SourceGate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>

bool IsRefusalStatus(long httpStatus) { return httpStatus == 401 || httpStatus == 403 || httpStatus == 451; }

bool IsFolderFullOrClosed(int err) { return err == ENOSPC || err == EDQUOT || err == EROFS || err == EACCES; }

std::chrono::milliseconds RetryDelay(const TDownloadLimits& limits, int failedAttempts, double unit) {
    double delay = double(std::max(0L, limits.FirstRetryDelayMs));
    for (int i = 1; i < failedAttempts && delay < double(limits.MaxRetryDelayMs); ++i) delay *= 2;
    delay = std::min(delay, double(std::max(0L, limits.MaxRetryDelayMs)));
    return std::chrono::milliseconds(std::llround(delay * (0.8 + 0.4 * std::clamp(unit, 0.0, 1.0))));
}

TSourceGate::TSourceGate(const TServerConfig& server, const TDownloadLimits& limits) : Limits(limits) {
    std::map<std::string, std::shared_ptr<TSource>> byKey;
    for (const TMapType type : AllMapTypes) {
        auto& source = byKey[SourceKey(server, type)];
        if (!source) source = std::make_shared<TSource>();
        // Types of one source: the strictest of their settings holds.
        if (const int n = SourceConnections(server, type); n > 0)
            source->Connections = source->Connections > 0 ? std::min(source->Connections, n) : n;
        if (const double rate = server.Rates[MapTypeIndex(type)]; rate > 0) {
            const auto spacing = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(1.0 / rate));
            source->Spacing = std::max(source->Spacing, spacing);
        }
        Sources[MapTypeIndex(type)] = source;
    }
}

TSourceGate::TSource& TSourceGate::SourceOf(TMapType type) {
    return *Sources[MapTypeIndex(type)];
}

bool TSourceGate::Enter(TMapType type, const std::function<bool()>& abandoned) {
    std::unique_lock lock(Lock);
    TSource& source = SourceOf(type);
    for (;;) {
        if (Stop.Reason != TStopReason::None || (abandoned && abandoned())) return false;
        const auto now = TClock::now();
        auto due = std::max(source.PausedUntil, source.NextSlot);
        if (due <= now && (source.Connections == 0 || source.Busy < source.Connections)) {
            ++source.Busy;
            if (source.Spacing > TClock::duration::zero()) source.NextSlot = now + source.Spacing;
            return true;
        }
        // Short slices: a stop or an abandoned worker is noticed at once.
        if (due <= now) due = now + std::chrono::milliseconds(50);
        Changed.wait_until(lock, std::min(due, now + std::chrono::milliseconds(50)));
    }
}

void TSourceGate::Leave(TMapType type) {
    {
        std::lock_guard lock(Lock);
        --SourceOf(type).Busy;
    }
    Changed.notify_all();
}

bool TSourceGate::Pause(TMapType type, std::chrono::milliseconds wait) {
    std::lock_guard lock(Lock);
    TSource& source = SourceOf(type);
    const auto until = TClock::now() + wait;
    // Workers told at once to wait add nothing beyond the pause already under way.
    const auto added = std::max(TClock::duration::zero(), until - std::max(source.PausedUntil, TClock::now()));
    if (TotalPause + added > std::chrono::milliseconds(Limits.MaxPauseMs)) return false;
    TotalPause += added;
    source.PausedUntil = std::max(source.PausedUntil, until);
    return true;
}

int TSourceGate::PausedSeconds() const {
    std::lock_guard lock(Lock);
    const auto now = TClock::now();
    TClock::duration longest{};
    for (const auto& source : Sources) longest = std::max(longest, source->PausedUntil - now);
    return int(std::ceil(std::chrono::duration<double>(longest).count()));
}

void TSourceGate::Succeeded(TMapType type) {
    std::lock_guard lock(Lock);
    SourceOf(type).RefusedTiles.clear();
}

void TSourceGate::Refused(TMapType type, const TTileId& tile, long httpStatus, const std::string& host) {
    {
        std::lock_guard lock(Lock);
        TSource& source = SourceOf(type);
        source.RefusedTiles.insert(tile);
        if (int(source.RefusedTiles.size()) < RefusalsToStop) return;
        StopWith({TStopReason::AccessRefused, host, httpStatus, {}, {}});
    }
    Changed.notify_all();
}

void TSourceGate::CacheWriteFailed(const std::string& folder, int err) {
    {
        std::lock_guard lock(Lock);
        StopWith({TStopReason::CacheWriteFailed, {}, 0, folder, err});
    }
    Changed.notify_all();
}

void TSourceGate::StopWith(TRunStop stop) {
    if (Stop.Reason == TStopReason::None) Stop = std::move(stop);
}

bool TSourceGate::Stopped() const {
    std::lock_guard lock(Lock);
    return Stop.Reason != TStopReason::None;
}

TRunStop TSourceGate::StopReason() const {
    std::lock_guard lock(Lock);
    return Stop;
}
