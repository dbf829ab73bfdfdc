// Where workers report. The Qt map view implements it by posting an event to
// itself; the CLI and the tests collect notices in a thread-safe queue.
#pragma once

#include <string>

class TNoticeTarget {
public:
    virtual ~TNoticeTarget() = default;
    // Called from any thread. The path is the notice's own copy.
    virtual void PostNotice(int message, std::string path) = 0;
};

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

struct TNotice {
    int Message = 0;
    std::string Path;
};

// A thread-safe notice queue for receivers without a window (CLI, tests).
class TNoticeQueue : public TNoticeTarget {
public:
    void PostNotice(int message, std::string path) override {
        {
            std::lock_guard lock(Mutex);
            Notices.push_back({message, std::move(path)});
        }
        Ready.notify_all();
    }
    // The next notice, waiting at most timeout for one.
    std::optional<TNotice> Take(std::chrono::milliseconds timeout) {
        std::unique_lock lock(Mutex);
        if (!Ready.wait_for(lock, timeout, [&] { return !Notices.empty(); })) return std::nullopt;
        TNotice n = std::move(Notices.front());
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
    std::deque<TNotice> Notices;
};
