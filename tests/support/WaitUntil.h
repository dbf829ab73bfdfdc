// Tests wait for a condition, never for a time: a worker's notice, a request
// the server saw, a window property.
#pragma once

#include <chrono>
#include <thread>

// Generous, so that a sanitized build on a loaded machine still passes, yet a
// broken worker fails its test instead of hanging it.
inline constexpr std::chrono::milliseconds WaitLimit = std::chrono::seconds(60);

inline void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

// Polls pred until it holds; false once limit has passed. between runs
// between two polls: a short pause, or for widgets the processing of events.
template <class Pred, class Between = void (*)()>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = WaitLimit, Between between = &PauseBriefly) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        between();
    }
    return true;
}
