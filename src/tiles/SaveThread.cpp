#include "SaveThread.h"

#include <system_error>

TSaveThread::~TSaveThread() {
    {
        std::lock_guard lock(Lock);
        Quit = true;
    }
    Wake.notify_one();
    if (Thread.joinable()) Thread.join();
}

std::future<void> TSaveThread::Run(std::function<void()> job) {
    std::packaged_task<void()> task(std::move(job));
    std::future<void> done = task.get_future();
    if (!Thread.joinable()) {
        try {
            Thread = std::thread(&TSaveThread::Serve, this);
        } catch (const std::system_error&) {
            task();
            return done;
        }
    }
    {
        std::lock_guard lock(Lock);
        Job = std::move(task);
    }
    Wake.notify_one();
    return done;
}

void TSaveThread::Serve() {
    std::unique_lock lock(Lock);
    for (;;) {
        Wake.wait(lock, [this] { return Job || Quit; });
        // A job handed over before the end is still done: its file completes.
        if (!Job) return;
        std::packaged_task<void()> task = std::move(*Job);
        Job.reset();
        lock.unlock();
        task();
        lock.lock();
    }
}
