// Where workers report. The Qt map view implements it by posting an event to
// itself; the CLI and the tests collect notices in a thread-safe queue.
#pragma once

#include <string>

#include "AtlasAppType.h"
#include "Fault.h"

// What became of a tile that arrived: fetched for the first time, asked
// again and found unchanged (304, or the same bytes), replaced by a newer
// picture, or kept as cached because asking again failed; Cached when it
// was fresh in the cache by the time its turn came.
enum class TTileOutcome { Downloaded, Unchanged, Updated, KeptStale, Cached };

// What a notice says: the tile is in the cache, or it failed every attempt.
// None is only the empty record; no worker posts it.
enum class TNoticeKind { None, TileSaved, TileFailed };

// One worker notice. The tile travels beside its cache path, so no receiver
// reads a file name back.
struct TTileNotice {
    TNoticeKind Kind = TNoticeKind::None;
    TTileId Tile;
    std::string Path;
    TFault Why;  // a failure, or a tile kept stale: the reason of the last attempt
    TTileOutcome Outcome = TTileOutcome::Downloaded;  // of TileSaved
};

class TNoticeTarget {
public:
    virtual ~TNoticeTarget() = default;
    // Called from any thread.
    virtual void PostNotice(TTileNotice notice) = 0;
};

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

// A thread-safe notice queue for receivers without a window (CLI, tests).
class TNoticeQueue : public TNoticeTarget {
public:
    void PostNotice(TTileNotice notice) override {
        {
            std::lock_guard lock(Mutex);
            Notices.push_back(std::move(notice));
        }
        Ready.notify_all();
    }
    // The next notice, waiting at most timeout for one.
    std::optional<TTileNotice> Take(std::chrono::milliseconds timeout) {
        std::unique_lock lock(Mutex);
        if (!Ready.wait_for(lock, timeout, [&] { return !Notices.empty(); })) return std::nullopt;
        TTileNotice n = std::move(Notices.front());
        Notices.pop_front();
        return n;
    }
    std::size_t Size() const {
        std::lock_guard lock(Mutex);
        return Notices.size();
    }

private:
    mutable std::mutex Mutex;
    std::condition_variable Ready;
    std::deque<TTileNotice> Notices;
};
