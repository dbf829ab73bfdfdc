// Where workers report. The Qt map view implements it by posting an event to
// itself; the CLI and the tests collect notices in a thread-safe queue.
#pragma once

#include <string>

#include "AtlasAppType.h"
#include "Fault.h"

// One worker notice. The tile travels beside its cache path, so no receiver
// reads a file name back.
struct TTileNotice {
    int Message = 0;  // WM_TILESAVED or WM_TILEFAILED
    TTileId Tile;
    std::string Path;
    TFault Why;  // a failure: the reason of the last attempt
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
