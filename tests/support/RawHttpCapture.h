// A one-shot listener on 127.0.0.1 that records the raw bytes of one request
// (up to the blank line) and answers with a tiny PNG. Only for checking the
// exact request a worker sends; everything else uses the tile server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TRawHttpCapture {
public:
    TRawHttpCapture();  // listening on return; throws when it cannot listen
    ~TRawHttpCapture();
    TRawHttpCapture(const TRawHttpCapture&) = delete;
    TRawHttpCapture& operator=(const TRawHttpCapture&) = delete;

    int Port() const { return ListenPort; }
    // The request head including its blank line, once one has arrived.
    std::optional<std::string> Captured(std::chrono::milliseconds timeout);

    static const std::string& AnswerBody();  // the PNG sent back

private:
    void Serve();

    int ListenSocket = -1;
    int ListenPort = 0;
    std::atomic<bool> Stop{false};
    std::mutex Mutex;
    std::condition_variable Done;
    std::optional<std::string> Request;
    std::thread Thread;
};
