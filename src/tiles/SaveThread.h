// A long-lived thread that runs one job at a time for its owner, so that a
// worker's tile save overlaps its next download without a thread per tile.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

class TSaveThread {
public:
    TSaveThread() = default;
    ~TSaveThread();  // completes the job under way, then ends the thread
    TSaveThread(const TSaveThread&) = delete;
    TSaveThread& operator=(const TSaveThread&) = delete;

    // Hands job to the thread, started on first use; the future holds its end
    // or its exception. The owner waits for one job before giving the next.
    // Without a thread to spare the job runs here and now.
    std::future<void> Run(std::function<void()> job);

private:
    void Serve();

    std::mutex Lock;
    std::condition_variable Wake;
    std::optional<std::packaged_task<void()>> Job;  // guarded by Lock
    bool Quit = false;                               // guarded by Lock
    std::thread Thread;
};
